// CSymProxy output: the messages that wait for the client (bounded, with conflation past the
// high-water mark), and the non-blocking writer.
#include <poll.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <utility>

#include "qrx/proxy/data_msg_builder.h"
#include "qrx/proxy/sym_proxy.h"
#include "qrx/runtime/mono_clock.h"
#include "qrx/runtime/stdio_logger.h"
#include "qrx/wire/sym_msgs.h"

using symproxy::DataMsgBuilder;

namespace {

// The connection cannot be written any more.
bool IsFatalWriteErrno(int nErr) {
    return nErr == EIO || nErr == EBADF || nErr == EPIPE || nErr == ECONNRESET;
}

// The write delay's deadlines are checked on every flush: a clock that costs little to read.
long long MonoNs() {
    return mono_clock::NowNs();
}

}  // namespace

// ---- pending messages and writing ----

size_t CSymProxy::GetPendingBytes() const {
    const int nRest = m_pConn != nullptr ? m_pConn->nbWLeft : 0;
    return m_Backlog.Bytes() + static_cast<size_t>(nRest > 0 ? nRest : 0);
}

bool CSymProxy::WantsWrite() const {
    return HasClient() &&
           (!m_Backlog.Empty() || m_pConn->nbWLeft > 0 || !m_vecDirtyTopics.empty() || m_bDeferred);
}

void CSymProxy::SetBacklogLimits(long nHighWater, long nLimit) {
    if (nLimit > 0) {
        m_nBacklogLimit = nLimit;
    }
    if (nHighWater > 0) {
        m_nBacklogHighWater = nHighWater;
    }
    m_nBacklogHighWater = std::min(m_nBacklogHighWater, m_nBacklogLimit);
}

void CSymProxy::AppendPending(CGrowingBuffer** ppMsgs, int nMsgs) {
    if (nMsgs <= 0) {
        return;
    }
    if (!HasClient()) {
        // What waits is for the client connected now. Without one (responses flushed after their
        // client left) it can reach nobody, the next client must not have it, and keeping it
        // would grow the backlog with no bound until a client came.
        if (m_pPools != nullptr) {
            m_pPools->m_MsgBufPool.Release(ppMsgs, nMsgs);
        }
        return;
    }
    bool bKept = true;
    for (int i = 0; i < nMsgs && bKept; ++i) {
        if (ppMsgs[i] != nullptr) {
            bKept = m_Backlog.Push(ppMsgs[i]->GetData(), ppMsgs[i]->GetLength());
        }
    }
    // The buffers go back at once: what waits is kept in the room it needs.
    if (m_pPools != nullptr) {
        m_pPools->m_MsgBufPool.Release(ppMsgs, nMsgs);
    }
    if (!bKept) {
        // A lost message would leave the client with a wrong view: it had better start anew.
        QRX_LOG_ERROR("CSymProxy::No memory to keep unwritten messages; client dropped");
        ++m_Counters.nBacklogDrops;
        DropClient(true, false);
        ReleasePending();
        NotifyClientLost();
        return;
    }
    EnforceBacklogLimits();
}

void CSymProxy::ReleasePending() {
    m_Backlog.Clear();
    m_bHeld = false;
}

// ---- write coalescing ----

void CSymProxy::SetWriteDelay(long nMicros) {
    // A delay longer than the nanosecond clock counts is the longest it counts.
    constexpr long kLongestMicros = std::numeric_limits<long long>::max() / 1000;
    nMicros = std::min(nMicros, kLongestMicros);
    if (m_nWriteDelayNs <= 0 && nMicros > 0) {
        // Writes are timed only while a delay is set: the delay starts as if one had just
        // been made.
        m_nLastWriteNs = MonoNs();
    }
    m_nWriteDelayNs = nMicros > 0 ? static_cast<long long>(nMicros) * 1000 : 0;
}

bool CSymProxy::HoldDue() const {
    return !m_bHeld || MonoNs() - m_nHeldSinceNs >= m_nWriteDelayNs;
}

bool CSymProxy::DeferFlush(bool bSnapshot) {
    // Only plain update flushes of the owning thread, with nothing else to send, and no more
    // ticks than the list holds without growing.
    if (m_nWriteDelayNs <= 0 || m_bNoDefer || bSnapshot || m_bQueue ||
        m_pSymTranslator != nullptr || m_pPools == nullptr || !HasClient() ||
        m_pConn->nbWLeft > 0 || (!m_Backlog.Empty() && !m_bHeld) || !m_vecResponseMsgBuf.empty() ||
        m_bNewResponse || m_UpdatedList.size() >= m_UpdatedList.capacity()) {
        return false;
    }
    const long long nNow = MonoNs();
    const long long nSince = m_bDeferred ? m_nDeferredSinceNs : m_nLastWriteNs;
    if (nNow - nSince >= m_nWriteDelayNs) {
        return false;
    }
    if (!m_bDeferred) {
        m_bDeferred = true;
        m_nDeferredSinceNs = nNow;
    }
    return true;
}

void CSymProxy::PublishDeferred() {
    if (!m_bDeferred) {
        return;
    }
    m_bNoDefer = true;
    Flush(false, nullptr);
    m_bNoDefer = false;
}

void CSymProxy::FlushHeld() {
    PublishDeferred();
    WriteMsgs(nullptr, 0);
}

bool CSymProxy::HoldBack(CGrowingBuffer** ppMsgs, int nMsgs) {
    // Only behind nothing or behind what is already kept: output that waits for the socket is
    // written as soon as it takes it.
    if (m_nWriteDelayNs <= 0 || !HasClient() || m_pConn->nbWLeft > 0 ||
        (!m_Backlog.Empty() && !m_bHeld)) {
        return false;
    }
    if (nMsgs <= 0) {
        return m_bHeld;  // nothing new: what is kept stays so until the flush finds it due
    }
    size_t nBytes = m_Backlog.Bytes();
    for (int i = 0; i < nMsgs; ++i) {
        nBytes += ppMsgs[i] != nullptr ? static_cast<size_t>(ppMsgs[i]->GetLength()) : 0;
    }
    // Kept below the backlog's bounds too: what is kept must not pass for a slow client's
    // backlog, which would be conflated or dropped.
    if (nBytes >= kWriteHoldBytes || nBytes >= static_cast<size_t>(m_nBacklogHighWater)) {
        return false;
    }
    const long long nNow = MonoNs();
    const long long nSince = m_bHeld ? m_nHeldSinceNs : m_nLastWriteNs;
    if (nNow - nSince >= m_nWriteDelayNs) {
        return false;
    }
    if (!m_bHeld) {
        m_nHeldSinceNs = nNow;
    }
    AppendPending(ppMsgs, nMsgs);
    m_bHeld = HasClient() && !m_Backlog.Empty();
    m_bHoldChecked = true;  // not due a moment ago: the flush need not ask the clock again
    return true;
}

bool CSymProxy::EnforceBacklogLimits() {
    if (!HasClient()) {
        return false;
    }
    const size_t nPending = GetPendingBytes();
    const char* szBound;
    long nBound;
    if (nPending > static_cast<size_t>(m_nBacklogLimit)) {
        szBound = "the backlog limit";
        nBound = m_nBacklogLimit;
    } else if (!m_bKeepSnapShot && nPending > static_cast<size_t>(m_nBacklogHighWater)) {
        szBound = "the high-water mark, with no snapshot cache to conflate from,";
        nBound = m_nBacklogHighWater;
    } else {
        return false;
    }
    QRX_LOG_ERROR("CSymProxy::Client dropped: " << static_cast<unsigned long>(nPending)
                                                << " bytes wait to be written, past " << szBound
                                                << " of " << nBound << " bytes");
    ++m_Counters.nBacklogDrops;
    DropClient(true, false);
    ReleasePending();
    ForgetConflation();
    NotifyClientLost();
    return true;
}

bool CSymProxy::TakeFlushBufs(std::vector<CGrowingBuffer*>& bufs, int n) {
    // Taken out of the member while in use, so that a callback run by the write may flush.
    bufs = std::move(m_vecFlushBufs);
    bufs.resize(static_cast<size_t>(n), nullptr);
    auto& msgPool = m_pPools->m_MsgBufPool;
    const int nGot = msgPool.Get(bufs.data(), n);
    if (nGot < n) {
        QRX_LOG_ERROR("CSymProxy::Flush Get buffer data pool request " << n << " return " << nGot);
        msgPool.Release(bufs.data(), nGot);
        bufs.clear();
        m_vecFlushBufs = std::move(bufs);
        return false;
    }
    return true;
}

int CSymProxy::WriteFlushBufs(std::vector<CGrowingBuffer*>& bufs, int nUsed,
                              unsigned long nGeneration) {
    auto& msgPool = m_pPools->m_MsgBufPool;
    const int nTaken = static_cast<int>(bufs.size());
    if (HoldBack(bufs.data(), nUsed)) {
        // Kept back, in order, for a later write; the buffers went back already.
        msgPool.Release(bufs.data() + nUsed, nTaken - nUsed);
        bufs.clear();
        m_vecFlushBufs = std::move(bufs);
        return 0;
    }
    const int nWritten = WriteMsgs(bufs.data(), nUsed);
    // The buffers that were used go back first and the unused ones on top of them, so that
    // the next batch starts with buffers that have grown to message size already.
    msgPool.Release(bufs.data(), nWritten);
    if (HasClient() && nGeneration == m_nClientGeneration) {
        AppendPending(bufs.data() + nWritten, nUsed - nWritten);
    } else {
        // The client went away while writing: the rest is dropped.
        msgPool.Release(bufs.data() + nWritten, nUsed - nWritten);
    }
    msgPool.Release(bufs.data() + nUsed, nTaken - nUsed);
    bufs.clear();
    m_vecFlushBufs = std::move(bufs);
    return nWritten;
}

std::vector<std::string> CSymProxy::GetSubscriptions() const {
    return m_pSubscriptions != nullptr ? m_pSubscriptions->Topics() : std::vector<std::string>();
}

// ---- status messages ----

bool CSymProxy::SendKept(CGrowingBuffer* pBuf) {
    PublishDeferred();  // what was published before goes first
    if (WriteMsgs(&pBuf, 1) == 1) {
        m_pPools->m_MsgBufPool.Release(pBuf);
        return true;
    }
    if (!HasClient()) {
        m_pPools->m_MsgBufPool.Release(pBuf);
        return false;
    }
    AppendPending(&pBuf, 1);
    return HasClient();
}

bool CSymProxy::SendSourceStatus(bool bUp, const char* szText) {
    if (!HasClient() || m_pPools == nullptr) {
        return false;
    }
    CGrowingBuffer* pBuf = m_pPools->m_MsgBufPool.Get();
    if (pBuf == nullptr) {
        return false;
    }
    const size_t nText = szText != nullptr ? strnlen(szText, kMaxStatusText) : 0;
    char* p = pBuf->GetBuffer(MsgHdrSym::BODY_OFFSET + static_cast<int>(nText) + 8);
    memset(p, 0, static_cast<size_t>(MsgHdrSym::BODY_OFFSET) + nText + 8);
    MsgHdrSym* pHdr = reinterpret_cast<MsgHdrSym*>(p);
    pHdr->hdr_typ = MsgHdrSym::HDR_TYPE;
    pHdr->mtyp = CM_SYM_STATUS;
    pHdr->submtyp = bUp ? SYM_STATUS_SOURCE_RESTORED : SYM_STATUS_SOURCE_DOWN;
    if (nText > 0) {
        memcpy(MsgBody(pHdr), szText, nText);
    }
    SetMsgLen(pHdr, static_cast<int>(nText) + 1);  // the text and its NUL
    pBuf->SetLength(pHdr->msglen);
    return SendKept(pBuf);
}

bool CSymProxy::SendSymbolStatus(const char* szTopic, bool bPending, const char* szMessage) {
    if (!HasClient() || m_pPools == nullptr || szTopic == nullptr) {
        return false;
    }
    CGrowingBuffer* pBuf = m_pPools->m_MsgBufPool.Get();
    if (pBuf == nullptr) {
        return false;
    }
    const int nLen = MsgHdrSym::BODY_OFFSET + static_cast<int>(sizeof(stSymSubStatus));
    char* p = pBuf->GetBuffer(nLen);
    memset(p, 0, static_cast<size_t>(nLen));
    MsgHdrSym* pHdr = reinterpret_cast<MsgHdrSym*>(p);
    pHdr->hdr_typ = MsgHdrSym::HDR_TYPE;
    pHdr->mtyp = CM_SYM_SUB_STATUS;
    pHdr->submtyp = bPending ? SYM_SUB_STATUS_PENDING : SYM_SUB_STATUS_ERROR;
    stSymSubStatus* pBody = reinterpret_cast<stSymSubStatus*>(MsgBody(pHdr));
    // Both texts are cut to their fields, NUL included.
    memcpy(pBody->m_szTopic, szTopic, strnlen(szTopic, sizeof(pBody->m_szTopic) - 1));
    if (szMessage != nullptr) {
        memcpy(pBody->m_szMessage, szMessage, strnlen(szMessage, sizeof(pBody->m_szMessage) - 1));
    }
    SetMsgLen(pHdr, static_cast<int>(sizeof(stSymSubStatus)));
    pBuf->SetLength(pHdr->msglen);
    return SendKept(pBuf);
}

// ---- conflation ----

void CSymProxy::Conflate(TopicState* pState) {
    ++m_Counters.nConflatedTicks;
    if (!m_bConflating) {
        m_bConflating = true;
        m_nEpisodeTopics = 0;
        ++m_Counters.nConflations;
        QRX_LOG_WARNING("CSymProxy::Client is behind: "
                        << static_cast<unsigned long>(GetPendingBytes())
                        << " bytes wait to be written, past the high-water mark of "
                        << m_nBacklogHighWater << " bytes; conflating updates");
    }
    if (pState->bDirty) {
        return;
    }
    try {
        m_vecDirtyTopics.push_back(pState->pKey);
        pState->bDirty = true;
    } catch (...) {
        QRX_LOG_ERROR("CSymProxy::No memory to remember the conflated topic "
                      << pState->pKey->c_str() << "; its update is lost");
    }
}

void CSymProxy::SendConflated() {
    if (!HasClient() || m_pPools == nullptr) {
        return;
    }
    if (m_vecDirtyTopics.empty()) {
        // The last topics may have left with the backlog still past the mark: the episode
        // ends once that has drained.
        EndConflationIfCaughtUp();
        return;
    }
    const unsigned long nGeneration = m_nClientGeneration;
    size_t nNext = 0;
    // A round at a time, each written before the next is built, while the client keeps up.
    while (nNext < m_vecDirtyTopics.size() && nGeneration == m_nClientGeneration && HasClient() &&
           !OverHighWater(0)) {
        std::vector<CGrowingBuffer*> bufs;
        if (!TakeFlushBufs(bufs, kConflatedPerRound)) {
            break;
        }
        int nUsed = 0;
        DataMsgBuilder msgs(bufs.data(), nUsed, SYM_DATA_UPDATE, m_BodyStream, m_OutStream);
        for (int nTaken = 0; nTaken < kConflatedPerRound && nNext < m_vecDirtyTopics.size();
             ++nTaken) {
            const GrowingStr* pKey = m_vecDirtyTopics[nNext++];
            TopicState* pState = m_TopicIndex.Find(pKey->c_str(), pKey->length());
            if (pState == nullptr || !pState->bDirty) {
                continue;
            }
            pState->bDirty = false;
            if (!m_pSubscriptions->IsPublished(pKey->c_str())) {
                continue;  // unsubscribed meanwhile
            }
            if (!msgs.Add(*pState->pSnapshot)) {
                QRX_LOG_ERROR("CSymProxy::Flush could not encode the state of " << pKey->c_str()
                                                                                << "; dropped");
                continue;
            }
            ++m_Counters.nConflatedTopics;
            ++m_nEpisodeTopics;
            if (msgs.Count() >= kMaxRecordsPerMsg || msgs.Length() > kCutAfterBytes) {
                msgs.Cut();
            }
        }
        if (msgs.Count() > 0) {
            msgs.Cut();
        }
        WriteFlushBufs(bufs, nUsed, nGeneration);
    }
    if (nGeneration != m_nClientGeneration) {
        return;  // the client went away: its topics were forgotten with it
    }
    m_vecDirtyTopics.erase(m_vecDirtyTopics.begin(),
                           m_vecDirtyTopics.begin() + static_cast<std::ptrdiff_t>(nNext));
    EndConflationIfCaughtUp();
}

void CSymProxy::EndConflationIfCaughtUp() {
    if (m_bConflating && m_vecDirtyTopics.empty() && !OverHighWater(0)) {
        m_bConflating = false;
        QRX_LOG_INFO("CSymProxy::Client caught up: " << m_nEpisodeTopics
                                                     << " topics sent as their current state; "
                                                        "conflation ended");
    }
}

void CSymProxy::ForgetConflation() {
    for (const GrowingStr* pKey : m_vecDirtyTopics) {
        if (TopicState* pState = m_TopicIndex.Find(pKey->c_str(), pKey->length())) {
            pState->bDirty = false;
        }
    }
    m_vecDirtyTopics.clear();
    m_bConflating = false;
}

bool CSymProxy::WaitWritable(bool& bLost) {
    pollfd pfd = {m_pConn->GetFd(), POLLOUT, 0};
    const int nReady = poll(&pfd, 1, kWriteWaitMs);
    if (nReady > 0) {
        return true;
    }
    if (nReady < 0 && errno != EAGAIN && errno != EINTR) {
        DropClient(true, false);
        bLost = true;
    }
    return false;
}

int CSymProxy::WriteMsgs(CGrowingBuffer** ppMsgs, int nMsgs) {
    if (ppMsgs == nullptr || nMsgs < 0) {
        nMsgs = 0;
    }
    int nDone = 0;  // of ppMsgs
    bool bLost = false;
    // Output kept back by the write delay leaves now, ahead of the given messages; it is not
    // a sign of a stalled client.
    const bool bWasHeld = m_bHeld;
    m_bHeld = false;
    // Writing starts at once; the socket is waited for (briefly) only after it refused
    // something, and never while older output waits: a client that does not read must not
    // slow publishing.
    const bool bMayWait = HasClient() && (m_Backlog.Empty() || bWasHeld) && m_pConn->nbWLeft == 0;
    // A stalled client is asked first (without waiting) rather than written to: a write
    // refused at every publish would cost as much and be reported as it happens.
    bool bWrite = HasClient();
    if (bWrite && !bMayWait) {
        pollfd pfd = {m_pConn->GetFd(), POLLOUT, 0};
        bWrite = poll(&pfd, 1, 0) != 0;
    }
    while (bWrite && HasClient()) {
        errno = 0;
        if (m_pConn->WriteRemainsNoblok() != 0) {
            const int nErr = errno;
            QRX_LOG_ERROR("WriteRemainsNoblok failed errno is " << nErr << ": " << strerror(nErr));
            if (IsFatalWriteErrno(nErr)) {
                DropClient(true, false);
                bLost = true;
            }
            break;
        }
        if (m_pConn->nbWLeft > 0) {
            if (bMayWait && WaitWritable(bLost)) {
                continue;
            }
            break;
        }
        // Older messages first, then the given ones; several go to the kernel in one call.
        MsgHdrCmn* batch[CAppConn::WRITE_BATCH_MSGS];
        int nBatch = 0;
        const bool bOlder = !m_Backlog.Empty();
        if (bOlder) {
            nBatch = m_Backlog.Peek(batch, CAppConn::WRITE_BATCH_MSGS);
        } else {
            while (nDone < nMsgs && ppMsgs[nDone] == nullptr) {
                ++nDone;  // an empty entry
            }
            while (nBatch < CAppConn::WRITE_BATCH_MSGS && nDone + nBatch < nMsgs &&
                   ppMsgs[nDone + nBatch] != nullptr) {
                batch[nBatch] = reinterpret_cast<MsgHdrCmn*>(ppMsgs[nDone + nBatch]->GetData());
                ++nBatch;
            }
        }
        if (nBatch == 0) {
            break;  // everything is out
        }
        int nWritten = 0;
        errno = 0;
        const int rc = m_pConn->WriteMsgsNoblok(batch, nBatch, nWritten);
        // Written, or the rest of the last one kept by the connection, which sends it first
        // next time.
        auto advance = [&](int n) {
            if (bOlder) {
                m_Backlog.Pop(n);
            } else {
                nDone += n;
            }
        };
        advance(nWritten);
        m_Counters.nMsgsWritten += static_cast<unsigned long long>(nWritten);
        if (m_nWriteDelayNs > 0) {
            m_nLastWriteNs = MonoNs();
        }
        if (rc == 0 && m_pConn->nbWLeft > 0) {
            // The socket is full: wait for it (when allowed) or leave the rest for later.
            if (bMayWait && WaitWritable(bLost)) {
                continue;
            }
            break;
        }
        if (rc != 0) {
            const int nErr = errno;
            QRX_LOG_ERROR("WriteMsgNoblok failed errno is " << nErr << ": " << strerror(nErr));
            if (IsFatalWriteErrno(nErr)) {
                DropClient(true, false);
                bLost = true;
                break;
            }
            if (nErr == 0) {
                advance(1);  // the message itself cannot be encoded: it is dropped
                continue;
            }
            // Another socket error: the message stays for the next attempt, so that one bad
            // moment neither loses it nor spins here.
            break;
        }
    }
    if (bLost) {
        ReleasePending();
        NotifyClientLost();
    }
    return nDone;
}
