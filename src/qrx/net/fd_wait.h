// The transport's blocking waits. Every wait of the connection layer for a
// descriptor (connect, the SOCKS5 exchange, the blocking write and the blocking
// read) goes through wait_fd_ready, so that a host that must give up a lock of
// its own while the thread sleeps (an interpreter lock, for one) has one place
// to do it.
#pragma once

#include <poll.h>

#include <cstdint>

// Waits until fd is ready for events (POLLIN, POLLOUT) or timeout_ms passes; a
// negative time-out waits without limit. Returns 1 when ready (also on an error
// or hang-up condition of the descriptor, which the next read or write
// reports), 0 on time-out, -1 on failure with errno set (EINTR included).
int wait_fd_ready(int fd, short events, int timeout_ms);

// The time left to a connect attempt (connect and the SOCKS5 exchange behind
// it). A limit of 0 seconds or less means no limit.
class CConnectDeadline {
public:
    explicit CConnectDeadline(int seconds);

    // Waits for events on fd within what is left of the limit, going on after
    // EINTR. Returns 1 when ready, 0 when the limit has passed (Expired() is
    // then true), -1 on failure with errno set.
    int Wait(int fd, short events);
    bool Expired() const { return m_bExpired; }
    bool HasLimit() const { return m_nDeadlineMs >= 0; }

private:
    int64_t m_nDeadlineMs;  // CLOCK_MONOTONIC milliseconds, -1: no limit
    bool m_bExpired = false;
};

// Milliseconds of CLOCK_MONOTONIC.
int64_t monotonic_ms();
