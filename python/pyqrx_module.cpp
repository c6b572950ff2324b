// The pyqrx extension module: market-data client (Symlistener) and feed-handler
// end (Symproxy) for Python 3.
#include <pybind11/pybind11.h>

#include <string>

#include "py_bindings.h"
#include "py_books.h"
#include "py_commands.h"
#include "py_listener_events.h"
#include "py_listener_topics.h"
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

// {name: value} of an update dict {field id: value}; ids without a name keep their id.
py::dict Named(py::handle data) {
    // The names, made once: the same str objects for every call.
    static PyObject* names[CSymData::MAX_FLIDS] = {};
    static bool made = false;
    if (!made) {
        for (int id = 0; id < CSymData::MAX_FLIDS; ++id) {
            const char* name = flid_name(id);
            names[id] = name != nullptr ? PyUnicode_InternFromString(name) : nullptr;
        }
        made = true;
    }
    if (!PyDict_Check(data.ptr())) {
        throw py::type_error("named takes a dict of field ids to values");
    }
    py::dict out;
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(data.ptr(), &pos, &key, &value)) {
        PyObject* name = key;
        if (PyLong_Check(key)) {
            const long id = PyLong_AsLong(key);
            if (id >= 0 && id < CSymData::MAX_FLIDS && names[id] != nullptr) {
                name = names[id];
            }
            PyErr_Clear();
        }
        if (PyDict_SetItem(out.ptr(), name, value) != 0) {
            throw py::error_already_set();
        }
    }
    return out;
}

py::object FieldId(const std::string& name) {
    if (name.find('\0') != std::string::npos) {
        return py::none();  // the dictionary would read it only up to the NUL
    }
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
            // pyqrx.ConnectionClosed (an Exception whose text stays "CONNECTION_ERROR"), or the
            // built-in Exception when the extension is used without its package.
            PyObject* cls = PyExc_Exception;
            PyObject* pkg = PyImport_ImportModule("pyqrx");
            PyObject* closed =
                pkg != nullptr ? PyObject_GetAttrString(pkg, "ConnectionClosed") : nullptr;
            PyErr_Clear();
            if (closed != nullptr && PyExceptionClass_Check(closed)) {
                cls = closed;
            }
            PyErr_SetString(cls, e.what());
            Py_XDECREF(closed);
            Py_XDECREF(pkg);
        }
    });

    RegisterSymproxy(m);
    RegisterSymlistener(m);
    pyqrx::RegisterStatusCodes(m);
    pyqrx::RegisterTopics(m);
    RegisterRecordIo(m);
    pyqrx::RegisterCommands(m);
    pyqrx::RegisterBooks(m);

    m.def("fieldName", &FieldName, py::arg("id"),
          "Name of a field id in the field dictionary, or None when it has none.");
    m.def("named", &Named, py::arg("data"),
          "The update dict {field id: value} as {field name: value} (ids without a name stay "
          "ids), made in one pass without a Python call per field.");
    m.def("fieldId", &FieldId, py::arg("name"),
          "Field id of a name in the field dictionary, or None when the name is unknown.");
}
