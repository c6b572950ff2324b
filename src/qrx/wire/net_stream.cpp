#include "qrx/wire/net_stream.h"

#include <climits>
#include <cstdint>
#include <new>

#include "qrx/runtime/growing_str.h"

CNetStream::CNetStream(bool bIsOut, int nInitLength, int nGrowBy) : m_bIsOut(bIsOut) {
    if (nInitLength <= 0 || nGrowBy <= 0) {
        nInitLength = DEFAULT_SIZE;
        nGrowBy = DEFAULT_SIZE;
    }
    m_nGrowBy = nGrowBy;
    // Zero-filled so that an owning input stream never yields indeterminate bytes.
    m_pData = new (std::nothrow) char[static_cast<size_t>(nInitLength)]();
    m_nLen = m_pData ? static_cast<size_t>(nInitLength) : 0;
}

CNetStream::CNetStream(char* pStream, int nLen, bool bIsOut) {
    Attach(pStream, nLen, bIsOut);
}

CNetStream::~CNetStream() {
    if (m_nGrowBy != 0) {
        delete[] m_pData;
    }
}

void CNetStream::Attach(char* pStream, int nLen, bool bIsOut) {
    if (m_nGrowBy != 0) {
        delete[] m_pData;
    }
    m_pData = pStream;
    m_nLen = (pStream != nullptr && nLen > 0) ? static_cast<size_t>(nLen) : 0;
    m_nGrowBy = 0;
    m_nReadOffset = 0;
    m_nWriteOffset = 0;
    m_bIsOut = bIsOut;
    m_maxwidth = 0;
}

bool CNetStream::Reserve(size_t n) {
    if (m_nGrowBy == 0) {
        return false;
    }
    const size_t need = m_nWriteOffset + n;
    if (n > static_cast<size_t>(INT_MAX) || need > static_cast<size_t>(INT_MAX)) {
        return false;
    }
    // Linear growth by whole steps, computed at once so that one allocation suffices.
    const size_t step = static_cast<size_t>(m_nGrowBy);
    const size_t steps = (need - m_nLen + step - 1) / step;
    const size_t newCap = m_nLen + steps * step;
    if (newCap > static_cast<size_t>(INT_MAX)) {
        return false;
    }
    char* p = new (std::nothrow) char[newCap];
    if (p == nullptr) {
        return false;
    }
    if (m_nWriteOffset != 0) {
        memcpy(p, m_pData, m_nWriteOffset);
    }
    delete[] m_pData;
    m_pData = p;
    m_nLen = newCap;
    return true;
}

bool CNetStream::Append(const char* szVal, short iLength) {
    int len = iLength;
    if (iLength == -1) {
        if (szVal == nullptr) {
            return AppendText(nullptr, 0);
        }
        const size_t n = strlen(szVal);
        if (n > static_cast<size_t>(MAX_TEXT_LEN)) {
            return false;
        }
        len = static_cast<int>(n);
    }
    return AppendText(szVal, len);
}

bool CNetStream::AppendText(const char* pVal, int nLen) {
    if (nLen < 0 || nLen > MAX_TEXT_LEN || (nLen > 0 && pVal == nullptr)) {
        return false;
    }
    // Room for the length and the bytes together, so that neither is written alone.
    const size_t total = 2 + static_cast<size_t>(nLen);
    // The text may lie in our own buffer (a field copied again), which growing replaces.
    const uintptr_t at = reinterpret_cast<uintptr_t>(pVal);
    const uintptr_t base = reinterpret_cast<uintptr_t>(m_pData);
    const bool bOwn = pVal != nullptr && m_pData != nullptr && at >= base && at - base < m_nLen;
    char* dst = PrepareAppend(total);
    if (dst == nullptr) {
        return false;
    }
    if (bOwn) {
        pVal = m_pData + (at - base);
    }
    StoreBE16(dst, static_cast<uint16_t>(nLen));
    if (nLen != 0) {
        memcpy(dst + 2, pVal, static_cast<size_t>(nLen));
    }
    m_nWriteOffset += total;
    return true;
}

bool CNetStream::Append(const GrowingStr& str) {
    return AppendText(str.c_str(), str.length());
}

bool CNetStream::Append(CNetStream& strm) {
    const int n = strm.GetLength();
    if (&strm == this || n > MAX_NESTED_LEN) {
        return false;
    }
    return AppendText(strm.m_pData, n);
}

bool CNetStream::AppendStream(CNetStream& strm) {
    const int n = strm.GetLength();
    if (&strm == this || n > MAX_NESTED_LEN) {
        return false;
    }
    if (n == 0) {
        return m_bIsOut;
    }
    return PutBytes(strm.m_pData, static_cast<size_t>(n));
}

int CNetStream::GetFieldLength(bool bSigned) {
    uint16_t u;
    if (!GetBE(u)) {
        return -1;
    }
    if (bSigned && u > static_cast<uint16_t>(MAX_NESTED_LEN)) {
        return -1;
    }
    if (u > static_cast<size_t>(GetRemaining())) {
        return -1;
    }
    return u;
}

bool CNetStream::GetNextField(char* szVal, short* pLength) {
    // The width applies to this one read, whatever its outcome.
    const int capacity = m_maxwidth != 0 ? m_maxwidth : INT_MAX;
    m_maxwidth = 0;
    int stored = 0;
    if (!GetNextText(szVal, capacity, stored)) {
        return false;
    }
    if (pLength != nullptr) {
        *pLength = static_cast<short>(stored);
    }
    return true;
}

bool CNetStream::GetNextText(char* szVal, int nCapacity, int& nStored) {
    if (szVal == nullptr || nCapacity < 1 || m_bIsOut) {
        return false;
    }
    const int len = GetFieldLength(false);
    if (len < 0) {
        return false;
    }
    const int stored = len < nCapacity ? len : nCapacity - 1;
    if (stored > 0) {
        memcpy(szVal, m_pData + m_nReadOffset, static_cast<size_t>(stored));
    }
    szVal[stored] = '\0';
    nStored = stored;
    m_nReadOffset += len;
    return true;
}

bool CNetStream::GetNextField(GrowingStr& str, int nMaxLen) {
    const int len = GetFieldLength(true);
    if (len < 0 || (nMaxLen != 0 && len > nMaxLen)) {
        return false;
    }
    if (!str.assign(m_pData + m_nReadOffset, len)) {
        return false;
    }
    m_nReadOffset += len;
    return true;
}

bool CNetStream::GetNextField(CNetStream& strm) {
    if (&strm == this) {
        return false;
    }
    const int len = GetFieldLength(true);
    if (len < 0) {
        return false;
    }
    if (len != 0 && !strm.PutBytes(m_pData + m_nReadOffset, static_cast<size_t>(len))) {
        return false;
    }
    if (len == 0 && !strm.m_bIsOut) {
        return false;
    }
    m_nReadOffset += len;
    return true;
}
