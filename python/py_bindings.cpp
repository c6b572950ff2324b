#include "py_bindings.h"

#include <unistd.h>

#include <cstring>

namespace py = pybind11;

namespace pyqrx {

const char* StrUtf8(PyObject* str, Py_ssize_t* pLen, py::object* pConverted) {
    // The UTF-8 form is kept by the str itself; only text with surrogates needs a bytes
    // object of its own.
    const char* p = PyUnicode_AsUTF8AndSize(str, pLen);
    if (p != nullptr) {
        return p;
    }
    PyErr_Clear();
    PyObject* b = PyUnicode_AsEncodedString(str, "utf-8", "surrogateescape");
    if (b == nullptr) {
        return nullptr;
    }
    *pConverted = py::reinterpret_steal<py::object>(b);
    *pLen = PyBytes_GET_SIZE(b);
    return PyBytes_AS_STRING(b);
}

bool TextArg::Set(py::handle h, const char* what) {
    m_holder = py::object();
    m_p = nullptr;
    m_len = 0;
    PyObject* o = h.ptr();
    if (o == Py_None) {
        return true;
    }
    const char* p = nullptr;
    Py_ssize_t len = 0;
    if (PyUnicode_Check(o)) {
        py::object converted;
        if ((p = StrUtf8(o, &len, &converted)) == nullptr) {
            return false;
        }
        m_holder = converted ? std::move(converted) : py::reinterpret_borrow<py::object>(h);
    } else if (PyBytes_Check(o)) {
        m_holder = py::reinterpret_borrow<py::object>(h);
        p = PyBytes_AS_STRING(o);
        len = PyBytes_GET_SIZE(o);
    } else {
        PyErr_Format(PyExc_TypeError, "%s must be str, bytes or None, not %.100s", what,
                     Py_TYPE(o)->tp_name);
        return false;
    }
    if (memchr(p, '\0', static_cast<size_t>(len)) != nullptr) {
        PyErr_Format(PyExc_ValueError, "%s holds a NUL character", what);
        m_holder = py::object();
        return false;
    }
    m_p = p;
    m_len = static_cast<size_t>(len);
    return true;
}

namespace {

// Plain pointers: nothing to destroy when a thread ends with no error held.
thread_local PyObject* t_type = nullptr;
thread_local PyObject* t_value = nullptr;
thread_local PyObject* t_tb = nullptr;
thread_local PyThreadState* t_released = nullptr;

}  // namespace

namespace pending_error {

void Take() {
    if (!PyErr_Occurred()) {
        return;
    }
    if (t_type != nullptr) {
        PyErr_WriteUnraisable(nullptr);
        return;
    }
    PyErr_Fetch(&t_type, &t_value, &t_tb);
}

bool Pending() {
    return t_type != nullptr;
}

void Raise() {
    if (t_type == nullptr) {
        return;
    }
    PyErr_Restore(t_type, t_value, t_tb);
    t_type = t_value = t_tb = nullptr;
    throw py::error_already_set();
}

void Clear() {
    Py_CLEAR(t_type);
    Py_CLEAR(t_value);
    Py_CLEAR(t_tb);
}

}  // namespace pending_error

CallScope::CallScope() : m_saved{t_type, t_value, t_tb} {
    t_type = t_value = t_tb = nullptr;
}

CallScope::~CallScope() {
    pending_error::Clear();
    t_type = m_saved[0];
    t_value = m_saved[1];
    t_tb = m_saved[2];
}

namespace {

bool Finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

}  // namespace

void RestoreThread(PyThreadState* state) {
    if (Finalizing()) {
        for (;;) {
            pause();  // until the process ends
        }
    }
    PyEval_RestoreThread(state);
}

void ReleaseLock() {
    t_released = PyEval_SaveThread();
}

bool TakeLock() {
    RestoreThread(t_released);
    t_released = nullptr;
    if (PyErr_CheckSignals() != 0) {
        pending_error::Take();
        return false;
    }
    return true;
}

BusyGuard::BusyGuard(bool& busy, const char* message) : m_busy(busy) {
    if (busy) {
        PyErr_SetString(PyExc_RuntimeError, message);
        throw py::error_already_set();
    }
    busy = true;
}

}  // namespace pyqrx
