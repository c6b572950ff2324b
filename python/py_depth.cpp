// Depth books: the levels of a depth topic's record (bid1..bid20 with their
// sizes and quoters, ask alike) as lists of Level, built for publishing and
// read back for the depth callable.
#include <cstring>
#include <string>

#include "py_book_values.h"
#include "py_books.h"
#include "qrx/marketdata/sym_data.h"
#include "qrx/marketdata/sym_data_aux.h"
#include "qrx/marketdata/sym_topic.h"
#include "qrx/marketdata/topic_builders.h"

namespace py = pybind11;

namespace pyqrx {

namespace {

using namespace bookvalues;

PyObject* g_levelType = nullptr;  // the named tuples, made at registration
PyObject* g_depthType = nullptr;

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
        levels.append(Make(g_levelType, {py::float_(price), py::int_(size), q}));
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
                Make(g_levelType, {d[price], d.contains(size) ? py::object(d[size]) : py::int_(0),
                                   d.contains(quoter) ? py::object(d[quoter]) : py::none()}));
        }
    }
    return py::make_tuple(sides[0], sides[1]);
}

}  // namespace

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
        return Make(g_depthType, {topicText, symbol, CharOrEmpty(topic.m_cDepthSource),
                                  Levels(data, g_bidLevels), Levels(data, g_askLevels)});
    });
}

void RegisterDepth(py::module_& m) {
    InitLevelIds();
    py::none none;
    g_levelType = Held(NamedTuple(m, "Level", "price size quoter", py::make_tuple(none),
                                  "One level of a depth book: price, size and quoter (None "
                                  "when the record has none)."));
    g_depthType = Held(NamedTuple(
        m, "DepthBook", "topic symbol source bids asks", py::tuple(),
        "A depth topic's update: the topic, its symbol and source (one character), and the "
        "bid and ask levels (lists of Level, best first) the record holds."));

    // depthTopic is registered with the other topic builders (py_listener_topics.cpp).
    m.def("depthFields", &DepthFields, py::arg("bids"), py::arg("asks"),
          R"doc(The fields {field id: value} of a depth book, for Symproxy.publish: each
side a list of (price, size) or (price, size, quoter), best first, at most
20; level n goes to bid<n>/bid_size<n>/bid_quoter<n> (ask alike) and the
best level also to bid, bid_size, bid_quoter (ask alike). A publish with
fewer levels than before leaves the deeper ones of the cached image.)doc");
    m.def("depthLevels", &DepthLevels, py::arg("data"),
          "(bids, asks) of an update dict, as lists of Level, read from level 1 up to the first "
          "one without a price.");
}

}  // namespace pyqrx
