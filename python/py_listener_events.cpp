#include "py_listener_events.h"

#include <cstring>

#include "py_bindings.h"
#include "py_listener_topics.h"
#include "qrx/client/sym_listener.h"
#include "qrx/marketdata/sym_data.h"

namespace py = pybind11;

namespace pyqrx {

namespace {

// The members of SymStatus by code, made once at registration (owned for the
// process's life, like the module's other tables).
constexpr int kCodes = 6;
PyObject* g_statusMembers[kCodes] = {};

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
    if (s == nullptr) {
        s = "";
    }
    return TextObject(s, static_cast<Py_ssize_t>(strlen(s)));
}

// Fills dict from data; false with the error held.
bool FillHeld(RecordDict& dict, const CSymData& data) {
    if (dict.Dict() == nullptr || !dict.Fill(data)) {
        if (!PyErr_Occurred()) {
            PyErr_NoMemory();
        }
        pending_error::Take();
        return false;
    }
    return true;
}

}  // namespace

PyObject* StatusObject(int code) {
    if (code >= 0 && code < kCodes && g_statusMembers[code] != nullptr) {
        Py_INCREF(g_statusMembers[code]);
        return g_statusMembers[code];
    }
    return PyLong_FromLong(code);
}

void ListenerEvents::SetStatusCallable(py::object callable) {
    m_pyOnStatus = CheckedCallable(std::move(callable), "onStatus");
}

void ListenerEvents::SetSymbolStatusCallable(py::object callable) {
    m_pyOnSymbolStatus = CheckedCallable(std::move(callable), "onSymbolStatus");
}

void ListenerEvents::SetSnapshotCallable(py::object callable) {
    m_pyOnSnapshot = CheckedCallable(std::move(callable), "onSnapshot");
}

void ListenerEvents::SetSnapshotStartCallable(py::object callable) {
    m_pyOnSnapshotStart = CheckedCallable(std::move(callable), "onSnapshotStart");
}

void ListenerEvents::SetSnapshotEndCallable(py::object callable) {
    m_pyOnSnapshotEnd = CheckedCallable(std::move(callable), "onSnapshotEnd");
}

void ListenerEvents::SetTopicDataCallable(py::object callable) {
    m_pyOnTopicData = CheckedCallable(std::move(callable), "onTopicData");
}

bool ListenerEvents::Status(int code, const char* text) {
    if (!m_pyOnStatus || pending_error::Pending()) {
        return true;
    }
    PyObject* args[2] = {StatusObject(code), Text(text)};
    return CallWith(m_pyOnStatus, args, 2);
}

bool ListenerEvents::SymbolStatus(const char* topic, const char* message, int code) {
    if (!m_pyOnSymbolStatus || pending_error::Pending()) {
        return true;
    }
    PyObject* args[3] = {Text(topic), Text(message), StatusObject(code)};
    return CallWith(m_pyOnSymbolStatus, args, 3);
}

bool ListenerEvents::Snapshot(const char* topic, const CSymData& data) {
    if (!m_pyOnSnapshot || pending_error::Pending()) {
        return true;
    }
    if (!FillHeld(m_dictSnapshot, data)) {
        return false;
    }
    Py_INCREF(m_dictSnapshot.Dict());
    PyObject* args[2] = {Text(topic), m_dictSnapshot.Dict()};
    return CallWith(m_pyOnSnapshot, args, 2);
}

bool ListenerEvents::SnapshotMarker(bool bStart) {
    const py::object& callable = bStart ? m_pyOnSnapshotStart : m_pyOnSnapshotEnd;
    if (!callable || pending_error::Pending()) {
        return true;
    }
    return CallWith(callable, nullptr, 0);
}

bool ListenerEvents::TopicData(const CSymTopic& topic, const CSymData& data) {
    if (!m_pyOnTopicData || pending_error::Pending()) {
        return true;
    }
    // The parsed topic points into the record's topic field: its whole text.
    const GrowingStr* pText = data.m_map_flid_2_GrowingStr.GetFlidPtr(CSymData::flid_topic);
    PyObject* pyTopic = TopicObject(topic, pText != nullptr ? pText->c_str() : "",
                                    pText != nullptr ? static_cast<size_t>(pText->length()) : 0);
    if (pyTopic == nullptr) {
        pending_error::Take();
        return false;
    }
    if (!FillHeld(m_dictTopic, data)) {
        Py_DECREF(pyTopic);
        return false;
    }
    Py_INCREF(m_dictTopic.Dict());
    PyObject* args[2] = {pyTopic, m_dictTopic.Dict()};
    return CallWith(m_pyOnTopicData, args, 2);
}

const char* const kOnStatusDoc =
    R"doc(Sets callable(code, text), called for the status of the connection:
the logon's verdict (SymStatus.LOGIN_SUCCESS, or LOGIN_ERROR with the
server's text) and a data source lost or restored (DATA_SOURCE_ERROR,
DATA_SOURCE_RESTORED). code is a pyqrx.SymStatus (an IntEnum). None removes
it.)doc";

const char* const kOnSymbolStatusDoc =
    R"doc(Sets callable(topic, message, code), called for the status of one
topic: a subscription the server refused (SymStatus.SUBS_ERROR: the topic
does not exist or is not entitled) or holds pending (PENDING_SUB), with the
server's message. None removes it.)doc";

const char* const kOnSnapshotDoc =
    R"doc(Sets callable(topic, data), called for each record of a cached image
(the answer to a subscription or to a snapshot request; topic is the text,
also for a structured topic; data a dict reused for the next record). Without
it snapshot records go where updates go: plain topics to the onData callable,
structured ones to the onTopicData callable. None removes it.)doc";

const char* const kOnSnapshotStartDoc =
    R"doc(Sets callable(), called when a batch of snapshots begins (a server sends
the cached image of every topic, after subscribeAll() or snapshotAll(),
between a start and an end marker). None removes it.)doc";

const char* const kOnSnapshotEndDoc =
    R"doc(Sets callable(), called when a batch of snapshots ends; see
onSnapshotStart. None removes it.)doc";

const char* const kOnTopicDataDoc =
    R"doc(Sets callable(topic, data), called for each update of a structured topic
(depth, filter, sized, sourced, user and other topics made by the topic
builders such as depthTopic()). topic is a pyqrx.Topic, an immutable named
tuple of the parsed parts (text, type, symbol, source, nearSize, farSize,
...); data a dict {field id: value} reused for the next record. Without it
structured updates reach no callable. None removes it.)doc";

void RegisterStatusCodes(py::module_& m) {
    py::object intEnum = py::module_::import("enum").attr("IntEnum");
    py::list members;
    const struct {
        const char* name;
        int code;
    } codes[] = {
        {"LOGIN_SUCCESS", SYM_LOGIN_SUCCESS},
        {"LOGIN_ERROR", SYM_LOGIN_ERROR},
        {"DATA_SOURCE_ERROR", SYM_DATA_SOURCE_ERROR},
        {"DATA_SOURCE_RESTORED", SYM_DATA_SOURCE_RESTORED},
        {"PENDING_SUB", SYM_PENDING_SUB},
        {"SUBS_ERROR", SYM_SUBS_ERROR},
        // Reported by a Symlistener that reconnects (connect(..., reconnect=True)).
        {"CONNECTION_LOST", 100},
        {"CONNECTION_RESTORED", 101},
    };
    for (const auto& c : codes) {
        members.append(py::make_tuple(c.name, c.code));
    }
    py::object status = intEnum("SymStatus", members, py::arg("module") = "pyqrx");
    status.attr("__doc__") =
        "Status codes of Symlistener's onStatus and onSymbolStatus events (ints too).";
    m.attr("SymStatus") = status;
    for (const auto& c : codes) {
        if (c.code >= 0 && c.code < kCodes) {
            g_statusMembers[c.code] = py::object(status.attr(c.name)).release().ptr();
        }
    }
    // The earlier names, kept as aliases of the members.
    m.attr("STATUS_LOGON_OK") = status.attr("LOGIN_SUCCESS");
    m.attr("STATUS_LOGON_REFUSED") = status.attr("LOGIN_ERROR");
    m.attr("STATUS_SOURCE_LOST") = status.attr("DATA_SOURCE_ERROR");
    m.attr("STATUS_SOURCE_RESTORED") = status.attr("DATA_SOURCE_RESTORED");
    m.attr("STATUS_TOPIC_PENDING") = status.attr("PENDING_SUB");
    m.attr("STATUS_TOPIC_UNKNOWN") = status.attr("SUBS_ERROR");
    m.attr("STATUS_CONNECTION_LOST") = status.attr("CONNECTION_LOST");
    m.attr("STATUS_CONNECTION_RESTORED") = status.attr("CONNECTION_RESTORED");
}

}  // namespace pyqrx
