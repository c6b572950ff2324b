#include "py_listener_events.h"

#include <cstring>

#include "py_bindings.h"
#include "qrx/client/sym_listener.h"
#include "qrx/marketdata/sym_data.h"

namespace py = pybind11;

namespace pyqrx {

namespace {

py::object CheckedCallable(py::object callable, const char* what) {
    if (callable.is_none()) {
        return py::object();
    }
    if (!PyCallable_Check(callable.ptr())) {
        throw py::type_error(std::string(what) + " takes a callable or None");
    }
    return callable;
}

// Calls callable with the n arguments, whose references it steals (a null one
// means a conversion failed: nothing is called). False with the error held.
bool CallWith(const py::object& callable, PyObject** args, size_t n) {
    bool ok = true;
    for (size_t i = 0; i < n; ++i) {
        ok = ok && args[i] != nullptr;
    }
    if (ok) {
        py::object held = callable;  // the callable may replace itself
        PyObject* result = PyObject_Vectorcall(held.ptr(), args, n, nullptr);
        ok = result != nullptr;
        Py_XDECREF(result);
    }
    for (size_t i = 0; i < n; ++i) {
        Py_XDECREF(args[i]);
    }
    if (!ok) {
        pending_error::Take();
    }
    return ok;
}

PyObject* Text(const char* s) {
    return TextObject(s, static_cast<Py_ssize_t>(strlen(s)));
}

}  // namespace

void ListenerEvents::SetStatusCallable(py::object callable) {
    m_pyOnStatus = CheckedCallable(std::move(callable), "onStatus");
}

void ListenerEvents::SetSnapshotCallable(py::object callable) {
    m_pyOnSnapshot = CheckedCallable(std::move(callable), "onSnapshot");
}

bool ListenerEvents::Status(int code, const char* topic, const char* text) {
    if (!m_pyOnStatus || pending_error::Pending()) {
        return true;
    }
    PyObject* args[3] = {PyLong_FromLong(code), nullptr, Text(text != nullptr ? text : "")};
    if (topic != nullptr) {
        args[1] = Text(topic);
    } else {
        Py_INCREF(Py_None);
        args[1] = Py_None;
    }
    return CallWith(m_pyOnStatus, args, 3);
}

bool ListenerEvents::Snapshot(const char* topic, const CSymData& data) {
    if (!m_pyOnSnapshot || pending_error::Pending()) {
        return true;
    }
    if (m_dictSnapshot.Dict() == nullptr || !m_dictSnapshot.Fill(data)) {
        if (!PyErr_Occurred()) {
            PyErr_NoMemory();
        }
        pending_error::Take();
        return false;
    }
    Py_INCREF(m_dictSnapshot.Dict());
    PyObject* args[2] = {Text(topic), m_dictSnapshot.Dict()};
    return CallWith(m_pyOnSnapshot, args, 2);
}

const char* const kOnStatusDoc =
    R"doc(Sets callable(code, topic, text), called for the status events of the
connection: the logon's verdict (STATUS_LOGON_OK, STATUS_LOGON_REFUSED),
a data source lost or restored (STATUS_SOURCE_LOST, STATUS_SOURCE_RESTORED)
with topic None, and per topic a subscription held pending or refused
(STATUS_TOPIC_PENDING, STATUS_TOPIC_UNKNOWN). None removes it.)doc";

const char* const kOnSnapshotDoc =
    R"doc(Sets callable(topic, data), called for each record of the cached image
a server answers a subscription with (plain topics; data as for onData, a
dict reused for the next record). Without it snapshot records reach no
callable. None removes it.)doc";

void RegisterStatusCodes(py::module_& m) {
    m.attr("STATUS_LOGON_OK") = static_cast<int>(SYM_LOGIN_SUCCESS);
    m.attr("STATUS_LOGON_REFUSED") = static_cast<int>(SYM_LOGIN_ERROR);
    m.attr("STATUS_SOURCE_LOST") = static_cast<int>(SYM_DATA_SOURCE_ERROR);
    m.attr("STATUS_SOURCE_RESTORED") = static_cast<int>(SYM_DATA_SOURCE_RESTORED);
    m.attr("STATUS_TOPIC_PENDING") = static_cast<int>(SYM_PENDING_SUB);
    m.attr("STATUS_TOPIC_UNKNOWN") = static_cast<int>(SYM_SUBS_ERROR);
}

}  // namespace pyqrx
