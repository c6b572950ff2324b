// The base of the Python Symlistener: the listener callbacks of commands and
// order books (py_commands.h, py_books.h) and the methods Python sees for
// them, defined on the Symlistener class by DefListenerExtras.
#pragma once

#include <pybind11/pybind11.h>

#include "py_books.h"
#include "py_commands.h"
#include "py_extras.h"
#include "qrx/client/sym_listener.h"

namespace pyqrx {

class ListenerBase : public CSymListener, public CommandsAndBooks<ListenerCommands, ListenerBooks> {
public:
    using CSymListener::OnData;

    // ---- listener callbacks; a callable that raises stops the dispatch ----
    void OnResponse(CResponse* response) override {
        if (!m_commands.Response(GetSymConnection(), response)) {
            Interrupt();
        }
    }
    void OnCOBMsg(QuorCOB::CCOBMsg* msg) override {
        if (!m_books.Book(*msg)) {
            Interrupt();
        }
    }
    void OnCOBStatus(QuorCOB::CCOBStatus* status) override {
        if (!m_books.Status(*status)) {
            Interrupt();
        }
    }
    void OnCreateCOBRequest(QuorCOB::CCOBRequest* request) override {
        if (!m_books.Request(*request)) {
            Interrupt();
        }
    }
    // Structured topics: depth books to the depth callable.
    void OnData(const CSymTopic* topic, const CSymData* data) override;
    // May come without the interpreter lock (a disconnect gives it up).
    void OnConnectionClose(CApiConnection* conn) override {
        CSymListener::OnConnectionClose(conn);
        m_commands.ConnectionClosed();
    }

    // ---- the methods Python sees ----
    pybind11::object PySendCommand(CCommand& command, pybind11::object callback) {
        return m_commands.Send(GetSymConnection(), command, std::move(callback));
    }
    bool PySubscribeBook(pybind11::handle request, bool bSubscribe);

protected:
    void Interrupt();
};

extern const char* const kSubscribeBookDoc;
extern const char* const kUnsubscribeBookDoc;
extern const char* const kOnBookDoc;
extern const char* const kOnBookStatusDoc;
extern const char* const kOnBookRequestDoc;
extern const char* const kOnDepthDoc;

// Defines the command and book methods on the Python class of T (a ListenerBase).
template <typename T, typename... Extra>
void DefListenerExtras(pybind11::class_<T, Extra...>& cls) {
    namespace py = pybind11;
    cls.def("sendCommand", &ListenerBase::PySendCommand, py::arg("command"),
            py::arg("callback") = py::none(), kSendCommandDoc)
        .def(
            "onResponse",
            [](T& l, py::object c) { l.m_commands.SetResponseCallable(std::move(c)); },
            py::arg("callable"), kOnResponseDoc)
        .def(
            "subscribeBook",
            [](T& l, py::handle request) { return l.PySubscribeBook(request, true); },
            py::arg("request"), kSubscribeBookDoc)
        .def(
            "unsubscribeBook",
            [](T& l, py::handle request) { return l.PySubscribeBook(request, false); },
            py::arg("request"), kUnsubscribeBookDoc)
        .def(
            "onBook", [](T& l, py::object c) { l.m_books.SetBookCallable(std::move(c)); },
            py::arg("callable"), kOnBookDoc)
        .def(
            "onBookStatus", [](T& l, py::object c) { l.m_books.SetStatusCallable(std::move(c)); },
            py::arg("callable"), kOnBookStatusDoc)
        .def(
            "onBookRequest", [](T& l, py::object c) { l.m_books.SetRequestCallable(std::move(c)); },
            py::arg("callable"), kOnBookRequestDoc)
        .def(
            "onDepth", [](T& l, py::object c) { l.m_books.SetDepthCallable(std::move(c)); },
            py::arg("callable"), kOnDepthDoc);
}

}  // namespace pyqrx
