#include "py_listener_topics.h"

#include <climits>
#include <cstring>
#include <string>
#include <unordered_map>

#include "py_bindings.h"
#include "py_record_dict.h"
#include "qrx/marketdata/sym_topic.h"
#include "qrx/marketdata/topic_builders.h"
#include "qrx/runtime/source_map.h"

namespace py = pybind11;

namespace pyqrx {

namespace {

constexpr int kTypes = 11;
PyObject* g_typeMembers[kTypes] = {};
PyTypeObject* g_topicType = nullptr;

// Topic objects by text. Bounded: a feed of ever new topics empties it now and then.
constexpr size_t kMaxCachedTopics = 4096;
std::unordered_map<std::string, PyObject*>* g_cache = nullptr;

// Topics are built into areas of this size (the string builders of the connection use it too).
constexpr size_t kTopicArea = 512;
// The builders write into twice that, so that a topic too long for the area is seen whole or
// cut past the area's end, and refused rather than handed back cut.
constexpr size_t kBuildArea = 2 * kTopicArea;

PyStructSequence_Field kTopicFields[] = {
    {"text", "the whole topic text, as subscribed and published"},
    {"type", "the topic type, a pyqrx.TopicType"},
    {"symbol", "the symbol (for an alias topic the subscribe symbol), or None"},
    {"source", "the source number (depth, sourced and market-maker topics), or None"},
    {"nearSize", "the near size of a sized topic, or the stream size of a depth topic, or None"},
    {"farSize", "the far size of a sized topic, or None"},
    {"portfolio", "the portfolio of a portfolio topic, or None"},
    {"filter", "the filter of a filtered topic (its type is that of the inner topic), or None"},
    {"mmid", "the market-maker id, or None"},
    {"user", "the user of a risk or option user topic, or None"},
    {"publishSymbol", "the publish symbol of an alias topic, or None"},
    {"symbolType", "the symbol type of an alias topic, or None"},
    {nullptr, nullptr},
};

PyStructSequence_Desc kTopicDesc = {
    "pyqrx.Topic",
    "The parsed parts of a topic: an immutable named tuple (text, type, symbol,\n"
    "source, nearSize, farSize, portfolio, filter, mmid, user, publishSymbol,\n"
    "symbolType); parts a topic does not have are None.",
    kTopicFields,
    12,
};

PyObject* PartOrNone(const char* p, int16_t len) {
    if (p == nullptr || len < 0) {
        Py_RETURN_NONE;
    }
    return TextObject(p, len);
}

PyObject* Build(const CSymTopic& t, const char* text, size_t len) {
    PyObject* obj = PyStructSequence_New(g_topicType);
    if (obj == nullptr) {
        return nullptr;
    }
    const int type = static_cast<int>(t.Type());
    PyObject* typeObj = nullptr;
    if (type >= 0 && type < kTypes) {
        typeObj = g_typeMembers[type];
        Py_INCREF(typeObj);
    } else {
        typeObj = PyLong_FromLong(type);
    }
    char cSource = 0;
    double dblNear = 0, dblFar = 0;
    short nSymbolType = 0;
    const bool bSource = t.DepthSource(cSource) && cSource != 0;
    const bool bNear = t.DepthStreamSize(dblNear);
    const bool bFar = t.DepthStreamFarSize(dblFar);
    const bool bSymbolType = t.SubscribeSymbolType(nSymbolType);
    auto orNone = [](bool present, PyObject* value) {
        if (present) {
            return value;
        }
        Py_INCREF(Py_None);
        return Py_None;
    };
    PyObject* items[12] = {
        TextObject(text, static_cast<Py_ssize_t>(len)),
        typeObj,
        PartOrNone(t.m_szSymbol, t.m_iSymbolLength),
        orNone(bSource, bSource ? PyLong_FromLong(static_cast<unsigned char>(cSource)) : nullptr),
        orNone(bNear, bNear ? PyFloat_FromDouble(dblNear) : nullptr),
        orNone(bFar, bFar ? PyFloat_FromDouble(dblFar) : nullptr),
        PartOrNone(t.m_szPortfolio, t.m_iPortfolioLength),
        PartOrNone(t.m_szFilter, t.m_iFilterLength),
        PartOrNone(t.m_szMMID, t.m_iMMIDLength),
        PartOrNone(t.m_szUser, t.m_iUserLength),
        PartOrNone(t.m_szPublishSymbol, t.m_iPublishSymbolLength),
        orNone(bSymbolType, bSymbolType ? PyLong_FromLong(nSymbolType) : nullptr),
    };
    bool ok = true;
    for (int i = 0; i < 12; ++i) {
        if (items[i] == nullptr) {
            ok = false;
            Py_INCREF(Py_None);
            items[i] = Py_None;
        }
        PyStructSequence_SET_ITEM(obj, i, items[i]);
    }
    if (!ok) {
        Py_DECREF(obj);
        return nullptr;
    }
    return obj;
}

void ClearCache() {
    for (auto& entry : *g_cache) {
        Py_DECREF(entry.second);
    }
    g_cache->clear();
}

// The source number of a builder's argument: an int from 1 to 255, a one-character str (the
// byte itself, "N" for 78), or a longer source code known to the source table ("NSDQ").
char SourceArg(py::handle source) {
    if (PyLong_Check(source.ptr())) {
        const long n = PyLong_AsLong(source.ptr());
        if (n < 1 || n > 255) {
            throw py::value_error("a source number lies between 1 and 255");
        }
        return static_cast<char>(n);
    }
    if (PyUnicode_Check(source.ptr()) && PyUnicode_GET_LENGTH(source.ptr()) == 1) {
        const Py_UCS4 c = PyUnicode_READ_CHAR(source.ptr(), 0);
        if (c < 1 || c > 255) {
            throw py::value_error("a one-character source lies between chr(1) and chr(255)");
        }
        return static_cast<char>(c);
    }
    if (PyUnicode_Check(source.ptr())) {
        const std::string name = source.cast<std::string>();
        const unsigned n = KoDefaultSource::SourceMap::GetInstance().ToEnum(name.c_str());
        if (n == 0 || n > 255) {
            throw py::value_error("unknown source code " + py::repr(source).cast<std::string>());
        }
        return static_cast<char>(n);
    }
    throw py::type_error("a source is an int (its number) or a str (the byte, or its code)");
}

std::string Arg(py::handle h, const char* what) {
    TextArg t(h, what);
    if (t.null()) {
        throw py::type_error(std::string(what) + " must be str or bytes, not None");
    }
    return std::string(t.c_str(), t.size());
}

py::object TopicText(const char* buf) {
    const size_t len = strlen(buf);
    if (len >= kTopicArea) {
        throw py::value_error("the parts are too long for a topic (at most " +
                              std::to_string(kTopicArea - 1) + " characters)");
    }
    PyObject* s = TextObject(buf, static_cast<Py_ssize_t>(len));
    if (s == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(s);
}

int SizeArg(long n, const char* what) {
    if (n < INT_MIN || n > INT_MAX) {
        throw py::value_error(std::string(what) + " does not fit a 32-bit int");
    }
    return static_cast<int>(n);
}

}  // namespace

PyObject* TopicObject(const CSymTopic& topic, const char* text, size_t len) {
    std::string key(text, len);
    const auto it = g_cache->find(key);
    if (it != g_cache->end()) {
        Py_INCREF(it->second);
        return it->second;
    }
    PyObject* obj = Build(topic, text, len);
    if (obj == nullptr) {
        return nullptr;
    }
    if (g_cache->size() >= kMaxCachedTopics) {
        ClearCache();
    }
    try {
        g_cache->emplace(std::move(key), obj);
        Py_INCREF(obj);
    } catch (...) {
        // Not kept: made again next time.
    }
    return obj;
}

void RegisterTopics(py::module_& m) {
    g_cache = new std::unordered_map<std::string, PyObject*>();
    py::object intEnum = py::module_::import("enum").attr("IntEnum");
    static const char* const kNames[kTypes] = {"SYMBOL",
                                               "DEPTH",
                                               "PORT_SYMBOL",
                                               "FILTER",
                                               "SOURCE_SYMBOL",
                                               "WITH_SIZES",
                                               "SYMBOL_SOURCE_MMID",
                                               "SYMBOL_RISK_USER",
                                               "SYMBOL_OPTION_USER",
                                               "GREEK",
                                               "SYMBOL_ALIAS"};
    py::list members;
    for (int i = 0; i < kTypes; ++i) {
        members.append(py::make_tuple(kNames[i], i));
    }
    py::object types = intEnum("TopicType", members, py::arg("module") = "pyqrx");
    types.attr("__doc__") = "Types of structured topics (Topic.type).";
    m.attr("TopicType") = types;
    for (int i = 0; i < kTypes; ++i) {
        g_typeMembers[i] = py::object(types.attr(kNames[i])).release().ptr();
    }

    g_topicType = PyStructSequence_NewType(&kTopicDesc);
    if (g_topicType == nullptr) {
        throw py::error_already_set();
    }
    m.attr("Topic") = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(g_topicType));

    m.def(
        "parseTopic",
        [](py::handle text) {
            const std::string s = Arg(text, "text");
            CSymTopic topic;
            topic.Reparse(s.c_str());
            PyObject* obj = TopicObject(topic, s.data(), s.size());
            if (obj == nullptr) {
                throw py::error_already_set();
            }
            return py::reinterpret_steal<py::object>(obj);
        },
        py::arg("text"),
        R"doc(The parts of a topic text as a pyqrx.Topic, as a listener parses the
topics of structured updates; a text that is not a well-formed structured
topic is a plain symbol (type TopicType.SYMBOL, symbol the whole text).)doc");

    m.def(
        "depthTopic",
        [](py::handle symbol, py::handle source) {
            char buf[kBuildArea] = {};
            CSymTopicBuilders::CreateDepthTopic(Arg(symbol, "symbol").c_str(), SourceArg(source),
                                                buf, sizeof buf);
            return TopicText(buf);
        },
        py::arg("symbol"), py::arg("source"),
        R"doc(The depth topic of a symbol from a source: its number (1-255), a
one-character str holding that byte ("N" for 78), or its code in the
source table ("NSDQ"). The other builders take sources alike.)doc");
    m.def(
        "filterTopic",
        [](py::handle filter, py::handle symbol, py::handle source) {
            char buf[kBuildArea] = {};
            CSymTopicBuilders::CreateFilterTopic(Arg(filter, "filter").c_str(),
                                                 Arg(symbol, "symbol").c_str(), SourceArg(source),
                                                 buf, sizeof buf);
            return TopicText(buf);
        },
        py::arg("filter"), py::arg("symbol"), py::arg("source"),
        "The depth topic of a symbol from a source, behind a filter.");
    m.def(
        "sourceTopic",
        [](py::handle symbol, py::handle source) {
            char buf[kBuildArea] = {};
            if (!CSymTopicBuilders::CreateDirectFeedTopic(buf, Arg(symbol, "symbol").c_str(),
                                                          SourceArg(source), sizeof buf)) {
                throw py::value_error("the symbol is too long for a topic");
            }
            return TopicText(buf);
        },
        py::arg("symbol"), py::arg("source"),
        "The topic of a symbol straight from one source (a direct-feed topic).");
    m.def(
        "sizesTopic",
        [](py::handle symbol, long nearSize, long farSize) {
            char buf[kBuildArea] = {};
            if (!CSymTopicBuilders::CreateSizesTopic(
                    Arg(symbol, "symbol").c_str(), SizeArg(nearSize, "nearSize"),
                    SizeArg(farSize, "farSize"), buf, sizeof buf)) {
                throw py::value_error("a sized topic takes a nearSize above 0");
            }
            return TopicText(buf);
        },
        py::arg("symbol"), py::arg("nearSize"), py::arg("farSize"),
        R"doc(The topic of a symbol with near and far sizes, as a server keys a
subscription made with subscribeWithSize(); nearSize must be above 0.)doc");
    m.def(
        "portfolioTopic",
        [](py::handle portfolio, py::handle symbol) {
            char buf[kBuildArea] = {};
            CSymTopicBuilders::CreatePortSymbolTopic(Arg(portfolio, "portfolio").c_str(),
                                                     Arg(symbol, "symbol").c_str(), buf,
                                                     sizeof buf);
            return TopicText(buf);
        },
        py::arg("portfolio"), py::arg("symbol"), "The topic of a symbol within a portfolio.");
    m.def(
        "mmidTopic",
        [](py::handle symbol, py::handle source, py::handle mmid) {
            char buf[kBuildArea] = {};
            if (!CSymTopicBuilders::CreateMMIDTopic(Arg(symbol, "symbol").c_str(),
                                                    SourceArg(source), Arg(mmid, "mmid").c_str(),
                                                    buf, static_cast<int>(sizeof buf))) {
                throw py::value_error("no market-maker topic of these parts");
            }
            return TopicText(buf);
        },
        py::arg("symbol"), py::arg("source"), py::arg("mmid"),
        "The topic of one market maker's quotes for a symbol from a source.");
    m.def(
        "riskUserTopic",
        [](py::handle symbol, py::handle user) {
            char buf[kBuildArea] = {};
            CSymTopicBuilders::CreateSymbolRiskUserTopic(
                Arg(symbol, "symbol").c_str(), Arg(user, "user").c_str(), buf, sizeof buf);
            return TopicText(buf);
        },
        py::arg("symbol"), py::arg("user"), "The risk topic of a symbol for a user.");
    m.def(
        "optionUserTopic",
        [](py::handle symbol, py::handle user) {
            char buf[kBuildArea] = {};
            CSymTopicBuilders::CreateSymbolOptionUserTopic(
                Arg(symbol, "symbol").c_str(), Arg(user, "user").c_str(), buf, sizeof buf);
            return TopicText(buf);
        },
        py::arg("symbol"), py::arg("user"), "The option topic of a symbol for a user.");
    m.def(
        "greekTopic",
        [](py::handle symbol) {
            char buf[kBuildArea] = {};
            CSymTopicBuilders::CreateGreekTopic(Arg(symbol, "symbol").c_str(), buf, sizeof buf);
            return TopicText(buf);
        },
        py::arg("symbol"), "The greeks topic of a symbol.");
    m.def(
        "aliasTopic",
        [](py::handle subscribeSymbol, py::handle publishSymbol, int symbolType) {
            char buf[kBuildArea] = {};
            if (symbolType < 0 || symbolType > 99 ||
                !CSymTopicBuilders::CreateSymbolAliasTopic(
                    Arg(subscribeSymbol, "subscribeSymbol").c_str(),
                    Arg(publishSymbol, "publishSymbol").c_str(), buf, static_cast<int>(sizeof buf),
                    static_cast<short>(symbolType))) {
                throw py::value_error("an alias topic takes a symbolType from 0 to 99");
            }
            return TopicText(buf);
        },
        py::arg("subscribeSymbol"), py::arg("publishSymbol"), py::arg("symbolType"),
        "The topic that publishes a symbol under another one (an alias).");
}

}  // namespace pyqrx
