#include "qrx/runtime/environment.h"

#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "qrx/runtime/stdio_logger.h"

namespace {

// A text variable read once. Kept on the heap and never destroyed, so that code running
// during static destruction can still read it.
struct CachedText {
    bool m_bSet;
    std::string m_strValue;

    explicit CachedText(const char* name) : m_bSet(false) {
        const char* v = std::getenv(name);
        if (v != nullptr) {
            m_bSet = true;
            m_strValue = v;
        }
    }
    const char* Get() const { return m_bSet ? m_strValue.c_str() : nullptr; }
};

bool IsYes(const char* v) {
    return v != nullptr && std::strcmp(v, "YES") == 0;
}

bool SymSpaceOn() {
    static const bool on = quor_getenv_yes("QUOR_SYM_SPACE") != nullptr;
    return on;
}

const char* RpldRef() {
    static const CachedText* const v = new CachedText("QUOR_RPLD_REF");
    return v->Get();
}

// The switch and whether the variable is present at all.
const CachedText& InvRpldEnv() {
    static const CachedText* const v = new CachedText("QUOR_INV_RPLD_ENV");
    return *v;
}

void ReplaceChar(char* s, char from, char to) {
    for (; *s != '\0'; ++s) {
        if (*s == from) {
            *s = to;
        }
    }
}

const char* ReplacedCopy(const char* s, char from, char to, std::string& buf) {
    if (s == nullptr || !SymSpaceOn() || std::strchr(s, from) == nullptr) {
        return s;
    }
    buf.assign(s);
    ReplaceChar(&buf[0], from, to);
    return buf.c_str();
}

// Decimal digits into a value held at a cap well above every valid part.
constexpr long long kVersionCap = 10000000000LL;

}  // namespace

int quor_getenv(const char* name, int defVal) {
    if (name == nullptr) {
        return defVal;
    }
    const char* value = std::getenv(name);
    if (value == nullptr) {
        return defVal;
    }
    char* end = nullptr;
    long n = std::strtol(value, &end, 10);
    if (end == value) {
        QRX_LOG_ERROR("quor_getenv(): invalid non-integer value = "
                      << value << " for environment = " << name);
        return 0;
    }
    if (n > INT_MAX) {
        return INT_MAX;
    }
    if (n < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(n);
}

const char* quor_getenv_yes(const char* name) {
    if (name == nullptr) {
        return nullptr;
    }
    const char* value = std::getenv(name);
    return IsYes(value) ? value : nullptr;
}

int quor_tcp_buffer_size() {
    static const int size = quor_getenv("QUOR_TCP_BUFFER_SIZE", 32768);
    return size;
}

bool quor_disable_nagle() {
    static const bool on = quor_getenv_yes("QUOR_DISABLE_NAGLE") != nullptr;
    return on;
}

int quor_conn_timeout() {
    static const int seconds = quor_getenv("QUOR_CONN_TIMEOUT", 3);
    return seconds;
}

const char* quor_cluster_bind() {
    static const CachedText* const v = new CachedText("QUOR_CLUSTER_BIND");
    return v->Get();
}

const char* quor_socks_proxy_host() {
    static const CachedText* const v = new CachedText("QUOR_SOCKS_PROXY_HOST");
    return v->Get();
}

const char* quor_socks_proxy_port() {
    static const CachedText* const v = new CachedText("QUOR_SOCKS_PROXY_PORT");
    return v->Get();
}

const char* quor_display() {
    static const CachedText* const v = new CachedText("DISPLAY");
    return v->Get();
}

bool quor_true_bind() {
    return quor_getenv_yes("QUOR_TRUE_BIND") != nullptr;
}

bool quor_fix_large_list() {
    return std::getenv("QUOR_FIX_LARGE_LIST") != nullptr;
}

char quor_fixtag_delim() {
    static const char delim = [] {
        const char* v = std::getenv("QUOR_FIXTAG_DELIM");
        return (v != nullptr && v[0] != '\0') ? v[0] : ';';
    }();
    return delim;
}

double get_Sec_Fee(double gross) {
    static const double factor = [] {
        const char* v = std::getenv("QUOR_SECFEE");
        return v != nullptr ? std::strtod(v, nullptr) : 46.8;
    }();
    return std::floor(factor * gross / 1000000.0 * 10000.0 + 0.5) / 10000.0;
}

char* bar_space_int(char* s) {
    if (s != nullptr && SymSpaceOn()) {
        ReplaceChar(s, '|', ' ');
    }
    return s;
}

char* space_bar_int(char* s) {
    if (s != nullptr && SymSpaceOn()) {
        ReplaceChar(s, ' ', '|');
    }
    return s;
}

const char* bar_space(const char* s) {
    thread_local std::string buf;
    return ReplacedCopy(s, '|', ' ', buf);
}

const char* space_bar(const char* s) {
    thread_local std::string buf;
    return ReplacedCopy(s, ' ', '|', buf);
}

bool is_env_match(const char* list, const char* opt) {
    if (list == nullptr || opt == nullptr || list[0] == '\0' || opt[0] == '\0') {
        return false;
    }
    const size_t n = std::strlen(opt);
    for (const char* p = std::strchr(list, ' '); p != nullptr; p = std::strchr(p + 1, ' ')) {
        if (std::strncmp(p + 1, opt, n) == 0 && p[1 + n] == ' ') {
            return true;
        }
    }
    return false;
}

bool isQuorRpldRefSet(const char* dest) {
    if (dest == nullptr) {
        return false;
    }
    const bool inverted = IsYes(InvRpldEnv().Get());
    const char* list = RpldRef();
    if (list == nullptr) {
        return inverted;
    }
    return is_env_match(list, dest) != inverted;
}

bool isQuorRpldRefSet(const char* dest, bool& match) {
    match = false;
    if (dest == nullptr) {
        return false;
    }
    if (RpldRef() == nullptr && InvRpldEnv().Get() == nullptr) {
        return false;
    }
    match = isQuorRpldRefSet(dest);
    return true;
}

bool isAutoClaim(const char* sndr) {
    static const bool allOn = quor_getenv_yes("QUOR_AUTO_CLAIM") != nullptr;
    static const CachedText* const senders = new CachedText("QUOR_AUTO_CLAIM_SENDERS");
    if (allOn) {
        return true;
    }
    if (sndr == nullptr || sndr[0] == '\0') {
        return false;
    }
    return std::strcmp(sndr, "A-MAN") == 0 || is_env_match(senders->Get(), sndr);
}

bool getMicroSecondQuotesTags(int& nSecTag, int& nMicrosecTag) {
    static const CachedText* const quotes = [] {
        CachedText* v = new CachedText("QUOR_FX_MICROSECOND_QUOTES");
        if (v->m_strValue.size() > 128) {
            v->m_strValue.resize(128);
        }
        return v;
    }();
    nSecTag = 0;
    nMicrosecTag = 0;
    const char* text = quotes->Get();
    if (text == nullptr) {
        QRX_LOG_INFO(
            "getMicroSecondQuotesTags::false, QUOR_FX_MICROSECOND_QUOTES not set hence "
            "setting timestamp tags to 0");
        return false;
    }
    int count = 0;
    for (const char* p = text;;) {
        long n = std::strtol(p, nullptr, 10);
        if (n > 0) {
            int tag = n > INT_MAX ? INT_MAX : static_cast<int>(n);
            if (count == 0) {
                nSecTag = tag;
            } else if (count == 1) {
                nMicrosecTag = tag;
            }
            ++count;
        }
        const char* comma = std::strchr(p, ',');
        if (comma == nullptr) {
            break;
        }
        p = comma + 1;
    }
    QRX_LOG_INFO("getMicroSecondQuotesTags::Timestamp tags : " << nSecTag << ", " << nMicrosecTag
                                                               << ", Count = " << count);
    if (count == 2) {
        QRX_LOG_INFO("getMicroSecondQuotesTags::true ");
        return true;
    }
    QRX_LOG_INFO("getMicroSecondQuotesTags::false hence setting timestamp tags to 0");
    nSecTag = 0;
    nMicrosecTag = 0;
    return false;
}

int list_quor_env() {
    std::fflush(stderr);
    FILE* pipe = popen("/usr/bin/env", "r");
    if (pipe == nullptr) {
        return 0;
    }
    char line[1024];
    bool atLineStart = true;
    bool printing = false;
    while (std::fgets(line, sizeof(line), pipe) != nullptr) {
        // A line longer than the buffer arrives in pieces: only a line's first piece decides.
        if (atLineStart) {
            printing = std::strncmp(line, "QUOR", 4) == 0;
        }
        if (printing) {
            std::fputs(line, stderr);
        }
        size_t len = std::strlen(line);
        atLineStart = len > 0 && line[len - 1] == '\n';
    }
    std::fputs("\n", stderr);
    std::fflush(stderr);
    int status = pclose(pipe);
    if (status == -1) {
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : status;
}

void show_pid() {
    QRX_LOG_INFO("Process id: " << static_cast<long>(getpid()));
}

const char* Path_2_File(const char* path) {
    if (path == nullptr || path[0] != '/') {
        return path;
    }
    return std::strrchr(path, '/') + 1;
}

bool IsNumber(const char* p) {
    if (p == nullptr) {
        return false;
    }
    for (; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') {
            return false;
        }
    }
    return true;
}

bool Is_Num(const char* s) {
    if (s == nullptr || s[0] == '\0' || std::strcmp(s, ".") == 0) {
        return false;
    }
    for (; *s != '\0'; ++s) {
        if ((*s < '0' || *s > '9') && *s != '.') {
            return false;
        }
    }
    return true;
}

int compare_decimal(double a, double b) {
    if (a - b > 1e-10) {
        return 1;
    }
    if (b - a > 1e-10) {
        return -1;
    }
    return 0;
}

char* Malloc_LastLen(char* p, int& last_len, int len) {
    if (last_len >= len && !(last_len > 10000 && len <= 9999)) {
        return p;
    }
    if (p != nullptr && last_len != 0) {
        std::free(p);
    }
    char* fresh = len > 0 ? static_cast<char*>(std::malloc(static_cast<size_t>(len))) : nullptr;
    last_len = fresh != nullptr ? len : 0;
    return fresh;
}

_stKOVersion ConvertVersionStringtostKOVer(const char* version) {
    const _stKOVersion invalid = {-1, -1, -1};
    if (version == nullptr) {
        return invalid;
    }
    const char* p = version;
    while (*p != '\0' && (*p < '0' || *p > '9')) {
        ++p;
    }
    long long parts[3] = {0, 0, 0};
    long long current = 0;
    int digits = 0;
    int separators = 0;
    for (; *p != '\0'; ++p) {
        if (*p >= '0' && *p <= '9') {
            current = current * 10 + (*p - '0');
            if (current > kVersionCap) {
                current = kVersionCap;
            }
            if (++digits >= 29) {
                break;
            }
        } else if (*p == '-' || *p == '.') {
            if (separators == 2) {
                break;
            }
            parts[separators++] = current;
            current = 0;
            digits = 0;
        }
    }
    if (separators != 2) {
        return invalid;
    }
    parts[2] = current;
    const long long year = parts[0], major = parts[1], patch = parts[2];
    if (year < 0 || major < 0 || major >= 100 || patch < 0 || patch >= 1000 ||
        (year == 0 && major == 0 && patch == 0)) {
        return invalid;
    }
    char text[64];
    int len = std::snprintf(text, sizeof(text), "%lld%02lld%03lld", year, major, patch);
    if (len < 0 || len > 9) {
        return invalid;
    }
    _stKOVersion v;
    v.m_nYear = static_cast<int32_t>(year);
    v.m_nMajor = static_cast<int32_t>(major);
    v.m_nPatch = static_cast<int32_t>(patch);
    return v;
}

int ConvertVersionStringtoNum(const char* version) {
    _stKOVersion v = ConvertVersionStringtostKOVer(version);
    if (v.m_nYear < 0) {
        return 0;
    }
    return v.m_nYear * 100000 + v.m_nMajor * 1000 + v.m_nPatch;
}
