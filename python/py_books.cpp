// Consolidated order books for Python: requests, book messages and statuses
// as named tuples both ways, and the book callables of both ends.
#include "py_books.h"

#include <cstdio>
#include <memory>
#include <string>

#include "py_bindings.h"
#include "py_book_values.h"
#include "py_record_dict.h"
#include "qrx/marketdata/cob_msg.h"
#include "qrx/marketdata/cob_request.h"
#include "qrx/marketdata/cob_status.h"
#include "qrx/marketdata/sym_data.h"
#include "qrx/marketdata/sym_data_aux.h"
#include "qrx/wire/net_stream.h"

namespace py = pybind11;
using QuorCOB::CCOBData;
using QuorCOB::CCOBInfo;
using QuorCOB::CCOBMsg;
using QuorCOB::CCOBRequest;
using QuorCOB::CCOBStatus;

namespace pyqrx {

namespace {

using namespace bookvalues;

// The named tuple classes, made at registration and kept for the process.
struct Types {
    PyObject* book = nullptr;
    PyObject* info = nullptr;
    PyObject* data = nullptr;
    PyObject* leg = nullptr;
    PyObject* request = nullptr;
    PyObject* filter = nullptr;
    PyObject* status = nullptr;
} g_types;

// ---- Python values to the library's ----

// A price, None standing for no price.
double AsPrice(py::handle v, const char* what) {
    return v.is_none() ? CCOBData::NO_PRICE : AsDouble(v, what);
}

void AsText(py::handle v, const char* what, GrowingStr& out) {
    TextArg t(v.is_none() ? py::str("") : v, what);
    if (t.size() > 65535 || !out.assign(t.c_str(), static_cast<int>(t.size()))) {
        throw py::value_error(std::string(what) + " is too long");
    }
}

bool AsBool(py::handle v) {
    const int r = PyObject_IsTrue(v.ptr());
    if (r < 0) {
        throw py::error_already_set();
    }
    return r == 1;
}

py::object Attr(py::handle obj, const char* name) {
    if (!py::hasattr(obj, name)) {
        throw py::type_error(std::string("expected an object with the attribute '") + name +
                             "' (a " + "named tuple of pyqrx), not " + Py_TYPE(obj.ptr())->tp_name);
    }
    return obj.attr(name);
}

void AsIds(py::handle v, std::set<int>& out) {
    if (v.is_none()) {
        return;
    }
    for (auto id : py::iter(v)) {
        out.insert(AsInt(id, "a request id"));
    }
}

// {field id: value} into an auxiliary entry; the kind follows from the id's range.
void AsAux(py::handle legTopic, py::handle fields, SymQData& q) {
    GrowingStr topic;
    AsText(legTopic, "leg topic", topic);
    if (topic.length() > CSymDataAux::MAX_BODY_STRING) {
        throw py::value_error("leg topic is longer than " +
                              std::to_string(CSymDataAux::MAX_BODY_STRING) + " characters");
    }
    q.m_topic = topic;
    q.SetFlid(static_cast<short>(CSymData::flid_symbol), topic);
    q.SetFlid(static_cast<short>(CSymData::flid_topic), topic);
    for (auto item : py::reinterpret_borrow<py::dict>(fields)) {
        const int id = AsInt(item.first, "a field id");
        if (id < 0 || id >= SymQData::MAX_FLID) {
            throw py::value_error("field id " + std::to_string(id) + " is outside 0-2047");
        }
        const short s = static_cast<short>(id);
        if (id < 512) {
            q.SetFlid(s, AsDouble(item.second, "a double field"));
        } else if (id < 1024) {
            q.SetFlid(s, AsInt(item.second, "an int field"));
        } else if (id < 1536) {
            GrowingStr text;
            AsText(item.second, "a text field", text);
            q.SetFlid(s, text);
        } else {
            q.SetFlid(s, AsChar(item.second, "a char field"));
        }
    }
    // The reader files the leg under its topic field: that must stay the key.
    for (const StrFld* f = q.beginStrIter(); f != q.endStrIter(); ++f) {
        if (f->m_flid == CSymData::flid_topic && !(f->m_value == topic)) {
            throw py::value_error("the topic field of a leg must be its leg topic (the aux key)");
        }
    }
}

void ToInfo(py::handle o, CCOBInfo& info) {
    info.m_nId = AsInt(Attr(o, "id"), "BookInfo.id");
    AsText(Attr(o, "description"), "BookInfo.description", info.m_sDescription);
    AsText(Attr(o, "exchange"), "BookInfo.exchange", info.m_sExchange);
    py::object legs = Attr(o, "legs");
    if (!legs.is_none()) {
        for (auto l : py::iter(legs)) {
            QuorCOB::stLegInfo leg;
            AsText(Attr(l, "symbol"), "BookLeg.symbol", leg.m_sSymbol);
            leg.m_nExpiry = AsInt(Attr(l, "expiry"), "BookLeg.expiry");
            leg.m_nRatio = AsInt(Attr(l, "ratio"), "BookLeg.ratio");
            leg.m_dblStrikePrice = AsDouble(Attr(l, "strike"), "BookLeg.strike");
            leg.m_cCallPut = AsChar(Attr(l, "callPut"), "BookLeg.callPut");
            leg.m_bIsBid = AsBool(Attr(l, "isBid"));
            leg.m_bIsOption = AsBool(Attr(l, "isOption"));
            info.m_vecLegs.push_back(std::move(leg));
        }
    }
    AsIds(Attr(o, "ids"), info.m_setIds);
}

void ToData(py::handle o, CCOBData& data) {
    data.m_nId = AsInt(Attr(o, "id"), "BookData.id");
    data.m_dblBidPrice = AsPrice(Attr(o, "bidPrice"), "BookData.bidPrice");
    data.m_nBidSize = AsInt(Attr(o, "bidSize"), "BookData.bidSize");
    data.m_dblAskPrice = AsPrice(Attr(o, "askPrice"), "BookData.askPrice");
    data.m_nAskSize = AsInt(Attr(o, "askSize"), "BookData.askSize");
    py::object aux = Attr(o, "aux");
    if (!aux.is_none()) {
        if (!PyDict_Check(aux.ptr())) {
            throw py::type_error("BookData.aux must be a dict {leg topic: {field id: value}}");
        }
        for (auto item : py::reinterpret_borrow<py::dict>(aux)) {
            if (!PyDict_Check(item.second.ptr())) {
                throw py::type_error("BookData.aux values must be dicts {field id: value}");
            }
            auto q = std::make_unique<SymQData>();
            AsAux(item.first, item.second, *q);
            // The reader keeps one leg of a topic (a str and a bytes key may name the same).
            if (!data.AddAuxData(q.release())) {
                throw py::value_error("BookData.aux names a leg topic twice");
            }
        }
    }
    AsIds(Attr(o, "ids"), data.m_setIds);
}

void ToBook(py::handle o, CCOBMsg& msg) {
    AsText(Attr(o, "underlying"), "Book.underlying", msg.m_sUnderlying);
    const int type = AsInt(Attr(o, "type"), "Book.type");
    if (type != CCOBMsg::COB_MSG_TYPE_SNAPSHOT && type != CCOBMsg::COB_MSG_TYPE_UPDATE) {
        throw py::value_error("Book.type must be BOOK_SNAPSHOT or BOOK_UPDATE");
    }
    msg.m_eMsgType = static_cast<CCOBMsg::enCOBMsgType>(type);
    py::object infos = Attr(o, "infos");
    if (!infos.is_none()) {
        for (auto i : py::iter(infos)) {
            CCOBInfo info;
            ToInfo(i, info);
            if (info.m_nId <= 0) {
                throw py::value_error("BookInfo.id must be above 0 (a reader drops the others)");
            }
            const int id = info.m_nId;
            if (!msg.m_mapInfo.emplace(id, std::move(info)).second) {
                throw py::value_error("BookInfo id " + std::to_string(id) +
                                      " is twice in the Book (a reader keeps one)");
            }
        }
    }
    py::object data = Attr(o, "data");
    if (!data.is_none()) {
        for (auto d : py::iter(data)) {
            CCOBData rec;
            ToData(d, rec);
            if (rec.m_nId <= 0) {
                throw py::value_error("BookData.id must be above 0 (a reader drops the others)");
            }
            const int id = rec.m_nId;
            if (!msg.m_mapData.emplace(id, std::move(rec)).second) {
                throw py::value_error("BookData id " + std::to_string(id) +
                                      " is twice in the Book (a reader keeps one)");
            }
        }
    }
    AsIds(Attr(o, "ids"), msg.m_setIds);
}

// A single record or a list of them.
bool IsOne(py::handle o, const char* firstAttr) {
    return py::hasattr(o, firstAttr);
}

// ---- the library's values to Python ----

py::object Ids(const std::set<int>& ids) {
    py::tuple t(ids.size());
    size_t i = 0;
    for (int id : ids) {
        t[i++] = py::int_(id);
    }
    return std::move(t);
}

py::object Price(double p) {
    return p == CCOBData::NO_PRICE ? py::none() : py::object(py::float_(p));
}

py::object AuxFields(const SymQData& q) {
    py::dict d;
    for (const DblFld* f = q.beginDblIter(); f != q.endDblIter(); ++f) {
        d[py::int_(f->m_flid)] = f->m_value;
    }
    for (const IntFld* f = q.beginIntIter(); f != q.endIntIter(); ++f) {
        d[py::int_(f->m_flid)] = f->m_value;
    }
    for (const StrFld* f = q.beginStrIter(); f != q.endStrIter(); ++f) {
        // The leg's key, and its symbol when that is the key too.
        if (f->m_flid == CSymData::flid_topic ||
            (f->m_flid == CSymData::flid_symbol && f->m_value == q.m_topic)) {
            continue;
        }
        d[py::int_(f->m_flid)] = Text(f->m_value);
    }
    for (const ChrFld* f = q.beginChrIter(); f != q.endChrIter(); ++f) {
        d[py::int_(f->m_flid)] =
            py::reinterpret_borrow<py::object>(CharObject(static_cast<unsigned char>(f->m_value)));
    }
    return std::move(d);
}

py::object BookOf(const CCOBMsg& msg) {
    py::list infos;
    for (const auto& kv : msg.m_mapInfo) {
        const CCOBInfo& info = kv.second;
        py::list legs;
        for (const auto& leg : info.m_vecLegs) {
            legs.append(Make(g_types.leg,
                             {Text(leg.m_sSymbol), py::int_(leg.m_nExpiry), py::int_(leg.m_nRatio),
                              py::float_(leg.m_dblStrikePrice), CharOrEmpty(leg.m_cCallPut),
                              py::bool_(leg.m_bIsBid), py::bool_(leg.m_bIsOption)}));
        }
        infos.append(Make(g_types.info, {py::int_(info.m_nId), Text(info.m_sDescription),
                                         Text(info.m_sExchange), legs, Ids(info.m_setIds)}));
    }
    py::list data;
    for (const auto& kv : msg.m_mapData) {
        const CCOBData& d = kv.second;
        py::dict aux;
        for (const SymQData* q : d.m_setAuxData) {
            aux[Text(q->m_topic)] = AuxFields(*q);
        }
        data.append(Make(g_types.data,
                         {py::int_(d.m_nId), Price(d.m_dblBidPrice), py::int_(d.m_nBidSize),
                          Price(d.m_dblAskPrice), py::int_(d.m_nAskSize), aux, Ids(d.m_setIds)}));
    }
    return Make(g_types.book, {Text(msg.m_sUnderlying), py::int_(static_cast<int>(msg.m_eMsgType)),
                               infos, data, Ids(msg.m_setIds)});
}

py::object RequestOf(const CCOBRequest& r) {
    py::list filters;
    for (const auto& f : r.m_vecFilters) {
        filters.append(
            Make(g_types.filter, {Text(f.m_sFilterField), Text(f.m_sFilterValueLowerBound),
                                  Text(f.m_sFilterValueUpperBound)}));
    }
    return Make(g_types.request,
                {py::int_(r.m_nId), py::int_(r.m_nClosure), Text(r.m_sTopic), filters});
}

}  // namespace

// ---- exported conversions ----

void ToRequest(py::handle o, CCOBRequest& out) {
    out.m_nId = AsInt(Attr(o, "id"), "BookRequest.id");
    out.m_nClosure = AsInt(Attr(o, "closure"), "BookRequest.closure");
    AsText(Attr(o, "topic"), "BookRequest.topic", out.m_sTopic);
    py::object filters = Attr(o, "filters");
    if (!filters.is_none()) {
        for (auto f : py::iter(filters)) {
            QuorCOB::stFilter filter;
            if (py::isinstance<py::tuple>(f) && !py::hasattr(f, "field")) {
                py::tuple t = py::reinterpret_borrow<py::tuple>(f);
                if (t.size() != 3) {
                    throw py::type_error("a filter is (field, low, high)");
                }
                AsText(t[0], "filter field", filter.m_sFilterField);
                AsText(t[1], "filter low", filter.m_sFilterValueLowerBound);
                AsText(t[2], "filter high", filter.m_sFilterValueUpperBound);
            } else {
                AsText(Attr(f, "field"), "BookFilter.field", filter.m_sFilterField);
                AsText(Attr(f, "low"), "BookFilter.low", filter.m_sFilterValueLowerBound);
                AsText(Attr(f, "high"), "BookFilter.high", filter.m_sFilterValueUpperBound);
            }
            out.m_vecFilters.push_back(std::move(filter));
        }
    }
}

void WriteBooks(py::handle books, CNetStream& out) {
    auto one = [&out](py::handle b) {
        CCOBMsg msg;
        ToBook(b, msg);
        if (!QuorCOB::write_cob(out, msg)) {
            throw py::value_error("the book could not be encoded");
        }
    };
    if (IsOne(books, "underlying")) {
        one(books);
        return;
    }
    for (auto b : py::iter(books)) {
        one(b);
    }
}

void WriteStatuses(py::handle statuses, CNetStream& out) {
    auto one = [&out](py::handle s) {
        CCOBStatus status;
        if (py::hasattr(s, "status")) {
            status.m_nId = AsInt(s.attr("id"), "BookStatus.id");
            AsText(s.attr("status"), "BookStatus.status", status.m_sStatus);
        } else {
            py::tuple t = py::reinterpret_borrow<py::tuple>(s);
            if (!py::isinstance<py::tuple>(s) || t.size() != 2) {
                throw py::type_error("a book status is BookStatus(id, status) or (id, status)");
            }
            status.m_nId = AsInt(t[0], "a book status id");
            AsText(t[1], "a book status text", status.m_sStatus);
        }
        if (!QuorCOB::write_cob(out, status)) {
            throw py::value_error("the book status could not be encoded");
        }
    };
    if (py::hasattr(statuses, "status") ||
        (py::isinstance<py::tuple>(statuses) && py::len(statuses) == 2 &&
         PyLong_Check(py::reinterpret_borrow<py::tuple>(statuses)[0].ptr()))) {
        one(statuses);
        return;
    }
    for (auto s : py::iter(statuses)) {
        one(s);
    }
}

PyObject* RequestObject(const CCOBRequest& request) {
    try {
        return Held(RequestOf(request));
    } catch (py::error_already_set& e) {
        e.restore();
    }
    pending_error::Take();
    return nullptr;
}

// ---- the client's callables ----

void ListenerBooks::SetBookCallable(py::object c) {
    m_pyOnBook = Checked(std::move(c), "onBook");
}
void ListenerBooks::SetStatusCallable(py::object c) {
    m_pyOnStatus = Checked(std::move(c), "onBookStatus");
}
void ListenerBooks::SetRequestCallable(py::object c) {
    m_pyOnRequest = Checked(std::move(c), "onBookRequest");
}
void ListenerBooks::SetDepthCallable(py::object c) {
    m_pyOnDepth = Checked(std::move(c), "onDepth");
}

bool ListenerBooks::Book(const CCOBMsg& msg) {
    return CallWithBuilt(m_pyOnBook, [&msg] { return BookOf(msg); });
}

bool ListenerBooks::Status(const CCOBStatus& status) {
    return CallWithBuilt(m_pyOnStatus, [&status] {
        return Make(g_types.status, {py::int_(status.m_nId), Text(status.m_sStatus)});
    });
}

bool ListenerBooks::Request(const CCOBRequest& request) {
    return CallWithBuilt(m_pyOnRequest, [&request] { return RequestOf(request); });
}

// ---- the feed handler's callables ----

void ProxyBooks::SetSubscribeCallable(py::object c) {
    m_pyOnSubscribe = Checked(std::move(c), "onBookSubscribe");
}
void ProxyBooks::SetUnsubscribeCallable(py::object c) {
    m_pyOnUnsubscribe = Checked(std::move(c), "onBookUnsubscribe");
}

bool ProxyBooks::Request(bool bSubscribe, const char* body, int len) {
    const py::object& callable = bSubscribe ? m_pyOnSubscribe : m_pyOnUnsubscribe;
    if (!callable || pending_error::Pending()) {
        return true;
    }
    CNetStream in(const_cast<char*>(body), len, false);
    CCOBRequest request;
    if (!QuorCOB::read_cob(in, request)) {
        fputs("Dropped an order book request that could not be read\n", stderr);
        return true;
    }
    return CallWithBuilt(callable, [&request] { return RequestOf(request); });
}

// ---- registration ----

void RegisterBooks(py::module_& m) {
    m.attr("BOOK_SNAPSHOT") = static_cast<int>(CCOBMsg::COB_MSG_TYPE_SNAPSHOT);
    m.attr("BOOK_UPDATE") = static_cast<int>(CCOBMsg::COB_MSG_TYPE_UPDATE);
    py::none none;
    g_types.filter = Held(NamedTuple(m, "BookFilter", "field low high", py::make_tuple("", ""),
                                     "A filter of a book request: a field name and the bounds "
                                     "of its value (texts)."));
    g_types.request = Held(NamedTuple(
        m, "BookRequest", "id closure topic filters", py::make_tuple(0, "", py::tuple()),
        "A request for consolidated order books: request id, closure value, topic and a list "
        "of BookFilter."));
    g_types.leg = Held(NamedTuple(
        m, "BookLeg", "symbol expiry ratio strike callPut isBid isOption",
        py::make_tuple(0, 1, 0.0, "", true, false),
        "One leg of a book's composite instrument: symbol (the underlying of an option leg), "
        "expiry, ratio, strike price, call/put character ('' for none), side and whether it is "
        "an option."));
    g_types.info = Held(NamedTuple(
        m, "BookInfo", "id description exchange legs ids",
        py::make_tuple("", "", py::tuple(), py::tuple()),
        "The description of a book: id (above 0), description, exchange, a list of BookLeg and "
        "the request ids it serves."));
    g_types.data = Held(NamedTuple(
        m, "BookData", "id bidPrice bidSize askPrice askSize aux ids",
        py::make_tuple(none, 0, none, 0, none, py::tuple()),
        "The current data of a book: id (above 0), best bid and ask (price None for none) with "
        "their sizes, aux {leg topic: {field id: value}} per leg (each leg needs one field at "
        "least; its symbol field is the leg topic unless given, its topic field is the leg "
        "topic) and the request ids it serves."));
    g_types.book = Held(NamedTuple(
        m, "Book", "underlying type infos data ids",
        py::make_tuple(py::list(), py::list(), py::tuple()),
        "A consolidated order book message: the equity underlying, BOOK_SNAPSHOT or "
        "BOOK_UPDATE, lists of BookInfo and BookData (each id once; in increasing id order "
        "when received) and the request ids it serves."));
    g_types.status = Held(NamedTuple(m, "BookStatus", "id status", py::tuple(),
                                     "The status of a book request: its id and a text."));

    RegisterDepth(m);
    RegisterTranslator(m);
}

}  // namespace pyqrx
