// The events of a Symlistener besides updates, for Python callables: the
// logon's verdict, a data source lost or restored, a topic the server does not
// know or holds pending, and the records of the cached image a server sends
// for a new subscription.
#pragma once

#include <pybind11/pybind11.h>

#include "py_record_dict.h"

class CSymData;

namespace pyqrx {

class ListenerEvents {
public:
    void SetStatusCallable(pybind11::object callable);
    void SetSnapshotCallable(pybind11::object callable);

    // callable(code, topic, text): topic None for the connection's own status.
    // False when the callable raised (the error is held by pending_error): the
    // listener then stops delivering.
    bool Status(int code, const char* topic, const char* text);
    // callable(topic, dict) for a snapshot record of a plain topic; the dict
    // is reused like the one of updates. False as above.
    bool Snapshot(const char* topic, const CSymData& data);

    int Traverse(visitproc visit, void* arg) {
        Py_VISIT(m_pyOnStatus.ptr());
        Py_VISIT(m_pyOnSnapshot.ptr());
        return 0;
    }
    void Clear() {
        m_pyOnStatus = pybind11::object();
        m_pyOnSnapshot = pybind11::object();
    }

private:
    pybind11::object m_pyOnStatus;
    pybind11::object m_pyOnSnapshot;
    RecordDict m_dictSnapshot;
};

extern const char* const kOnStatusDoc;
extern const char* const kOnSnapshotDoc;

// The status codes as module constants (STATUS_LOGON_OK ...).
void RegisterStatusCodes(pybind11::module_& m);

}  // namespace pyqrx
