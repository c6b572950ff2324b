// The base of the Python Symproxy: commands and their responses, order-book
// requests and messages, and the translation tables, with the methods Python
// sees for them, defined on the Symproxy class by DefProxyExtras.
#pragma once

#include <pybind11/pybind11.h>

#include "py_books.h"
#include "py_commands.h"
#include "py_extras.h"
#include "qrx/proxy/sym_proxy.h"

namespace pyqrx {

class ProxyBase : public CSymProxy, public CommandsAndBooks<ProxyCommands, ProxyBooks> {
public:
    void OnCommand(CCommand* pCommand) override { m_commands.Command(*pCommand); }
    // Order-book requests to their callables; every other request as the proxy handles it.
    bool HandleClientRequest(MsgHdrSym* pSym) override;

    // ---- the methods Python sees ----
    bool PySendResponse(CResponse& response);
    bool PyPublishBook(pybind11::handle books);
    bool PySendBookStatus(pybind11::handle statuses);
    bool PySendBookRequest(pybind11::handle request);
    bool PyEnableTranslation(pybind11::handle path, bool bExchange);
    pybind11::object PyToFeed(pybind11::handle topic);

protected:
    // True while publish only lists ticks (inside batch()): sends then wait for its end.
    virtual bool Batched() const { return false; }
    // Writes one Sym message of the body's bytes now, or keeps it for the client.
    bool SendBody(short mtyp, CNetStream& body);
    // Flushes unless batched; the Python error of a callback it reached, if any, is raised.
    bool FlushNow();
};

extern const char* const kOnBookSubscribeDoc;
extern const char* const kOnBookUnsubscribeDoc;
extern const char* const kPublishBookDoc;
extern const char* const kSendBookStatusDoc;
extern const char* const kSendBookRequestDoc;
extern const char* const kEnableSymbolTranslationDoc;
extern const char* const kEnableExchangeTranslationDoc;
extern const char* const kToFeedDoc;

// Defines the command, book and translation methods on the Python class of T (a ProxyBase).
template <typename T, typename... Extra>
void DefProxyExtras(pybind11::class_<T, Extra...>& cls) {
    namespace py = pybind11;
    cls.def(
           "onCommand", [](T& p, py::object c) { p.m_commands.SetCommandCallable(std::move(c)); },
           py::arg("callable"), kOnCommandDoc)
        .def("sendResponse", &ProxyBase::PySendResponse, py::arg("response"), kSendResponseDoc)
        .def(
            "onBookSubscribe",
            [](T& p, py::object c) { p.m_books.SetSubscribeCallable(std::move(c)); },
            py::arg("callable"), kOnBookSubscribeDoc)
        .def(
            "onBookUnsubscribe",
            [](T& p, py::object c) { p.m_books.SetUnsubscribeCallable(std::move(c)); },
            py::arg("callable"), kOnBookUnsubscribeDoc)
        .def("publishBook", &ProxyBase::PyPublishBook, py::arg("books"), kPublishBookDoc)
        .def("sendBookStatus", &ProxyBase::PySendBookStatus, py::arg("statuses"),
             kSendBookStatusDoc)
        .def("sendBookRequest", &ProxyBase::PySendBookRequest, py::arg("request"),
             kSendBookRequestDoc)
        .def(
            "enableSymbolTranslation",
            [](T& p, py::handle path) { return p.PyEnableTranslation(path, false); },
            py::arg("path"), kEnableSymbolTranslationDoc)
        .def(
            "enableExchangeTranslation",
            [](T& p, py::handle path) { return p.PyEnableTranslation(path, true); },
            py::arg("path"), kEnableExchangeTranslationDoc)
        .def("toFeed", &ProxyBase::PyToFeed, py::arg("topic"), kToFeedDoc);
}

}  // namespace pyqrx
