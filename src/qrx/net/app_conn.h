// CAppConn: one connection, TCP/IPv4 or Unix-domain, with its receive and send
// buffers and the two header-aware streams that turn messages into bytes and
// back. Connecting, binding, accepting and the socket options live in
// app_conn.cpp and app_conn_connect.cpp; the buffered non-blocking reading and
// writing of messages in app_conn_io.cpp.
//
// Reads and writes return 0 for success and 1 for failure; Conn, Bind and
// Accept return a descriptor or -1. Nothing throws. A connection is used by
// one thread at a time.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>

#include "qrx/runtime/growing_str.h"
#include "qrx/wire/msg_hdr_stream.h"

class CAppConn;
class CConnectDeadline;
struct iovec;
struct sockaddr;
struct sockaddr_in;

// Called with the connection and the registered data when its socket closes.
typedef void (*OnCloseCallBack)(CAppConn*, void*);

class CAppConn {
public:
    enum enSocketType { SOCKET_UNSPEC = -1, SOCKET_UNIX = 0, SOCKET_TCP = 1 };

    static constexpr int DEFAULT_BUF_SIZE = 16384;      // initial buffers, default growth
    static constexpr int LARGE_LIST_GROW_SIZE = 81920;  // growth with QUOR_FIX_LARGE_LIST
    static constexpr int DEFAULT_MAX_BUFFER_SIZE = 65536;
    // Most bytes the receive buffer may grow to with QUOR_FIX_LARGE_LIST: 64 MiB
    // unless QUOR_MAX_RECV_BUFFER (bytes, read for each connection) says
    // otherwise; never below DEFAULT_MAX_BUFFER_SIZE, which holds the largest
    // message. Input that needs more (a text frame announcing a larger
    // payload) closes the connection.
    static constexpr int DEFAULT_RECV_BUFFER_LIMIT = 64 * 1024 * 1024;
    // Most bytes one ReadNoBlk takes from the socket. A caller that handles
    // what one read brought and then waits again (select/poll) does a bounded
    // amount of work per wake-up; the rest stays in the socket, where the
    // next wait sees it.
    static constexpr int MAX_READ_PER_CALL = 65536;
    static constexpr int MIN_MSG_LEN = 8;  // the common header
    static constexpr int HOST_LEN = 256;
    static constexpr int DESCR_LEN = 1024;
    static constexpr int SERVICE_LEN = 100;
    static constexpr int FD_RANGE = 1024;  // descriptors select() can watch
    // Most messages WriteMsgsNoblok hands to the kernel in one call (below IOV_MAX).
    static constexpr int WRITE_BATCH_MSGS = 32;

    // type 1: TCP to hos with the port from serviceOrPath (a number or a
    // service name, see InitializePortFromService) or, without it, port as
    // given; type 0: Unix-domain socket at the path serviceOrPath; type -1: an
    // accepted socket, adopted later with SetFd. p_bind_host names the address
    // a listening TCP socket binds to (none: this machine's host name).
    CAppConn(const char* descr, int type, const char* serviceOrPath, const char* hos, int port,
             const char* p_bind_host);
    // A Unix-domain connection at ipcPath.
    CAppConn(const char* descr, const char* ipcPath);
    virtual ~CAppConn();

    CAppConn(const CAppConn&) = delete;
    CAppConn& operator=(const CAppConn&) = delete;

    // ---- overridable operations ----
    // Accepts one connection on the listening socket: its descriptor, negative
    // on failure.
    virtual int Accept();
    // Accepts one connection into a new connection object of type -1 (owned by
    // the caller) named descr ("AppConn" when null); null on failure.
    virtual CAppConn* Accept(const char* descr);
    // Hook run once a socket is connected or bound; nothing to do here.
    virtual void EncryptIfNeeded() {}
    // Plain reads and writes of the descriptor. Writes never raise SIGPIPE.
    virtual int Read(char* buf, int len);
    virtual int Write(const char* buf, int len);
    // The gathering form of Write, for several buffers in one call. A derived
    // connection that changes how bytes are written overrides both.
    virtual ssize_t WriteVec(const struct iovec* iov, int cnt);
    // Adopts an open socket (made non-blocking, options applied); one that is
    // open still is closed first (Close(false)).
    virtual void SetFd(int fd);
    // Non-blocking mode, buffer sizes (QUOR_TCP_BUFFER_SIZE) and Nagle
    // (QUOR_DISABLE_NAGLE) for the current descriptor.
    virtual void SetNoDelay();
    // Closes the socket (shut down first when bShutdown) and calls the close
    // call-back if a socket was open; frees the send and receive buffers in
    // any case.
    virtual void Close(bool bShutdown);
    // True when the last failed call failed with EAGAIN or EINTR; print_err
    // counts and reports such events.
    virtual bool would_block(bool print_err);

    // ---- client side; on an open connection Conn and Bind (and the forms
    // below) return its descriptor and open nothing ----
    int Conn();
    int connI();
    int connU();
    bool ConnectIWithProxy(const char* proxyHost, const char* proxyPort, struct sockaddr_in& s_in);

    // ---- server side ----
    int Bind(int nlisten);
    int bindI(int nlisten);
    int bindU(int nlisten);

    // ---- settings ----
    // A null cb is ignored: an earlier registration stays.
    void RegisterCloseCallBack(OnCloseCallBack cb, void* data);
    void UnRegisterCloseCallBack();
    void SetMaxBufferSize(int size) { m_nMaxBufferSize = size; }
    int GetMaxBufferSize() const { return m_nMaxBufferSize; }
    int GetRecvBufferLimit() const { return m_nRecvBufferLimit; }
    void setDesc(const char* descr);
    void setSocketKeepAliveOn(int interval);
    void setSocketKeepAliveOff();
    // The port from a service: a text of digits is the number itself, a name
    // comes from "KO_PORT_<name>" or the services database. The bytes of a
    // port so found are exchanged unless QUOR_TRUE_BIND is "YES".
    void InitializePortFromService(const char* service);
    void ApplyQuorTrueBindBugFix();

    static void SetPromoteFlag() { m_promote_flag = true; }
    // Moves a descriptor of 512 or less above 512 (when promotion is on).
    static void PromoteSockFd(int& fd);
    // Whether the last connect attempt ended by its time-out.
    static bool was_alarm_activated();

    int GetFd() const { return m_fd; }
    const char* GetDescr() const { return m_descr; }
    const char* GetIPCPath() const { return m_IPCPath.c_str(); }

    // ---- reading (app_conn_io.cpp) ----
    // Reads what the socket has, up to MAX_READ_PER_CALL bytes, behind the
    // unconsumed bytes (only when they start at the beginning of the receive
    // buffer). 1 when the connection is unusable (peer closed, socket error,
    // no memory, or, with QUOR_FIX_LARGE_LIST, unconsumed input filling the
    // buffer at its limit), else 0. Bytes read before a close or an error are
    // kept and 0 returned: the next call reports the close.
    int ReadNoBlk(int& bytes_rcvd);
    // True when a complete message (or a malformed length) is at the read
    // position; mlen receives its length.
    bool IsReadDataAvailable(int& mlen);
    // One message, in the connection's form: pret receives it, or null when
    // none is complete. 1 on failure (the owner closes the connection).
    int ReadMsgNoblok(char*& pret, char* puser);
    int ReadCmsgNoblok(char*& pret) { return ReadMsgNoblok(pret, nullptr); }
    // All unconsumed bytes at once, without framing.
    int ReadRawMsgNoblok(char*& pret, int* pdat_len);
    // One text-framed message: STX, a digit D, D digits of length L, L bytes, ETX.
    int ReadStampMSG(char*& pret, int& rlen);
    // Waits for one message: 15-second periods without limit when isAck, no
    // wait otherwise. 1 on failure.
    int get_msg_AppORC(char*& pdat, bool isAck);

    // ---- writing (app_conn_io.cpp) ----
    // Messages and buffers of 65,536 bytes or more are refused by every write.
    int WriteMsgNoblok(MsgHdrCmn* p);
    int WriteMsgBlock(MsgHdrCmn* p);
    // Writes all or keeps the rest for WriteRemainsNoblok; refuses while
    // earlier output waits.
    int WriteBufNoblok(const char* buf, int len);
    // Writes, or appends behind the waiting output.
    int WriteBufNoblok1(const char* buf, int len);
    // Writes what waits; 0 also when the socket would block again.
    int WriteRemainsNoblok();
    // Writes the messages in order as WriteMsgNoblok would, one after another,
    // but hands up to WRITE_BATCH_MSGS of them to the kernel in one call. Stops
    // once the socket would block: the unwritten rest of the message it stopped
    // in (possibly all of it) is kept for WriteRemainsNoblok, and that message
    // counts as written. nWritten receives the messages written or kept, in
    // order from the first. 1 when message nWritten could not be written (a
    // null or unencodable message, a socket error: errno tells); a message of
    // which part went out before a socket error keeps its rest and counts as
    // written, so the byte stream is never torn. Refused, like every
    // non-blocking write, while earlier output waits.
    int WriteMsgsNoblok(MsgHdrCmn* const* ppMsgs, int nMsgs, int& nWritten);
    // Writes all, waiting for the socket in 8-second periods without limit.
    int WriteBlock(const char* buf, int len);

    // ---- state; the owners read these and set m_is_stream ----
    int m_is_stream = 0;  // non-zero: stream form (callers set 5); 0: raw form
    char* pRdata = nullptr;
    int nbRLeft = 0;
    int nbRUsed = 0;
    int m_fd = -1;
    OnCloseCallBack m_pCloseCallBack = nullptr;
    void* m_pCloseCallbackData = nullptr;
    char host[HOST_LEN] = {};
    unsigned short m_port = 0;
    int m_wb_count = 0;
    char m_descr[DESCR_LEN] = {};
    char* pWdata = nullptr;
    int nbWLeft = 0;
    int maxRlen = 0;
    int maxWlen = 0;
    int m_socketType = SOCKET_UNSPEC;
    char service[SERVICE_LEN] = {};
    GrowingStr m_IPCPath;
    char m_bind_host[HOST_LEN] = {};
    char* m_pstreambuf = nullptr;
    int m_buf_grow_size = DEFAULT_BUF_SIZE;
    int m_rnb_count = 0;
    CMsgHdrStream m_inStream;  // attached to each received message in turn
    CMsgHdrStream m_outStream;
    CMsgMemAllocator m_Allocator;
    int m_nMaxBufferSize = DEFAULT_MAX_BUFFER_SIZE;
    // The receive buffer's limit when it grows for QUOR_FIX_LARGE_LIST.
    int m_nRecvBufferLimit = DEFAULT_RECV_BUFFER_LIMIT;

private:
    void InitCommon(const char* descr);
    void InitIpcPath(const char* path, const char* where);
    void WarnFdRange(int fd) const;
    // SO_LINGER off and SO_KEEPALIVE on.
    void set_socket_opts();
    // Connects m_fd to addr within deadline; 0 on success, -1 with errno set.
    int ConnectWithin(const struct sockaddr* addr, unsigned int len, CConnectDeadline& deadline);
    bool ConnectIWithProxy(const char* proxyHost, const char* proxyPort, struct sockaddr_in& s_in,
                           CConnectDeadline& deadline);
    void CloseFdOnly();
    bool GrowSendBuffer(int capacity, const char* who);
    // Keeps the unwritten rest of a message behind the output already waiting,
    // for WriteRemainsNoblok. The send buffer grows past m_nMaxBufferSize only
    // when bStarted (part of the message is out already). who names the write
    // in the log lines; bReportGrowth also reports a growth on standard error.
    int KeepUnwritten(const char* rest, int len, bool bStarted, const char* who,
                      bool bReportGrowth);
    // Writes buf from done on until it is all out (0), the socket would block (1) or fails
    // (-1, errno set); done advances by what went out.
    int WriteUntilBlocked(const char* buf, int len, int& done);
    // The stream of a batch slot, made when first needed; null without memory.
    CMsgHdrStream* BatchStream(int slot);
    // The bytes of message p as they go out: its stream form, made in stream,
    // or the message itself in the raw form (stream unused, may be null).
    // False when p is null or cannot be encoded.
    bool FrameMsg(MsgHdrCmn* p, CMsgHdrStream* stream, const char*& buf, int& len);
    void CompactReceiveBuffer();
    // The framing test of the message at the read position, in the
    // connection's form: its length when it is all there, 0 while bytes are
    // missing, -1 when its length is below the common header (malformed).
    // field receives the length field, 0 when too few bytes hold it.
    int PendingMsgLen(int& field) const;

    // Stream forms of the second and later messages of a batched write (the
    // first uses m_outStream), made when first needed and kept for reuse.
    std::unique_ptr<CMsgHdrStream> m_batchStreams[WRITE_BATCH_MSGS - 1];

    static bool m_promote_flag;
};

// Tries ReadCmsgNoblok once, then waits as the member does. 1 on failure.
int get_msg_AppORC(CAppConn* pcon, char*& pdat, bool isAck);
