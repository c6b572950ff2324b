// Building Sym data messages in pooled message buffers, shared by the flush and the catch-up
// of conflated topics.
#pragma once

#include <algorithm>
#include <cstring>

#include "qrx/marketdata/sym_data.h"
#include "qrx/marketdata/sym_data_aux.h"
#include "qrx/runtime/growing_buffer.h"
#include "qrx/wire/msg_hdr.h"
#include "qrx/wire/net_stream.h"
#include "qrx/wire/sym_msgs.h"

namespace symproxy {

// Longest body of one data message: its length must fit the header, the stream form and the
// receiver's message memory.
constexpr int kMaxBodyLen = MaxMsgBodyLen<MsgHdrSym>();
// Bodies are cut soon after 4,095 bytes, so a pooled buffer grown straight to this size
// holds nearly every later message: it grows once instead of at each new size.
constexpr int kWarmMsgBufSize = 8192;
constexpr int kBodyOffset = MsgHdrSym::BODY_OFFSET;

// Writes the 8-byte header of a Sym data message whose body of nBodyLen bytes is in place.
// A body shorter than the 8-byte slot a message always has is padded with zeros.
inline void FinishDataMsg(CGrowingBuffer* pBuf, short nSubType, int nBodyLen) {
    char* p = pBuf->GetData();
    if (nBodyLen < 8) {
        memset(p + kBodyOffset + nBodyLen, 0, static_cast<size_t>(8 - nBodyLen));
    }
    memset(p, 0, kBodyOffset);
    MsgHdrSym* pHdr = reinterpret_cast<MsgHdrSym*>(p);
    pHdr->mtyp = CM_SYM_DATA;
    pHdr->submtyp = nSubType;
    SetMsgLen(pHdr, nBodyLen);
    pBuf->SetLength(kBodyOffset + nBodyLen);
}

// Makes the buffer hold at least the header and nBodyRoom body bytes (and the 8-byte slot).
inline char* SizeMsgBuf(CGrowingBuffer* pBuf, int nBodyRoom) {
    return pBuf->GetBuffer(std::max(kWarmMsgBufSize, kBodyOffset + std::max(nBodyRoom, 8)));
}

// Fills a message buffer with one Sym data message: the 8-byte header, then the body.
inline void BuildDataMsg(CGrowingBuffer* pBuf, short nSubType, const char* pBody, int nBodyLen) {
    char* p = SizeMsgBuf(pBuf, nBodyLen);
    if (nBodyLen > 0) {
        memcpy(p + kBodyOffset, pBody, static_cast<size_t>(nBodyLen));
    }
    FinishDataMsg(pBuf, nSubType, nBodyLen);
}

// Builds the data messages of a flush in the flush's buffers, in turn: records are encoded
// straight into the buffer of the message being built, after the room of its header, which
// is written when the message is cut. A record the room left cannot take is encoded aside
// first, then goes into this message (its buffer grown) or opens the next one.
class DataMsgBuilder {
public:
    DataMsgBuilder(CGrowingBuffer** ppBufs, int& nUsed, short nSubType, CNetStream& body,
                   CNetStream& aside)
        : m_ppBufs(ppBufs), m_nUsed(nUsed), m_nSubType(nSubType), m_body(body), m_aside(aside) {}

    // Adds the record; false, with nothing added, when it is too long for any message (its
    // length is then RefusedLength()) or could not be encoded at all (RefusedLength() 0).
    bool Add(const CSymData& record) {
        if (m_pMsg == nullptr) {
            Open(0);
        }
        if (CSymDataAux::SerializeSymOut(record, m_body)) {
            ++m_nCount;
            return true;
        }
        return AddAside(record);
    }
    int Count() const { return m_nCount; }
    int RefusedLength() const { return m_nRefused; }
    int Length() const { return m_pMsg != nullptr ? m_body.GetLength() : 0; }
    // Bytes of the messages built so far, the one being built included.
    size_t Built() const { return m_nBuilt + static_cast<size_t>(Length()); }
    // Ends the message being built.
    void Cut() {
        FinishDataMsg(m_pMsg, m_nSubType, m_body.GetLength());
        m_nBuilt += static_cast<size_t>(kBodyOffset + m_body.GetLength());
        ++m_nUsed;
        m_pMsg = nullptr;
        m_nCount = 0;
    }

private:
    // Starts the next message in the next buffer, with room for at least nRoom body bytes.
    void Open(int nRoom) {
        m_pMsg = m_ppBufs[m_nUsed];
        Attach(SizeMsgBuf(m_pMsg, nRoom), 0);
    }
    // Points the body stream at the body of the message's buffer, nKeep bytes of it written.
    void Attach(char* pMsg, int nKeep) {
        m_body.Attach(pMsg + kBodyOffset, std::min(m_pMsg->GetSize() - kBodyOffset, kMaxBodyLen),
                      true);
        if (nKeep > 0) {
            m_body.PrepareAppend(static_cast<size_t>(nKeep));
            m_body.CommitAppend(static_cast<size_t>(nKeep));
        }
    }

    __attribute__((noinline)) bool AddAside(const CSymData& record) {
        m_nRefused = 0;
        m_aside.SeekBegin();
        if (!CSymDataAux::SerializeSymOut(record, m_aside)) {
            return false;
        }
        char* pRecord = nullptr;
        int nRecord = 0;
        m_aside.GetBuf(pRecord, nRecord);
        if (nRecord > kMaxBodyLen) {
            m_nRefused = nRecord;
            return false;
        }
        const int nBefore = m_body.GetLength();
        if (nBefore + nRecord > kMaxBodyLen) {
            // The record would overflow the message: the message ends before it and the
            // record opens the next one.
            Cut();
            Open(nRecord);
        } else {
            // The buffer grows, keeping the header's room and the body so far.
            m_pMsg->SetLength(kBodyOffset + nBefore);
            Attach(SizeMsgBuf(m_pMsg, nBefore + nRecord), nBefore);
        }
        char* p = m_body.PrepareAppend(static_cast<size_t>(nRecord));
        if (p == nullptr) {
            return false;
        }
        memcpy(p, pRecord, static_cast<size_t>(nRecord));
        m_body.CommitAppend(static_cast<size_t>(nRecord));
        ++m_nCount;
        return true;
    }

    CGrowingBuffer** m_ppBufs;
    int& m_nUsed;
    short m_nSubType;
    CNetStream& m_body;
    CNetStream& m_aside;
    CGrowingBuffer* m_pMsg = nullptr;  // the message being built, from its first record on
    int m_nCount = 0;
    int m_nRefused = 0;
    size_t m_nBuilt = 0;
};

}  // namespace symproxy
