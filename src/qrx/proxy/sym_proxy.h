// CSymProxy: the feed-handler side of the market-data service. It listens for the symbol
// server (TCP port, service or local socket), serves one client at a time (the listening
// socket is closed while a client is connected and bound again when it goes away), answers its
// logon, records its subscriptions, hands every request to the virtual callbacks a feed handler
// overrides, and publishes the ticks the feed handler builds.
//
// Publishing: a tick is a pooled record taken for a topic (CreateTick and friends), filled with
// SetTickField and published by the next Flush, which merges it into the per-topic snapshot
// cache, encodes the subscribed ones into Sym data messages (at most 255 records, cut once the
// body passes 4,095 bytes) and writes them without blocking; what the socket does not take
// waits, in order and in the room it needs, and leaves as the socket takes it (the next flush,
// or CheckSocket once the caller's select found the descriptor writable: see WantsWrite). A
// client that stops reading never slows publishing: past the backlog's high-water mark its
// updates are conflated (each topic's latest state is sent once it reads again), past the hard
// limit it is dropped. A subscriber is first sent the cached snapshot.
//
// Modes: direct (everything on one thread; a tick is listed as soon as it is created) and
// queued (producer threads create and fill ticks and hand them over with PushbackTick; the
// thread that owns the socket waits on GetQFd() and flushes).
//
// Session code lives in sym_proxy_session.cpp, publishing in sym_proxy_publish.cpp, the
// output backlog and writing in sym_proxy_output.cpp, set-up, translation and teardown in
// sym_proxy.cpp.
#pragma once

#include <sys/select.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "qrx/marketdata/sym_data.h"
#include "qrx/net/app_conn.h"
#include "qrx/net/spare_fd.h"
#include "qrx/proxy/data_pool.h"
#include "qrx/proxy/mktutil_mutex.h"
#include "qrx/proxy/msg_backlog.h"
#include "qrx/proxy/selectable_queue.h"
#include "qrx/proxy/subscriptions.h"
#include "qrx/proxy/sym_translator.h"
#include "qrx/proxy/text_index.h"
#include "qrx/runtime/growing_buffer.h"
#include "qrx/runtime/growing_str.h"
#include "qrx/wire/command.h"
#include "qrx/wire/msg_hdr.h"
#include "qrx/wire/net_stream.h"

class CResponse;
class CSymTopic;

// Opaque handle of a tick: a pooled CSymData, valid from its creation until the flush that
// publishes it.
typedef void* HTICK;

class CSymProxy {
public:
    static constexpr int kPoolBaseSize = 100;
    static constexpr int kSpareRecordBatch = 32;
    static constexpr int kInitialListSize = 1024;  // ticks of a usual flush
    // Bounds of the bytes kept for a client that does not read (QUOR_PROXY_BACKLOG_HIGH_WATER
    // and QUOR_PROXY_BACKLOG_LIMIT change them): past the high-water mark updates are
    // conflated (with a snapshot cache; without one the client is dropped), past the hard
    // limit the client is dropped.
    static constexpr long kDefaultBacklogHighWater = 16L << 20;
    static constexpr long kDefaultBacklogLimit = 256L << 20;
    // Dirty topics sent as their current state per round of the catch-up.
    static constexpr int kConflatedPerRound = 64;
    static constexpr int kMaxRecordsPerMsg = 255;
    static constexpr int kCutAfterBytes = 4095;  // a message is cut once its body passes this
    static constexpr int kHeartBeatSecs = 300;
    // A client that sends no whole message within this long of connecting is dropped
    // (SetFirstRequestTimeout changes it), so that a connection that never speaks cannot keep
    // the one client slot, and with it the symbol server, for good.
    static constexpr long kDefaultFirstRequestTimeoutMs = 60 * 1000;
    static constexpr long kMaxFirstRequestTimeoutMs = 1000L * 1000 * 1000 * 1000;  // 31 years
    static constexpr int kWriteWaitMs = 1;
    static constexpr size_t kWriteHoldBytes = 64 * 1024;  // kept back by the write delay at most
    static constexpr int kMaxIncompleteCommands = 1024;
    static constexpr int kMaxSymbolLen = 30;  // parsed symbols longer than this are dropped
    static constexpr int kTopicBufSize = 128;
    static constexpr int kMaxStatusText = 1023;

    // The record, message-buffer and string pools, created once and owned by the proxy.
    struct ProxyDataPools {
        ProxyDataPools()
            : m_SymDataPool(kPoolBaseSize, "_UNNAMED_"),
              m_MsgBufPool(kPoolBaseSize, "_UNNAMED_"),
              m_StringPool(kPoolBaseSize, "_UNNAMED_") {}
        CDataPool<CSymData> m_SymDataPool;
        CDataPool<CGrowingBuffer> m_MsgBufPool;
        CDataPool<GrowingStr> m_StringPool;
    };

    using SnapshotMap = std::map<GrowingStr*, CSymData*, predGSP>;
    // What the flush knows of a cached topic, found by hashing its text: its snapshot record,
    // and whether the subscriptions publish it as of a subscription generation (0: unknown).
    struct TopicState {
        CSymData* pSnapshot = nullptr;
        CSymData** ppMapEntry = nullptr;   // the snapshot map's value, kept equal to pSnapshot
        const GrowingStr* pKey = nullptr;  // the snapshot map's key
        unsigned long nSubsGeneration = 0;
        bool bPublished = false;
        bool bDirty = false;  // conflated: its current state is owed to the client
    };
    // What the proxy has done for its clients since it was made.
    struct Counters {
        unsigned long long nTicksFlushed = 0;     // ticks through a flush, sent or not
        unsigned long long nTicksSent = 0;        // records encoded for the client
        unsigned long long nTicksDropped = 0;     // records too long for a message, or no memory
        unsigned long long nMsgsWritten = 0;      // messages handed to the connection
        unsigned long long nConflatedTicks = 0;   // updates not sent, their topic marked dirty
        unsigned long long nConflatedTopics = 0;  // dirty topics sent as their current state
        unsigned long long nConflations = 0;      // times a client fell behind the mark
        unsigned long long nBacklogDrops = 0;     // clients dropped for their backlog
    };
    // Keys view the texts of the snapshot map's keys.
    using TopicIndex = TextIndex<TopicState>;

    CSymProxy();
    virtual ~CSymProxy();

    CSymProxy(const CSymProxy&) = delete;
    CSymProxy& operator=(const CSymProxy&) = delete;

    // ---- callbacks, overridden by the feed handler ----
    // Every logon is accepted unless overridden.
    virtual bool OnLogon(const char* szUserName, const char* szPassword);
    virtual void OnSubscribe(const char* szTopic) = 0;
    // A null topic: the client went away and every subscription is gone.
    virtual void OnUnsubscribe(const char* szTopic) = 0;
    virtual void OnSubscribeWithSize(const char* szTopic, int nNearSize, int nFarSize, int nReqID);
    virtual void OnUnsubscribeWithSize(const char* szTopic, int nNearSize, int nFarSize,
                                       int nReqID);
    virtual void OnCommand(CCommand* pCommand);
    // Called at the start of every flush, after pending messages were written; false aborts
    // the flush.
    virtual bool FlushCOBs();
    // Handles one request of the client; false when the client was dropped (a refused logon).
    virtual bool HandleClientRequest(MsgHdrSym* pSym);

    // ---- initialisation ----
    // Listens on a TCP port (on the address QUOR_SYMBIND names, when set).
    bool Initialize(int nBindPort, bool bBlock, bool bNoDelayAccept, bool bKeepSnapShot,
                    bool bQueue);
    // Listens on the port of a service (a number or a name; see CAppConn for the port rule).
    bool Initialize(const char* szService, bool bBlock, bool bNoDelayAccept, bool bKeepSnapShot,
                    bool bQueue);
    // Listens on a local socket.
    bool InitializeU(const char* szIPCPath, bool bBlock, bool bNoDelayAccept, bool bKeepSnapShot,
                     bool bQueue);
    // Takes ownership of the listening connection and sets everything up. True at once when
    // the proxy is initialised already (the given connection is then deleted). A failed
    // set-up or bind leaves the proxy as constructed, so a later call tries again.
    bool Initialize(CAppConn* bindConn, bool bBlock, bool bNoDelayAccept, bool bKeepSnapShot,
                    bool bQueue);
    // Binds and listens (backlog 2); with bBlock waits for the first client.
    bool Bind(bool bBlock);
    bool IsInitialized() const { return m_pBindConn != nullptr; }

    // Translation tables (see SymTranslator). False, translation off, when the file cannot
    // be loaded.
    bool EnableSymTranslation(const char* szFileName);
    bool EnableExchTranslation(const char* szFileName);
    // A request topic as the feed knows it: plain symbols through the symbol table,
    // structured topics unchanged; the topic itself without a table; null for null.
    const char* ConvertKo2Feed(const char* szQuorTopic);

    // ---- event loop pieces ----
    int GetFd() const;
    int GetClientFd() const;
    int GetQFd() const;
    int GetNumPendingMessages() const { return m_Backlog.Count(); }
    // Bytes waiting for the client: the pending messages and the unwritten rest of one.
    size_t GetPendingBytes() const;
    // True while output waits for the client (pending messages, topics owed after a
    // conflation, or ticks the write delay keeps back): a caller's select should then also wait for
    // GetFd() to be writable and call CheckSocket when it is.
    bool WantsWrite() const;
    // Sets the backlog bounds in bytes (values of 0 or less keep the current ones); the
    // high-water mark is kept at or below the limit.
    void SetBacklogLimits(long nHighWater, long nLimit);
    long GetBacklogHighWater() const { return m_nBacklogHighWater; }
    long GetBacklogLimit() const { return m_nBacklogLimit; }
    // Write coalescing, off by default (QUOR_PROXY_WRITE_DELAY_US sets it): a flush that comes
    // less than nMicros after the last write keeps its ticks back, and the flushes that follow
    // add theirs, until nMicros have passed since the first was kept; then all go out together.
    // In direct mode the ticks stay listed and are encoded as one flush of them all would be
    // (a list's worth at most); otherwise (queued mode, translation, responses waiting) the
    // encoded messages are kept, kWriteHoldBytes at most. A publisher flushing every tick then
    // makes one system call per batch instead of one per tick; one that flushes less often than
    // every nMicros writes at once as before. What is kept leaves with the next flush that
    // finds it due, with FlushHeld, before any status message or image, or with CheckSocket
    // once the caller's loop sees the socket writable (WantsWrite is true while anything is
    // kept), so a loop that serves the proxy bounds the delay itself. 0 turns it off.
    void SetWriteDelay(long nMicros);
    long GetWriteDelay() const { return m_nWriteDelayNs / 1000; }
    // True while the only output waiting is kept back by the write delay (the socket may well be
    // writable): a publisher may go on without waiting for the socket.
    bool HoldsOutput() const { return (m_bHeld || m_bDeferred) && HasClient(); }
    // Publishes and writes at once what the write delay keeps back.
    void FlushHeld();
    // How long a newly connected client may stay silent (no whole message) before it is
    // dropped, with a log line, and the proxy listens again; checked by CheckSocket and Flush.
    // 0 or less: no bound.
    void SetFirstRequestTimeout(long nMillis) {
        m_nFirstRequestTimeoutMs = std::min(nMillis, kMaxFirstRequestTimeoutMs);
    }
    long GetFirstRequestTimeout() const { return m_nFirstRequestTimeoutMs; }
    // Records the publishing thread keeps at hand in direct mode (at most kSpareRecordBatch),
    // taken from the record pool and not yet listed.
    int GetSpareRecordCount() const { return static_cast<int>(m_vecSpareRecords.size()); }
    bool IsConflating() const { return m_bConflating; }
    size_t GetDirtyTopicCount() const { return m_vecDirtyTopics.size(); }
    const Counters& GetCounters() const { return m_Counters; }
    // The user name of the client's accepted logon; empty without a client.
    const std::string& GetClientUser() const { return m_strClientUser; }
    // The topics the client subscribed (the empty topic for every topic).
    std::vector<std::string> GetSubscriptions() const;
    // One step after a select on GetFd(): accepts the server, or reads and handles its
    // requests. False when the client was lost or an accept failed.
    bool CheckSocket(fd_set& readF);
    // Reads and handles every complete request waiting on the client connection.
    bool Dispatch();
    // Drops the client (telling OnUnsubscribe(nullptr)) and listens again.
    bool CloseClient();
    // Serves clients until the listening socket cannot be bound.
    void Loop();
    bool WaitForClient();
    void UnblockWaitForClient() { m_bRun = false; }

    // ---- control messages ----
    bool SendLoginResp(bool bSuccess);
    // At most one every 300 seconds.
    bool SendHeartBeat();
    // Tells the client that the data source went down (bUp false) or came back, with a text
    // (cut at kMaxStatusText characters). Kept, in order, when the socket cannot take it now.
    bool SendSourceStatus(bool bUp, const char* szText);
    // Tells the client that a topic does not exist or is not entitled (bPending false), or that
    // its subscription is held pending, with a message.
    bool SendSymbolStatus(const char* szTopic, bool bPending, const char* szMessage);
    // Queues the response for the next flush, split over as many messages as it needs.
    bool SendResponse(CResponse* pResponse);

    // ---- ticks ----
    HTICK CreateTick(const char* szTopic);
    HTICK CreateTick(const char* szTopic, size_t nTopicLen);  // a topic of known length
    HTICK CreateDirectFeedTick(const char* szSymbol, char cSource);
    HTICK CreatePopulatedTick(char* pData, int nDataLen);
    // Defined here so that a feed handler filling many fields gets them inlined.
    bool SetTickField(HTICK pTick, int nFlid, double dblValue) {
        return pTick != nullptr && static_cast<CSymData*>(pTick)->SetFlidDouble(nFlid, dblValue);
    }
    bool SetTickField(HTICK pTick, int nFlid, int nValue) {
        return pTick != nullptr && static_cast<CSymData*>(pTick)->SetFlidInt(nFlid, nValue);
    }
    bool SetTickField(HTICK pTick, int nFlid, char cValue) {
        return pTick != nullptr && static_cast<CSymData*>(pTick)->SetFlidChar(nFlid, cValue);
    }
    bool SetTickField(HTICK pTick, int nFlid, const char* szValue);
    // A text of nLen bytes, which may hold NULs; an exchange code to translate is read as a
    // C text.
    bool SetTickField(HTICK pTick, int nFlid, const char* pValue, size_t nLen);
    // Queued mode: hands the tick to the flushing thread.
    void PushbackTick(HTICK pTick);
    // Publishes everything pending; *pMsgsSent receives the tick messages written.
    bool Flush(bool bSnapshot, int* pMsgsSent);
    // Publishes the cached snapshot of one topic, or of every topic for the empty string.
    bool SendSnapshot(const char* szTopic);
    // Writes pending messages, then the given ones, as far as the socket takes them; returns
    // how many of the given ones were written. The caller keeps all of ppMsgs.
    int WriteMsgs(CGrowingBuffer** ppMsgs, int nMsgs);

    // ---- topic builders ----
    static int CreateGreekTopic(const char* szSymbol, char* szTopic);
    static bool CreateDirectFeedTopic(char* szTopic, const char* szSymbol, const char* szSourceName,
                                      int nLength);
    static bool CreateDirectFeedTopic(char* szTopic, const char* szSymbol, char cSource,
                                      int nLength);
    static int CreateSymbolRiskUserTopic(const char* szSymbol, const char* szUser, char* szTopic);
    static int CreateSymbolOptionUserTopic(const char* szSymbol, const char* szUser, char* szTopic);
    static int CreatePortSymbolTopic(const char* szPortfolio, const char* szSymbol, char* szTopic);
    static int CreateDepthTopic(const char* szSymbol, char cSource, char* szTopic);
    static std::string CreatePortSymbolTopic(const char* szPortfolio, const char* szSymbol);
    static std::string CreateSymbolRiskUserTopic(const char* szSymbol, const char* szUser);
    static std::string CreateSymbolOptionUserTopic(const char* szSymbol, const char* szUser);

protected:
    // ---- publishing helpers (sym_proxy_publish.cpp) ----
    // A cleared pooled record for the topic, with its symbol and topic fields set; not listed.
    CSymData* GetEmptyTick(const char* szTopic);
    CSymData* GetEmptyTick(const char* szTopic, size_t nTopicLen);
    // A cleared record from the pool; null when it has none (the pool has reported it).
    CSymData* TakeRecord();
    // Direct mode: gives the records taken ahead back to the pool.
    void ReturnSpareRecords();
    // Appends to the ticks of the next flush; without memory the tick goes back to its pool.
    bool ListTick(CSymData* pTick) {
        if (m_UpdatedList.size() < m_UpdatedList.capacity()) {
            m_UpdatedList.push_back(pTick);  // room reserved: cannot throw
            return true;
        }
        return ListTickGrowing(pTick);
    }
    bool ListTickGrowing(CSymData* pTick);
    // A new tick for the caller: listed at once in direct mode.
    HTICK HandOut(CSymData* pTick) {
        return pTick != nullptr && !m_bQueue && !ListTick(pTick) ? nullptr : pTick;
    }
    // A tick's topic text (TickTopic) and its hash in the topic index, found once per tick.
    struct TopicKey {
        const char* szText;
        size_t nLen;
        uint64_t nHash;
    };
    static TopicKey TopicKeyOf(const CSymData& tick) {
        const GrowingStr* pTopic = TickTopicText(tick);
        const char* szText = pTopic != nullptr ? pTopic->c_str() : "";
        const size_t nLen = pTopic != nullptr ? pTopic->length() : 0;
        return {szText, nLen, TopicIndex::Hash(szText, nLen)};
    }
    // Merges the tick into its topic's snapshot; the topic's state, or null when the snapshot
    // could not be made. A tick holding every field of the snapshot takes the snapshot's place
    // instead of being copied into it: the replaced record goes into *ppSpent, to be released
    // in the tick's stead. The tick stays readable until the ticks are released.
    TopicState* UpdateSnapshot(CSymData* pTick, CSymData** ppSpent, const TopicKey& key);
    // The first snapshot of a topic, a copy of the tick.
    __attribute__((noinline)) TopicState* NewSnapshot(const CSymData& tick, const char* szTopic,
                                                      size_t nTopicLen);
    // Stores the symbol parsed from a structured topic into the tick.
    __attribute__((noinline)) void StoreParsedSymbol(CSymData& tick, const char* szTopic);
    // The subscription test of a tick; pState, when given, is the state of its topic.
    bool IsTickPublished(const CSymData& tick, TopicState* pState);
    void UpdateTickListWithXLate();
    // The topic a record is published under: its topic field, else its symbol field.
    static const char* TickTopic(const CSymData& data);
    // The topic field, else the symbol field; null when it has neither.
    static const GrowingStr* TickTopicText(const CSymData& data) {
        const GrowingStr* pTopic = data.m_map_flid_2_GrowingStr.GetFlidPtr(CSymData::flid_topic);
        return pTopic != nullptr ? pTopic
                                 : data.m_map_flid_2_GrowingStr.GetFlidPtr(CSymData::flid_symbol);
    }
    // Encodes, writes and releases the listed ticks.
    void PublishTicks(bool bSnapshot, int* pMsgsSent);
    // Writes a message now or keeps it pending; the buffer goes back to the pool either way.
    bool SendKept(CGrowingBuffer* pBuf);
    // Takes n message buffers from the pool into bufs (the flush's reused vector); false, with
    // the error line and nothing taken, when the pool has fewer.
    bool TakeFlushBufs(std::vector<CGrowingBuffer*>& bufs, int n);
    // Writes the first nUsed of the buffers taken, keeps the unwritten ones pending (unless
    // the client of generation nGeneration went away) and gives every buffer back; the number
    // written.
    int WriteFlushBufs(std::vector<CGrowingBuffer*>& bufs, int nUsed, unsigned long nGeneration);
    // Writes the listed responses; the unwritten ones become pending.
    void WriteResponses();
    // Copies messages behind the pending ones and gives their buffers back to the pool; drops
    // the client when the backlog passes its bound. Without a client nothing is kept.
    void AppendPending(CGrowingBuffer** ppMsgs, int nMsgs);
    void ReleasePending();
    // The write delay: keeps the messages back (copied behind what is kept already) when the
    // last write or the first kept message is younger than the delay; false when they are to
    // be written now.
    bool HoldBack(CGrowingBuffer** ppMsgs, int nMsgs);
    // Whether what the write delay keeps back is to be written now (true when nothing is).
    bool HoldDue() const;
    // The write delay in direct mode: true when this flush is to leave its ticks listed for a
    // later one.
    bool DeferFlush(bool bSnapshot);
    // Publishes ticks a deferred flush left listed.
    void PublishDeferred();
    // Past the high-water mark: the rest of the flush is conflated (with a snapshot cache)
    // or the client dropped (without); nBuilt bytes of this flush are not written yet. What the
    // write delay keeps back is no sign of a slow client and does not count.
    bool OverHighWater(size_t nBuilt) const {
        return (m_bHeld ? 0 : GetPendingBytes()) + nBuilt >=
               static_cast<size_t>(m_nBacklogHighWater);
    }
    // Marks a subscribed tick's topic dirty instead of sending the tick.
    void Conflate(TopicState* pState);
    // Sends the dirty topics as their current state while the backlog stays below the mark.
    void SendConflated();
    // Ends the conflation episode once no topic is owed and the backlog is below the mark.
    void EndConflationIfCaughtUp();
    // Drops the client when its backlog passed a bound; true when it was dropped.
    bool EnforceBacklogLimits();
    void ForgetConflation();
    // Waits briefly until the client's socket takes output; false on time-out or failure
    // (bLost set when the client was dropped for it).
    bool WaitWritable(bool& bLost);
    void ReleaseTicks(std::vector<CSymData*>& vec);

    // Each incomplete command: when it was stored (to drop the oldest beyond the limit) and
    // what has arrived of it. Past kMaxParts parts or kMaxBytes body bytes the command is
    // dropped, and so are the oldest ones once all together hold more than kMaxHeldBytes; a
    // dropped command's entry stays, marked, until its last part, so that the rest of its parts
    // are dropped too.
    struct CommandIntake {
        static constexpr int kMaxParts = 128;
        static constexpr size_t kMaxBytes = 1024 * 1024;
        // Body bytes of all the commands being put together at once.
        static constexpr size_t kMaxHeldBytes = 8 * kMaxBytes;
        unsigned long long nSeq = 0;
        int nParts = 0;
        size_t nBytes = 0;
        bool bDropped = false;
    };

    // ---- session helpers (sym_proxy_session.cpp) ----
    // Forgets the client: closes and deletes the connection and, with bNotify, tells
    // OnUnsubscribe(nullptr). Does nothing without a client, so a lost client is told once.
    void DropClient(bool bShutdown, bool bNotify);
    // What follows the loss of a client noticed while writing: the callback, then listening.
    void NotifyClientLost();
    // Binds the listening connection again unless it is listening; true when it listens.
    bool Rebind();
    bool CheckSocketReady(bool bReadable);
    // Takes the connection waiting on the listening socket with the spare descriptor's room and
    // closes it, when the process had no descriptor left to accept it.
    void ShedConnection();
    // Drops a client that has sent nothing since it connected once its time is up; true when
    // it did.
    bool DropSilentClient();
    bool HasClient() const { return m_pConn != nullptr && m_pConn->GetFd() >= 0; }
    void HandleCommand(MsgHdrSym* pSym);
    void StoreCommand(const CCommand& command);
    void ForgetCommand(unsigned int nId);
    void ForgetAllCommands();
    // Drops what has arrived of a command; its entry stays until its last part.
    void DropCommand(unsigned int nId, CommandIntake& intake);
    // Drops the oldest commands other than nKeep while all together hold more than
    // kMaxHeldBytes.
    void BoundHeldCommands(unsigned int nKeep);
    // Writes one control message at once; it is not kept when the socket refuses it.
    bool SendControlMsg(CGrowingBuffer* pBuf);
    void HandleSubscribe(const char* szTopic);
    void HandleUnsubscribe(const char* szTopic);
    void HandleSizes(MsgHdrSym* pSym, bool bSubscribe);
    bool HandleLogon(MsgHdrSym* pSym);

    // ---- set-up and teardown (sym_proxy.cpp) ----
    bool SetUp();
    // Returns everything to its pool and frees it, in teardown order; the proxy is then as
    // constructed.
    void TearDown();

    CAppConn* m_pBindConn = nullptr;
    CAppConn* m_pConn = nullptr;
    // Kept open so that a client can be accepted and closed when the process has no descriptor
    // left: a connection left waiting keeps the listening socket readable.
    CSpareFd m_SpareFd;
    Subscriptions* m_pSubscriptions = nullptr;
    SnapshotMap m_mSnapshot;
    TopicIndex m_TopicIndex;
    ProxyDataPools* m_pPools = nullptr;
    CMsgBacklog m_Backlog;  // messages accepted for the client but not yet written
    long m_nBacklogHighWater = kDefaultBacklogHighWater;
    long m_nBacklogLimit = kDefaultBacklogLimit;
    std::vector<const GrowingStr*> m_vecDirtyTopics;  // snapshot keys, in the order conflated
    bool m_bConflating = false;
    // Write coalescing (SetWriteDelay): whether the backlog holds output kept back on purpose.
    long long m_nWriteDelayNs = 0;
    bool m_bHeld = false;
    bool m_bHoldChecked = false;  // this flush kept messages back, so the hold is not due
    // Direct mode with a write delay: ticks of flushes that came within the delay stay listed,
    // and a later flush encodes them all together, as one flush of many ticks would.
    bool m_bDeferred = false;
    bool m_bNoDefer = false;  // a flush that must publish what is listed
    long long m_nDeferredSinceNs = 0;
    long long m_nHeldSinceNs = 0;
    long long m_nLastWriteNs = 0;
    std::string m_strClientUser;
    unsigned long m_nEpisodeTopics = 0;  // dirty topics sent since conflation began
    Counters m_Counters;
    std::vector<CSymData*> m_UpdatedList;
    bool m_bNoDelayAccept = true;
    bool m_bKeepSnapShot = true;
    bool m_bQueue = false;
    CSelectableQueue<CSymData>* m_pSymDataQ = nullptr;
    CSelectableQueue<CGrowingBuffer>* m_pResponseMsgQ = nullptr;
    MKTUTIL::Mutex* m_pMutex = nullptr;
    CSymTopic* m_pSymTopic = nullptr;
    std::vector<CGrowingBuffer*> m_vecResponseMsgBuf;
    // Set by SendResponse, possibly on another thread; cleared by the flush that takes the
    // responses.
    std::atomic<bool> m_bNewResponse{false};
    // Read by queued producers as they set exchange fields, and swapped by EnableExchTranslation
    // under m_pMutex.
    std::atomic<SymTranslator*> m_pExchTranslator{nullptr};
    SymTranslator* m_pSymTranslator = nullptr;
    std::map<unsigned int, CCommand> m_Commands;
    std::atomic<bool> m_bRun{false};
    int32_t m_HeartBeat = 0;
    time_t m_LastHBTime = 0;
    // The client has sent no whole message yet; it is dropped once m_nSilentUntilNs passes.
    bool m_bClientSilent = false;
    long long m_nSilentUntilNs = 0;
    long m_nFirstRequestTimeoutMs = kDefaultFirstRequestTimeoutMs;

    std::map<unsigned int, CommandIntake> m_CommandAge;
    unsigned long long m_nCommandSeq = 0;
    size_t m_nCommandBytes = 0;  // body bytes of the commands being put together, not dropped
    // Counts lost clients, so that request handling notices a client dropped under it.
    unsigned long m_nClientGeneration = 0;
    // Set while Dispatch reads, so that a callback calling Dispatch does not read over the
    // request being handled.
    bool m_bDispatching = false;
    // Scratch kept across flushes: a record encoded aside, the body being built, message
    // buffers and responses of the flush being written.
    CNetStream m_OutStream{true, 1024, 1024};
    CNetStream m_BodyStream{nullptr, 0, true};  // attached to the message being built
    std::vector<CGrowingBuffer*> m_vecFlushBufs;
    std::vector<TopicKey> m_vecTopicKeys;  // of the ticks being flushed
    // Direct mode: records taken from the pool a batch at a time, so that creating a tick does
    // not take the pool's lock each time; given back at the end of every flush.
    std::vector<CSymData*> m_vecSpareRecords;
    std::vector<CGrowingBuffer*> m_vecResponseScratch;
};
