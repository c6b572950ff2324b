#include "py_listener_base.h"

#include "py_bindings.h"
#include "qrx/client/sym_connection.h"
#include "qrx/marketdata/cob_request.h"
#include "qrx/marketdata/sym_topic.h"

namespace py = pybind11;

namespace pyqrx {

void ListenerBase::Interrupt() {
    if (CSymConnection* conn = GetSymConnection()) {
        conn->InterruptDispatch();
    }
}

void ListenerBase::OnData(const CSymTopic* topic, const CSymData* data) {
    if (!m_books.WantsDepth() || topic->Type() != CSymTopic::TOPIC_DEPTH) {
        return;
    }
    if (!m_books.Depth(*topic, *data)) {
        Interrupt();
    }
}

bool ListenerBase::PySubscribeBook(py::handle request, bool bSubscribe) {
    QuorCOB::CCOBRequest r;
    ToRequest(request, r);
    CSymConnection* conn = GetSymConnection();
    if (conn == nullptr) {
        return false;
    }
    CallScope call;
    const bool ok = bSubscribe ? conn->SubscribeCOB(r) : conn->UnsubscribeCOB(r);
    call.Finish();
    return ok;
}

const char* const kSubscribeBookDoc =
    R"doc(Asks for consolidated order books with a BookRequest(id, closure,
topic, filters); the books arrive through onBook. False without a
connection or for a request too big for one message.)doc";

const char* const kUnsubscribeBookDoc =
    "Drops a book request made with subscribeBook (the same BookRequest); False without a "
    "connection.";

const char* const kOnBookDoc =
    R"doc(Sets callable(book), called with each consolidated order book message
as a Book(underlying, type, infos, data, ids). None removes it.)doc";

const char* const kOnBookStatusDoc =
    "Sets callable(status), called with each BookStatus(id, status) of a book request. None "
    "removes it.";

const char* const kOnBookRequestDoc =
    "Sets callable(request), called with each BookRequest the feed handler sends to have a "
    "book created. None removes it.";

const char* const kOnDepthDoc =
    R"doc(Sets callable(book), called for each update of a depth topic (see
depthTopic) with a DepthBook(topic, symbol, source, bids, asks), the levels
as lists of Level(price, size, quoter), best first. None removes it.)doc";

}  // namespace pyqrx
