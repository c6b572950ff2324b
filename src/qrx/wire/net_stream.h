// The field stream: encoder and decoder of message bodies. Fields follow one
// another with no tags or padding; numbers are big-endian, texts carry an
// unsigned 16-bit big-endian length before their bytes. A stream either only
// appends (output) or only reads (input), and either owns a buffer that grows
// or is attached to a caller's buffer that it never resizes or frees.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

class GrowingStr;

// Reverses the 8 bytes of a double: host (little-endian) to wire order and back.
inline double htond(double d) {
    uint64_t u;
    memcpy(&u, &d, sizeof u);
    u = __builtin_bswap64(u);
    memcpy(&d, &u, sizeof d);
    return d;
}
inline double ntohd(double d) {
    return htond(d);
}

// Big-endian 16- and 32-bit values stored at or loaded from raw bytes, for
// codecs that build or patch fields in place.
inline void StoreBE16(void* p, uint16_t v) {
    v = __builtin_bswap16(v);
    memcpy(p, &v, sizeof v);
}
inline void StoreBE32(void* p, uint32_t v) {
    v = __builtin_bswap32(v);
    memcpy(p, &v, sizeof v);
}
inline uint16_t LoadBE16(const void* p) {
    uint16_t v;
    memcpy(&v, p, sizeof v);
    return __builtin_bswap16(v);
}

// Manipulator: the capacity of the character array that the next text read
// into a character array goes to; the text is cut to fit (NUL included).
struct CNetStreamMax {
    unsigned short val;
};

class CNetStream {
public:
    // Longest inner stream that Append(CNetStream&) and AppendStream take: its
    // length travels as a signed 16-bit value.
    static constexpr int MAX_NESTED_LEN = 32767;
    // Longest text field: its length travels as an unsigned 16-bit value.
    static constexpr int MAX_TEXT_LEN = 65535;
    // Default capacity and growth step of an owning stream.
    static constexpr int DEFAULT_SIZE = 1024;

    // An owning stream; a size or step of 0 or less gives 1,024 bytes for both.
    CNetStream(bool bIsOut, int nInitLength, int nGrowBy);
    // A stream attached to nLen bytes of the caller's buffer.
    CNetStream(char* pStream, int nLen, bool bIsOut);
    virtual ~CNetStream();

    CNetStream(const CNetStream&) = delete;
    CNetStream& operator=(const CNetStream&) = delete;

    // Frees an owned buffer, then attaches to the caller's buffer with both
    // positions at 0. A null buffer or a negative length attaches 0 bytes.
    void Attach(char* pStream, int nLen, bool bIsOut);

    // The buffer and the length of its content: the write position of an
    // output stream, the valid bytes of an input stream.
    void GetBuf(char*& pBuf, int& nLen) const {
        pBuf = m_pData;
        nLen = GetLength();
    }
    int GetLength() const { return static_cast<int>(m_bIsOut ? m_nWriteOffset : m_nLen); }
    // Both positions back to 0; an output stream is emptied and keeps its buffer.
    void SeekBegin() {
        m_nReadOffset = 0;
        m_nWriteOffset = 0;
    }

    bool IsOut() const { return m_bIsOut; }
    int GetReadOffset() const { return m_nReadOffset; }
    int GetWriteOffset() const { return static_cast<int>(m_nWriteOffset); }
    // Bytes of an input stream not yet read.
    int GetRemaining() const {
        return m_nLen > static_cast<size_t>(m_nReadOffset)
                   ? static_cast<int>(m_nLen - static_cast<size_t>(m_nReadOffset))
                   : 0;
    }
    // Owning output stream: the capacity; otherwise the valid bytes.
    size_t GetCapacity() const { return m_nLen; }

    // ---- appending (output streams); each returns true on success ----
    bool Append(char c) { return PutBytes(&c, 1); }
    bool Append(bool b) {
        const char c = b ? 1 : 0;
        return PutBytes(&c, 1);
    }
    bool Append(short v) { return PutBE(static_cast<uint16_t>(v)); }
    bool Append(unsigned short v) { return PutBE(static_cast<uint16_t>(v)); }
    bool Append(int v) { return PutBE(static_cast<uint32_t>(v)); }
    bool Append(unsigned int v) { return PutBE(static_cast<uint32_t>(v)); }
    // 64-bit values travel as their low 32 bits.
    bool Append(long v) { return PutBE(static_cast<uint32_t>(v)); }
    bool Append(unsigned long v) { return PutBE(static_cast<uint32_t>(v)); }
    bool Append(double d) {
        uint64_t u;
        memcpy(&u, &d, sizeof u);
        return PutBE(u);
    }
    // A text field of iLength bytes; -1 means strlen(szVal). Any other negative
    // length is refused. A null text with length -1 or 0 is the empty text.
    bool Append(const char* szVal, short iLength = -1);
    // A text field of nLen bytes (0 to 65,535). The length and the bytes are
    // written together or not at all.
    bool AppendText(const char* pVal, int nLen);
    bool Append(const GrowingStr& str);
    // A nested stream: its length as a 16-bit field, then its bytes. Refused,
    // with nothing written, when its content is 32,768 bytes or more.
    bool Append(CNetStream& strm);
    // The inner stream's bytes with no length before them (joins two streams).
    // Refused as Append(CNetStream&).
    bool AppendStream(CNetStream& strm);

    // ---- reading (input streams); each returns true on success ----
    // A failed numeric read leaves the target and the read position unchanged.
    bool GetNextField(char& c) { return GetBytes(&c, 1); }
    bool GetNextField(bool& b) {
        char c;
        if (!GetBytes(&c, 1)) {
            return false;
        }
        b = c != 0;
        return true;
    }
    bool GetNextField(short& v) { return GetBE16(v); }
    bool GetNextField(unsigned short& v) { return GetBE16(v); }
    bool GetNextField(int& v) { return GetBE32(v); }
    bool GetNextField(unsigned int& v) { return GetBE32(v); }
    // A signed 32-bit value widened with its sign.
    bool GetNextField(long& v) { return GetWidened(v); }
    bool GetNextField(unsigned long& v) { return GetWidened(v); }
    bool GetNextField(double& d) {
        uint64_t u;
        if (!GetBE(u)) {
            return false;
        }
        memcpy(&d, &u, sizeof d);
        return true;
    }
    // A text field into a character array, NUL-terminated. Without a width set
    // by CNetStreamMax the array must hold the text's length + 1 bytes; with
    // one, the text is cut to fit. pLength receives the characters stored. A
    // refused text has consumed its length field; a cut text is skipped whole.
    bool GetNextField(char* szVal, short* pLength = nullptr);
    // A text field into nCapacity bytes at szVal (nCapacity at least 1), cut
    // to nCapacity - 1 characters and NUL-terminated; nStored receives the
    // characters stored. The whole text is consumed even when cut.
    bool GetNextText(char* szVal, int nCapacity, int& nStored);
    // A text field into a GrowingStr, refused when longer than nMaxLen (0: no
    // limit) or 32,768 bytes or more.
    bool GetNextField(GrowingStr& str, int nMaxLen);
    // A nested-stream field: its bytes are appended to the output stream strm.
    bool GetNextField(CNetStream& strm);

    // ---- bulk access, for codecs that write or read many fields at once ----
    // Output: room for n bytes at the write position (an owning stream grows);
    // null when the stream reads or an attached buffer lacks the room. Bytes
    // written there count once CommitAppend is called.
    char* PrepareAppend(size_t n) {
        if (!m_bIsOut || (n > m_nLen - m_nWriteOffset && !Reserve(n))) {
            return nullptr;
        }
        return m_pData + m_nWriteOffset;
    }
    // Output: moves the write position past n bytes filled in at the pointer
    // PrepareAppend gave; false, with nothing moved, past the buffer's end.
    bool CommitAppend(size_t n) {
        if (!m_bIsOut || n > m_nLen - m_nWriteOffset) {
            return false;
        }
        m_nWriteOffset += n;
        return true;
    }
    // Input: the first unread byte, GetRemaining() of which follow; null for
    // an output stream.
    const char* GetReadPtr() const { return m_bIsOut ? nullptr : m_pData + m_nReadOffset; }
    // Input: moves the read position past n bytes; false, with nothing moved,
    // when fewer remain.
    bool Skip(size_t n) {
        if (m_bIsOut || n > static_cast<size_t>(GetRemaining())) {
            return false;
        }
        m_nReadOffset += static_cast<int>(n);
        return true;
    }

    // ---- chaining operators: they discard the result ----
    CNetStream& operator<<(char v) { return Chain(Append(v)); }
    CNetStream& operator<<(bool v) { return Chain(Append(v)); }
    CNetStream& operator<<(short v) { return Chain(Append(v)); }
    CNetStream& operator<<(unsigned short v) { return Chain(Append(v)); }
    CNetStream& operator<<(int v) { return Chain(Append(v)); }
    CNetStream& operator<<(unsigned int v) { return Chain(Append(v)); }
    CNetStream& operator<<(long v) { return Chain(Append(v)); }
    CNetStream& operator<<(unsigned long v) { return Chain(Append(v)); }
    CNetStream& operator<<(double v) { return Chain(Append(v)); }
    CNetStream& operator<<(const char* v) { return Chain(Append(v, -1)); }
    CNetStream& operator<<(const GrowingStr& v) { return Chain(Append(v)); }
    CNetStream& operator<<(CNetStream& v) { return Chain(Append(v)); }

    CNetStream& operator>>(char& v) { return Chain(GetNextField(v)); }
    CNetStream& operator>>(bool& v) { return Chain(GetNextField(v)); }
    CNetStream& operator>>(short& v) { return Chain(GetNextField(v)); }
    CNetStream& operator>>(unsigned short& v) { return Chain(GetNextField(v)); }
    CNetStream& operator>>(int& v) { return Chain(GetNextField(v)); }
    CNetStream& operator>>(unsigned int& v) { return Chain(GetNextField(v)); }
    CNetStream& operator>>(long& v) { return Chain(GetNextField(v)); }
    CNetStream& operator>>(unsigned long& v) { return Chain(GetNextField(v)); }
    CNetStream& operator>>(double& v) { return Chain(GetNextField(v)); }
    CNetStream& operator>>(char* v) { return Chain(GetNextField(v, nullptr)); }
    CNetStream& operator>>(GrowingStr& v) { return Chain(GetNextField(v, 0)); }
    CNetStream& operator>>(CNetStream& v) { return Chain(GetNextField(v)); }
    CNetStream& operator>>(CNetStreamMax m) {
        m_maxwidth = m.val;
        return *this;
    }

protected:
    // Appends n raw bytes: grows an owning buffer, refuses when an attached one
    // is too small or the stream reads.
    bool PutBytes(const void* p, size_t n) {
        char* dst = PrepareAppend(n);
        if (dst == nullptr) {
            return false;
        }
        memcpy(dst, p, n);
        m_nWriteOffset += n;
        return true;
    }
    bool GetBytes(void* p, size_t n) {
        const size_t off = static_cast<size_t>(m_nReadOffset);
        if (m_bIsOut || off > m_nLen || n > m_nLen - off) {
            return false;
        }
        memcpy(p, m_pData + m_nReadOffset, n);
        m_nReadOffset += static_cast<int>(n);
        return true;
    }
    // Makes room for n more bytes behind the write position of an owning
    // stream, growing by whole steps; false for an attached stream.
    bool Reserve(size_t n);

    static uint16_t ToBE(uint16_t v) { return __builtin_bswap16(v); }
    static uint32_t ToBE(uint32_t v) { return __builtin_bswap32(v); }
    static uint64_t ToBE(uint64_t v) { return __builtin_bswap64(v); }

    template <typename U>
    bool PutBE(U v) {
        v = ToBE(v);
        return PutBytes(&v, sizeof v);
    }
    template <typename U>
    bool GetBE(U& v) {
        U raw;
        if (!GetBytes(&raw, sizeof raw)) {
            return false;
        }
        v = ToBE(raw);
        return true;
    }
    template <typename T>
    bool GetBE16(T& v) {
        uint16_t u;
        if (!GetBE(u)) {
            return false;
        }
        v = static_cast<T>(u);
        return true;
    }
    template <typename T>
    bool GetBE32(T& v) {
        uint32_t u;
        if (!GetBE(u)) {
            return false;
        }
        v = static_cast<T>(u);
        return true;
    }
    template <typename T>
    bool GetWidened(T& v) {
        uint32_t u;
        if (!GetBE(u)) {
            return false;
        }
        v = static_cast<T>(static_cast<int64_t>(static_cast<int32_t>(u)));
        return true;
    }
    // Reads a 16-bit length and checks that that many bytes follow; the length
    // stays consumed either way. Returns -1 when refused.
    int GetFieldLength(bool bSigned);
    CNetStream& Chain(bool) { return *this; }

    char* m_pData = nullptr;
    size_t m_nLen = 0;
    int m_nGrowBy = 0;
    int m_nReadOffset = 0;
    size_t m_nWriteOffset = 0;
    bool m_bIsOut = false;
    unsigned short m_maxwidth = 0;
};

// Text fields of fixed-size character arrays: written up to the NUL (never
// beyond the array), read with the array's size as width so that a longer text
// is cut and NUL-terminated instead of overrunning the array.
template <size_t N>
inline bool append_fixed_text(CNetStream& strm, const char (&arr)[N]) {
    static_assert(N <= static_cast<size_t>(CNetStream::MAX_TEXT_LEN), "array too long");
    return strm.AppendText(arr, static_cast<int>(strnlen(arr, N)));
}
template <size_t N>
inline bool read_fixed_text(CNetStream& strm, char (&arr)[N]) {
    static_assert(N >= 1, "array size out of range");
    int stored;
    return strm.GetNextText(arr, static_cast<int>(N), stored);
}
