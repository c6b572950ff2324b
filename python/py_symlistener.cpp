// Symlistener: the market-data client of the module. A CSymListener that owns
// its CSymConnection and hands every plain-topic update to a Python callable as
// (topic, {field id: value}).
#include <poll.h>
#include <pybind11/pybind11.h>

#include <cstring>
#include <thread>

#include "py_bindings.h"
#include "py_listener_base.h"
#include "py_listener_events.h"
#include "py_listener_requests.h"
#include "py_record_dict.h"
#include "py_sym_requests.h"
#include "qrx/client/sym_connection.h"
#include "qrx/client/sym_listener.h"
#include "qrx/marketdata/sym_data.h"

namespace py = pybind11;

namespace {

constexpr const char* kBusy =
    "Symlistener is already dispatching: connect, dispatchEvents and loop cannot run from "
    "its callback or from another thread meanwhile";

// How often a waiting loop looks for pending signals even when none woke it
// (a signal may be delivered to another thread of the process).
constexpr long kSignalCheckMicros = 200000;

class Symlistener : public pyqrx::ListenerBase {
public:
    Symlistener();
    ~Symlistener() override;

    void OnData(const char* topic, const CSymData* data) override;
    // The updates of one dispatch go to the batch callable together, at its end.
    void OnEndMsgGroup() override;
    virtual bool connect(const char* host, int port, const char* username, const char* password);

    // ---- the methods Python sees ----
    bool PyConnect(py::handle host, int port, py::handle username, py::handle password);
    bool PySubscribe(py::handle topic);
    bool PyUnsubscribe(py::handle topic);
    bool PySubscribeAll();
    bool PyUnsubscribeAll();
    void PyOnData(py::object callable);
    void PyOnDataBatch(py::object callable);
    bool AddToBatch(const char* topic);
    void PyDispatchEvents();
    void PyLoop();
    void PyDisconnect();
    int ConnectionFd() { return m_pConnection->GetFd(); }

    // ---- status, snapshots and structured topics, for Python (py_listener_events.h) ----
    void OnStatus(enSymStatusCode code, const char* text) override {
        if (!m_events.Status(code, text)) {
            StopDelivery();
        }
    }
    void OnSymbolStatus(const char* topic, const char* message, enSymStatusCode code) override {
        if (!m_events.SymbolStatus(topic, message, code)) {
            StopDelivery();
        }
    }
    // Without a snapshot callable, snapshot records go where updates go.
    void OnSnapshotData(const char* topic, const CSymData* data) override {
        if (!m_events.HasSnapshotCallable()) {
            OnData(topic, data);
        } else if (!m_events.Snapshot(topic, *data)) {
            StopDelivery();
        }
    }
    void OnSnapshotData(const CSymTopic* topic, const CSymData* data) override {
        if (!m_events.HasSnapshotCallable()) {
            OnData(topic, data);
        } else if (!m_events.Snapshot(TopicText(*data), *data)) {
            StopDelivery();
        }
    }
    void OnData(const CSymTopic* topic, const CSymData* data) override {
        // Depth books first (onDepth), unless that callable raised.
        ListenerBase::OnData(topic, data);
        if (pyqrx::pending_error::Pending()) {
            return;
        }
        if (!m_events.TopicData(*topic, *data)) {
            StopDelivery();
        }
    }
    void OnStartSnapshots() override {
        if (!m_events.SnapshotMarker(true)) {
            StopDelivery();
        }
    }
    void OnEndSnapshots() override {
        if (!m_events.SnapshotMarker(false)) {
            StopDelivery();
        }
    }
    CSymConnection& Connection() { return *m_pConnection; }
    static const char* TopicText(const CSymData& data) {
        const GrowingStr* p = data.m_map_flid_2_GrowingStr.GetFlidPtr(CSymData::flid_topic);
        return p != nullptr ? p->c_str() : "";
    }
    pyqrx::ListenerEvents m_events;
    // ----

    int Traverse(visitproc visit, void* arg) {
        Py_VISIT(m_pyOnData.ptr());
        Py_VISIT(m_pyOnBatch.ptr());
        Py_VISIT(m_batch.ptr());
        const int rc = TraverseExtras(visit, arg);
        return rc != 0 ? rc : m_events.Traverse(visit, arg);
    }
    void ClearRefs() {
        m_pyOnData = py::object();
        m_pyOnBatch = py::object();
        m_batch = py::object();
        m_events.Clear();
        ClearExtras();
    }

private:
    static void WaitEnter(void* data);
    static bool WaitLeave(void* data);
    // The callable failed, or a signal handler raised while a wait ended: the
    // rest of the message is not delivered and dispatching stops after it.
    void StopDelivery();

    // Marks the calling thread as the one dispatching, for the scope.
    class DispatchScope {
    public:
        explicit DispatchScope(Symlistener& l) : m_l(l), m_busy(l.m_bBusy, kBusy) {
            m_l.m_dispatcher = std::this_thread::get_id();
        }
        ~DispatchScope() { m_l.m_dispatcher = std::thread::id(); }

    private:
        Symlistener& m_l;
        pyqrx::BusyGuard m_busy;
    };

    CSymConnection* m_pConnection;
    py::object m_pyOnData;
    py::object m_pyOnBatch;
    py::object m_batch;  // list of (topic, dict) of the dispatch under way, or none
    pyqrx::RecordDict m_dictData;
    bool m_bBusy = false;
    std::thread::id m_dispatcher;  // the thread inside connect, dispatchEvents or loop
};

Symlistener::Symlistener() : m_pConnection(new CSymConnection(nullptr)) {
    if (m_dictData.Dict() == nullptr) {
        delete m_pConnection;
        throw py::error_already_set();
    }
    m_pConnection->SetWaitHooks(&Symlistener::WaitEnter, &Symlistener::WaitLeave, this);
}

Symlistener::~Symlistener() {
    // Runs while the object is freed: nothing may raise, and no other thread
    // can reach the object any more. Nothing here waits: the unsubscribe-all
    // goes out only when the socket takes it at once (a closed connection has
    // nobody to tell), since a wait on a server that does not read could never
    // be ended, and closing shuts the socket down before it takes a lock.
    m_pConnection->SetWaitHooks(nullptr, nullptr, nullptr);
    const int fd = m_pConnection->GetFd();
    if (fd >= 0) {
        pollfd p;
        p.fd = fd;
        p.events = POLLOUT;
        p.revents = 0;
        if (poll(&p, 1, 0) == 1 && (p.revents & POLLOUT) != 0) {
            m_pConnection->UnsubscribeAll();
        }
    }
    m_pConnection->Disconnect();
    delete m_pConnection;
    m_pConnection = nullptr;
}

void Symlistener::WaitEnter(void*) {
    pyqrx::ReleaseLock();
}

bool Symlistener::WaitLeave(void* data) {
    if (pyqrx::TakeLock()) {
        return true;
    }
    // A signal's error belongs to this thread's call: a request made while
    // another thread dispatches must not stop that thread.
    Symlistener* self = static_cast<Symlistener*>(data);
    if (self->m_dispatcher == std::this_thread::get_id()) {
        self->StopDelivery();
    }
    return false;
}

void Symlistener::StopDelivery() {
    m_pConnection->InterruptDispatch();
}

void Symlistener::OnData(const char* topic, const CSymData* data) {
    if (pyqrx::pending_error::Pending()) {
        return;  // the rest of the message that raised is not delivered
    }
    if (!m_dictData.Fill(*data)) {
        pyqrx::pending_error::Take();
        StopDelivery();
        return;
    }
    if (m_pyOnBatch && !AddToBatch(topic)) {
        pyqrx::pending_error::Take();
        StopDelivery();
        return;
    }
    if (!m_pyOnData) {
        return;
    }
    // The topic is the record's topic field, whose str the dict already holds.
    const size_t len = strlen(topic);
    PyObject* pyTopic = m_dictData.CachedText(CSymData::flid_topic, topic, len);
    if (pyTopic != nullptr) {
        Py_INCREF(pyTopic);
    } else if ((pyTopic = pyqrx::TextObject(topic, static_cast<Py_ssize_t>(len))) == nullptr) {
        pyqrx::pending_error::Take();
        StopDelivery();
        return;
    }
    PyObject* args[2] = {pyTopic, m_dictData.Dict()};
    // Held for the call: the callable may replace itself through onData.
    PyObject* callable = m_pyOnData.ptr();
    Py_INCREF(callable);
    PyObject* result = PyObject_Vectorcall(callable, args, 2, nullptr);
    Py_DECREF(callable);
    Py_DECREF(pyTopic);
    if (result == nullptr) {
        pyqrx::pending_error::Take();
        StopDelivery();
        return;
    }
    Py_DECREF(result);
}

bool Symlistener::connect(const char* host, int port, const char* username, const char* password) {
    if (!m_pConnection->Connect(host, port, username, password)) {
        return false;
    }
    m_pConnection->AddClient(this);
    m_pConnection->DispatchEvents();
    return true;
}

bool Symlistener::PyConnect(py::handle host, int port, py::handle username, py::handle password) {
    pyqrx::TextArg h(host, "host");
    pyqrx::TextArg u(username, "username");
    pyqrx::TextArg p(password, "password");
    if (h.null()) {
        return false;
    }
    DispatchScope dispatching(*this);
    pyqrx::CallScope call;
    const bool ok = connect(h.c_str(), port, u.c_str(), p.c_str());
    call.Finish();
    return ok;
}

bool Symlistener::PySubscribe(py::handle topic) {
    return pyqrx::SubscribeTopic(*m_pConnection, topic);
}

bool Symlistener::PyUnsubscribe(py::handle topic) {
    pyqrx::TextArg t(topic, "topic");
    if (t.null()) {
        return false;
    }
    pyqrx::CallScope call;
    const bool ok = m_pConnection->Unsubscribe(t.c_str());
    call.Finish();
    return ok;
}

bool Symlistener::PySubscribeAll() {
    pyqrx::CallScope call;
    const bool ok = m_pConnection->SubscribeAll();
    call.Finish();
    return ok;
}

bool Symlistener::PyUnsubscribeAll() {
    pyqrx::CallScope call;
    const bool ok = m_pConnection->UnsubscribeAll();
    call.Finish();
    return ok;
}

bool Symlistener::AddToBatch(const char* topic) {
    if (!m_batch) {
        PyObject* list = PyList_New(0);
        if (list == nullptr) {
            return false;
        }
        m_batch = py::reinterpret_steal<py::object>(list);
    }
    PyObject* pyTopic = pyqrx::TextObject(topic, static_cast<Py_ssize_t>(strlen(topic)));
    if (pyTopic == nullptr) {
        return false;
    }
    PyObject* copy = PyDict_Copy(m_dictData.Dict());
    if (copy == nullptr) {
        Py_DECREF(pyTopic);
        return false;
    }
    PyObject* item = PyTuple_Pack(2, pyTopic, copy);
    Py_DECREF(pyTopic);
    Py_DECREF(copy);
    if (item == nullptr) {
        return false;
    }
    const int rc = PyList_Append(m_batch.ptr(), item);
    Py_DECREF(item);
    return rc == 0;
}

void Symlistener::OnEndMsgGroup() {
    if (!m_batch) {
        return;
    }
    py::object batch = std::move(m_batch);  // a new list for the next dispatch
    m_batch = py::object();
    if (!m_pyOnBatch || pyqrx::pending_error::Pending() || PyList_GET_SIZE(batch.ptr()) == 0) {
        return;
    }
    py::object callable = m_pyOnBatch;  // it may replace itself
    PyObject* result = PyObject_CallOneArg(callable.ptr(), batch.ptr());
    if (result == nullptr) {
        pyqrx::pending_error::Take();
        StopDelivery();
        return;
    }
    Py_DECREF(result);
}

void Symlistener::PyOnDataBatch(py::object callable) {
    if (!callable.is_none() && !PyCallable_Check(callable.ptr())) {
        throw py::type_error("onDataBatch takes a callable or None");
    }
    m_pyOnBatch = callable.is_none() ? py::object() : std::move(callable);
}

void Symlistener::PyOnData(py::object callable) {
    if (!callable.is_none() && !PyCallable_Check(callable.ptr())) {
        throw py::type_error("onData takes a callable or None");
    }
    m_pyOnData = callable.is_none() ? py::object() : std::move(callable);
}

void Symlistener::PyDispatchEvents() {
    DispatchScope dispatching(*this);
    pyqrx::CallScope call;
    m_pConnection->DispatchEvents();
    call.Finish();
}

void Symlistener::PyLoop() {
    DispatchScope dispatching(*this);
    pyqrx::CallScope call;
    timeval tv;
    tv.tv_sec = 0;
    tv.tv_usec = kSignalCheckMicros;
    m_pConnection->Loop(&tv, nullptr, nullptr);
    // A failed callable or Ctrl-C: its exception, the connection stays open.
    call.Finish();
    throw connection_error();
}

void Symlistener::PyDisconnect() {
    // Closing runs no Python code, and the lock is given up while it may wait
    // for another thread's write to give way.
    pyqrx::WithoutLock([this] { m_pConnection->Disconnect(); });
}

}  // namespace

void RegisterSymlistener(py::module_& m) {
    py::class_<Symlistener> cls(m, "Symlistener", pyqrx::GcSupport<Symlistener>(), R"doc(
Market-data client of a symbol server.

connect() opens the connection and logs on; subscribe() and its kin send
requests; dispatchEvents() or loop() hand every update of a plain topic to the
callable set with onData() as callable(topic, data), where data is a dict
{field id: value}: float for ids 0-511, int for 512-1023, str for 1024-1535
and a one-character str for 1536-2047. The dict is reused for the next
update: copy it to keep it. Status events, snapshot records and the
updates of structured topics (depth and other topics of the topic builders)
have callables of their own: onStatus, onSymbolStatus, onSnapshot,
onSnapshotStart, onSnapshotEnd, onTopicData and onDepth; commands and order
books have sendCommand/onResponse and subscribeBook/onBook.)doc");
    cls.def(py::init<>())
        .def("connect", &Symlistener::PyConnect, py::arg("host"), py::arg("port"),
             py::arg("username") = py::none(), py::arg("password") = py::none(),
             R"doc(Opens the TCP connection to host:port and sends the logon without
waiting for its answer; True when the connection stands. Without a user
name the logon carries the local host's address, without a password an
empty one. Returns False when the connect fails or host is None; while
connected it returns True and sends nothing.)doc")
        .def("subscribeAll", &Symlistener::PySubscribeAll,
             "Subscribes to every topic; False without a connection.")
        .def("unsubscribeAll", &Symlistener::PyUnsubscribeAll,
             "Drops every subscription; False without a connection.")
        .def("subscribe", &Symlistener::PySubscribe, py::arg("topic"),
             "Subscribes to a topic (cut to 127 bytes); False without a connection or for None.")
        .def("unsubscribe", &Symlistener::PyUnsubscribe, py::arg("topic"),
             "Drops a subscription; False without a connection or for None.")
        .def("onDataBatch", &Symlistener::PyOnDataBatch, py::arg("callable"),
             R"doc(Sets callable(updates), called once per dispatch of the messages that
arrived together with every update among them, as a list of (topic, dict),
each dict its own (None removes it). The per-update callable of onData, if
set, is still called for each.)doc")
        .def("onData", &Symlistener::PyOnData, py::arg("callable"),
             "Sets the callable(topic, data) that receives updates (None removes it).")
        .def(
            "getFd", [](Symlistener& l) { return l.ConnectionFd(); },
            R"doc(The connection's descriptor, -1 when not connected: for an event loop
that waits for it to be readable and then calls dispatchEvents().)doc")
        .def("dispatchEvents", &Symlistener::PyDispatchEvents,
             R"doc(Handles the messages that have arrived, without waiting: those of at
most one read of the socket (64 KiB), so that a fast server cannot keep
it going; the next call handles the rest. An exception of the callable
propagates; the messages after the one that raised stay for the next
call.)doc")
        .def("loop", &Symlistener::PyLoop,
             R"doc(Waits for messages and dispatches them until the connection is lost
or disconnect() is called, then raises pyqrx.ConnectionClosed("CONNECTION_ERROR"), an Exception.
Other Python threads run while it waits. An exception of the callable, or
KeyboardInterrupt, ends it with that exception and the connection open.)doc")
        .def("disconnect", &Symlistener::PyDisconnect,
             R"doc(Closes the connection, whether or not a loop() ran before; a running
loop() ends. A request blocked on a server that does not read ends too
(it returns False). Safe from the callable and from other threads; a
later connect() opens a new connection and logs on.)doc");
    // Commands and order books (py_listener_base.h).
    pyqrx::DefListenerExtras(cls);
    // Events besides plain updates, and the other request kinds.
    pyqrx::BindListenerEvents<Symlistener>(cls);
    pyqrx::BindListenerRequests<Symlistener>(cls);
}
