// CSymServer: the symbol server of one machine. Clients (Sym listeners) connect and log on;
// the server connects out to each configured feed handler (a Sym proxy), keeps one upstream
// subscription per topic however many clients want it, merges every update into a per-topic
// image, and forwards the update's encoded bytes to each subscribed client. Clients that do
// not keep up are conflated and, if they still do not read, dropped; nobody else waits.
//
// Everything runs on one thread around one epoll descriptor; every socket is non-blocking.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "qrx/marketdata/sym_data.h"
#include "qrx/net/spare_fd.h"
#include "qrx/runtime/reg_ex.h"
#include "qrx/symsrv/host_resolver.h"
#include "qrx/symsrv/out_queue.h"
#include "qrx/symsrv/symsrv_config.h"
#include "qrx/symsrv/symsrv_wire.h"
#include "qrx/wire/net_stream.h"

class CCommand;

class CSymServer;
class CClientSession;

// What an epoll event points at.
struct CPollEntry {
    enum enKind {
        KIND_LISTEN,
        KIND_METRICS_LISTEN,
        KIND_CLIENT,
        KIND_FEED,
        KIND_METRICS_CONN,
        KIND_RESOLVER
    };
    CPollEntry(enKind eKind, int nFd) : m_eKind(eKind), m_nFd(nFd) {}
    virtual ~CPollEntry() = default;
    enKind m_eKind;
    int m_nFd;
    uint32_t m_nEvents = 0;  // registered with epoll
};

// Bytes read from a peer, framed into messages of the stream form.
struct CInBuffer {
    std::vector<char> m_buf = std::vector<char>(128 * 1024);
    size_t m_nLen = 0;
};

struct CTopicEntry {
    std::string m_strTopic;
    uint32_t m_nIndex = 0;
    int m_nFeed = -1;                        // the feed handler that serves it, -1 none
    int m_nRefs = 0;                         // clients subscribed
    std::vector<CClientSession*> m_vecSubs;  // those clients
    std::unique_ptr<CSymData> m_pImage;      // merged state, when m_bCached
    bool m_bCached = false;
    bool m_bUpstream = false;  // subscribed at the feed handler
    // The feed handler's answer to a subscription (its image) is still to come: its snapshot
    // records are for the subscribers. Other snapshot records of the topic (those answering a
    // subscribe-all) only fill the image.
    bool m_bImageDue = false;
    bool m_bChangeQueued = false;
    bool m_bFree = false;  // nobody holds it and nothing refers to it: the slot is reused
    bool m_bImageTooLongLogged = false;
    uint64_t m_nUpdatesIn = 0;
    uint64_t m_nBytesIn = 0;
    uint64_t m_nUpdatesOut = 0;
    uint64_t m_nBytesOut = 0;
    uint64_t m_nConflated = 0;
};

class CClientSession : public CPollEntry {
public:
    // The log lines its requests may bring, each kept to a few per connection: a client
    // that repeats a request would otherwise write a line for every eight bytes it sends.
    enum enLogKind {
        LOG_EARLY,
        LOG_UNHANDLED,
        LOG_LOGON,
        LOG_REFUSED,
        LOG_NEW_USER,  // logons under another name than the last, told beyond LOG_LOGON's
        LOG_TOO_MANY_TOPICS,
        LOG_BAD_COMMAND,
        LOG_LONG_LIST,
        LOG_KINDS
    };
    static constexpr uint8_t kLinesPerKind = 5;

    explicit CClientSession(int nFd) : CPollEntry(KIND_CLIENT, nFd) {}

    // Whether a line of this kind is still to be written for it (counts the line).
    bool ShouldLog(enLogKind e) {
        if (m_aLogged[e] >= kLinesPerKind) {
            return false;
        }
        ++m_aLogged[e];
        return true;
    }

    uint32_t m_nId = 0;
    uint16_t m_nCmdClientId = 0;  // the id its commands carry, 0 before logon
    std::string m_strPeer;
    std::string m_strUser;
    bool m_bLoggedOn = false;
    bool m_bAll = false;            // subscribed to every topic
    bool m_bCloseWhenSent = false;  // refused logon: close once its answer is written
    bool m_bDoomed = false;         // to be closed at the end of this turn
    bool m_bQueued = false;         // in the list of clients to write at the end of this turn
    bool m_bConflating = false;
    bool m_bInputWaits = false;  // requests left in m_in for the next turn
    CInBuffer m_in;
    COutQueue m_out;
    // Per topic index: bit 0 subscribed, bit 1 its update waits in the conflated list.
    std::vector<uint8_t> m_vecFlags;
    std::vector<uint32_t> m_vecDirty;
    size_t m_nDirtyHead = 0;
    double m_tProgress = 0;  // last time the queue emptied or a write took bytes
    double m_tAccepted = 0;
    // Per feed handler: the loss notice this client was told of (the notice's stamp).
    std::vector<uint64_t> m_vecLostTold;
    // Per feed handler: the topics of it this client holds.
    std::vector<int> m_vecFeedTopics;
    int m_nTopics = 0;
    int m_nCommandsInParts = 0;  // started and waiting for their last part
    uint64_t m_nUpdatesOut = 0;
    uint64_t m_nBytesOut = 0;
    uint64_t m_nConflated = 0;
    uint64_t m_nConflations = 0;
    uint64_t m_nRequests = 0;
    uint8_t m_aLogged[LOG_KINDS] = {};

    bool IsSubscribed(uint32_t nTopic) const {
        return nTopic < m_vecFlags.size() && (m_vecFlags[nTopic] & 1) != 0;
    }
    // Whether what a feed handler says of its source concerns this client.
    bool HearsFeed(int nFeed) const {
        return m_bAll || (static_cast<size_t>(nFeed) < m_vecFeedTopics.size() &&
                          m_vecFeedTopics[static_cast<size_t>(nFeed)] > 0);
    }
};

class CFeedLink : public CPollEntry {
public:
    enum enState { STATE_DOWN, STATE_CONNECTING, STATE_LOGON, STATE_UP };
    CFeedLink(const CSymSrvFeedConfig& cfg, int nIndex);

    bool Routes(const char* szTopic);
    static const char* StateName(enState e);

    CSymSrvFeedConfig m_cfg;
    int m_nIndex;
    std::vector<CRegEx> m_vecRegexes;
    enState m_eState = STATE_DOWN;
    CInBuffer m_in;
    COutQueue m_out;
    // The front bytes of m_out that ask again, at logon, for every topic held: what the
    // server owes it, not what it failed to read, so not held against the limit.
    size_t m_nOwed = 0;
    double m_tNextAttempt = 0;
    double m_tStateSince = 0;  // when connecting or logging on began
    double m_tLastRead = 0;    // when its last bytes came
    double m_dblBackoff = 0;
    bool m_bLostNotified = false;  // clients were told the source is lost
    uint64_t m_nLostStamp = 0;     // the stamp of that notice
    bool m_bFailLogged = false;    // the current run of failed attempts was logged
    bool m_bAllUpstream = false;
    // Connecting, and waiting for the address of its host; m_nLookupSeq tells the answer to
    // this attempt from those to attempts given up.
    bool m_bLookingUp = false;
    unsigned long m_nLookupSeq = 0;
    std::vector<uint32_t> m_vecChanges;  // topics whose upstream subscription may change
    uint64_t m_nConnects = 0;
    uint64_t m_nUpdatesIn = 0;
    uint64_t m_nBytesIn = 0;
    uint64_t m_nLosses = 0;
};

struct CMetricsConn : public CPollEntry {
    explicit CMetricsConn(int nFd) : CPollEntry(KIND_METRICS_CONN, nFd) {}
    std::string m_strIn;
    std::shared_ptr<const std::string> m_pOut;  // the answer, shared with other scrapes
    size_t m_nSent = 0;
    bool m_bAnswered = false;
    double m_tAccepted = 0;
};

class CSymServer {
public:
    explicit CSymServer(const CSymSrvConfig& cfg);
    ~CSymServer();
    CSymServer(const CSymServer&) = delete;
    CSymServer& operator=(const CSymServer&) = delete;

    // Another name service for the feed handlers' hosts (tests use one that hangs); before
    // Start.
    void SetHostLookup(CHostResolver::Lookup lookup) { m_Resolver.SetLookup(std::move(lookup)); }
    // Opens the listening sockets and starts connecting to the feed handlers. False (with the
    // reason logged) when a socket cannot be opened.
    bool Start();
    // Runs until Stop(): from a signal handler, another thread or a callback, also one that
    // came before Run() began.
    void Run();
    // One turn of the loop, waiting at most nTimeoutMs for something to happen.
    void RunOnce(int nTimeoutMs);
    void Stop();

    // The ports actually bound (useful with port 0).
    int Port() const { return m_nBoundPort; }
    int MetricsPort() const { return m_nBoundMetricsPort; }

    // Prometheus text of every counter.
    std::string MetricsText() const;
    // The one-line summary the log gets periodically.
    std::string SummaryLine();

    // Counters, for tests and the summary.
    size_t ClientCount() const { return m_vecClients.size(); }
    size_t MetricsConnections() const { return m_vecMetricsConns.size(); }
    // Bytes of the answers the metrics connections hold (each answer counted once).
    size_t MetricsBytesHeld() const;
    size_t TopicCount() const { return m_vecTopics.size() - m_vecFreeTopics.size(); }
    // Commands in parts whose last part has not come yet.
    size_t CommandsInParts() const { return m_mCmdFeeds.size(); }
    const CTopicEntry* FindTopic(const char* szTopic) const;
    const CFeedLink* Feed(int n) const { return m_vecFeeds[static_cast<size_t>(n)].get(); }
    uint64_t UpdatesIn() const { return m_nUpdatesIn; }
    uint64_t ClientsDropped() const { return m_nClientsDropped; }
    uint64_t ClientsRefused() const { return m_nClientsRefused; }
    uint64_t Conflations() const { return m_nConflations; }

    static double Now();

private:
    // ---- sockets ----
    int Listen(bool bUnix, int nPort);
    void SetEvents(CPollEntry* p, uint32_t nEvents);
    void Accept(CPollEntry* pListen);
    void AcceptMetrics();
    // Out of descriptors: closes the connection waiting on the listening socket, with a line,
    // through the descriptor kept spare for it. False when there is none.
    bool ShedConnection(int nListenFd);

    // ---- clients ----
    void OnClientReadable(CClientSession* c);
    // Handles the complete requests in the client's input; those past what one turn may
    // queue for it are left for the next turn.
    void HandleClientInput(CClientSession* c);
    bool HandleClientMsg(CClientSession* c, char* p, int nLen);
    void HandleLogon(CClientSession* c, const MsgHdrSym* h);
    void Subscribe(CClientSession* c, const char* szTopic);
    void Unsubscribe(CClientSession* c, const char* szTopic);
    void SubscribeAll(CClientSession* c);
    void UnsubscribeAll(CClientSession* c);
    void SendImage(CClientSession* c, CTopicEntry& t, short nSubType);
    void SendAllImages(CClientSession* c);
    void SendToClient(CClientSession* c, const char* p, size_t n);
    // Drops a client whose queue passed the limit, saying so.
    void DoomOverLimit(CClientSession* c);
    void QueueWrite(CClientSession* c);
    void WriteClient(CClientSession* c);
    // Writes what the socket takes now; the bytes still queued.
    size_t WriteNow(CClientSession* c);
    void SendConflated(CClientSession* c);
    void Doom(CClientSession* c, const std::string& strWhy, bool bDropped = false);
    void CloseClient(CClientSession* c);

    // ---- feed handlers ----
    void StartConnect(CFeedLink* f);
    // Opens the connection to an address (TCP or local) and starts connecting.
    void ConnectTo(CFeedLink* f, const sockaddr* pAddr, socklen_t nLen, bool bTcp);
    // The link's state as a connection attempt begins (fd -1 while its host is looked up).
    void BeginConnecting(CFeedLink* f, int fd);
    // Goes on with the feed handlers whose host names have been looked up.
    void OnResolved();
    void OnFeedConnected(CFeedLink* f);
    void OnFeedReadable(CFeedLink* f);
    bool HandleFeedMsg(CFeedLink* f, char* p, int nLen);
    bool HandleFeedData(CFeedLink* f, char* p, int nLen, short nSubType);
    void FeedUp(CFeedLink* f);
    void FeedDown(CFeedLink* f, const std::string& strWhy);
    void WriteFeed(CFeedLink* f);
    void QueueUpstream(CTopicEntry& t);
    // Writes the subscription changes queued for f. bOwed: they ask again for what the
    // clients held when f came up, and count against no limit until written.
    void FlushUpstream(CFeedLink* f, bool bOwed = false);
    void NotifySource(CFeedLink* f, bool bUp);
    void TellLost(CClientSession* c, CFeedLink* f);
    void ForwardSubStatus(CFeedLink* f, const MsgHdrSym* h);

    // ---- commands ----
    void AssignCommandId(CClientSession* c);
    void ForgetCommandId(CClientSession* c);
    // Commands in parts whose start went to f, when f is lost: their rest is refused.
    void ForgetFeedCommands(CFeedLink* f);
    void HandleCommand(CClientSession* c, const MsgHdrSym* h, const char* p, int nLen);
    void RefuseCommand(CClientSession* c, const CCommand& cmd, const std::string& strWhy);
    void ForwardResponse(const char* p, int nLen);

    // ---- fan-out ----
    CTopicEntry* Topic(const char* szTopic, size_t nLen, bool bCreate);
    // Gives up a topic nobody holds, that has no image and no subscription or change pending
    // at its feed handler: its slot goes to the next new topic, so that topics that come and
    // go do not use up max_topics.
    void ReleaseIfIdle(CTopicEntry& t);
    void Deliver(CClientSession* c, CTopicEntry& t, short nSubType, const char* p, size_t n);

    // ---- time ----
    void OnTimers();
    void OnMetricsConn(CMetricsConn* m, uint32_t nEvents);
    void CloseMetricsConn(CMetricsConn* m);
    // The answer to GET /metrics: made anew, or the newest one shared (see its bounds); null
    // when there is no memory for it.
    std::shared_ptr<const std::string> MetricsAnswer();
    // Metrics connections that have not been answered and written in time; between turns only.
    void CloseIdleMetricsConns(double tNow);

    CSymSrvConfig m_cfg;
    int m_nEpoll = -1;
    CSpareFd m_SpareFd;        // room to close a connection when no descriptor is left
    CHostResolver m_Resolver;  // the feed handlers' host names, looked up off the loop
    std::unique_ptr<CPollEntry> m_pResolverEntry;
    std::vector<CHostResolver::Answer> m_vecAnswers;
    std::atomic<bool> m_bStopRequested{false};  // set from signal handlers and other threads
    std::unique_ptr<CPollEntry> m_pListenTcp;
    std::unique_ptr<CPollEntry> m_pListenUnix;
    std::unique_ptr<CPollEntry> m_pListenMetrics;
    int m_nBoundPort = 0;
    int m_nBoundMetricsPort = 0;
    std::vector<std::unique_ptr<CFeedLink>> m_vecFeeds;
    std::vector<CClientSession*> m_vecClients;
    std::vector<CClientSession*> m_vecAllClients;
    std::vector<CClientSession*> m_vecWriteList;
    std::vector<CClientSession*> m_vecDoomed;
    std::vector<CClientSession*> m_vecInputWaits;  // clients whose requests wait for a turn
    std::vector<CMetricsConn*> m_vecMetricsConns;
    std::shared_ptr<const std::string> m_pMetricsAnswer;  // the newest answer to GET /metrics
    double m_tMetricsAnswer = 0;                          // when it was made
    std::vector<std::unique_ptr<CTopicEntry>> m_vecTopics;
    std::unordered_map<std::string, uint32_t> m_mTopicIndex;
    std::vector<uint32_t> m_vecFreeTopics;  // slots of topics given up, reused first
    std::string m_strKey;                   // scratch key for look-ups
    std::unordered_map<uint16_t, CClientSession*> m_mCmdClients;  // by command client id
    // Commands in parts: where they go (-1 - the feed's index once that feed was lost), by
    // sender (its client number), then the client and request ids the command carries.
    std::unordered_map<uint64_t, int> m_mCmdFeeds;
    uint16_t m_nNextCmdClientId = 0;
    CSymSrvWire m_wire;
    CSymData m_rec;          // the record being routed
    CNetStream m_recStream;  // reads the records of a data message in place
    CNetStream m_encStream;  // encodes images
    uint32_t m_nNextClientId = 1;
    uint64_t m_nStampGen = 0;
    int m_nAllRefs = 0;
    // Totals.
    uint64_t m_nUpdatesIn = 0;
    uint64_t m_nUpdatesOut = 0;
    uint64_t m_nClientsAccepted = 0;
    uint64_t m_nClientsDropped = 0;
    uint64_t m_nClientsRefused = 0;  // connections closed past max_clients
    uint64_t m_nLogonsRefused = 0;
    uint64_t m_nMalformed = 0;
    uint64_t m_nConflations = 0;
    uint64_t m_nConflatedUpdates = 0;
    uint64_t m_nSummaryUpdatesIn = 0;
    uint64_t m_nSummaryUpdatesOut = 0;
    double m_tNextSummary = 0;
    double m_tNextHeartbeat = 0;
    double m_tLastSummary = 0;
};
