// Heap string with a 16-bit length: the text type of topics and symbols and the
// key of every text-keyed map. Keeps its buffer across assignments so that a
// pooled object is refilled without allocating while the new text fits.
#pragma once

#include <cstring>

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
        if (len > 0 && len <= kShortLen && len < m_nMaxSize && src != nullptr) {
            CopyShort(m_pBuf, src, static_cast<unsigned>(len));
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
        if (m_nLen != o.m_nLen) {
            return false;
        }
        if (m_nLen <= kShortLen) {
            return m_nLen == 0 || EqualShort(m_pBuf, o.m_pBuf, m_nLen);
        }
        return memcmp(m_pBuf, o.m_pBuf, m_nLen) == 0;
    }
    bool operator!=(const GrowingStr& o) const { return !(*this == o); }

private:
    // Texts up to this length are copied and compared inline, in at most two overlapping
    // words, without a library call.
    static constexpr int kShortLen = 16;

    template <class W>
    static W LoadWord(const char* p) {
        W w;
        memcpy(&w, p, sizeof w);
        return w;
    }
    template <class W>
    static void StoreWord(char* p, W w) {
        memcpy(p, &w, sizeof w);
    }
    // Copies n (1..16) bytes; every byte is read before any is written, so the ranges may
    // overlap.
    static void CopyShort(char* dst, const char* src, unsigned n) {
        if (n >= 8) {
            const auto a = LoadWord<unsigned long long>(src);
            const auto b = LoadWord<unsigned long long>(src + n - 8);
            StoreWord(dst, a);
            StoreWord(dst + n - 8, b);
        } else if (n >= 4) {
            const auto a = LoadWord<unsigned>(src);
            const auto b = LoadWord<unsigned>(src + n - 4);
            StoreWord(dst, a);
            StoreWord(dst + n - 4, b);
        } else {
            const char a = src[0];
            const char b = src[n / 2];
            const char c = src[n - 1];
            dst[0] = a;
            dst[n / 2] = b;
            dst[n - 1] = c;
        }
    }
    // Compares n (1..16) bytes.
    static bool EqualShort(const char* a, const char* b, unsigned n) {
        if (n >= 8) {
            return LoadWord<unsigned long long>(a) == LoadWord<unsigned long long>(b) &&
                   LoadWord<unsigned long long>(a + n - 8) ==
                       LoadWord<unsigned long long>(b + n - 8);
        }
        if (n >= 4) {
            return LoadWord<unsigned>(a) == LoadWord<unsigned>(b) &&
                   LoadWord<unsigned>(a + n - 4) == LoadWord<unsigned>(b + n - 4);
        }
        return a[0] == b[0] && a[n / 2] == b[n / 2] && a[n - 1] == b[n - 1];
    }

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
