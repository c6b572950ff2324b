// CSymServer: the clients' side. Accepting, reading and answering requests, subscriptions
// with their reference counts, images for new subscribers, the per-client queue with its
// conflation and drop bounds.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "qrx/marketdata/sym_data_aux.h"
#include "qrx/runtime/stdio_logger.h"
#include "qrx/symsrv/sym_server.h"
#include "qrx/wire/session_msgs.h"
#include "qrx/wire/sym_msgs.h"

namespace {

// Bytes read from one client per readiness event: a client that floods requests cannot
// starve the others.
constexpr size_t kClientReadPerEvent = 64 * 1024;

std::string PeerName(int fd) {
    sockaddr_storage ss;
    socklen_t n = sizeof ss;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&ss), &n) != 0) {
        return "unknown";
    }
    if (ss.ss_family == AF_INET) {
        const sockaddr_in* sa = reinterpret_cast<const sockaddr_in*>(&ss);
        char host[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &sa->sin_addr, host, sizeof host);
        return std::string(host) + ":" + std::to_string(ntohs(sa->sin_port));
    }
    return "local";
}

// Fixed-size text fields of a request, cut at their NUL or their end.
std::string FieldText(const char* p, size_t nCap) {
    return std::string(p, strnlen(p, nCap));
}

// A well-formed topic list (type 12 or 13) of more topics than a message holds, in the
// stream form at p: its count is lowered to that bound in place, so that reading it takes the
// first topics without writing a line for every such list. The count it had, 0 when the
// message is left as it is (a shorter list, or one that reading is to refuse).
int ClampTopicList(char* p, int nLen) {
    const auto u16 = [p](int at) {
        return (static_cast<uint8_t>(p[at]) << 8) | static_cast<uint8_t>(p[at + 1]);
    };
    if (nLen < 12 || u16(2) != MsgHdrSym::HDR_TYPE ||
        (u16(4) != CM_SYM_SUBSCRIBE_LIST && u16(4) != CM_SYM_UNSUBSCRIBE_LIST)) {
        return 0;
    }
    const uint32_t nCount = (static_cast<uint32_t>(u16(8)) << 16) | static_cast<uint32_t>(u16(10));
    if (nCount <= static_cast<uint32_t>(SYM_MAX_LIST_TOPICS) || nCount > 0x7FFFFFFFu ||
        nCount > static_cast<uint32_t>(nLen - 12) / 2) {
        return 0;
    }
    int nAt = 12;
    for (uint32_t i = 0; i < nCount; ++i) {
        if (nLen - nAt < 2) {
            return 0;
        }
        nAt += 2 + u16(nAt);
        if (nAt > nLen) {
            return 0;
        }
    }
    p[8] = p[9] = p[10] = 0;
    p[11] = static_cast<char>(SYM_MAX_LIST_TOPICS);
    return static_cast<int>(nCount);
}

}  // namespace

void CSymServer::Accept(CPollEntry* pListen) {
    for (int i = 0; i < 64; ++i) {
        const int fd = accept4(pListen->m_nFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            // Without a descriptor for it the connection would stay ready, and the loop
            // would spin on it until a client left.
            if ((errno == EMFILE || errno == ENFILE) && ShedConnection(pListen->m_nFd)) {
                continue;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                QRX_LOG_ERROR("qrx-symsrv: accept failed: " << strerror(errno));
            }
            return;
        }
        if (static_cast<long>(m_vecClients.size()) >= m_cfg.m_nMaxClients) {
            // Past the bound a connection costs nothing but this line.
            ++m_nClientsRefused;
            QRX_LOG_ERROR("qrx-symsrv: connection from " << PeerName(fd).c_str()
                                                         << " closed: " << m_vecClients.size()
                                                         << " clients, the most served at once");
            close(fd);
            continue;
        }
        if (pListen == m_pListenTcp.get()) {
            int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        }
        CClientSession* c = new (std::nothrow) CClientSession(fd);
        if (c == nullptr) {
            QRX_LOG_ERROR("qrx-symsrv: no memory for a client; connection closed");
            close(fd);
            continue;
        }
        c->m_nId = m_nNextClientId++;
        c->m_strPeer = PeerName(fd);
        c->m_tProgress = Now();
        c->m_tAccepted = c->m_tProgress;
        c->m_vecFlags.resize(m_vecTopics.size(), 0);
        m_vecClients.push_back(c);
        ++m_nClientsAccepted;
        SetEvents(c, EPOLLIN);
        QRX_LOG_INFO("qrx-symsrv: client " << c->m_nId << " connected from "
                                           << c->m_strPeer.c_str());
    }
}

bool CSymServer::ShedConnection(int nListenFd) {
    const int nErr = errno;
    return m_SpareFd.Shed(nListenFd, [nErr](int fd) {
        QRX_LOG_ERROR("qrx-symsrv: connection from " << PeerName(fd).c_str()
                                                     << " closed: no descriptor left for it ("
                                                     << strerror(nErr) << ")");
    });
}

void CSymServer::OnClientReadable(CClientSession* c) {
    if (c->m_bInputWaits) {
        return;  // read once the requests already read have been handled
    }
    CInBuffer& in = c->m_in;
    size_t nRead = 0;
    while (nRead < kClientReadPerEvent && !c->m_bInputWaits) {
        if (in.m_nLen == in.m_buf.size()) {
            break;  // a whole message always fits: the bytes are framed below
        }
        const ssize_t n = read(c->m_nFd, in.m_buf.data() + in.m_nLen, in.m_buf.size() - in.m_nLen);
        if (n == 0) {
            Doom(c, "it closed the connection");
            return;
        }
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                Doom(c, std::string("reading failed: ") + strerror(errno));
            }
            return;
        }
        in.m_nLen += static_cast<size_t>(n);
        nRead += static_cast<size_t>(n);
        HandleClientInput(c);
        if (c->m_bDoomed) {
            return;
        }
    }
}

void CSymServer::HandleClientInput(CClientSession* c) {
    CInBuffer& in = c->m_in;
    // What one turn may queue for a client: a client that asks for every image again and
    // again would otherwise hold the loop, and every other client, for as long as it went
    // on asking. The rest of its requests wait for the next turn.
    const size_t nBudget = c->m_out.Pending() + static_cast<size_t>(m_cfg.m_nHighWater);
    // So is a request that goes through every topic held (subscribe-all, its end, every
    // image): one per turn, since eight bytes of it may cost as much as a million topics.
    bool bWalked = false;
    size_t nAt = 0;
    while (in.m_nLen - nAt >= 2 && !c->m_bDoomed) {
        char* p = in.m_buf.data() + nAt;
        const int nMsg = (static_cast<uint8_t>(p[0]) << 8) | static_cast<uint8_t>(p[1]);
        if (nMsg < 8) {
            ++m_nMalformed;
            Doom(c, "malformed input: a message length of " + std::to_string(nMsg));
            return;
        }
        if (static_cast<size_t>(nMsg) > in.m_nLen - nAt) {
            break;
        }
        if (c->m_out.Pending() > nBudget || bWalked) {
            c->m_bInputWaits = true;
            m_vecInputWaits.push_back(c);
            break;
        }
        const int nType = (static_cast<uint8_t>(p[4]) << 8) | static_cast<uint8_t>(p[5]);
        bWalked = (nType == CM_SYM_SUBSCRIBE_ALL || nType == CM_SYM_UNSUBSCRIBE_ALL ||
                   nType == CM_SYM_SNAPSHOT_ALL);
        if (!HandleClientMsg(c, p, nMsg)) {
            return;
        }
        nAt += static_cast<size_t>(nMsg);
    }
    if (c->m_bDoomed) {
        return;
    }
    if (nAt > 0) {
        memmove(in.m_buf.data(), in.m_buf.data() + nAt, in.m_nLen - nAt);
        in.m_nLen -= nAt;
    }
}

bool CSymServer::HandleClientMsg(CClientSession* c, char* p, int nLen) {
    const int nLongList = ClampTopicList(p, nLen);
    if (nLongList > 0 && c->ShouldLog(CClientSession::LOG_LONG_LIST)) {
        QRX_LOG_WARNING("qrx-symsrv: client " << c->m_nId << " sent " << nLongList
                                              << " topics in one list; the first "
                                              << SYM_MAX_LIST_TOPICS << " are taken");
    }
    const MsgHdrSym* h = m_wire.Parse(p, nLen);
    if (h == nullptr) {
        ++m_nMalformed;
        Doom(c, "malformed input: a message that is not a readable Sym message");
        return false;
    }
    ++c->m_nRequests;
    if (h->mtyp == CM_LOGIN) {
        HandleLogon(c, h);
        return !c->m_bDoomed;
    }
    if (h->mtyp == CM_HEARTBEAT) {
        return true;  // the echo of ours
    }
    if (!c->m_bLoggedOn) {
        if (c->ShouldLog(CClientSession::LOG_EARLY)) {
            QRX_LOG_WARNING("qrx-symsrv: client " << c->m_nId << " sent request type " << h->mtyp
                                                  << " before logging on; ignored");
        }
        return true;
    }
    const char* body = MsgBody(h);
    switch (h->mtyp) {
        case CM_SYM_SUBSCRIBE:
        case CM_SYM_SUBSCRIBE_TYPE: {
            const std::string t =
                FieldText(reinterpret_cast<const stTopicInfo*>(body)->m_szTopic, SYM_TOPIC_LEN);
            if (!t.empty()) {
                Subscribe(c, t.c_str());
            }
            break;
        }
        case CM_SYM_UNSUBSCRIBE:
        case CM_SYM_UNSUBSCRIBE_TYPE:
            Unsubscribe(
                c, FieldText(reinterpret_cast<const stTopicInfo*>(body)->m_szTopic, SYM_TOPIC_LEN)
                       .c_str());
            break;
        case CM_SYM_SUBSCRIBE_SIZE:
        case CM_SYM_UNSUBSCRIBE_SIZE: {
            // The records of a topic subscribed with sizes carry the plain topic: the client
            // gets the topic itself (the sizes are a feed handler's matter, not forwarded).
            const std::string t =
                FieldText(reinterpret_cast<const stTopicInfoSize*>(body)->m_szTopic, SYM_TOPIC_LEN);
            if (t.empty()) {
                break;
            }
            if (h->mtyp == CM_SYM_SUBSCRIBE_SIZE) {
                Subscribe(c, t.c_str());
            } else {
                Unsubscribe(c, t.c_str());
            }
            break;
        }
        case CM_SYM_SUBSCRIBE_ALL:
            SubscribeAll(c);
            break;
        case CM_SYM_UNSUBSCRIBE_ALL:
            UnsubscribeAll(c);
            break;
        case CM_SYM_SNAPSHOT: {
            const std::string t =
                FieldText(reinterpret_cast<const stTopicInfo*>(body)->m_szTopic, SYM_TOPIC_LEN);
            CTopicEntry* pTopic = Topic(t.data(), t.size(), false);
            if (pTopic != nullptr && pTopic->m_bCached) {
                SendImage(c, *pTopic, SYM_DATA_SNAPSHOT);
            }
            break;
        }
        case CM_SYM_SNAPSHOT_ALL:
            SendAllImages(c);
            break;
        case CM_SYM_COMMAND:
            HandleCommand(c, h, p, nLen);
            break;
        case CM_SYM_SUBSCRIBE_LIST:
        case CM_SYM_UNSUBSCRIBE_LIST: {
            // Taken out of the parsed message first: answering a topic (a refusal) builds its
            // message in the same memory.
            const stTopicList* pList = reinterpret_cast<const stTopicList*>(body);
            const int nCount = std::min(pList->m_nCount, SYM_MAX_LIST_TOPICS);
            const bool bSubscribe = h->mtyp == CM_SYM_SUBSCRIBE_LIST;
            std::vector<std::string> vecTopics;
            for (int i = 0; i < nCount; ++i) {
                vecTopics.push_back(FieldText(pList->m_szTopics[i], SYM_TOPIC_LEN));
            }
            for (size_t i = 0; i < vecTopics.size() && !c->m_bDoomed; ++i) {
                const std::string& t = vecTopics[i];
                if (bSubscribe) {
                    if (!t.empty()) {
                        Subscribe(c, t.c_str());
                    }
                } else {
                    Unsubscribe(c, t.c_str());
                }
            }
            break;
        }
        default:
            if (c->ShouldLog(CClientSession::LOG_UNHANDLED)) {
                QRX_LOG_WARNING("qrx-symsrv: client " << c->m_nId << " sent unhandled request "
                                                      << h->hdr_typ << " " << h->mtyp << " "
                                                      << h->submtyp);
            }
            break;
    }
    return !c->m_bDoomed;
}

void CSymServer::HandleLogon(CClientSession* c, const MsgHdrSym* h) {
    const stLogin* pLogin = reinterpret_cast<const stLogin*>(MsgBody(h));
    const std::string strUser = FieldText(pLogin->username, sizeof pLogin->username);
    const std::string strPassword = FieldText(pLogin->password, sizeof pLogin->password);
    bool bOk = true;
    if (!m_cfg.m_mUsers.empty()) {
        auto it = m_cfg.m_mUsers.find(strUser);
        bOk = it != m_cfg.m_mUsers.end() && it->second == strPassword;
    }
    // A logon under another name is told beyond the bound of the others, but bounded too: a
    // client that alternates between two names would otherwise write a line for each logon.
    const bool bNewUser = strUser != c->m_strUser;
    const bool bTellNewUser = bNewUser && c->ShouldLog(CClientSession::LOG_NEW_USER);
    c->m_strUser = strUser;
    if (bOk) {
        c->m_bLoggedOn = true;
        if (c->ShouldLog(CClientSession::LOG_LOGON) || bTellNewUser) {
            QRX_LOG_INFO("qrx-symsrv: client " << c->m_nId << " logged on as " << strUser.c_str());
        }
        if (m_wire.Status(SYM_STATUS_LOGIN_ACCEPTED, "")) {
            SendToClient(c, m_wire.Data(), m_wire.Length());
        }
        if (c->m_nCmdClientId == 0) {
            AssignCommandId(c);
        }
        return;
    }
    ++m_nLogonsRefused;
    if (c->ShouldLog(CClientSession::LOG_REFUSED) || bTellNewUser) {
        QRX_LOG_WARNING("qrx-symsrv: client " << c->m_nId << " from " << c->m_strPeer.c_str()
                                              << " refused: bad user or password for "
                                              << strUser.c_str());
    }
    if (m_wire.Status(SYM_STATUS_LOGIN_REFUSED, "Bad user or password")) {
        SendToClient(c, m_wire.Data(), m_wire.Length());
    }
    c->m_bLoggedOn = false;
    c->m_bCloseWhenSent = true;
}

CTopicEntry* CSymServer::Topic(const char* szTopic, size_t nLen, bool bCreate) {
    m_strKey.assign(szTopic, nLen);
    auto it = m_mTopicIndex.find(m_strKey);
    if (it != m_mTopicIndex.end()) {
        return m_vecTopics[it->second].get();
    }
    if (!bCreate || static_cast<long>(TopicCount()) >= m_cfg.m_nMaxTopics) {
        return nullptr;
    }
    CTopicEntry* t = nullptr;
    if (!m_vecFreeTopics.empty()) {
        t = m_vecTopics[m_vecFreeTopics.back()].get();
        m_vecFreeTopics.pop_back();
        t->m_bFree = false;
    } else {
        m_vecTopics.push_back(std::make_unique<CTopicEntry>());
        t = m_vecTopics.back().get();
        t->m_nIndex = static_cast<uint32_t>(m_vecTopics.size() - 1);
        for (CClientSession* c : m_vecClients) {
            c->m_vecFlags.resize(m_vecTopics.size(), 0);
        }
    }
    t->m_strTopic = m_strKey;
    for (auto& f : m_vecFeeds) {
        if (f->Routes(t->m_strTopic.c_str())) {
            t->m_nFeed = f->m_nIndex;
            break;
        }
    }
    m_mTopicIndex.emplace(t->m_strTopic, t->m_nIndex);
    return t;
}

void CSymServer::ReleaseIfIdle(CTopicEntry& t) {
    // Subscribe-all holds the images, not the names: a topic without an image is nothing to
    // it, and one whose updates come later is taken up again as they come.
    if (t.m_bFree || t.m_nRefs != 0 || t.m_bCached || t.m_bUpstream || t.m_bChangeQueued) {
        return;
    }
    m_mTopicIndex.erase(t.m_strTopic);
    // The image's storage stays for the next topic of the slot. A conflated client may still
    // list the slot; the slot's next topic is sent there only to a client that holds it.
    t.m_strTopic.clear();
    t.m_nFeed = -1;
    t.m_bImageTooLongLogged = false;
    t.m_bImageDue = false;
    t.m_vecSubs.clear();
    t.m_nUpdatesIn = t.m_nBytesIn = t.m_nUpdatesOut = t.m_nBytesOut = t.m_nConflated = 0;
    t.m_bFree = true;
    m_vecFreeTopics.push_back(t.m_nIndex);
}

void CSymServer::Subscribe(CClientSession* c, const char* szTopic) {
    CTopicEntry* pTopic = Topic(szTopic, strlen(szTopic), true);
    if (pTopic == nullptr) {
        if (c->ShouldLog(CClientSession::LOG_TOO_MANY_TOPICS)) {
            QRX_LOG_WARNING("qrx-symsrv: client " << c->m_nId << " subscribed to " << szTopic
                                                  << " past the limit of " << m_cfg.m_nMaxTopics
                                                  << " topics; refused");
        }
        if (m_wire.SubStatus(SYM_SUB_STATUS_ERROR, szTopic, "the server holds too many topics")) {
            SendToClient(c, m_wire.Data(), m_wire.Length());
        }
        return;
    }
    CTopicEntry& t = *pTopic;
    if (t.m_nFeed < 0) {
        // Refused, and not held: topics nobody can serve must not use up max_topics.
        if (m_wire.SubStatus(SYM_SUB_STATUS_ERROR, szTopic, "no feed handler serves this topic")) {
            SendToClient(c, m_wire.Data(), m_wire.Length());
        }
        ReleaseIfIdle(t);
        return;
    }
    if (!c->IsSubscribed(t.m_nIndex)) {
        c->m_vecFlags[t.m_nIndex] |= 1;
        ++c->m_nTopics;
        if (c->m_vecFeedTopics.size() <= static_cast<size_t>(t.m_nFeed)) {
            c->m_vecFeedTopics.resize(static_cast<size_t>(t.m_nFeed) + 1, 0);
        }
        ++c->m_vecFeedTopics[static_cast<size_t>(t.m_nFeed)];
        t.m_vecSubs.push_back(c);
        if (++t.m_nRefs == 1) {
            QueueUpstream(t);
        }
        TellLost(c, m_vecFeeds[static_cast<size_t>(t.m_nFeed)].get());
    }
    // As a feed handler does: a subscription is answered with the current image.
    if (t.m_bCached) {
        SendImage(c, t, SYM_DATA_SNAPSHOT);
    }
}

void CSymServer::Unsubscribe(CClientSession* c, const char* szTopic) {
    CTopicEntry* pTopic = Topic(szTopic, strlen(szTopic), false);
    if (pTopic == nullptr || !c->IsSubscribed(pTopic->m_nIndex)) {
        return;
    }
    CTopicEntry& t = *pTopic;
    c->m_vecFlags[t.m_nIndex] &= static_cast<uint8_t>(~1u);
    --c->m_nTopics;
    --c->m_vecFeedTopics[static_cast<size_t>(t.m_nFeed)];
    auto it = std::find(t.m_vecSubs.begin(), t.m_vecSubs.end(), c);
    if (it != t.m_vecSubs.end()) {
        *it = t.m_vecSubs.back();
        t.m_vecSubs.pop_back();
    }
    if (--t.m_nRefs == 0) {
        QueueUpstream(t);
    }
}

void CSymServer::SubscribeAll(CClientSession* c) {
    if (!c->m_bAll) {
        c->m_bAll = true;
        m_vecAllClients.push_back(c);
        if (++m_nAllRefs == 1) {
            for (auto& f : m_vecFeeds) {
                if (f->m_eState == CFeedLink::STATE_UP && !f->m_bAllUpstream &&
                    m_wire.NoBodyRequest(CM_SYM_SUBSCRIBE_ALL)) {
                    f->m_bAllUpstream = true;
                    f->m_out.AppendMsg(m_wire.Data(), m_wire.Length());
                    WriteFeed(f.get());
                }
            }
        }
        for (auto& f : m_vecFeeds) {
            TellLost(c, f.get());
        }
    }
    SendAllImages(c);
}

void CSymServer::UnsubscribeAll(CClientSession* c) {
    if (!c->m_bAll) {
        return;
    }
    c->m_bAll = false;
    m_vecAllClients.erase(std::find(m_vecAllClients.begin(), m_vecAllClients.end(), c));
    if (--m_nAllRefs == 0) {
        for (auto& f : m_vecFeeds) {
            if (f->m_bAllUpstream && f->m_eState == CFeedLink::STATE_UP &&
                m_wire.NoBodyRequest(CM_SYM_UNSUBSCRIBE_ALL)) {
                f->m_out.AppendMsg(m_wire.Data(), m_wire.Length());
                WriteFeed(f.get());
            }
            f->m_bAllUpstream = false;
        }
        // The images only subscribe-all kept fresh would go stale, and their topics with them.
        for (auto& t : m_vecTopics) {
            if (t->m_nRefs == 0) {
                t->m_bCached = false;
                ReleaseIfIdle(*t);
            }
        }
    }
}

void CSymServer::SendImage(CClientSession* c, CTopicEntry& t, short nSubType) {
    m_encStream.SeekBegin();
    const bool bEncoded = CSymDataAux::SerializeSymOut(*t.m_pImage, m_encStream);
    char* p = nullptr;
    int n = 0;
    m_encStream.GetBuf(p, n);
    if (!bEncoded || !COutQueue::RecordFits(static_cast<size_t>(n))) {
        // Merged from updates that each fitted, the image may not: it cannot be sent, and the
        // client keeps its place and gets the topic's updates.
        if (!t.m_bImageTooLongLogged) {
            t.m_bImageTooLongLogged = true;
            QRX_LOG_WARNING("qrx-symsrv: the image of " << t.m_strTopic.c_str() << " ("
                                                        << (bEncoded ? n : -1)
                                                        << " bytes) does not fit a message; "
                                                           "not sent");
        }
        return;
    }
    if (!c->m_out.AppendRecord(nSubType, p, static_cast<size_t>(n))) {
        Doom(c, "no memory for its queue");
        return;
    }
    ++c->m_nUpdatesOut;
    // Images are asked for by the client itself, which may never read them.
    if (c->m_out.Pending() > static_cast<size_t>(m_cfg.m_nLimit) &&
        WriteNow(c) > static_cast<size_t>(m_cfg.m_nLimit) && !c->m_bDoomed) {
        DoomOverLimit(c);
        return;
    }
    QueueWrite(c);
}

void CSymServer::SendAllImages(CClientSession* c) {
    if (!m_wire.NoBodyRequest(CM_SYM_DATA)) {
        return;
    }
    // The markers are data messages without a body: sub-types 3 and 4.
    std::string strStart(m_wire.Data(), m_wire.Length());
    strStart[7] = static_cast<char>(SYM_DATA_SNAPSHOT_START);
    std::string strEnd = strStart;
    strEnd[7] = static_cast<char>(SYM_DATA_SNAPSHOT_END);
    SendToClient(c, strStart.data(), strStart.size());
    for (auto& t : m_vecTopics) {
        if (t->m_bCached && !c->m_bDoomed) {
            SendImage(c, *t, SYM_DATA_SNAPSHOT);
        }
    }
    SendToClient(c, strEnd.data(), strEnd.size());
}

void CSymServer::SendToClient(CClientSession* c, const char* p, size_t n) {
    if (c->m_bDoomed) {
        return;
    }
    if (!c->m_out.AppendMsg(p, n)) {
        Doom(c, "no memory for its queue");
        return;
    }
    if (c->m_out.Pending() > static_cast<size_t>(m_cfg.m_nLimit)) {
        DoomOverLimit(c);
        return;
    }
    QueueWrite(c);
}

void CSymServer::DoomOverLimit(CClientSession* c) {
    Doom(c,
         std::to_string(c->m_out.Pending()) + " bytes wait to be written, past the limit of " +
             std::to_string(m_cfg.m_nLimit) + " bytes",
         true);
}

void CSymServer::QueueWrite(CClientSession* c) {
    if (!c->m_bQueued) {
        c->m_bQueued = true;
        m_vecWriteList.push_back(c);
    }
}

void CSymServer::Deliver(CClientSession* c, CTopicEntry& t, short nSubType, const char* p,
                         size_t n) {
    if (c->m_bDoomed) {
        return;
    }
    size_t nPending = c->m_out.Pending();
    if (!c->m_bConflating && nPending > static_cast<size_t>(m_cfg.m_nHighWater)) {
        // What this turn gathered may be on its way already: a client is behind only when
        // its socket does not take it.
        nPending = WriteNow(c);
        if (c->m_bDoomed) {
            return;
        }
    }
    if (!c->m_bConflating && nPending > static_cast<size_t>(m_cfg.m_nHighWater)) {
        c->m_bConflating = true;
        ++c->m_nConflations;
        ++m_nConflations;
        QRX_LOG_WARNING("qrx-symsrv: client "
                        << c->m_nId << " (" << c->m_strUser.c_str()
                        << ") is behind: " << static_cast<unsigned long>(nPending)
                        << " bytes queued, past the high-water mark of " << m_cfg.m_nHighWater
                        << "; conflating its updates");
    }
    if (c->m_bConflating) {
        // Its image is sent once the client drains: intermediate values are all it loses.
        ++c->m_nConflated;
        ++t.m_nConflated;
        ++m_nConflatedUpdates;
        if (t.m_nIndex < c->m_vecFlags.size() && (c->m_vecFlags[t.m_nIndex] & 2) == 0) {
            c->m_vecFlags[t.m_nIndex] |= 2;
            c->m_vecDirty.push_back(t.m_nIndex);
        }
        return;
    }
    if (!c->m_out.AppendRecord(nSubType, p, n)) {
        Doom(c, "no memory for its queue");
        return;
    }
    ++c->m_nUpdatesOut;
    ++t.m_nUpdatesOut;
    t.m_nBytesOut += n;
    ++m_nUpdatesOut;
    if (c->m_out.Pending() > static_cast<size_t>(m_cfg.m_nLimit) &&
        WriteNow(c) > static_cast<size_t>(m_cfg.m_nLimit) && !c->m_bDoomed) {
        DoomOverLimit(c);
        return;
    }
    QueueWrite(c);
}

void CSymServer::SendConflated(CClientSession* c) {
    const size_t nLowWater = static_cast<size_t>(m_cfg.m_nHighWater / 2);
    while (c->m_nDirtyHead < c->m_vecDirty.size() && c->m_out.Pending() <= nLowWater) {
        const uint32_t nTopic = c->m_vecDirty[c->m_nDirtyHead++];
        c->m_vecFlags[nTopic] &= static_cast<uint8_t>(~2u);
        CTopicEntry& t = *m_vecTopics[nTopic];
        if ((c->IsSubscribed(nTopic) || c->m_bAll) && t.m_bCached) {
            SendImage(c, t, SYM_DATA_UPDATE);
        }
    }
    if (c->m_nDirtyHead == c->m_vecDirty.size()) {
        c->m_vecDirty.clear();
        c->m_nDirtyHead = 0;
        if (c->m_out.Pending() <= nLowWater) {
            c->m_bConflating = false;
            QRX_LOG_INFO("qrx-symsrv: client " << c->m_nId << " caught up; conflation ended");
        }
    }
}

size_t CSymServer::WriteNow(CClientSession* c) {
    bool bWrote = false;
    while (!c->m_out.Empty()) {
        const char* p = c->m_out.Front();
        const ssize_t n = send(c->m_nFd, p, c->m_out.Pending(), MSG_NOSIGNAL);
        if (n > 0) {
            c->m_out.Consume(static_cast<size_t>(n));
            c->m_nBytesOut += static_cast<uint64_t>(n);
            bWrote = true;
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        }
        Doom(c, std::string("writing failed: ") + strerror(errno));
        return 0;
    }
    if (bWrote || c->m_out.Empty()) {
        c->m_tProgress = Now();
    }
    return c->m_out.Pending();
}

void CSymServer::WriteClient(CClientSession* c) {
    for (int nRound = 0; nRound < 4; ++nRound) {
        WriteNow(c);
        if (c->m_bDoomed) {
            return;
        }
        if (!c->m_bConflating || c->m_out.Pending() > static_cast<size_t>(m_cfg.m_nHighWater / 2)) {
            break;
        }
        SendConflated(c);
        if (c->m_bDoomed) {
            return;
        }
    }
    if (c->m_out.Empty() && c->m_bCloseWhenSent) {
        Doom(c, "its logon was refused");
        return;
    }
    SetEvents(c, c->m_out.Empty() ? EPOLLIN : (EPOLLIN | EPOLLOUT));
}

void CSymServer::Doom(CClientSession* c, const std::string& strWhy, bool bDropped) {
    if (c->m_bDoomed) {
        return;
    }
    c->m_bDoomed = true;
    if (bDropped) {
        ++m_nClientsDropped;
        QRX_LOG_ERROR("qrx-symsrv: client " << c->m_nId << " (" << c->m_strUser.c_str() << " from "
                                            << c->m_strPeer.c_str()
                                            << ") dropped: " << strWhy.c_str());
    } else {
        QRX_LOG_INFO("qrx-symsrv: client " << c->m_nId << " closed: " << strWhy.c_str());
    }
    m_vecDoomed.push_back(c);
}

void CSymServer::CloseClient(CClientSession* c) {
    for (uint32_t i = 0; i < c->m_vecFlags.size(); ++i) {
        if (c->IsSubscribed(i)) {
            Unsubscribe(c, m_vecTopics[i]->m_strTopic.c_str());
        }
    }
    UnsubscribeAll(c);
    ForgetCommandId(c);
    if (c->m_bInputWaits) {
        m_vecInputWaits.erase(std::find(m_vecInputWaits.begin(), m_vecInputWaits.end(), c));
    }
    SetEvents(c, 0);
    close(c->m_nFd);
    m_vecClients.erase(std::find(m_vecClients.begin(), m_vecClients.end(), c));
    delete c;
}
