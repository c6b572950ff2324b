// CSymServer: construction, the listening sockets, the epoll loop and the timers.
#include "qrx/symsrv/sym_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "qrx/net/sock_utils.h"
#include "qrx/runtime/stdio_logger.h"

namespace {

constexpr int kMaxEvents = 256;
constexpr int kClientMaxSegment = 16384;

}  // namespace

CSymServer::CSymServer(const CSymSrvConfig& cfg)
    : m_cfg(cfg), m_recStream(nullptr, 0, false), m_encStream(true, 4096, 4096) {
    int n = 0;
    for (const auto& fc : m_cfg.m_vecFeeds) {
        m_vecFeeds.push_back(std::make_unique<CFeedLink>(fc, n++));
    }
    m_strKey.reserve(256);
}

CSymServer::~CSymServer() {
    for (CClientSession* c : m_vecClients) {
        close(c->m_nFd);
        delete c;
    }
    for (CMetricsConn* m : m_vecMetricsConns) {
        close(m->m_nFd);
        delete m;
    }
    for (auto& f : m_vecFeeds) {
        if (f->m_nFd >= 0) {
            close(f->m_nFd);
        }
    }
    for (auto* p : {m_pListenTcp.get(), m_pListenUnix.get(), m_pListenMetrics.get()}) {
        if (p != nullptr) {
            close(p->m_nFd);
        }
    }
    if (!m_cfg.m_strUnixPath.empty() && m_pListenUnix) {
        unlink(m_cfg.m_strUnixPath.c_str());
    }
    if (m_nEpoll >= 0) {
        close(m_nEpoll);
    }
}

double CSymServer::Now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void CSymServer::SetEvents(CPollEntry* p, uint32_t nEvents) {
    if (p->m_nEvents == nEvents) {
        return;
    }
    epoll_event ev;
    memset(&ev, 0, sizeof ev);
    ev.events = nEvents;
    ev.data.ptr = p;
    const int op =
        p->m_nEvents == 0 ? EPOLL_CTL_ADD : (nEvents == 0 ? EPOLL_CTL_DEL : EPOLL_CTL_MOD);
    if (epoll_ctl(m_nEpoll, op, p->m_nFd, &ev) != 0) {
        QRX_LOG_ERROR("qrx-symsrv: epoll_ctl failed for descriptor " << p->m_nFd << ": "
                                                                     << strerror(errno));
    }
    p->m_nEvents = nEvents;
}

int CSymServer::Listen(bool bUnix, int nPort) {
    const int fd = socket(bUnix ? AF_UNIX : AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    int rc;
    if (bUnix) {
        sockaddr_un sa;
        memset(&sa, 0, sizeof sa);
        sa.sun_family = AF_UNIX;
        if (m_cfg.m_strUnixPath.size() >= sizeof sa.sun_path) {
            close(fd);
            errno = ENAMETOOLONG;
            return -1;
        }
        strcpy(sa.sun_path, m_cfg.m_strUnixPath.c_str());
        // A socket left by an earlier run is replaced; any other file there is not ours to
        // remove (bind then fails and says so).
        struct stat st;
        if (lstat(sa.sun_path, &st) == 0 && S_ISSOCK(st.st_mode)) {
            unlink(sa.sun_path);
        }
        rc = bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    } else {
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (nPort == m_cfg.m_nPort) {
            // Segments well below the 64 KiB receive buffer the library's clients ask for: on
            // loopback (64 KiB segments) a client that reads a little late would otherwise
            // have whole segments dropped and wait out retransmission back-off, seconds long.
            int nMss = kClientMaxSegment;
            setsockopt(fd, IPPROTO_TCP, TCP_MAXSEG, &nMss, sizeof nMss);
        }
        sockaddr_in sa;
        memset(&sa, 0, sizeof sa);
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<uint16_t>(nPort));
        sa.sin_addr.s_addr = htonl(INADDR_ANY);
        if (!m_cfg.m_strBind.empty() &&
            inet_pton(AF_INET, m_cfg.m_strBind.c_str(), &sa.sin_addr) != 1) {
            close(fd);
            errno = EINVAL;
            return -1;
        }
        rc = bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    }
    if (rc != 0 || listen(fd, 512) != 0) {
        const int nErr = errno;
        close(fd);
        errno = nErr;
        return -1;
    }
    return fd;
}

bool CSymServer::Start() {
    m_nEpoll = epoll_create1(EPOLL_CLOEXEC);
    if (m_nEpoll < 0) {
        QRX_LOG_ERROR("qrx-symsrv: epoll_create1 failed: " << strerror(errno));
        return false;
    }
    m_SpareFd.Hold();
    if (m_cfg.m_nPort > 0) {
        const int fd = Listen(false, m_cfg.m_nPort);
        if (fd < 0) {
            QRX_LOG_ERROR("qrx-symsrv: cannot listen on port " << m_cfg.m_nPort << ": "
                                                               << strerror(errno));
            return false;
        }
        sockaddr_in sa;
        socklen_t n = sizeof sa;
        getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &n);
        m_nBoundPort = ntohs(sa.sin_port);
        m_pListenTcp = std::make_unique<CPollEntry>(CPollEntry::KIND_LISTEN, fd);
        SetEvents(m_pListenTcp.get(), EPOLLIN);
    }
    if (!m_cfg.m_strUnixPath.empty()) {
        const int fd = Listen(true, 0);
        if (fd < 0) {
            QRX_LOG_ERROR("qrx-symsrv: cannot listen on " << m_cfg.m_strUnixPath.c_str() << ": "
                                                          << strerror(errno));
            return false;
        }
        m_pListenUnix = std::make_unique<CPollEntry>(CPollEntry::KIND_LISTEN, fd);
        SetEvents(m_pListenUnix.get(), EPOLLIN);
    }
    if (m_cfg.m_nMetricsPort > 0) {
        const int fd = Listen(false, m_cfg.m_nMetricsPort);
        if (fd < 0) {
            QRX_LOG_ERROR("qrx-symsrv: cannot listen for metrics on port "
                          << m_cfg.m_nMetricsPort << ": " << strerror(errno));
            return false;
        }
        sockaddr_in sa;
        socklen_t n = sizeof sa;
        getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &n);
        m_nBoundMetricsPort = ntohs(sa.sin_port);
        m_pListenMetrics = std::make_unique<CPollEntry>(CPollEntry::KIND_METRICS_LISTEN, fd);
        SetEvents(m_pListenMetrics.get(), EPOLLIN);
    }
    QRX_LOG_INFO("qrx-symsrv: serving clients on port "
                 << m_nBoundPort << (m_cfg.m_strUnixPath.empty() ? "" : " and local socket ")
                 << m_cfg.m_strUnixPath.c_str() << "; " << static_cast<int>(m_vecFeeds.size())
                 << " feed handlers; logon "
                 << (m_cfg.m_mUsers.empty() ? "open to every user" : "checked against the users"));
    const double tNow = Now();
    for (auto& f : m_vecFeeds) {
        StartConnect(f.get());
    }
    m_tLastSummary = tNow;
    m_tNextSummary = tNow + m_cfg.m_dblSummaryInterval;
    m_tNextHeartbeat = tNow + m_cfg.m_dblHeartbeatInterval;
    return true;
}

void CSymServer::Stop() {
    m_bStopRequested = true;
}

void CSymServer::Run() {
    // A stop asked for before the loop began ends it at once; it is taken, so that a later
    // Run() serves until its own Stop().
    while (!m_bStopRequested.exchange(false)) {
        RunOnce(100);
    }
}

void CSymServer::RunOnce(int nTimeoutMs) {
    epoll_event events[kMaxEvents];
    // Requests left by the last turn are handled in this one, after the others' events (the
    // clients they belong to are not read meanwhile).
    std::vector<CClientSession*> vecWaits;
    vecWaits.swap(m_vecInputWaits);
    const int n = epoll_wait(m_nEpoll, events, kMaxEvents, vecWaits.empty() ? nTimeoutMs : 0);
    if (n < 0 && errno != EINTR) {
        QRX_LOG_ERROR("qrx-symsrv: epoll_wait failed: " << strerror(errno));
    }
    for (int i = 0; i < n; ++i) {
        CPollEntry* p = static_cast<CPollEntry*>(events[i].data.ptr);
        const uint32_t ev = events[i].events;
        switch (p->m_eKind) {
            case CPollEntry::KIND_LISTEN:
                Accept(p);
                break;
            case CPollEntry::KIND_METRICS_LISTEN:
                AcceptMetrics();
                break;
            case CPollEntry::KIND_CLIENT: {
                CClientSession* c = static_cast<CClientSession*>(p);
                if (c->m_bDoomed) {
                    break;
                }
                if (ev & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
                    OnClientReadable(c);
                }
                if (!c->m_bDoomed && (ev & EPOLLOUT)) {
                    QueueWrite(c);
                }
                break;
            }
            case CPollEntry::KIND_FEED: {
                CFeedLink* f = static_cast<CFeedLink*>(p);
                if (f->m_eState == CFeedLink::STATE_CONNECTING) {
                    OnFeedConnected(f);
                } else {
                    if (ev & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
                        OnFeedReadable(f);
                    }
                    if (f->m_nFd >= 0 && (ev & EPOLLOUT)) {
                        WriteFeed(f);
                    }
                }
                break;
            }
            case CPollEntry::KIND_METRICS_CONN:
                OnMetricsConn(static_cast<CMetricsConn*>(p), ev);
                break;
            case CPollEntry::KIND_RESOLVER:
                OnResolved();
                break;
        }
    }
    for (CClientSession* c : vecWaits) {
        c->m_bInputWaits = false;
        if (!c->m_bDoomed) {
            HandleClientInput(c);
        }
    }
    // Upstream requests gathered during this turn go out as lists.
    for (auto& f : m_vecFeeds) {
        if (!f->m_vecChanges.empty()) {
            FlushUpstream(f.get());
        }
    }
    // Everything gathered for the clients in this turn goes out in one write each.
    for (size_t i = 0; i < m_vecWriteList.size(); ++i) {
        CClientSession* c = m_vecWriteList[i];
        c->m_bQueued = false;
        if (!c->m_bDoomed) {
            WriteClient(c);
        }
    }
    m_vecWriteList.clear();
    OnTimers();
    for (CClientSession* c : m_vecDoomed) {
        CloseClient(c);
    }
    m_vecDoomed.clear();
}

void CSymServer::OnTimers() {
    const double tNow = Now();
    for (auto& f : m_vecFeeds) {
        if (f->m_eState == CFeedLink::STATE_DOWN && tNow >= f->m_tNextAttempt) {
            StartConnect(f.get());
        } else if ((f->m_eState == CFeedLink::STATE_CONNECTING ||
                    f->m_eState == CFeedLink::STATE_LOGON) &&
                   m_cfg.m_dblLogonTimeout > 0 &&
                   tNow - f->m_tStateSince > m_cfg.m_dblLogonTimeout) {
            // A feed handler that takes the connection but never answers would hold its topics
            // without a source, and its clients without word, for ever.
            FeedDown(
                f.get(),
                std::string(f->m_eState == CFeedLink::STATE_CONNECTING ? "no connection"
                                                                       : "no answer to the logon") +
                    " within " + std::to_string(m_cfg.m_dblLogonTimeout) + " seconds");
        } else if (f->m_eState == CFeedLink::STATE_UP && m_cfg.m_dblFeedStallTimeout > 0 &&
                   f->m_in.m_nLen > 0 && tNow - f->m_tLastRead > m_cfg.m_dblFeedStallTimeout) {
            // Quiet between messages is a quiet market; quiet in the middle of one is a feed
            // handler that hangs, whose topics would stand still without a word to the clients.
            FeedDown(f.get(), "a message left unfinished for " +
                                  std::to_string(tNow - f->m_tLastRead) + " seconds");
        }
    }
    // A conflated client that has not read for the stall time-out is dropped: its state
    // would only be rebuilt from the images anyway, and it holds its queue meanwhile.
    if (m_cfg.m_dblStallTimeout > 0) {
        for (CClientSession* c : m_vecClients) {
            if (!c->m_bDoomed && c->m_bConflating &&
                tNow - c->m_tProgress > m_cfg.m_dblStallTimeout) {
                Doom(c,
                     "it has read nothing for " + std::to_string(tNow - c->m_tProgress) +
                         " seconds while conflated, " + std::to_string(c->m_out.Pending()) +
                         " bytes queued",
                     true);
            }
        }
    }
    // A connection that never logs on would hold its place for ever.
    if (m_cfg.m_dblLogonTimeout > 0) {
        for (CClientSession* c : m_vecClients) {
            if (!c->m_bDoomed && !c->m_bLoggedOn && !c->m_bCloseWhenSent &&
                tNow - c->m_tAccepted > m_cfg.m_dblLogonTimeout) {
                Doom(c, "no logon within " + std::to_string(m_cfg.m_dblLogonTimeout) + " seconds",
                     true);
            }
        }
    }
    if (m_cfg.m_dblHeartbeatInterval > 0 && tNow >= m_tNextHeartbeat) {
        m_tNextHeartbeat = tNow + m_cfg.m_dblHeartbeatInterval;
        if (m_wire.Heartbeat()) {
            for (CClientSession* c : m_vecClients) {
                if (c->m_bLoggedOn && !c->m_bDoomed) {
                    SendToClient(c, m_wire.Data(), m_wire.Length());
                }
            }
        }
        for (size_t i = 0; i < m_vecWriteList.size(); ++i) {
            m_vecWriteList[i]->m_bQueued = false;
            if (!m_vecWriteList[i]->m_bDoomed) {
                WriteClient(m_vecWriteList[i]);
            }
        }
        m_vecWriteList.clear();
    }
    CloseIdleMetricsConns(tNow);
    if (m_cfg.m_dblSummaryInterval > 0 && tNow >= m_tNextSummary) {
        m_tNextSummary = tNow + m_cfg.m_dblSummaryInterval;
        QRX_LOG_INFO(SummaryLine().c_str());
    }
}
