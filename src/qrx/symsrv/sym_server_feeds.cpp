// CSymServer: the feed handlers' side. Connecting out with back-off, the server's own logon,
// upstream subscriptions kept to one per topic, and the fan-out of every received record to
// the topic's clients.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "qrx/marketdata/sym_data_aux.h"
#include "qrx/runtime/stdio_logger.h"
#include "qrx/symsrv/record_scan.h"
#include "qrx/symsrv/sym_server.h"
#include "qrx/wire/session_msgs.h"
#include "qrx/wire/sym_msgs.h"

namespace {

// Bytes read from one feed handler per readiness event, so that clients get their turn.
constexpr size_t kFeedReadPerEvent = 256 * 1024;
constexpr int kFlidTopic = 1074;

}  // namespace

CFeedLink::CFeedLink(const CSymSrvFeedConfig& cfg, int nIndex)
    : CPollEntry(KIND_FEED, -1), m_cfg(cfg), m_nIndex(nIndex) {
    for (const auto& r : m_cfg.m_vecRegexes) {
        m_vecRegexes.emplace_back(r.c_str(), nullptr);
    }
}

bool CFeedLink::Routes(const char* szTopic) {
    if (m_cfg.m_bAll || (m_cfg.m_vecPrefixes.empty() && m_cfg.m_vecRegexes.empty())) {
        return true;
    }
    for (const auto& p : m_cfg.m_vecPrefixes) {
        if (strncmp(szTopic, p.c_str(), p.size()) == 0) {
            return true;
        }
    }
    for (auto& r : m_vecRegexes) {
        if (r.CheckMatch(szTopic)) {
            return true;
        }
    }
    return false;
}

const char* CFeedLink::StateName(enState e) {
    switch (e) {
        case STATE_DOWN:
            return "down";
        case STATE_CONNECTING:
            return "connecting";
        case STATE_LOGON:
            return "logging_on";
        case STATE_UP:
            return "up";
    }
    return "?";
}

void CSymServer::StartConnect(CFeedLink* f) {
    const CSymSrvFeedConfig& cfg = f->m_cfg;
    if (!cfg.m_strPath.empty()) {
        sockaddr_un sa;
        memset(&sa, 0, sizeof sa);
        sa.sun_family = AF_UNIX;
        strncpy(sa.sun_path, cfg.m_strPath.c_str(), sizeof sa.sun_path - 1);
        ConnectTo(f, reinterpret_cast<sockaddr*>(&sa), sizeof sa, false);
        return;
    }
    sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(cfg.m_nPort));
    if (inet_pton(AF_INET, cfg.m_strHost.c_str(), &sa.sin_addr) == 1) {
        ConnectTo(f, reinterpret_cast<sockaddr*>(&sa), sizeof sa, true);
        return;
    }
    // A name: looked up by the resolver's thread, while the loop serves everybody else. The
    // logon time-out bounds the wait as it bounds the connection.
    if (!m_Resolver.Ask(f->m_nIndex, f->m_nLookupSeq + 1, cfg.m_strHost, cfg.m_nPort)) {
        FeedDown(f, std::string("cannot connect: ") + strerror(EHOSTUNREACH));  // no thread
        return;
    }
    if (m_pResolverEntry == nullptr) {
        m_pResolverEntry = std::make_unique<CPollEntry>(CPollEntry::KIND_RESOLVER, m_Resolver.Fd());
        SetEvents(m_pResolverEntry.get(), EPOLLIN);
    }
    ++f->m_nLookupSeq;
    BeginConnecting(f, -1);
    f->m_bLookingUp = true;
}

void CSymServer::BeginConnecting(CFeedLink* f, int fd) {
    f->m_nFd = fd;
    f->m_nEvents = 0;
    f->m_eState = CFeedLink::STATE_CONNECTING;
    f->m_tStateSince = Now();
    f->m_in.m_nLen = 0;
    f->m_out.Clear();
    f->m_nOwed = 0;
}

void CSymServer::OnResolved() {
    m_Resolver.Take(m_vecAnswers);
    for (const CHostResolver::Answer& a : m_vecAnswers) {
        if (a.nKey < 0 || static_cast<size_t>(a.nKey) >= m_vecFeeds.size()) {
            continue;
        }
        CFeedLink* f = m_vecFeeds[static_cast<size_t>(a.nKey)].get();
        if (!f->m_bLookingUp || f->m_nLookupSeq != a.nSeq) {
            continue;  // an attempt given up meanwhile
        }
        f->m_bLookingUp = false;
        if (a.bFound) {
            ConnectTo(f, reinterpret_cast<const sockaddr*>(&a.addr), sizeof a.addr, true);
        } else {
            FeedDown(f, std::string("cannot connect: ") + strerror(EHOSTUNREACH));
        }
    }
    m_vecAnswers.clear();
}

void CSymServer::ConnectTo(CFeedLink* f, const sockaddr* pAddr, socklen_t nLen, bool bTcp) {
    f->m_bLookingUp = false;
    const int fd = socket(bTcp ? AF_INET : AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int rc = -1;
    if (fd >= 0) {
        if (bTcp) {
            int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        }
        rc = connect(fd, pAddr, nLen);
    }
    if (fd < 0 || (rc != 0 && errno != EINPROGRESS)) {
        const int nErr = errno;
        if (fd >= 0) {
            close(fd);
        }
        f->m_nFd = -1;
        FeedDown(f, std::string("cannot connect: ") + strerror(nErr));
        return;
    }
    BeginConnecting(f, fd);
    SetEvents(f, EPOLLOUT);
    if (rc == 0) {
        OnFeedConnected(f);
    }
}

void CSymServer::OnFeedConnected(CFeedLink* f) {
    int nErr = 0;
    socklen_t n = sizeof nErr;
    if (getsockopt(f->m_nFd, SOL_SOCKET, SO_ERROR, &nErr, &n) != 0) {
        nErr = errno;
    }
    if (nErr != 0) {
        FeedDown(f, std::string("cannot connect: ") + strerror(nErr));
        return;
    }
    ++f->m_nConnects;
    f->m_eState = CFeedLink::STATE_LOGON;
    f->m_tStateSince = Now();
    f->m_tLastRead = f->m_tStateSince;
    QRX_LOG_INFO("qrx-symsrv: feed " << f->m_cfg.m_strName.c_str() << " connected; logging on as "
                                     << f->m_cfg.m_strUser.c_str());
    SetEvents(f, EPOLLIN);
    if (m_wire.Logon(f->m_cfg.m_strUser.c_str(), f->m_cfg.m_strPassword.c_str())) {
        f->m_out.AppendMsg(m_wire.Data(), m_wire.Length());
    }
    WriteFeed(f);
}

void CSymServer::FeedDown(CFeedLink* f, const std::string& strWhy) {
    const bool bWasUp = f->m_eState == CFeedLink::STATE_UP;
    f->m_bLookingUp = false;  // an answer that comes later is for an attempt given up
    if (f->m_nFd >= 0) {
        SetEvents(f, 0);
        close(f->m_nFd);
        f->m_nFd = -1;
    }
    f->m_nEvents = 0;
    f->m_eState = CFeedLink::STATE_DOWN;
    f->m_in.m_nLen = 0;
    f->m_out.Clear();
    f->m_nOwed = 0;
    f->m_bAllUpstream = false;
    ForgetFeedCommands(f);
    for (auto& t : m_vecTopics) {
        if (t->m_nFeed == f->m_nIndex) {
            t->m_bUpstream = false;
        }
    }
    if (bWasUp) {
        ++f->m_nLosses;
        f->m_dblBackoff = 0;
        f->m_bFailLogged = false;
        QRX_LOG_ERROR("qrx-symsrv: feed " << f->m_cfg.m_strName.c_str()
                                          << " lost: " << strWhy.c_str() << "; reconnecting");
        NotifySource(f, false);
    } else if (!f->m_bFailLogged) {
        f->m_bFailLogged = true;
        QRX_LOG_WARNING("qrx-symsrv: feed " << f->m_cfg.m_strName.c_str() << ": " << strWhy.c_str()
                                            << "; retrying with back-off");
    }
    f->m_dblBackoff = f->m_dblBackoff <= 0 ? m_cfg.m_dblReconnectMin
                                           : std::min(f->m_dblBackoff * 2, m_cfg.m_dblReconnectMax);
    f->m_tNextAttempt = Now() + f->m_dblBackoff;
}

void CSymServer::FeedUp(CFeedLink* f) {
    f->m_eState = CFeedLink::STATE_UP;
    f->m_dblBackoff = 0;
    f->m_bFailLogged = false;
    QRX_LOG_INFO("qrx-symsrv: feed " << f->m_cfg.m_strName.c_str() << " logged on");
    // Everything the clients hold is asked for again; they do not resubscribe.
    for (auto& t : m_vecTopics) {
        if (t->m_nFeed == f->m_nIndex && t->m_nRefs > 0) {
            QueueUpstream(*t);
        }
    }
    if (m_nAllRefs > 0 && m_wire.NoBodyRequest(CM_SYM_SUBSCRIBE_ALL)) {
        // Images held from before the loss may be behind the feed handler's.
        for (auto& t : m_vecTopics) {
            if (t->m_nFeed == f->m_nIndex) {
                t->m_bImageDue = true;
            }
        }
        f->m_bAllUpstream = true;
        f->m_out.AppendMsg(m_wire.Data(), m_wire.Length());
    }
    FlushUpstream(f, true);
    if (f->m_eState != CFeedLink::STATE_UP) {
        return;  // writing the subscriptions found the link gone: its clients have been told
    }
    if (f->m_bLostNotified) {
        NotifySource(f, true);
    }
}

void CSymServer::NotifySource(CFeedLink* f, bool bUp) {
    const std::string strText =
        std::string(bUp ? "data source restored: " : "data source lost: ") + f->m_cfg.m_strName;
    if (!m_wire.Status(bUp ? SYM_STATUS_SOURCE_RESTORED : SYM_STATUS_SOURCE_DOWN,
                       strText.c_str())) {
        return;
    }
    f->m_bLostNotified = !bUp;
    const uint64_t nStamp = ++m_nStampGen;
    if (!bUp) {
        f->m_nLostStamp = nStamp;
    }
    const size_t nFeed = static_cast<size_t>(f->m_nIndex);
    // The clients, not the topics, are gone through: there are far fewer of them, and each
    // is told once.
    for (CClientSession* c : m_vecClients) {
        if (c->m_bDoomed || !c->HearsFeed(f->m_nIndex)) {
            continue;
        }
        if (!bUp) {
            if (c->m_vecLostTold.size() <= nFeed) {
                c->m_vecLostTold.resize(nFeed + 1, 0);
            }
            c->m_vecLostTold[nFeed] = nStamp;
        }
        SendToClient(c, m_wire.Data(), m_wire.Length());
    }
}

// A client that comes to a lost feed handler's topics is told, as those holding them were,
// once: the restored notice that follows is then no surprise.
void CSymServer::TellLost(CClientSession* c, CFeedLink* f) {
    const size_t nFeed = static_cast<size_t>(f->m_nIndex);
    if (!f->m_bLostNotified || c->m_bDoomed ||
        (nFeed < c->m_vecLostTold.size() && c->m_vecLostTold[nFeed] == f->m_nLostStamp)) {
        return;
    }
    const std::string strText = "data source lost: " + f->m_cfg.m_strName;
    if (!m_wire.Status(SYM_STATUS_SOURCE_DOWN, strText.c_str())) {
        return;
    }
    if (c->m_vecLostTold.size() <= nFeed) {
        c->m_vecLostTold.resize(nFeed + 1, 0);
    }
    c->m_vecLostTold[nFeed] = f->m_nLostStamp;
    SendToClient(c, m_wire.Data(), m_wire.Length());
}

void CSymServer::QueueUpstream(CTopicEntry& t) {
    if (t.m_nFeed < 0 || t.m_bChangeQueued) {
        return;
    }
    t.m_bChangeQueued = true;
    m_vecFeeds[static_cast<size_t>(t.m_nFeed)]->m_vecChanges.push_back(t.m_nIndex);
}

void CSymServer::FlushUpstream(CFeedLink* f, bool bOwed) {
    std::vector<const char*> vecSub;
    std::vector<const char*> vecUnsub;
    auto send = [&](short nType, std::vector<const char*>& v) {
        if (!v.empty() && m_wire.TopicList(nType, v)) {
            f->m_out.AppendMsg(m_wire.Data(), m_wire.Length());
        }
        v.clear();
    };
    const bool bUp = f->m_eState == CFeedLink::STATE_UP;
    for (uint32_t nTopic : f->m_vecChanges) {
        CTopicEntry& t = *m_vecTopics[nTopic];
        t.m_bChangeQueued = false;
        const bool bWanted = t.m_nRefs > 0;
        if (!bWanted && t.m_bCached && m_nAllRefs == 0) {
            // Nobody holds it: its image would go stale.
            t.m_bCached = false;
        }
        if (!bUp || bWanted == t.m_bUpstream) {
            continue;
        }
        t.m_bUpstream = bWanted;
        t.m_bImageDue = bWanted;
        std::vector<const char*>& v = bWanted ? vecSub : vecUnsub;
        v.push_back(t.m_strTopic.c_str());
        if (v.size() == SYM_MAX_LIST_TOPICS) {
            send(bWanted ? CM_SYM_SUBSCRIBE_LIST : CM_SYM_UNSUBSCRIBE_LIST, v);
        }
    }
    send(CM_SYM_UNSUBSCRIBE_LIST, vecUnsub);
    send(CM_SYM_SUBSCRIBE_LIST, vecSub);
    // Written into messages now: the topics nobody holds any more may go.
    for (uint32_t nTopic : f->m_vecChanges) {
        ReleaseIfIdle(*m_vecTopics[nTopic]);
    }
    f->m_vecChanges.clear();
    if (bOwed) {
        f->m_nOwed = f->m_out.Pending();
    }
    if (bUp) {
        WriteFeed(f);
    }
}

void CSymServer::WriteFeed(CFeedLink* f) {
    while (f->m_nFd >= 0 && !f->m_out.Empty()) {
        const ssize_t n = send(f->m_nFd, f->m_out.Front(), f->m_out.Pending(), MSG_NOSIGNAL);
        if (n > 0) {
            f->m_out.Consume(static_cast<size_t>(n));
            f->m_nOwed -= std::min(f->m_nOwed, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        }
        FeedDown(f, std::string("writing failed: ") + strerror(errno));
        return;
    }
    if (f->m_nFd >= 0 && f->m_out.Pending() - f->m_nOwed > static_cast<size_t>(m_cfg.m_nLimit)) {
        // A feed handler that stopped reading would have the clients' requests and commands
        // pile up here without end: it is connected afresh, and asked again for what the
        // clients hold.
        FeedDown(f, "it has not read " + std::to_string(f->m_out.Pending()) +
                        " bytes of requests, past the limit of " + std::to_string(m_cfg.m_nLimit));
        return;
    }
    if (f->m_nFd >= 0 && f->m_eState != CFeedLink::STATE_CONNECTING) {
        SetEvents(f, f->m_out.Empty() ? EPOLLIN : (EPOLLIN | EPOLLOUT));
    }
}

void CSymServer::OnFeedReadable(CFeedLink* f) {
    CInBuffer& in = f->m_in;
    size_t nRead = 0;
    while (nRead < kFeedReadPerEvent && f->m_nFd >= 0) {
        const ssize_t n = read(f->m_nFd, in.m_buf.data() + in.m_nLen, in.m_buf.size() - in.m_nLen);
        if (n == 0) {
            FeedDown(f, "the feed handler closed the connection");
            return;
        }
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                FeedDown(f, std::string("reading failed: ") + strerror(errno));
            }
            return;
        }
        in.m_nLen += static_cast<size_t>(n);
        nRead += static_cast<size_t>(n);
        f->m_tLastRead = Now();
        if (f->m_cfg.m_strPath.empty()) {
            // Acknowledged at once: a feed handler that waits for acknowledgements before
            // sending small writes (Nagle) would otherwise hold each tick for a delayed ACK.
            int one = 1;
            setsockopt(f->m_nFd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
        }
        size_t nAt = 0;
        while (in.m_nLen - nAt >= 2) {
            char* p = in.m_buf.data() + nAt;
            const int nMsg = (static_cast<uint8_t>(p[0]) << 8) | static_cast<uint8_t>(p[1]);
            if (nMsg < 8) {
                ++m_nMalformed;
                FeedDown(f, "malformed input: a message length of " + std::to_string(nMsg));
                return;
            }
            if (static_cast<size_t>(nMsg) > in.m_nLen - nAt) {
                break;
            }
            // The link may also have closed while a message was handled (a write of ours
            // failed): its input is gone with it.
            if (!HandleFeedMsg(f, p, nMsg) || f->m_nFd < 0) {
                return;  // the link was closed
            }
            nAt += static_cast<size_t>(nMsg);
        }
        if (nAt > 0) {
            memmove(in.m_buf.data(), in.m_buf.data() + nAt, in.m_nLen - nAt);
            in.m_nLen -= nAt;
        }
    }
}

bool CSymServer::HandleFeedMsg(CFeedLink* f, char* p, int nLen) {
    const auto be16 = [](const char* q) {
        return static_cast<short>((static_cast<uint8_t>(q[0]) << 8) | static_cast<uint8_t>(q[1]));
    };
    const short nHdr = be16(p + 2);
    const short nType = be16(p + 4);
    const short nSub = be16(p + 6);
    if (nHdr != MsgHdrSym::HDR_TYPE) {
        ++m_nMalformed;
        FeedDown(f, "malformed input: header type " + std::to_string(nHdr));
        return false;
    }
    if (nType == CM_SYM_DATA) {
        if (nSub == SYM_DATA_UPDATE || nSub == SYM_DATA_SNAPSHOT) {
            return f->m_eState == CFeedLink::STATE_UP ? HandleFeedData(f, p, nLen, nSub) : true;
        }
        return true;  // the markers of a snapshot batch: each record travels on its own
    }
    if (nType == CM_SYM_RESPONSE) {
        ForwardResponse(p, nLen);
        return true;
    }
    const MsgHdrSym* h = m_wire.Parse(p, nLen);
    if (h == nullptr) {
        ++m_nMalformed;
        FeedDown(f, "malformed input: an unreadable message of type " + std::to_string(nType));
        return false;
    }
    switch (h->mtyp) {
        case CM_SYM_STATUS:
            if (h->submtyp == SYM_STATUS_LOGIN_ACCEPTED) {
                if (f->m_eState == CFeedLink::STATE_LOGON) {
                    FeedUp(f);
                }
            } else if (h->submtyp == SYM_STATUS_LOGIN_REFUSED) {
                FeedDown(f, std::string("logon refused: ") + MsgBody(h));
                return false;
            } else if (h->submtyp == SYM_STATUS_SOURCE_DOWN ||
                       h->submtyp == SYM_STATUS_SOURCE_RESTORED) {
                // The feed handler's own source: its clients are told as it says.
                // The clients, not the topics, are gone through: a feed handler may repeat
                // this at every message, and the topics can be a million.
                for (CClientSession* c : m_vecClients) {
                    if (c->HearsFeed(f->m_nIndex)) {
                        SendToClient(c, p, static_cast<size_t>(nLen));
                    }
                }
            }
            break;
        case CM_SYM_SUB_STATUS:
            ForwardSubStatus(f, h);
            break;
        default:
            break;  // heartbeat notices and the rest: nothing for the clients
    }
    return true;
}

void CSymServer::ForwardSubStatus(CFeedLink* f, const MsgHdrSym* h) {
    const stSymSubStatus* b = reinterpret_cast<const stSymSubStatus*>(MsgBody(h));
    const size_t nTopic = strnlen(b->m_szTopic, sizeof b->m_szTopic);
    CTopicEntry* t = Topic(b->m_szTopic, nTopic, false);
    if (t == nullptr || t->m_nFeed != f->m_nIndex) {
        return;  // nobody's topic, or another feed handler's
    }
    const std::string strTopic = t->m_strTopic;
    const std::string strMsg(b->m_szMessage, strnlen(b->m_szMessage, sizeof b->m_szMessage));
    if (!m_wire.SubStatus(h->submtyp, strTopic.c_str(), strMsg.c_str())) {
        return;
    }
    for (CClientSession* c : t->m_vecSubs) {
        SendToClient(c, m_wire.Data(), m_wire.Length());
    }
}

bool CSymServer::HandleFeedData(CFeedLink* f, char* p, int nLen, short nSubType) {
    // Stream form: header (8), the body's text length (2), the records.
    if (nLen < 10) {
        return true;  // an empty body
    }
    const int nBody = (static_cast<uint8_t>(p[8]) << 8) | static_cast<uint8_t>(p[9]);
    if (10 + nBody > nLen) {
        ++m_nMalformed;
        FeedDown(f, "malformed input: a data message body past its message");
        return false;
    }
    char* pBody = p + 10;
    int nAt = 0;
    while (nAt < nBody) {
        const char* szTopic = nullptr;
        size_t nTopicLen = 0;
        const int nRecLen =
            scan_record_topic(pBody + nAt, static_cast<size_t>(nBody - nAt), szTopic, nTopicLen);
        if (nRecLen < 0) {
            ++m_nMalformed;
            FeedDown(f, "malformed input: a record that cannot be decoded");
            return false;
        }
        char* pRec = pBody + nAt;
        nAt += nRecLen;
        if (nTopicLen == 0) {
            continue;  // a record that names nothing cannot be routed
        }
        CTopicEntry* t = Topic(szTopic, nTopicLen, m_nAllRefs > 0);
        if (t == nullptr) {
            continue;  // a late record of a topic nobody holds any more
        }
        if (t->m_nFeed >= 0 && t->m_nFeed != f->m_nIndex) {
            // The topic is another feed handler's (one asked for everything may have one of
            // the same name): its records would be mixed into the image and the updates.
            ReleaseIfIdle(*t);
            continue;
        }
        ++f->m_nUpdatesIn;
        f->m_nBytesIn += static_cast<uint64_t>(nRecLen);
        ++t->m_nUpdatesIn;
        t->m_nBytesIn += static_cast<uint64_t>(nRecLen);
        ++m_nUpdatesIn;
        if (t->m_nRefs == 0 && !(m_nAllRefs > 0)) {
            continue;
        }
        // The image, merged as a feed handler's cache merges: the record is decoded straight
        // into it, so its fields replace those held and the others stay.
        if (!t->m_pImage) {
            t->m_pImage = std::make_unique<CSymData>();
        }
        // A snapshot record that answers nobody's subscription repeats what the subscribers
        // have (a new subscriber is given the held image): it only fills the image.
        const bool bForward = nSubType != SYM_DATA_SNAPSHOT || t->m_bImageDue || !t->m_bCached;
        if (nSubType == SYM_DATA_SNAPSHOT || !t->m_bCached) {
            // The image answers the subscription, and an update of a topic held without one
            // says that the feed handler had none to send. An update of an image held from
            // before (a feed handler restored) may come before the answer, which is still
            // due: without it the fields the update does not carry would stay as the clients
            // had them before.
            t->m_bImageDue = false;
        }
        if (!t->m_bCached) {
            t->m_pImage->clear();
            t->m_pImage->SetFlidString(kFlidTopic, GrowingStr(t->m_strTopic.c_str()));
            t->m_bCached = true;
        }
        m_recStream.Attach(pRec, nRecLen, false);
        if (!CSymDataAux::SerializeSymIn(*t->m_pImage, m_recStream)) {
            t->m_bCached = false;
            ++m_nMalformed;
            FeedDown(f, "malformed input: a record that cannot be decoded");
            return false;
        }
        if (!bForward) {
            continue;
        }
        const size_t nLen = static_cast<size_t>(nRecLen);
        for (CClientSession* c : t->m_vecSubs) {
            if (!c->m_bAll) {
                Deliver(c, *t, nSubType, pRec, nLen);
            }
        }
        for (CClientSession* c : m_vecAllClients) {
            Deliver(c, *t, nSubType, pRec, nLen);
        }
    }
    return true;
}
