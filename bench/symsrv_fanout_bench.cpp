// Fan-out from one feed handler to 1, 10 and 100 clients over loopback TCP, through:
//   - symsrv: a CSymProxy feed handler, the symbol server (CSymServer, on its own thread, as
//     the qrx-symsrv program runs it) and K library clients (CSymConnection + CSymListener,
//     each on its own thread, every record decoded);
//   - zmq: ZeroMQ PUB/SUB, lossless (no high-water mark), the publisher sending the same encoded
//     Sym data messages (a batch of records per message), K SUB sockets each on its own thread
//     decoding every record with CSymDataAux into a reused record.
// Each repetition runs, for each client count and contender, a flat-out run (N updates
// published as fast as the publisher goes; updates delivered per second in total and per
// client, until the last client has its last update) and a paced run (R updates per second for
// S seconds; p50 and p99 latency from a send time carried in every record). Medians over the
// repetitions; the targets (total at least ZeroMQ's at 10 and 100 clients, p99 no worse) are
// printed as met or MISSED.
//
// The two publishers do not do the same work: the symsrv feed handler is the library's
// CSymProxy, which takes each tick from its pool and merges it into its snapshot cache before
// encoding it, where the ZeroMQ publisher only encodes. With one client that, not the fan-out,
// bounds the symsrv rate (a profile shows the publishing thread busiest).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>
#include <zmq.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/free_port.h"
#include "qrx/client/sym_connection.h"
#include "qrx/client/sym_listener.h"
#include "qrx/marketdata/sym_data.h"
#include "qrx/marketdata/sym_data_aux.h"
#include "qrx/proxy/sym_proxy.h"
#include "qrx/symsrv/out_queue.h"
#include "qrx/symsrv/sym_server.h"
#include "qrx/wire/net_stream.h"

namespace {

FILE* g_out = stdout;

constexpr int kFlidStamp = 5;  // a double field: the send time in microseconds
constexpr int kFlidSeq = 600;
constexpr int kFlidTopic = 1074;

double NowUs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) * 1e-3;
}

struct Options {
    std::vector<int> clients = {1, 10, 100};
    int reps = 3;
    int updates = 20000;  // per flat-out run
    int topics = 100;
    int batch = 32;        // records per flush / per ZeroMQ message
    double rate = 2000;    // paced updates per second
    double seconds = 1.0;  // of a paced run
    bool bSymsrv = true;   // the contenders that run
    bool bZmq = true;
    int stalled = 10;  // readers beside a client that stops reading (0: that comparison is skipped)
};

bool ParseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        const char* v = nullptr;
        if (a == "--help" || a == "-h") {
            return false;
        } else if (a == "--clients" && (v = next())) {
            o.clients.clear();
            for (const char* p = v; *p;) {
                o.clients.push_back(atoi(p));
                p = strchr(p, ',');
                if (p == nullptr) {
                    break;
                }
                ++p;
            }
        } else if (a == "--only" && (v = next())) {
            o.bSymsrv = strcmp(v, "symsrv") == 0;
            o.bZmq = strcmp(v, "zmq") == 0;
            if (!o.bSymsrv && !o.bZmq) {
                return false;
            }
        } else if (a == "--reps" && (v = next())) {
            o.reps = atoi(v);
        } else if (a == "--updates" && (v = next())) {
            o.updates = atoi(v);
        } else if (a == "--topics" && (v = next())) {
            o.topics = atoi(v);
        } else if (a == "--batch" && (v = next())) {
            o.batch = atoi(v);
        } else if (a == "--rate" && (v = next())) {
            o.rate = atof(v);
        } else if (a == "--seconds" && (v = next())) {
            o.seconds = atof(v);
        } else if (a == "--stalled" && (v = next())) {
            o.stalled = atoi(v);
        } else {
            fprintf(stderr, "symsrv_fanout_bench: unknown or incomplete option %s\n", a.c_str());
            return false;
        }
    }
    return o.reps > 0 && o.updates > 0 && o.topics > 0 && o.batch > 0 && o.rate > 0 &&
           o.seconds > 0 && !o.clients.empty();
}

std::string TopicName(int i) {
    char buf[16];
    snprintf(buf, sizeof buf, "T%04d", i);
    return buf;
}

// What one client saw: updates of the measured run (seq > 0) and their latencies.
struct Tally {
    std::atomic<long> nUpdates{0};
    std::atomic<long> nPrimed{0};  // topics whose primer (seq 0) arrived
    std::vector<char> vecPrimed;
    std::vector<float> vecLatencyUs;
    bool bLatency = false;
    long nExpected = 0;
    double tLast = 0;

    void Reset(int nTopics, bool bKeepLatency, size_t nExpect) {
        nUpdates = 0;
        nExpected = static_cast<long>(nExpect);
        nPrimed = 0;
        vecPrimed.assign(static_cast<size_t>(nTopics), 0);
        vecLatencyUs.clear();
        if (bKeepLatency) {
            vecLatencyUs.reserve(nExpect);
        }
        bLatency = bKeepLatency;
    }
    void OnRecord(const CSymData& d) {
        int nSeq = -1;
        d.GetFlidInt(kFlidSeq, nSeq);
        if (nSeq == 0) {
            const char* szTopic = nullptr;
            if (d.GetFlidStringPtr(kFlidTopic, szTopic)) {
                const int n = atoi(szTopic + 1);
                if (n >= 0 && n < static_cast<int>(vecPrimed.size()) &&
                    !vecPrimed[static_cast<size_t>(n)]) {
                    vecPrimed[static_cast<size_t>(n)] = 1;
                    ++nPrimed;
                }
            }
            return;
        }
        if (bLatency) {
            double dStamp = 0;
            d.GetFlidDouble(kFlidStamp, dStamp);
            vecLatencyUs.push_back(static_cast<float>(NowUs() - dStamp));
        }
        // Only the last one's arrival is timed: a clock read per record would weigh on both
        // contenders' clients.
        if (++nUpdates == nExpected) {
            tLast = NowUs();
        }
    }
};

void FillTick(CSymData& d, int nTopic, int nSeq) {
    (void)nTopic;
    d.SetFlidInt(kFlidSeq, nSeq);
    d.SetFlidDouble(0, 100.25 + nSeq % 7);
    d.SetFlidDouble(1, 100.5 + nSeq % 5);
    d.SetFlidInt(512, 100 + nSeq % 11);
    d.SetFlidInt(513, 200 + nSeq % 13);
    d.SetFlidDouble(kFlidStamp, NowUs());
}

// ---- the publishers ----

class CBenchFeed : public CSymProxy {
public:
    void OnSubscribe(const char*) override { ++nSubs; }
    void OnUnsubscribe(const char*) override {}
    void Poll(int nWaitMs) {
        const int fd = GetFd();
        if (fd < 0) {
            return;
        }
        fd_set rs;
        FD_ZERO(&rs);
        FD_SET(fd, &rs);
        timeval tv = {0, nWaitMs * 1000};
        if (select(fd + 1, &rs, nullptr, nullptr, &tv) < 0) {
            FD_ZERO(&rs);
        }
        CheckSocket(rs);
    }
    void Publish(int nTopic, int nSeq, const std::string& strTopic) {
        HTICK t = CreateTick(strTopic.c_str(), strTopic.size());
        CSymData* d = static_cast<CSymData*>(t);
        FillTick(*d, nTopic, nSeq);
    }
    std::atomic<int> nSubs{0};
};

// Sends batches of encoded records as Sym data messages in the stream form.
class CZmqPublisher {
public:
    CZmqPublisher(void* pSock) : m_pSock(pSock), m_enc(true, 4096, 4096) {}
    void Add(int nTopic, int nSeq, const std::string& strTopic) {
        m_rec.clear();
        m_rec.SetFlidString(kFlidTopic, GrowingStr(strTopic.c_str()));
        m_rec.SetFlidString(1024, GrowingStr(strTopic.c_str()));
        FillTick(m_rec, nTopic, nSeq);
        m_enc.SeekBegin();
        CSymDataAux::SerializeSymOut(m_rec, m_enc);
        char* p = nullptr;
        int n = 0;
        m_enc.GetBuf(p, n);
        m_queue.AppendRecord(0, p, static_cast<size_t>(n));
    }
    void Flush() {
        m_queue.CloseData();
        // One ZeroMQ message per data message of the queue.
        const char* p = m_queue.Front();
        size_t nLeft = m_queue.Pending();
        while (nLeft >= 2) {
            const size_t nMsg = (static_cast<uint8_t>(p[0]) << 8) | static_cast<uint8_t>(p[1]);
            zmq_send(m_pSock, p, nMsg, 0);
            p += nMsg;
            nLeft -= nMsg;
        }
        m_queue.Clear();
    }

private:
    void* m_pSock;
    CSymData m_rec;
    CNetStream m_enc;
    COutQueue m_queue;
};

// ---- the clients ----

class CBenchListener : public CSymListener {
public:
    explicit CBenchListener(Tally& t) : m_tally(t) {}
    void OnData(const char*, const CSymData* d) override { m_tally.OnRecord(*d); }
    void OnSnapshotData(const char*, const CSymData* d) override { m_tally.OnRecord(*d); }
    Tally& m_tally;
};

void QrxClientThread(int nPort, int nTopics, Tally& tally, std::atomic<bool>& stop,
                     std::atomic<int>& nReady) {
    CSymConnection conn(nullptr);
    CBenchListener listener(tally);
    conn.AddClient(&listener);
    if (!conn.Connect("127.0.0.1", nPort, "bench", "bench")) {
        fprintf(stderr, "symsrv_fanout_bench: a client cannot connect\n");
        return;
    }
    std::vector<GrowingStr> topics;
    for (int i = 0; i < nTopics; ++i) {
        topics.emplace_back(TopicName(i).c_str());
    }
    conn.Subscribe(topics);
    ++nReady;
    while (!stop.load(std::memory_order_relaxed)) {
        pollfd pfd = {conn.GetFd(), POLLIN, 0};
        if (poll(&pfd, 1, 20) > 0) {
            if (conn.DispatchEvents() < 0) {
                break;
            }
        }
    }
    conn.Disconnect();
}

void ZmqClientThread(void* pCtx, const char* szEndpoint, Tally& tally, std::atomic<bool>& stop,
                     std::atomic<int>& nReady) {
    void* pSub = zmq_socket(pCtx, ZMQ_SUB);
    int zero = 0;
    int tick = 20;
    zmq_setsockopt(pSub, ZMQ_RCVHWM, &zero, sizeof zero);
    zmq_setsockopt(pSub, ZMQ_RCVTIMEO, &tick, sizeof tick);
    zmq_setsockopt(pSub, ZMQ_LINGER, &zero, sizeof zero);
    zmq_setsockopt(pSub, ZMQ_SUBSCRIBE, "", 0);
    zmq_connect(pSub, szEndpoint);
    ++nReady;
    CSymData rec;
    CNetStream in(nullptr, 0, false);
    zmq_msg_t msg;
    zmq_msg_init(&msg);
    while (!stop.load(std::memory_order_relaxed)) {
        if (zmq_msg_recv(&msg, pSub, 0) < 0) {
            continue;
        }
        char* p = static_cast<char*>(zmq_msg_data(&msg));
        const size_t n = zmq_msg_size(&msg);
        if (n < 10) {
            continue;
        }
        in.Attach(p + 10, static_cast<int>(n - 10), false);
        while (in.GetRemaining() > 0) {
            rec.clear();
            if (!CSymDataAux::SerializeSymIn(rec, in)) {
                break;
            }
            tally.OnRecord(rec);
        }
    }
    zmq_msg_close(&msg);
    zmq_close(pSub);
}

// ---- one measurement ----

struct Figures {
    double dblTotal = 0;      // updates per second delivered, all clients
    double dblPerClient = 0;  // the same per client
    double dblP50 = 0;
    double dblP99 = 0;
    bool bOk = true;
};

double Percentile(std::vector<float>& v, double q) {
    if (v.empty()) {
        return 0;
    }
    const size_t k = static_cast<size_t>(q * static_cast<double>(v.size() - 1));
    std::nth_element(v.begin(), v.begin() + static_cast<long>(k), v.end());
    return v[k];
}

// A publisher as the driver sees it.
struct IPublisher {
    virtual ~IPublisher() = default;
    virtual void Add(int nTopic, int nSeq) = 0;
    virtual void Flush() = 0;
    virtual void Pump() = 0;  // housekeeping between sends (requests, waiting output)
};

// A client that logs on, subscribes every topic and then reads nothing.
struct CStalledClient {
    CSymConnection conn{nullptr};
    bool Start(int nPort, int nTopics) {
        std::vector<GrowingStr> topics;
        for (int i = 0; i < nTopics; ++i) {
            topics.emplace_back(TopicName(i).c_str());
        }
        return conn.Connect("127.0.0.1", nPort, "stalled", "stalled") && conn.Subscribe(topics);
    }
};

struct CSymSrvRig : IPublisher {
    // With bStalled, one more client subscribes every topic and never reads: past a high-water
    // mark the server conflates it, and once it has stayed so for a while it is dropped.
    CSymSrvRig(const Options& o, int nClients, std::vector<std::unique_ptr<Tally>>& tallies,
               bool bStalled = false)
        : m_opt(o) {
        const int nFeedPort = FreeLoopbackPort();
        m_bOk = m_feed.Initialize(nFeedPort, false, true, true, false);
        m_feed.SetBacklogLimits(1L << 30, 1L << 30);
        CSymSrvConfig cfg;
        cfg.m_nPort = FreeLoopbackPort();
        cfg.m_nHighWater = 1L << 30;  // lossless: nothing conflated in a flat-out run
        cfg.m_nLimit = 1L << 30;
        cfg.m_dblSummaryInterval = 0;
        cfg.m_dblHeartbeatInterval = 0;
        if (bStalled) {
            cfg.m_nHighWater = kStalledHighWater;
            cfg.m_dblStallTimeout = 0.5;
        }
        CSymSrvFeedConfig f;
        f.m_strName = "bench";
        f.m_strHost = "127.0.0.1";
        f.m_nPort = nFeedPort;
        cfg.m_vecFeeds.push_back(f);
        m_pServer = std::make_unique<CSymServer>(cfg);
        m_bOk = m_bOk && m_pServer->Start();
        m_serverThread = std::thread([this] {
            while (!m_stopServer.load(std::memory_order_relaxed)) {
                m_pServer->RunOnce(10);
            }
        });
        for (int i = 0; i < o.topics; ++i) {
            m_topics.push_back(TopicName(i));
        }
        for (int k = 0; k < nClients; ++k) {
            m_clients.emplace_back(QrxClientThread, cfg.m_nPort, o.topics,
                                   std::ref(*tallies[static_cast<size_t>(k)]),
                                   std::ref(m_stopClients), std::ref(m_nReady));
        }
        if (bStalled) {
            m_pStalled = std::make_unique<CStalledClient>();
            m_bOk = m_bOk && m_pStalled->Start(cfg.m_nPort, o.topics);
        }
    }
    static constexpr long kStalledHighWater = 1L << 20;
    ~CSymSrvRig() override {
        m_stopClients = true;
        for (auto& t : m_clients) {
            t.join();
        }
        m_stopServer = true;
        m_serverThread.join();
    }
    void Add(int nTopic, int nSeq) override {
        m_feed.Publish(nTopic, nSeq, m_topics[static_cast<size_t>(nTopic)]);
    }
    void Flush() override { m_feed.Flush(false, nullptr); }
    void Pump() override { m_feed.Poll(0); }

    const Options& m_opt;
    bool m_bOk = false;
    CBenchFeed m_feed;
    std::unique_ptr<CSymServer> m_pServer;
    std::unique_ptr<CStalledClient> m_pStalled;
    std::thread m_serverThread;
    std::vector<std::thread> m_clients;
    std::vector<std::string> m_topics;
    std::atomic<bool> m_stopServer{false};
    std::atomic<bool> m_stopClients{false};
    std::atomic<int> m_nReady{0};
};

struct CZmqRig : IPublisher {
    CZmqRig(const Options& o, int nClients, std::vector<std::unique_ptr<Tally>>& tallies) {
        m_pCtx = zmq_ctx_new();
        m_pPub = zmq_socket(m_pCtx, ZMQ_PUB);
        int zero = 0;
        zmq_setsockopt(m_pPub, ZMQ_SNDHWM, &zero, sizeof zero);
        zmq_setsockopt(m_pPub, ZMQ_LINGER, &zero, sizeof zero);
        char endpoint[256];
        size_t nLen = sizeof endpoint;
        m_bOk = zmq_bind(m_pPub, "tcp://127.0.0.1:*") == 0 &&
                zmq_getsockopt(m_pPub, ZMQ_LAST_ENDPOINT, endpoint, &nLen) == 0;
        m_strEndpoint = endpoint;
        m_pPublisher = std::make_unique<CZmqPublisher>(m_pPub);
        for (int i = 0; i < o.topics; ++i) {
            m_topics.push_back(TopicName(i));
        }
        for (int k = 0; k < nClients; ++k) {
            m_clients.emplace_back(ZmqClientThread, m_pCtx, m_strEndpoint.c_str(),
                                   std::ref(*tallies[static_cast<size_t>(k)]), std::ref(m_stop),
                                   std::ref(m_nReady));
        }
    }
    ~CZmqRig() override {
        m_stop = true;
        for (auto& t : m_clients) {
            t.join();
        }
        zmq_close(m_pPub);
        zmq_ctx_term(m_pCtx);
    }
    void Add(int nTopic, int nSeq) override {
        m_pPublisher->Add(nTopic, nSeq, m_topics[static_cast<size_t>(nTopic)]);
    }
    void Flush() override { m_pPublisher->Flush(); }
    void Pump() override {}

    bool m_bOk = false;
    void* m_pCtx = nullptr;
    void* m_pPub = nullptr;
    std::string m_strEndpoint;
    std::unique_ptr<CZmqPublisher> m_pPublisher;
    std::vector<std::thread> m_clients;
    std::vector<std::string> m_topics;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_nReady{0};
};

// One flat-out run and one paced run of a contender with nClients clients.
// What the server did with the stalled client of a run.
struct StalledOutcome {
    uint64_t nConflations = 0;
    uint64_t nDropped = 0;
};

bool RunCase(bool bZmq, int nClients, const Options& o, Figures& flat, Figures& paced,
             bool bStalled = false, StalledOutcome* pOutcome = nullptr) {
    const long nPaced = static_cast<long>(o.rate * o.seconds);
    std::vector<std::unique_ptr<Tally>> tallies;
    for (int k = 0; k < nClients; ++k) {
        tallies.push_back(std::make_unique<Tally>());
        tallies.back()->Reset(o.topics, false, 0);
    }
    std::unique_ptr<IPublisher> pub;
    CSymSrvRig* pSymsrv = nullptr;
    if (bZmq) {
        pub = std::make_unique<CZmqRig>(o, nClients, tallies);
    } else {
        pSymsrv = new CSymSrvRig(o, nClients, tallies, bStalled);
        pub.reset(pSymsrv);
    }
    auto all = [&](const std::function<bool(Tally&)>& f) {
        for (auto& t : tallies) {
            if (!f(*t)) {
                return false;
            }
        }
        return true;
    };
    // Primer: every topic until every client has seen every topic (subscriptions in place,
    // ZeroMQ's subscribers joined).
    const double tPrimeEnd = NowUs() + 60e6;
    while (!all([&](Tally& t) { return t.nPrimed == o.topics; })) {
        if (NowUs() > tPrimeEnd) {
            fprintf(stderr, "symsrv_fanout_bench: the clients did not all subscribe in time\n");
            return false;
        }
        for (int i = 0; i < o.topics; ++i) {
            pub->Add(i, 0);
        }
        pub->Flush();
        const double tNext = NowUs() + 20000;
        while (NowUs() < tNext) {
            pub->Pump();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    auto finish = [&](long nExpected, double t0, Figures& fig) {
        const double tEnd = NowUs() + 120e6;
        while (!all([&](Tally& t) { return t.nUpdates >= nExpected; })) {
            if (NowUs() > tEnd) {
                fprintf(stderr, "symsrv_fanout_bench: %s lost updates\n", bZmq ? "zmq" : "symsrv");
                fig.bOk = false;
                return;
            }
            pub->Pump();
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        double tLast = t0;
        for (auto& t : tallies) {
            tLast = std::max(tLast, t->tLast);
        }
        const double dt = (tLast - t0) * 1e-6;
        fig.dblPerClient = static_cast<double>(nExpected) / dt;
        fig.dblTotal = fig.dblPerClient * nClients;
    };
    // Flat out.
    for (auto& t : tallies) {
        t->Reset(o.topics, false, static_cast<size_t>(o.updates));
        std::fill(t->vecPrimed.begin(), t->vecPrimed.end(), 1);
        t->nPrimed = o.topics;
    }
    double t0 = NowUs();
    for (int i = 0; i < o.updates; ++i) {
        pub->Add(i % o.topics, i + 1);
        if ((i + 1) % o.batch == 0 || i + 1 == o.updates) {
            pub->Flush();
            pub->Pump();
        }
    }
    finish(o.updates, t0, flat);
    // Paced: one update at a time, flushed at once, on a fixed schedule.
    for (auto& t : tallies) {
        t->Reset(o.topics, true, static_cast<size_t>(nPaced));
        std::fill(t->vecPrimed.begin(), t->vecPrimed.end(), 1);
        t->nPrimed = o.topics;
    }
    t0 = NowUs();
    for (long i = 0; i < nPaced; ++i) {
        const double tDue = t0 + static_cast<double>(i) * 1e6 / o.rate;
        // Waiting sleeps: a spinning publisher would take a core from the clients.
        for (double tNow = NowUs(); tNow < tDue; tNow = NowUs()) {
            pub->Pump();
            if (tDue - tNow > 60) {
                std::this_thread::sleep_for(
                    std::chrono::microseconds(static_cast<long>(tDue - tNow - 50)));
            }
        }
        pub->Add(static_cast<int>(i % o.topics), static_cast<int>(i + 1));
        pub->Flush();
    }
    Figures dummy;
    finish(nPaced, t0, dummy);
    paced.bOk = dummy.bOk;
    std::vector<float> all_lat;
    for (auto& t : tallies) {
        all_lat.insert(all_lat.end(), t->vecLatencyUs.begin(), t->vecLatencyUs.end());
    }
    paced.dblP50 = Percentile(all_lat, 0.50);
    paced.dblP99 = Percentile(all_lat, 0.99);
    if (pOutcome != nullptr && pSymsrv != nullptr) {
        // The stalled client has been conflated since the flat-out run; give the server its
        // stall time-out to drop it.
        const double tEnd = NowUs() + 5e6;
        while (pSymsrv->m_pServer->ClientsDropped() == 0 && NowUs() < tEnd) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        pOutcome->nConflations = pSymsrv->m_pServer->Conflations();
        pOutcome->nDropped = pSymsrv->m_pServer->ClientsDropped();
    }
    return flat.bOk && paced.bOk;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!ParseOptions(argc, argv, o)) {
        fprintf(stderr,
                "usage: symsrv_fanout_bench [--clients 1,10,100] [--reps N] [--updates N]\n"
                "                           [--topics N] [--batch N] [--rate R] [--seconds S]\n"
                "                           [--only symsrv|zmq] [--stalled N]\n"
                "  --clients LIST  client counts (default 1,10,100)\n"
                "  --reps N        repetitions, medians over them (default 3)\n"
                "  --updates N     updates of each flat-out run (default 20000)\n"
                "  --topics N      topics the updates go round (default 100)\n"
                "  --batch N       records per flush / ZeroMQ message, flat out (default 32)\n"
                "  --rate R        updates per second of the paced runs (default 2000)\n"
                "  --seconds S     length of a paced run (default 1)\n"
                "  --only CASE     symsrv or zmq alone (no ratios)\n"
                "  --stalled N     N + 1 clients reading, against N reading beside one that\n"
                "                  stops reading (default 10; 0 skips it)\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    // The figures go to standard output; what the library prints there (a client's command
    // id, for one) goes nowhere.
    g_out = fdopen(dup(STDOUT_FILENO), "w");
    if (g_out == nullptr || freopen("/dev/null", "w", stdout) == nullptr) {
        return 1;
    }
    // The server's log lines would only disturb the figures.
    fprintf(g_out,
            "fan-out of %d updates (%d topics, %d records per message) flat out, and %.0f "
            "updates/s for %.1f s paced; medians of %d repetitions\n",
            o.updates, o.topics, o.batch, o.rate, o.seconds, o.reps);
    fprintf(g_out, "%-8s %-7s %14s %14s %9s %9s\n", "clients", "case", "total/s", "per-client/s",
            "p50 us", "p99 us");
    bool bAllMet = true;
    for (int nClients : o.clients) {
        Figures med[2];
        for (int z = 0; z < 2; ++z) {
            if ((z == 0 && !o.bSymsrv) || (z == 1 && !o.bZmq)) {
                continue;
            }
            std::vector<double> tot, per, p50, p99;
            for (int r = 0; r < o.reps; ++r) {
                Figures flat, paced;
                if (!RunCase(z == 1, nClients, o, flat, paced)) {
                    fprintf(stderr, "symsrv_fanout_bench: a run failed\n");
                    return 1;
                }
                tot.push_back(flat.dblTotal);
                per.push_back(flat.dblPerClient);
                p50.push_back(paced.dblP50);
                p99.push_back(paced.dblP99);
            }
            med[z].dblTotal = Median(tot);
            med[z].dblPerClient = Median(per);
            med[z].dblP50 = Median(p50);
            med[z].dblP99 = Median(p99);
            fprintf(g_out, "%-8d %-7s %14.0f %14.0f %9.1f %9.1f\n", nClients,
                    z == 0 ? "symsrv" : "zmq", med[z].dblTotal, med[z].dblPerClient, med[z].dblP50,
                    med[z].dblP99);
            fflush(g_out);
        }
        if (!o.bSymsrv || !o.bZmq) {
            continue;
        }
        const double dblRatio = med[0].dblTotal / med[1].dblTotal;
        const bool bRate = dblRatio >= 1.0;
        const bool bP99 = med[0].dblP99 <= med[1].dblP99;
        if (nClients >= 10) {
            fprintf(g_out, "  %d clients: total %.2fx ZeroMQ (target >= 1.00x): %s\n", nClients,
                    dblRatio, bRate ? "met" : "MISSED");
            bAllMet = bAllMet && bRate;
        } else {
            fprintf(g_out, "  %d client: total %.2fx ZeroMQ (no target)\n", nClients, dblRatio);
        }
        fprintf(g_out, "  %d clients: p99 %.1f us vs ZeroMQ %.1f us (target: no worse): %s\n",
                nClients, med[0].dblP99, med[1].dblP99, bP99 ? "met" : "MISSED");
        bAllMet = bAllMet && bP99;
    }
    if (o.stalled > 0 && o.bSymsrv) {
        // Each reader's rate once one of N + 1 clients stops reading, against the rate of each of
        // the N + 1 while all of them read: what the others lose to the one that stopped.
        // Alternating run by run.
        std::vector<double> alone, beside;
        uint64_t nConflated = 0, nDropped = 0;
        for (int r = 0; r < o.reps; ++r) {
            for (int z = 0; z < 2; ++z) {
                Figures flat, paced;
                StalledOutcome out;
                if (!RunCase(false, z == 0 ? o.stalled + 1 : o.stalled, o, flat, paced, z == 1,
                             z == 1 ? &out : nullptr)) {
                    fprintf(stderr, "symsrv_fanout_bench: a run failed\n");
                    return 1;
                }
                (z == 0 ? alone : beside).push_back(flat.dblPerClient);
                nConflated += out.nConflations > 0 ? 1 : 0;
                nDropped += out.nDropped > 0 ? 1 : 0;
            }
        }
        const double dblRatio = Median(beside) / Median(alone);
        const bool bHeld = dblRatio >= 0.9;
        fprintf(g_out,
                "%d clients all reading: %.0f/s each; %d of them reading beside one that stops "
                "reading: %.0f/s each (that one conflated in %llu and dropped in %llu of %d "
                "runs)\n",
                o.stalled + 1, Median(alone), o.stalled, Median(beside),
                static_cast<unsigned long long>(nConflated),
                static_cast<unsigned long long>(nDropped), o.reps);
        fprintf(g_out, "  readers' rate beside it %.2fx (target >= 0.90x): %s\n", dblRatio,
                bHeld ? "met" : "MISSED");
        bAllMet = bAllMet && bHeld;
    }
    fprintf(g_out, "targets: %s\n", bAllMet ? "all met" : "some MISSED");
    return 0;
}
