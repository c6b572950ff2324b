#include "qrx/symsrv/out_queue.h"

#include <cstring>

#include "qrx/wire/msg_hdr.h"
#include "qrx/wire/sym_msgs.h"

namespace {

void PutBE16(char* p, uint16_t v) {
    p[0] = static_cast<char>(v >> 8);
    p[1] = static_cast<char>(v & 0xFF);
}

// Longest message of the stream form: its length travels in 16 bits.

}  // namespace

char* COutQueue::Reserve(size_t n) {
    if (m_buf.size() - m_nTail >= n) {
        return m_buf.data() + m_nTail;
    }
    // Move the waiting bytes to the front when that makes the room (an open message moves
    // with them), else grow.
    const size_t nPending = m_nTail - m_nHead;
    if (m_nHead > 0 && m_buf.size() - nPending >= n && m_nHead >= m_buf.size() / 2) {
        memmove(m_buf.data(), m_buf.data() + m_nHead, nPending);
        if (m_nOpenAt >= 0) {
            m_nOpenAt -= static_cast<long>(m_nHead);
        }
        m_nTail = nPending;
        m_nHead = 0;
        return m_buf.data() + m_nTail;
    }
    size_t nSize = m_buf.empty() ? 64 * 1024 : m_buf.size() * 2;
    while (nSize - m_nTail < n) {
        nSize *= 2;
    }
    try {
        m_buf.resize(nSize);
    } catch (...) {
        return nullptr;
    }
    return m_buf.data() + m_nTail;
}

void COutQueue::CloseData() {
    if (m_nOpenAt < 0) {
        return;
    }
    char* p = m_buf.data() + m_nOpenAt;
    const size_t nLen = m_nTail - static_cast<size_t>(m_nOpenAt);
    PutBE16(p, static_cast<uint16_t>(nLen));
    PutBE16(p + 8, static_cast<uint16_t>(nLen - kDataPrefix));
    m_nOpenAt = -1;
    m_nOpenRecords = 0;
}

bool COutQueue::AppendMsg(const char* pMsg, size_t nLen) {
    CloseData();
    char* p = Reserve(nLen);
    if (p == nullptr) {
        return false;
    }
    memcpy(p, pMsg, nLen);
    m_nTail += nLen;
    return true;
}

bool COutQueue::AppendRecord(short nSubType, const char* pRecord, size_t nLen) {
    if (!RecordFits(nLen)) {
        return false;
    }
    if (m_nOpenAt >= 0) {
        const size_t nBody = m_nTail - static_cast<size_t>(m_nOpenAt) - kDataPrefix;
        if (m_nOpenSubType != nSubType || m_nOpenRecords >= kMaxRecords || nBody >= kCutBodyBytes ||
            nBody + nLen + kDataPrefix > kMaxMsg) {
            CloseData();
        }
    }
    const size_t nNeed = nLen + (m_nOpenAt < 0 ? kDataPrefix : 0);
    char* p = Reserve(nNeed);
    if (p == nullptr) {
        return false;
    }
    if (m_nOpenAt < 0) {
        m_nOpenAt = static_cast<long>(m_nTail);
        m_nOpenSubType = nSubType;
        PutBE16(p, 0);
        PutBE16(p + 2, static_cast<uint16_t>(MsgHdrSym::HDR_TYPE));
        PutBE16(p + 4, static_cast<uint16_t>(CM_SYM_DATA));
        PutBE16(p + 6, static_cast<uint16_t>(nSubType));
        PutBE16(p + 8, 0);
        p += kDataPrefix;
        m_nTail += kDataPrefix;
    }
    memcpy(p, pRecord, nLen);
    m_nTail += nLen;
    ++m_nOpenRecords;
    return true;
}

void COutQueue::Consume(size_t n) {
    m_nHead += n < Pending() ? n : Pending();
    if (m_nHead == m_nTail && m_nOpenAt < 0) {
        m_nHead = m_nTail = 0;
    }
}

void COutQueue::Clear() {
    m_nHead = m_nTail = 0;
    m_nOpenAt = -1;
    m_nOpenRecords = 0;
}
