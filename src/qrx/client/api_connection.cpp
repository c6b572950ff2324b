#include "qrx/client/api_connection.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "qrx/net/api_version.h"
#include "qrx/net/app_conn.h"
#include "qrx/runtime/environment.h"
#include "qrx/runtime/fixed_text.h"
#include "qrx/runtime/mutex_lock.h"
#include "qrx/runtime/stdio_logger.h"
#include "qrx/runtime/thread_notifier.h"
#include "qrx/wire/msg_hdr.h"
#include "qrx/wire/session_msgs.h"

namespace {

// Name of this unit in the messages it prints.
constexpr const char* kUnitName = "ApiConnection";

// The generic logon message: the order-server header and the logon record.
using LoginMsg = HdrMsg<stLogin>;
static_assert(sizeof(LoginMsg) == 328, "a logon message is 328 bytes");

// Records the calling thread as the one reading the socket for a scope (and
// leaves it alone once a callback destroyed the connection, clearing alive).
// The thread is marked under the state mutex, the one a close holds from its look at the reader
// to the closing itself: a close then either sees the reader or comes wholly before its reads.
class ReaderScope {
public:
    ReaderScope(std::atomic<std::thread::id>& reader, KoMutexLock& lock, const bool& alive)
        : m_reader(reader), m_alive(alive) {
        KoGuard guard(lock);
        m_prev = reader.exchange(std::this_thread::get_id());
    }
    ~ReaderScope() {
        if (m_alive) {
            m_reader.store(m_prev);
        }
    }

    ReaderScope(const ReaderScope&) = delete;
    ReaderScope& operator=(const ReaderScope&) = delete;

private:
    std::atomic<std::thread::id>& m_reader;
    std::thread::id m_prev;
    const bool& m_alive;
};

// A wait limit in milliseconds for poll, rounded up so that a short non-zero
// time-out does not turn into a busy loop.
int TimeoutMs(const timeval& tv) {
    if (tv.tv_sec < 0 || (tv.tv_sec == 0 && tv.tv_usec <= 0)) {
        return 0;
    }
    const long long ms = static_cast<long long>(tv.tv_sec) * 1000 +
                         (tv.tv_usec > 0 ? (static_cast<long long>(tv.tv_usec) + 999) / 1000 : 0);
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

}  // namespace

// Marks a call that runs callbacks, on its own stack. A callback may destroy
// the connection: the destructor clears every mark in force, so that the calls
// return without touching the connection again, and leaves the socket object
// (whose buffer holds the message being handed out) to the outermost mark,
// which deletes it when its call returns.
//
// Calls of several threads may be marked at once (a close made by Disconnect on
// one thread while another dispatches), so the marks do not come and go in turn:
// the list is changed under its own mutex, and each mark is taken out wherever
// it stands in it.
struct CApiConnection::AliveMark {
    explicit AliveMark(CApiConnection& conn) : m_head(conn.m_pAlive), m_lock(conn.m_aliveLock) {
        std::lock_guard<std::mutex> guard(m_lock);
        m_outer = m_head;
        m_head = this;
    }
    ~AliveMark() {
        if (m_bAlive) {
            std::lock_guard<std::mutex> guard(m_lock);
            for (AliveMark** p = &m_head; *p != nullptr; p = &(*p)->m_outer) {
                if (*p == this) {
                    *p = m_outer;
                    break;
                }
            }
        }
        delete m_pDoomedSocket;
    }
    AliveMark(const AliveMark&) = delete;
    AliveMark& operator=(const AliveMark&) = delete;

    bool m_bAlive = true;
    AliveMark*& m_head;
    std::mutex& m_lock;
    AliveMark* m_outer = nullptr;
    CAppConn* m_pDoomedSocket = nullptr;
};

CApiConnection::CApiConnection()
    : m_nFileDescriptor(-1),
      m_bChecking(true),
      m_login_ok(false),
      m_LoginAsSoonAsConnect(true),
      m_bEncryptIt(false),
      m_pSocket(nullptr),
      m_LoopExitRequest(nullptr),
      m_write_block_mutex(new KoMutexLock()),
      m_state_mutex(new KoMutexLock()),
      m_readerThread(std::thread::id()) {}

CApiConnection::~CApiConnection() {
    m_login_ok = false;
    AliveMark* outermost = nullptr;
    {
        std::lock_guard<std::mutex> guard(m_aliveLock);
        for (AliveMark* mark = m_pAlive; mark != nullptr; mark = mark->m_outer) {
            mark->m_bAlive = false;  // destroyed by a callback of that call
            outermost = mark;
        }
    }
    if (m_pSocket != nullptr) {
        m_pSocket->UnRegisterCloseCallBack();
        if (outermost != nullptr) {
            outermost->m_pDoomedSocket = m_pSocket;
        } else {
            delete m_pSocket;
        }
        m_pSocket = nullptr;
    }
    delete m_write_block_mutex;
    m_write_block_mutex = nullptr;
    delete m_state_mutex;
    m_state_mutex = nullptr;
    if (ThreadNotifier* stop = m_LoopExitRequest.exchange(nullptr)) {
        stop->Close();
        delete stop;
    }
}

// ---------------------------------------------------------------- helpers

bool CApiConnection::SocketOpen() const {
    return m_pSocket != nullptr && m_pSocket->GetFd() >= 0;
}

void CApiConnection::PrintNoConnection() const {
    fprintf(stderr, "%s: No connection available\n",
            m_pSocket != nullptr ? m_pSocket->GetDescr() : "UNKNOWN");
}

void CApiConnection::SetWaitHooks(ApiWaitEnter onEnter, ApiWaitLeave onLeave, void* data) {
    m_pWaitEnter = onEnter;
    m_pWaitLeave = onLeave;
    m_pWaitData = data;
}

void CApiConnection::WaitEnter() {
    if (m_pWaitEnter != nullptr) {
        m_pWaitEnter(m_pWaitData);
    }
}

bool CApiConnection::WaitLeave() {
    return m_pWaitLeave == nullptr || m_pWaitLeave(m_pWaitData);
}

template <typename Fn>
void CApiConnection::ForEachClient(Fn fn, const bool& alive) {
    // A callback may add or remove listeners (itself included): when the set
    // changed during the call, the next listener is looked up afresh.
    auto it = m_setClients.begin();
    while (it != m_setClients.end()) {
        CApiListener* listener = *it;
        const unsigned long changes = m_nClientChanges;
        fn(listener);
        if (!alive) {
            return;
        }
        if (m_nClientChanges == changes) {
            ++it;
        } else {
            it = m_setClients.upper_bound(listener);
        }
    }
}

void CApiConnection::ShutdownSocket() {
    // The descriptor is closed under the same mutex, so it is still the
    // socket's here; a writer blocked on the peer holds only the write mutex.
    KoGuard guard(*m_state_mutex);
    if (SocketOpen()) {
        shutdown(m_pSocket->GetFd(), SHUT_RDWR);
    }
}

void CApiConnection::CloseSocket() {
    {
        // Another thread is opening the socket (its object is in use without the mutexes):
        // that thread closes it once its connect is done.
        KoGuard state(*m_state_mutex);
        if (m_bConnecting) {
            m_bCloseAfterConnect = true;
            return;
        }
    }
    const std::thread::id reader = m_readerThread.load();
    if (reader != std::thread::id() && reader != std::this_thread::get_id()) {
        // Another thread is reading the socket: a shutdown wakes it with an end
        // of stream, and it closes the socket on its own thread.
        ShutdownSocket();
        return;
    }
    if (!SocketOpen()) {
        return;
    }
    if (reader == std::this_thread::get_id() && m_bDispatching) {
        // The message being handed out lives in the socket's buffers.
        m_bCloseAfterDispatch = true;
        return;
    }
    // Wakes a writer blocked on the peer, so that the write mutex comes free at once.
    ShutdownSocket();
    OnCloseCallBack cb;
    void* cbData;
    {
        // No write may use the descriptor while it is closed; the call-backs
        // run after the mutex is released, so that they may write.
        KoGuard guard(*m_write_block_mutex);
        KoGuard state(*m_state_mutex);
        if (!SocketOpen()) {
            // Another writer whose write failed too has closed it meanwhile
            // and tells the listeners.
            return;
        }
        const std::thread::id now = m_readerThread.load();
        if (now != std::thread::id() && now != std::this_thread::get_id()) {
            return;  // a reader came meanwhile: the shutdown above ends its reading, and it closes
        }
        cb = m_pSocket->m_pCloseCallBack;
        cbData = m_pSocket->m_pCloseCallbackData;
        m_pSocket->UnRegisterCloseCallBack();
        m_pSocket->Close(false);
        m_pSocket->RegisterCloseCallBack(cb, cbData);
    }
    if (cb != nullptr) {
        cb(m_pSocket, cbData);
    }
}

// ---------------------------------------------------------------- connecting

bool CApiConnection::InitSocketLibs(const char* name) {
    (void)name;
    return true;
}

template <typename MakeSocket>
bool CApiConnection::ConnectWith(bool isStream, MakeSocket makeSocket) {
    InitSocketLibs(GetDescription());
    if (!BeginConnect()) {
        return false;
    }
    if (m_pSocket != nullptr) {
        if (m_pSocket->GetFd() >= 0) {
            return FinishConnect() && !ClosePending();
        }
        KoGuard guard(*m_write_block_mutex);
        KoGuard state(*m_state_mutex);
        m_pSocket->UnRegisterCloseCallBack();
        delete m_pSocket;
        m_pSocket = nullptr;
    }
    CAppConn* socket = makeSocket();
    if (socket == nullptr) {
        FinishConnect();
        return false;
    }
    socket->RegisterCloseCallBack(SocketCloseCallback, this);
    if (isStream) {
        socket->m_is_stream = 5;
    }
    {
        KoGuard guard(*m_write_block_mutex);
        KoGuard state(*m_state_mutex);
        m_pSocket = socket;
    }
    WaitEnter();
    const int fd = socket->Conn();
    WaitLeave();
    if (!FinishConnect() || fd < 0) {
        return false;
    }
    if (m_LoginAsSoonAsConnect) {
        OnConnect();
    }
    return true;
}

bool CApiConnection::BeginConnect() {
    {
        // Not the write mutex: a write blocked on the peer must not hold a
        // connect up, not even one that finds the connection open.
        KoGuard guard(*m_state_mutex);
        if (!m_bConnecting) {
            m_bConnecting = true;
            return true;
        }
    }
    fprintf(stderr, "%s: a connect is already under way\n", GetDescription());
    return false;
}

bool CApiConnection::ClosePending() {
    bool pending;
    {
        KoGuard guard(*m_state_mutex);
        pending = m_bStopRequested || (InListenerCall() && m_bCloseAfterDispatch);
    }
    if (pending) {
        fprintf(stderr, "%s: the connection is being closed\n", GetDescription());
    }
    return pending;
}

bool CApiConnection::FinishConnect() {
    bool bClose;
    {
        KoGuard guard(*m_state_mutex);
        m_bConnecting = false;
        bClose = m_bCloseAfterConnect;
        m_bCloseAfterConnect = false;
    }
    if (bClose) {
        CloseSocket();
    }
    return !bClose;
}

bool CApiConnection::Connect(const char* host, int port, bool isStream) {
    return ConnectWith(isStream, [&] { return New_ConnObj(host, port); });
}

bool CApiConnection::Connect(const char* host, const char* service, bool isStream) {
    return ConnectWith(isStream, [&] { return New_ConnObj(host, service); });
}

bool CApiConnection::ConnectU(const char* ipcPath, bool isStream) {
    return ConnectWith(isStream, [&] { return New_ConnObj(ipcPath); });
}

bool CApiConnection::Reconnect() {
    if (m_pSocket == nullptr || !BeginConnect()) {
        return false;
    }
    if (m_pSocket->GetFd() >= 0) {
        return FinishConnect() && !ClosePending();
    }
    WaitEnter();
    const int fd = m_pSocket->Conn();
    WaitLeave();
    if (!FinishConnect() || fd < 0) {
        return false;
    }
    return m_LoginAsSoonAsConnect ? OnConnect() : true;
}

CAppConn* CApiConnection::New_ConnObj(const char* host, int port) {
    return new CAppConn(GetDescription(), CAppConn::SOCKET_TCP, nullptr, host, port, nullptr);
}

CAppConn* CApiConnection::New_ConnObj(const char* host, const char* service) {
    return new CAppConn(GetDescription(), CAppConn::SOCKET_TCP, service, host, 0, nullptr);
}

CAppConn* CApiConnection::New_ConnObj(const char* ipcPath) {
    return new CAppConn(GetDescription(), ipcPath);
}

void CApiConnection::SetSocket(CAppConn* socket) {
    if (socket == m_pSocket) {
        return;
    }
    CAppConn* old = m_pSocket;
    {
        KoGuard guard(*m_write_block_mutex);
        KoGuard state(*m_state_mutex);
        m_pSocket = socket;
    }
    delete old;
}

void CApiConnection::Disconnect() {
    m_login_ok = false;
    const bool bReader = m_readerThread.load() == std::this_thread::get_id();
    {
        KoGuard guard(*m_state_mutex);
        ThreadNotifier* stop = m_LoopExitRequest.load(std::memory_order_acquire);
        if (m_bLoopRunning && stop != nullptr && stop->WriteFd() >= 0) {
            m_bStopRequested = true;
            stop->Notify();
            if (!bReader && SocketOpen()) {
                // The loop's thread may be blocked writing to a peer that does
                // not read (a heartbeat echo), and so may other writers.
                shutdown(m_pSocket->GetFd(), SHUT_RDWR);
            }
            return;
        }
    }
    // No loop runs: nothing would read a stop request.
    CloseSocket();
}

const char* CApiConnection::GetDescription() {
    return "";
}

void CApiConnection::OnConnectionClose() {
    m_login_ok = false;
}

void CApiConnection::SocketCloseCallback(CAppConn* socket, void* data) {
    (void)socket;
    CApiConnection* conn = static_cast<CApiConnection*>(data);
    if (conn == nullptr) {
        return;
    }
    AliveMark mark(*conn);
    conn->OnConnectionClose();
    if (mark.m_bAlive) {
        conn->ForEachClient([conn](CApiListener* l) { l->OnConnectionClose(conn); }, mark.m_bAlive);
    }
}

// ---------------------------------------------------------------- listeners

void CApiConnection::AddClient(CApiListener* listener) {
    // A null listener would be called with the first message.
    if (listener != nullptr && m_setClients.insert(listener).second) {
        ++m_nClientChanges;
    }
}

void CApiConnection::RemoveClient(CApiListener* listener) {
    if (m_setClients.erase(listener) != 0) {
        ++m_nClientChanges;
    }
}

void CApiConnection::StopCheck() {
    m_bChecking = false;
}

// ---------------------------------------------------------------- reading

int CApiConnection::GetFd() {
    return m_pSocket != nullptr ? m_pSocket->GetFd() : -1;
}

bool CApiConnection::CheckSocket(fd_set& readSet) {
    if (!SocketOpen()) {
        return false;
    }
    const int fd = m_pSocket->GetFd();
    // A descriptor beyond an fd_set cannot have been watched by the caller's
    // select; dispatching never blocks, so it is simply tried. Messages left
    // buffered by an interrupted dispatch make no descriptor readable.
    if (fd >= FD_SETSIZE || FD_ISSET(fd, &readSet) || HasPendingMessages()) {
        return DispatchEvents() >= 0;
    }
    return true;
}

bool CApiConnection::HasPendingMessages() const {
    int len = 0;
    return SocketOpen() && m_pSocket->IsReadDataAvailable(len);
}

int CApiConnection::DispatchEvents() {
    if (!SocketOpen()) {
        return -1;
    }
    if (m_bDispatching && m_readerThread.load() == std::this_thread::get_id()) {
        // Called from a listener: the current message must stay intact.
        return 0;
    }
    AliveMark mark(*this);
    const bool& alive = mark.m_bAlive;
    ReaderScope reader(m_readerThread, *m_state_mutex, alive);
    m_bDispatching = true;
    m_bCloseAfterDispatch = false;
    m_bInterruptDispatch = false;
    ForEachClient([](CApiListener* l) { l->OnStartMsgGroup(); }, alive);
    if (!alive) {
        return -1;
    }
    bool lost = false;
    int count = 0;
    while (SocketOpen() && !m_bCloseAfterDispatch && !m_bInterruptDispatch) {
        char* msg = nullptr;
        if (m_pSocket->ReadCmsgNoblok(msg) != 0) {
            lost = true;
            break;
        }
        if (msg == nullptr) {
            break;
        }
        const MsgHdrCmn* hdr = reinterpret_cast<const MsgHdrCmn*>(msg);
        if (hdr->mtyp == CM_HEARTBEAT && hdr->submtyp == CM_HEARTBEAT) {
            EchoHeartbeat(msg);
        } else {
            ForEachClient([msg](CApiListener* l) { l->FireEvents(msg); }, alive);
            if (!alive) {
                return -1;
            }
        }
        ++count;
    }
    ForEachClient([](CApiListener* l) { l->OnEndMsgGroup(); }, alive);
    if (!alive) {
        return -1;
    }
    m_bDispatching = false;
    const bool closeNow = lost || m_bCloseAfterDispatch;
    m_bCloseAfterDispatch = false;
    if (closeNow) {
        CloseSocket();
    }
    return lost ? -1 : count;
}

void CApiConnection::EchoHeartbeat(char* msg) {
    // Written only when the socket takes it now (or has failed, which the
    // write reports): a server that sends heartbeats and reads nothing would
    // otherwise hold the dispatch in a blocking write for good. It reads none
    // of the echoes it would get either.
    struct pollfd p = {m_pSocket->GetFd(), POLLOUT, 0};
    if (poll(&p, 1, 0) == 1) {
        m_bEchoesHeld = false;
        WriteBlock(msg);
        return;
    }
    if (!m_bEchoesHeld) {
        m_bEchoesHeld = true;
        QRX_LOG_WARNING(GetDescription()
                        << ": the server takes no more output; its heartbeats are not echoed "
                           "until it does");
    }
}

bool CApiConnection::Loop(int seconds) {
    timeval tv;
    tv.tv_sec = seconds;
    tv.tv_usec = 0;
    return Loop(&tv, nullptr, nullptr);
}

bool CApiConnection::InListenerCall() const {
    return m_bDispatching && m_readerThread.load() == std::this_thread::get_id();
}

bool CApiConnection::Loop(timeval* timeout, UserFunction onIdle, void* data) {
    if (InListenerCall()) {
        // Called from a listener: a loop here could dispatch nothing (the
        // message being handed out must stay intact) and would wait for good.
        return false;
    }
    ThreadNotifier* stop = m_LoopExitRequest.load(std::memory_order_acquire);
    if (stop == nullptr) {
        // Opened before it is published, so Disconnect on another thread sees it whole.
        stop = new ThreadNotifier();
        if (!stop->Init()) {
            fprintf(stderr, "%s: failed to initialize thread notifier\n", kUnitName);
        }
        m_LoopExitRequest.store(stop, std::memory_order_release);
    } else if (!stop->IsOpen() && !stop->Init()) {
        fprintf(stderr, "%s: failed to initialize thread notifier\n", kUnitName);
    }
    {
        KoGuard guard(*m_state_mutex);
        // A stop request left from an earlier loop is not meant for this one.
        stop->Clear();
        m_bStopRequested = false;
        m_bLoopRunning = true;
    }
    AliveMark mark(*this);
    RunLoop(stop, timeout, onIdle, data, mark.m_bAlive);
    if (!mark.m_bAlive) {
        return false;
    }
    bool bStopRequested;
    {
        KoGuard guard(*m_state_mutex);
        m_bLoopRunning = false;
        bStopRequested = m_bStopRequested;
        m_bStopRequested = false;
    }
    if (bStopRequested) {
        // The loop ended (interrupted, say) before it saw the request.
        CloseSocket();
    }
    return false;
}

void CApiConnection::RunLoop(ThreadNotifier* stop, timeval* timeout, UserFunction onIdle,
                             void* data, const bool& alive) {
    if (m_pSocket == nullptr) {
        return;
    }
    ReaderScope reader(m_readerThread, *m_state_mutex, alive);
    if (m_pSocket->nbRLeft > 0) {
        DispatchEvents();
        if (!alive) {
            return;
        }
        if (m_pSocket == nullptr || m_bInterruptDispatch) {
            m_bInterruptDispatch = false;
            return;
        }
    }
    for (;;) {
        if (!SocketOpen()) {
            return;
        }
        struct pollfd fds[2];
        int nfds = 0;
        fds[nfds].fd = m_pSocket->GetFd();
        fds[nfds].events = POLLIN;
        fds[nfds].revents = 0;
        ++nfds;
        int pipeAt = -1;
        if (stop->Fd() >= 0) {
            pipeAt = nfds;
            fds[nfds].fd = stop->Fd();
            fds[nfds].events = POLLIN;
            fds[nfds].revents = 0;
            ++nfds;
        }
        const int waitMs = timeout != nullptr ? TimeoutMs(*timeout) : -1;

        WaitEnter();
        const int rc = poll(fds, static_cast<nfds_t>(nfds), waitMs);
        const int err = errno;
        if (!WaitLeave()) {
            return;
        }

        if (rc < 0) {
            fprintf(stderr, "%s: select() failed, ERROR:[%d] %s\n", kUnitName, err, strerror(err));
            continue;
        }
        if (rc == 0) {
            if (onIdle != nullptr) {
                onIdle(data);
                if (!alive) {
                    return;
                }
            }
            continue;
        }
        if (pipeAt >= 0 && fds[pipeAt].revents != 0) {
            CloseSocket();
            return;
        }
        if (!SocketOpen()) {
            return;
        }
        if (DispatchEvents() < 0 || !alive) {
            return;
        }
        if (m_bInterruptDispatch) {
            m_bInterruptDispatch = false;
            return;
        }
    }
}

// ---------------------------------------------------------------- writing

bool CApiConnection::WriteBlock(void* msg) {
    WaitEnter();
    bool open;
    bool ok = false;
    {
        KoGuard guard(*m_write_block_mutex);
        // A socket still connecting (through a proxy's handshake, say) is not
        // open for messages yet: the logon goes first, once it stands.
        {
            KoGuard state(*m_state_mutex);
            open = SocketOpen() && !m_bConnecting;
        }
        if (open) {
            ok = m_pSocket->WriteMsgBlock(static_cast<MsgHdrCmn*>(msg)) == 0;
        }
    }
    WaitLeave();
    if (!open) {
        PrintNoConnection();
        return false;
    }
    if (!ok) {
        m_login_ok = false;
        CloseSocket();
        return false;
    }
    return true;
}

// ---------------------------------------------------------------- logon

bool CApiConnection::SendLogon(const char* user, const char* password) {
    if (InListenerCall()) {
        // Its reply could not be waited for: nothing is sent.
        m_login_ok = false;
        QRX_LOG_ERROR(" Couldn't get response from server.");
        return false;
    }
    m_login_ok = true;
    LoginMsg msg;
    memset(&msg, 0, sizeof msg);
    msg.hdr.mtyp = CM_LOGIN;
    msg.hdr.submtyp = CM_LOGIN;
    SetMsgLen(reinterpret_cast<MsgHdrOrdSrv*>(&msg), static_cast<int>(sizeof(stLogin)));
    msg.body.protocol_version = ConvertVersionStringtoNum(ApiGetVersion());
    CopyCut(msg.body.username, sizeof msg.body.username, user);
    CopyCut(msg.body.password, sizeof msg.body.password, password);
    if (!WriteBlock(&msg)) {
        m_login_ok = false;
        return false;
    }
    char* reply = nullptr;
    int length = 0;
    return VerifyLoginResponse(reply, length);
}

bool CApiConnection::VerifyLoginResponse(char*& reply, int& length) {
    m_login_ok = false;
    reply = nullptr;
    length = 0;
    if (!SocketOpen()) {
        PrintNoConnection();
        return false;
    }
    if (InListenerCall()) {
        // Reading here would take the messages of the dispatch under way,
        // and overwrite the one in hand.
        QRX_LOG_ERROR(" Couldn't get response from server.");
        return false;
    }
    WaitEnter();
    const int rc = m_pSocket->get_msg_AppORC(reply, true);
    WaitLeave();
    if (rc != 0 || reply == nullptr) {
        reply = nullptr;
        QRX_LOG_ERROR(" Couldn't get response from server.");
        return false;
    }
    const MsgHdrCmn* hdr = reinterpret_cast<const MsgHdrCmn*>(reply);
    length = hdr->msglen;
    if (hdr->mtyp != CM_LOGIN || hdr->submtyp != CM_LOGIN) {
        QRX_LOG_ERROR("Bad Server Authentication Response");
        return false;
    }
    // A short raw reply is read only as far as it goes.
    stLogin login;
    memset(&login, 0, sizeof login);
    const int bodyLen = length - static_cast<int>(sizeof(MsgHdrCmn));
    if (bodyLen > 0) {
        memcpy(
            &login, reply + sizeof(MsgHdrCmn),
            bodyLen < static_cast<int>(sizeof login) ? static_cast<size_t>(bodyLen) : sizeof login);
    }
    if (login.status == LOGIN_OK) {
        m_login_ok = true;
        return true;
    }
    switch (login.status) {
        case LOGIN_PROTOCOL_MISMATCH:
            QRX_LOG_ERROR("App-OM Protocol mismatch error");
            break;
        case LOGIN_BAD_PASSWORD:
            QRX_LOG_ERROR("Bad Password");
            break;
        case LOGIN_BAD_USER:
            QRX_LOG_ERROR("Bad User");
            break;
        default:
            break;
    }
    login.text_value[sizeof login.text_value - 1] = '\0';
    QRX_LOG_ERROR(login.text_value);
    return false;
}
