// CMsgBacklog: the messages accepted for a client but not yet written, oldest first, each kept
// in exactly the room it needs. Messages are copied into large chunks one behind the other, so
// a client that stops reading costs the bytes of what waits for it and nothing per message
// beyond a small prefix; chunks that empty are kept for reuse (one spare) or freed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

#include "qrx/wire/msg_hdr.h"

class CMsgBacklog {
public:
    static constexpr size_t kChunkSize = 256 * 1024;

    CMsgBacklog() = default;
    ~CMsgBacklog();
    CMsgBacklog(const CMsgBacklog&) = delete;
    CMsgBacklog& operator=(const CMsgBacklog&) = delete;

    // Copies a message of nLen bytes behind the others; false, with nothing kept, when there is
    // no memory for it.
    bool Push(const char* pMsg, int nLen);
    // Up to nMax of the oldest messages, in order, as they were pushed; they stay in place until
    // popped. Returns how many were given.
    int Peek(MsgHdrCmn** ppOut, int nMax) const;
    // Forgets the n oldest messages.
    void Pop(int n);
    // Forgets every message and frees every chunk.
    void Clear();

    bool Empty() const { return m_nCount == 0; }
    int Count() const { return m_nCount; }
    // Bytes the waiting messages take, their prefixes and alignment included.
    size_t Bytes() const { return m_nBytes; }
    // Bytes allocated for them: the chunks in use and the spare one.
    size_t Footprint() const;

private:
    struct Chunk {
        char* pData = nullptr;
        size_t nSize = 0;  // allocated
        size_t nHead = 0;  // first message not yet popped
        size_t nTail = 0;  // end of the last message
    };
    // The room one message takes: a length prefix, the message, padding to keep the next one
    // aligned.
    static size_t RecordSize(int nLen);
    static char* Message(const Chunk& c, size_t nAt) { return c.pData + nAt + kPrefix; }
    static uint32_t LengthAt(const Chunk& c, size_t nAt);
    bool AddChunk(size_t nAtLeast);
    void FreeChunk(Chunk& c);

    static constexpr size_t kPrefix = 8;
    std::deque<Chunk> m_chunks;
    Chunk m_spare;
    int m_nCount = 0;
    size_t m_nBytes = 0;
};
