#include "net/net_test_helper.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <vector>

#include "qrx/wire/msg_hdr_stream.h"
#include "qrx/wire/session_msgs.h"

namespace {

long long now_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int left_ms(long long deadline) {
    const long long left = deadline - now_ms();
    return left > 0 ? static_cast<int>(left) : 0;
}

bool wait_for(int fd, short events, long long deadline) {
    for (;;) {
        struct pollfd pfd = {fd, events, 0};
        const int rc = poll(&pfd, 1, left_ms(deadline));
        if (rc > 0) {
            return true;
        }
        if (rc == 0 || errno != EINTR) {
            return false;
        }
    }
}

}  // namespace

LoopbackListener::LoopbackListener(int backlog, const char* addr) {
    m_fd = socket(AF_INET, SOCK_STREAM, 0);
    if (m_fd < 0) {
        return;
    }
    const int on = 1;
    setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    struct sockaddr_in sin;
    memset(&sin, 0, sizeof sin);
    sin.sin_family = AF_INET;
    inet_pton(AF_INET, addr, &sin.sin_addr);
    socklen_t len = sizeof sin;
    if (bind(m_fd, reinterpret_cast<struct sockaddr*>(&sin), sizeof sin) != 0 ||
        listen(m_fd, backlog) != 0 ||
        getsockname(m_fd, reinterpret_cast<struct sockaddr*>(&sin), &len) != 0) {
        close(m_fd);
        m_fd = -1;
        return;
    }
    m_port = ntohs(sin.sin_port);
}

LoopbackListener::~LoopbackListener() {
    if (m_fd >= 0) {
        close(m_fd);
    }
}

int LoopbackListener::AcceptWithin(int timeout_ms) {
    if (!wait_for(m_fd, POLLIN, now_ms() + timeout_ms)) {
        return -1;
    }
    return accept(m_fd, nullptr, nullptr);
}

int ConnectLoopback(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in sin;
    memset(&sin, 0, sizeof sin);
    sin.sin_family = AF_INET;
    sin.sin_port = htons(static_cast<uint16_t>(port));
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<struct sockaddr*>(&sin), sizeof sin) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool WriteAllWithin(int fd, const void* buf, size_t n, int timeout_ms) {
    const long long deadline = now_ms() + timeout_ms;
    const char* p = static_cast<const char*>(buf);
    size_t done = 0;
    while (done < n) {
        if (!wait_for(fd, POLLOUT, deadline)) {
            return false;
        }
        const ssize_t w = send(fd, p + done, n - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w > 0) {
            done += static_cast<size_t>(w);
        } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        }
    }
    return true;
}

bool WriteAllWithin(int fd, const std::string& bytes, int timeout_ms) {
    return WriteAllWithin(fd, bytes.data(), bytes.size(), timeout_ms);
}

bool ReadExactWithin(int fd, void* buf, size_t n, int timeout_ms) {
    const long long deadline = now_ms() + timeout_ms;
    char* p = static_cast<char*>(buf);
    size_t done = 0;
    while (done < n) {
        if (!wait_for(fd, POLLIN, deadline)) {
            return false;
        }
        const ssize_t r = recv(fd, p + done, n - done, MSG_DONTWAIT);
        if (r > 0) {
            done += static_cast<size_t>(r);
        } else if (r == 0 || (errno != EAGAIN && errno != EINTR)) {
            return false;
        }
    }
    return true;
}

int PendingBytes(int fd) {
    int n = 0;
    return ioctl(fd, FIONREAD, &n) == 0 ? n : -1;
}

bool WaitPendingBytes(int fd, int n, int timeout_ms) {
    const long long deadline = now_ms() + timeout_ms;
    for (;;) {
        if (PendingBytes(fd) >= n) {
            return true;
        }
        if (left_ms(deadline) == 0) {
            return false;
        }
        struct timespec pause = {0, 2 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
}

bool WaitEofWithin(int fd, int timeout_ms) {
    const long long deadline = now_ms() + timeout_ms;
    char buf[4096];
    for (;;) {
        if (!wait_for(fd, POLLIN, deadline)) {
            return false;
        }
        const ssize_t r = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (r == 0) {
            return true;
        }
        if (r < 0 && errno != EAGAIN && errno != EINTR) {
            return errno == ECONNRESET;
        }
    }
}

StderrCapture::StderrCapture() {
    std::cerr.flush();
    fflush(stderr);
    testing::internal::CaptureStderr();
}

StderrCapture::~StderrCapture() {
    Take();
}

std::string StderrCapture::Take() {
    if (m_bActive) {
        std::cerr.flush();
        fflush(stderr);
        m_text = testing::internal::GetCapturedStderr();
        m_bActive = false;
    }
    return m_text;
}

MicrosocksServer::MicrosocksServer(const char* bindAddr) {
    const char* exe = "/usr/bin/microsocks";
    if (access(exe, X_OK) != 0) {
        return;
    }
    m_port = FreeLoopbackPort();
    const std::string port = std::to_string(m_port);
    std::cerr.flush();
    fflush(stderr);
    m_pid = fork();
    if (m_pid == 0) {
        const int devnull = open("/dev/null", O_WRONLY);
        if (devnull >= 0) {
            dup2(devnull, 1);
            dup2(devnull, 2);
        }
        if (bindAddr != nullptr) {
            execl(exe, exe, "-i", "127.0.0.1", "-p", port.c_str(), "-b", bindAddr,
                  static_cast<char*>(nullptr));
        } else {
            execl(exe, exe, "-i", "127.0.0.1", "-p", port.c_str(), static_cast<char*>(nullptr));
        }
        _exit(127);
    }
    // Ready once it accepts a connection; given up after 5 seconds.
    const long long deadline = now_ms() + 5000;
    while (m_pid > 0) {
        const int fd = ConnectLoopback(m_port);
        if (fd >= 0) {
            close(fd);
            return;
        }
        if (left_ms(deadline) == 0 || waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
            break;
        }
        struct timespec pause = {0, 20 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    m_port = 0;
}

MicrosocksServer::~MicrosocksServer() {
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);
        waitpid(m_pid, nullptr, 0);
    }
}

std::string StreamHeartbeat(int requestId) {
    std::vector<double> mem(64, 0.0);  // aligned message memory
    auto* msg = reinterpret_cast<MsgHdrPort*>(mem.data());
    msg->mtyp = CM_HEARTBEAT;
    msg->submtyp = CM_HEARTBEAT;
    const stHeartBeat body = {requestId};
    memcpy(msg->mstrt, &body, sizeof body);
    SetMsgLen(msg, sizeof(stHeartBeat));
    CMsgHdrStream out(true, 0, 0);
    if (!out.SerializeAll(msg, nullptr)) {
        return std::string();
    }
    char* buf;
    int len;
    out.GetBuf(buf, len);
    return std::string(buf, static_cast<size_t>(len));
}

std::string RawMessage(short mtyp, const std::string& body) {
    std::vector<double> mem(MSG_MEM_LEN / sizeof(double), 0.0);
    auto* msg = reinterpret_cast<MsgHdrRtp*>(mem.data());
    msg->mtyp = mtyp;
    msg->submtyp = 0;
    memcpy(msg->mstrt, body.data(), body.size());
    SetMsgLen(msg, static_cast<int>(body.size()));
    return std::string(reinterpret_cast<const char*>(msg), msg->msglen);
}

std::string Pattern(size_t n, size_t base) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) {
        s[i] = static_cast<char>((base + i) * 7 % 251);
    }
    return s;
}
