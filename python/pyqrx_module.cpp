// The pyqrx extension module: market-data client (Symlistener) and feed-handler
// end (Symproxy) for Python 3.
#include <pybind11/pybind11.h>

#include <string>

#include "py_bindings.h"
#include "py_listener_events.h"
#include "py_record_dict.h"
#include "py_record_io.h"
#include "qrx/marketdata/field_dictionary.h"
#include "qrx/marketdata/sym_data.h"
#include "qrx/marketdata/sym_data_aux.h"

namespace py = pybind11;

namespace {

py::object FieldName(int id) {
    const char* name = (id >= 0 && id < CSymData::MAX_FLIDS) ? flid_name(id) : nullptr;
    if (name == nullptr) {
        return py::none();
    }
    return py::str(name);
}

py::object FieldId(const std::string& name) {
    CSymData::enFlids id{};
    bool found = false;
    CSymDataAux::FieldToFlid(name.c_str(), id, found);
    if (!found) {
        return py::none();
    }
    return py::int_(static_cast<int>(id));
}

}  // namespace

PYBIND11_MODULE(_pyqrx, m) {
    m.doc() =
        "Market-data client and feed-handler end of the Sym service.\n\n"
        "Symlistener connects to a symbol server, subscribes to topics and hands every\n"
        "update to a callable as a dict {field id: value}. Symproxy listens for the\n"
        "symbol server, learns of its subscriptions through callables and publishes\n"
        "ticks from dicts.";
    m.attr("__version__") = QRX_VERSION;
    if (!pyqrx::InitRecordTables()) {
        throw py::error_already_set();
    }

    // Errors of the library reach Python as the built-in Exception with their text.
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) {
                std::rethrow_exception(p);
            }
        } catch (const py_error& e) {
            PyErr_SetString(PyExc_Exception, e.what());
        }
    });
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) {
                std::rethrow_exception(p);
            }
        } catch (const connection_error& e) {
            PyErr_SetString(PyExc_Exception, e.what());
        }
    });

    RegisterSymproxy(m);
    RegisterSymlistener(m);
    pyqrx::RegisterStatusCodes(m);
    RegisterRecordIo(m);

    m.def("fieldName", &FieldName, py::arg("id"),
          "Name of a field id in the field dictionary, or None when it has none.");
    m.def("fieldId", &FieldId, py::arg("name"),
          "Field id of a name in the field dictionary, or None when the name is unknown.");
}
