#include "qrx/proxy/msg_backlog.h"

#include <cstdlib>
#include <cstring>

CMsgBacklog::~CMsgBacklog() {
    Clear();
}

size_t CMsgBacklog::RecordSize(int nLen) {
    return (kPrefix + static_cast<size_t>(nLen) + 7) & ~static_cast<size_t>(7);
}

uint32_t CMsgBacklog::LengthAt(const Chunk& c, size_t nAt) {
    uint32_t nLen;
    memcpy(&nLen, c.pData + nAt, sizeof nLen);
    return nLen;
}

bool CMsgBacklog::AddChunk(size_t nAtLeast) {
    Chunk c;
    if (m_spare.pData != nullptr && m_spare.nSize >= nAtLeast) {
        c = m_spare;
        m_spare = Chunk();
    } else {
        c.nSize = nAtLeast > kChunkSize ? nAtLeast : kChunkSize;
        c.pData = static_cast<char*>(malloc(c.nSize));
        if (c.pData == nullptr) {
            return false;
        }
    }
    c.nHead = c.nTail = 0;
    try {
        m_chunks.push_back(c);
    } catch (...) {
        FreeChunk(c);
        return false;
    }
    return true;
}

void CMsgBacklog::FreeChunk(Chunk& c) {
    // One chunk of the usual size is kept, so that a client hovering around an empty backlog
    // does not allocate a chunk at every stall.
    if (m_spare.pData == nullptr && c.nSize == kChunkSize) {
        m_spare = c;
    } else {
        free(c.pData);
    }
    c = Chunk();
}

bool CMsgBacklog::Push(const char* pMsg, int nLen) {
    if (pMsg == nullptr || nLen < 0) {
        return false;
    }
    const size_t nRecord = RecordSize(nLen);
    if ((m_chunks.empty() || m_chunks.back().nSize - m_chunks.back().nTail < nRecord) &&
        !AddChunk(nRecord)) {
        return false;
    }
    Chunk& c = m_chunks.back();
    const uint32_t nLen32 = static_cast<uint32_t>(nLen);
    memcpy(c.pData + c.nTail, &nLen32, sizeof nLen32);
    memcpy(Message(c, c.nTail), pMsg, static_cast<size_t>(nLen));
    c.nTail += nRecord;
    ++m_nCount;
    m_nBytes += nRecord;
    return true;
}

int CMsgBacklog::Peek(MsgHdrCmn** ppOut, int nMax) const {
    int n = 0;
    for (const Chunk& c : m_chunks) {
        for (size_t at = c.nHead; at < c.nTail && n < nMax;
             at += RecordSize(static_cast<int>(LengthAt(c, at)))) {
            ppOut[n++] = reinterpret_cast<MsgHdrCmn*>(Message(c, at));
        }
        if (n >= nMax) {
            break;
        }
    }
    return n;
}

void CMsgBacklog::Pop(int n) {
    while (n > 0 && !m_chunks.empty()) {
        Chunk& c = m_chunks.front();
        while (n > 0 && c.nHead < c.nTail) {
            const size_t nRecord = RecordSize(static_cast<int>(LengthAt(c, c.nHead)));
            c.nHead += nRecord;
            m_nBytes -= nRecord;
            --m_nCount;
            --n;
        }
        if (c.nHead < c.nTail) {
            break;
        }
        // The last chunk is kept while it has room, so a trickle of messages reuses it.
        if (m_chunks.size() == 1) {
            c.nHead = c.nTail = 0;
            break;
        }
        FreeChunk(c);
        m_chunks.pop_front();
    }
}

void CMsgBacklog::Clear() {
    for (Chunk& c : m_chunks) {
        free(c.pData);
    }
    m_chunks.clear();
    free(m_spare.pData);
    m_spare = Chunk();
    m_nCount = 0;
    m_nBytes = 0;
}

size_t CMsgBacklog::Footprint() const {
    size_t n = m_spare.nSize;
    for (const Chunk& c : m_chunks) {
        n += c.nSize;
    }
    return n;
}
