// Loopback peers and bounded helpers for the transport tests. Every wait here
// is bounded; nothing leaves the loopback range.
#pragma once

#include "common/child_process.h"
#include "common/free_port.h"

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>

// A TCP listener at an ephemeral port of a loopback address.
class LoopbackListener {
public:
    explicit LoopbackListener(int backlog = 16, const char* addr = "127.0.0.1");
    ~LoopbackListener();
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    bool Ok() const { return m_fd >= 0; }
    int Fd() const { return m_fd; }
    int Port() const { return m_port; }
    // One accepted connection within timeout_ms, or -1.
    int AcceptWithin(int timeout_ms);

private:
    int m_fd = -1;
    int m_port = 0;
};

// A connected TCP socket to 127.0.0.1:port (blocking), or -1.
int ConnectLoopback(int port);

// Bounded blocking I/O on a test peer's descriptor.
bool WriteAllWithin(int fd, const void* buf, size_t n, int timeout_ms);
bool WriteAllWithin(int fd, const std::string& bytes, int timeout_ms);
// Exactly n bytes; false on end of stream, error or time-out.
bool ReadExactWithin(int fd, void* buf, size_t n, int timeout_ms);
// Until at least n bytes wait unread in fd's receive queue.
bool WaitPendingBytes(int fd, int n, int timeout_ms);
// Until the peer has closed (a read returns 0), discarding data.
bool WaitEofWithin(int fd, int timeout_ms);
// Bytes waiting unread in fd's receive queue.
int PendingBytes(int fd);

// Standard error of this process, captured while the object lives.
class StderrCapture {
public:
    StderrCapture();
    ~StderrCapture();
    // Stops capturing (once) and returns what was written.
    std::string Take();

private:
    bool m_bActive = true;
    std::string m_text;
};

// Exit code by which a child asks its test to be skipped.
constexpr int kChildSkip = 77;

// Check inside a child body: reports the failed condition and fails the child.
#define CHILD_CHECK(cond)                                                                    \
    do {                                                                                     \
        if (!(cond)) {                                                                       \
            fprintf(stderr, "CHILD_CHECK failed: %s at %s:%d\n", #cond, __FILE__, __LINE__); \
            return 1;                                                                        \
        }                                                                                    \
    } while (0)

// A microsocks SOCKS5 server on 127.0.0.1, stopped with the object.
class MicrosocksServer {
public:
    // bindAddr: the address its outgoing connections leave from (null: any).
    explicit MicrosocksServer(const char* bindAddr = nullptr);
    ~MicrosocksServer();
    MicrosocksServer(const MicrosocksServer&) = delete;
    MicrosocksServer& operator=(const MicrosocksServer&) = delete;

    bool Ok() const { return m_pid > 0 && m_port > 0; }
    int Port() const { return m_port; }

private:
    pid_t m_pid = -1;
    int m_port = 0;
};

// Stream-form bytes of a heartbeat (session family, header type 4).
std::string StreamHeartbeat(int requestId);
// Raw-form bytes of a message of the Rtp family with the given body.
std::string RawMessage(short mtyp, const std::string& body);
// A byte pattern that shows order and loss: byte i of a run starting at base.
std::string Pattern(size_t n, size_t base);
