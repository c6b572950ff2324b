// The request kinds of a Sym connection besides subscribe and unsubscribe, as
// methods of a Python listener class: topic lists, sized and typed
// subscriptions, snapshot requests.
#pragma once

#include <pybind11/pybind11.h>

#include <climits>
#include <string>
#include <vector>

#include "py_bindings.h"
#include "qrx/client/sym_connection.h"
#include "qrx/runtime/growing_str.h"

namespace pyqrx {

// The topics of a Python iterable (str or bytes each); TypeError for anything else.
inline std::vector<GrowingStr> TopicList(pybind11::handle topics) {
    if (PyUnicode_Check(topics.ptr()) || PyBytes_Check(topics.ptr())) {
        throw pybind11::type_error("takes an iterable of topics, not a single topic");
    }
    std::vector<GrowingStr> out;
    for (pybind11::handle item : pybind11::iter(topics)) {
        TextArg t(item, "topic");
        if (t.null()) {
            throw pybind11::type_error("a topic of the list is None");
        }
        out.emplace_back(t.c_str());
    }
    return out;
}

inline int IntArg(long n, const char* what) {
    if (n < INT_MIN || n > INT_MAX) {
        throw pybind11::value_error(std::string(what) + " does not fit a 32-bit int");
    }
    return static_cast<int>(n);
}

inline short SymbolTypeArg(long n) {
    if (n < SHRT_MIN || n > SHRT_MAX) {
        throw pybind11::value_error("symbolType does not fit a 16-bit int");
    }
    return static_cast<short>(n);
}

// Runs a request on the connection; a failed write's Python error, if any, is raised.
template <typename F>
bool Request(F&& send) {
    CallScope call;
    const bool ok = send();
    call.Finish();
    return ok;
}

// A method (topic, nearSize, farSize, reqId) of listener class T making a sized request.
template <typename T>
auto SizedRequest(bool (CSymConnection::*send)(const char*, int, int, int)) {
    return [send](T& l, pybind11::handle topic, long nearSize, long farSize, long reqId) {
        TextArg t(topic, "topic");
        if (t.null()) {
            return false;
        }
        const int n = IntArg(nearSize, "nearSize"), f = IntArg(farSize, "farSize");
        const int r = IntArg(reqId, "reqId");
        return Request([&] { return (l.Connection().*send)(t.c_str(), n, f, r); });
    };
}

// A method (topic, symbolType) of listener class T making a typed request.
template <typename T>
auto TypedRequest(bool (CSymConnection::*send)(const char*, short)) {
    return [send](T& l, pybind11::handle topic, long symbolType) {
        TextArg t(topic, "topic");
        if (t.null()) {
            return false;
        }
        const short st = SymbolTypeArg(symbolType);
        return Request([&] { return (l.Connection().*send)(t.c_str(), st); });
    };
}

// Binds the requests on the listener class T, whose Connection() is its CSymConnection.
template <typename T, typename Cls>
void BindListenerRequests(Cls& cls) {
    namespace py = pybind11;
    cls.def(
           "subscribeList",
           [](T& l, py::handle topics) {
               const std::vector<GrowingStr> list = TopicList(topics);
               return Request([&] { return l.Connection().Subscribe(list); });
           },
           py::arg("topics"),
           R"doc(Subscribes to every topic of an iterable (100 a message); False
without a connection. An empty iterable sends nothing and gives True.)doc")
        .def(
            "unsubscribeList",
            [](T& l, py::handle topics) {
                const std::vector<GrowingStr> list = TopicList(topics);
                return Request([&] { return l.Connection().Unsubscribe(list); });
            },
            py::arg("topics"),
            "Drops the subscriptions of every topic of an iterable; False without a connection.")
        .def("subscribeWithSize", SizedRequest<T>(&CSymConnection::SubscribeWithSize),
             py::arg("topic"), py::arg("nearSize"), py::arg("farSize"), py::arg("reqId") = 0,
             R"doc(Subscribes to a topic with near and far sizes (and a request id of
the caller's choosing). The server keys it as sizesTopic(topic, nearSize,
farSize): updates published under that topic reach the onTopicData
callable, with the sizes in their Topic. False without a connection or for
None.)doc")
        .def("unsubscribeWithSize", SizedRequest<T>(&CSymConnection::UnsubscribeWithSize),
             py::arg("topic"), py::arg("nearSize"), py::arg("farSize"), py::arg("reqId") = 0,
             "Drops a subscription made with subscribeWithSize() (the same sizes).")
        .def("subscribeWithType", TypedRequest<T>(&CSymConnection::Subscribe), py::arg("topic"),
             py::arg("symbolType"),
             "Subscribes to a topic with a symbol type; False without a connection or for None.")
        .def("unsubscribeWithType", TypedRequest<T>(&CSymConnection::Unsubscribe), py::arg("topic"),
             py::arg("symbolType"), "Drops a subscription made with subscribeWithType().")
        .def(
            "snapshot",
            [](T& l, py::handle topic) {
                TextArg t(topic, "topic");
                if (t.null()) {
                    return false;
                }
                return Request([&] { return l.Connection().Snapshot(t.c_str()); });
            },
            py::arg("topic"),
            R"doc(Asks for the cached image of a topic without subscribing; it arrives
as snapshot records (see onSnapshot). False without a connection or for
None.)doc")
        .def(
            "snapshotAll",
            [](T& l) { return Request([&] { return l.Connection().SnapshotAll(); }); },
            R"doc(Asks for the cached image of every topic; it arrives between the
onSnapshotStart and onSnapshotEnd events when it holds two records or
more. False without a connection.)doc");
}

}  // namespace pyqrx
