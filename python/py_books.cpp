#include "py_books.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "py_bindings.h"
#include "py_record_dict.h"
#include "qrx/marketdata/cob_msg.h"
#include "qrx/marketdata/cob_request.h"
#include "qrx/marketdata/cob_status.h"
#include "qrx/marketdata/sym_data.h"
#include "qrx/marketdata/sym_data_aux.h"
#include "qrx/marketdata/sym_topic.h"
#include "qrx/marketdata/topic_builders.h"
#include "qrx/proxy/sym_translator.h"
#include "qrx/wire/net_stream.h"

namespace py = pybind11;
using QuorCOB::CCOBData;
using QuorCOB::CCOBInfo;
using QuorCOB::CCOBMsg;
using QuorCOB::CCOBRequest;
using QuorCOB::CCOBStatus;

namespace pyqrx {

namespace {

// The named tuple classes, made at registration and kept for the process.
struct Types {
    PyObject* book = nullptr;
    PyObject* info = nullptr;
    PyObject* data = nullptr;
    PyObject* leg = nullptr;
    PyObject* request = nullptr;
    PyObject* filter = nullptr;
    PyObject* status = nullptr;
    PyObject* depth = nullptr;
    PyObject* level = nullptr;
} g_types;

constexpr int kMaxDepthLevels = 20;

// The field ids of one depth level: price, size and quoter, per side.
struct LevelIds {
    int price = -1;
    int size = -1;
    int quoter = -1;
};
LevelIds g_bidLevels[kMaxDepthLevels];
LevelIds g_askLevels[kMaxDepthLevels];

int FlidOf(const std::string& name) {
    CSymData::enFlids id{};
    bool found = false;
    CSymDataAux::FieldToFlid(name.c_str(), id, found);
    return found ? static_cast<int>(id) : -1;
}

void InitLevelIds() {
    for (int i = 0; i < kMaxDepthLevels; ++i) {
        const std::string n = std::to_string(i + 1);
        g_bidLevels[i] = {FlidOf("bid" + n), FlidOf("bid_size" + n), FlidOf("bid_quoter" + n)};
        g_askLevels[i] = {FlidOf("ask" + n), FlidOf("ask_size" + n), FlidOf("ask_quoter" + n)};
    }
}

py::object Text(const char* s, size_t len) {
    PyObject* o = TextObject(s, static_cast<Py_ssize_t>(len));
    if (o == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(o);
}

py::object Text(const GrowingStr& s) {
    return Text(s.c_str(), s.length());
}

// The NUL character reads as the empty string, any other as itself.
py::object CharOrEmpty(char c) {
    if (c == '\0') {
        return py::str("");
    }
    return py::reinterpret_borrow<py::object>(CharObject(static_cast<unsigned char>(c)));
}

py::object Make(PyObject* type, std::initializer_list<py::object> args) {
    py::tuple t(args.size());
    size_t i = 0;
    for (const auto& a : args) {
        t[i++] = a;
    }
    return py::reinterpret_borrow<py::object>(type)(*t);
}

// ---- Python values to the library's ----

int AsInt(py::handle v, const char* what) {
    if (!PyLong_Check(v.ptr())) {
        throw py::type_error(std::string(what) + " must be an int, not " +
                             Py_TYPE(v.ptr())->tp_name);
    }
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
    if (n == -1 && PyErr_Occurred()) {
        throw py::error_already_set();
    }
    if (overflow != 0 || n < INT_MIN || n > INT_MAX) {
        throw py::value_error(std::string(what) + " does not fit a signed 32-bit int");
    }
    return static_cast<int>(n);
}

double AsDouble(py::handle v, const char* what) {
    if (!PyFloat_Check(v.ptr()) && !PyLong_Check(v.ptr())) {
        throw py::type_error(std::string(what) + " must be a float, not " +
                             Py_TYPE(v.ptr())->tp_name);
    }
    const double d = PyFloat_AsDouble(v.ptr());
    if (d == -1.0 && PyErr_Occurred()) {
        throw py::error_already_set();
    }
    return d;
}

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

// One character (str up to U+00FF, one byte) or the empty string / None for none.
char AsChar(py::handle v, const char* what) {
    PyObject* o = v.ptr();
    if (o == Py_None) {
        return '\0';
    }
    if (PyUnicode_Check(o) && PyUnicode_GetLength(o) <= 1) {
        if (PyUnicode_GetLength(o) == 0) {
            return '\0';
        }
        const Py_UCS4 c = PyUnicode_ReadChar(o, 0);
        if (c <= 0xFF) {
            return static_cast<char>(c);
        }
    }
    if (PyBytes_Check(o) && PyBytes_GET_SIZE(o) <= 1) {
        return PyBytes_GET_SIZE(o) == 0 ? '\0' : PyBytes_AS_STRING(o)[0];
    }
    throw py::value_error(std::string(what) + " must be one character, not " +
                          py::repr(v).cast<std::string>());
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
            data.AddAuxData(q.release());
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
            msg.m_mapInfo.emplace(info.m_nId, std::move(info));
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
            msg.m_mapData.emplace(rec.m_nId, std::move(rec));
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
        if (f->m_flid == CSymData::flid_symbol || f->m_flid == CSymData::flid_topic) {
            continue;  // the leg's key
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

// ---- depth books ----

py::list Levels(const CSymData& data, const LevelIds* ids) {
    py::list levels;
    for (int i = 0; i < kMaxDepthLevels; ++i) {
        double price = 0;
        if (ids[i].price < 0 || !data.GetFlidDouble(ids[i].price, price)) {
            break;
        }
        int size = 0;
        data.GetFlidInt(ids[i].size, size);
        const char* quoter = nullptr;
        py::object q = py::none();
        if (ids[i].quoter >= 0 && data.GetFlidStringPtr(ids[i].quoter, quoter) &&
            quoter != nullptr) {
            q = Text(quoter, strlen(quoter));
        }
        levels.append(Make(g_types.level, {py::float_(price), py::int_(size), q}));
    }
    return levels;
}

// The levels of one side from a list of (price, size[, quoter]) into fields.
void LevelFields(py::handle side, const LevelIds* ids, const char* name, py::dict& out) {
    if (side.is_none()) {
        return;
    }
    int i = 0;
    for (auto level : py::iter(side)) {
        if (i == kMaxDepthLevels) {
            throw py::value_error(std::string("a depth book has at most 20 levels a side (") +
                                  name + ")");
        }
        py::sequence seq = py::reinterpret_borrow<py::sequence>(level);
        if (!PySequence_Check(level.ptr()) || seq.size() < 2 || seq.size() > 3) {
            throw py::type_error(std::string(name) +
                                 " levels must be (price, size) or (price, size, quoter)");
        }
        out[py::int_(ids[i].price)] = py::float_(AsDouble(seq[0], "a level's price"));
        out[py::int_(ids[i].size)] = py::int_(AsInt(seq[1], "a level's size"));
        if (seq.size() == 3 && !seq[2].is_none()) {
            TextArg t(seq[2], "a level's quoter");
            out[py::int_(ids[i].quoter)] = seq[2];
        }
        ++i;
    }
}

py::dict DepthFields(py::handle bids, py::handle asks) {
    py::dict out;
    LevelFields(bids, g_bidLevels, "bid", out);
    LevelFields(asks, g_askLevels, "ask", out);
    // The best level also as the top of the book, for subscribers that read only that.
    const std::pair<const LevelIds*, const char*> sides[2] = {{g_bidLevels, "bid"},
                                                              {g_askLevels, "ask"}};
    for (const auto& side : sides) {
        const std::string n = side.second;
        py::int_ price(side.first[0].price);
        if (out.contains(price)) {
            out[py::int_(FlidOf(n))] = out[price];
            out[py::int_(FlidOf(n + "_size"))] = out[py::int_(side.first[0].size)];
            py::int_ quoter(side.first[0].quoter);
            if (out.contains(quoter)) {
                out[py::int_(FlidOf(n + "_quoter"))] = out[quoter];
            }
        }
    }
    return out;
}

std::string DepthTopic(py::handle symbol, py::handle source) {
    TextArg s(symbol, "symbol");
    if (s.null() || s.size() == 0) {
        throw py::value_error("a depth topic needs a symbol");
    }
    char c = 0;
    if (PyLong_Check(source.ptr())) {
        const int n = AsInt(source, "source");
        if (n < 1 || n > 255) {
            throw py::value_error("a depth source is a code from 1 to 255");
        }
        c = static_cast<char>(n);
    } else {
        c = AsChar(source, "source");
    }
    if (c == '\0') {
        throw py::value_error("a depth topic needs a source");
    }
    char topic[CSymTopicBuilders::TOPIC_SIZE];
    const int n = CSymTopicBuilders::CreateDepthTopic(s.c_str(), c, topic, sizeof topic);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof topic - 1) {
        throw py::value_error("the depth topic would be longer than 127 bytes");
    }
    return std::string(topic, static_cast<size_t>(n));
}

// (bids, asks) of an update dict {field id: value}.
py::tuple DepthLevels(py::handle data) {
    if (!PyDict_Check(data.ptr())) {
        throw py::type_error("depthLevels takes a dict of field ids to values");
    }
    py::dict d = py::reinterpret_borrow<py::dict>(data);
    py::list sides[2];
    const LevelIds* ids[2] = {g_bidLevels, g_askLevels};
    for (int s = 0; s < 2; ++s) {
        for (int i = 0; i < kMaxDepthLevels; ++i) {
            py::int_ price(ids[s][i].price);
            if (!d.contains(price)) {
                break;
            }
            py::int_ size(ids[s][i].size);
            py::int_ quoter(ids[s][i].quoter);
            sides[s].append(
                Make(g_types.level, {d[price], d.contains(size) ? py::object(d[size]) : py::int_(0),
                                     d.contains(quoter) ? py::object(d[quoter]) : py::none()}));
        }
    }
    return py::make_tuple(sides[0], sides[1]);
}

PyObject* Held(py::object o) {
    return o.release().ptr();
}

// Runs f, which builds the Python argument; calls callable with it. False with the error held.
template <typename F>
bool CallWithBuilt(const py::object& callable, F build) {
    if (!callable || pending_error::Pending()) {
        return true;
    }
    try {
        py::object arg = build();
        py::object held = callable;
        held(arg);
        return true;
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    pending_error::Take();
    return false;
}

py::object Checked(py::object c, const char* what) {
    if (c.is_none()) {
        return py::object();
    }
    if (!PyCallable_Check(c.ptr())) {
        throw py::type_error(std::string(what) + " takes a callable or None");
    }
    return c;
}

py::object NamedTuple(py::module_& m, const char* name, const char* fields, py::tuple defaults,
                      const char* doc) {
    py::object nt = py::module_::import("collections").attr("namedtuple");
    py::object t = nt(name, fields, py::arg("defaults") = defaults);
    t.attr("__module__") = "pyqrx";
    t.attr("__doc__") = doc;
    m.attr(name) = t;
    return t;
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

bool ListenerBooks::Depth(const CSymTopic& topic, const CSymData& data) {
    return CallWithBuilt(m_pyOnDepth, [&topic, &data] {
        const char* full = nullptr;
        py::object topicText = py::str("");
        if (data.GetFlidStringPtr(CSymData::flid_topic, full) && full != nullptr) {
            topicText = Text(full, strlen(full));
        }
        py::object symbol = topic.m_szSymbol != nullptr
                                ? Text(topic.m_szSymbol, static_cast<size_t>(topic.m_iSymbolLength))
                                : py::str("");
        return Make(g_types.depth, {topicText, symbol, CharOrEmpty(topic.m_cDepthSource),
                                    Levels(data, g_bidLevels), Levels(data, g_askLevels)});
    });
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
    InitLevelIds();
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
        "least) and the request ids it serves."));
    g_types.book = Held(NamedTuple(
        m, "Book", "underlying type infos data ids",
        py::make_tuple(py::list(), py::list(), py::tuple()),
        "A consolidated order book message: the equity underlying, BOOK_SNAPSHOT or "
        "BOOK_UPDATE, lists of BookInfo and BookData (in increasing id order when received) "
        "and the request ids it serves."));
    g_types.status = Held(NamedTuple(m, "BookStatus", "id status", py::tuple(),
                                     "The status of a book request: its id and a text."));
    g_types.level = Held(NamedTuple(m, "Level", "price size quoter", py::make_tuple(none),
                                    "One level of a depth book: price, size and quoter (None "
                                    "when the record has none)."));
    g_types.depth = Held(NamedTuple(
        m, "DepthBook", "topic symbol source bids asks", py::tuple(),
        "A depth topic's update: the topic, its symbol and source (one character), and the "
        "bid and ask levels (lists of Level, best first) the record holds."));

    m.def("depthTopic", &DepthTopic, py::arg("symbol"), py::arg("source"),
          "The depth topic of a symbol at a source (one character, or its code 1-255).");
    m.def("depthFields", &DepthFields, py::arg("bids"), py::arg("asks"),
          R"doc(The fields {field id: value} of a depth book, for Symproxy.publish: each
side a list of (price, size) or (price, size, quoter), best first, at most
20; level n goes to bid<n>/bid_size<n>/bid_quoter<n> (ask alike) and the
best level also to bid, bid_size, bid_quoter (ask alike). A publish with
fewer levels than before leaves the deeper ones of the cached image.)doc");
    m.def("depthLevels", &DepthLevels, py::arg("data"),
          "(bids, asks) of an update dict, as lists of Level, read from level 1 up to the first "
          "one without a price.");

    py::class_<SymTranslator>(m, "Translator", R"doc(
A symbol translation table, loaded from a file: lines of "client[,client...]
feed" (a blank separates the fields unless a SEPARATOR: line sets another),
REGEX: rules for the symbols the lines do not name, and comments (#). The
same file given to Symproxy.enableSymbolTranslation translates the client's
requests and republishes feed ticks under the client symbols.)doc")
        .def(py::init([](py::handle path) {
                 auto t = std::make_unique<SymTranslator>();
                 TextArg p(path, "path");
                 if (p.null()) {
                     t->Init();
                 } else if (!t->Init(p.c_str())) {
                     PyErr_Format(PyExc_OSError, "cannot load the translation file %s", p.c_str());
                     throw py::error_already_set();
                 }
                 return t;
             }),
             py::arg("path") = py::none(),
             "Loads the file at path (OSError when it cannot be read); an empty table without.")
        .def(
            "toFeed",
            [](SymTranslator& t, py::handle symbol) {
                TextArg s(symbol, "symbol");
                const char* feed = s.null() ? nullptr : t.GetKo2Feed(s.c_str());
                return feed != nullptr ? Text(feed, strlen(feed)) : py::object(py::none());
            },
            py::arg("symbol"),
            "The feed symbol of a client symbol (the symbol itself when nothing translates it).")
        .def(
            "toClient",
            [](SymTranslator& t, py::handle symbol) {
                TextArg s(symbol, "symbol");
                py::list out;
                const SymTranslator::SynonymSet* set = s.null() ? nullptr : t.GetFeed2Ko(s.c_str());
                if (set != nullptr) {
                    for (const GrowingStr* g : *set) {
                        out.append(Text(*g));
                    }
                }
                return out;
            },
            py::arg("symbol"), "The client symbols that translate to a feed symbol, in order.")
        .def(
            "add",
            [](SymTranslator& t, py::handle client, py::handle feed) {
                TextArg c(client, "client symbol");
                TextArg f(feed, "feed symbol");
                return !c.null() && !f.null() && t.AddXLateEntry(c.c_str(), f.c_str());
            },
            py::arg("client"), py::arg("feed"),
            "Maps a client symbol to a feed symbol, replacing its earlier mapping; False for an "
            "empty symbol.");
}

}  // namespace pyqrx
