// CAppConn: construction, socket options, adopting, accepting and closing.
#include "qrx/net/app_conn.h"

#include <fcntl.h>
#include <limits.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "qrx/net/sock_utils.h"
#include "qrx/net/tcp_utils.h"
#include "qrx/runtime/environment.h"
#include "qrx/runtime/fixed_text.h"
#include "qrx/runtime/stdio_logger.h"

bool CAppConn::m_promote_flag = false;

namespace {

constexpr int kPromoteFloor = 512;
constexpr int kPromoteCeiling = 1019;

// The longest path a Unix-domain address holds, without its NUL.
constexpr size_t kMaxIpcPath = sizeof(((struct sockaddr_un*)nullptr)->sun_path) - 1;

// Resolves a Unix-domain socket path: a leading "~" becomes $HOME, then the
// path is made absolute. Valid when it names an existing socket, or when
// nothing exists there yet, the given path begins with ".", "/" or "~" and
// its directory exists.
bool resolve_ipc_path(const char* given, std::string& out) {
    if (given == nullptr || *given == '\0') {
        return false;
    }
    std::string path = given;
    if (path[0] == '~') {
        const char* home = getenv("HOME");
        path = std::string(home ? home : "") + path.substr(1);
    }
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) != nullptr) {
        struct stat st;
        if (stat(resolved, &st) != 0 || !S_ISSOCK(st.st_mode)) {
            return false;
        }
        out = resolved;
        return out.size() <= kMaxIpcPath;
    }
    if (errno != ENOENT || (given[0] != '.' && given[0] != '/' && given[0] != '~')) {
        return false;
    }
    const size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (dir.empty()) {
        dir = "/";
    }
    if (name.empty() || realpath(dir.c_str(), resolved) == nullptr) {
        return false;
    }
    struct stat st;
    if (stat(resolved, &st) != 0 || !S_ISDIR(st.st_mode)) {
        return false;
    }
    out = resolved;
    if (out.empty() || out.back() != '/') {
        out += '/';
    }
    out += name;
    return out.size() <= kMaxIpcPath;
}

}  // namespace

CAppConn::CAppConn(const char* descr, int type, const char* serviceOrPath, const char* hos,
                   int port, const char* p_bind_host)
    : m_inStream(nullptr, 0, false), m_outStream(true, 1024, 1024) {
    InitCommon(descr);
    if (p_bind_host != nullptr) {
        CopyCut(m_bind_host, sizeof m_bind_host, p_bind_host);
    }
    if (hos != nullptr) {
        CopyCut(host, sizeof host, hos);
    }
    m_socketType = type;
    switch (type) {
        case SOCKET_TCP:
            if (serviceOrPath != nullptr) {
                CopyCut(service, sizeof service, serviceOrPath);
                InitializePortFromService(service);
            } else if (port > 0 && port <= 0xFFFF) {
                m_port = static_cast<unsigned short>(port);
            }
            break;
        case SOCKET_UNIX:
            InitIpcPath(serviceOrPath, "CAppConn::CAppConn(6): ");
            break;
        case SOCKET_UNSPEC:
            break;
        default:
            QRX_LOG_ERROR("CAppConn::CAppConn(6): "
                          << "Unknown socket type: " << type);
            m_socketType = SOCKET_UNSPEC;
            break;
    }
}

CAppConn::CAppConn(const char* descr, const char* ipcPath)
    : m_inStream(nullptr, 0, false), m_outStream(true, 1024, 1024) {
    InitCommon(descr);
    m_socketType = SOCKET_UNIX;
    InitIpcPath(ipcPath, "CAppConn::CAppConn(2): ");
}

void CAppConn::InitCommon(const char* descr) {
    CopyCut(m_descr, sizeof m_descr, descr != nullptr ? descr : "");
    m_buf_grow_size = quor_fix_large_list() ? LARGE_LIST_GROW_SIZE : DEFAULT_BUF_SIZE;
    const int limit = quor_getenv("QUOR_MAX_RECV_BUFFER", DEFAULT_RECV_BUFFER_LIMIT);
    m_nRecvBufferLimit = limit > DEFAULT_MAX_BUFFER_SIZE ? limit : DEFAULT_MAX_BUFFER_SIZE;
    pRdata = static_cast<char*>(malloc(DEFAULT_BUF_SIZE));
    maxRlen = pRdata ? DEFAULT_BUF_SIZE : 0;
    pWdata = static_cast<char*>(malloc(DEFAULT_BUF_SIZE));
    maxWlen = pWdata ? DEFAULT_BUF_SIZE : 0;
}

void CAppConn::InitIpcPath(const char* path, const char* where) {
    std::string resolved;
    if (resolve_ipc_path(path, resolved)) {
        m_IPCPath.assign(resolved.c_str(), static_cast<int>(resolved.size()));
    } else {
        QRX_LOG_ERROR(where << (path ? path : "NULL") << " is not a vaild IPC Socket");
    }
}

CAppConn::~CAppConn() {
    Close(false);
    m_Allocator.DeallocateAll();
    free(m_pstreambuf);
    m_pstreambuf = nullptr;
}

void CAppConn::setDesc(const char* descr) {
    CopyCut(m_descr, sizeof m_descr, descr != nullptr ? descr : "");
}

void CAppConn::RegisterCloseCallBack(OnCloseCallBack cb, void* data) {
    if (cb == nullptr) {
        return;
    }
    m_pCloseCallBack = cb;
    m_pCloseCallbackData = data;
}

void CAppConn::UnRegisterCloseCallBack() {
    m_pCloseCallBack = nullptr;
    m_pCloseCallbackData = nullptr;
}

void CAppConn::InitializePortFromService(const char* svc) {
    if (svc == nullptr) {
        svc = "";
    }
    long port = -1;
    if (IsNumber(svc)) {
        port = CTcpUtils::PortFromDigits(svc);
    } else {
        port = CTcpUtils::GetServicePort(svc, true);
    }
    if (port < 0) {
        QRX_LOG_ERROR("CAppConn::InitializePortFromService(): couldn't find service '" << svc
                                                                                       << "'");
        m_port = 0;
        return;
    }
    m_port = static_cast<unsigned short>(port);
    if (m_port != 0) {
        ApplyQuorTrueBindBugFix();
    }
}

void CAppConn::ApplyQuorTrueBindBugFix() {
    if (!quor_true_bind()) {
        m_port = static_cast<unsigned short>((m_port >> 8) | (m_port << 8));
    }
}

void CAppConn::WarnFdRange(int fd) const {
    if (fd >= FD_RANGE) {
        QRX_LOG_WARNING("(" << m_descr << ") fd (" << fd << ") is greater than FD_SETSIZE ("
                            << FD_RANGE << ")");
    }
}

void CAppConn::PromoteSockFd(int& fd) {
    static std::mutex lock;
    static int cursor = kPromoteFloor;
    if (!m_promote_flag || fd < 0 || fd > kPromoteFloor) {
        return;
    }
    int start;
    {
        std::lock_guard<std::mutex> guard(lock);
        start = cursor;
        cursor = cursor >= kPromoteCeiling ? kPromoteFloor : cursor + 1;
    }
    // F_DUPFD takes the lowest free number at or above start in one step.
    const int moved = fcntl(fd, F_DUPFD, start);
    if (moved < 0) {
        return;
    }
    if (moved > kPromoteCeiling) {
        close(moved);
        return;
    }
    close(fd);
    fd = moved;
}

int CAppConn::Read(char* buf, int len) {
    return static_cast<int>(read(m_fd, buf, static_cast<size_t>(len)));
}

int CAppConn::Write(const char* buf, int len) {
    ssize_t n = send(m_fd, buf, static_cast<size_t>(len), MSG_NOSIGNAL);
    if (n < 0 && errno == ENOTSOCK) {
        n = write(m_fd, buf, static_cast<size_t>(len));
    }
    return static_cast<int>(n);
}

ssize_t CAppConn::WriteVec(const struct iovec* iov, int cnt) {
    struct msghdr msg = {};
    msg.msg_iov = const_cast<struct iovec*>(iov);
    msg.msg_iovlen = static_cast<size_t>(cnt);
    ssize_t n = sendmsg(m_fd, &msg, MSG_NOSIGNAL);
    if (n < 0 && errno == ENOTSOCK) {
        n = writev(m_fd, iov, cnt);
    }
    return n;
}

void CAppConn::SetNoDelay() {
    if (m_fd >= 0) {
        set_nonblocking(m_fd);
        const int size = quor_tcp_buffer_size();
        int current = 0;
        socklen_t optlen = sizeof current;
        if (getsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &current, &optlen) != 0) {
            QRX_LOG_ERROR("For fd: " << m_fd << " " << m_descr << ": get SO_RCVBUF failed");
        }
        if (size <= 0 || size == current) {
            QRX_LOG_DEBUG("For fd: " << m_fd << " " << m_descr
                                     << ": leaving SO_SNDBUF as default value " << current);
        } else {
            if (setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) != 0) {
                QRX_LOG_ERROR("For fd: " << m_fd << " " << m_descr << ": SO_RCVBUF failed");
            } else {
                QRX_LOG_DEBUG("For fd: " << m_fd << " " << m_descr
                                         << ": SO_RCVBUF successfully set to " << size << " from "
                                         << current);
            }
            if (setsockopt(m_fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size) != 0) {
                QRX_LOG_ERROR("For fd: " << m_fd << " " << m_descr << ": SO_SNDBUF failed");
            } else {
                QRX_LOG_DEBUG("For fd: " << m_fd << " " << m_descr
                                         << ": SO_SNDBUF successfully set to " << size << " from "
                                         << current);
            }
        }
    }
    if (quor_disable_nagle()) {
        const int on = 1;
        const int status = setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        QRX_LOG_INFO("Disabling nagle algorithm for fd: " << m_fd << " " << m_descr
                                                          << " (status = " << status << ")");
    }
}

void CAppConn::set_socket_opts() {
    struct linger lin;
    lin.l_onoff = 0;
    lin.l_linger = 0;
    if (setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &lin, sizeof lin) != 0) {
        QRX_LOG_WARNING("setsockopt SO_LINGER");
    }
    const int on = 1;
    if (setsockopt(m_fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0) {
        QRX_LOG_WARNING("setsockopt SO_KEEPALIVE");
    }
}

void CAppConn::setSocketKeepAliveOn(int interval) {
    const int on = 1;
    if (setsockopt(m_fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0) {
        sock_err(m_descr, "Error setting in TCP socket keepalive ON");
    }
    if (interval > 0 &&
        setsockopt(m_fd, IPPROTO_TCP, TCP_KEEPIDLE, &interval, sizeof interval) != 0) {
        sock_err(m_descr, "Error in setting TCP keepalive interval");
    }
    QRX_LOG_INFO("CAppConn::setSocketKeepAliveOn(): Set keepalive ON on this conn. Interval = ["
                 << (interval > 0 ? interval : 7200) << "]");
}

void CAppConn::setSocketKeepAliveOff() {
    const int off = 0;
    if (setsockopt(m_fd, SOL_SOCKET, SO_KEEPALIVE, &off, sizeof off) != 0) {
        sock_err(m_descr, "Error setting TCP socket keepalive OFF");
    }
}

void CAppConn::SetFd(int fd) {
    if (fd == m_fd) {
        return;
    }
    // The socket adopted before, and what it left in the buffers, go first:
    // kept, the descriptor would leak and its bytes would run into the new stream.
    if (m_fd >= 0) {
        Close(false);
    }
    m_fd = fd;
    SetNoDelay();
    char peer[QRX_HOST_NAME_LEN];
    fd_2_Host(fd, peer);
    WarnFdRange(fd);
}

int CAppConn::Accept() {
    int fd;
    do {
        fd = accept(m_fd, nullptr, nullptr);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            sock_err(m_descr, "accept() returned");
        }
        return fd;
    }
    PromoteSockFd(fd);
    WarnFdRange(fd);
    return fd;
}

CAppConn* CAppConn::Accept(const char* descr) {
    const int fd = Accept();
    if (fd < 0) {
        return nullptr;
    }
    CAppConn* conn = new (std::nothrow)
        CAppConn(descr ? descr : "AppConn", SOCKET_UNSPEC, nullptr, nullptr, 0, nullptr);
    if (conn == nullptr) {
        close(fd);
        return nullptr;
    }
    conn->SetFd(fd);
    return conn;
}

void CAppConn::Close(bool bShutdown) {
    if (m_fd >= 0) {
        if (bShutdown) {
            shutdown(m_fd, SHUT_RDWR);
        }
        close(m_fd);
        m_fd = -1;
        m_wb_count = 0;
        m_rnb_count = 0;
        if (m_pCloseCallBack != nullptr) {
            m_pCloseCallBack(this, m_pCloseCallbackData);
        }
    }
    free(pWdata);
    pWdata = nullptr;
    maxWlen = 0;
    nbWLeft = 0;
    free(pRdata);
    pRdata = nullptr;
    maxRlen = 0;
    nbRLeft = 0;
    nbRUsed = 0;
    // The stream-form message memory stays until destruction: a message being
    // handled when a call-back closes the connection must stay readable.
}
