// The events of a Symlistener besides plain-topic updates, for Python
// callables: the connection's status (the logon's verdict, a data source lost
// or restored), the status of a topic (refused or held pending), the records
// of a cached image with the start and end markers of a subscribe-all, and the
// updates of structured topics with their parsed topic.
#pragma once

#include <pybind11/pybind11.h>

#include "py_record_dict.h"

class CSymData;
class CSymTopic;

namespace pyqrx {

class ListenerEvents {
public:
    void SetStatusCallable(pybind11::object callable);
    void SetSymbolStatusCallable(pybind11::object callable);
    void SetSnapshotCallable(pybind11::object callable);
    void SetSnapshotStartCallable(pybind11::object callable);
    void SetSnapshotEndCallable(pybind11::object callable);
    void SetTopicDataCallable(pybind11::object callable);

    bool HasSnapshotCallable() const { return static_cast<bool>(m_pyOnSnapshot); }

    // Each calls its callable when one is set and returns false when it
    // raised (the error is held by pending_error): the listener then stops
    // delivering. Nothing is built without a callable.
    // callable(code, text), code a SymStatus member.
    bool Status(int code, const char* text);
    // callable(topic, message, code).
    bool SymbolStatus(const char* topic, const char* message, int code);
    // callable(topic, dict) for a snapshot record (the topic's text, also for a
    // structured topic); the dict is reused like the one of updates.
    bool Snapshot(const char* topic, const CSymData& data);
    // callable() at the start (bStart) or the end of a batch of snapshots.
    bool SnapshotMarker(bool bStart);
    // callable(Topic, dict) for a record of a structured topic.
    bool TopicData(const CSymTopic& topic, const CSymData& data);

    int Traverse(visitproc visit, void* arg) {
        Py_VISIT(m_pyOnStatus.ptr());
        Py_VISIT(m_pyOnSymbolStatus.ptr());
        Py_VISIT(m_pyOnSnapshot.ptr());
        Py_VISIT(m_pyOnSnapshotStart.ptr());
        Py_VISIT(m_pyOnSnapshotEnd.ptr());
        Py_VISIT(m_pyOnTopicData.ptr());
        return 0;
    }
    void Clear() {
        m_pyOnStatus = pybind11::object();
        m_pyOnSymbolStatus = pybind11::object();
        m_pyOnSnapshot = pybind11::object();
        m_pyOnSnapshotStart = pybind11::object();
        m_pyOnSnapshotEnd = pybind11::object();
        m_pyOnTopicData = pybind11::object();
    }

private:
    pybind11::object m_pyOnStatus;
    pybind11::object m_pyOnSymbolStatus;
    pybind11::object m_pyOnSnapshot;
    pybind11::object m_pyOnSnapshotStart;
    pybind11::object m_pyOnSnapshotEnd;
    pybind11::object m_pyOnTopicData;
    RecordDict m_dictSnapshot;
    RecordDict m_dictTopic;
};

extern const char* const kOnStatusDoc;
extern const char* const kOnSymbolStatusDoc;
extern const char* const kOnSnapshotDoc;
extern const char* const kOnSnapshotStartDoc;
extern const char* const kOnSnapshotEndDoc;
extern const char* const kOnTopicDataDoc;

// pyqrx.SymStatus (an IntEnum of the status codes) and the STATUS_* aliases of
// its members.
void RegisterStatusCodes(pybind11::module_& m);
// The SymStatus member of a code (new reference), or a plain int for a code
// it does not name; null with a Python error set.
PyObject* StatusObject(int code);

// Binds the event setters on the listener class T (which holds them as
// m_events).
template <typename T, typename Cls>
void BindListenerEvents(Cls& cls) {
    namespace py = pybind11;
    cls.def(
           "onStatus", [](T& l, py::object c) { l.m_events.SetStatusCallable(std::move(c)); },
           py::arg("callable"), kOnStatusDoc)
        .def(
            "onSymbolStatus",
            [](T& l, py::object c) { l.m_events.SetSymbolStatusCallable(std::move(c)); },
            py::arg("callable"), kOnSymbolStatusDoc)
        .def(
            "onSnapshot", [](T& l, py::object c) { l.m_events.SetSnapshotCallable(std::move(c)); },
            py::arg("callable"), kOnSnapshotDoc)
        .def(
            "onSnapshotStart",
            [](T& l, py::object c) { l.m_events.SetSnapshotStartCallable(std::move(c)); },
            py::arg("callable"), kOnSnapshotStartDoc)
        .def(
            "onSnapshotEnd",
            [](T& l, py::object c) { l.m_events.SetSnapshotEndCallable(std::move(c)); },
            py::arg("callable"), kOnSnapshotEndDoc)
        .def(
            "onTopicData",
            [](T& l, py::object c) { l.m_events.SetTopicDataCallable(std::move(c)); },
            py::arg("callable"), kOnTopicDataDoc);
}

}  // namespace pyqrx
