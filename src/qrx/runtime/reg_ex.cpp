#include "qrx/runtime/reg_ex.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "qrx/runtime/fixed_text.h"

namespace {

// Appends into a fixed work area; what does not fit is counted but not stored.
class BoundedText {
public:
    BoundedText(char* buf, size_t size) : m_buf(buf), m_size(size), m_len(0) { m_buf[0] = '\0'; }

    void Append(const char* s, size_t n) {
        size_t stored = m_len < m_size - 1 ? m_len : m_size - 1;
        size_t room = m_size - 1 - stored;
        size_t take = n < room ? n : room;
        if (take > 0) {
            std::memcpy(m_buf + stored, s, take);
            m_buf[stored + take] = '\0';
        }
        m_len += n;
    }
    void Append(const char* s) { Append(s, std::strlen(s)); }
    void Append(char c) { Append(&c, 1); }

    size_t Length() const { return m_len; }
    size_t Stored() const { return m_len < m_size - 1 ? m_len : m_size - 1; }
    const char* Text() const { return m_buf; }

private:
    char* m_buf;
    size_t m_size;
    size_t m_len;
};

int ClampLength(size_t n) {
    return n > 0x7fffffff ? 0x7fffffff : static_cast<int>(n);
}

void CopyOut(const BoundedText& text, char* out, size_t maxChars) {
    size_t n = text.Stored() < maxChars ? text.Stored() : maxChars;
    std::memmove(out, text.Text(), n);
    out[n] = '\0';
}

// Skips a bracket expression starting at the '[' at p, with its character
// classes ([:alpha:], [.x.], [=x=]), and returns what follows it.
const char* SkipBracket(const char* p) {
    ++p;
    if (*p == '^') {
        ++p;
    }
    if (*p == ']') {
        ++p;  // a leading ] is a member
    }
    while (*p != '\0' && *p != ']') {
        if (*p == '[' && (p[1] == ':' || p[1] == '.' || p[1] == '=')) {
            const char close = p[1];
            p += 2;
            while (*p != '\0' && !(*p == close && p[1] == ']')) {
                ++p;
            }
            p += *p != '\0' ? 2 : 0;
        } else {
            ++p;
        }
    }
    return *p == ']' ? p + 1 : p;
}

// True when a repetition operator (*, +, ? or an interval) follows another one
// directly. The compiler expands such a stack by copying the repeated tree for
// each operator, so a short line of them takes unbounded memory; the extended
// syntax leaves the stack undefined anyway. Escapes and bracket expressions
// are skipped.
bool StacksRepetitions(const char* p) {
    bool prevRepeat = false;
    while (*p != '\0') {
        bool repeat = false;
        if (*p == '\\') {
            p += p[1] != '\0' ? 2 : 1;
        } else if (*p == '[') {
            p = SkipBracket(p);
        } else if (*p == '*' || *p == '+' || *p == '?') {
            repeat = true;
            ++p;
        } else if (*p == '{') {
            repeat = true;
            while (*p != '\0' && *p != '}') {
                ++p;
            }
            if (*p == '}') {
                ++p;
            }
        } else {
            ++p;
        }
        if (repeat && prevRepeat) {
            return true;
        }
        prevRepeat = repeat;
    }
    return false;
}

// True when the expression refers back to a group (\1 to \9). The extended
// syntax has no such references; the platform's matcher takes them, but
// matches them by trying every split of the input, which for a few groups and
// a symbol of some dozens of characters runs for minutes.
bool HasBackReference(const char* p) {
    while (*p != '\0') {
        if (*p == '\\') {
            if (p[1] >= '1' && p[1] <= '9') {
                return true;
            }
            p += p[1] != '\0' ? 2 : 1;
        } else if (*p == '[') {
            p = SkipBracket(p);
        } else {
            ++p;
        }
    }
    return false;
}

// What the compiler builds for part of an expression: nodes, one for each copy
// of an atom or operator, and the entries of the sets of nodes that each node
// reaches without consuming input, through a chain of copies that may match
// nothing or back round a loop.
struct CompileCost {
    double nodes = 0;
    double chains = 0;
    double loops = 0;
    bool nullable = false;  // it can match the empty string
    bool present = false;
};

// Most bytes an expression may make the compiler take, and what it takes for a
// node and for each kind of entry, as measured with the platform's compiler.
constexpr double kMaxCompileBytes = 64.0 * 1024 * 1024;
constexpr double kNodeBytes = 256;
constexpr double kChainBytes = 16;
constexpr double kLoopBytes = 512;
// Counts beyond the compiler's own limit (RE_DUP_MAX) are refused by it anyway.
constexpr long kMaxCount = 32768;

// Reads an interval "{m}", "{m,}" or "{m,n}" at p: false (p unmoved) when there is none.
// n is -1 for an open interval.
bool ReadInterval(const char*& p, long& m, long& n) {
    const char* q = p + 1;
    auto number = [&q](long& out) {
        if (*q < '0' || *q > '9') {
            return false;
        }
        out = 0;
        for (; *q >= '0' && *q <= '9'; ++q) {
            out = out < kMaxCount ? out * 10 + (*q - '0') : kMaxCount;
        }
        return true;
    };
    if (!number(m)) {
        return false;
    }
    n = m;
    if (*q == ',') {
        ++q;
        if (!number(n)) {
            n = -1;
        }
    }
    if (*q != '}') {
        return false;
    }
    p = q + 1;
    return true;
}

// The bytes the compiler would take for the expression, estimated from its
// repetitions. An interval {m,n} copies what it repeats n times (m + 1 times
// when open) and "+" twice; a loop links what it repeats back to its start;
// and each copy that may match nothing (one of the n - m optional ones, or any
// copy of what can match the empty string) links to every such copy behind it,
// so that wide counts grow with their square. Nested or wide counts in an
// expression of a few characters come to gigabytes, all of which the platform's
// compiler would take.
double EstimatedCompileBytes(const char* p) {
    struct Level {
        CompileCost done;          // the finished atoms of the group, across alternatives
        CompileCost last;          // the atom a repetition would apply to
        bool altNullable = true;   // the alternative under way can match nothing
        bool anyNullable = false;  // a finished alternative can
    };
    auto commit = [](Level& level) {
        if (level.last.present) {
            level.done.nodes += level.last.nodes;
            level.done.chains += level.last.chains;
            level.done.loops += level.last.loops;
            level.altNullable = level.altNullable && level.last.nullable;
        }
        level.last = CompileCost();
    };
    std::vector<Level> levels(1);
    while (*p != '\0') {
        if (*p == '(') {
            levels.emplace_back();
            ++p;
            continue;
        }
        Level& top = levels.back();
        CompileCost& last = top.last;
        long m = 0;
        long n = 0;
        if (*p == ')' && levels.size() > 1) {
            commit(top);
            CompileCost group = top.done;
            group.nodes += 1;
            group.nullable = top.anyNullable || top.altNullable;
            group.present = true;
            levels.pop_back();
            commit(levels.back());
            levels.back().last = group;
            ++p;
        } else if (*p == '|') {
            commit(top);
            top.anyNullable = top.anyNullable || top.altNullable;
            top.altNullable = true;
            ++p;
        } else if (*p == '*' || *p == '?') {
            last.nodes += 1;
            last.loops += *p == '*' ? last.nodes : 0;
            last.nullable = true;
            ++p;
        } else if (*p == '+') {
            // x+ is built as x followed by a loop over a second copy of x.
            last.chains *= 2;
            last.loops = last.loops * 2 + last.nodes + 1;
            last.nodes = last.nodes * 2 + 1;
            ++p;
        } else if (*p == '{' && ReadInterval(p, m, n)) {
            const double copies = n < 0 ? m + 1 : (n > 0 ? n : 1);
            const double optional = last.nullable ? copies : (n < 0 ? 1 : (n > m ? n - m : 0));
            last.chains = last.chains * copies + optional * optional * (last.nodes + 1);
            last.loops = last.loops * copies + (n < 0 ? last.nodes + 1 : 0);
            last.nodes = last.nodes * copies + copies;
            last.nullable = last.nullable || m == 0;
        } else {
            commit(top);
            last.present = true;
            last.nodes = 1;
            last.nullable = *p == '^' || *p == '$';
            if (*p == '\\') {
                p += p[1] != '\0' ? 2 : 1;
            } else if (*p == '[') {
                p = SkipBracket(p);
            } else {
                ++p;
            }
        }
    }
    // Groups left open are summed as they stand (the compiler refuses them).
    CompileCost total;
    for (Level& level : levels) {
        commit(level);
        total.nodes += level.done.nodes;
        total.chains += level.done.chains;
        total.loops += level.done.loops;
    }
    return total.nodes * kNodeBytes + total.chains * kChainBytes + total.loops * kLoopBytes;
}

}  // namespace

CRegEx::CRegEx(const char* szRegExp, const char* szRplPattern)
    : m_bInitialised(false),
      m_szRegExp(),
      m_szRplPattern(),
      m_pRegEx(nullptr),
      m_pRegExMatch(nullptr) {
    // Zero-filled above: a null text leaves the empty text.
    CopyCut(m_szRegExp, sizeof(m_szRegExp), szRegExp);
    CopyCut(m_szRplPattern, sizeof(m_szRplPattern), szRplPattern);
}

CRegEx::~CRegEx() {
    Release();
}

CRegEx::CRegEx(CRegEx&& other) noexcept
    : m_bInitialised(other.m_bInitialised),
      m_pRegEx(other.m_pRegEx),
      m_pRegExMatch(other.m_pRegExMatch) {
    std::memcpy(m_szRegExp, other.m_szRegExp, sizeof(m_szRegExp));
    std::memcpy(m_szRplPattern, other.m_szRplPattern, sizeof(m_szRplPattern));
    other.m_bInitialised = false;
    other.m_pRegEx = nullptr;
    other.m_pRegExMatch = nullptr;
}

CRegEx& CRegEx::operator=(CRegEx&& other) noexcept {
    if (this != &other) {
        Release();
        m_bInitialised = other.m_bInitialised;
        m_pRegEx = other.m_pRegEx;
        m_pRegExMatch = other.m_pRegExMatch;
        std::memcpy(m_szRegExp, other.m_szRegExp, sizeof(m_szRegExp));
        std::memcpy(m_szRplPattern, other.m_szRplPattern, sizeof(m_szRplPattern));
        other.m_bInitialised = false;
        other.m_pRegEx = nullptr;
        other.m_pRegExMatch = nullptr;
    }
    return *this;
}

void CRegEx::Release() {
    m_bInitialised = false;
    if (m_pRegEx != nullptr) {
        regfree(m_pRegEx);
        delete m_pRegEx;
        m_pRegEx = nullptr;
    }
    delete[] m_pRegExMatch;
    m_pRegExMatch = nullptr;
}

size_t CRegEx::GroupCount() const {
    return m_pRegEx != nullptr ? m_pRegEx->re_nsub : 0;
}

bool CRegEx::Init() {
    if (m_bInitialised) {
        return true;
    }
    if (StacksRepetitions(m_szRegExp)) {
        std::fprintf(stderr, "RegEx Error: %s\n", "stacked repetition operators");
        return false;
    }
    if (HasBackReference(m_szRegExp)) {
        std::fprintf(stderr, "RegEx Error: %s\n", "back-references are not supported");
        return false;
    }
    if (EstimatedCompileBytes(m_szRegExp) > kMaxCompileBytes) {
        std::fprintf(stderr, "RegEx Error: %s\n", "repetition counts too large");
        return false;
    }
    regex_t* re = new (std::nothrow) regex_t;
    if (re == nullptr) {
        return false;
    }
    int rc = regcomp(re, m_szRegExp, REG_EXTENDED);
    if (rc != 0) {
        size_t len = regerror(rc, re, nullptr, 0);
        char* text = new (std::nothrow) char[len + 1];
        if (text != nullptr) {
            regerror(rc, re, text, len + 1);
            std::fprintf(stderr, "RegEx Error: %s\n", text);
            delete[] text;
        } else {
            std::fprintf(stderr, "RegEx Error: %d\n", rc);
        }
        // A failed regcomp keeps nothing to free but the structure itself.
        delete re;
        return false;
    }
    if (re->re_nsub > 0) {
        m_pRegExMatch = new (std::nothrow) regmatch_t[re->re_nsub + 1];
        if (m_pRegExMatch == nullptr) {
            regfree(re);
            delete re;
            return false;
        }
    }
    m_pRegEx = re;
    m_bInitialised = true;
    return true;
}

bool CRegEx::Match(const char* szString, bool wantGroups) {
    if (szString == nullptr || !Init()) {
        return false;
    }
    int rc;
    if (wantGroups && m_pRegExMatch != nullptr) {
        rc = regexec(m_pRegEx, szString, GroupCount() + 1, m_pRegExMatch, 0);
    } else {
        rc = regexec(m_pRegEx, szString, 0, nullptr, 0);
    }
    if (rc == 0) {
        return true;
    }
    if (rc == REG_ESPACE) {
        std::fprintf(stderr,
                     "RegEx ran out of memory while trying to evaluate string \"%s\" on regex "
                     "\"%s\"\n",
                     szString, m_szRegExp);
    }
    return false;
}

bool CRegEx::CheckMatch(const char* szString) {
    return Match(szString, m_szRplPattern[0] != '\0');
}

int CRegEx::ReplaceIfMatch(const char* szString, char* szRplStr, int nRplStrLen) {
    if (!CheckMatch(szString)) {
        return -1;
    }
    if (szRplStr == nullptr || nRplStrLen <= 0) {
        return 0;
    }
    char work[kWorkSize];
    BoundedText result(work, sizeof(work));
    const char* p = m_szRplPattern;
    size_t nsub = GroupCount();

    const char* firstPiece = p + std::strspn(p, "$");
    if (*firstPiece == '\0') {
        // Empty pattern or nothing but '$': the pattern is the result.
        result.Append(p);
    } else {
        if (*p != '$') {
            size_t n = std::strcspn(p, "$");
            result.Append(p, n);
            p += n;
        }
        while (*p != '\0') {
            p += std::strspn(p, "$");
            if (*p == '\0') {
                break;
            }
            size_t n = std::strcspn(p, "$");
            if (*p >= '1' && *p <= '9') {
                size_t group = static_cast<size_t>(*p - '0');
                if (m_pRegExMatch != nullptr && group <= nsub) {
                    const regmatch_t& m = m_pRegExMatch[group];
                    if (m.rm_so >= 0 && m.rm_eo > m.rm_so) {
                        result.Append(szString + m.rm_so, static_cast<size_t>(m.rm_eo - m.rm_so));
                    }
                }
                result.Append(p + 1, n - 1);
            } else {
                result.Append('$');
                result.Append(p, n);
            }
            p += n;
        }
    }
    size_t maxChars = nRplStrLen >= 2 ? static_cast<size_t>(nRplStrLen - 2) : 0;
    CopyOut(result, szRplStr, maxChars);
    return ClampLength(result.Length());
}

int CRegEx::ReplaceIfMatchNew(const char* szString, char* szRplStr, int nRplStrLen) {
    size_t nsub = 0;
    if (!Match(szString, true)) {
        return -1;
    }
    if (szRplStr == nullptr || nRplStrLen <= 0) {
        return 0;
    }
    nsub = GroupCount();
    char work[kWorkSize];
    BoundedText result(work, sizeof(work));
    const size_t strLen = std::strlen(szString);

    if (nsub > 0) {
        const regmatch_t& whole = m_pRegExMatch[0];
        if (whole.rm_so < 0) {
            result.Append(szString, strLen);
        } else {
            result.Append(szString, static_cast<size_t>(whole.rm_so));
            for (const char* p = m_szRplPattern; *p != '\0';) {
                if (*p != '$' || p[1] < '0' || p[1] > '9') {
                    result.Append(*p++);
                    continue;
                }
                size_t group = static_cast<size_t>(p[1] - '0');
                p += 2;
                if (*p >= '0' && *p <= '9') {
                    group = group * 10 + static_cast<size_t>(*p - '0');
                    ++p;
                }
                if (group <= nsub) {
                    const regmatch_t& m = m_pRegExMatch[group];
                    if (m.rm_so >= 0 && m.rm_eo >= m.rm_so) {
                        result.Append(szString + m.rm_so, static_cast<size_t>(m.rm_eo - m.rm_so));
                    }
                }
            }
            result.Append(szString + whole.rm_eo, strLen - static_cast<size_t>(whole.rm_eo));
        }
    } else {
        const size_t exprLen = std::strlen(m_szRegExp);
        const char* p = szString;
        if (exprLen > 0) {
            // An empty expression text would be found everywhere and never advance.
            for (const char* hit; (hit = std::strstr(p, m_szRegExp)) != nullptr;
                 p = hit + exprLen) {
                result.Append(p, static_cast<size_t>(hit - p));
                result.Append(m_szRplPattern);
            }
        }
        result.Append(p);
    }
    CopyOut(result, szRplStr, static_cast<size_t>(nRplStrLen - 1));
    return ClampLength(result.Length());
}
