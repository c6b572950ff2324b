// Publishing the 24-field quote record (12 prices, 10 sizes and times, symbol and topic) round
// 1,000 topics from one publisher thread to one subscriber thread over loopback TCP, the
// subscriber decoding every record, through:
//   - qrx batched: a CSymProxy with a subscribed Sym client, Flush every 100 ticks;
//   - qrx per tick: the same, Flush after every tick;
//   - ZeroMQ PUB/SUB, lossless (XPUB with ZMQ_XPUB_NODROP, high-water marks in both directions,
//     blocking sends): one record or 100 per message, as a plain C struct of the 24 values or as
//     qrx's encoded record body (decoded by CSymDataAux at the subscriber);
//   - raw TCP of qrx's framed, encoded messages, one write per 100 records or per record: the
//     floor, what moving these bytes costs without the proxy.
// The qrx and raw TCP subscribers share one reader: frames the Sym stream and decodes every record
// body with CSymDataAux::SerializeSymIn into a reused record, as the ZeroMQ encoded subscriber
// does; with --listener the qrx subscriber is the client's own path instead (CSymConnection's
// DispatchEvents handing every record to a CSymListener).
//
// Each repetition runs every case twice: flat out (updates per second decoded at the subscriber,
// CPU time per update of the publishing thread, the subscribing thread and the rest of the
// process, i.e. ZeroMQ's I/O threads) and paced at a fixed rate (latency percentiles from a send
// time carried in the record's volume field; batching cases send a batch every 100 updates' worth
// of time). Reports medians over the repetitions, the targets as met or MISSED, and with --json
// every figure for the report that scripts/bench builds.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>
#include <zmq.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "common/free_port.h"
#include "qrx/client/sym_connection.h"
#include "qrx/client/sym_listener.h"
#include "qrx/marketdata/sym_data.h"
#include "qrx/marketdata/sym_data_aux.h"
#include "qrx/proxy/sym_proxy.h"
#include "qrx/wire/msg_hdr.h"
#include "qrx/wire/net_stream.h"
#include "qrx/wire/sym_msgs.h"
#include "quote_bench_util.h"

namespace {

constexpr int kTopics = 1000;
constexpr int kBatch = 100;
constexpr long kWarmUpUpdates = 20000;  // every topic cached, every buffer at its size
constexpr int kBoundMs = 20000;         // bound of every wait for the other side
constexpr double kPercentiles[] = {50, 75, 90, 95, 99, 99.5, 99.9};
long g_nWriteDelayUs = 20;  // --write-delay: the qrx_per_tick_delay case's coalescing delay

// ---- options ----

struct Options {
    int nReps = 5;
    double dblSeconds = 0.5;         // measured time of a flat-out run
    double dblLatencySeconds = 1.0;  // measured time of a paced run
    double dblRate = 10000;          // updates per second of the paced runs
    bool bLatency = true;
    bool bListener = false;             // the qrx subscriber dispatches to a CSymListener
    std::vector<std::string> vecCases;  // empty: all
    std::string strJson;
};

void Usage() {
    printf(
        "usage: zmq_peer_bench [--reps N] [--seconds S] [--latency-seconds S] [--rate R]\n"
        "                      [--no-latency] [--listener] [--cases a,b,...]\n"
        "                      [--write-delay US] [--json FILE]\n"
        "  --reps N             repetitions, medians over them (default 5)\n"
        "  --seconds S          measured seconds of each flat-out run (default 0.5)\n"
        "  --latency-seconds S  measured seconds of each paced run (default 1.0)\n"
        "  --rate R             updates per second of the paced runs (default 10000)\n"
        "  --no-latency         no paced runs\n"
        "  --listener           the qrx subscriber is the library's client path (a\n"
        "                       CSymListener fed by CSymConnection::DispatchEvents) rather\n"
        "                       than the bare decoder the raw TCP and ZeroMQ subscribers use\n"
        "  --cases LIST         only these cases (see below)\n"
        "  --write-delay US     the proxy's write delay in qrx_per_tick_delay (default 20)\n"
        "  --json FILE          writes every figure to FILE\n"
        "cases: qrx_batched qrx_per_tick qrx_per_tick_delay zmq_struct_100 zmq_struct_1 "
        "zmq_encoded_100\n"
        "       zmq_encoded_1 tcp_floor_100 tcp_floor_1\n"
        "The proxy's sockets follow the QUOR_ environment; unless set, QUOR_DISABLE_NAGLE=YES\n"
        "(ZeroMQ and the floor disable Nagle too), QUOR_TCP_BUFFER_SIZE=0 (the kernel sizes the\n"
        "buffers, as it does for ZeroMQ and the floor) and QUOR_SYMBIND=127.0.0.1.\n");
}

bool ParseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&](const char*& v) {
            if (i + 1 >= argc) {
                fprintf(stderr, "zmq_peer_bench: %s needs a value\n", a.c_str());
                return false;
            }
            v = argv[++i];
            return true;
        };
        const char* v = nullptr;
        if (a == "--help" || a == "-h") {
            Usage();
            exit(0);
        } else if (a == "--no-latency") {
            o.bLatency = false;
        } else if (a == "--listener") {
            o.bListener = true;
        } else if (a == "--reps" && next(v)) {
            o.nReps = atoi(v);
        } else if (a == "--seconds" && next(v)) {
            o.dblSeconds = atof(v);
        } else if (a == "--latency-seconds" && next(v)) {
            o.dblLatencySeconds = atof(v);
        } else if (a == "--rate" && next(v)) {
            o.dblRate = atof(v);
        } else if (a == "--write-delay" && next(v)) {
            g_nWriteDelayUs = atol(v);
        } else if (a == "--json" && next(v)) {
            o.strJson = v;
        } else if (a == "--cases" && next(v)) {
            std::string s = v;
            size_t p = 0;
            while (p <= s.size()) {
                const size_t q = std::min(s.find(',', p), s.size());
                if (q > p) {
                    o.vecCases.push_back(s.substr(p, q - p));
                }
                p = q + 1;
            }
        } else {
            if (v == nullptr) {
                fprintf(stderr, "zmq_peer_bench: unknown or incomplete option %s\n", a.c_str());
            }
            return false;
        }
    }
    if (o.nReps < 1 || o.dblSeconds <= 0 || o.dblLatencySeconds <= 0 || o.dblRate <= 0) {
        fprintf(stderr, "zmq_peer_bench: counts, times and rates must be positive\n");
        return false;
    }
    return true;
}

// ---- the record ----

const std::vector<std::string>& Topics() {
    static const std::vector<std::string> topics = [] {
        std::vector<std::string> v;
        char sz[16];
        for (int i = 0; i < kTopics; ++i) {
            snprintf(sz, sizeof sz, "Q%04d.L", i);
            v.push_back(sz);
        }
        return v;
    }();
    return topics;
}

// Nanoseconds of the monotonic clock since the program started: the send time the records
// carry, exact in a double.
int64_t g_nEpochNs = 0;
inline int64_t MonoNs() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}
inline double StampNs() {
    return static_cast<double>(MonoNs() - g_nEpochNs);
}

// The 22 numbers of the quote record for tick seq, the volume carrying the send time; the tick's
// symbol and topic make 24.
template <class Set>
void FillQuote(Set&& set, int seq, double stamp) {
    qrxbench::FillQuote(
        [&](int flid, auto v) {
            if constexpr (std::is_same<decltype(v), double>::value) {
                set(flid, flid == CSymData::flid_volume ? stamp : v);
            } else {
                set(flid, v);
            }
        },
        100.0 + (seq % 400) * 0.25, seq, seq % 100, seq % 1000);
}

// The same 24 values as a plain C struct, filled member by member. The topic comes first:
// ZeroMQ matches subscriptions on a message's leading bytes.
struct QuoteStruct {
    char szTopic[16];
    char szSymbol[16];
    double dblBid, dblAsk, dblLast, dblVolume;
    double dblBid2, dblBid3, dblBid4, dblBid5, dblAsk2, dblAsk3, dblAsk4, dblAsk5;
    int32_t nBidSize, nAskSize, nBidSize2, nBidSize3, nBidSize4;
    int32_t nAskSize2, nAskSize3, nAskSize4, nUpdateTime, nTradeTime;
};

void FillStruct(QuoteStruct& q, const std::string& topic, int seq, double stamp) {
    memset(q.szTopic, 0, sizeof q.szTopic + sizeof q.szSymbol);
    memcpy(q.szTopic, topic.data(), std::min(topic.size(), sizeof q.szTopic - 1));
    memcpy(q.szSymbol, q.szTopic, sizeof q.szSymbol);
    const double px = 100.0 + (seq % 400) * 0.25;
    q.dblBid = px;
    q.dblAsk = px + 0.25;
    q.dblLast = px + 0.125;
    q.dblVolume = stamp;
    q.dblBid2 = px - 0.25;
    q.dblBid3 = px - 0.5;
    q.dblBid4 = px - 0.75;
    q.dblBid5 = px - 1.0;
    q.dblAsk2 = px + 0.5;
    q.dblAsk3 = px + 0.75;
    q.dblAsk4 = px + 1.0;
    q.dblAsk5 = px + 1.25;
    q.nBidSize = 500 + seq % 100;
    q.nAskSize = 700 + seq % 100;
    q.nBidSize2 = 1200;
    q.nBidSize3 = 2500;
    q.nBidSize4 = 4000;
    q.nAskSize2 = 900;
    q.nAskSize3 = 3100;
    q.nAskSize4 = 5200;
    q.nUpdateTime = 34215123 + seq % 1000;
    q.nTradeTime = 34215007 + seq % 1000;
}

// ---- the subscriber's account ----

// Wall time, and CPU time of the calling thread and of the whole process, in seconds.
struct Mark {
    double wall = 0;
    double cpu = 0;
    double proc = 0;
    static Mark Now() {
        Mark m;
        m.cpu = qrxbench::ThreadCpuSeconds();
        timespec c;
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &c);
        m.proc = c.tv_sec + c.tv_nsec * 1e-9;
        m.wall = qrxbench::WallSeconds();
        return m;
    }
};

// Counts the updates the subscriber decoded, marks the first measured one (after the warm-up)
// and the last one the publisher announced, and keeps the latency of the measured ones.
class Tally {
public:
    Tally(bool bLatency, size_t nExpected) : m_bLatency(bLatency) {
        if (bLatency) {
            m_vecLatencyNs.reserve(nExpected);
        }
    }

    void Update(double stamp) {
        const long n = m_nDecoded.load(std::memory_order_relaxed) + 1;
        m_nDecoded.store(n, std::memory_order_release);
        if (n <= kWarmUpUpdates) {
            return;
        }
        if (n == kWarmUpUpdates + 1) {
            m_Start = Mark::Now();
        }
        if (m_bLatency) {
            m_vecLatencyNs.push_back(StampNs() - stamp);
        }
        if (n >= m_nTarget.load(std::memory_order_acquire)) {
            m_End = Mark::Now();
            m_bDone.store(true, std::memory_order_release);
        }
    }
    void Fail(const char* why) {
        m_strError = why;
        m_bFailed.store(true, std::memory_order_release);
    }

    long Decoded() const { return m_nDecoded.load(std::memory_order_acquire); }
    bool Done() const { return m_bDone.load(std::memory_order_acquire); }
    bool Failed() const { return m_bFailed.load(std::memory_order_acquire); }
    // The publisher announces the total before it sends the last updates.
    void SetTarget(long n) { m_nTarget.store(n, std::memory_order_release); }

    // Read once the subscriber has stopped.
    const Mark& Start() const { return m_Start; }
    const Mark& End() const { return m_End; }
    std::vector<double>& LatencyNs() { return m_vecLatencyNs; }
    const std::string& Error() const { return m_strError; }

private:
    const bool m_bLatency;
    std::atomic<long> m_nDecoded{0};
    std::atomic<long> m_nTarget{LONG_MAX};
    std::atomic<bool> m_bDone{false};
    std::atomic<bool> m_bFailed{false};
    Mark m_Start;
    Mark m_End;
    std::vector<double> m_vecLatencyNs;
    std::string m_strError;
};

// Decodes the record bodies lying back to back in [p, p + n) into one reused record and tells
// the tally of each; false on a body that does not decode or lacks the send time.
bool DecodeBodies(const char* p, size_t n, CSymData& rec, CNetStream& in, Tally& tally) {
    in.Attach(const_cast<char*>(p), static_cast<int>(n), false);
    while (in.GetRemaining() > 0) {
        rec.clear();
        double stamp = 0;
        if (!CSymDataAux::SerializeSymIn(rec, in) ||
            !rec.GetFlidDouble(CSymData::flid_volume, stamp)) {
            return false;
        }
        tally.Update(stamp);
    }
    return true;
}

// The subscriber of the Sym stream (qrx and raw TCP): reads the socket, frames the messages of
// the stream form and decodes the bodies of the update messages; other messages (the logon's
// answer) are passed over.
void ReadSymStream(int fd, Tally& tally, const std::atomic<bool>& stop) {
    std::vector<char> buf(1 << 18);
    size_t have = 0;
    CSymData rec;
    CNetStream in(nullptr, 0, false);
    auto lastProgress = std::chrono::steady_clock::now();
    while (!tally.Done() && !stop.load(std::memory_order_acquire)) {
        const ssize_t n = read(fd, buf.data() + have, buf.size() - have);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (std::chrono::steady_clock::now() - lastProgress >
                std::chrono::milliseconds(kBoundMs)) {
                tally.Fail("the subscriber waited too long");
                return;
            }
            pollfd p{fd, POLLIN, 0};
            poll(&p, 1, 50);
            continue;
        }
        if (n <= 0) {
            tally.Fail("the connection closed");
            return;
        }
        lastProgress = std::chrono::steady_clock::now();
        have += static_cast<size_t>(n);
        size_t off = 0;
        while (have - off >= 8) {
            const unsigned char* m = reinterpret_cast<const unsigned char*>(buf.data() + off);
            const size_t len = (m[0] << 8) | m[1];
            if (len < 8) {
                tally.Fail("not a message stream");
                return;
            }
            if (have - off < len) {
                break;
            }
            const int mtyp = (m[4] << 8) | m[5];
            const int sub = (m[6] << 8) | m[7];
            if (mtyp == CM_SYM_DATA && sub == SYM_DATA_UPDATE) {
                const size_t textLen = len >= 10 ? ((m[8] << 8) | m[9]) : 0;
                if (len < 10 || textLen > len - 10 ||
                    !DecodeBodies(buf.data() + off + 10, textLen, rec, in, tally)) {
                    tally.Fail("an update message did not decode");
                    return;
                }
            }
            off += len;
        }
        memmove(buf.data(), buf.data() + off, have - off);
        have -= off;
    }
}

// ---- the contenders ----

// One way of carrying the updates: Open connects a subscriber thread that reports to the tally,
// Send publishes n updates of consecutive topics from first, all stamped with one send time,
// Close stops and joins the subscriber.
class Contender {
public:
    virtual ~Contender() = default;
    virtual bool Open(Tally& tally) = 0;
    virtual bool Send(int first, int n, int seq, double stamp) = 0;
    // After the last send of a burst: whatever the sender keeps back goes out.
    virtual bool Finish() { return true; }
    virtual void Close() = 0;
    // After a run: why it went wrong, empty if it did not.
    virtual std::string Check() { return m_strError; }

protected:
    void StartSubscriber(std::function<void()> body) {
        m_bStop = false;
        m_thread = std::thread(std::move(body));
    }
    void StopSubscriber() {
        m_bStop = true;
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }
    std::atomic<bool> m_bStop{false};
    std::thread m_thread;
    std::string m_strError;
};

bool SetNonBlocking(int fd) {
    const int fl = fcntl(fd, F_GETFL, 0);
    return fl >= 0 && fcntl(fd, F_SETFL, fl | O_NONBLOCK) == 0;
}

// qrx: a CSymProxy in direct mode on a loopback TCP port, and a CSymConnection that logs on
// and subscribes every topic; the subscriber thread reads the client's socket.
class QrxContender : public Contender {
public:
    QrxContender(int nFlushEvery, bool bListener, long nWriteDelayUs = 0)
        : m_nFlushEvery(nFlushEvery), m_bListener(bListener) {
        if (nWriteDelayUs > 0) {
            m_proxy.SetWriteDelay(nWriteDelayUs);
        }
    }

    bool Finish() override {
        m_proxy.FlushHeld();
        return Drain();
    }

    bool Open(Tally& tally) override {
        const int port = FreeLoopbackPort();
        if (port <= 0 || !m_proxy.Initialize(port, false, true, true, false) ||
            !m_client.Connect("127.0.0.1", port, "bench", "bench") ||
            m_client.GetSocket() == nullptr) {
            m_strError = "the proxy did not listen or the client did not connect";
            return false;
        }
        std::vector<GrowingStr> topics;
        for (const std::string& t : Topics()) {
            topics.emplace_back(t.c_str());
        }
        if (!Pump([&] { return m_proxy.GetClientFd() >= 0; }) || !m_client.Subscribe(topics) ||
            !Pump([&] { return m_proxy.m_nSubscribed == kTopics; })) {
            m_strError = "the client did not log on and subscribe";
            return false;
        }
        const int fd = m_client.GetSocket()->GetFd();
        if (!SetNonBlocking(fd)) {
            m_strError = "the client's socket";
            return false;
        }
        if (m_bListener) {
            m_Listener.m_pTally = &tally;
            m_client.AddClient(&m_Listener);
            StartSubscriber([this, fd, &tally] { Dispatch(fd, tally); });
        } else {
            StartSubscriber([this, fd, &tally] { ReadSymStream(fd, tally, m_bStop); });
        }
        return true;
    }

    bool Send(int first, int n, int seq, double stamp) override {
        const std::vector<std::string>& topics = Topics();
        for (int i = 0; i < n; ++i) {
            const std::string& topic = topics[static_cast<size_t>(first + i)];
            HTICK tick = m_proxy.CreateTick(topic.data(), topic.size());
            FillQuote([&](int flid, auto v) { m_proxy.SetTickField(tick, flid, v); }, seq + i,
                      stamp);
            if (++m_nUnflushed >= m_nFlushEvery && !Flush()) {
                return false;
            }
        }
        return true;
    }

    void Close() override {
        StopSubscriber();
        m_client.Disconnect();
    }

    std::string Check() override {
        if (m_strError.empty() && m_proxy.GetCounters().nConflatedTicks != 0) {
            return "the proxy conflated updates";
        }
        return m_strError;
    }

private:
    class Proxy : public CSymProxy {
    public:
        void OnSubscribe(const char*) override { ++m_nSubscribed; }
        void OnUnsubscribe(const char*) override {}
        int m_nSubscribed = 0;
    };

    // The client's own path: every record the connection decodes reaches OnData.
    class Listener : public CSymListener {
    public:
        using CSymListener::OnData;
        void OnData(const char* topic, const CSymData* data) override {
            double stamp = 0;
            if (topic == nullptr || !GetDouble(data, CSymData::flid_volume, stamp)) {
                m_pTally->Fail("a record without its send time");
                return;
            }
            m_pTally->Update(stamp);
        }
        Tally* m_pTally = nullptr;
    };

    // The subscriber thread of the listener mode: dispatches what has arrived, else waits for
    // the socket.
    void Dispatch(int fd, Tally& tally) {
        auto lastProgress = std::chrono::steady_clock::now();
        while (!tally.Done() && !tally.Failed() && !m_bStop.load(std::memory_order_acquire)) {
            const int n = m_client.DispatchEvents();
            if (n < 0) {
                tally.Fail("the connection closed");
                return;
            }
            if (n > 0) {
                lastProgress = std::chrono::steady_clock::now();
                continue;
            }
            if (std::chrono::steady_clock::now() - lastProgress >
                std::chrono::milliseconds(kBoundMs)) {
                tally.Fail("the subscriber waited too long");
                return;
            }
            pollfd p{fd, POLLIN, 0};
            poll(&p, 1, 50);
        }
    }

    // Serves the proxy's sockets (accept, logon, requests) until done() holds; bounded.
    template <class Done>
    bool Pump(Done done) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundMs);
        while (!done()) {
            if (std::chrono::steady_clock::now() > end || m_proxy.GetFd() < 0) {
                return false;
            }
            fd_set readF;
            FD_ZERO(&readF);
            FD_SET(m_proxy.GetFd(), &readF);
            timeval tv = {0, 20000};
            if (select(m_proxy.GetFd() + 1, &readF, nullptr, nullptr, &tv) <= 0) {
                FD_ZERO(&readF);
            }
            m_proxy.CheckSocket(readF);
        }
        return true;
    }

    // Flushes, then keeps up with the client as a feed handler's loop would: what the socket did
    // not take is written once it is writable, before the next ticks are made.
    bool Flush() {
        m_nUnflushed = 0;
        int nSent = 0;
        if (!m_proxy.Flush(false, &nSent)) {
            m_strError = "a flush failed";
            return false;
        }
        // Output the write delay keeps back is no reason to wait: it leaves with a later flush.
        if (!m_proxy.WantsWrite() || m_proxy.HoldsOutput()) {
            return m_proxy.GetClientFd() >= 0;
        }
        return Drain();
    }

    // Writes everything that waits, waiting for the socket as a feed handler's loop would.
    bool Drain() {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundMs);
        while (m_proxy.WantsWrite()) {
            const int fd = m_proxy.GetClientFd();
            if (fd < 0 || std::chrono::steady_clock::now() > end) {
                m_strError = "the client was lost or stopped reading";
                return false;
            }
            pollfd p{fd, POLLOUT, 0};
            poll(&p, 1, 100);
            m_proxy.WriteMsgs(nullptr, 0);
        }
        return true;
    }

    const int m_nFlushEvery;
    const bool m_bListener;
    int m_nUnflushed = 0;
    Proxy m_proxy;
    CSymConnection m_client{nullptr};
    Listener m_Listener;
};

// ZeroMQ: an XPUB socket that drops nothing (ZMQ_XPUB_NODROP: a send past the high-water mark
// waits) and a SUB socket subscribed to every topic, each with a context of its own (one I/O
// thread each, as two processes would have). A message is the records of one send: plain structs
// back to back, or an 8-byte topic prefix and qrx's encoded bodies.
class ZmqContender : public Contender {
public:
    ZmqContender(int nPerMsg, bool bEncoded) : m_nPerMsg(nPerMsg), m_bEncoded(bEncoded) {}
    ~ZmqContender() override { Release(); }

    bool Open(Tally& tally) override {
        m_pPubCtx = zmq_ctx_new();
        m_pSubCtx = zmq_ctx_new();
        if (m_pPubCtx == nullptr || m_pSubCtx == nullptr) {
            return Fail("zmq_ctx_new");
        }
        m_pPub = zmq_socket(m_pPubCtx, ZMQ_XPUB);
        m_pSub = zmq_socket(m_pSubCtx, ZMQ_SUB);
        if (m_pPub == nullptr || m_pSub == nullptr) {
            return Fail("zmq_socket");
        }
        // High-water marks of about 8 MB of messages on each side.
        const size_t msgBytes =
            m_bEncoded ? 8 + 200 * static_cast<size_t>(m_nPerMsg) : sizeof(QuoteStruct) * m_nPerMsg;
        const int hwm = static_cast<int>(std::max<size_t>(64, (8u << 20) / msgBytes));
        const int one = 1;
        const int zero = 0;
        const int bound = kBoundMs;
        const int tick = 100;
        if (zmq_setsockopt(m_pPub, ZMQ_XPUB_NODROP, &one, sizeof one) != 0 ||
            zmq_setsockopt(m_pPub, ZMQ_SNDHWM, &hwm, sizeof hwm) != 0 ||
            zmq_setsockopt(m_pPub, ZMQ_SNDTIMEO, &bound, sizeof bound) != 0 ||
            zmq_setsockopt(m_pPub, ZMQ_RCVTIMEO, &bound, sizeof bound) != 0 ||
            zmq_setsockopt(m_pPub, ZMQ_LINGER, &zero, sizeof zero) != 0 ||
            zmq_setsockopt(m_pSub, ZMQ_RCVHWM, &hwm, sizeof hwm) != 0 ||
            zmq_setsockopt(m_pSub, ZMQ_RCVTIMEO, &tick, sizeof tick) != 0 ||
            zmq_setsockopt(m_pSub, ZMQ_LINGER, &zero, sizeof zero) != 0) {
            return Fail("zmq_setsockopt");
        }
        char endpoint[256];
        size_t endpointLen = sizeof endpoint;
        if (zmq_bind(m_pPub, "tcp://127.0.0.1:*") != 0 ||
            zmq_getsockopt(m_pPub, ZMQ_LAST_ENDPOINT, endpoint, &endpointLen) != 0 ||
            zmq_connect(m_pSub, endpoint) != 0) {
            return Fail("zmq_bind or zmq_connect");
        }
        for (const std::string& t : Topics()) {
            if (zmq_setsockopt(m_pSub, ZMQ_SUBSCRIBE, t.data(), t.size()) != 0) {
                return Fail("ZMQ_SUBSCRIBE");
            }
        }
        // The publisher sees every subscription arrive before it sends: none is lost to a late
        // join.
        char sub[64];
        for (int i = 0; i < kTopics; ++i) {
            if (zmq_recv(m_pPub, sub, sizeof sub, 0) < 1 || sub[0] != 1) {
                return Fail("the subscriptions did not arrive");
            }
        }
        StartSubscriber([this, &tally] { Receive(tally); });
        return true;
    }

    bool Send(int first, int n, int seq, double stamp) override {
        const std::vector<std::string>& topics = Topics();
        for (int i = 0; i < n; i += m_nPerMsg) {
            const int count = std::min(m_nPerMsg, n - i);
            const char* p = nullptr;
            size_t len = 0;
            if (m_bEncoded) {
                m_Out.SeekBegin();
                char* prefix = m_Out.PrepareAppend(8);
                const std::string& t = topics[static_cast<size_t>(first + i)];
                memset(prefix, 0, 8);
                memcpy(prefix, t.data(), std::min<size_t>(t.size(), 7));
                m_Out.CommitAppend(8);
                for (int k = i; k < i + count; ++k) {
                    m_Rec.SetFlidString(CSymData::flid_symbol, TopicStr(first + k));
                    m_Rec.SetFlidString(CSymData::flid_topic, TopicStr(first + k));
                    FillQuote(qrxbench::RecordSetter{m_Rec}, seq + k, stamp);
                    if (!CSymDataAux::SerializeSymOut(m_Rec, m_Out)) {
                        m_strError = "a record did not encode";
                        return false;
                    }
                }
                char* buf = nullptr;
                int nLen = 0;
                m_Out.GetBuf(buf, nLen);
                p = buf;
                len = static_cast<size_t>(nLen);
            } else {
                m_vecStructs.resize(static_cast<size_t>(count));
                for (int k = 0; k < count; ++k) {
                    FillStruct(m_vecStructs[static_cast<size_t>(k)],
                               topics[static_cast<size_t>(first + i + k)], seq + i + k, stamp);
                }
                p = reinterpret_cast<const char*>(m_vecStructs.data());
                len = sizeof(QuoteStruct) * static_cast<size_t>(count);
            }
            if (zmq_send(m_pPub, p, len, 0) != static_cast<int>(len)) {
                m_strError = std::string("zmq_send: ") + zmq_strerror(zmq_errno());
                return false;
            }
        }
        return true;
    }

    void Close() override {
        StopSubscriber();
        Release();
    }

private:
    bool Fail(const char* what) {
        m_strError = std::string(what) + ": " + zmq_strerror(zmq_errno());
        return false;
    }

    const GrowingStr& TopicStr(int i) {
        if (m_vecTopicStrs.empty()) {
            for (const std::string& t : Topics()) {
                m_vecTopicStrs.emplace_back(t.c_str());
            }
        }
        return m_vecTopicStrs[static_cast<size_t>(i)];
    }

    void Receive(Tally& tally) {
        zmq_msg_t msg;
        zmq_msg_init(&msg);
        CSymData rec;
        CNetStream in(nullptr, 0, false);
        auto lastProgress = std::chrono::steady_clock::now();
        while (!tally.Done() && !m_bStop.load(std::memory_order_acquire)) {
            if (zmq_msg_recv(&msg, m_pSub, 0) < 0) {
                if (zmq_errno() != EAGAIN && zmq_errno() != EINTR) {
                    tally.Fail("zmq_msg_recv failed");
                    break;
                }
                if (std::chrono::steady_clock::now() - lastProgress >
                    std::chrono::milliseconds(kBoundMs)) {
                    tally.Fail("the subscriber waited too long");
                    break;
                }
                continue;
            }
            lastProgress = std::chrono::steady_clock::now();
            const char* p = static_cast<const char*>(zmq_msg_data(&msg));
            const size_t len = zmq_msg_size(&msg);
            if (m_bEncoded) {
                if (len < 8 || !DecodeBodies(p + 8, len - 8, rec, in, tally)) {
                    tally.Fail("a message did not decode");
                    break;
                }
            } else {
                if (len % sizeof(QuoteStruct) != 0) {
                    tally.Fail("a message is not a run of structs");
                    break;
                }
                for (size_t off = 0; off < len; off += sizeof(QuoteStruct)) {
                    QuoteStruct q;
                    memcpy(&q, p + off, sizeof q);
                    if (q.szTopic[0] != 'Q') {
                        tally.Fail("a struct of another topic");
                        break;
                    }
                    tally.Update(q.dblVolume);
                }
                if (tally.Failed()) {
                    break;
                }
            }
        }
        zmq_msg_close(&msg);
    }

    void Release() {
        if (m_pPub != nullptr) {
            zmq_close(m_pPub);
            m_pPub = nullptr;
        }
        if (m_pSub != nullptr) {
            zmq_close(m_pSub);
            m_pSub = nullptr;
        }
        if (m_pPubCtx != nullptr) {
            zmq_ctx_term(m_pPubCtx);
            m_pPubCtx = nullptr;
        }
        if (m_pSubCtx != nullptr) {
            zmq_ctx_term(m_pSubCtx);
            m_pSubCtx = nullptr;
        }
    }

    const int m_nPerMsg;
    const bool m_bEncoded;
    void* m_pPubCtx = nullptr;
    void* m_pSubCtx = nullptr;
    void* m_pPub = nullptr;
    void* m_pSub = nullptr;
    CSymData m_Rec;
    CNetStream m_Out{true, 65536, 65536};
    std::vector<QuoteStruct> m_vecStructs;
    std::vector<GrowingStr> m_vecTopicStrs;
};

// Raw TCP, the floor: the records encoded into update messages of the Sym stream form, cut as
// the proxy cuts them, and written with one blocking write per send (100 records or one).
class TcpContender : public Contender {
public:
    ~TcpContender() override { Release(); }

    bool Open(Tally& tally) override {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        const int one = 1;
        m_fdListen = socket(AF_INET, SOCK_STREAM, 0);
        if (m_fdListen < 0 || bind(m_fdListen, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            listen(m_fdListen, 1) != 0 ||
            getsockname(m_fdListen, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
            m_strError = std::string("listen: ") + strerror(errno);
            return false;
        }
        m_fdSub = socket(AF_INET, SOCK_STREAM, 0);
        if (m_fdSub < 0 || connect(m_fdSub, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            (m_fdPub = accept(m_fdListen, nullptr, nullptr)) < 0 ||
            setsockopt(m_fdPub, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0 ||
            setsockopt(m_fdSub, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0 ||
            !SetNonBlocking(m_fdSub)) {
            m_strError = std::string("connect: ") + strerror(errno);
            return false;
        }
        for (const std::string& t : Topics()) {
            m_vecTopicStrs.emplace_back(t.c_str());
        }
        const int fd = m_fdSub;
        StartSubscriber([this, fd, &tally] { ReadSymStream(fd, tally, m_bStop); });
        return true;
    }

    bool Send(int first, int n, int seq, double stamp) override {
        m_Out.SeekBegin();
        int msgStart = -1;
        int inMsg = 0;
        for (int k = 0; k < n; ++k) {
            if (msgStart < 0) {
                msgStart = m_Out.GetLength();
                for (int h = 0; h < 5; ++h) {
                    m_Out.Append(static_cast<unsigned short>(0));  // header, set when cut
                }
                inMsg = 0;
            }
            const GrowingStr& topic = m_vecTopicStrs[static_cast<size_t>(first + k)];
            m_Rec.SetFlidString(CSymData::flid_symbol, topic);
            m_Rec.SetFlidString(CSymData::flid_topic, topic);
            FillQuote(qrxbench::RecordSetter{m_Rec}, seq + k, stamp);
            if (!CSymDataAux::SerializeSymOut(m_Rec, m_Out)) {
                m_strError = "a record did not encode";
                return false;
            }
            ++inMsg;
            const int body = m_Out.GetLength() - msgStart - 10;
            if (body > CSymProxy::kCutAfterBytes || inMsg == CSymProxy::kMaxRecordsPerMsg ||
                k == n - 1) {
                char* buf = nullptr;
                int nLen = 0;
                m_Out.GetBuf(buf, nLen);
                unsigned char* h = reinterpret_cast<unsigned char*>(buf + msgStart);
                const unsigned fields[5] = {
                    static_cast<unsigned>(body + 10), static_cast<unsigned>(MsgHdrSym::HDR_TYPE),
                    static_cast<unsigned>(CM_SYM_DATA), static_cast<unsigned>(SYM_DATA_UPDATE),
                    static_cast<unsigned>(body)};
                for (int f = 0; f < 5; ++f) {
                    h[2 * f] = static_cast<unsigned char>(fields[f] >> 8);
                    h[2 * f + 1] = static_cast<unsigned char>(fields[f]);
                }
                msgStart = -1;
            }
        }
        char* buf = nullptr;
        int nLen = 0;
        m_Out.GetBuf(buf, nLen);
        size_t off = 0;
        while (off < static_cast<size_t>(nLen)) {
            const ssize_t w =
                send(m_fdPub, buf + off, static_cast<size_t>(nLen) - off, MSG_NOSIGNAL);
            if (w < 0 && errno == EINTR) {
                continue;
            }
            if (w <= 0) {
                m_strError = std::string("write: ") + strerror(errno);
                return false;
            }
            off += static_cast<size_t>(w);
        }
        return true;
    }

    void Close() override {
        StopSubscriber();
        Release();
    }

private:
    void Release() {
        for (int* fd : {&m_fdPub, &m_fdSub, &m_fdListen}) {
            if (*fd >= 0) {
                close(*fd);
                *fd = -1;
            }
        }
    }

    int m_fdListen = -1;
    int m_fdPub = -1;
    int m_fdSub = -1;
    CSymData m_Rec;
    CNetStream m_Out{true, 65536, 65536};
    std::vector<GrowingStr> m_vecTopicStrs;
};

// ---- the cases and their runs ----

bool g_bListener = false;  // --listener

struct CaseDef {
    const char* szName;
    const char* szLabel;
    int nPerSend;  // updates made and sent at once (a flush, a message, a write)
    std::function<std::unique_ptr<Contender>()> make;
};

const std::vector<CaseDef>& Cases() {
    static const std::vector<CaseDef> cases = {
        {"qrx_batched", "qrx, flush every 100", kBatch,
         [] { return std::unique_ptr<Contender>(new QrxContender(kBatch, g_bListener)); }},
        {"qrx_per_tick", "qrx, flush every tick", 1,
         [] { return std::unique_ptr<Contender>(new QrxContender(1, g_bListener)); }},
        {"qrx_per_tick_delay", "qrx, flush every tick, write delay", 1,
         [] {
             return std::unique_ptr<Contender>(new QrxContender(1, g_bListener, g_nWriteDelayUs));
         }},
        {"zmq_struct_100", "ZeroMQ, 100 structs a message", kBatch,
         [] { return std::unique_ptr<Contender>(new ZmqContender(kBatch, false)); }},
        {"zmq_struct_1", "ZeroMQ, 1 struct a message", 1,
         [] { return std::unique_ptr<Contender>(new ZmqContender(1, false)); }},
        {"zmq_encoded_100", "ZeroMQ, 100 qrx records a message", kBatch,
         [] { return std::unique_ptr<Contender>(new ZmqContender(kBatch, true)); }},
        {"zmq_encoded_1", "ZeroMQ, 1 qrx record a message", 1,
         [] { return std::unique_ptr<Contender>(new ZmqContender(1, true)); }},
        {"tcp_floor_100", "raw TCP floor, a write every 100", kBatch,
         [] { return std::unique_ptr<Contender>(new TcpContender()); }},
        {"tcp_floor_1", "raw TCP floor, a write every record", 1,
         [] { return std::unique_ptr<Contender>(new TcpContender()); }},
    };
    return cases;
}

// What one run measured.
struct RunResult {
    std::string strError;   // empty when the run went through
    double rate = 0;        // updates per second of wall time decoded at the subscriber
    double pubCpuNs = 0;    // CPU time per update: the publishing thread,
    double subCpuNs = 0;    // the subscribing thread,
    double otherCpuNs = 0;  // and the rest of the process (ZeroMQ's I/O threads)
    long nUpdates = 0;
    std::vector<double> vecPctUs;  // latency at kPercentiles, microseconds (paced runs)
    double maxUs = 0;
};

void SleepUntilNs(int64_t t) {
    timespec ts;
    ts.tv_sec = static_cast<time_t>(t / 1000000000);
    ts.tv_nsec = static_cast<long>(t % 1000000000);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

// One run of a case: warm-up flat out until the subscriber has decoded it, then the measured
// updates, flat out or paced; the publisher is the calling thread.
RunResult RunOnce(const CaseDef& def, const Options& o, bool paced) {
    RunResult r;
    const double seconds = paced ? o.dblLatencySeconds : o.dblSeconds;
    Tally tally(paced, static_cast<size_t>(o.dblRate * seconds * 1.2) + 1024);
    std::unique_ptr<Contender> c = def.make();
    const int per = def.nPerSend;
    long sent = 0;
    auto send = [&](double stamp) {
        const int first = static_cast<int>((sent / per) % (kTopics / per)) * per;
        const bool ok = c->Send(first, per, static_cast<int>(sent % 100000), stamp);
        sent += per;
        return ok;
    };
    auto finish = [&](const char* why) {
        c->Close();
        const std::string err = c->Check();
        r.strError = !err.empty() ? err : tally.Failed() ? tally.Error() : why ? why : "";
        return r;
    };
    if (!c->Open(tally)) {
        return finish("could not connect");
    }
    while (sent < kWarmUpUpdates) {
        if (!send(StampNs())) {
            return finish("a send failed");
        }
    }
    if (!c->Finish()) {
        return finish("a send failed");
    }
    const auto bound = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundMs);
    while (tally.Decoded() < kWarmUpUpdates) {
        if (tally.Failed() || std::chrono::steady_clock::now() > bound) {
            return finish("the warm-up did not arrive");
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    const int64_t intervalNs = static_cast<int64_t>(1e9 * per / o.dblRate);
    const Mark pubStart = Mark::Now();
    const int64_t startNs = MonoNs();
    const int64_t endNs = startNs + static_cast<int64_t>(seconds * 1e9);
    int64_t nextNs = startNs;
    for (;;) {
        if (paced) {
            SleepUntilNs(nextNs);
            nextNs += intervalNs;
            const int64_t now = MonoNs();
            if (now - nextNs > 10 * intervalNs + 10000000) {
                nextNs = now;  // descheduled for long: no burst to catch up
            }
        }
        const int64_t now = MonoNs();
        const bool last = now >= endNs;
        if (last) {
            tally.SetTarget(sent + per);
        }
        if (!send(static_cast<double>(now - g_nEpochNs))) {
            return finish("a send failed");
        }
        if (last) {
            if (!c->Finish()) {
                return finish("a send failed");
            }
            break;
        }
    }
    const Mark pubEnd = Mark::Now();
    const auto bound2 = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundMs);
    while (!tally.Done()) {
        if (tally.Failed() || std::chrono::steady_clock::now() > bound2) {
            return finish("not every update arrived");
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    finish(nullptr);
    if (!r.strError.empty()) {
        return r;
    }
    const long measured = sent - kWarmUpUpdates;
    const Mark& s = tally.Start();
    const Mark& e = tally.End();
    r.nUpdates = measured;
    r.rate = e.wall > s.wall ? (measured - 1) / (e.wall - s.wall) : 0;
    r.pubCpuNs = 1e9 * (pubEnd.cpu - pubStart.cpu) / measured;
    r.subCpuNs = 1e9 * (e.cpu - s.cpu) / measured;
    r.otherCpuNs = std::max(
        0.0, 1e9 * ((e.proc - s.proc) - (e.cpu - s.cpu) - (pubEnd.cpu - pubStart.cpu)) / measured);
    std::vector<double>& lat = tally.LatencyNs();
    if (paced && !lat.empty()) {
        std::sort(lat.begin(), lat.end());
        for (double p : kPercentiles) {
            const size_t i = std::min(lat.size() - 1, static_cast<size_t>(p / 100 * lat.size()));
            r.vecPctUs.push_back(lat[i] / 1000);
        }
        r.maxUs = lat.back() / 1000;
    }
    return r;
}

// ---- summary ----

double Median(std::vector<double> v) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct CaseSummary {
    const CaseDef* pDef = nullptr;
    std::vector<RunResult> vecFlat;
    std::vector<RunResult> vecPaced;
    std::vector<std::string> vecErrors;
    double rate = 0, rateMin = 0, rateMax = 0, spread = 0;
    double pubCpuNs = 0, subCpuNs = 0, otherCpuNs = 0;
    std::vector<double> vecPctUs;  // medians over the paced runs
    double maxUs = 0;

    void Summarize() {
        std::vector<double> rates, pub, sub, other;
        for (const RunResult& x : vecFlat) {
            rates.push_back(x.rate);
            pub.push_back(x.pubCpuNs);
            sub.push_back(x.subCpuNs);
            other.push_back(x.otherCpuNs);
        }
        if (!rates.empty()) {
            rate = Median(rates);
            rateMin = *std::min_element(rates.begin(), rates.end());
            rateMax = *std::max_element(rates.begin(), rates.end());
            spread = rate > 0 ? (rateMax - rateMin) / rate : 0;
            pubCpuNs = Median(pub);
            subCpuNs = Median(sub);
            otherCpuNs = Median(other);
        }
        std::vector<double> maxes;
        for (size_t k = 0; !vecPaced.empty() && k < std::size(kPercentiles); ++k) {
            std::vector<double> v;
            for (const RunResult& x : vecPaced) {
                v.push_back(x.vecPctUs[k]);
            }
            vecPctUs.push_back(Median(v));
        }
        for (const RunResult& x : vecPaced) {
            maxes.push_back(x.maxUs);
        }
        maxUs = Median(maxes);
    }
    double Pct(double p) const {
        for (size_t k = 0; k < vecPctUs.size(); ++k) {
            if (kPercentiles[k] == p) {
                return vecPctUs[k];
            }
        }
        return 0;
    }
};

// A comparison printed and written: value against its bound, met or MISSED; informative ones
// have no bound.
struct Target {
    std::string strName;
    std::string strText;
    double value = 0;
    double bound = 0;
    bool bAtLeast = true;
    bool bTarget = true;
    bool bKnown = false;  // both sides were measured
    bool bRun = true;     // both cases were asked for (else not measured, and not missed)
    bool Met() const { return bKnown && (bAtLeast ? value >= bound : value < bound); }
};

std::string JsonEscape(const std::string& s) {
    std::string out;
    for (char ch : s) {
        if (ch == '"' || ch == '\\') {
            out += '\\';
            out += ch;
        } else if (static_cast<unsigned char>(ch) < 0x20) {
            out += ' ';
        } else {
            out += ch;
        }
    }
    return out;
}

std::string LoadAvg() {
    FILE* f = fopen("/proc/loadavg", "r");
    char line[128] = "";
    if (f != nullptr) {
        if (fgets(line, sizeof line, f) == nullptr) {
            line[0] = '\0';
        }
        fclose(f);
    }
    std::string s = line;
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) {
        s.pop_back();
    }
    return s;
}

bool WriteJson(const std::string& path, const Options& o, const std::vector<CaseSummary>& sums,
               const std::vector<Target>& targets, const std::string& loadBefore,
               const std::string& loadAfter, double wallSeconds) {
    std::error_code ec;
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    if (!parent.empty()) {
        std::filesystem::create_directories(parent, ec);
    }
    FILE* f = fopen(path.c_str(), "w");
    if (f == nullptr) {
        return false;
    }
    const time_t now = time(nullptr);
    char when[64];
    strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", gmtime(&now));
    const char* nagle = getenv("QUOR_DISABLE_NAGLE");
    const char* tcpBuf = getenv("QUOR_TCP_BUFFER_SIZE");
    fprintf(f, "{\n  \"program\": \"zmq_peer_bench\",\n  \"time\": \"%s\",\n", when);
    fprintf(f,
            "  \"settings\": {\"reps\": %d, \"seconds\": %g, \"latency_seconds\": %g, "
            "\"rate\": %g, \"topics\": %d, \"batch\": %d, \"warm_up_updates\": %ld, "
            "\"cpus\": %ld, \"qrx_subscriber\": \"%s\", \"QUOR_DISABLE_NAGLE\": \"%s\", "
            "\"QUOR_TCP_BUFFER_SIZE\": \"%s\"},\n",
            o.nReps, o.dblSeconds, o.dblLatencySeconds, o.dblRate, kTopics, kBatch, kWarmUpUpdates,
            sysconf(_SC_NPROCESSORS_ONLN), o.bListener ? "listener" : "decoder", nagle ? nagle : "",
            tcpBuf ? tcpBuf : "");
    fprintf(f, "  \"load_before\": \"%s\",\n  \"load_after\": \"%s\",\n  \"wall_seconds\": %.1f,\n",
            loadBefore.c_str(), loadAfter.c_str(), wallSeconds);
    fprintf(f, "  \"percentiles\": [");
    for (size_t k = 0; k < std::size(kPercentiles); ++k) {
        fprintf(f, "%s%g", k ? ", " : "", kPercentiles[k]);
    }
    fprintf(f, "],\n  \"cases\": [\n");
    for (size_t i = 0; i < sums.size(); ++i) {
        const CaseSummary& s = sums[i];
        fprintf(f, "    {\"name\": \"%s\", \"label\": \"%s\", \"per_send\": %d,\n", s.pDef->szName,
                s.pDef->szLabel, s.pDef->nPerSend);
        fprintf(
            f,
            "     \"rate\": %.1f, \"rate_min\": %.1f, \"rate_max\": %.1f, \"rate_spread\": %.4f,\n"
            "     \"pub_cpu_ns\": %.1f, \"sub_cpu_ns\": %.1f, \"other_cpu_ns\": %.1f,\n",
            s.rate, s.rateMin, s.rateMax, s.spread, s.pubCpuNs, s.subCpuNs, s.otherCpuNs);
        fprintf(f, "     \"rates\": [");
        for (size_t k = 0; k < s.vecFlat.size(); ++k) {
            fprintf(f, "%s%.1f", k ? ", " : "", s.vecFlat[k].rate);
        }
        fprintf(f, "],\n     \"runs\": [");  // every flat-out run: rate and CPU ns per update
        for (size_t k = 0; k < s.vecFlat.size(); ++k) {
            const RunResult& x = s.vecFlat[k];
            fprintf(f,
                    "%s{\"rate\": %.1f, \"pub_cpu_ns\": %.1f, \"sub_cpu_ns\": %.1f, "
                    "\"other_cpu_ns\": %.1f, \"updates\": %ld}",
                    k ? ", " : "", x.rate, x.pubCpuNs, x.subCpuNs, x.otherCpuNs, x.nUpdates);
        }
        fprintf(f, "],\n     \"latency_us\": [");
        for (size_t k = 0; k < s.vecPctUs.size(); ++k) {
            fprintf(f, "%s%.2f", k ? ", " : "", s.vecPctUs[k]);
        }
        fprintf(f, "],\n     \"latency_runs_us\": [");  // every paced run's percentiles
        for (size_t k = 0; k < s.vecPaced.size(); ++k) {
            fprintf(f, "%s[", k ? ", " : "");
            for (size_t j = 0; j < s.vecPaced[k].vecPctUs.size(); ++j) {
                fprintf(f, "%s%.2f", j ? ", " : "", s.vecPaced[k].vecPctUs[j]);
            }
            fprintf(f, "]");
        }
        fprintf(f, "], \"latency_max_us\": %.2f,\n     \"errors\": [", s.maxUs);
        for (size_t k = 0; k < s.vecErrors.size(); ++k) {
            fprintf(f, "%s\"%s\"", k ? ", " : "", JsonEscape(s.vecErrors[k]).c_str());
        }
        fprintf(f, "]}%s\n", i + 1 < sums.size() ? "," : "");
    }
    fprintf(f, "  ],\n  \"targets\": [\n");
    for (size_t i = 0; i < targets.size(); ++i) {
        const Target& t = targets[i];
        fprintf(f,
                "    {\"name\": \"%s\", \"text\": \"%s\", \"value\": %.4f, \"bound\": %g, "
                "\"at_least\": %s, \"target\": %s, \"run\": %s, \"measured\": %s, \"met\": %s}%s\n",
                t.strName.c_str(), JsonEscape(t.strText).c_str(), t.value, t.bound,
                t.bAtLeast ? "true" : "false", t.bTarget ? "true" : "false",
                t.bRun ? "true" : "false", t.bKnown ? "true" : "false", t.Met() ? "true" : "false",
                i + 1 < targets.size() ? "," : "");
    }
    fprintf(f, "  ]\n}\n");
    return fclose(f) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!ParseOptions(argc, argv, o)) {
        Usage();
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    // ZeroMQ and the floor send without Nagle; so does the proxy unless told otherwise.
    setenv("QUOR_DISABLE_NAGLE", "YES", 0);
    setenv("QUOR_TCP_BUFFER_SIZE", "0", 0);
    setenv("QUOR_SYMBIND", "127.0.0.1", 0);
    prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);  // paced sends wake on time
    g_bListener = o.bListener;
    g_nEpochNs = MonoNs();

    std::vector<CaseSummary> sums;
    for (const CaseDef& def : Cases()) {
        if (o.vecCases.empty() ||
            std::find(o.vecCases.begin(), o.vecCases.end(), def.szName) != o.vecCases.end()) {
            sums.emplace_back();
            sums.back().pDef = &def;
        }
    }
    if (sums.empty()) {
        fprintf(stderr, "zmq_peer_bench: no such case\n");
        Usage();
        return 2;
    }
    const std::string loadBefore = LoadAvg();
    const double t0 = qrxbench::WallSeconds();
    printf(
        "zmq_peer_bench: %d topics, 24-field quote record, %d repetitions, qrx subscriber: %s; "
        "load average %s\n",
        kTopics, o.nReps, o.bListener ? "CSymListener" : "bare decoder", loadBefore.c_str());
    // Repetitions outermost: a passing disturbance of the machine touches every case alike.
    for (int rep = 0; rep < o.nReps; ++rep) {
        for (CaseSummary& s : sums) {
            for (int mode = 0; mode < (o.bLatency ? 2 : 1); ++mode) {
                const bool paced = mode == 1;
                RunResult r = RunOnce(*s.pDef, o, paced);
                if (!r.strError.empty()) {
                    s.vecErrors.push_back(r.strError);
                    printf("  rep %d %-16s %s: FAILED: %s\n", rep + 1, s.pDef->szName,
                           paced ? "paced" : "flat ", r.strError.c_str());
                } else if (paced) {
                    printf("  rep %d %-16s paced: p50 %8.1f us  p99 %8.1f us  p99.9 %8.1f us\n",
                           rep + 1, s.pDef->szName, r.vecPctUs[0], r.vecPctUs[4], r.vecPctUs[6]);
                    s.vecPaced.push_back(std::move(r));
                } else {
                    printf(
                        "  rep %d %-16s flat : %10.0f updates/s  cpu ns/update pub %6.0f sub %6.0f "
                        "other %6.0f\n",
                        rep + 1, s.pDef->szName, r.rate, r.pubCpuNs, r.subCpuNs, r.otherCpuNs);
                    s.vecFlat.push_back(std::move(r));
                }
                fflush(stdout);
            }
        }
    }
    for (CaseSummary& s : sums) {
        s.Summarize();
    }
    const std::string loadAfter = LoadAvg();
    const double wall = qrxbench::WallSeconds() - t0;

    printf("\nMedians over %d repetitions (%g s flat out, %g s paced at %g updates/s each).\n",
           o.nReps, o.dblSeconds, o.dblLatencySeconds, o.dblRate);
    printf("%-16s %12s %7s  %-28s  %-37s\n", "", "updates/s", "spread",
           "CPU ns/update pub/sub/other", "latency us p50 / p90 / p99 / p99.9");
    for (const CaseSummary& s : sums) {
        if (s.vecFlat.empty() && s.vecPaced.empty()) {
            printf("%-16s not measured (%zu failures)\n", s.pDef->szName, s.vecErrors.size());
            continue;
        }
        printf("%-16s %12.0f %6.1f%%  %8.0f %8.0f %8.0f    ", s.pDef->szName, s.rate,
               100 * s.spread, s.pubCpuNs, s.subCpuNs, s.otherCpuNs);
        if (!s.vecPctUs.empty()) {
            printf("%8.1f %8.1f %8.1f %8.1f", s.Pct(50), s.Pct(90), s.Pct(99), s.Pct(99.9));
        }
        printf("%s\n", s.vecErrors.empty() ? "" : "  (some runs FAILED)");
    }

    auto find = [&](const char* name) -> const CaseSummary* {
        for (const CaseSummary& s : sums) {
            if (strcmp(s.pDef->szName, name) == 0) {
                return &s;
            }
        }
        return nullptr;
    };
    std::vector<Target> targets;
    auto rateRatio = [&](const char* id, const char* a, const char* b, double bound,
                         const char* text) {
        Target t;
        t.strName = id;
        t.strText = text;
        t.bound = bound;
        const CaseSummary* x = find(a);
        const CaseSummary* y = find(b);
        t.bRun = x != nullptr && y != nullptr;
        t.bKnown = t.bRun && x->rate > 0 && y->rate > 0;
        t.value = t.bKnown ? x->rate / y->rate : 0;
        targets.push_back(t);
    };
    rateRatio("batched_vs_zmq_struct_100", "qrx_batched", "zmq_struct_100", 1.0,
              "qrx batched / ZeroMQ 100 structs a message, updates/s");
    rateRatio("batched_vs_tcp_floor", "qrx_batched", "tcp_floor_100", 0.5,
              "qrx batched / raw TCP floor, updates/s");
    rateRatio("per_tick_vs_zmq_struct_1", "qrx_per_tick", "zmq_struct_1", 1.0,
              "qrx per tick / ZeroMQ 1 struct a message, updates/s");
    rateRatio("per_tick_delay_vs_zmq_struct_1", "qrx_per_tick_delay", "zmq_struct_1", 1.0,
              "qrx per tick, write delay / ZeroMQ 1 struct a message, updates/s");
    auto spread = [&](const char* id, const char* a, const char* text) {
        Target t;
        t.strName = id;
        t.strText = text;
        t.bound = 0.2;
        t.bAtLeast = false;
        const CaseSummary* x = find(a);
        t.bRun = x != nullptr && o.nReps >= 2;
        t.bKnown = t.bRun && x->vecFlat.size() >= 2;
        t.value = t.bKnown ? x->spread : 0;
        targets.push_back(t);
    };
    spread("per_tick_rate_spread", "qrx_per_tick",
           "qrx per tick, rate spread over repetitions, (max-min)/median");
    spread("per_tick_delay_rate_spread", "qrx_per_tick_delay",
           "qrx per tick, write delay, rate spread, (max-min)/median");
    // Reported beside the targets, without a bound of their own.
    auto info = [&](const char* id, const char* a, const char* b, double p, const char* text) {
        Target t;
        t.strName = id;
        t.strText = text;
        t.bTarget = false;
        const CaseSummary* x = find(a);
        const CaseSummary* y = find(b);
        if (p > 0) {
            t.bKnown = x != nullptr && y != nullptr && x->Pct(p) > 0 && y->Pct(p) > 0;
            t.value = t.bKnown ? x->Pct(p) / y->Pct(p) : 0;
        } else {
            t.bKnown = x != nullptr && y != nullptr && x->rate > 0 && y->rate > 0;
            t.value = t.bKnown ? x->rate / y->rate : 0;
        }
        targets.push_back(t);
    };
    info("batched_p50_vs_zmq_struct_100", "qrx_batched", "zmq_struct_100", 50,
         "latency p50, qrx batched / ZeroMQ 100 structs a message");
    info("batched_p99_vs_zmq_struct_100", "qrx_batched", "zmq_struct_100", 99,
         "latency p99, qrx batched / ZeroMQ 100 structs a message");
    info("per_tick_p50_vs_zmq_struct_1", "qrx_per_tick", "zmq_struct_1", 50,
         "latency p50, qrx per tick / ZeroMQ 1 struct a message");
    info("per_tick_p99_vs_zmq_struct_1", "qrx_per_tick", "zmq_struct_1", 99,
         "latency p99, qrx per tick / ZeroMQ 1 struct a message");
    info("per_tick_delay_p50_vs_zmq_struct_1", "qrx_per_tick_delay", "zmq_struct_1", 50,
         "latency p50, qrx per tick, write delay / ZeroMQ 1 struct a message");
    info("per_tick_delay_p99_vs_zmq_struct_1", "qrx_per_tick_delay", "zmq_struct_1", 99,
         "latency p99, qrx per tick, write delay / ZeroMQ 1 struct a message");
    info("batched_vs_zmq_encoded_100", "qrx_batched", "zmq_encoded_100", 0,
         "qrx batched / ZeroMQ 100 qrx records a message, updates/s");
    info("per_tick_vs_zmq_encoded_1", "qrx_per_tick", "zmq_encoded_1", 0,
         "qrx per tick / ZeroMQ 1 qrx record a message, updates/s");
    info("per_tick_vs_tcp_floor_1", "qrx_per_tick", "tcp_floor_1", 0,
         "qrx per tick / raw TCP floor, a write every record, updates/s");
    // What the wire itself costs in latency: qrx against the bare socket, and the bare socket
    // against ZeroMQ, which bounds what qrx's own ratio to ZeroMQ can be.
    info("per_tick_p50_vs_tcp_floor_1", "qrx_per_tick", "tcp_floor_1", 50,
         "latency p50, qrx per tick / raw TCP floor, a write every record");
    info("per_tick_p99_vs_tcp_floor_1", "qrx_per_tick", "tcp_floor_1", 99,
         "latency p99, qrx per tick / raw TCP floor, a write every record");
    info("tcp_floor_1_p50_vs_zmq_struct_1", "tcp_floor_1", "zmq_struct_1", 50,
         "latency p50, raw TCP floor / ZeroMQ 1 struct a message");
    info("tcp_floor_1_p99_vs_zmq_struct_1", "tcp_floor_1", "zmq_struct_1", 99,
         "latency p99, raw TCP floor / ZeroMQ 1 struct a message");

    printf("\nTargets (ratios of the medians):\n");
    bool all = true;
    for (const Target& t : targets) {
        if (!t.bKnown) {
            const bool missed = t.bTarget && t.bRun;  // asked for, but its runs failed
            printf("  %-66s not measured%s\n", t.strText.c_str(), missed ? "  MISSED" : "");
            all &= !missed;
            continue;
        }
        if (t.bTarget) {
            printf("  %-66s %7.3f  (target %s %.2f: %s)\n", t.strText.c_str(), t.value,
                   t.bAtLeast ? ">=" : "<", t.bound, t.Met() ? "met" : "MISSED");
            all &= t.Met();
        } else {
            printf("  %-66s %7.3f\n", t.strText.c_str(), t.value);
        }
    }
    printf("  targets: %s\n", all ? "all met" : "some MISSED");
    printf("  load average before %s, after %s; %.0f s in all\n", loadBefore.c_str(),
           loadAfter.c_str(), wall);
    if (!o.strJson.empty()) {
        if (!WriteJson(o.strJson, o, sums, targets, loadBefore, loadAfter, wall)) {
            fprintf(stderr, "zmq_peer_bench: cannot write %s\n", o.strJson.c_str());
            return 1;
        }
        printf("  figures written to %s\n", o.strJson.c_str());
    }
    bool failed = false;
    for (const CaseSummary& s : sums) {
        failed |= s.vecFlat.empty() && (!o.bLatency || s.vecPaced.empty());
    }
    return failed ? 1 : 0;
}
