// Requests a Python method sends on a Sym connection, shared by the listener and the recorder.
#pragma once

#include <pybind11/pybind11.h>

#include "py_bindings.h"
#include "qrx/client/sym_connection.h"

namespace pyqrx {

// Subscribes to a topic given from Python (None gives False); a failed write's Python error,
// if any, is raised.
inline bool SubscribeTopic(CSymConnection& conn, pybind11::handle topic) {
    TextArg t(topic, "topic");
    if (t.null()) {
        return false;
    }
    CallScope call;
    const bool ok = conn.Subscribe(t.c_str());
    call.Finish();
    return ok;
}

}  // namespace pyqrx
