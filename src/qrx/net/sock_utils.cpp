#include "qrx/net/sock_utils.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "qrx/runtime/stdio_logger.h"

namespace {

std::atomic<bool> g_csock_signals{true};

// Digits and exactly three dots, short enough to be an IPv4 address.
bool is_dotted_quad(const char* s) {
    int dots = 0;
    int len = 0;
    for (; s[len] != '\0'; ++len) {
        if (s[len] == '.') {
            ++dots;
        } else if (s[len] < '0' || s[len] > '9') {
            return false;
        }
    }
    return dots == 3 && len < QRX_ADDR_TEXT_LEN;
}

}  // namespace

int resolve_ipv4(const char* name, const char* port, struct addrinfo** res) {
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    if (port != nullptr) {
        hints.ai_flags = AI_NUMERICSERV;
    }
    *res = nullptr;
    return getaddrinfo(name, port, &hints, res);
}

bool resolve_dotted(const char* name, char* out) {
    struct addrinfo* res = nullptr;
    if (resolve_ipv4(name, nullptr, &res) != 0 || res == nullptr) {
        return false;
    }
    const auto* sin = reinterpret_cast<const struct sockaddr_in*>(res->ai_addr);
    const bool ok = inet_ntop(AF_INET, &sin->sin_addr, out, QRX_ADDR_TEXT_LEN) != nullptr;
    freeaddrinfo(res);
    return ok;
}

bool set_nonblocking(int fd) {
    const int flags = fcntl(fd, F_GETFL, 0);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

char* hostaddr_dots(const char* addr, char* out) {
    if (addr == nullptr || out == nullptr) {
        return nullptr;
    }
    char name[QRX_HOST_NAME_LEN];
    snprintf(name, sizeof name, "%s", addr);
    if (char* colon = strchr(name, ':')) {
        *colon = '\0';
    }
    if (is_dotted_quad(name)) {
        memcpy(out, name, strlen(name) + 1);
        return out;
    }
    if (strcmp(name, "LOCALPC") != 0 && resolve_dotted(name, out)) {
        return out;
    }
    char local[QRX_HOST_NAME_LEN];
    if (gethostname(local, sizeof local) != 0) {
        sock_err("hostaddr_dots", "gethostname() returned");
        return nullptr;
    }
    local[sizeof local - 1] = '\0';
    return resolve_dotted(local, out) ? out : nullptr;
}

char* hostaddr_dots(const char* addr) {
    static char buf[QRX_ADDR_TEXT_LEN];
    return hostaddr_dots(addr, buf);
}

char* fd_2_Host(int fd, char* hostnam) {
    struct sockaddr_storage ss;
    socklen_t len = sizeof ss;
    memset(&ss, 0, sizeof ss);
    if (getpeername(fd, reinterpret_cast<struct sockaddr*>(&ss), &len) != 0) {
        sock_err("fd_2_Host():", "getpeername() returned");
        return nullptr;
    }
    if (len == 0) {
        QRX_LOG_ERROR("fd_2_Host(): getpeername() failed");
        return nullptr;
    }
    if (ss.ss_family == AF_INET) {
        const auto* sin = reinterpret_cast<const struct sockaddr_in*>(&ss);
        if (inet_ntop(AF_INET, &sin->sin_addr, hostnam, QRX_HOST_NAME_LEN) == nullptr) {
            return nullptr;
        }
        return hostnam;
    }
    if (gethostname(hostnam, QRX_HOST_NAME_LEN) != 0) {
        QRX_LOG_ERROR("fd_2_Host(): gethostname failed!!");
        return nullptr;
    }
    hostnam[QRX_HOST_NAME_LEN - 1] = '\0';
    return hostnam;
}

char* fd_2_Host(int fd) {
    static char buf[QRX_HOST_NAME_LEN];
    return fd_2_Host(fd, buf);
}

void format_log_stamp(char* buf, int len) {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm tmLocal;
    const time_t secs = tv.tv_sec;
    localtime_r(&secs, &tmLocal);
    snprintf(buf, static_cast<size_t>(len), "[%02d:%02d:%02d.%06ld] - ", tmLocal.tm_hour,
             tmLocal.tm_min, tmLocal.tm_sec, static_cast<long>(tv.tv_usec));
}

void sock_err(const char* descr, const char* err) {
    const int saved = errno;
    char stamp[64];
    format_log_stamp(stamp, sizeof stamp);
    char text[4096];
    snprintf(text, sizeof text, "sock_err(): %s**ERROR**\t:In %s: %s", stamp, descr ? descr : "",
             err ? err : "");
    errno = saved;
    perror(text);
    errno = saved;
}

const char* make_str(const char* format, ...) {
    static constexpr size_t kRing = 300000;
    static constexpr size_t kWrap = 200000;
    static char ring[kRing];
    static size_t pos = 0;
    static std::mutex lock;

    const int saved = errno;
    char* out;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (pos > kWrap) {
            pos = 0;
        }
        out = ring + pos;
        va_list args;
        va_start(args, format);
        int n = vsnprintf(out, kRing - pos, format, args);
        va_end(args);
        if (n < 0) {
            n = 0;
            *out = '\0';
        }
        const size_t used = static_cast<size_t>(n) + 1;
        pos += used < kRing - pos ? used : kRing - pos;
    }
    errno = saved;
    return out;
}

void enable_csock_signals(bool enable) {
    g_csock_signals.store(enable);
}

bool csock_signals_enabled() {
    return g_csock_signals.load();
}

bool InitSockApp() {
    return true;
}
