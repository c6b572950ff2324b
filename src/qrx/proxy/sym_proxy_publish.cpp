// CSymProxy publishing: ticks, the snapshot cache, the flush that encodes ticks into Sym data
// messages, and the non-blocking writer with its pending-message array.
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

#include "qrx/marketdata/sym_data_aux.h"
#include "qrx/marketdata/sym_topic.h"
#include "qrx/proxy/sym_proxy.h"
#include "qrx/runtime/stdio_logger.h"
#include "qrx/wire/sym_msgs.h"

namespace {

constexpr int kFlidSymbol = CSymData::flid_symbol;
constexpr int kFlidTopic = CSymData::flid_topic;
constexpr int kStringType = 2;  // nFlid >> 9 of the string ids
// Longest body of one data message: its length must fit the header, the stream form and the
// receiver's message memory.
constexpr int kMaxBodyLen = MaxMsgBodyLen<MsgHdrSym>();

int FlidType(int nFlid) {
    return (nFlid >= 0 && nFlid < CSymData::MAX_FLIDS) ? (nFlid >> 9) : -1;
}

// Stores a text field into the record's own string object: nothing is allocated once the
// slot's object holds enough room. Texts the client's decoder would refuse (and with them the
// whole message) never enter a tick.
__attribute__((always_inline)) inline bool StoreText(CSymData& data, int nFlid, const char* pText,
                                                     size_t nLen) {
    return nLen <= static_cast<size_t>(CSymDataAux::MAX_BODY_STRING) &&
           data.m_map_flid_2_GrowingStr.AssignText(nFlid, pText, static_cast<int>(nLen));
}

// The refusal of an over-long field text, told to the feed handler.
bool RefuseLongText(int nFlid, size_t nLen) {
    if (nLen <= static_cast<size_t>(CSymDataAux::MAX_BODY_STRING)) {
        return false;
    }
    QRX_LOG_ERROR("CSymProxy::SetTickField text of " << static_cast<unsigned long>(nLen)
                                                     << " characters for field " << nFlid
                                                     << " refused");
    return true;
}

bool IsExchangeFlid(int nFlid) {
    return nFlid == CSymData::flid_exchange || nFlid == CSymData::flid_bid_quoter ||
           nFlid == CSymData::flid_ask_quoter || nFlid == CSymData::flid_last_exchange;
}

// Bodies are cut soon after 4,095 bytes, so a pooled buffer grown straight to this size
// holds nearly every later message: it grows once instead of at each new size.
constexpr int kWarmMsgBufSize = 8192;
constexpr int kBodyOffset = MsgHdrSym::BODY_OFFSET;
// How many ticks ahead of its merge a snapshot's presence masks are fetched.
constexpr int kSnapshotLookAhead = 3;

// Writes the 8-byte header of a Sym data message whose body of nBodyLen bytes is in place.
// A body shorter than the 8-byte slot a message always has is padded with zeros.
void FinishDataMsg(CGrowingBuffer* pBuf, short nSubType, int nBodyLen) {
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
char* SizeMsgBuf(CGrowingBuffer* pBuf, int nBodyRoom) {
    return pBuf->GetBuffer(std::max(kWarmMsgBufSize, kBodyOffset + std::max(nBodyRoom, 8)));
}

// Fills a message buffer with one Sym data message: the 8-byte header, then the body.
void BuildDataMsg(CGrowingBuffer* pBuf, short nSubType, const char* pBody, int nBodyLen) {
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
    // Ends the message being built.
    void Cut() {
        FinishDataMsg(m_pMsg, m_nSubType, m_body.GetLength());
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
};

// The connection cannot be written any more.
bool IsFatalWriteErrno(int nErr) {
    return nErr == EIO || nErr == EBADF || nErr == EPIPE || nErr == ECONNRESET;
}

}  // namespace

// ---- ticks ----

const char* CSymProxy::TickTopic(const CSymData& data) {
    const GrowingStr* pTopic = TickTopicText(data);
    return pTopic != nullptr ? pTopic->c_str() : "";
}

CSymData* CSymProxy::TakeRecord() {
    if (m_pPools == nullptr) {
        return nullptr;
    }
    auto& pool = m_pPools->m_SymDataPool;
    CSymData* pRecord = nullptr;
    if (!m_bQueue) {
        // Only the owning thread takes records in direct mode: a batch under one lock.
        if (m_vecSpareRecords.empty() && m_vecSpareRecords.capacity() >= kSpareRecordBatch) {
            m_vecSpareRecords.resize(kSpareRecordBatch);
            m_vecSpareRecords.resize(static_cast<size_t>(
                std::max(0, pool.Get(m_vecSpareRecords.data(), kSpareRecordBatch))));
        }
        if (!m_vecSpareRecords.empty()) {
            pRecord = m_vecSpareRecords.back();
            m_vecSpareRecords.pop_back();
        }
    }
    if (pRecord == nullptr) {
        pRecord = pool.Get();  // queued mode, or no whole batch to be had
    }
    if (pRecord != nullptr) {
        pRecord->clear();
    }
    return pRecord;
}

void CSymProxy::ReturnSpareRecords() {
    if (m_pPools != nullptr && !m_vecSpareRecords.empty()) {
        m_pPools->m_SymDataPool.Release(m_vecSpareRecords.data(),
                                        static_cast<int>(m_vecSpareRecords.size()));
    }
    m_vecSpareRecords.clear();
}

CSymData* CSymProxy::GetEmptyTick(const char* szTopic) {
    return szTopic != nullptr ? GetEmptyTick(szTopic, strlen(szTopic)) : GetEmptyTick("", 0);
}

CSymData* CSymProxy::GetEmptyTick(const char* szTopic, size_t nTopicLen) {
    // The client's decoder refuses longer texts, and with them the whole message.
    if (nTopicLen > static_cast<size_t>(CSymDataAux::MAX_BODY_STRING)) {
        QRX_LOG_ERROR("CSymProxy::Topic of " << static_cast<unsigned long>(nTopicLen)
                                             << " characters refused");
        return nullptr;
    }
    CSymData* pTick = TakeRecord();
    if (pTick == nullptr) {
        return nullptr;
    }
    if (CSymTopic::IsDelimTopic(szTopic)) {
        StoreParsedSymbol(*pTick, szTopic);
    } else {
        StoreText(*pTick, kFlidSymbol, szTopic, nTopicLen);
    }
    StoreText(*pTick, kFlidTopic, szTopic, nTopicLen);
    return pTick;
}

void CSymProxy::StoreParsedSymbol(CSymData& tick, const char* szTopic) {
    char szSymbol[kMaxSymbolLen + 1];
    size_t nSymbolLen = 0;
    {
        // The parser is shared by the producer threads of the queued mode.
        MKTUTIL::Guard lock(m_bQueue ? m_pMutex : nullptr);
        m_pSymTopic->Reparse(szTopic);
        if (m_pSymTopic->m_szSymbol != nullptr && m_pSymTopic->m_iSymbolLength >= 0 &&
            m_pSymTopic->m_iSymbolLength <= kMaxSymbolLen) {
            nSymbolLen = static_cast<size_t>(m_pSymTopic->m_iSymbolLength);
            memcpy(szSymbol, m_pSymTopic->m_szSymbol, nSymbolLen);
        }
    }
    StoreText(tick, kFlidSymbol, szSymbol, nSymbolLen);
}

bool CSymProxy::ListTickGrowing(CSymData* pTick) {
    try {
        m_UpdatedList.push_back(pTick);
    } catch (...) {
        QRX_LOG_ERROR("CSymProxy::No memory to list the tick for " << TickTopic(*pTick)
                                                                   << "; dropped");
        m_pPools->m_SymDataPool.Release(pTick);
        return false;
    }
    return true;
}

HTICK CSymProxy::CreateTick(const char* szTopic) {
    return HandOut(GetEmptyTick(szTopic));
}

HTICK CSymProxy::CreateTick(const char* szTopic, size_t nTopicLen) {
    return szTopic != nullptr ? HandOut(GetEmptyTick(szTopic, nTopicLen)) : CreateTick(nullptr);
}

HTICK CSymProxy::CreateDirectFeedTick(const char* szSymbol, char cSource) {
    char szTopic[kTopicBufSize];
    if (m_pPools == nullptr || szSymbol == nullptr ||
        !CSymDataAux::CreateDirectFeedTopic(szTopic, szSymbol, cSource, sizeof(szTopic))) {
        return nullptr;
    }
    const size_t nSymbolLen = strlen(szSymbol);
    // Like a topic: a symbol the client could not decode is refused with the tick.
    if (nSymbolLen > static_cast<size_t>(CSymDataAux::MAX_BODY_STRING)) {
        QRX_LOG_ERROR("CSymProxy::Symbol of " << static_cast<unsigned long>(nSymbolLen)
                                              << " characters refused");
        return nullptr;
    }
    CSymData* pTick = TakeRecord();
    if (pTick == nullptr) {
        return nullptr;
    }
    StoreText(*pTick, kFlidSymbol, szSymbol, nSymbolLen);
    StoreText(*pTick, kFlidTopic, szTopic, strlen(szTopic));
    return HandOut(pTick);
}

HTICK CSymProxy::CreatePopulatedTick(char* pData, int nDataLen) {
    CSymData* pTick = TakeRecord();
    if (pTick == nullptr) {
        return nullptr;
    }
    CNetStream in(pData, nDataLen, false);
    // A body that does not decode would publish a half-filled record.
    if (!CSymDataAux::SerializeSymIn(*pTick, in)) {
        QRX_LOG_ERROR("CSymProxy::CreatePopulatedTick could not decode " << nDataLen
                                                                         << " bytes of data");
        m_pPools->m_SymDataPool.Release(pTick);
        return nullptr;
    }
    return HandOut(pTick);
}

bool CSymProxy::SetTickField(HTICK pTick, int nFlid, const char* szValue) {
    return szValue != nullptr ? SetTickField(pTick, nFlid, szValue, strlen(szValue))
                              : SetTickField(pTick, nFlid, "", 0);
}

bool CSymProxy::SetTickField(HTICK pTick, int nFlid, const char* pValue, size_t nLen) {
    if (pTick == nullptr || FlidType(nFlid) != kStringType || pValue == nullptr) {
        return false;
    }
    CSymData& tick = *static_cast<CSymData*>(pTick);
    if (m_pExchTranslator != nullptr && IsExchangeFlid(nFlid)) {
        // The table inserts what its rules translate, so producers take turns with it.
        MKTUTIL::Guard lock(m_bQueue ? m_pMutex : nullptr);
        const char* szFeed = m_pExchTranslator->GetKo2Feed(pValue);
        const size_t nFeedLen = strlen(szFeed);
        return !RefuseLongText(nFlid, nFeedLen) && StoreText(tick, nFlid, szFeed, nFeedLen);
    }
    return !RefuseLongText(nFlid, nLen) && StoreText(tick, nFlid, pValue, nLen);
}

void CSymProxy::PushbackTick(HTICK pTick) {
    if (!m_bQueue || pTick == nullptr || m_pSymDataQ == nullptr) {
        return;
    }
    CSymData* pData = static_cast<CSymData*>(pTick);
    if (!m_pSymDataQ->Push(pData, true)) {
        QRX_LOG_ERROR("CSymProxy::PushbackTick could not queue the tick for " << TickTopic(*pData)
                                                                              << "; dropped");
        m_pPools->m_SymDataPool.Release(pData);
    }
}

void CSymProxy::ReleaseTicks(std::vector<CSymData*>& vec) {
    if (m_pPools != nullptr && !vec.empty()) {
        m_pPools->m_SymDataPool.Release(vec.data(), static_cast<int>(vec.size()));
    }
    vec.clear();
}

// ---- snapshots ----

CSymProxy::TopicState* CSymProxy::UpdateSnapshot(CSymData* pTick, CSymData** ppSpent,
                                                 const TopicKey& key) {
    if (TopicState* pFound = m_TopicIndex.Find(key.szText, key.nLen, key.nHash)) {
        if (pTick->Covers(*pFound->pSnapshot)) {
            // The merge would copy the whole tick: the tick becomes the snapshot.
            *ppSpent = pFound->pSnapshot;
            pFound->pSnapshot = pTick;
            *pFound->ppMapEntry = pTick;
        } else {
            pFound->pSnapshot->insert(*pTick);
        }
        return pFound;
    }
    return NewSnapshot(*pTick, key.szText, key.nLen);
}

CSymProxy::TopicState* CSymProxy::NewSnapshot(const CSymData& tick, const char* szTopic,
                                              size_t nTopicLen) {
    CSymData* pCached = TakeRecord();
    GrowingStr* pKey = pCached != nullptr ? m_pPools->m_StringPool.Get() : nullptr;
    bool bStored = pKey != nullptr && pKey->assign(szTopic, static_cast<int>(nTopicLen));
    TopicState* pState = nullptr;
    if (bStored) {
        try {
            const auto itSnapshot = m_mSnapshot.emplace(pKey, pCached).first;
            TopicState state;
            state.pSnapshot = pCached;
            state.ppMapEntry = &itSnapshot->second;
            pState = m_TopicIndex.Insert(pKey->c_str(), pKey->length(), state);
            if (pState == nullptr) {
                m_mSnapshot.erase(itSnapshot);
                bStored = false;
            }
        } catch (...) {
            bStored = false;
        }
    }
    if (!bStored) {
        QRX_LOG_ERROR("CSymProxy::UpdateSnapshot no room for the snapshot of " << szTopic
                                                                               << "; skipped");
        m_pPools->m_SymDataPool.Release(pCached);
        m_pPools->m_StringPool.Release(pKey);
        return nullptr;
    }
    pCached->insert(tick);
    return pState;
}

bool CSymProxy::IsTickPublished(const CSymData& tick, TopicState* pState) {
    if (pState == nullptr) {
        return m_pSubscriptions->IsPublished(TickTopic(tick));
    }
    // Read before the test: a change meanwhile leaves a generation that makes the next tick
    // test again.
    const unsigned long nGeneration = m_pSubscriptions->Generation();
    if (pState->nSubsGeneration != nGeneration) {
        pState->bPublished = m_pSubscriptions->IsPublished(TickTopic(tick));
        pState->nSubsGeneration = nGeneration;
    }
    return pState->bPublished;
}

bool CSymProxy::SendSnapshot(const char* szTopic) {
    if (m_pConn == nullptr || szTopic == nullptr || m_pPools == nullptr) {
        return false;
    }
    auto addCopy = [this](const GrowingStr& topic, const CSymData& cached) {
        CSymData* pCopy = GetEmptyTick(topic.c_str(), topic.length());
        if (pCopy == nullptr) {
            QRX_LOG_ERROR("CSymProxy::SendSnapshot no record for the snapshot of "
                          << topic.c_str());
            return;
        }
        CSymDataAux::Copy(*pCopy, cached, false);
        ListTick(pCopy);
    };
    if (*szTopic != '\0') {
        const auto it = m_mSnapshot.find(szTopic);
        if (it != m_mSnapshot.end()) {
            addCopy(*it->first, *it->second);
        }
    } else {
        for (const auto& entry : m_mSnapshot) {
            addCopy(*entry.first, *entry.second);
        }
    }
    return Flush(true, nullptr);
}

void CSymProxy::UpdateTickListWithXLate() {
    // Copies added here are not looked at again.
    const size_t n = m_UpdatedList.size();
    for (size_t i = 0; i < n; ++i) {
        CSymData* pTick = m_UpdatedList[i];
        const char* szFeedTopic = TickTopic(*pTick);
        SymTranslator::SynonymSet* pSynonyms = m_pSymTranslator->GetFeed2Ko(szFeedTopic);
        if (pSynonyms == nullptr) {
            continue;
        }
        for (GrowingStr* pKoTopic : *pSynonyms) {
            // The tick itself goes out under its own topic; a copy would send it twice.
            if (strcmp(pKoTopic->c_str(), szFeedTopic) == 0) {
                continue;
            }
            // A full copy of the tick under the client's topic, which names its symbol too.
            CSymData* pCopy = TakeRecord();
            if (pCopy == nullptr) {
                continue;
            }
            pCopy->insert(*pTick);
            StoreText(*pCopy, kFlidTopic, pKoTopic->c_str(), pKoTopic->length());
            StoreText(*pCopy, kFlidSymbol, pKoTopic->c_str(), pKoTopic->length());
            ListTick(pCopy);
        }
    }
}

// ---- flush ----

bool CSymProxy::Flush(bool bSnapshot, int* pMsgsSent) {
    WriteMsgs(nullptr, 0);
    if (pMsgsSent != nullptr) {
        *pMsgsSent = 0;
    }
    if (m_pPools == nullptr) {
        return false;
    }
    if (!FlushCOBs()) {
        return false;
    }
    if (m_bQueue) {
        // Cleared before popping: a response queued meanwhile sets it again for the next flush.
        if (m_bNewResponse.exchange(false)) {
            m_pResponseMsgQ->Pop(m_vecResponseMsgBuf);
        }
        // A snapshot flush with ticks listed publishes just those.
        if (!bSnapshot || m_UpdatedList.empty()) {
            m_pSymDataQ->Pop(m_UpdatedList);
        }
    } else {
        m_bNewResponse = false;
    }
    WriteResponses();
    if (m_pSymTranslator != nullptr) {
        UpdateTickListWithXLate();
    }
    if (!m_UpdatedList.empty()) {
        PublishTicks(bSnapshot, pMsgsSent);
    }
    ReturnSpareRecords();
    return true;
}

void CSymProxy::WriteResponses() {
    if (m_vecResponseMsgBuf.empty()) {
        return;
    }
    // Taken out of the members, so that a callback run by the write may queue and flush anew.
    std::vector<CGrowingBuffer*> list = std::move(m_vecResponseScratch);
    list.clear();
    list.swap(m_vecResponseMsgBuf);
    const int n = static_cast<int>(list.size());
    const int nWritten = WriteMsgs(list.data(), n);
    m_pPools->m_MsgBufPool.Release(list.data(), nWritten);
    AppendPending(list.data() + nWritten, n - nWritten);
    list.clear();
    if (m_vecResponseMsgBuf.empty()) {
        m_vecResponseMsgBuf.swap(list);  // keep the larger storage for the next responses
    }
    m_vecResponseScratch = std::move(list);
}

void CSymProxy::PublishTicks(bool bSnapshot, int* pMsgsSent) {
    const int n = static_cast<int>(m_UpdatedList.size());
    const bool bSnapBatch = m_bKeepSnapShot && bSnapshot;
    auto& msgPool = m_pPools->m_MsgBufPool;

    if (!HasClient()) {
        // Nothing can be written: the cache still learns every tick.
        if (m_bKeepSnapShot) {
            for (CSymData*& rpTick : m_UpdatedList) {
                UpdateSnapshot(rpTick, &rpTick, TopicKeyOf(*rpTick));
            }
        }
        ReleaseTicks(m_UpdatedList);
        return;
    }

    const int nExtra = (bSnapBatch && n >= 2) ? 2 : 0;
    const int nWanted = n + nExtra;
    // Taken out of the member while in use, so that a callback run by the write may flush.
    std::vector<CGrowingBuffer*> bufs = std::move(m_vecFlushBufs);
    bufs.resize(static_cast<size_t>(nWanted), nullptr);
    const int nGot = msgPool.Get(bufs.data(), nWanted);
    if (nGot < nWanted) {
        QRX_LOG_ERROR("CSymProxy::Flush Get buffer data pool request " << nWanted << " return "
                                                                       << nGot);
        msgPool.Release(bufs.data(), nGot);
        ReleaseTicks(m_UpdatedList);
        m_vecFlushBufs = std::move(bufs);
        return;
    }

    // Grown buffers first: a flush rarely needs more than a few, and those never allocate.
    std::partition(bufs.begin(), bufs.begin() + nWanted,
                   [](const CGrowingBuffer* b) { return b->GetSize() >= kWarmMsgBufSize; });
    int nUsed = 0;
    if (nExtra != 0) {
        BuildDataMsg(bufs[nUsed++], SYM_DATA_SNAPSHOT_START, nullptr, 0);
    }
    DataMsgBuilder msgs(bufs.data(), nUsed, bSnapBatch ? SYM_DATA_SNAPSHOT : SYM_DATA_UPDATE,
                        m_BodyStream, m_OutStream);
    if (m_bKeepSnapShot) {
        // Cached topics are visited in no useful order, so their index entries and records are
        // rarely in the cache: the topics are hashed ahead and their index entries fetched, and
        // each snapshot's presence masks are fetched a few ticks before they are compared.
        m_vecTopicKeys.resize(static_cast<size_t>(n));
        for (int i = 0; i < n; ++i) {
            m_vecTopicKeys[i] = TopicKeyOf(*m_UpdatedList[i]);
            m_TopicIndex.Prefetch(m_vecTopicKeys[i].nHash);
        }
    }
    for (int i = 0; i < n; ++i) {
        if (m_bKeepSnapShot && i + kSnapshotLookAhead < n) {
            const TopicState* pAhead =
                m_TopicIndex.PeekHash(m_vecTopicKeys[i + kSnapshotLookAhead].nHash);
            if (pAhead != nullptr) {
                pAhead->pSnapshot->PrefetchMasks();
            }
        }
        CSymData* pTick = m_UpdatedList[i];
        TopicState* pState =
            m_bKeepSnapShot ? UpdateSnapshot(pTick, &m_UpdatedList[i], m_vecTopicKeys[i]) : nullptr;
        if (!pTick->m_setFlids.empty() && IsTickPublished(*pTick, pState) && !msgs.Add(*pTick)) {
            if (msgs.RefusedLength() > 0) {
                QRX_LOG_ERROR("CSymProxy::Flush record of " << msgs.RefusedLength() << " bytes for "
                                                            << TickTopic(*pTick)
                                                            << " does not fit a message; dropped");
            } else {
                QRX_LOG_ERROR("CSymProxy::Flush no memory to encode the record for "
                              << TickTopic(*pTick) << "; dropped");
            }
        }
        const bool bLast = i == n - 1;
        if ((bLast && msgs.Count() > 0) || msgs.Count() >= kMaxRecordsPerMsg ||
            msgs.Length() > kCutAfterBytes) {
            msgs.Cut();
        }
    }
    ReleaseTicks(m_UpdatedList);  // under one lock of the pool
    if (nExtra != 0) {
        BuildDataMsg(bufs[nUsed++], SYM_DATA_SNAPSHOT_END, nullptr, 0);
    }
    const int nWritten = WriteMsgs(bufs.data(), nUsed);
    if (pMsgsSent != nullptr) {
        *pMsgsSent += nWritten;
    }
    // The buffers that were used go back first and the unused ones on top of them, so that
    // the next flush's batch starts with buffers that have grown to message size already.
    msgPool.Release(bufs.data(), nWritten);
    if (HasClient()) {
        AppendPending(bufs.data() + nWritten, nUsed - nWritten);
    } else {
        // The client went away while writing: the rest of this flush is dropped.
        msgPool.Release(bufs.data() + nWritten, nUsed - nWritten);
    }
    msgPool.Release(bufs.data() + nUsed, nWanted - nUsed);
    bufs.clear();
    m_vecFlushBufs = std::move(bufs);
}

// ---- pending messages and writing ----

void CSymProxy::AppendPending(CGrowingBuffer** ppMsgs, int nMsgs) {
    if (nMsgs <= 0) {
        return;
    }
    const int nCapacity = m_ppMsgBuffer != nullptr ? m_nMsgBufferSize : 0;
    const int nNeeded = m_nMsgBufferOffset + nMsgs;
    if (nNeeded > nCapacity) {
        const int nNewSize = std::max(nCapacity * 2, nNeeded);
        CGrowingBuffer** ppNew = new (std::nothrow) CGrowingBuffer*[nNewSize]();
        if (ppNew == nullptr) {
            QRX_LOG_ERROR("CSymProxy::No memory to keep " << nMsgs
                                                          << " unwritten messages; dropped");
            if (m_pPools != nullptr) {
                m_pPools->m_MsgBufPool.Release(ppMsgs, nMsgs);
            }
            return;
        }
        if (m_nMsgBufferOffset > 0) {
            memcpy(ppNew, m_ppMsgBuffer, sizeof(CGrowingBuffer*) * m_nMsgBufferOffset);
        }
        delete[] m_ppMsgBuffer;
        m_ppMsgBuffer = ppNew;
        m_nMsgBufferSize = nNewSize;
    }
    memcpy(m_ppMsgBuffer + m_nMsgBufferOffset, ppMsgs, sizeof(CGrowingBuffer*) * nMsgs);
    m_nMsgBufferOffset += nMsgs;
}

void CSymProxy::ReleasePending() {
    if (m_ppMsgBuffer == nullptr) {
        m_nMsgBufferOffset = 0;
        return;
    }
    if (m_pPools != nullptr) {
        m_pPools->m_MsgBufPool.Release(m_ppMsgBuffer, m_nMsgBufferOffset);
    }
    std::fill(m_ppMsgBuffer, m_ppMsgBuffer + m_nMsgBufferOffset, nullptr);
    m_nMsgBufferOffset = 0;
}

int CSymProxy::WriteMsgs(CGrowingBuffer** ppMsgs, int nMsgs) {
    if (ppMsgs == nullptr || nMsgs < 0) {
        nMsgs = 0;
    }
    const int nPending = m_nMsgBufferOffset;
    const int nTotal = nPending + nMsgs;
    auto msgAt = [&](int i) { return i < nPending ? m_ppMsgBuffer[i] : ppMsgs[i - nPending]; };
    int nDone = 0;
    bool bLost = false;
    bool bEnd = false;
    // Also runs with no message at all while the connection holds the rest of one.
    while (!bEnd && HasClient() && (nDone < nTotal || m_pConn->nbWLeft > 0)) {
        pollfd pfd = {m_pConn->GetFd(), POLLOUT, 0};
        const int nReady = poll(&pfd, 1, kWriteWaitMs);
        if (nReady == 0) {
            break;  // the socket takes nothing now: the rest waits for the next attempt
        }
        if (nReady < 0) {
            if (errno != EAGAIN && errno != EINTR) {
                DropClient(true, false);
                bLost = true;
            }
            break;
        }
        for (;;) {
            errno = 0;
            if (m_pConn->WriteRemainsNoblok() != 0) {
                const int nErr = errno;
                QRX_LOG_ERROR("WriteRemainsNoblok failed errno is " << nErr << ": "
                                                                    << strerror(nErr));
                if (IsFatalWriteErrno(nErr)) {
                    DropClient(true, false);
                    bLost = true;
                }
                bEnd = true;
                break;
            }
            if (m_pConn->nbWLeft > 0) {
                break;  // would block: wait again
            }
            if (nDone >= nTotal) {
                bEnd = true;
                break;
            }
            // The next messages go to the kernel together: one system call for a flush.
            MsgHdrCmn* batch[CAppConn::WRITE_BATCH_MSGS];
            int nBatch = 0;
            while (nBatch < CAppConn::WRITE_BATCH_MSGS && nDone + nBatch < nTotal) {
                CGrowingBuffer* pBuf = msgAt(nDone + nBatch);
                if (pBuf == nullptr) {
                    break;
                }
                batch[nBatch++] = reinterpret_cast<MsgHdrCmn*>(pBuf->GetData());
            }
            if (nBatch == 0) {
                ++nDone;  // an empty entry
                continue;
            }
            int nWritten = 0;
            errno = 0;
            const int rc = m_pConn->WriteMsgsNoblok(batch, nBatch, nWritten);
            // Written, or the rest of the last one kept by the connection, which sends it
            // first next time.
            nDone += nWritten;
            if (rc != 0) {
                const int nErr = errno;
                QRX_LOG_ERROR("WriteMsgNoblok failed errno is " << nErr << ": " << strerror(nErr));
                if (IsFatalWriteErrno(nErr)) {
                    DropClient(true, false);
                    bLost = true;
                    bEnd = true;
                    break;
                }
                if (nErr == 0) {
                    ++nDone;  // the message itself cannot be encoded: it is dropped
                    continue;
                }
                // Another socket error: the message stays for the next attempt, so that one
                // bad moment neither loses it nor spins here.
                bEnd = true;
                break;
            }
        }
    }

    const int nPendingDone = std::min(nDone, nPending);
    if (nPendingDone > 0) {
        m_pPools->m_MsgBufPool.Release(m_ppMsgBuffer, nPendingDone);
        const int nLeft = m_nMsgBufferOffset - nPendingDone;
        memmove(m_ppMsgBuffer, m_ppMsgBuffer + nPendingDone, sizeof(CGrowingBuffer*) * nLeft);
        std::fill(m_ppMsgBuffer + nLeft, m_ppMsgBuffer + m_nMsgBufferOffset, nullptr);
        m_nMsgBufferOffset = nLeft;
    }
    // Told only now, when the pending array is consistent again: the callback may flush.
    if (bLost) {
        NotifyClientLost();
    }
    return nDone > nPending ? nDone - nPending : 0;
}
