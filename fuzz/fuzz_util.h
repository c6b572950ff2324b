// Helpers shared by the fuzz harnesses: a reader that takes typed values from
// the front of an input, a check that stops the process so that both the
// fuzzer and the corpus replay report it, and the socket plumbing of the
// harnesses that feed a connection through a socketpair.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

// Stops the process when cond is false: a broken property is a finding.
#define FUZZ_CHECK(cond)                                                                    \
    do {                                                                                    \
        if (!(cond)) {                                                                      \
            fprintf(stderr, "FUZZ_CHECK failed: %s at %s:%d\n", #cond, __FILE__, __LINE__); \
            abort();                                                                        \
        }                                                                                   \
    } while (0)

namespace qrxfuzz {

// Takes values from the front of the input; past its end every value is 0.
class Input {
public:
    Input(const uint8_t* data, size_t size) : m_p(data), m_n(size) {}

    uint8_t Byte() {
        if (m_n == 0) {
            return 0;
        }
        --m_n;
        return *m_p++;
    }
    uint16_t U16() {
        const uint16_t hi = Byte();
        return static_cast<uint16_t>((hi << 8) | Byte());
    }
    bool Empty() const { return m_n == 0; }
    size_t Size() const { return m_n; }
    const uint8_t* Data() const { return m_p; }
    // Up to n bytes as a string.
    std::string Take(size_t n) {
        if (n > m_n) {
            n = m_n;
        }
        std::string s(reinterpret_cast<const char*>(m_p), n);
        m_p += n;
        m_n -= n;
        return s;
    }
    std::string Rest() { return Take(m_n); }

private:
    const uint8_t* m_p;
    size_t m_n;
};

// A connected pair of local stream sockets; both ends non-blocking.
struct SocketPair {
    int fd[2] = {-1, -1};
    SocketPair() {
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fd) != 0) {
            fd[0] = fd[1] = -1;
            return;
        }
        for (int f : fd) {
            fcntl(f, F_SETFL, fcntl(f, F_GETFL) | O_NONBLOCK);
        }
    }
    ~SocketPair() {
        CloseEnd(0);
        CloseEnd(1);
    }
    SocketPair(const SocketPair&) = delete;
    SocketPair& operator=(const SocketPair&) = delete;
    bool Ok() const { return fd[0] >= 0; }
    // The end given away to an object that closes it itself.
    int Release(int i) {
        const int f = fd[i];
        fd[i] = -1;
        return f;
    }
    void CloseEnd(int i) {
        if (fd[i] >= 0) {
            close(fd[i]);
            fd[i] = -1;
        }
    }
};

// Writes as much of bytes[off..] into fd as the socket takes now; off advances.
inline void WriteSome(int fd, const std::string& bytes, size_t& off) {
    while (off < bytes.size()) {
        // The connection under test may have closed its end: no SIGPIPE.
        const ssize_t n = send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
        if (n <= 0) {
            return;
        }
        off += static_cast<size_t>(n);
    }
}

// Reads and discards what waits at fd.
inline void Drain(int fd) {
    char buf[4096];
    while (read(fd, buf, sizeof buf) > 0) {
    }
}

}  // namespace qrxfuzz
