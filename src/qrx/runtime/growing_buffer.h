// Byte buffer that only grows, into which outgoing messages are assembled.
// Keeps its storage on Reset so that reuse does not allocate.
#pragma once

class CGrowingBuffer {
public:
    explicit CGrowingBuffer(int nInitialSize = 512);
    CGrowingBuffer(const CGrowingBuffer& other);
    CGrowingBuffer& operator=(const CGrowingBuffer& other);
    virtual ~CGrowingBuffer();

    // Copies nLen bytes to the end; returns where they now lie, or null (with
    // nothing appended) for nLen <= 0, a null pBuf or a length past INT_MAX.
    char* Append(const char* pBuf, int nLen);
    // Makes the capacity at least nSize (exact growth), keeping the contents.
    char* GetBuffer(int nSize);
    void Reset() { m_nCurrPos = 0; }
    int GetSize() const { return m_nSize; }
    int GetLength() const { return m_nCurrPos; }
    char* GetData() const { return m_pBuffer; }
    // Sets the length in use after bytes were written through GetBuffer.
    void SetLength(int nLen) { m_nCurrPos = nLen < 0 ? 0 : (nLen > m_nSize ? m_nSize : nLen); }

private:
    void Grow(int nSize);

    char* m_pBuffer;
    int m_nSize;
    int m_nCurrPos;
};
