#pragma once

#include <regex.h>

// One POSIX extended regular expression paired with a replacement pattern. The expression
// is compiled on first use; a failed compilation is reported on standard error and retried
// at every later use. Expressions on which the platform's compiler or matcher would spend
// memory or time without bound (stacked repetitions, back-references, huge repetition counts)
// are refused in the same way. One object must not be used by two threads at once: the match
// array lives inside it.
class CRegEx {
public:
    // Both texts are copied (at most 511 characters each); a null argument leaves the text
    // empty.
    CRegEx(const char* szRegExp, const char* szRplPattern);
    ~CRegEx();

    CRegEx(const CRegEx&) = delete;
    CRegEx& operator=(const CRegEx&) = delete;
    CRegEx(CRegEx&& other) noexcept;
    CRegEx& operator=(CRegEx&& other) noexcept;

    // Whether the string matches; false for null or when the expression does not compile.
    bool CheckMatch(const char* szString);

    // Rewrites a matching string into the replacement pattern, where $1..$9 stand for the
    // groups of the match ("$1.LN" with group 1 = "XYZ" gives "XYZ.LN"); the matched string
    // itself is not copied around the result. Returns -1 when the string does not match, 0
    // when it matches but no output buffer was given (null or nRplStrLen <= 0), otherwise the
    // length of the full result. At most nRplStrLen - 2 characters are written, always
    // followed by a NUL. Results are built in a work area of 4096 characters: a longer
    // result is cut to 4095 characters, its full length is still returned. szRplStr may be
    // the same buffer as szString.
    int ReplaceIfMatch(const char* szString, char* szRplStr, int nRplStrLen);

    // Replaces the matched part inside the string by the expanded pattern ($0..$99 stand for
    // groups). Without groups, every literal occurrence of the expression text is replaced by
    // the pattern instead. Same results as ReplaceIfMatch, except that up to nRplStrLen - 1
    // characters are written before the NUL.
    int ReplaceIfMatchNew(const char* szString, char* szRplStr, int nRplStrLen);

    const char* GetRegExp() const { return m_szRegExp; }
    const char* GetRplPattern() const { return m_szRplPattern; }

    static constexpr int kTextSize = 512;
    static constexpr int kWorkSize = 4096;

private:
    bool Init();
    // Runs the expression; wantGroups records the sub-matches whenever the expression has
    // groups (CheckMatch does so only when the pattern can use them).
    bool Match(const char* szString, bool wantGroups);
    size_t GroupCount() const;
    void Release();

    bool m_bInitialised;
    char m_szRegExp[kTextSize];
    char m_szRplPattern[kTextSize];
    regex_t* m_pRegEx;
    regmatch_t* m_pRegExMatch;
};
