#include "qrx/net/fd_wait.h"

#include <time.h>

#include <cerrno>

int64_t monotonic_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int wait_fd_ready(int fd, short events, int timeout_ms) {
    struct pollfd pfd;
    pfd.fd = fd;
    pfd.events = events;
    pfd.revents = 0;
    const int rc = poll(&pfd, 1, timeout_ms < 0 ? -1 : timeout_ms);
    if (rc < 0) {
        return -1;
    }
    if (rc > 0 && (pfd.revents & POLLNVAL)) {
        errno = EBADF;
        return -1;
    }
    return rc > 0 ? 1 : 0;
}

CConnectDeadline::CConnectDeadline(int seconds)
    : m_nDeadlineMs(seconds > 0 ? monotonic_ms() + static_cast<int64_t>(seconds) * 1000 : -1) {}

int CConnectDeadline::Wait(int fd, short events) {
    for (;;) {
        int timeout = -1;
        if (m_nDeadlineMs >= 0) {
            const int64_t left = m_nDeadlineMs - monotonic_ms();
            if (left <= 0) {
                m_bExpired = true;
                return 0;
            }
            timeout = static_cast<int>(left);
        }
        const int rc = wait_fd_ready(fd, events, timeout);
        if (rc > 0) {
            return 1;
        }
        if (rc == 0) {
            // poll may wake a little early; the loop re-checks the clock.
            continue;
        }
        if (errno != EINTR) {
            return -1;
        }
    }
}
