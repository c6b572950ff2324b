#include "py_proxy_base.h"

#include <cstring>
#include <string>

#include "py_bindings.h"
#include "py_record_dict.h"
#include "qrx/marketdata/cob_request.h"
#include "qrx/wire/sym_msgs.h"

namespace py = pybind11;

namespace pyqrx {

namespace {

// Longest raw body of one message: the length field, the header and the
// body's own length prefix must fit 16 bits.
constexpr int kMaxRawBody = MAX_MSG_LEN - MsgHdrSym::BODY_OFFSET - 2;

}  // namespace

bool ProxyBase::HandleClientRequest(MsgHdrSym* pSym) {
    if (pSym != nullptr &&
        (pSym->mtyp == CM_SYM_SUBSCRIBE_COB || pSym->mtyp == CM_SYM_UNSUBSCRIBE_COB)) {
        const int nBody =
            pSym->msglen > MsgHdrSym::BODY_OFFSET ? pSym->msglen - MsgHdrSym::BODY_OFFSET : 0;
        m_books.Request(pSym->mtyp == CM_SYM_SUBSCRIBE_COB, MsgBody(pSym), nBody);
        return true;
    }
    return CSymProxy::HandleClientRequest(pSym);
}

bool ProxyBase::SendBody(short mtyp, CNetStream& body) {
    char* bytes = nullptr;
    int len = 0;
    body.GetBuf(bytes, len);
    if (len > kMaxRawBody) {
        throw py::value_error("the message would be " + std::to_string(len) +
                              " bytes, more than one message carries (" +
                              std::to_string(kMaxRawBody) + "): send fewer at a time");
    }
    if (len == 0 || !HasClient() || m_pPools == nullptr) {
        return false;
    }
    CGrowingBuffer* pBuf = m_pPools->m_MsgBufPool.Get();
    if (pBuf == nullptr) {
        return false;
    }
    pBuf->Reset();
    const MsgHdrCmn hdr = {MsgHdrSym::HDR_TYPE, mtyp, 0, 0};
    pBuf->Append(reinterpret_cast<const char*>(&hdr), MsgHdrSym::BODY_OFFSET);
    pBuf->Append(bytes, len);
    if (len <= 4) {
        // A body this short is held in 8 bytes (the length rule); its bytes are sent as read.
        static const char kZeros[8] = {};
        pBuf->Append(kZeros, 8 - len);
    }
    SetMsgLen(reinterpret_cast<MsgHdrSym*>(pBuf->GetData()), len);
    CallScope call;
    const bool ok = SendKept(pBuf);
    call.Finish();
    return ok;
}

bool ProxyBase::FlushNow() {
    if (Batched()) {
        return true;
    }
    // Writing may find the server gone, which reaches the unsubscribe callable.
    CallScope call;
    const bool ok = Flush(false, nullptr);
    call.Finish();
    return ok;
}

bool ProxyBase::PySendResponse(CResponse& response) {
    if (!HasClient()) {
        return false;
    }
    const bool ok = SendResponse(&response);
    if (m_bQueue) {
        return ok;  // the serving thread, woken by the response's queue, writes it
    }
    return FlushNow() && ok;
}

bool ProxyBase::PyPublishBook(py::handle books) {
    CNetStream body(true, 1024, 1024);
    WriteBooks(books, body);
    return SendBody(CM_SYM_COB_DATA, body);
}

bool ProxyBase::PySendBookStatus(py::handle statuses) {
    CNetStream body(true, 256, 256);
    WriteStatuses(statuses, body);
    return SendBody(CM_SYM_COB_STATUS, body);
}

bool ProxyBase::PySendBookRequest(py::handle request) {
    QuorCOB::CCOBRequest r;
    ToRequest(request, r);
    CNetStream body(true, 256, 256);
    if (!QuorCOB::write_cob(body, r)) {
        throw py::value_error("the book request could not be encoded");
    }
    return SendBody(CM_SYM_COB_CREATE, body);
}

bool ProxyBase::PyEnableTranslation(py::handle path, bool bExchange) {
    TextArg p(path, "path");
    if (p.null()) {
        return bExchange ? EnableExchTranslation(nullptr) : EnableSymTranslation(nullptr);
    }
    return bExchange ? EnableExchTranslation(p.c_str()) : EnableSymTranslation(p.c_str());
}

py::object ProxyBase::PyToFeed(py::handle topic) {
    TextArg t(topic, "topic");
    if (t.null()) {
        return py::none();
    }
    const char* feed = ConvertKo2Feed(t.c_str());
    PyObject* o = TextObject(feed, static_cast<Py_ssize_t>(strlen(feed)));
    if (o == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(o);
}

const char* const kOnBookSubscribeDoc =
    "Sets callable(request), called with the BookRequest of each consolidated order book "
    "subscription of the client. None removes it.";

const char* const kOnBookUnsubscribeDoc =
    "Sets callable(request), called with the BookRequest the client drops. None removes it.";

const char* const kPublishBookDoc =
    R"doc(Sends a Book (or a list of them, in one message) to the client:
Book(underlying, type, infos, data, ids) with BookInfo and BookData
records whose ids are above 0. False without a client; ValueError when
the message would pass 65,525 bytes. Written at once (or kept while the
socket is full): call it from the thread that serves the client.)doc";

const char* const kSendBookStatusDoc =
    "Sends the status of book requests: a BookStatus(id, status), an (id, status) pair or a "
    "list of them, in one message. False without a client.";

const char* const kSendBookRequestDoc =
    "Asks the client to create a book: sends a BookRequest, which reaches its onBookRequest "
    "callable. False without a client.";

const char* const kEnableSymbolTranslationDoc =
    R"doc(Loads a symbol translation file (see Translator): the plain topics of
the client's requests reach the callables as feed symbols, and each tick
published under a feed symbol also goes out under every client symbol that
translates to it. False, translation off, when the file cannot be read.)doc";

const char* const kEnableExchangeTranslationDoc =
    R"doc(Loads an exchange translation file: the values of the exchange,
bid_quoter, ask_quoter and last_exchange fields of published ticks are
translated before they are stored. False, translation off, when the file
cannot be read.)doc";

const char* const kToFeedDoc =
    "The feed topic of a client topic under the symbol table (structured topics and, without "
    "a table, every topic unchanged).";

}  // namespace pyqrx
