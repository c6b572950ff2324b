#include "client/sym_listener_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "qrx/client/sym_connection.h"
#include "qrx/marketdata/sym_data.h"
#include "qrx/marketdata/sym_data_aux.h"
#include "qrx/runtime/growing_buffer.h"
#include "qrx/wire/command_serialization.h"
#include "qrx/wire/msg_hdr_stream.h"
#include "qrx/wire/response.h"
#include "qrx/wire/sym_msgs.h"

namespace listenertest {

namespace {

void PutBE16(Bytes& b, unsigned v) {
    b.push_back(static_cast<char>((v >> 8) & 0xFF));
    b.push_back(static_cast<char>(v & 0xFF));
}

Bytes TextField(const char* text, size_t n) {
    Bytes b;
    PutBE16(b, static_cast<unsigned>(n));
    b.append(text, n);
    return b;
}

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point end) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

bool WaitFd(int fd, short events, int timeout_ms) {
    pollfd p{fd, events, 0};
    int rc;
    do {
        rc = poll(&p, 1, timeout_ms);
    } while (rc < 0 && errno == EINTR);
    return rc > 0;
}

bool ReadExact(int fd, char* buf, size_t n, Clock::time_point end) {
    size_t got = 0;
    while (got < n) {
        if (!WaitFd(fd, POLLIN, MsLeft(end))) {
            return false;
        }
        const ssize_t r = read(fd, buf + got, n - got);
        if (r <= 0) {
            if (r < 0 && errno == EINTR) {
                continue;
            }
            return false;
        }
        got += static_cast<size_t>(r);
    }
    return true;
}

bool WriteAll(int fd, const Bytes& bytes, Clock::time_point end) {
    size_t done = 0;
    while (done < bytes.size()) {
        if (!WaitFd(fd, POLLOUT, MsLeft(end))) {
            return false;
        }
        const ssize_t w = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (w < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return false;
        }
        done += static_cast<size_t>(w);
    }
    return true;
}

}  // namespace

Bytes Frame(short hdrType, short mtyp, short submtyp, const Bytes& fields) {
    Bytes b;
    PutBE16(b, static_cast<unsigned>(8 + fields.size()));
    PutBE16(b, static_cast<unsigned short>(hdrType));
    PutBE16(b, static_cast<unsigned short>(mtyp));
    PutBE16(b, static_cast<unsigned short>(submtyp));
    return b + fields;
}

Bytes RawFrame(short mtyp, short submtyp, const Bytes& body) {
    return Frame(MsgHdrSym::HDR_TYPE, mtyp, submtyp, TextField(body.data(), body.size()));
}

Bytes StatusFrame(short submtyp, const char* text) {
    return Frame(MsgHdrSym::HDR_TYPE, CM_SYM_STATUS, submtyp, TextField(text, strlen(text)));
}

Bytes SubStatusFrame(short submtyp, const char* topic, const char* message) {
    return Frame(MsgHdrSym::HDR_TYPE, CM_SYM_SUB_STATUS, submtyp,
                 TextField(topic, strlen(topic)) + TextField(message, strlen(message)));
}

Bytes ClientIdFrame(unsigned short id) {
    Bytes f;
    PutBE16(f, id);
    return Frame(MsgHdrSym::HDR_TYPE, CM_SYM_CMD_CLIENT_ID, 0, f);
}

std::vector<Bytes> ResponseFrames(const CResponse& rsp) {
    std::vector<Bytes> frames;
    CGrowingBuffer msg(512);
    CCommandSerializationState state;
    bool first = true;
    for (int guard = 0; !state.m_bDone && guard < 1000; ++guard) {
        msg.Reset();
        MsgHdrSym hdr{};
        msg.Append(reinterpret_cast<const char*>(&hdr), MsgHdrSym::BODY_OFFSET);
        const short n = rsp.SerializeOut(msg, state);
        if (n == 0 && !state.m_bDone) {
            continue;
        }
        const short sub = CommandPartSubType(true, first, state.m_bDone);
        first = false;
        const char* body = msg.GetData() + MsgHdrSym::BODY_OFFSET;
        frames.push_back(RawFrame(CM_SYM_RESPONSE, sub, Bytes(body, state.m_nSerializedMsgLen)));
    }
    return frames;
}

Bytes StreamBytes(const CNetStream& strm) {
    char* p = nullptr;
    int n = 0;
    strm.GetBuf(p, n);
    return Bytes(p, static_cast<size_t>(n));
}

Bytes RecordBody(const CSymData& data) {
    CNetStream out(true, 1024, 1024);
    CSymDataAux::SerializeSymOut(data, out);
    return StreamBytes(out);
}

CSymData MakeRecord(const char* topic, const char* symbol, double bid) {
    CSymData d;
    if (topic != nullptr) {
        d.SetFlidString(CSymData::flid_topic, topic);
    }
    if (symbol != nullptr) {
        d.SetFlidString(CSymData::flid_symbol, symbol);
    }
    d.SetFlidDouble(CSymData::flid_bid, bid);
    return d;
}

// ---- the server ----

ScriptedSymServer::ScriptedSymServer(std::vector<Bytes> script, bool bCloseAfter)
    : m_script(std::move(script)), m_bCloseAfter(bCloseAfter) {
    m_listenFd = socket(AF_INET, SOCK_STREAM, 0);
    if (m_listenFd < 0) {
        return;
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(m_listenFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        listen(m_listenFd, 4) != 0 ||
        getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        close(m_listenFd);
        m_listenFd = -1;
        return;
    }
    m_port = ntohs(a.sin_port);
    m_thread = std::thread([this] { Run(); });
}

ScriptedSymServer::~ScriptedSymServer() {
    m_bStop = true;
    if (m_thread.joinable()) {
        m_thread.join();
    }
    if (m_listenFd >= 0) {
        close(m_listenFd);
    }
}

bool ScriptedSymServer::WaitScriptWritten(int timeout_ms) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (m_state == 0 && Clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return m_state == 1;
}

void ScriptedSymServer::Run() {
    const auto end = Clock::now() + std::chrono::seconds(20);
    if (!WaitFd(m_listenFd, POLLIN, 10000)) {
        m_state = -1;
        return;
    }
    const int fd = accept(m_listenFd, nullptr, nullptr);
    if (fd < 0) {
        m_state = -1;
        return;
    }
    // The logon comes first: one frame, read into message memory.
    char len[2];
    bool ok = ReadExact(fd, len, 2, end);
    const size_t n =
        ok ? (static_cast<unsigned char>(len[0]) << 8 | static_cast<unsigned char>(len[1])) : 0;
    if (ok && n >= 8) {
        std::vector<char> frame(n);
        memcpy(frame.data(), len, 2);
        ok = ReadExact(fd, frame.data() + 2, n - 2, end);
        CMsgHdrStream in(false, 0, 0);
        std::vector<double> mem(MSG_MEM_LEN / sizeof(double));
        MsgHdrCmn* pMsg = reinterpret_cast<MsgHdrCmn*>(mem.data());
        if (ok && CMsgHdrStream::MakeStreamFromBuffer(frame.data(), static_cast<int>(n), &in) > 0 &&
            in.SerializeAll(pMsg, nullptr) && pMsg->mtyp == CM_LOGIN) {
            memcpy(&m_logon, MsgBody(reinterpret_cast<MsgHdrSym*>(pMsg)), sizeof m_logon);
            m_bGotLogon = true;
        }
    }
    for (const Bytes& f : m_script) {
        if (!ok) {
            break;
        }
        ok = WriteAll(fd, f, end);
    }
    m_state = ok ? 1 : -1;
    if (!m_bCloseAfter) {
        // Until the client goes away or the test ends.
        char sink[4096];
        while (!m_bStop) {
            if (WaitFd(fd, POLLIN, 20)) {
                const ssize_t r = read(fd, sink, sizeof sink);
                if (r == 0 || (r < 0 && errno != EINTR && errno != EAGAIN)) {
                    break;
                }
            }
        }
    }
    close(fd);
}

bool PumpUntil(CSymConnection& conn, const std::function<bool()>& done, int timeout_ms) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done() && Clock::now() < end) {
        const int fd = conn.GetFd();
        if (fd < 0) {
            break;
        }
        WaitFd(fd, POLLIN, 50);
        if (conn.DispatchEvents() < 0) {
            break;
        }
    }
    return done();
}

}  // namespace listenertest
