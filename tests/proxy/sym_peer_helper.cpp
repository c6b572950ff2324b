#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "proxy/sym_peer.h"
#include "qrx/marketdata/sym_data_aux.h"
#include "qrx/runtime/growing_buffer.h"
#include "qrx/wire/command_serialization.h"
#include "qrx/wire/msg_hdr_stream.h"
#include "qrx/wire/session_msgs.h"
#include "qrx/wire/sym_msgs.h"

namespace proxytest {

namespace {

int Be16(const std::vector<uint8_t>& b, size_t off) {
    return (b[off] << 8) | b[off + 1];
}

// Message memory of the size a connection provides.
struct MsgMem {
    std::vector<double> mem = std::vector<double>(MSG_MEM_LEN / sizeof(double));
    MsgHdrSym* Sym(short mtyp, short sub) {
        std::fill(mem.begin(), mem.end(), 0.0);
        MsgHdrSym* p = reinterpret_cast<MsgHdrSym*>(mem.data());
        p->hdr_typ = MsgHdrSym::HDR_TYPE;
        p->mtyp = mtyp;
        p->submtyp = sub;
        return p;
    }
};

bool HasText(short mtyp, short sub) {
    return (mtyp == CM_SYM_DATA && (sub == SYM_DATA_UPDATE || sub == SYM_DATA_SNAPSHOT)) ||
           mtyp == CM_SYM_STATUS || mtyp == CM_SYM_HEARTBEAT_NOTICE || mtyp == CM_SYM_RESPONSE;
}

}  // namespace

SymPeer::~SymPeer() {
    Close();
}

bool SymPeer::Connect(int port, int nRcvBuf) {
    m_fd = socket(AF_INET, SOCK_STREAM, 0);
    if (m_fd < 0) {
        return false;
    }
    if (nRcvBuf > 0) {
        setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &nRcvBuf, sizeof nRcvBuf);
    }
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(m_fd);
        m_fd = -1;
        return false;
    }
    m_reader = std::thread([this] { ReadLoop(); });
    return true;
}

bool SymPeer::ConnectUnix(const std::string& path) {
    m_fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
    if (m_fd < 0 || connect(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        if (m_fd >= 0) {
            close(m_fd);
        }
        m_fd = -1;
        return false;
    }
    m_reader = std::thread([this] { ReadLoop(); });
    return true;
}

void SymPeer::Close() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bStop = true;
    }
    if (m_reader.joinable()) {
        m_reader.join();
    }
    if (m_fd >= 0) {
        close(m_fd);
        m_fd = -1;
    }
}

void SymPeer::Pause(bool bPause) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bPaused = bPause;
}

void SymPeer::ReadLoop() {
    std::vector<uint8_t> buf;
    char chunk[65536];
    for (;;) {
        bool bPaused;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_bStop) {
                return;
            }
            bPaused = m_bPaused;
        }
        if (bPaused) {
            usleep(5000);
            continue;
        }
        pollfd pfd = {m_fd, POLLIN, 0};
        if (poll(&pfd, 1, 20) <= 0) {
            continue;
        }
        const ssize_t n = read(m_fd, chunk, sizeof chunk);
        if (n <= 0) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bClosed = true;
            m_cv.notify_all();
            return;
        }
        buf.insert(buf.end(), chunk, chunk + n);
        size_t off = 0;
        std::vector<PeerMsg> framed;
        while (buf.size() - off >= 8) {
            const int len = (buf[off] << 8) | buf[off + 1];
            if (len < 8 || buf.size() - off < static_cast<size_t>(len)) {
                break;
            }
            PeerMsg m;
            m.wire.assign(buf.begin() + off, buf.begin() + off + len);
            m.len = len;
            m.hdr = static_cast<short>(Be16(m.wire, 2));
            m.mtyp = static_cast<short>(Be16(m.wire, 4));
            m.sub = static_cast<short>(Be16(m.wire, 6));
            if (HasText(m.mtyp, m.sub) && len >= 10) {
                const int tlen = Be16(m.wire, 8);
                if (10 + tlen <= len) {
                    m.text.assign(reinterpret_cast<const char*>(m.wire.data()) + 10, tlen);
                }
            }
            framed.push_back(std::move(m));
            off += static_cast<size_t>(len);
        }
        buf.erase(buf.begin(), buf.begin() + off);
        if (!framed.empty()) {
            std::lock_guard<std::mutex> lock(m_mutex);
            for (auto& m : framed) {
                m_msgs.push_back(std::move(m));
            }
            m_cv.notify_all();
        }
    }
}

bool SymPeer::SendBytes(const std::vector<char>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(m_fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool SymPeer::SendSym(void* pMsg) {
    CMsgHdrStream out(true, 1024, 1024);
    out.SerializeSym(static_cast<MsgHdrSym*>(pMsg));
    char* p = nullptr;
    int n = 0;
    out.GetBuf(p, n);
    return SendBytes(std::vector<char>(p, p + n));
}

bool SymPeer::SendLogin(const char* user, const char* password) {
    MsgMem mem;
    MsgHdrSym* p = mem.Sym(CM_LOGIN, CM_LOGIN);
    stLogin* login = reinterpret_cast<stLogin*>(MsgBody(p));
    // Full-width names travel without a NUL, as the record allows.
    memcpy(login->username, user, std::min(strlen(user), sizeof(login->username)));
    memcpy(login->password, password, std::min(strlen(password), sizeof(login->password)));
    SetMsgLen(p, sizeof(stLogin));
    return SendSym(p);
}

bool SymPeer::SendTopicMsg(short mtyp, const char* topic) {
    MsgMem mem;
    MsgHdrSym* p = mem.Sym(mtyp, 0);
    strncpy(MsgBody(p), topic, SYM_TOPIC_LEN - 1);
    SetMsgLen(p, SYM_TOPIC_LEN);
    return SendSym(p);
}

bool SymPeer::SendBare(short mtyp, short sub) {
    MsgMem mem;
    MsgHdrSym* p = mem.Sym(mtyp, sub);
    SetMsgLen(p, 0);
    return SendSym(p);
}

bool SymPeer::SendList(short mtyp, const std::vector<std::string>& topics) {
    MsgMem mem;
    MsgHdrSym* p = mem.Sym(mtyp, 0);
    stTopicList* list = reinterpret_cast<stTopicList*>(MsgBody(p));
    list->m_nCount = static_cast<int32_t>(topics.size());
    for (size_t i = 0; i < topics.size(); ++i) {
        strncpy(list->m_szTopics[i], topics[i].c_str(), SYM_TOPIC_LEN - 1);
    }
    SetMsgLen(p, stTopicList::BodyLen(list->m_nCount));
    return SendSym(p);
}

bool SymPeer::SendSizes(short mtyp, const char* topic, int nNear, int nFar, int nReqId) {
    MsgMem mem;
    MsgHdrSym* p = mem.Sym(mtyp, 0);
    stTopicInfoSize* info = reinterpret_cast<stTopicInfoSize*>(MsgBody(p));
    strncpy(info->m_szTopic, topic, SYM_TOPIC_LEN - 1);
    info->m_nNearSize = nNear;
    info->m_nFarSize = nFar;
    info->m_nReqID = nReqId;
    SetMsgLen(p, sizeof(stTopicInfoSize));
    return SendSym(p);
}

bool SymPeer::SendCommandPart(const char* body, int len, short sub) {
    MsgMem mem;
    MsgHdrSym* p = mem.Sym(CM_SYM_COMMAND, sub);
    memcpy(MsgBody(p), body, static_cast<size_t>(len));
    SetMsgLen(p, len);
    return SendSym(p);
}

int SymPeer::SendCommand(const CCommand& cmd) {
    CCommandSerializationState state;
    CGrowingBuffer part;
    int nParts = 0;
    while (!state.m_bDone) {
        part.Reset();
        if (cmd.SerializeOut(part, state) == 0 && !state.m_bDone) {
            continue;
        }
        const short sub = CommandPartSubType(false, nParts == 0, state.m_bDone);
        if (!SendCommandPart(part.GetData(), part.GetLength(), sub)) {
            return -1;
        }
        ++nParts;
    }
    return nParts;
}

bool SymPeer::WaitFor(const std::function<bool(const std::vector<PeerMsg>&)>& pred, int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return pred(m_msgs); });
}

std::vector<PeerMsg> SymPeer::WaitData(size_t n, int timeoutMs) {
    auto data = [](const std::vector<PeerMsg>& msgs) {
        std::vector<PeerMsg> out;
        for (const auto& m : msgs) {
            if (m.mtyp != CM_SYM_HEARTBEAT_NOTICE && m.mtyp != CM_SYM_STATUS) {
                out.push_back(m);
            }
        }
        return out;
    };
    WaitFor([&](const std::vector<PeerMsg>& msgs) { return data(msgs).size() >= n; }, timeoutMs);
    std::lock_guard<std::mutex> lock(m_mutex);
    return data(m_msgs);
}

bool SymPeer::WaitClosed(int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_bClosed; });
}

std::vector<PeerMsg> SymPeer::All() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_msgs;
}

std::vector<CSymData> Records(const PeerMsg& msg) {
    std::vector<CSymData> out;
    CNetStream in(const_cast<char*>(msg.text.data()), static_cast<int>(msg.text.size()), false);
    while (in.GetRemaining() > 0) {
        CSymData data;
        if (!CSymDataAux::SerializeSymIn(data, in)) {
            break;
        }
        out.push_back(data);
    }
    return out;
}

std::string TopicOf(const CSymData& data) {
    const char* s = nullptr;
    if (data.GetFlidStringPtr(CSymData::flid_topic, s) ||
        data.GetFlidStringPtr(CSymData::flid_symbol, s)) {
        return s;
    }
    return "";
}

std::vector<PeerMsg> Select(const std::vector<PeerMsg>& msgs, short mtyp, short sub) {
    std::vector<PeerMsg> out;
    for (const auto& m : msgs) {
        if (m.mtyp == mtyp && m.sub == sub) {
            out.push_back(m);
        }
    }
    return out;
}

// ---- TestProxy ----

bool TestProxy::OnLogon(const char* user, const char* password) {
    logons.push_back(std::string(user) + "/" + password);
    return acceptLogon;
}

void TestProxy::OnSubscribe(const char* topic) {
    subscribed.push_back(topic);
    if (onSubscribeHook) {
        onSubscribeHook(topic);
    }
}

void TestProxy::OnUnsubscribe(const char* topic) {
    if (topic == nullptr) {
        ++lostClient;
    } else {
        unsubscribed.push_back(topic);
    }
}

void TestProxy::OnSubscribeWithSize(const char* topic, int nNear, int nFar, int nReqId) {
    sizes.push_back("+" + std::string(topic) + " " + std::to_string(nNear) + " " +
                    std::to_string(nFar) + " " + std::to_string(nReqId));
}

void TestProxy::OnUnsubscribeWithSize(const char* topic, int nNear, int nFar, int nReqId) {
    sizes.push_back("-" + std::string(topic) + " " + std::to_string(nNear) + " " +
                    std::to_string(nFar) + " " + std::to_string(nReqId));
}

void TestProxy::OnCommand(CCommand* pCommand) {
    commands.push_back(*pCommand);
}

bool TestProxy::Listen(bool bQueue, bool bKeepSnapShot) {
    setenv("QUOR_SYMBIND", "127.0.0.1", 1);
    for (int attempt = 0; attempt < 10; ++attempt) {
        const int port = FreeLoopbackPort();
        if (Initialize(port, false, true, bKeepSnapShot, bQueue)) {
            m_nPort = port;
            return true;
        }
    }
    return false;
}

bool Pump(CSymProxy& proxy, const std::function<bool()>& done, int maxRounds, bool* pLast) {
    for (int i = 0; i < maxRounds; ++i) {
        if (done()) {
            return true;
        }
        const int fd = proxy.GetFd();
        if (fd < 0) {
            break;
        }
        // As a feed handler's own loop does: writability too while output waits.
        fd_set readF;
        fd_set writeF;
        FD_ZERO(&readF);
        FD_ZERO(&writeF);
        FD_SET(fd, &readF);
        if (proxy.WantsWrite()) {
            FD_SET(fd, &writeF);
        }
        timeval tv = {0, 25000};
        if (select(fd + 1, &readF, &writeF, nullptr, &tv) <= 0) {
            FD_ZERO(&readF);
        }
        const bool bResult = proxy.CheckSocket(readF);
        if (pLast != nullptr) {
            *pLast = bResult;
        }
    }
    return done();
}

bool ConnectAndLogon(TestProxy& proxy, SymPeer& peer, int nRcvBuf) {
    if (!peer.Connect(proxy.Port(), nRcvBuf) ||
        !Pump(proxy, [&] { return proxy.GetClientFd() >= 0; })) {
        return false;
    }
    const size_t nLogons = proxy.logons.size();
    if (!peer.SendLogin("trader", "secret") ||
        !Pump(proxy, [&] { return proxy.logons.size() > nLogons; })) {
        return false;
    }
    return peer.WaitFor([](const std::vector<PeerMsg>& msgs) {
        return !Select(msgs, CM_SYM_STATUS, SYM_STATUS_LOGIN_ACCEPTED).empty();
    });
}

}  // namespace proxytest
