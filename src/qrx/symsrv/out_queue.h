// COutQueue: the bytes waiting to be written to one peer, in the stream form the peer reads.
// One contiguous buffer with a read and a write position: appending copies behind the last
// byte, writing takes from the front, and the room at the front is reused once the queue
// empties or the front passes half the buffer. The buffer grows to the largest backlog seen
// and is kept, so a peer that keeps up costs no allocation per message.
//
// Market-data records bound for the peer are gathered into one open data message (header,
// text length, records) that is closed when a record of another sub-type comes, when it is
// full, or before any other message or write.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class COutQueue {
public:
    // A data message is closed past this many records or body bytes.
    static constexpr int kMaxRecords = 255;
    static constexpr size_t kCutBodyBytes = 8192;
    // Header (8) and the text length of the raw body (2).
    static constexpr size_t kDataPrefix = 10;
    // The longest message the stream form can frame.
    static constexpr size_t kMaxMsg = 65535;

    // Whether a record of nLen bytes fits a data message at all.
    static bool RecordFits(size_t nLen) { return nLen + kDataPrefix <= kMaxMsg; }

    COutQueue() = default;
    COutQueue(const COutQueue&) = delete;
    COutQueue& operator=(const COutQueue&) = delete;

    // Bytes waiting, the open message included.
    size_t Pending() const { return m_nTail - m_nHead; }
    bool Empty() const { return m_nTail == m_nHead; }
    size_t Capacity() const { return m_buf.size(); }

    // One whole message in stream form, after closing the open data message. False when no
    // memory could be had for it.
    bool AppendMsg(const char* pMsg, size_t nLen);
    // One encoded record for a Sym data message of the given sub-type (update or snapshot).
    // False when no memory could be had, or the record cannot fit any message.
    bool AppendRecord(short nSubType, const char* pRecord, size_t nLen);
    // Closes the open data message, if any: its length fields are set.
    void CloseData();

    // The bytes ready to be written (the open message is closed first).
    const char* Front() {
        CloseData();
        return m_buf.data() + m_nHead;
    }
    // Forgets n bytes written from the front.
    void Consume(size_t n);
    void Clear();

private:
    char* Reserve(size_t n);

    std::vector<char> m_buf;
    size_t m_nHead = 0;
    size_t m_nTail = 0;
    // The open data message: its start, sub-type and records so far (-1: none open).
    long m_nOpenAt = -1;
    short m_nOpenSubType = 0;
    int m_nOpenRecords = 0;
};
