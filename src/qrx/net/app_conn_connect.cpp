// CAppConn: connecting (TCP with its time-out and optional SOCKS5 proxy,
// Unix-domain) and binding.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "qrx/net/app_conn.h"
#include "qrx/net/fd_wait.h"
#include "qrx/net/sock_utils.h"
#include "qrx/net/socks5_client.h"
#include "qrx/net/tcp_utils.h"
#include "qrx/runtime/environment.h"
#include "qrx/runtime/stdio_logger.h"

namespace {

// Set when the last connect attempt ran out of time.
std::atomic<bool> g_alarm_activated{false};

// The time-out that the log lines name as the default.
constexpr int kDefaultConnTimeout = 3;

// The first IPv4 address of host with port (host order) filled in. On failure
// returns false with the resolver's code in rc.
bool resolve_sockaddr_in(const char* host, unsigned short port, struct sockaddr_in& out, int& rc) {
    struct addrinfo* res = nullptr;
    rc = resolve_ipv4(host, nullptr, &res);
    if (rc != 0 || res == nullptr) {
        return false;
    }
    memcpy(&out, res->ai_addr, sizeof out);
    freeaddrinfo(res);
    out.sin_port = htons(port);
    return true;
}

// A TCP socket for conn, its port first taken from its service when not set;
// -1 when there is no port or no socket. who names the caller in the log line.
int open_tcp_socket(CAppConn& conn, const char* who) {
    if (conn.m_port == 0) {
        if (conn.service[0] != '\0') {
            conn.InitializePortFromService(conn.service);
        } else {
            QRX_LOG_ERROR("CAppConn::" << who << "() (" << conn.m_descr << "): port not set");
        }
        if (conn.m_port == 0) {
            return -1;
        }
    }
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        sock_err(conn.m_descr, "Socket Initialization Error");
    }
    return fd;
}

// Binds the socket of conn to addr and listens on it; false (logged) on failure,
// the caller closing the socket.
bool bind_and_listen(CAppConn& conn, const struct sockaddr* addr, socklen_t len, int nlisten) {
    if (bind(conn.m_fd, addr, len) != 0) {
        sock_err(conn.m_descr, "bind");
        return false;
    }
    conn.EncryptIfNeeded();
    if (listen(conn.m_fd, nlisten) != 0) {
        sock_err(conn.m_descr, "listen");
        return false;
    }
    return true;
}

// Fills a Unix-domain address; the length covers the path without its NUL.
socklen_t make_unix_addr(const char* path, struct sockaddr_un& addr) {
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    const size_t len = strnlen(path, sizeof addr.sun_path - 1);
    memcpy(addr.sun_path, path, len);
    return static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + len);
}

// Removes a stale socket file. A missing file is success; anything there that
// is not a socket is left alone and fails.
bool remLink(const char* path) {
    struct stat st;
    if (lstat(path, &st) == 0 && !S_ISSOCK(st.st_mode)) {
        errno = EEXIST;
        return false;
    }
    while (unlink(path) != 0) {
        if (errno == EINTR) {
            continue;
        }
        return errno == ENOENT;
    }
    return true;
}

}  // namespace

bool CAppConn::was_alarm_activated() {
    return g_alarm_activated.load();
}

void CAppConn::CloseFdOnly() {
    if (m_fd >= 0) {
        const int saved = errno;
        close(m_fd);
        errno = saved;
    }
    m_fd = -1;
}

int CAppConn::Conn() {
    switch (m_socketType) {
        case SOCKET_TCP:
            if (host[0] == '\0') {
                QRX_LOG_ERROR("CAppConn::Conn():(" << m_descr
                                                   << ") No Host specified for connection!!");
                return -1;
            }
            return connI();
        case SOCKET_UNIX:
            return connU();
        default:
            QRX_LOG_ERROR("CAppConn::Conn():(" << m_descr << ") unknown socket type");
            return -1;
    }
}

int CAppConn::Bind(int nlisten) {
    switch (m_socketType) {
        case SOCKET_TCP:
            return bindI(nlisten);
        case SOCKET_UNIX:
            return bindU(nlisten);
        default:
            QRX_LOG_ERROR("CAppConn::Bind():(" << m_descr << ") unknown socket type");
            return -1;
    }
}

int CAppConn::ConnectWithin(const struct sockaddr* addr, unsigned int len,
                            CConnectDeadline& deadline) {
    if (connect(m_fd, addr, len) == 0) {
        return 0;
    }
    if (errno != EINPROGRESS && errno != EINTR) {
        return -1;
    }
    const int ready = deadline.Wait(m_fd, POLLOUT);
    if (ready <= 0) {
        if (ready == 0) {
            errno = ETIMEDOUT;
        }
        return -1;
    }
    int err = 0;
    socklen_t errlen = sizeof err;
    if (getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &err, &errlen) != 0) {
        return -1;
    }
    if (err != 0) {
        errno = err;
        return -1;
    }
    return 0;
}

bool CAppConn::ConnectIWithProxy(const char* proxyHost, const char* proxyPort,
                                 struct sockaddr_in& s_in) {
    CConnectDeadline deadline(csock_signals_enabled() ? quor_conn_timeout() : 0);
    return ConnectIWithProxy(proxyHost, proxyPort, s_in, deadline);
}

bool CAppConn::ConnectIWithProxy(const char* proxyHost, const char* proxyPort,
                                 struct sockaddr_in& s_in, CConnectDeadline& deadline) {
    QRX_LOG_INFO("Connecting to PROXY Host:" << proxyHost << ", Port:" << proxyPort);
    // The resolver takes any decimal number as a port and keeps its low 16
    // bits: a port out of range would lead somewhere else.
    const bool portValid =
        proxyPort[0] != '\0' && IsNumber(proxyPort) && CTcpUtils::PortFromDigits(proxyPort) > 0;
    struct addrinfo* res = nullptr;
    if (!portValid || resolve_ipv4(proxyHost, proxyPort, &res) != 0 || res == nullptr) {
        QRX_LOG_ERROR_AT("Could'nt getaddrinfo from host " << proxyHost << " port " << proxyPort);
        return false;
    }
    const int rc = ConnectWithin(res->ai_addr, res->ai_addrlen, deadline);
    freeaddrinfo(res);
    if (rc != 0) {
        const int saved = errno;
        QRX_LOG_ERROR_AT("Proxy Connect failed.");
        errno = saved;
        return false;
    }
    char dest[INET_ADDRSTRLEN];
    if (inet_ntop(AF_INET, &s_in.sin_addr, dest, sizeof dest) == nullptr) {
        return false;
    }
    return SocksProxy::LoginAndConnect(m_fd, dest, m_port, &deadline);
}

int CAppConn::connI() {
    if (m_fd >= 0) {
        return m_fd;  // open already: a new socket would leak this one
    }
    m_fd = open_tcp_socket(*this, "connI");
    if (m_fd < 0) {
        return -1;
    }
    set_socket_opts();

    int rc = 0;
    if (const char* cluster = quor_cluster_bind()) {
        struct sockaddr_in local;
        if (!resolve_sockaddr_in(cluster, 0, local, rc)) {
            sock_err(m_descr, make_str("getaddrinfo failed for Cluster Bind host: %s  error:%s",
                                       cluster, gai_strerror(rc)));
            CloseFdOnly();
            return -1;
        }
        if (bind(m_fd, reinterpret_cast<struct sockaddr*>(&local), sizeof local) != 0) {
            sock_err(m_descr, make_str("bind failed: %s", cluster));
            CloseFdOnly();
            return -1;
        }
    }

    struct sockaddr_in s_in;
    if (!resolve_sockaddr_in(host, m_port, s_in, rc)) {
        sock_err(m_descr,
                 make_str("getaddrinfo failed for host: %s  error:%s", host, gai_strerror(rc)));
        CloseFdOnly();
        return -1;
    }
    PromoteSockFd(m_fd);

    const int timeout = quor_conn_timeout();
    const char* attempt =
        make_str("host = %s  port = %d timeout interval = %d", host, m_port, timeout);
    // The attempt is bounded by a poll on the non-blocking socket; no signal
    // or timer of the process is touched.
    g_alarm_activated.store(false);
    CConnectDeadline deadline(csock_signals_enabled() ? timeout : 0);
    set_nonblocking(m_fd);

    bool connected;
    const char* proxyHost = quor_socks_proxy_host();
    const char* proxyPort = quor_socks_proxy_port();
    if (proxyHost != nullptr && proxyPort != nullptr) {
        connected = ConnectIWithProxy(proxyHost, proxyPort, s_in, deadline);
    } else {
        QRX_LOG_INFO("Connecting to Host:" << host << ", Port:" << m_port);
        connected =
            ConnectWithin(reinterpret_cast<struct sockaddr*>(&s_in), sizeof s_in, deadline) == 0;
    }
    if (connected) {
        QRX_LOG_INFO("Connected to " << host << " on port " << m_port);
        SetNoDelay();
        EncryptIfNeeded();
        return m_fd;
    }

    int saved = errno;
    if (deadline.Expired()) {
        g_alarm_activated.store(true);
        fprintf(stderr, "alarm_handler(): alarm for connection to %s activated!!\n", attempt);
        QRX_LOG_ERROR("CAppConn::connI():("
                      << m_descr << ") connection timed out to host = " << host << " port = "
                      << m_port << " timeout value = " << kDefaultConnTimeout << " seconds");
        QRX_LOG_ERROR("CAppConn::connI():("
                      << m_descr << ") alarm issued on connection to host = " << host
                      << " port = " << m_port << " for timeout value = " << timeout
                      << " seconds. Default timeout value = " << kDefaultConnTimeout << " seconds");
        saved = ETIMEDOUT;
    }
    errno = saved;
    sock_err(m_descr, attempt);
    CloseFdOnly();
    return -1;
}

int CAppConn::connU() {
    if (m_fd >= 0) {
        return m_fd;  // open already: a new socket would leak this one
    }
    m_fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (m_fd < 0) {
        sock_err(m_descr, "socket");
        return -1;
    }
    PromoteSockFd(m_fd);
    WarnFdRange(m_fd);
    struct sockaddr_un addr;
    const socklen_t len = make_unix_addr(m_IPCPath.c_str(), addr);
    int rc = -1;
    if (m_IPCPath.empty()) {
        errno = ENOENT;  // never an unnamed or abstract address
    } else {
        // A local connect waits while the server's backlog is full, which a
        // server that has stopped accepting keeps full for good: the wait is
        // bounded by the connect time-out, as that of a TCP connect is.
        const int timeout = csock_signals_enabled() ? quor_conn_timeout() : 0;
        struct timeval limit = {timeout > 0 ? timeout : 0, 0};
        if (timeout > 0) {
            setsockopt(m_fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        }
        rc = connect(m_fd, reinterpret_cast<struct sockaddr*>(&addr), len);
        if (timeout > 0) {
            const int saved = rc != 0 && errno == EAGAIN ? ETIMEDOUT : errno;
            limit.tv_sec = 0;
            setsockopt(m_fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
            errno = saved;
        }
    }
    if (rc != 0) {
        sock_err(m_descr, "connect() returned");
        CloseFdOnly();
        return -1;
    }
    SetNoDelay();
    EncryptIfNeeded();
    return m_fd;
}

int CAppConn::bindI(int nlisten) {
    if (m_fd >= 0) {
        return m_fd;  // open already: a new socket would leak this one
    }
    m_fd = open_tcp_socket(*this, "bindI");
    if (m_fd < 0) {
        return -1;
    }
    QRX_LOG_INFO("CAppConn::bindI SetNoDelay function calling");
    SetNoDelay();
    PromoteSockFd(m_fd);
    WarnFdRange(m_fd);

    if (m_bind_host[0] != '\0') {
        memcpy(host, m_bind_host, sizeof host);
    } else if (gethostname(host, sizeof host) != 0) {
        sock_err(m_descr, "Couldn't get the hostname");
        CloseFdOnly();
        return -1;
    }
    host[sizeof host - 1] = '\0';
    struct sockaddr_in s_in;
    int rc = 0;
    if (!resolve_sockaddr_in(host, m_port, s_in, rc)) {
        sock_err(m_descr,
                 make_str("Couldn't get host by name for %s error:%s", host, gai_strerror(rc)));
        CloseFdOnly();
        return -1;
    }

    const int on = 1;
    if (setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        sock_err(m_descr, "setsockopt SO_REUSEADDR returned");
    }
    set_socket_opts();
    if (!bind_and_listen(*this, reinterpret_cast<struct sockaddr*>(&s_in), sizeof s_in, nlisten)) {
        CloseFdOnly();
        return -1;
    }
    return m_fd;
}

int CAppConn::bindU(int nlisten) {
    if (m_fd >= 0) {
        return m_fd;  // open already: a new socket would leak this one
    }
    const char* path = m_IPCPath.c_str();
    if (m_IPCPath.empty()) {
        errno = ENOENT;  // never an unnamed or abstract address
        sock_err(m_descr, "bind");
        return -1;
    }
    if (!remLink(path)) {
        return -1;
    }
    m_fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (m_fd < 0) {
        sock_err(m_descr, "Socket Initialization Error");
        return -1;
    }
    SetNoDelay();
    PromoteSockFd(m_fd);
    WarnFdRange(m_fd);
    struct sockaddr_un addr;
    const socklen_t len = make_unix_addr(path, addr);
    if (!bind_and_listen(*this, reinterpret_cast<struct sockaddr*>(&addr), len, nlisten)) {
        CloseFdOnly();
        return -1;
    }
    return m_fd;
}
