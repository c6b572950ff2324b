// CSymProxy session: listening and accepting, reading the client's requests and handing them
// to the callbacks, commands in parts, the logon answer, heartbeats and responses.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "qrx/marketdata/sym_data_aux.h"
#include "qrx/proxy/sym_proxy.h"
#include "qrx/runtime/mono_clock.h"
#include "qrx/runtime/stdio_logger.h"
#include "qrx/wire/command_serialization.h"
#include "qrx/wire/response.h"
#include "qrx/wire/session_msgs.h"
#include "qrx/wire/sym_msgs.h"

namespace {

constexpr int kListenBacklog = 2;
constexpr int kStreamForm = 5;
constexpr int kPollMs = 1000;
constexpr int kHeartBeatBufLen = 144;
constexpr char kHeartBeatText[] = "Heart Beat Message.";

int BodyLen(const MsgHdrSym* pSym) {
    return pSym->msglen > MsgHdrSym::BODY_OFFSET ? pSym->msglen - MsgHdrSym::BODY_OFFSET : 0;
}

// A topic field of the request, NUL-terminated within its 128 bytes (and within the body).
void CopyTopic(const char* pField, int nAvail, char (&szTopic)[SYM_TOPIC_LEN]) {
    const size_t nMax =
        nAvail <= 0 ? 0
                    : (nAvail < SYM_TOPIC_LEN ? static_cast<size_t>(nAvail) : SYM_TOPIC_LEN - 1);
    const size_t nLen = strnlen(pField, nMax);
    memcpy(szTopic, pField, nLen);
    szTopic[nLen] = '\0';
}

// A text field of a fixed-size record, NUL-terminated.
template <size_t N>
void CopyField(const char (&field)[N], char (&out)[N + 1]) {
    const size_t nLen = strnlen(field, N);
    memcpy(out, field, nLen);
    out[nLen] = '\0';
}

}  // namespace

// ---- listening and accepting ----

bool CSymProxy::Rebind() {
    if (m_pBindConn == nullptr) {
        return false;
    }
    if (m_pBindConn->GetFd() >= 0) {
        return true;  // listening already: a second socket on the port would fail and leak
    }
    if (m_pBindConn->Bind(kListenBacklog) < 0) {
        return false;
    }
    if (m_bNoDelayAccept) {
        m_pBindConn->SetNoDelay();
    }
    return true;
}

bool CSymProxy::Bind(bool bBlock) {
    if (!Rebind()) {
        return false;
    }
    return bBlock ? WaitForClient() : true;
}

void CSymProxy::DropClient(bool bShutdown, bool bNotify) {
    CAppConn* pConn = m_pConn;
    if (pConn == nullptr) {
        return;
    }
    // Detached first: the callback sees no client and may call CloseClient safely.
    m_pConn = nullptr;
    m_bClientSilent = false;
    m_strClientUser.clear();
    ++m_nClientGeneration;
    pConn->Close(bShutdown);
    delete pConn;
    if (bNotify) {
        OnUnsubscribe(nullptr);
    }
}

void CSymProxy::NotifyClientLost() {
    OnUnsubscribe(nullptr);
    Rebind();
}

bool CSymProxy::CloseClient() {
    if (m_pConn == nullptr) {
        return true;
    }
    DropClient(true, true);
    return Rebind();
}

bool CSymProxy::CheckSocket(fd_set& readF) {
    const int fd = GetFd();
    const bool bReadable = fd >= 0 && fd < FD_SETSIZE && FD_ISSET(fd, &readF);
    return CheckSocketReady(bReadable);
}

bool CSymProxy::CheckSocketReady(bool bReadable) {
    if (m_pConn != nullptr) {
        if (m_pConn->GetFd() < 0) {
            DropClient(false, true);
            Rebind();
            return false;
        }
        if (!bReadable || Dispatch()) {
            // After reading: a client whose first message has just come stays.
            if (m_bClientSilent && DropSilentClient()) {
                return false;
            }
            SendHeartBeat();
            // Output that waits leaves as soon as the socket takes it (ticks the write delay
            // left listed first), and topics conflated meanwhile follow it once the client has
            // caught up.
            PublishDeferred();
            WriteMsgs(nullptr, 0);
            SendConflated();
            return true;
        }
        // The connection failed while reading (or a request dropped it).
        DropClient(false, true);
        Rebind();
        return false;
    }
    if (m_pBindConn == nullptr || m_pBindConn->GetFd() < 0) {
        return false;
    }
    if (!bReadable) {
        return true;
    }
    // A new client starts from nothing: no subscriptions, no pending output, no command parts.
    if (m_pSubscriptions != nullptr) {
        m_pSubscriptions->clear();
    }
    ReleasePending();
    ForgetConflation();
    // Responses not flushed yet answer the commands of the client that left.
    if (m_pPools != nullptr) {
        m_bNewResponse = false;
        if (m_pResponseMsgQ != nullptr) {
            m_pResponseMsgQ->Pop(m_vecResponseMsgBuf);
        }
        m_pPools->m_MsgBufPool.Release(m_vecResponseMsgBuf.data(),
                                       static_cast<int>(m_vecResponseMsgBuf.size()));
        m_vecResponseMsgBuf.clear();
    }
    ForgetAllCommands();
    const int fd = m_pBindConn->Accept();
    if (fd < 0) {
        if (errno == EMFILE || errno == ENFILE) {
            ShedConnection();
        }
        return false;
    }
    CAppConn* pConn = new (std::nothrow)
        CAppConn("SYM-CONN", CAppConn::SOCKET_UNSPEC, nullptr, nullptr, 0, nullptr);
    if (pConn == nullptr) {
        close(fd);
        return false;
    }
    pConn->SetFd(fd);
    pConn->m_is_stream = kStreamForm;
    m_pConn = pConn;
    m_bClientSilent = true;
    m_nSilentUntilNs =
        mono_clock::NowNs() + static_cast<long long>(m_nFirstRequestTimeoutMs) * 1000000LL;
    // One client at a time: nobody else can connect until this one is gone.
    m_pBindConn->Close(false);
    return true;
}

bool CSymProxy::DropSilentClient() {
    if (m_pConn == nullptr || !m_bClientSilent || m_nFirstRequestTimeoutMs <= 0 ||
        mono_clock::NowNs() < m_nSilentUntilNs) {
        return false;
    }
    QRX_LOG_ERROR("CSymProxy::Client sent nothing within " << m_nFirstRequestTimeoutMs
                                                           << " ms of connecting; dropped");
    DropClient(true, true);
    Rebind();
    return true;
}

void CSymProxy::ShedConnection() {
    // Left in the listening socket's queue, the connection would make every select return at
    // once, and the loop would spin (and log each failed accept) until a descriptor came free.
    if (!m_SpareFd.Held() || m_pBindConn == nullptr || m_pBindConn->GetFd() < 0) {
        return;
    }
    pollfd pfd = {m_pBindConn->GetFd(), POLLIN, 0};
    if (poll(&pfd, 1, 0) != 1) {
        return;  // gone meanwhile: an accept on a blocking socket would wait for the next one
    }
    m_SpareFd.Shed(m_pBindConn->GetFd(), [](int) {
        QRX_LOG_ERROR("CSymProxy::No descriptor left for a new client; its connection was closed");
    });
}

bool CSymProxy::WaitForClient() {
    if (m_pBindConn == nullptr || m_pBindConn->GetFd() < 0) {
        return false;
    }
    m_bRun = true;
    while (m_bRun) {
        if (m_pConn != nullptr) {
            break;
        }
        pollfd pfd = {m_pBindConn->GetFd(), POLLIN, 0};
        const int nReady = poll(&pfd, 1, kPollMs);
        if (nReady < 0) {
            if (errno == EINTR) {
                continue;
            }
            perror("select");
            return false;  // a descriptor that cannot be waited on would spin here
        }
        if (nReady > 0 && CheckSocketReady(true)) {
            break;
        }
    }
    return m_bRun;
}

void CSymProxy::Loop() {
    for (;;) {
        const int fd = GetFd();
        if (fd < 0) {
            return;
        }
        pollfd pfd = {fd, static_cast<short>(POLLIN | (WantsWrite() ? POLLOUT : 0)), 0};
        const int nReady = poll(&pfd, 1, kPollMs);
        if (nReady < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (!CheckSocketReady(nReady > 0 && (pfd.revents & ~POLLOUT) != 0)) {
            fputs("Lost client socket connection. Will start binding again\n", stderr);
        }
    }
}

// ---- requests ----

bool CSymProxy::Dispatch() {
    if (m_pConn == nullptr || m_pConn->GetFd() < 0) {
        return false;
    }
    if (m_bDispatching) {
        return true;  // called from a callback: the outer loop reads on
    }
    m_bDispatching = true;
    const unsigned long nGeneration = m_nClientGeneration;
    bool bOk = true;
    // The socket is read once per call (a read happens only when no complete request is
    // left), and one read takes at most CAppConn::MAX_READ_PER_CALL bytes: a fast client
    // cannot keep the call going, and what it sent beyond that stays in the socket, where the
    // caller's next select sees it.
    for (;;) {
        char* pMsg = nullptr;
        if (m_pConn->ReadCmsgNoblok(pMsg) != 0) {
            bOk = false;
            break;
        }
        if (pMsg == nullptr) {
            break;
        }
        m_bClientSilent = false;
        MsgHdrCmn* pHdr = reinterpret_cast<MsgHdrCmn*>(pMsg);
        if (pHdr->hdr_typ == MsgHdrSym::HDR_TYPE &&
            !HandleClientRequest(reinterpret_cast<MsgHdrSym*>(pHdr))) {
            bOk = false;
            break;
        }
        if (nGeneration != m_nClientGeneration) {
            bOk = false;  // the client was dropped while its request was handled
            break;
        }
    }
    m_bDispatching = false;
    return bOk;
}

void CSymProxy::HandleSubscribe(const char* szTopic) {
    const unsigned long nGeneration = m_nClientGeneration;
    m_pSubscriptions->insert(szTopic);
    SendSnapshot(szTopic);
    if (nGeneration != m_nClientGeneration) {
        return;  // the client went away while its snapshot was written; it has been told
    }
    OnSubscribe(ConvertKo2Feed(szTopic));
}

void CSymProxy::HandleUnsubscribe(const char* szTopic) {
    m_pSubscriptions->erase(szTopic);
    OnUnsubscribe(ConvertKo2Feed(szTopic));
}

bool CSymProxy::HandleClientRequest(MsgHdrSym* pSym) {
    if (pSym == nullptr || m_pSubscriptions == nullptr) {
        return true;
    }
    const char* pBody = MsgBody(pSym);
    const int nBody = BodyLen(pSym);
    char szTopic[SYM_TOPIC_LEN];
    switch (pSym->mtyp) {
        case CM_SYM_SUBSCRIBE:
            CopyTopic(pBody, nBody, szTopic);
            if (szTopic[0] != '\0') {
                HandleSubscribe(szTopic);
            }
            return true;
        case CM_SYM_UNSUBSCRIBE:
            CopyTopic(pBody, nBody, szTopic);
            HandleUnsubscribe(szTopic);
            return true;
        case CM_SYM_SUBSCRIBE_ALL:
            HandleSubscribe("");
            return true;
        case CM_SYM_UNSUBSCRIBE_ALL:
            HandleUnsubscribe("");
            return true;
        case CM_SYM_SNAPSHOT:
            CopyTopic(pBody, nBody, szTopic);
            SendSnapshot(szTopic);
            return true;
        case CM_SYM_SNAPSHOT_ALL:
            SendSnapshot("");
            return true;
        case CM_SYM_SUBSCRIBE_LIST:
        case CM_SYM_UNSUBSCRIBE_LIST: {
            int32_t nCount = 0;
            if (nBody >= static_cast<int>(sizeof(nCount))) {
                memcpy(&nCount, pBody, sizeof(nCount));
            }
            // No more topics than the list and the message hold.
            const int nFit = (nBody - static_cast<int>(sizeof(nCount))) / SYM_TOPIC_LEN;
            if (nCount > SYM_MAX_LIST_TOPICS) {
                nCount = SYM_MAX_LIST_TOPICS;
            }
            if (nCount > nFit) {
                nCount = nFit;
            }
            const unsigned long nGeneration = m_nClientGeneration;
            for (int i = 0; i < nCount && nGeneration == m_nClientGeneration; ++i) {
                CopyTopic(pBody + sizeof(nCount) + static_cast<size_t>(i) * SYM_TOPIC_LEN,
                          SYM_TOPIC_LEN, szTopic);
                if (pSym->mtyp == CM_SYM_UNSUBSCRIBE_LIST) {
                    HandleUnsubscribe(szTopic);
                } else if (szTopic[0] != '\0') {
                    HandleSubscribe(szTopic);
                } else {
                    // The empty string would subscribe the client to every topic.
                    QRX_LOG_WARNING("CSymProxy::Empty topic in a subscribe list ignored");
                }
            }
            return true;
        }
        case CM_SYM_COMMAND:
            HandleCommand(pSym);
            return true;
        case CM_SYM_SUBSCRIBE_SIZE:
            HandleSizes(pSym, true);
            return true;
        case CM_SYM_UNSUBSCRIBE_SIZE:
            HandleSizes(pSym, false);
            return true;
        case CM_LOGIN:
            return HandleLogon(pSym);
        default:
            QRX_LOG_ERROR("CSymProxy"
                          << ":" << 570 << " Unhandled Msg " << pSym->hdr_typ << " " << pSym->mtyp
                          << " " << pSym->submtyp);
            return true;
    }
}

void CSymProxy::HandleSizes(MsgHdrSym* pSym, bool bSubscribe) {
    stTopicInfoSize info;
    memset(&info, 0, sizeof(info));
    const int nBody = BodyLen(pSym);
    memcpy(&info, MsgBody(pSym),
           nBody < static_cast<int>(sizeof(info)) ? static_cast<size_t>(nBody) : sizeof(info));
    char szTopic[SYM_TOPIC_LEN];
    CopyTopic(info.m_szTopic, SYM_TOPIC_LEN, szTopic);
    if (bSubscribe && szTopic[0] == '\0') {
        return;
    }
    if (info.m_nNearSize <= 0) {
        // No key can be built, and the empty one would stand for every topic.
        QRX_LOG_WARNING("CSymProxy::Ignoring " << (bSubscribe ? "subscription" : "unsubscription")
                                               << " with sizes for " << szTopic << ": near size "
                                               << info.m_nNearSize);
        return;
    }
    const char* szFeed = ConvertKo2Feed(szTopic);
    char szKey[SYM_TOPIC_LEN];
    if (!CSymDataAux::CreateSizesTopic(szFeed, info.m_nNearSize, info.m_nFarSize, szKey,
                                       sizeof(szKey))) {
        return;
    }
    if (bSubscribe) {
        if (!m_pSubscriptions->HasSymsWithSizes()) {
            QRX_LOG_INFO("Subscriptions has been set to "
                         << "contain"
                         << " symbols with sizes.");
            m_pSubscriptions->EnableSubsWithSizes(true);
        }
        m_pSubscriptions->insert(szKey);
        OnSubscribeWithSize(szFeed, info.m_nNearSize, info.m_nFarSize, info.m_nReqID);
    } else {
        m_pSubscriptions->erase(szKey);
        OnUnsubscribeWithSize(szFeed, info.m_nNearSize, info.m_nFarSize, info.m_nReqID);
    }
}

bool CSymProxy::HandleLogon(MsgHdrSym* pSym) {
    stLogin login;
    memset(&login, 0, sizeof(login));
    const int nBody = BodyLen(pSym);
    memcpy(&login, MsgBody(pSym),
           nBody < static_cast<int>(sizeof(login)) ? static_cast<size_t>(nBody) : sizeof(login));
    char szUser[sizeof(login.username) + 1];
    char szPassword[sizeof(login.password) + 1];
    CopyField(login.username, szUser);
    CopyField(login.password, szPassword);
    const bool bAccepted = OnLogon(szUser, szPassword);
    // The password never reaches the log.
    QRX_LOG_INFO("Received login request from:" << szUser << " "
                                                << "********");
    SendLoginResp(bAccepted);
    if (!bAccepted) {
        CloseClient();
        return false;
    }
    try {
        m_strClientUser = szUser;
    } catch (...) {
        m_strClientUser.clear();  // only for introspection
    }
    return true;
}

// ---- commands ----

void CSymProxy::ForgetCommand(unsigned int nId) {
    const auto intake = m_CommandAge.find(nId);
    if (intake != m_CommandAge.end()) {
        if (!intake->second.bDropped) {
            m_nCommandBytes -= intake->second.nBytes;
        }
        m_CommandAge.erase(intake);
    }
    m_Commands.erase(nId);
}

void CSymProxy::ForgetAllCommands() {
    m_Commands.clear();
    m_CommandAge.clear();
    m_nCommandBytes = 0;
}

void CSymProxy::DropCommand(unsigned int nId, CommandIntake& intake) {
    if (!intake.bDropped) {
        m_nCommandBytes -= intake.nBytes;
        intake.bDropped = true;
    }
    m_Commands.erase(nId);
}

void CSymProxy::BoundHeldCommands(unsigned int nKeep) {
    // A client that starts commands and never finishes them cannot make the proxy hold more
    // than this, however many it starts: the parts it sends replace the oldest.
    while (m_nCommandBytes > CommandIntake::kMaxHeldBytes) {
        auto oldest = m_CommandAge.end();
        for (auto it = m_CommandAge.begin(); it != m_CommandAge.end(); ++it) {
            if (it->first != nKeep && !it->second.bDropped &&
                (oldest == m_CommandAge.end() || it->second.nSeq < oldest->second.nSeq)) {
                oldest = it;
            }
        }
        if (oldest == m_CommandAge.end()) {
            return;
        }
        QRX_LOG_ERROR("CSymProxy::Command " << oldest->first
                                            << " dropped: unfinished commands hold more than "
                                            << CommandIntake::kMaxHeldBytes << " bytes");
        DropCommand(oldest->first, oldest->second);
    }
}

void CSymProxy::StoreCommand(const CCommand& command) {
    const unsigned int nId = command.GetCmdId();
    try {
        if (m_CommandAge.find(nId) == m_CommandAge.end() &&
            static_cast<int>(m_CommandAge.size()) >= kMaxIncompleteCommands) {
            // A client cannot grow the parts it never finishes without bound.
            auto oldest = m_CommandAge.begin();
            for (auto it = m_CommandAge.begin(); it != m_CommandAge.end(); ++it) {
                if (it->second.nSeq < oldest->second.nSeq) {
                    oldest = it;
                }
            }
            if (oldest != m_CommandAge.end()) {
                QRX_LOG_ERROR("CSymProxy::Too many incomplete commands, dropping command "
                              << oldest->first);
                ForgetCommand(oldest->first);
            }
        }
        m_Commands[nId] = command;
        CommandIntake& intake = m_CommandAge[nId];
        if (!intake.bDropped) {
            m_nCommandBytes -= intake.nBytes;  // a command of the same id starts anew
        }
        intake = CommandIntake();
        intake.nSeq = ++m_nCommandSeq;
        intake.nParts = 1;
    } catch (...) {
        QRX_LOG_ERROR("CSymProxy::No memory to keep command " << nId << "; dropped");
        ForgetCommand(nId);
    }
}

void CSymProxy::HandleCommand(MsgHdrSym* pSym) {
    CCommand command;
    const int nBody = BodyLen(pSym);
    CNetStream in(MsgBody(pSym), nBody, false);
    in >> command;
    const unsigned int nId = command.GetCmdId();
    switch (pSym->submtyp) {
        case SYM_CMD_WHOLE:
            fputs("Received command full\n", stdout);
            OnCommand(&command);
            break;
        case SYM_CMD_FIRST:
        case SYM_CMD_MIDDLE:
        case SYM_CMD_LAST: {
            const auto intake = m_CommandAge.find(nId);
            if (pSym->submtyp == SYM_CMD_FIRST ||
                (pSym->submtyp == SYM_CMD_MIDDLE && intake == m_CommandAge.end())) {
                StoreCommand(command);
                const auto stored = m_CommandAge.find(nId);
                if (stored != m_CommandAge.end()) {
                    stored->second.nBytes = static_cast<size_t>(nBody);
                    m_nCommandBytes += static_cast<size_t>(nBody);
                    BoundHeldCommands(nId);
                }
                break;
            }
            if (intake == m_CommandAge.end()) {
                OnCommand(&command);  // a last part without the earlier ones
                break;
            }
            const auto it = m_Commands.find(nId);
            CommandIntake& counts = intake->second;
            if (!counts.bDropped) {
                ++counts.nParts;
                counts.nBytes += static_cast<size_t>(nBody);
                m_nCommandBytes += static_cast<size_t>(nBody);
                if (counts.nParts > CommandIntake::kMaxParts ||
                    counts.nBytes > CommandIntake::kMaxBytes || it == m_Commands.end()) {
                    QRX_LOG_ERROR("CSymProxy::Command "
                                  << nId << " dropped: more than " << CommandIntake::kMaxParts
                                  << " parts or " << CommandIntake::kMaxBytes << " bytes ("
                                  << counts.nParts << " parts, " << counts.nBytes
                                  << " bytes so far)");
                    DropCommand(nId, counts);
                }
            }
            if (counts.bDropped) {
                if (pSym->submtyp == SYM_CMD_LAST) {
                    ForgetCommand(nId);  // the dropped command is over
                }
                break;
            }
            it->second.Merge(command);
            if (pSym->submtyp == SYM_CMD_MIDDLE) {
                BoundHeldCommands(nId);
                break;
            }
            // Out of the map before the callback, which may well send more commands' answers.
            CCommand whole(std::move(it->second));
            ForgetCommand(nId);
            OnCommand(&whole);
            break;
        }
        default:
            break;
    }
}

// ---- control messages ----

bool CSymProxy::SendControlMsg(CGrowingBuffer* pBuf) {
    const bool bWritten = WriteMsgs(&pBuf, 1) == 1;
    m_pPools->m_MsgBufPool.Release(pBuf);
    return bWritten;
}

bool CSymProxy::SendLoginResp(bool bSuccess) {
    if (!HasClient() || m_pPools == nullptr) {
        return false;
    }
    CGrowingBuffer* pBuf = m_pPools->m_MsgBufPool.Get();
    if (pBuf == nullptr) {
        return false;
    }
    char* p = pBuf->GetBuffer(16);
    memset(p, 0, 16);
    MsgHdrSym* pHdr = reinterpret_cast<MsgHdrSym*>(p);
    pHdr->hdr_typ = MsgHdrSym::HDR_TYPE;
    pHdr->mtyp = CM_SYM_STATUS;
    pHdr->submtyp = bSuccess ? SYM_STATUS_LOGIN_ACCEPTED : SYM_STATUS_LOGIN_REFUSED;
    pHdr->msglen = MsgHdrSym::BODY_OFFSET;  // the header alone
    pBuf->SetLength(MsgHdrSym::BODY_OFFSET);
    return SendControlMsg(pBuf);
}

bool CSymProxy::SendHeartBeat() {
    if (!HasClient() || m_pPools == nullptr) {
        return false;
    }
    const time_t now = time(nullptr);
    if (now - m_LastHBTime < kHeartBeatSecs) {
        return false;
    }
    CGrowingBuffer* pBuf = m_pPools->m_MsgBufPool.Get();
    if (pBuf == nullptr) {
        return false;
    }
    char* p = pBuf->GetBuffer(kHeartBeatBufLen);
    memset(p, 0, kHeartBeatBufLen);
    MsgHdrSym* pHdr = reinterpret_cast<MsgHdrSym*>(p);
    pHdr->mtyp = CM_SYM_HEARTBEAT_NOTICE;
    pHdr->submtyp = SYM_HEARTBEAT_NOTICE;
    memcpy(MsgBody(pHdr), kHeartBeatText, sizeof(kHeartBeatText));
    SetMsgLen(pHdr, static_cast<int>(sizeof(kHeartBeatText)));
    pBuf->SetLength(pHdr->msglen);
    QRX_LOG_INFO("Sending Heart Beat.");
    m_LastHBTime = now;
    return SendControlMsg(pBuf);
}

bool CSymProxy::SendResponse(CResponse* pResponse) {
    if (pResponse == nullptr || m_pPools == nullptr) {
        QRX_LOG_ERROR("No message is serialized!");
        return false;
    }
    if (!m_bQueue) {
        // Ticks flushed before go first, as they would without a write delay; in queued mode
        // what the delay keeps is encoded already and written ahead of the responses anyway.
        PublishDeferred();
    }
    MsgHdrSym hdr;
    memset(&hdr, 0, sizeof(hdr));
    hdr.hdr_typ = MsgHdrSym::HDR_TYPE;
    hdr.mtyp = CM_SYM_RESPONSE;
    CCommandSerializationState state;
    int nMsgs = 0;
    while (!state.m_bDone) {
        CGrowingBuffer* pBuf = m_pPools->m_MsgBufPool.Get();
        if (pBuf == nullptr) {
            QRX_LOG_ERROR("CSymProxy::SendResponse no message buffer; response cut short");
            break;
        }
        pBuf->Reset();
        pBuf->Append(reinterpret_cast<const char*>(&hdr), MsgHdrSym::BODY_OFFSET);
        const short nParams = pResponse->SerializeOut(*pBuf, state);
        if (nParams <= 0 && !state.m_bDone) {
            m_pPools->m_MsgBufPool.Release(pBuf);  // a parameter too big for any part was dropped
            continue;
        }
        ++nMsgs;
        MsgHdrSym* pHdr = reinterpret_cast<MsgHdrSym*>(pBuf->GetData());
        SetMsgLen(pHdr, static_cast<int>(state.m_nSerializedMsgLen));
        pHdr->submtyp = CommandPartSubType(true, nMsgs == 1, state.m_bDone);
        if (m_bQueue) {
            if (!m_pResponseMsgQ->Push(pBuf, true)) {
                QRX_LOG_ERROR("CSymProxy::SendResponse could not queue a response message");
                m_pPools->m_MsgBufPool.Release(pBuf);
            }
        } else {
            try {
                m_vecResponseMsgBuf.push_back(pBuf);
            } catch (...) {
                QRX_LOG_ERROR("CSymProxy::SendResponse no memory to keep a response message");
                m_pPools->m_MsgBufPool.Release(pBuf);
            }
        }
        // Set after the message is queued, so that the flush that clears it finds the message.
        m_bNewResponse = true;
    }
    if (m_bQueue && nMsgs > 0) {
        m_pSymDataQ->Notify();  // wakes the thread that waits on GetQFd() to flush
    }
    if (nMsgs > 1) {
        QRX_LOG_INFO("Splitted Response to " << nMsgs << " messages.");
        return true;
    }
    if (nMsgs == 1) {
        return true;
    }
    QRX_LOG_ERROR("No message is serialized!");
    return false;
}
