// CApiConnection: the client side of a connection of the API to a platform
// server. It owns one CAppConn, keeps a set of listeners, reads whole messages
// without blocking and hands each to every listener, echoes the server's
// heartbeats, runs a blocking event loop that another thread or a callback can
// stop through a pipe, and serialises all writes with a mutex. It also carries
// the generic synchronous logon (SendLogon with VerifyLoginResponse).
//
// Threads: Loop, DispatchEvents and CheckSocket run on the caller's thread and
// call the listeners on it; listener registration belongs to that thread too.
// WriteBlock and Disconnect may be called from any thread. A socket that fails
// while another thread reads it is only shut down, and the reading thread
// closes it; while messages are being handed out, closing waits until the
// batch is done, so that the message buffer stays valid for every listener.
// Closing shuts the socket down before it takes the write mutex, so a write
// blocked on a peer that does not read fails at once and never holds the
// closing thread up.
//
// One DispatchEvents reads the socket at most once, and one read takes at most
// CAppConn::MAX_READ_PER_CALL bytes: a fast peer cannot keep a call going, and
// what it has not read yet stays in the socket, where a select or poll sees it.
// Nor does a peer that stops reading: heartbeats are echoed only when the
// socket takes the echo at once.
//
// A listener's callback (or Loop's idle function) may destroy the connection:
// the DispatchEvents, Loop or close call-back under way then returns at once
// (DispatchEvents with -1) without touching it, and hands out nothing more;
// the message in hand stays valid until that call returns.
#pragma once

#include <sys/select.h>
#include <sys/time.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>

#include "qrx/client/api_listener.h"

class CAppConn;
class KoMutexLock;
class ThreadNotifier;

// Called by Loop with its data pointer when a wait times out.
typedef void (*UserFunction)(void*);

// Hooks around the connection's blocking waits, for a host that holds a lock
// of its own while it calls into the connection and must give it up while the
// thread sleeps (an interpreter lock, for one). ApiWaitEnter is called on the
// waiting thread just before it may block: the wait of Loop, the TCP connect,
// a blocking write (before its mutex is taken) and the wait for a logon reply.
// ApiWaitLeave is called on the same thread right after, always paired with
// the enter call. Listener callbacks, the close call-backs and the idle
// function never run between the two. ApiWaitLeave returns false when the
// host has an interruption pending: Loop then returns at once, leaving the
// connection open and usable; elsewhere the result is ignored. The hooks run
// on whichever thread waits, so a host whose other threads also write must
// cope with being called on a thread that does not hold its lock.
typedef void (*ApiWaitEnter)(void* data);
typedef bool (*ApiWaitLeave)(void* data);

class CApiConnection {
public:
    CApiConnection();
    virtual ~CApiConnection();

    CApiConnection(const CApiConnection&) = delete;
    CApiConnection& operator=(const CApiConnection&) = delete;

    // Opens the connection (stream form when isStream) and, when
    // m_LoginAsSoonAsConnect, calls OnConnect. True at once when already
    // connected; false when the connect fails, another thread's connect is
    // under way or the open connection is being closed.
    virtual bool Connect(const char* host, int port, bool isStream);
    // The port comes from the service name (see CAppConn::InitializePortFromService).
    virtual bool Connect(const char* host, const char* service, bool isStream);
    // A Unix-domain socket at ipcPath.
    virtual bool ConnectU(const char* ipcPath, bool isStream);
    // Closes the connection: a running Loop is stopped through its pipe and
    // closes the socket on its own thread (called from another thread, the
    // socket is shut down at once too, ending any write blocked on the peer);
    // with no Loop running the socket is closed here (after the batch being
    // dispatched, from a listener's callback). Safe from any thread and from
    // callbacks.
    virtual void Disconnect();
    // Reopens a closed socket and logs on again when m_LoginAsSoonAsConnect;
    // false while another thread's connect is under way or the open
    // connection is being closed.
    virtual bool Reconnect();
    // A null listener is ignored.
    virtual void AddClient(CApiListener* listener);
    virtual void RemoveClient(CApiListener* listener);
    // The socket's descriptor, -1 without a socket object.
    virtual int GetFd();
    // For callers running their own select: dispatches when the socket is in
    // readSet or a complete message waits (HasPendingMessages). False when
    // there is no open socket or the connection was lost.
    virtual bool CheckSocket(fd_set& readSet);
    // Hands the complete messages that have arrived to the listeners without
    // waiting: those buffered and those of one read of the socket, which takes
    // a bounded share of what waits there (see above); a later call handles
    // the rest. Heartbeats are echoed and counted but reach no listener.
    // Returns the number of messages handled, or -1 when the connection is
    // lost (the socket is then closed).
    virtual int DispatchEvents();
    // Waits for messages and dispatches them until a stop request, the loss of
    // the connection or an interruption reported by the wait hook. timeout
    // bounds each wait (null: no limit); onIdle(data) is called when a wait
    // times out. A stop request that arrives while the loop ends for another
    // reason still closes the socket. Always returns false; at once when
    // called from a listener during a dispatch.
    virtual bool Loop(timeval* timeout, UserFunction onIdle, void* data);
    virtual bool Loop(int seconds);
    virtual void StopCheck();
    // The synchronous logon: writes a CM_LOGIN message and waits for the reply.
    // Refused (false, nothing sent) from a listener during a dispatch, whose
    // messages the wait would take.
    virtual bool SendLogon(const char* user, const char* password);
    // Writes a complete message (beginning with the common header) whole,
    // under the write mutex. On failure the socket is closed and false returned.
    // While a connect is under way nothing is written and false is returned.
    virtual bool WriteBlock(void* msg);
    // The name the TCP layer uses for the connection in its log lines.
    virtual const char* GetDescription();
    virtual bool OnConnect() = 0;
    virtual void OnConnectionClose();
    virtual CAppConn* New_ConnObj(const char* host, int port);
    virtual CAppConn* New_ConnObj(const char* host, const char* service);
    virtual CAppConn* New_ConnObj(const char* ipcPath);

    CAppConn* GetSocket() { return m_pSocket; }
    // Destroys the current socket object, if any, and takes the given one.
    void SetSocket(CAppConn* socket);
    void SetEncryptIt(bool encrypt) { m_bEncryptIt = encrypt; }
    bool VerifyLoginResponse(char*& reply, int& length);
    // Nothing to initialise on this platform.
    bool InitSocketLibs(const char* name);
    // Registered with the socket: tells the connection, then every listener.
    static void SocketCloseCallback(CAppConn* socket, void* data);

    // Asks the DispatchEvents running on this thread to stop after the message
    // being handed out, leaving the rest unread for the next call, and a running
    // Loop to return after it, with the connection open. For a listener whose
    // host must stop the flow of callbacks (one of them failed).
    void InterruptDispatch() { m_bInterruptDispatch = true; }
    // See ApiWaitEnter; null pointers remove the hooks.
    void SetWaitHooks(ApiWaitEnter onEnter, ApiWaitLeave onLeave, void* data);
    bool IsLoginOk() const { return m_login_ok; }
    // True when a complete message waits in the receive buffer (left by a
    // dispatch that was interrupted): a caller running its own select should
    // dispatch before it waits again, since the socket may not be readable.
    bool HasPendingMessages() const;
    void SetLoginAsSoonAsConnect(bool login) { m_LoginAsSoonAsConnect = login; }

protected:
    int m_nFileDescriptor;
    // Changed only through AddClient and RemoveClient, which count the changes.
    std::set<CApiListener*> m_setClients;
    volatile bool m_bChecking;
    std::atomic<bool> m_login_ok;
    bool m_LoginAsSoonAsConnect;
    bool m_bEncryptIt;
    CAppConn* m_pSocket;
    // Created by the first Loop and read by Disconnect on any thread: published atomically.
    std::atomic<ThreadNotifier*> m_LoopExitRequest;
    KoMutexLock* m_write_block_mutex;
    // Held briefly, never across a blocking call or a callback: wherever the
    // socket object is replaced or its descriptor closed (inside the write
    // mutex), by a shutdown from another thread (alone, so that it never waits
    // for a blocked writer), and over the loop's running state below.
    KoMutexLock* m_state_mutex;
    bool m_bLoopRunning = false;
    bool m_bStopRequested = false;  // by Disconnect, for the running loop

private:
    bool SocketOpen() const;
    // Steps 2 to 8 of the three connect forms, with the socket object made by
    // makeSocket when a new one is needed.
    template <typename MakeSocket>
    bool ConnectWith(bool isStream, MakeSocket makeSocket);
    // Closes the socket now, after the batch being dispatched on this thread,
    // or (when another thread is reading it) shuts it down for that thread to
    // close.
    void CloseSocket();
    // Claims the connection for one connect at a time (false, with a line on
    // standard error, while another is under way); writes are held off until
    // FinishConnect, so that nothing goes out on a socket that does not stand yet.
    bool BeginConnect();
    // Ends it; a close asked for meanwhile by another thread (see CloseSocket) is made now,
    // and then the result is false.
    bool FinishConnect();
    // True, with a line on standard error, when the open socket is to be
    // closed (asked of a running loop, or after the dispatch under way on
    // this thread): it cannot pass for a connection that stands.
    bool ClosePending();
    // Shuts the open socket down (both ways), from any thread.
    void ShutdownSocket();
    // Echoes a heartbeat when the socket takes it without waiting.
    void EchoHeartbeat(char* msg);
    // The wait-and-dispatch passes of Loop; alive turns false when a
    // callback destroyed the connection.
    void RunLoop(ThreadNotifier* stop, timeval* timeout, UserFunction onIdle, void* data,
                 const bool& alive);
    void WaitEnter();
    bool WaitLeave();
    // Calls fn(listener) for every listener in ascending pointer order; a
    // listener added or removed by a callback is seen or skipped accordingly.
    // Stops when alive turns false (a callback destroyed the connection).
    template <typename Fn>
    void ForEachClient(Fn fn, const bool& alive);
    void PrintNoConnection() const;
    // True on the thread of a dispatch under way (inside a listener's call).
    bool InListenerCall() const;

    ApiWaitEnter m_pWaitEnter = nullptr;
    ApiWaitLeave m_pWaitLeave = nullptr;
    void* m_pWaitData = nullptr;
    // The thread inside Loop or DispatchEvents, if any.
    std::atomic<std::thread::id> m_readerThread;
    bool m_bDispatching = false;
    // True while a connect or reconnect runs; set and read under m_state_mutex.
    bool m_bConnecting = false;
    // A close asked for while another thread connected, left to that thread.
    bool m_bCloseAfterConnect = false;
    bool m_bCloseAfterDispatch = false;
    bool m_bInterruptDispatch = false;
    // Heartbeats are going unechoed (logged once until an echo goes out again).
    bool m_bEchoesHeld = false;
    // The innermost call under way that runs callbacks (see AliveMark).
    struct AliveMark;
    AliveMark* m_pAlive = nullptr;
    std::mutex m_aliveLock;  // guards m_pAlive and the marks' links
    // Bumped by every change of m_setClients, so that ForEachClient can tell
    // whether a callback changed the set.
    unsigned long m_nClientChanges = 0;
};
