// Heap string with a 16-bit length: the text type of topics and symbols and the
// key of every text-keyed map. Keeps its buffer across assignments so that a
// pooled object is refilled without allocating while the new text fits.
#pragma once

#include <cstring>

#include "qrx/runtime/short_text.h"

class GrowingStr {
public:
    // Longest text a string holds: length and capacity (with the NUL) are 16-bit.
    static constexpr int MAX_LEN = 65534;

    GrowingStr() = default;
    GrowingStr(const char* src);  // NOLINT: implicit by design, as for std::string
    GrowingStr(const GrowingStr& other);
    GrowingStr(GrowingStr&& other) noexcept;
    GrowingStr& operator=(const GrowingStr& other);
    GrowingStr& operator=(GrowingStr&& other) noexcept;
    GrowingStr& operator=(const char* src);
    virtual ~GrowingStr();

    // Replaces the contents with len characters of src. A text longer than
    // MAX_LEN (or a negative length) is refused: the string keeps its contents.
    bool assign(const char* src, int len) {
        // A short text into room the buffer has: copied inline, as most topics and codes are.
        if (len > 0 && len <= static_cast<int>(short_text::kMaxLen) && len < m_nMaxSize &&
            src != nullptr) {
            short_text::Copy(m_pBuf, src, static_cast<size_t>(len));
            m_pBuf[len] = '\0';
            m_nLen = static_cast<unsigned short>(len);
            return true;
        }
        return AssignSlow(src, len);
    }
    bool assign(const char* src) { return assign(src, src ? static_cast<int>(strlen(src)) : 0); }
    // Adds len characters at the end; refused as assign when the result would not fit.
    bool append(const char* src, int len);

    const char* c_str() const { return m_nLen ? m_pBuf : s_empty; }
    unsigned short length() const { return m_nLen; }
    unsigned short size() const { return m_nLen; }
    unsigned short capacity() const { return m_nMaxSize; }
    bool empty() const { return m_nLen == 0; }
    void clear() { m_nLen = 0; }

    bool operator<(const GrowingStr& o) const { return strcmp(c_str(), o.c_str()) < 0; }
    bool operator==(const GrowingStr& o) const {
        return m_nLen == o.m_nLen && (m_nLen == 0 || short_text::Equal(m_pBuf, o.m_pBuf, m_nLen));
    }
    bool operator!=(const GrowingStr& o) const { return !(*this == o); }

private:
    bool AssignSlow(const char* src, int len);

    unsigned short m_nLen = 0;
    unsigned short m_nMaxSize = 0;
    char* m_pBuf = nullptr;

    static const char s_empty[1];
};

// Byte-wise order of GrowingStr keys that also compares against plain C texts, so that an
// ordered container keyed by GrowingStr is searched with a C text without building a string.
struct GrowingStrLess {
    using is_transparent = void;
    bool operator()(const GrowingStr& a, const GrowingStr& b) const {
        return strcmp(a.c_str(), b.c_str()) < 0;
    }
    bool operator()(const GrowingStr& a, const char* b) const { return strcmp(a.c_str(), b) < 0; }
    bool operator()(const char* a, const GrowingStr& b) const { return strcmp(a, b.c_str()) < 0; }
};
