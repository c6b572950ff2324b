// CSymProxy publishing: ticks, the snapshot cache and the flush that encodes ticks into Sym
// data messages (writing them is sym_proxy_output.cpp).
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

#include "qrx/marketdata/sym_data_aux.h"
#include "qrx/marketdata/sym_topic.h"
#include "qrx/proxy/data_msg_builder.h"
#include "qrx/proxy/sym_proxy.h"
#include "qrx/runtime/stdio_logger.h"
#include "qrx/wire/sym_msgs.h"

using symproxy::BuildDataMsg;
using symproxy::DataMsgBuilder;
using symproxy::kWarmMsgBufSize;

namespace {

constexpr int kFlidSymbol = CSymData::flid_symbol;
constexpr int kFlidTopic = CSymData::flid_topic;
constexpr int kStringType = 2;  // nFlid >> 9 of the string ids

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

// How many ticks ahead of its merge a snapshot's presence masks are fetched.
constexpr int kSnapshotLookAhead = 3;

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
    if (IsExchangeFlid(nFlid) && m_pExchTranslator.load(std::memory_order_relaxed) != nullptr) {
        // The table inserts what its rules translate, so producers take turns with it; it is
        // read again under the lock, which a new table replaces it under.
        MKTUTIL::Guard lock(m_bQueue ? m_pMutex : nullptr);
        if (SymTranslator* pTable = m_pExchTranslator.load(std::memory_order_relaxed)) {
            const char* szFeed = pTable->GetKo2Feed(pValue);
            const size_t nFeedLen = strlen(szFeed);
            return !RefuseLongText(nFlid, nFeedLen) && StoreText(tick, nFlid, szFeed, nFeedLen);
        }
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
        if (!m_bQueue && vec.size() <= m_vecSpareRecords.capacity() - m_vecSpareRecords.size()) {
            // Direct mode, a flush of a few ticks: their records stay at hand for the next
            // ticks, so that publishing tick by tick does not take the pool's lock at all.
            m_vecSpareRecords.insert(m_vecSpareRecords.end(), vec.begin(), vec.end());
        } else {
            m_pPools->m_SymDataPool.Release(vec.data(), static_cast<int>(vec.size()));
            ReturnSpareRecords();
        }
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
            state.pKey = pKey;
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
    PublishDeferred();  // the images include every tick published before
    // Ticks listed and not yet flushed go out in the same flush, ahead of the images: the
    // images must hold them too, or the older state would follow them and overwrite them, at
    // the client and in the cache (an image takes the cached record's place). Merging them
    // again in the flush changes nothing.
    for (CSymData* pTick : m_UpdatedList) {
        const TopicKey key = TopicKeyOf(*pTick);
        if (TopicState* pState = m_TopicIndex.Find(key.szText, key.nLen, key.nHash)) {
            pState->pSnapshot->insert(*pTick);
        }
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
    if (m_bQueue && m_UpdatedList.empty()) {
        // No image: a snapshot flush would pop the producers' ticks and label them images.
        return true;
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
    if (DeferFlush(bSnapshot)) {
        if (pMsgsSent != nullptr) {
            *pMsgsSent = 0;
        }
        return true;  // the ticks stay listed for a flush that finds the delay passed
    }
    m_bDeferred = false;
    if (__builtin_expect(m_bClientSilent, 0)) {
        DropSilentClient();  // a loop that reads only what is readable would never see it
    }
    if (!m_bHeld) {
        WriteMsgs(nullptr, 0);  // output that waited for the socket goes first
    }
    m_bHoldChecked = false;
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
    if (m_bHeld && !m_bHoldChecked && HoldDue()) {
        WriteMsgs(nullptr, 0);  // kept back long enough, and nothing new took it along
    }
    SendConflated();
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
    m_Counters.nTicksFlushed += static_cast<unsigned long long>(n);

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
    std::vector<CGrowingBuffer*> bufs;
    if (!TakeFlushBufs(bufs, nWanted)) {
        ReleaseTicks(m_UpdatedList);
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
        if (pTick->m_setFlids.empty() || !IsTickPublished(*pTick, pState)) {
            // not for the client
        } else if (pState != nullptr && !bSnapBatch &&
                   (pState->bDirty || OverHighWater(msgs.Built()))) {
            // The client is behind: it gets the topic's state once it has caught up.
            Conflate(pState);
        } else if (msgs.Add(*pTick)) {
            ++m_Counters.nTicksSent;
        } else {
            ++m_Counters.nTicksDropped;
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
    const int nWritten = WriteFlushBufs(bufs, nUsed, m_nClientGeneration);
    if (pMsgsSent != nullptr) {
        *pMsgsSent += nWritten;
    }
}
