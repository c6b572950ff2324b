// Order books for Python: consolidated order books (requests, book messages
// and statuses, as named tuples both ways) and depth books (the levels of a
// depth topic's record as lists of (price, size, quoter)), on the client's and
// on the feed handler's side; and the symbol translation tables.
#pragma once

#include <pybind11/pybind11.h>

class CSymData;
class CSymTopic;
class CNetStream;

namespace QuorCOB {
class CCOBMsg;
class CCOBStatus;
class CCOBRequest;
}  // namespace QuorCOB

namespace pyqrx {

// The named tuples (Book, BookInfo, BookData, BookLeg, BookRequest,
// BookFilter, BookStatus), then RegisterDepth and RegisterTranslator.
void RegisterBooks(pybind11::module_& m);
// Level, DepthBook and the depth helpers (py_depth.cpp), and Translator
// (py_translator.cpp); called by RegisterBooks.
void RegisterDepth(pybind11::module_& m);
void RegisterTranslator(pybind11::module_& m);

// A Python BookRequest as the library's request; throws with a Python error.
void ToRequest(pybind11::handle request, QuorCOB::CCOBRequest& out);
// Appends the encoded Book (or each of a list of them) to out; throws on bad input.
void WriteBooks(pybind11::handle books, CNetStream& out);
// Appends the encoded BookStatus (or (id, text), or a list of them) to out.
void WriteStatuses(pybind11::handle statuses, CNetStream& out);
// Python objects of the library's records; null with the error held.
PyObject* RequestObject(const QuorCOB::CCOBRequest& request);

// The client's book callables.
class ListenerBooks {
public:
    void SetBookCallable(pybind11::object c);
    void SetStatusCallable(pybind11::object c);
    void SetRequestCallable(pybind11::object c);
    void SetDepthCallable(pybind11::object c);
    bool WantsDepth() const { return static_cast<bool>(m_pyOnDepth); }

    // Each calls its callable, if any; false when it raised (error held).
    bool Book(const QuorCOB::CCOBMsg& msg);
    bool Status(const QuorCOB::CCOBStatus& status);
    bool Request(const QuorCOB::CCOBRequest& request);
    // For a depth topic's record: callable(DepthBook).
    bool Depth(const CSymTopic& topic, const CSymData& data);

    int Traverse(visitproc visit, void* arg) {
        Py_VISIT(m_pyOnBook.ptr());
        Py_VISIT(m_pyOnStatus.ptr());
        Py_VISIT(m_pyOnRequest.ptr());
        Py_VISIT(m_pyOnDepth.ptr());
        return 0;
    }
    void Clear() {
        m_pyOnBook = pybind11::object();
        m_pyOnStatus = pybind11::object();
        m_pyOnRequest = pybind11::object();
        m_pyOnDepth = pybind11::object();
    }

private:
    pybind11::object m_pyOnBook;
    pybind11::object m_pyOnStatus;
    pybind11::object m_pyOnRequest;
    pybind11::object m_pyOnDepth;
};

// The feed handler's book request callables.
class ProxyBooks {
public:
    void SetSubscribeCallable(pybind11::object c);
    void SetUnsubscribeCallable(pybind11::object c);
    // A subscribe or unsubscribe request's body: callable(BookRequest). False
    // when it raised (error held).
    bool Request(bool bSubscribe, const char* body, int len);

    int Traverse(visitproc visit, void* arg) {
        Py_VISIT(m_pyOnSubscribe.ptr());
        Py_VISIT(m_pyOnUnsubscribe.ptr());
        return 0;
    }
    void Clear() {
        m_pyOnSubscribe = pybind11::object();
        m_pyOnUnsubscribe = pybind11::object();
    }

private:
    pybind11::object m_pyOnSubscribe;
    pybind11::object m_pyOnUnsubscribe;
};

}  // namespace pyqrx
