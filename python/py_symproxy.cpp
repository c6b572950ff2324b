// Symproxy: the feed-handler end of the module. A CSymProxy whose logon,
// subscribe and unsubscribe callbacks call Python callables, polled from the
// program's own event loop, publishing ticks from dicts.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pybind11/pybind11.h>
#include <sys/select.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "py_bindings.h"
#include "py_proxy_base.h"
#include "py_record_dict.h"
#include "qrx/client/sym_listener.h"  // the status codes the clients see
#include "qrx/marketdata/sym_data.h"
#include "qrx/marketdata/sym_data_aux.h"
#include "qrx/proxy/sym_proxy.h"
#include "qrx/runtime/stdio_logger.h"
#include "qrx/runtime/thread_notifier.h"
#include "qrx/wire/session_msgs.h"

namespace py = pybind11;

namespace {

PyTypeObject* g_symproxyType = nullptr;  // the Python class, set at registration

constexpr const char* kBusy =
    "Symproxy is already handling requests: checkSocket and dispatch cannot run from its "
    "callbacks or from another thread meanwhile";

// Longest text a client decodes in a record; a longer one would make the whole
// message unreadable for it.
constexpr size_t kMaxTextLen = CSymDataAux::MAX_BODY_STRING;

// One field of a publish call, converted before anything is handed to the proxy.
struct StagedField {
    enum Kind : char { kSkip, kInt, kDouble, kText, kChar };
    int id;
    Kind kind;
    int nValue;
    double dblValue;
    char cValue;
    const char* szValue;  // NUL-terminated, in pyText or in an object of the holders
    size_t nLen;
    PyObject* pyText;  // the caller's object holding szValue, not referenced; or null
};

// A key or value whose conversion runs no Python code, so that the dict being
// published cannot change under the conversion.
bool IsPlain(PyObject* o) {
    return PyLong_CheckExact(o) || PyFloat_CheckExact(o) || PyUnicode_CheckExact(o) ||
           PyBytes_CheckExact(o) || PyBool_Check(o) || o == Py_None;
}

// The conversions of one publish call: its staged fields and the objects that keep their
// texts alive.
struct Staging {
    std::vector<StagedField> staged;
    std::vector<py::object> holders;
    bool holding = false;
};

class Symproxy : public pyqrx::ProxyBase {
public:
    Symproxy();
    ~Symproxy() override;

    bool OnLogon(const char* szUserName, const char* szPassword) override;
    // With enforceLogon, a request of a server that has not passed the logon drops it.
    bool HandleClientRequest(MsgHdrSym* pSym) override;
    void OnSubscribe(const char* szTopic) override;
    void OnUnsubscribe(const char* szTopic) override;
    // Without a callable, the library's warning that nobody handles them.
    void OnSubscribeWithSize(const char* szTopic, int nNear, int nFar, int nReqID) override {
        if (!m_pyOnSubscribeWithSize) {
            CSymProxy::OnSubscribeWithSize(szTopic, nNear, nFar, nReqID);
            return;
        }
        CallSized(m_pyOnSubscribeWithSize, szTopic, nNear, nFar, nReqID);
    }
    void OnUnsubscribeWithSize(const char* szTopic, int nNear, int nFar, int nReqID) override {
        if (!m_pyOnUnsubscribeWithSize) {
            CSymProxy::OnUnsubscribeWithSize(szTopic, nNear, nFar, nReqID);
            return;
        }
        CallSized(m_pyOnUnsubscribeWithSize, szTopic, nNear, nFar, nReqID);
    }

    // ---- the methods Python sees ----
    bool PyInitialize(py::handle port, bool bEnforceLogon, py::handle bindAddress, bool bQueued);
    bool PyInitializeLocal(py::handle path, bool bEnforceLogon, bool bQueued);
    void PyOnSubscribeWithSize(py::object callable) {
        m_pyOnSubscribeWithSize = Callable(std::move(callable), "onSubscribeWithSize");
    }
    void PyOnUnsubscribeWithSize(py::object callable) {
        m_pyOnUnsubscribeWithSize = Callable(std::move(callable), "onUnsubscribeWithSize");
    }
    bool IsQueued() const { return m_bQueue; }
    // Publishes what is listed or, in queued mode, what the producers queued.
    bool PyFlush();
    void PyOnLogon(py::object callable) { m_pyOnLogon = Callable(std::move(callable), "onLogon"); }
    void PyOnSubscribe(py::object callable) {
        m_pyOnSubscribe = Callable(std::move(callable), "onSubscribe");
    }
    void PyOnUnsubscribe(py::object callable) {
        m_pyOnUnsubscribe = Callable(std::move(callable), "onUnsubscribe");
    }
    int PyGetFd();
    int PySelect();
    bool PyCheckSocket();
    void PySetBacklogLimits(long nHighWater, long nLimit) { SetBacklogLimits(nHighWater, nLimit); }
    py::dict PyBacklog() const;
    py::dict PyStats() const;
    py::object PyClientAddress() const;
    py::object PyClientUser() const;
    py::list PySubscriptions() const;
    bool PySendStatus(int code, py::handle text);
    bool PySendSymbolStatus(py::handle topic, int code, py::handle message);
    bool PySendSnapshot(py::handle topic);
    bool PyCloseClient();
    bool PyDispatch();
    bool PyPublish(py::handle topic, py::handle data);
    // Publishes every (topic, data) pair of an iterable with one flush; the number listed.
    int PyPublishMany(py::handle items);
    // Inside a batch, publish lists ticks and the batch's end flushes them all at once.
    void BeginBatch() { ++m_nBatchDepth; }
    bool EndBatch();
    // Serves until stop(), Ctrl-C or the time-out (seconds; none when negative).
    void PyServe(double dblTimeout);
    void PyStop();

    int Traverse(visitproc visit, void* arg) {
        Py_VISIT(m_pyOnLogon.ptr());
        Py_VISIT(m_pyOnSubscribe.ptr());
        Py_VISIT(m_pyOnUnsubscribe.ptr());
        Py_VISIT(m_pyOnSubscribeWithSize.ptr());
        Py_VISIT(m_pyOnUnsubscribeWithSize.ptr());
        return TraverseExtras(visit, arg);
    }
    void ClearRefs() {
        m_pyOnLogon = py::object();
        m_pyOnSubscribe = py::object();
        m_pyOnUnsubscribe = py::object();
        ClearExtras();
        m_pyOnSubscribeWithSize = py::object();
        m_pyOnUnsubscribeWithSize = py::object();
    }

protected:
    bool Batched() const override { return m_nBatchDepth > 0; }

private:
    static py::object Callable(py::object callable, const char* what);
    // Calls callable(args...) with new references (null args stand for None);
    // the result, or null with the error held by pending_error.
    PyObject* Call(const py::object& callable, PyObject* a, PyObject* b);
    void CallSized(const py::object& callable, const char* szTopic, int nNear, int nFar,
                   int nReqID);
    // Converts one item of a publish call into s.staged; false with a Python
    // error set. An item whose conversion may run Python code is staged only
    // after HoldStaged().
    bool Stage(Staging& s, PyObject* key, PyObject* value);
    bool StageText(Staging& s, PyObject* value, StagedField& f);
    // Texts staged so far point into the caller's objects; before Python code
    // may run (str() of an object of its own), they are referenced, and so is
    // every later one.
    void HoldStaged(Staging& s);
    void KeepText(Staging& s, PyObject* text, StagedField& f);
    // Converts every item of the mapping into s.staged (throws with the Python error set).
    void StageAll(Staging& s, py::handle data);
    // A tick for the topic holding the staged fields, listed for the next flush; false when
    // none could be made.
    bool ListStaged(const Staging& s, const pyqrx::TextArg& topic);
    // Queued mode: the same, with the interpreter lock given up around the library's part
    // (taking a record, filling it, queueing it), which other threads may run meanwhile.
    bool ListQueued(Staging& s, const pyqrx::TextArg& topic);
    // One round of serve(): waits (interpreter lock released) at most nWaitMs for the
    // descriptors, then handles what is ready; false once stopped.
    bool ServeOnce(int nWaitMs);

    int m_nFd = -1;
    bool m_bPolledReadable = false;  // by the last select()
    py::object m_pyOnLogon;
    py::object m_pyOnSubscribe;
    py::object m_pyOnUnsubscribe;
    py::object m_pyOnSubscribeWithSize;
    py::object m_pyOnUnsubscribeWithSize;
    bool m_bBusy = false;
    // Queued mode: publish runs on several threads; its staging (which may run Python code,
    // or give up the interpreter lock) is theirs one at a time.
    std::recursive_mutex m_publishMutex;

public:
    // Holds m_publishMutex for the scope in queued mode, giving up the interpreter lock while
    // it waits for another thread's publish.
    class PublishLock {
    public:
        explicit PublishLock(Symproxy& proxy) : m_lock(proxy.m_publishMutex, std::defer_lock) {
            if (proxy.m_bQueue && !m_lock.try_lock()) {
                pyqrx::WithoutLock([this] { m_lock.lock(); });
            }
        }

    private:
        std::unique_lock<std::recursive_mutex> m_lock;
    };

    // The staging of one publish call: the object's own, or, while another call is still
    // converting (a value's str() that publishes, or another thread's publish while Python
    // code runs), one of the call's own. The texts it holds are let go at the end.
    class StagingLease {
    public:
        explicit StagingLease(Symproxy& proxy) : m_proxy(proxy), m_bOwn(!proxy.m_bStagingInUse) {
            m_proxy.m_bStagingInUse = true;
        }
        ~StagingLease() {
            Get().holders.clear();
            if (m_bOwn) {
                m_proxy.m_bStagingInUse = false;
            }
        }
        StagingLease(const StagingLease&) = delete;
        StagingLease& operator=(const StagingLease&) = delete;
        Staging& Get() { return m_bOwn ? m_proxy.m_staging : m_local; }

    private:
        Symproxy& m_proxy;
        const bool m_bOwn;
        Staging m_local;
    };

private:
    Staging m_staging;
    bool m_bStagingInUse = false;
    int m_nBatchDepth = 0;
    bool m_bEnforceLogon = false;  // the logon callable's False refuses
    // One more than the client generation whose logon was accepted (0: none yet).
    unsigned long m_nLogonGeneration = 0;
    ThreadNotifier m_stopPipe;  // stop() wakes serve()
    std::atomic<bool> m_bStop{false};
};

Symproxy::Symproxy() {
    m_staging.staged.reserve(64);
    m_staging.holders.reserve(16);
}

Symproxy::~Symproxy() = default;

py::object Symproxy::Callable(py::object callable, const char* what) {
    if (callable.is_none()) {
        return py::object();
    }
    if (!PyCallable_Check(callable.ptr())) {
        throw py::type_error(std::string(what) + " takes a callable or None");
    }
    return callable;
}

PyObject* Symproxy::Call(const py::object& callable, PyObject* a, PyObject* b) {
    PyObject* args[2] = {a != nullptr ? a : Py_None, b != nullptr ? b : Py_None};
    const size_t n = b != nullptr ? 2 : 1;
    // Held for the call: the callable may replace itself.
    py::object held = callable;
    PyObject* result = PyObject_Vectorcall(held.ptr(), args, n, nullptr);
    Py_XDECREF(a);
    Py_XDECREF(b);
    if (result == nullptr) {
        pyqrx::pending_error::Take();
    }
    return result;
}

// A text of the library as a str, or None for null; null on failure.
PyObject* TextOrNone(const char* s) {
    if (s == nullptr) {
        Py_INCREF(Py_None);
        return Py_None;
    }
    return pyqrx::TextObject(s, static_cast<Py_ssize_t>(strlen(s)));
}

bool Symproxy::HandleClientRequest(MsgHdrSym* pSym) {
    if (!m_bEnforceLogon || pSym == nullptr) {
        return ProxyBase::HandleClientRequest(pSym);
    }
    const unsigned long nGeneration = m_nClientGeneration;
    if (pSym->mtyp == CM_LOGIN) {
        const bool bAccepted = ProxyBase::HandleClientRequest(pSym);
        if (bAccepted && nGeneration == m_nClientGeneration) {
            m_nLogonGeneration = nGeneration + 1;
        }
        return bAccepted;
    }
    if (m_nLogonGeneration != nGeneration + 1) {
        // Enforcing logons means serving nobody who has not passed one: a server that skips it
        // is dropped as a refused one is, before any callable sees its request.
        QRX_LOG_ERROR("CSymProxy::Request " << pSym->mtyp
                                            << " before an accepted logon; client dropped");
        CloseClient();
        return false;
    }
    return ProxyBase::HandleClientRequest(pSym);
}

bool Symproxy::OnLogon(const char* szUserName, const char* szPassword) {
    if (!m_pyOnLogon) {
        return true;
    }
    PyObject* user = TextOrNone(szUserName);
    PyObject* password = user != nullptr ? TextOrNone(szPassword) : nullptr;
    if (password == nullptr) {
        Py_XDECREF(user);
        pyqrx::pending_error::Take();
        return true;
    }
    PyObject* result = Call(m_pyOnLogon, user, password);
    bool bAccepted = true;
    if (result != nullptr) {
        // The answer must be a truth value; it decides only when the feed handler enforces
        // logons, else every logon is accepted.
        if (result != Py_None && !PyBool_Check(result) && !PyLong_Check(result)) {
            PyErr_Format(PyExc_TypeError,
                         "the logon callable must return None, bool or int, not %.100s",
                         Py_TYPE(result)->tp_name);
            pyqrx::pending_error::Take();
        } else if (m_bEnforceLogon && result != Py_None) {
            const int truth = PyObject_IsTrue(result);
            if (truth < 0) {
                pyqrx::pending_error::Take();  // an answer without a truth refuses, as a raise does
            }
            bAccepted = truth == 1;
        }
        Py_DECREF(result);
    } else if (m_bEnforceLogon) {
        bAccepted = false;  // a callable that raised refuses
    }
    return bAccepted;
}

void Symproxy::CallSized(const py::object& callable, const char* szTopic, int nNear, int nFar,
                         int nReqID) {
    if (!callable) {
        return;
    }
    PyObject* args[4] = {TextOrNone(szTopic), PyLong_FromLong(nNear), PyLong_FromLong(nFar),
                         PyLong_FromLong(nReqID)};
    bool ok = args[0] != nullptr && args[1] != nullptr && args[2] != nullptr && args[3] != nullptr;
    if (ok) {
        py::object held = callable;  // it may replace itself
        PyObject* result = PyObject_Vectorcall(held.ptr(), args, 4, nullptr);
        ok = result != nullptr;
        Py_XDECREF(result);
    }
    for (PyObject* a : args) {
        Py_XDECREF(a);
    }
    if (!ok) {
        pyqrx::pending_error::Take();
    }
}

void Symproxy::OnSubscribe(const char* szTopic) {
    if (!m_pyOnSubscribe) {
        return;
    }
    PyObject* topic = TextOrNone(szTopic);
    if (topic == nullptr) {
        pyqrx::pending_error::Take();
        return;
    }
    Py_XDECREF(Call(m_pyOnSubscribe, topic, nullptr));
}

void Symproxy::OnUnsubscribe(const char* szTopic) {
    if (!m_pyOnUnsubscribe) {
        return;
    }
    PyObject* topic = TextOrNone(szTopic);
    if (topic == nullptr) {
        pyqrx::pending_error::Take();
        return;
    }
    Py_XDECREF(Call(m_pyOnUnsubscribe, topic, nullptr));
}

bool Symproxy::PyInitialize(py::handle port, bool bEnforceLogon, py::handle bindAddress,
                            bool bQueued) {
    // A port number, or a service name looked up as the system's services database has it.
    int nPort = 0;
    std::string strService;
    if (PyLong_Check(port.ptr()) && !PyBool_Check(port.ptr())) {
        int overflow = 0;
        const long n = PyLong_AsLongAndOverflow(port.ptr(), &overflow);
        if (n == -1 && PyErr_Occurred()) {
            throw py::error_already_set();
        }
        if (overflow != 0 || n < 0 || n > 65535) {
            throw py::value_error("initialize takes a port from 0 to 65535 or a service name");
        }
        nPort = static_cast<int>(n);
    } else {
        pyqrx::TextArg service(port, "port");
        if (service.null() || service.size() == 0) {
            throw py::type_error("initialize takes a port number or a service name");
        }
        strService = service.c_str();
    }
    pyqrx::TextArg host(bindAddress, "bindAddress");
    m_bEnforceLogon = bEnforceLogon;
    if (strService.empty() && host.null()) {
        return Initialize(nPort, false, true, true, bQueued);  // QUOR_SYMBIND, when set
    }
    if (IsInitialized()) {
        return true;
    }
    const char* szHost = host.null() ? getenv("QUOR_SYMBIND") : host.c_str();
    CAppConn* pConn = new (std::nothrow)
        CAppConn("BIND - SYMPROXY", 1, strService.empty() ? nullptr : strService.c_str(), nullptr,
                 nPort, szHost);
    return Initialize(pConn, false, true, true, bQueued);
}

bool Symproxy::PyInitializeLocal(py::handle path, bool bEnforceLogon, bool bQueued) {
    pyqrx::TextArg p(path, "path");
    if (p.null()) {
        throw py::type_error("initializeLocal takes a socket path");
    }
    m_bEnforceLogon = bEnforceLogon;
    return InitializeU(p.c_str(), false, true, true, bQueued);
}

bool Symproxy::PyFlush() {
    pyqrx::CallScope call;
    const bool ok = Flush(false, nullptr);
    call.Finish();
    return ok;
}

int Symproxy::PyGetFd() {
    m_bPolledReadable = false;
    m_nFd = GetFd();
    return m_nFd;
}

int Symproxy::PySelect() {
    if (m_nFd < 0) {
        return -1;
    }
    // While output waits for the server, a socket that takes it again is ready too, so that
    // the backlog leaves without another publish.
    pollfd p;
    p.fd = m_nFd;
    p.events = static_cast<short>(POLLIN | (m_nFd == GetClientFd() && WantsWrite() ? POLLOUT : 0));
    p.revents = 0;
    const int rc = poll(&p, 1, 0);
    m_bPolledReadable = rc > 0 && (p.revents & ~POLLOUT) != 0;
    return rc > 0 ? 1 : rc;
}

bool Symproxy::PyCheckSocket() {
    pyqrx::BusyGuard busy(m_bBusy, kBusy);
    pyqrx::CallScope call;
    const bool ok = CheckSocketReady(m_bPolledReadable);
    m_bPolledReadable = false;
    call.Finish();
    return ok;
}

py::dict Symproxy::PyBacklog() const {
    const Counters& c = GetCounters();
    py::dict d;
    d["pendingMessages"] = GetNumPendingMessages();
    d["pendingBytes"] = GetPendingBytes();
    d["highWater"] = GetBacklogHighWater();
    d["limit"] = GetBacklogLimit();
    d["conflating"] = IsConflating();
    d["dirtyTopics"] = GetDirtyTopicCount();
    d["conflatedTicks"] = c.nConflatedTicks;
    d["conflatedTopics"] = c.nConflatedTopics;
    d["conflations"] = c.nConflations;
    d["drops"] = c.nBacklogDrops;
    return d;
}

py::dict Symproxy::PyStats() const {
    const Counters& c = GetCounters();
    py::dict d;
    d["ticksFlushed"] = c.nTicksFlushed;
    d["ticksSent"] = c.nTicksSent;
    d["ticksDropped"] = c.nTicksDropped;
    d["ticksConflated"] = c.nConflatedTicks;
    d["messagesWritten"] = c.nMsgsWritten;
    d["pendingMessages"] = GetNumPendingMessages();
    d["pendingBytes"] = GetPendingBytes();
    d["clientsDropped"] = c.nBacklogDrops;
    return d;
}

py::object Symproxy::PyClientAddress() const {
    const int fd = GetClientFd();
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (fd < 0 || getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        return py::none();
    }
    char host[INET6_ADDRSTRLEN] = "";
    int port = 0;
    if (addr.ss_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&addr);
        inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
        port = ntohs(in->sin_port);
    } else if (addr.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&addr);
        inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
        port = ntohs(in6->sin6_port);
    } else {
        return py::str("local");  // a local socket has no address to tell
    }
    return py::str(std::string(host) + ":" + std::to_string(port));
}

py::object Symproxy::PyClientUser() const {
    if (GetClientFd() < 0) {
        return py::none();
    }
    // The server's bytes, undecodable ones kept, as the logon callable receives them.
    const std::string& user = GetClientUser();
    PyObject* text = pyqrx::TextObject(user.data(), static_cast<Py_ssize_t>(user.size()));
    if (text == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(text);
}

py::list Symproxy::PySubscriptions() const {
    py::list out;
    for (const std::string& topic : GetSubscriptions()) {
        PyObject* text = pyqrx::TextObject(topic.data(), static_cast<Py_ssize_t>(topic.size()));
        if (text == nullptr) {
            throw py::error_already_set();
        }
        out.append(py::reinterpret_steal<py::object>(text));
    }
    return out;
}

bool Symproxy::PySendStatus(int code, py::handle text) {
    if (code != SYM_DATA_SOURCE_ERROR && code != SYM_DATA_SOURCE_RESTORED) {
        throw py::value_error(
            "sendStatus takes STATUS_SOURCE_LOST or STATUS_SOURCE_RESTORED as its code");
    }
    pyqrx::TextArg t(text, "text");
    pyqrx::CallScope call;
    const bool ok = SendSourceStatus(code == SYM_DATA_SOURCE_RESTORED, t.c_str());
    call.Finish();
    return ok;
}

bool Symproxy::PySendSymbolStatus(py::handle topic, int code, py::handle message) {
    if (code != SYM_SUBS_ERROR && code != SYM_PENDING_SUB) {
        throw py::value_error(
            "sendSymbolStatus takes STATUS_TOPIC_UNKNOWN or STATUS_TOPIC_PENDING as its code");
    }
    pyqrx::TextArg t(topic, "topic");
    pyqrx::TextArg m(message, "message");
    if (t.null()) {
        throw py::type_error("sendSymbolStatus takes a topic");
    }
    pyqrx::CallScope call;
    const bool ok = SendSymbolStatus(t.c_str(), code == SYM_PENDING_SUB, m.c_str());
    call.Finish();
    return ok;
}

bool Symproxy::PySendSnapshot(py::handle topic) {
    pyqrx::TextArg t(topic, "topic");
    if (t.null()) {
        return false;
    }
    pyqrx::CallScope call;
    const bool ok = SendSnapshot(t.c_str());
    call.Finish();
    return ok;
}

bool Symproxy::PyCloseClient() {
    pyqrx::CallScope call;
    const bool ok = CloseClient();
    call.Finish();
    return ok;
}

bool Symproxy::PyDispatch() {
    pyqrx::BusyGuard busy(m_bBusy, kBusy);
    pyqrx::CallScope call;
    const bool ok = Dispatch();
    call.Finish();
    return ok;
}

void Symproxy::HoldStaged(Staging& s) {
    if (s.holding) {
        return;
    }
    for (StagedField& f : s.staged) {
        if (f.pyText != nullptr) {
            s.holders.push_back(py::reinterpret_borrow<py::object>(f.pyText));
            f.pyText = nullptr;
        }
    }
    s.holding = true;
}

void Symproxy::KeepText(Staging& s, PyObject* text, StagedField& f) {
    if (s.holding) {
        s.holders.push_back(py::reinterpret_borrow<py::object>(text));
    } else {
        f.pyText = text;
    }
}

// Text of a value for a string or character field: str as UTF-8 (surrogates
// back to their bytes), bytes as they are, anything else through str().
bool Symproxy::StageText(Staging& s, PyObject* value, StagedField& f) {
    if (PyBytes_Check(value)) {
        f.szValue = PyBytes_AS_STRING(value);
        f.nLen = static_cast<size_t>(PyBytes_GET_SIZE(value));
        KeepText(s, value, f);
        return true;
    }
    PyObject* text = value;
    if (!PyUnicode_Check(value)) {
        if ((text = PyObject_Str(value)) == nullptr) {
            return false;
        }
        s.holders.push_back(py::reinterpret_steal<py::object>(text));
    }
    Py_ssize_t len = 0;
    py::object converted;
    const char* p = pyqrx::StrUtf8(text, &len, &converted);
    if (p == nullptr) {
        return false;
    }
    if (converted) {
        s.holders.push_back(std::move(converted));
    } else if (text == value) {
        KeepText(s, text, f);
    }
    f.szValue = p;
    f.nLen = static_cast<size_t>(len);
    return true;
}

// Whether an error raised while converting a value only means "not this type".
bool ConversionRefused() {
    if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_OverflowError) ||
        PyErr_ExceptionMatches(PyExc_ValueError)) {
        PyErr_Clear();
        return true;
    }
    return false;
}

bool Symproxy::Stage(Staging& s, PyObject* key, PyObject* value) {
    if (!PyLong_Check(key) && !PyIndex_Check(key)) {
        PyErr_Format(PyExc_TypeError, "publish takes int field ids as keys, not %.100s",
                     Py_TYPE(key)->tp_name);
        return false;
    }
    int overflow = 0;
    const long id = PyLong_AsLongAndOverflow(key, &overflow);
    if (id == -1 && PyErr_Occurred()) {
        return false;
    }
    if (overflow != 0 || id < INT_MIN || id > INT_MAX) {
        PyErr_SetString(PyExc_TypeError, "publish takes field ids that fit an int");
        return false;
    }
    StagedField f{};
    f.id = static_cast<int>(id);
    f.kind = StagedField::kSkip;
    if (id < 0 || id >= CSymData::MAX_FLIDS) {
        return true;  // no field type takes it
    }
    switch (id >> 9) {
        case 0: {  // double: an int, a bool or a float
            if (PyUnicode_Check(value) || PyBytes_Check(value)) {
                return true;
            }
            const double d = PyFloat_AsDouble(value);
            if (d == -1.0 && PyErr_Occurred()) {
                return ConversionRefused();
            }
            f.kind = StagedField::kDouble;
            f.dblValue = d;
            break;
        }
        case 1: {  // int: an int or a bool in the 32-bit range
            if (!PyLong_Check(value) && !(PyIndex_Check(value) && !PyFloat_Check(value))) {
                return true;
            }
            int of = 0;
            const long v = PyLong_AsLongAndOverflow(value, &of);
            if (v == -1 && PyErr_Occurred()) {
                return ConversionRefused();
            }
            if (of != 0 || v < INT_MIN || v > INT_MAX) {
                return true;
            }
            f.kind = StagedField::kInt;
            f.nValue = static_cast<int>(v);
            break;
        }
        case 2: {  // string: the value's text
            if (!StageText(s, value, f)) {
                return false;
            }
            if (f.nLen > kMaxTextLen) {
                PyErr_Format(PyExc_ValueError,
                             "the text of field %d is %zu bytes long; at most %zu are published",
                             f.id, f.nLen, kMaxTextLen);
                return false;
            }
            f.kind = StagedField::kText;
            break;
        }
        default: {  // char: a text of exactly one character below 256
            if (PyUnicode_Check(value) || !PyBytes_Check(value)) {
                PyObject* text = value;
                py::object converted;
                if (!PyUnicode_Check(value)) {
                    if ((text = PyObject_Str(value)) == nullptr) {
                        return false;
                    }
                    converted = py::reinterpret_steal<py::object>(text);
                }
                if (PyUnicode_GET_LENGTH(text) != 1) {
                    return true;
                }
                const Py_UCS4 c = PyUnicode_READ_CHAR(text, 0);
                if (c > 255) {
                    return true;
                }
                f.cValue = static_cast<char>(c);
            } else {
                if (PyBytes_GET_SIZE(value) != 1) {
                    return true;
                }
                f.cValue = PyBytes_AS_STRING(value)[0];
            }
            f.kind = StagedField::kChar;
            break;
        }
    }
    s.staged.push_back(f);
    return true;
}

void Symproxy::StageAll(Staging& s, py::handle data) {
    s.staged.clear();
    s.holders.clear();
    s.holding = false;
    if (PyDict_Check(data.ptr())) {
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(data.ptr(), &pos, &key, &value)) {
            if (IsPlain(key) && IsPlain(value)) {
                if (!Stage(s, key, value)) {
                    throw py::error_already_set();
                }
                continue;
            }
            // Python code may run and change the dict: the item is held, and so are the texts
            // already staged.
            HoldStaged(s);
            py::object k = py::reinterpret_borrow<py::object>(key);
            py::object v = py::reinterpret_borrow<py::object>(value);
            if (!Stage(s, k.ptr(), v.ptr())) {
                throw py::error_already_set();
            }
        }
    } else if (PyObject_HasAttrString(data.ptr(), "keys") &&
               PyObject_HasAttrString(data.ptr(), "items")) {
        PyObject* items = PyMapping_Items(data.ptr());
        if (items == nullptr) {
            throw py::error_already_set();
        }
        py::object keep = py::reinterpret_steal<py::object>(items);
        HoldStaged(s);
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items); ++i) {
            PyObject* item = PyList_GET_ITEM(items, i);
            if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2) {
                throw py::type_error("publish takes a mapping of field ids to values");
            }
            if (!Stage(s, PyTuple_GET_ITEM(item, 0), PyTuple_GET_ITEM(item, 1))) {
                throw py::error_already_set();
            }
        }
    } else {
        throw py::type_error("publish takes a dict of field ids to values");
    }
}

bool Symproxy::ListStaged(const Staging& s, const pyqrx::TextArg& topic) {
    HTICK tick = CreateTick(topic.c_str(), topic.size());  // a topic holds no NUL
    if (tick == nullptr) {
        return false;
    }
    for (const StagedField& f : s.staged) {
        switch (f.kind) {
            case StagedField::kInt:
                SetTickField(tick, f.id, f.nValue);
                break;
            case StagedField::kDouble:
                SetTickField(tick, f.id, f.dblValue);
                break;
            case StagedField::kChar:
                SetTickField(tick, f.id, f.cValue);
                break;
            case StagedField::kText:
                // With its length: a NUL inside the text is kept.
                SetTickField(tick, f.id, f.szValue, f.nLen);
                break;
            case StagedField::kSkip:
                break;
        }
    }
    if (m_bQueue) {
        PushbackTick(tick);  // to the serving thread's next flush
    }
    return true;
}

bool Symproxy::ListQueued(Staging& s, const pyqrx::TextArg& topic) {
    // The staged texts stay referenced while other threads run (the publish lock keeps
    // other producers out of the staging meanwhile).
    HoldStaged(s);
    return pyqrx::WithoutLock([&] { return ListStaged(s, topic); });
}

bool Symproxy::PyPublish(py::handle topic, py::handle data) {
    PublishLock lock(*this);
    pyqrx::TextArg t(topic, "topic");
    if (t.null()) {
        return false;
    }
    // Every item is converted before the tick is taken, so that a call that
    // raises publishes nothing and leaves nothing behind for the next flush.
    StagingLease lease(*this);
    Staging& s = lease.Get();
    StageAll(s, data);
    if (!(m_bQueue ? ListQueued(s, t) : ListStaged(s, t))) {
        return false;
    }
    s.holders.clear();
    if (m_nBatchDepth > 0 || m_bQueue) {
        return true;  // flushed at the end of the batch, or by the serving thread
    }
    // Writing may find the server gone, which reaches the unsubscribe callable.
    pyqrx::CallScope call;
    const bool ok = Flush(false, nullptr);
    call.Finish();
    return ok;
}

int Symproxy::PyPublishMany(py::handle items) {
    PublishLock lock(*this);
    py::iterator it = py::iter(items);
    StagingLease lease(*this);
    Staging& s = lease.Get();
    int nListed = 0;  // listed and not flushed yet
    int nCount = 0;
    // What was listed before an item that raises is still published.
    struct FlushListed {
        Symproxy& proxy;
        int& nListed;
        ~FlushListed() {
            if (nListed > 0 && proxy.m_nBatchDepth == 0 && !proxy.m_bQueue &&
                std::uncaught_exceptions() > 0) {
                PyObject *type, *value, *trace;
                PyErr_Fetch(&type, &value, &trace);
                {
                    pyqrx::CallScope call;
                    proxy.Flush(false, nullptr);
                    pyqrx::pending_error::Clear();
                }
                PyErr_Restore(type, value, trace);
            }
        }
    } flushOnError{*this, nListed};
    for (; it != py::iterator::sentinel(); ++it) {
        py::handle item = *it;
        if (!PyTuple_Check(item.ptr()) || PyTuple_GET_SIZE(item.ptr()) != 2) {
            PyErr_SetString(PyExc_TypeError, "publishMany takes (topic, data) pairs");
            throw py::error_already_set();
        }
        pyqrx::TextArg t;
        if (!t.Set(PyTuple_GET_ITEM(item.ptr(), 0), "topic")) {
            throw py::error_already_set();
        }
        if (t.null()) {
            continue;
        }
        StageAll(s, PyTuple_GET_ITEM(item.ptr(), 1));
        if (m_bQueue ? ListQueued(s, t) : ListStaged(s, t)) {
            ++nListed;
            ++nCount;
        }
        s.holders.clear();
    }
    nListed = 0;  // flushed below or by the batch: nothing for the guard to do
    if (m_nBatchDepth == 0 && !m_bQueue) {
        pyqrx::CallScope call;
        Flush(false, nullptr);
        call.Finish();
    }
    return nCount;
}

bool Symproxy::EndBatch() {
    if ((m_nBatchDepth > 0 && --m_nBatchDepth > 0) || m_bQueue) {
        return true;
    }
    pyqrx::CallScope call;
    const bool ok = Flush(false, nullptr);
    call.Finish();
    return ok;
}

void Symproxy::PyStop() {
    m_bStop = true;
    m_stopPipe.Notify();
}

bool Symproxy::ServeOnce(int nWaitMs) {
    if (GetFd() < 0) {
        Rebind();  // not listening after a failed bind: tried again every round
    }
    pollfd fds[3];
    int n = 0;
    fds[n++] = {m_stopPipe.Fd(), POLLIN, 0};
    const int nConn = GetFd();
    const int iConn = nConn >= 0 ? n : -1;
    if (nConn >= 0) {
        fds[n++] = {nConn, static_cast<short>(POLLIN | (WantsWrite() ? POLLOUT : 0)), 0};
    }
    // Queued mode: the producers' ticks wake the serving thread, which flushes them.
    const int nQueue = m_bQueue ? GetQFd() : -1;
    const int iQueue = nQueue >= 0 ? n : -1;
    if (nQueue >= 0) {
        fds[n++] = {nQueue, POLLIN, 0};
    }
    pyqrx::ReleaseLock();
    const int rc = poll(fds, static_cast<nfds_t>(n), nWaitMs);
    const int nErr = errno;
    if (!pyqrx::TakeLock()) {
        return false;  // a signal handler raised (Ctrl-C): held by pending_error
    }
    if (m_bStop) {
        return false;
    }
    if (rc < 0) {
        if (nErr != EINTR) {
            PyErr_SetFromErrno(PyExc_OSError);
            pyqrx::pending_error::Take();
            return false;
        }
        return true;
    }
    const bool bReadable = iConn >= 0 && (fds[iConn].revents & ~POLLOUT) != 0;
    // On a time-out too: heartbeats and the backlog.
    CheckSocketReady(bReadable);
    if (iQueue >= 0 && fds[iQueue].revents != 0 && !pyqrx::pending_error::Pending()) {
        Flush(false, nullptr);
    }
    return !pyqrx::pending_error::Pending() && !m_bStop;
}

void Symproxy::PyServe(double dblTimeout) {
    if (std::isnan(dblTimeout)) {
        // It compares false with every bound: it would read as no time-out at all.
        throw py::value_error("serve takes a timeout in seconds, not NaN");
    }
    if (!IsInitialized()) {
        throw py_error("Symproxy.serve() needs initialize() first");
    }
    if (!m_stopPipe.Init()) {
        throw py_error("Symproxy.serve() could not make its wake-up pipe");
    }
    pyqrx::BusyGuard busy(m_bBusy, kBusy);
    // A stop() that came before this serve() began ends it at once: a thread that starts
    // serve() and another that stops it a moment later must not leave it serving for ever.
    // serve() clears the request as it returns.
    m_stopPipe.Clear();  // a wake-up left by such a stop; the flag says whether to stop
    using Clock = std::chrono::steady_clock;
    // A time-out longer than the clock can count ahead (infinity among them) is none.
    constexpr double kLongestTimeout = 1e9;
    const bool bTimed = dblTimeout >= 0 && dblTimeout < kLongestTimeout;
    const Clock::time_point end =
        Clock::now() +
        std::chrono::microseconds(static_cast<long long>((bTimed ? dblTimeout : 0) * 1e6));
    pyqrx::CallScope call;
    for (;;) {
        if (m_bStop) {
            break;
        }
        int nWaitMs = 1000;  // heartbeats are looked at once a second
        if (bTimed) {
            const auto left =
                std::chrono::duration_cast<std::chrono::microseconds>(end - Clock::now()).count();
            if (left <= 0) {
                break;
            }
            nWaitMs = static_cast<int>(std::min<long long>((left + 999) / 1000, nWaitMs));
        }
        if (!ServeOnce(nWaitMs)) {
            break;
        }
    }
    m_bStop = false;
    m_stopPipe.Clear();
    call.Finish();
}

// Symproxy.publish(topic, data), also with the keywords topic and data.
PyObject* PublishCall(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const kNames[2] = {"topic", "data"};
    PyObject* argv[2] = {nargs > 0 ? args[0] : nullptr, nargs > 1 ? args[1] : nullptr};
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs > 2) {
        PyErr_Format(PyExc_TypeError, "publish() takes 2 arguments (%zd given)", nargs + nkw);
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, i);
        int slot = -1;
        for (int k = 0; k < 2; ++k) {
            if (PyUnicode_CompareWithASCIIString(name, kNames[k]) == 0) {
                slot = k;
            }
        }
        if (slot < 0 || argv[slot] != nullptr) {
            PyErr_Format(PyExc_TypeError, "publish() got an unexpected or repeated argument %R",
                         name);
            return nullptr;
        }
        argv[slot] = args[nargs + i];
    }
    if (argv[0] == nullptr || argv[1] == nullptr) {
        PyErr_SetString(PyExc_TypeError, "publish() takes the arguments topic and data");
        return nullptr;
    }
    Symproxy* proxy =
        PyObject_TypeCheck(self, g_symproxyType) ? pyqrx::Constructed<Symproxy>(self) : nullptr;
    if (proxy == nullptr) {
        PyErr_SetString(PyExc_TypeError, "publish() needs an initialised Symproxy");
        return nullptr;
    }
    try {
        return PyBool_FromLong(proxy->PyPublish(argv[0], argv[1]));
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (const py::builtin_exception& e) {
        e.set_error();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_Exception, e.what());
    }
    return nullptr;
}

// What Symproxy.batch() returns.
struct SymproxyBatch {
    py::object proxy;
};

}  // namespace

void RegisterSymproxy(py::module_& m) {
    py::class_<Symproxy> cls(m, "Symproxy", pyqrx::GcSupport<Symproxy>(), R"doc(
Feed-handler end of the Sym service: serves the symbol server.

initialize(port) listens; the program's event loop calls getFd(), select()
and, when select() returned more than 0, checkSocket(), which accepts the
server or handles its requests: the logon reaches the onLogon callable
(every logon is accepted), subscriptions onSubscribe and onUnsubscribe.
publish(topic, data) sends one tick to the server when it subscribed the
topic and keeps the topic's snapshot for later subscribers.)doc");
    cls.def(py::init<>())
        .def("initializeLocal", &Symproxy::PyInitializeLocal, py::arg("path"),
             py::arg("enforceLogon") = false, py::arg("queued") = false,
             R"doc(Listens on a local (Unix-domain) socket at path instead of a TCP port;
otherwise as initialize().)doc")
        .def("initialize", &Symproxy::PyInitialize, py::arg("port"),
             py::arg("enforceLogon") = false, py::arg("bindAddress") = py::none(),
             py::arg("queued") = false,
             R"doc(Binds the port (a number, or a service name such as "symproxy" looked
up in KO_PORT_<name> or the system's services database; its two bytes are
exchanged unless QUOR_TRUE_BIND=YES, as clients connecting by service name
do) and listens, without waiting for the server; False when binding fails or
the service is unknown. With enforceLogon=True a logon the onLogon callable answers
with False (or raises on) is refused and the server dropped, and so is a
server that sends a request before its logon was accepted; by default
every logon is accepted. bindAddress picks the local address to listen on
(else QUOR_SYMBIND, else every address).

With queued=True, publish() and publishMany() may be called from any
number of threads: each tick goes through a queue to the thread that
serves the server (serve(), or a loop of the program's own that waits for
getQueueFd() to be readable and then calls flush()), which publishes the
ticks of each producer in the order published. In this mode publish never
writes to the socket and batch() changes nothing.)doc")
        .def("onLogon", &Symproxy::PyOnLogon, py::arg("callable"),
             R"doc(Sets callable(user, password), called for each logon. It must return
None, a bool or an int (else TypeError); the logon is accepted whatever
it returns.)doc")
        .def("onSubscribe", &Symproxy::PyOnSubscribe, py::arg("callable"),
             R"doc(Sets callable(topic), called after each subscription (its snapshot
is already sent); "" stands for every topic.)doc")
        .def("onUnsubscribe", &Symproxy::PyOnUnsubscribe, py::arg("callable"),
             R"doc(Sets callable(topic), called for each unsubscription: "" for an
unsubscribe-all request, None when the server went away and every
subscription is dropped.)doc")
        .def("getFd", &Symproxy::PyGetFd,
             R"doc(The descriptor to watch: the server's connection, else the listening
socket, else -1. Call it again after the server connects or leaves.)doc")
        .def("select", &Symproxy::PySelect,
             R"doc(Polls the descriptor of the last getFd() without waiting: 1 when
ready, 0 when not, -1 on error or before the first getFd(). While output
waits for the server (wantsWrite()), a socket that can take it counts as
ready too.)doc")
        .def("wantsWrite", &Symproxy::WantsWrite,
             R"doc(True while output waits for the server: a program running its own
select/poll loop should then also wait for getFd() to be writable and
call checkSocket() when it is, so the backlog leaves without another
publish.)doc")
        .def("setBacklogLimits", &Symproxy::PySetBacklogLimits, py::arg("highWater") = 0,
             py::arg("limit") = 0,
             R"doc(Bounds in bytes of the output kept for a server that does not read
(0 keeps a bound; defaults 16 MB and 256 MB, or QUOR_PROXY_BACKLOG_HIGH_WATER
and QUOR_PROXY_BACKLOG_LIMIT). Past the high-water mark updates are
conflated: each topic's latest state is sent once the server reads again.
Past the limit the server is dropped.)doc")
        .def(
            "setWriteDelay",
            [](Symproxy& self, long micros) {
                if (micros < 0) {
                    throw py::value_error("setWriteDelay takes microseconds, 0 or more");
                }
                self.SetWriteDelay(micros);
            },
            py::arg("micros"),
            R"doc(Write coalescing, off (0) by default or QUOR_PROXY_WRITE_DELAY_US: a
publish that comes within micros of the last write keeps its message back, and
the publishes that follow add theirs, until micros have passed since the first
was kept; then one write sends them all. A program publishing tick by tick
makes one system call per batch instead of one per tick. What is kept leaves
with a later publish that finds it due, or as soon as serve() or the program's
own loop (wantsWrite(), then checkSocket()) comes round, so publishers that go
idle should be serving the proxy.)doc")
        .def("writeDelay", &Symproxy::GetWriteDelay,
             "The write delay in microseconds (0: every publish writes at once).")
        .def(
            "setFirstRequestTimeout",
            [](Symproxy& self, double seconds) {
                // NaN fails both comparisons, so it is refused too.
                if (!(seconds >= 0 && seconds <= 1e9)) {
                    throw py::value_error(
                        "setFirstRequestTimeout takes seconds, from 0 to 1e9 (0: no bound)");
                }
                // A bound under a millisecond is a millisecond, not none.
                self.SetFirstRequestTimeout(static_cast<long>(std::ceil(seconds * 1000)));
            },
            py::arg("seconds"),
            R"doc(How long a server that has just connected may send nothing before it
is dropped, with a log line, and the feed handler listens again (60 s by
default; 0: no bound). Only one server is served at a time, so a connection
that never speaks would otherwise keep the symbol server out for good. It is
checked by checkSocket(), serve() and each publish.)doc")
        .def(
            "firstRequestTimeout",
            [](const Symproxy& self) { return self.GetFirstRequestTimeout() / 1000.0; },
            "How long, in seconds, a newly connected server may stay silent (0: no bound).")
        .def("backlog", &Symproxy::PyBacklog,
             R"doc(The output waiting for the server and what conflation did, as a dict:
pendingMessages, pendingBytes, highWater, limit, conflating, dirtyTopics,
conflatedTicks, conflatedTopics, conflations, drops.)doc")
        .def("checkSocket", &Symproxy::PyCheckSocket,
             R"doc(After select() found the descriptor ready: accepts the server or
handles its requests. False when the server went away or an accept
failed. An exception of a callable propagates once the requests are
handled.)doc")
        .def("closeClient", &Symproxy::PyCloseClient,
             "Drops the server's connection (onUnsubscribe gets None) and listens again.")
        .def("dispatch", &Symproxy::PyDispatch,
             "Handles the requests already received; False when the connection failed.")
        .def("sendStatus", &Symproxy::PySendStatus, py::arg("code"), py::arg("text") = "",
             R"doc(Tells the server that the data source went down (STATUS_SOURCE_LOST)
or came back (STATUS_SOURCE_RESTORED), with a text; its clients see it as
a status event. False without a server.)doc")
        .def("sendSymbolStatus", &Symproxy::PySendSymbolStatus, py::arg("topic"), py::arg("code"),
             py::arg("message") = "",
             R"doc(Tells the server that a topic does not exist or is not entitled
(STATUS_TOPIC_UNKNOWN), or that its subscription is held pending
(STATUS_TOPIC_PENDING), with a message. False without a server.)doc")
        .def("sendSnapshot", &Symproxy::PySendSnapshot, py::arg("topic"),
             R"doc(Sends the cached snapshot of the topic ("" for every topic, framed by
start and end markers) to the server now. False without a server.)doc")
        .def("stats", &Symproxy::PyStats,
             R"doc(Counters since the proxy was made, as a dict: ticksFlushed (through a
flush, sent or not), ticksSent (encoded for the server), ticksDropped (too
long for a message, or no memory), ticksConflated, messagesWritten,
pendingMessages, pendingBytes, clientsDropped (for their backlog).)doc")
        .def("subscriptions", &Symproxy::PySubscriptions,
             "The topics the server subscribed, sorted (\"\" for every topic).")
        .def("clientAddress", &Symproxy::PyClientAddress,
             "The server's address as \"host:port\" (\"local\" on a local socket), or None.")
        .def("clientUser", &Symproxy::PyClientUser,
             "The user name of the server's accepted logon (\"\" before it), or None.")
        .def("serve", &Symproxy::PyServe, py::arg("timeout") = -1.0,
             R"doc(Serves the symbol server until stop() or Ctrl-C (KeyboardInterrupt), or
for timeout seconds when given: accepts it, handles its requests, sends
heartbeats and the output that waits for it, and listens again when it
goes away. The interpreter lock is released while it waits, so other
threads run; the object stays usable afterwards. An exception of a
callable ends it and propagates.)doc")
        .def(
            "getQueueFd", [](Symproxy& p) { return p.GetQFd(); },
            R"doc(The descriptor that becomes readable when producers of the queued mode
have queued ticks (-1 unless initialised with queued=True): a program
running its own event loop waits for it and then calls flush(). serve()
does so by itself.)doc")
        .def("flush", &Symproxy::PyFlush,
             R"doc(Publishes what waits: the ticks listed by publish() inside a batch,
or in queued mode every tick the producers queued. On the serving thread
only; False before initialize().)doc")
        .def("isQueued", &Symproxy::IsQueued, "True when initialised with queued=True.")
        .def("onSubscribeWithSize", &Symproxy::PyOnSubscribeWithSize, py::arg("callable"),
             R"doc(Sets callable(topic, nearSize, farSize, reqId), called for each
subscription with sizes; the server subscribed the topic
sizesTopic(topic, nearSize, farSize), which is the topic to publish its
updates under. None removes it.)doc")
        .def("onUnsubscribeWithSize", &Symproxy::PyOnUnsubscribeWithSize, py::arg("callable"),
             "Sets callable(topic, nearSize, farSize, reqId), called when a subscription "
             "with sizes is dropped. None removes it.")
        .def("stop", &Symproxy::PyStop,
             "Ends serve(): from a callable it runs, or from any other thread. A stop() "
             "while no serve() runs ends the next one as soon as it starts.")
        .def("publishMany", &Symproxy::PyPublishMany, py::arg("items"),
             R"doc(Publishes every (topic, data) pair of an iterable, converted as
publish() converts them, with one flush and as few writes as the messages
need. Returns how many ticks were listed. An item that raises ends the
call; the ticks before it are still published.)doc")
        .def(
            "batch", [](py::object self) { return SymproxyBatch{std::move(self)}; },
            R"doc(A context manager: inside `with proxy.batch():` publish() only lists
ticks, and the end of the block publishes them all with one flush.)doc");
    py::class_<SymproxyBatch>(m, "SymproxyBatch")
        .def("__enter__",
             [](SymproxyBatch& b) {
                 b.proxy.cast<Symproxy&>().BeginBatch();
                 return b.proxy;
             })
        .def("__exit__", [](SymproxyBatch& b, py::args) {
            b.proxy.cast<Symproxy&>().EndBatch();
            return false;
        });
    // publish is the hot call of a feed handler: bound as a fast-call method of
    // its own, without the generic dispatcher's argument machinery.
    static PyMethodDef publishDef = {
        "publish", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&PublishCall)),
        METH_FASTCALL | METH_KEYWORDS,
        R"doc(publish(topic, data)
--

Publishes one tick for topic from a dict {field id: value}. Each value
goes into its field's type: an int or bool in the 32-bit range into an
int field (512-1023); an int, bool or float into a float field (0-511);
its text into a string field (1024-1535: str, bytes, or str() of
anything else); a one-character text below chr(256) into a character
field (1536-2047). Values no type takes are skipped. A key that is not
an int raises TypeError and nothing is published. Returns False for a
None topic.)doc"};
    PyObject* descr = PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls.ptr()), &publishDef);
    if (descr == nullptr) {
        throw py::error_already_set();
    }
    cls.attr("publish") = py::reinterpret_steal<py::object>(descr);
    g_symproxyType = reinterpret_cast<PyTypeObject*>(cls.ptr());
    // Commands, order books and translation (py_proxy_base.h).
    pyqrx::DefProxyExtras(cls);
}
