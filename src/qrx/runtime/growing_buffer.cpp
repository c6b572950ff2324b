#include "qrx/runtime/growing_buffer.h"

#include <climits>
#include <cstdint>
#include <cstring>

CGrowingBuffer::CGrowingBuffer(int nInitialSize)
    : m_pBuffer(nullptr), m_nSize(nInitialSize > 0 ? nInitialSize : 512), m_nCurrPos(0) {
    m_pBuffer = new char[m_nSize];
}

CGrowingBuffer::CGrowingBuffer(const CGrowingBuffer& other)
    : m_pBuffer(new char[other.m_nSize]), m_nSize(other.m_nSize), m_nCurrPos(other.m_nCurrPos) {
    memcpy(m_pBuffer, other.m_pBuffer, static_cast<size_t>(m_nCurrPos));
}

CGrowingBuffer& CGrowingBuffer::operator=(const CGrowingBuffer& other) {
    if (this != &other) {
        Reset();
        Append(other.m_pBuffer, other.m_nCurrPos);
    }
    return *this;
}

CGrowingBuffer::~CGrowingBuffer() {
    delete[] m_pBuffer;
}

void CGrowingBuffer::Grow(int nSize) {
    char* p = new char[nSize];
    memcpy(p, m_pBuffer, static_cast<size_t>(m_nCurrPos));
    delete[] m_pBuffer;
    m_pBuffer = p;
    m_nSize = nSize;
}

char* CGrowingBuffer::Append(const char* pBuf, int nLen) {
    // No bytes to copy, or a length the position cannot reach without wrapping.
    if (nLen <= 0 || pBuf == nullptr || nLen > INT_MAX - m_nCurrPos) {
        return nullptr;
    }
    if (m_nCurrPos + nLen > m_nSize) {
        // The source may lie in our own storage (appending our own bytes), which Grow replaces.
        const uintptr_t at = reinterpret_cast<uintptr_t>(pBuf);
        const uintptr_t base = reinterpret_cast<uintptr_t>(m_pBuffer);
        const bool bOwn = at >= base && at < base + static_cast<uintptr_t>(m_nSize);
        Grow(m_nCurrPos + nLen);
        if (bOwn) {
            pBuf = m_pBuffer + (at - base);
        }
    }
    char* dst = m_pBuffer + m_nCurrPos;
    memcpy(dst, pBuf, static_cast<size_t>(nLen));
    m_nCurrPos += nLen;
    return dst;
}

char* CGrowingBuffer::GetBuffer(int nSize) {
    if (nSize > m_nSize) {
        Grow(nSize);
    }
    return m_pBuffer;
}
