#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "client/scripted_peer.h"
#include "qrx/wire/msg_hdr_stream.h"
#include "qrx/wire/msg_mem_allocator.h"

namespace clienttest {

Bytes BE16(int v) {
    const char b[2] = {static_cast<char>(v >> 8), static_cast<char>(v)};
    return Bytes(b, 2);
}

Bytes BE32(int v) {
    return BE16(v >> 16) + BE16(v & 0xFFFF);
}

Bytes Text(const std::string& s) {
    return BE16(static_cast<int>(s.size())) + s;
}

Bytes Frame(short hdrType, short mtyp, short submtyp, const Bytes& fields) {
    return BE16(static_cast<int>(8 + fields.size())) + BE16(hdrType) + BE16(mtyp) + BE16(submtyp) +
           fields;
}

bool Decode(const Bytes& frame, Msg& out) {
    Bytes copy = frame;
    CMsgHdrStream in(false, 1024, 1024);
    if (CMsgHdrStream::MakeStreamFromBuffer(&copy[0], static_cast<int>(copy.size()), &in) !=
        static_cast<int>(copy.size())) {
        return false;
    }
    out.mem.assign(MSG_MEM_LEN / sizeof(double), 0.0);
    CMsgMemAllocator allocator;
    return in.SerializeAll(reinterpret_cast<MsgHdrCmn*>(out.mem.data()), &allocator);
}

namespace {

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool WaitReadable(int fd, int timeoutMs) {
    struct pollfd p = {fd, POLLIN, 0};
    for (;;) {
        const int rc = poll(&p, 1, timeoutMs);
        if (rc >= 0 || errno != EINTR) {
            return rc > 0;
        }
    }
}

}  // namespace

ScriptedPeer::ScriptedPeer() {
    m_listenFd = socket(AF_INET, SOCK_STREAM, 0);
    if (m_listenFd < 0) {
        return;
    }
    const int one = 1;
    setsockopt(m_listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(m_listenFd, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        listen(m_listenFd, 4) != 0 ||
        getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        close(m_listenFd);
        m_listenFd = -1;
        return;
    }
    m_port = ntohs(addr.sin_port);
}

ScriptedPeer::ScriptedPeer(const std::string& unixPath) : m_unixPath(unixPath) {
    unlink(unixPath.c_str());
    m_listenFd = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, unixPath.c_str(), sizeof addr.sun_path - 1);
    if (m_listenFd < 0 || bind(m_listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(m_listenFd, 4) != 0) {
        if (m_listenFd >= 0) {
            close(m_listenFd);
        }
        m_listenFd = -1;
    }
}

ScriptedPeer::~ScriptedPeer() {
    CloseClient();
    if (m_listenFd >= 0) {
        close(m_listenFd);
    }
    if (!m_unixPath.empty()) {
        unlink(m_unixPath.c_str());
    }
}

bool ScriptedPeer::Accept(int timeoutMs) {
    if (m_listenFd < 0 || !WaitReadable(m_listenFd, timeoutMs)) {
        return false;
    }
    m_fd = accept(m_listenFd, nullptr, nullptr);
    m_in.clear();
    return m_fd >= 0;
}

bool ScriptedPeer::Fill(size_t need, int timeoutMs) {
    const int64_t deadline = NowMs() + timeoutMs;
    char buf[4096];
    while (m_in.size() < need) {
        const int64_t left = deadline - NowMs();
        if (m_fd < 0 || left <= 0 || !WaitReadable(m_fd, static_cast<int>(left))) {
            return false;
        }
        const ssize_t n = read(m_fd, buf, sizeof buf);
        if (n <= 0) {
            return false;
        }
        m_in.append(buf, static_cast<size_t>(n));
    }
    return true;
}

bool ScriptedPeer::ReadFrame(Bytes& frame, int timeoutMs) {
    if (!Fill(2, timeoutMs)) {
        return false;
    }
    const size_t len =
        (static_cast<unsigned char>(m_in[0]) << 8) | static_cast<unsigned char>(m_in[1]);
    if (len < 8 || !Fill(len, timeoutMs)) {
        return false;
    }
    frame = m_in.substr(0, len);
    m_in.erase(0, len);
    return true;
}

bool ScriptedPeer::ReadMsg(Msg& msg, int timeoutMs) {
    Bytes frame;
    return ReadFrame(frame, timeoutMs) && Decode(frame, msg);
}

bool ScriptedPeer::Write(const Bytes& bytes) {
    size_t done = 0;
    while (m_fd >= 0 && done < bytes.size()) {
        const ssize_t n = send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return m_fd >= 0;
}

void ScriptedPeer::CloseClient() {
    if (m_fd >= 0) {
        close(m_fd);
        m_fd = -1;
    }
}

bool ScriptedPeer::WaitClientClosed(int timeoutMs) {
    const int64_t deadline = NowMs() + timeoutMs;
    char buf[4096];
    for (;;) {
        const int64_t left = deadline - NowMs();
        if (m_fd < 0 || left <= 0 || !WaitReadable(m_fd, static_cast<int>(left))) {
            return false;
        }
        const ssize_t n = read(m_fd, buf, sizeof buf);
        if (n == 0 || (n < 0 && errno == ECONNRESET)) {
            return true;
        }
        if (n < 0) {
            return false;
        }
    }
}

}  // namespace clienttest
