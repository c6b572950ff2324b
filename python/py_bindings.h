// Shared declarations of the pyqrx binding.
#pragma once

#include <pybind11/pybind11.h>

#include <exception>
#include <string>
#include <type_traits>

// Thrown when Symlistener.loop ends: Python sees Exception("CONNECTION_ERROR").
class connection_error : public std::exception {
public:
    const char* what() const noexcept override { return "CONNECTION_ERROR"; }
};

// An error with a message of its own; Python sees Exception(message).
class py_error : public std::exception {
public:
    explicit py_error(std::string msg) : m_msg(std::move(msg)) {}
    const char* what() const noexcept override { return m_msg.c_str(); }

private:
    std::string m_msg;
};

void RegisterSymproxy(pybind11::module_& m);
void RegisterSymlistener(pybind11::module_& m);

namespace pyqrx {

// The UTF-8 bytes of a str: its own cached form, or, for text holding surrogates, those of a
// new bytes object (surrogates back to their bytes) left in *pConverted. Null with a Python
// error set.
const char* StrUtf8(PyObject* str, Py_ssize_t* pLen, pybind11::object* pConverted);

// A text argument from Python: None gives a null pointer, str its UTF-8 bytes
// (undecodable characters written back with surrogateescape), bytes the bytes
// themselves. Anything else, or a text holding a NUL byte, raises TypeError or
// ValueError. The bytes stay valid while the object lives.
class TextArg {
public:
    TextArg() = default;
    TextArg(pybind11::handle h, const char* what) {
        if (!Set(h, what)) {
            throw pybind11::error_already_set();
        }
    }
    // Like the constructor; false with a Python error set instead of throwing.
    bool Set(pybind11::handle h, const char* what);

    const char* c_str() const { return m_p; }
    size_t size() const { return m_len; }
    bool null() const { return m_p == nullptr; }

private:
    pybind11::object m_holder;
    const char* m_p = nullptr;
    size_t m_len = 0;
};

// The first Python error raised on this thread inside a call of the library
// (by a callback, or by a signal handler run while a wait ends), held so that
// the library's code runs on without an exception set; the Python method that
// made the call raises it when it returns. A later error of the same call is
// reported as unraisable rather than lost silently.
namespace pending_error {
// Takes the error now set, if any.
void Take();
bool Pending();
// Raises the held error (error_already_set), if any.
void Raise();
void Clear();
}  // namespace pending_error

// Brackets a method that calls into the library: the error held for an outer
// call of the same thread (a callback calling back into the module) is put
// aside meanwhile and restored after. Finish raises this call's own error.
class CallScope {
public:
    CallScope();
    ~CallScope();
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;
    void Finish() { pending_error::Raise(); }

private:
    PyObject* m_saved[3];
};

// Releases the interpreter lock around the library's blocking waits and takes
// it back after them. Leave checks for pending signals (so that Ctrl-C is
// noticed while a loop waits): their error is held by pending_error and Leave
// returns false.
void ReleaseLock();
bool TakeLock();

// Takes the interpreter lock back after PyEval_SaveThread. Once the interpreter
// is exiting, the interpreter ends a thread that takes the lock by unwinding it,
// which aborts the process when a destructor or other noexcept frame is on the
// way and runs destructors without the lock otherwise: a daemon thread that
// comes back from a wait then (a producer still publishing, a serve() still
// serving) stays parked instead, as it would in a wait that never ended. Call it
// outside destructors, never through a scoped guard.
void RestoreThread(PyThreadState* state);

// Runs f() with the interpreter lock given up, and takes it back as RestoreThread
// does; f must not throw.
template <typename F>
auto WithoutLock(F&& f) {
    PyThreadState* state = PyEval_SaveThread();
    if constexpr (std::is_void_v<decltype(f())>) {
        f();
        RestoreThread(state);
    } else {
        auto result = f();
        RestoreThread(state);
        return result;
    }
}

// Marks an object as running one of its dispatching methods; a second one,
// from a callback or from another thread, raises RuntimeError instead of
// reading the same connection under the first.
class BusyGuard {
public:
    BusyGuard(bool& busy, const char* message);
    ~BusyGuard() { m_busy = false; }
    BusyGuard(const BusyGuard&) = delete;
    BusyGuard& operator=(const BusyGuard&) = delete;

private:
    bool& m_busy;
};

// The C++ object of a Python instance, or null before its __init__ ran.
template <typename T>
T* Constructed(PyObject* self) {
    auto* inst = reinterpret_cast<pybind11::detail::instance*>(self);
    auto vh = inst->get_value_and_holder(nullptr, false);
    if (!vh || !vh.holder_constructed()) {
        return nullptr;
    }
    return vh.template value_ptr<T>();
}

// Lets the cycle collector see the Python objects that a C++ object of the
// module holds (T::Traverse) and drop them (T::ClearRefs): a callable that
// refers back to its listener or proxy is the usual cycle, which would
// otherwise keep both, and the connection, alive until the process ends.
template <typename T>
pybind11::custom_type_setup GcSupport() {
    return pybind11::custom_type_setup([](PyHeapTypeObject* heapType) {
        PyTypeObject* type = &heapType->ht_type;
        type->tp_flags |= Py_TPFLAGS_HAVE_GC;
        type->tp_traverse = [](PyObject* self, visitproc visit, void* arg) -> int {
            Py_VISIT(Py_TYPE(self));
            T* obj = Constructed<T>(self);
            return obj != nullptr ? obj->Traverse(visit, arg) : 0;
        };
        type->tp_clear = [](PyObject* self) -> int {
            if (T* obj = Constructed<T>(self)) {
                obj->ClearRefs();
            }
            return 0;
        };
    });
}

}  // namespace pyqrx
