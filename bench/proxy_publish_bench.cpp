// Publishing of quote ticks through a CSymProxy: a client on a local stream socket logs on
// and subscribes 1,000 topics, a thread of its own drains the connection, and the publishing
// thread creates and fills 100 ticks of the 24-field quote record (12 prices, 10 sizes and
// times, symbol and topic) round the topics and flushes them, again and again. Beside it, in
// the same run, the encoding alone of the same records (CSymDataAux::SerializeSymOut into a
// reused stream). Reports ticks per second of the publishing thread's CPU time and of wall
// time, heap allocations per tick on that thread, and the ratio of publishing to encoding.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/alloc_counter.h"
#include "qrx/client/sym_connection.h"
#include "qrx/marketdata/sym_data.h"
#include "qrx/marketdata/sym_data_aux.h"
#include "qrx/proxy/sym_proxy.h"
#include "qrx/wire/net_stream.h"
#include "qrx/wire/sym_msgs.h"
#include "quote_bench_util.h"

namespace {

constexpr int kTopics = 1000;
constexpr int kTicksPerFlush = 100;
constexpr int kWarmUpFlushes = 50;       // every topic cached and every pool at its size
constexpr int kMaxStallFlushes = 10000;  // flushes made without waiting to fill the socket
constexpr int kBoundMs = 20000;          // bound of every wait for the other side

// The 22 numbers of the quote record for tick seq; the tick's symbol and topic make 24.
template <class Set>
void FillQuote(Set&& set, int seq) {
    qrxbench::FillQuote(set, 100.0 + (seq % 400) * 0.25, seq, seq % 100, seq % 1000);
}

using qrxbench::RecordSetter;

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

// ---- the proxy and its client ----

class BenchProxy : public CSymProxy {
public:
    void OnSubscribe(const char*) override { ++m_nSubscribed; }
    void OnUnsubscribe(const char*) override {}
    int m_nSubscribed = 0;
};

// Reads the client's end of the connection and frames what arrives: counts the update
// messages and, while asked to, keeps their bodies.
class Drain {
public:
    void Start(int fd) {
        m_fd = fd;
        m_thread = std::thread([this] { Run(); });
    }
    void Stop() {
        m_bStop = true;
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }
    long Updates() const { return m_nUpdates; }
    bool Closed() const { return m_bClosed; }
    void Capture(bool b) { m_bCapture = b; }
    // While paused nothing is read, so that the socket fills.
    void Pause(bool b) { m_bPaused = b; }
    std::vector<std::string> Captured() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_captured;
    }

private:
    void Run() {
        std::vector<unsigned char> buf(1 << 18);
        size_t have = 0;
        while (!m_bStop) {
            if (m_bPaused) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            pollfd p{m_fd, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) {
                continue;
            }
            const ssize_t n = read(m_fd, buf.data() + have, buf.size() - have);
            if (n <= 0) {
                m_bClosed = true;
                return;
            }
            have += static_cast<size_t>(n);
            size_t off = 0;
            long nUpdates = 0;
            while (have - off >= 10) {
                const unsigned char* m = buf.data() + off;
                const size_t len = (m[0] << 8) | m[1];
                if (len < 8) {
                    m_bClosed = true;  // not a message stream
                    return;
                }
                if (have - off < len) {
                    break;
                }
                const int mtyp = (m[4] << 8) | m[5];
                const int sub = (m[6] << 8) | m[7];
                if (mtyp == CM_SYM_DATA && sub == SYM_DATA_UPDATE) {
                    ++nUpdates;
                    if (m_bCapture) {
                        const size_t textLen = (m[8] << 8) | m[9];
                        std::lock_guard<std::mutex> lock(m_mutex);
                        m_captured.emplace_back(reinterpret_cast<const char*>(m) + 10,
                                                std::min(textLen, len - 10));
                    }
                }
                off += len;
            }
            memmove(buf.data(), buf.data() + off, have - off);
            have -= off;
            m_nUpdates += nUpdates;
        }
    }

    int m_fd = -1;
    std::thread m_thread;
    std::atomic<bool> m_bStop{false};
    std::atomic<bool> m_bClosed{false};
    std::atomic<bool> m_bCapture{false};
    std::atomic<bool> m_bPaused{false};
    std::atomic<long> m_nUpdates{0};
    std::mutex m_mutex;
    std::vector<std::string> m_captured;
};

// Serves the proxy's sockets (accept, logon, requests) until done() holds; bounded.
template <class Done>
bool Pump(CSymProxy& proxy, Done done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end || proxy.GetFd() < 0) {
            return false;
        }
        fd_set readF;
        FD_ZERO(&readF);
        FD_SET(proxy.GetFd(), &readF);
        timeval tv = {0, 20000};
        if (select(proxy.GetFd() + 1, &readF, nullptr, nullptr, &tv) <= 0) {
            FD_ZERO(&readF);
        }
        proxy.CheckSocket(readF);
    }
    return true;
}

struct Session {
    BenchProxy proxy;
    CSymConnection client{nullptr};
    Drain drain;
    long flushes = 0;   // flushes published so far, to go round the topics
    long msgsSent = 0;  // update messages the proxy made for the client
    bool broken = false;

    bool Open() {
        // A local stream socket pair, through the proxy's local listener: the kernel's part is
        // then the copy itself, not a loopback TCP stack charged to the publishing thread.
        const std::string path = "/tmp/qrx_publish_bench_" + std::to_string(getpid()) + ".sock";
        if (!proxy.InitializeU(path.c_str(), false, true, true, false) ||
            !client.ConnectU(path.c_str(), true) || client.GetSocket() == nullptr) {
            return false;
        }
        drain.Start(client.GetSocket()->GetFd());
        std::vector<GrowingStr> topics;
        for (const std::string& t : Topics()) {
            topics.emplace_back(t.c_str());
        }
        return Pump(proxy, [&] { return proxy.GetClientFd() >= 0; }) && client.Subscribe(topics) &&
               Pump(proxy, [&] { return proxy.m_nSubscribed == kTopics; });
    }

    // One flush of 100 ticks, the next 100 topics in turn. The publisher keeps up with the
    // client: what the socket did not take is written before the next flush's ticks are made,
    // unless keepUp is false.
    bool PublishOnce(bool keepUp = true) {
        const std::vector<std::string>& topics = Topics();
        const int first = static_cast<int>(flushes % (kTopics / kTicksPerFlush)) * kTicksPerFlush;
        const int seq = static_cast<int>(flushes % 100000);
        for (int i = 0; i < kTicksPerFlush; ++i) {
            HTICK tick = proxy.CreateTick(topics[static_cast<size_t>(first + i)].c_str());
            FillQuote([&](int flid, auto v) { proxy.SetTickField(tick, flid, v); }, seq + i);
        }
        int nSent = 0;
        if (!proxy.Flush(false, &nSent)) {
            return false;
        }
        // Nothing was pending before: the flush's messages are the written and the pending.
        msgsSent += nSent + proxy.GetNumPendingMessages();
        ++flushes;
        if (!keepUp) {
            return proxy.GetClientFd() >= 0;
        }
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundMs);
        while (proxy.GetNumPendingMessages() > 0) {
            if (proxy.GetClientFd() < 0 || std::chrono::steady_clock::now() > end) {
                return false;
            }
            proxy.WriteMsgs(nullptr, 0);
        }
        return proxy.GetClientFd() >= 0;
    }

    // Waits until the client has read every update message the proxy wrote.
    bool DrainedAll() {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundMs);
        while (drain.Updates() < msgsSent) {
            if (drain.Closed() || std::chrono::steady_clock::now() > end) {
                return false;
            }
            // Pending messages counted as written once the connection holds their rest.
            proxy.WriteMsgs(nullptr, 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    void Close() {
        drain.Stop();
        client.Disconnect();
    }
};

Session* g_session = nullptr;

// ---- measurements ----

struct Rates {
    double cpu = 0;     // ticks per second of the measuring thread's CPU time
    double wall = 0;    // ticks per second of wall time
    double allocs = 0;  // heap allocations per tick on the measuring thread
    double kernel = 0;  // share of the measuring thread's CPU time spent in the kernel
};

// Passes the runs on to the console and keeps the rates of the measured ones (not those
// that only sized the iteration count).
class Collector : public benchmark::ConsoleReporter {
public:
    Collector() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            if (r.run_type != Run::RT_Iteration || r.error_occurred) {
                continue;
            }
            auto value = [&r](const char* name) {
                const auto it = r.counters.find(name);
                return it == r.counters.end() ? 0.0 : it->second.value;
            };
            Rates x;
            x.cpu = value("ticks_per_cpu_s");
            x.wall = value("ticks_per_wall_s");
            x.allocs = value("allocs_per_tick");
            x.kernel = value("kernel_share");
            m_runs[r.run_name.function_name].push_back(x);
        }
        ConsoleReporter::ReportRuns(runs);
    }
    const std::vector<Rates>& Runs(const std::string& name) { return m_runs[name]; }

private:
    std::map<std::string, std::vector<Rates>> m_runs;
};

// Wall seconds, and the calling thread's CPU seconds in all and in the kernel. The machine may
// be shared: the comparison rests on the thread's CPU time, with the wall time beside it.
struct Clock {
    double wall = 0;
    double cpu = 0;
    double sys = 0;
    static Clock Now() {
        Clock t;
        t.cpu = qrxbench::ThreadCpuSeconds();
        rusage u;
        getrusage(RUSAGE_THREAD, &u);
        t.sys = u.ru_stime.tv_sec + u.ru_stime.tv_usec * 1e-6;
        t.wall = qrxbench::WallSeconds();
        return t;
    }
};

void Record(benchmark::State& state, long ticks, long allocs, const Clock& a, const Clock& b) {
    if (ticks <= 0 || b.cpu <= a.cpu || b.wall <= a.wall) {
        return;
    }
    Rates r;
    r.cpu = ticks / (b.cpu - a.cpu);
    r.wall = ticks / (b.wall - a.wall);
    r.allocs = static_cast<double>(allocs) / ticks;
    r.kernel = std::min(1.0, (b.sys - a.sys) / (b.cpu - a.cpu));
    state.SetItemsProcessed(ticks);
    state.counters["ticks_per_cpu_s"] = r.cpu;
    state.counters["ticks_per_wall_s"] = r.wall;
    state.counters["allocs_per_tick"] = r.allocs;
    state.counters["kernel_share"] = r.kernel;
}

void BM_EncodeOnly(benchmark::State& state) {
    const std::vector<std::string>& topics = Topics();
    std::vector<CSymData> records(static_cast<size_t>(kTopics));
    for (int i = 0; i < kTopics; ++i) {
        CSymData& d = records[static_cast<size_t>(i)];
        d.SetFlidString(CSymData::flid_symbol, GrowingStr(topics[static_cast<size_t>(i)].c_str()));
        d.SetFlidString(CSymData::flid_topic, GrowingStr(topics[static_cast<size_t>(i)].c_str()));
        FillQuote(RecordSetter{d}, i);
    }
    CNetStream out(true, 1024, 1024);
    for (const CSymData& d : records) {  // warm
        out.SeekBegin();
        CSymDataAux::SerializeSymOut(d, out);
    }
    long batch = 0;
    long ticks = 0;
    qrxtest::AllocCounter counter;
    counter.Start();
    const Clock start = Clock::Now();
    for (auto _ : state) {
        const size_t first =
            static_cast<size_t>(batch++ % (kTopics / kTicksPerFlush)) * kTicksPerFlush;
        for (size_t i = first; i < first + kTicksPerFlush; ++i) {
            out.SeekBegin();
            bool ok = CSymDataAux::SerializeSymOut(static_cast<const CSymData&>(records[i]), out);
            benchmark::DoNotOptimize(ok);
        }
        benchmark::ClobberMemory();
        ticks += kTicksPerFlush;
    }
    const Clock end = Clock::Now();
    const long allocs = counter.Stop();
    Record(state, ticks, allocs, start, end);
}

void BM_Publish(benchmark::State& state) {
    Session& s = *g_session;
    if (s.broken) {
        state.SkipWithError("no client");
        return;
    }
    long ticks = 0;
    qrxtest::AllocCounter counter;
    counter.Start();
    const Clock start = Clock::Now();
    for (auto _ : state) {
        if (!s.PublishOnce()) {
            s.broken = true;
            state.SkipWithError("the client was lost");
            break;
        }
        ticks += kTicksPerFlush;
    }
    const Clock end = Clock::Now();
    const long allocs = counter.Stop();
    if (!s.broken) {
        Record(state, ticks, allocs, start, end);
    }
}

// Medians of the rates over the runs; of the allocations the most any run made.
Rates Summary(const std::vector<Rates>& runs) {
    Rates m;
    if (runs.empty()) {
        return m;
    }
    m.cpu = qrxbench::MedianOf(runs, &Rates::cpu);
    m.wall = qrxbench::MedianOf(runs, &Rates::wall);
    m.kernel = qrxbench::MedianOf(runs, &Rates::kernel);
    for (const Rates& r : runs) {
        m.allocs = std::max(m.allocs, r.allocs);
    }
    return m;
}

// After the runs: the last flush's messages decode into 100 full quote records of the
// topics published.
bool CheckDelivered(Session& s) {
    if (!s.DrainedAll()) {
        return false;
    }
    s.drain.Capture(true);
    const int first = static_cast<int>(s.flushes % (kTopics / kTicksPerFlush)) * kTicksPerFlush;
    if (!s.PublishOnce() || !s.DrainedAll()) {
        return false;
    }
    s.drain.Capture(false);
    int n = 0;
    for (const std::string& body : s.drain.Captured()) {
        CNetStream in(const_cast<char*>(body.data()), static_cast<int>(body.size()), false);
        CSymData d;
        while (in.GetRemaining() > 0) {
            d.clear();
            const char* topic = nullptr;
            if (!CSymDataAux::SerializeSymIn(d, in) ||
                !d.GetFlidStringPtr(CSymData::flid_topic, topic) ||
                Topics()[static_cast<size_t>(first + n)] != topic ||
                d.m_map_flid_2_double.size() + d.m_map_flid_2_int.size() +
                        d.m_map_flid_2_GrowingStr.size() !=
                    24) {
                return false;
            }
            ++n;
        }
    }
    return n == kTicksPerFlush;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    std::unique_ptr<Session> session(new Session);
    g_session = session.get();
    bool ready = session->Open();
    for (int i = 0; ready && i < kWarmUpFlushes; ++i) {
        ready = session->PublishOnce();
    }
    // The first time the socket does not take a whole flush, the proxy gets room for what
    // waits, kept for later: that happens here (the client pausing) rather than in a measured
    // run. The stall ends at the first flush that leaves messages waiting.
    session->drain.Pause(true);
    for (int i = 0; ready && i < kMaxStallFlushes && session->proxy.GetNumPendingMessages() == 0;
         ++i) {
        ready = session->PublishOnce(false);
    }
    session->drain.Pause(false);
    ready = ready && session->proxy.GetNumPendingMessages() > 0 && session->DrainedAll();
    if (!ready) {
        fprintf(stderr, "proxy_publish_bench: the client did not log on and subscribe\n");
        session->broken = true;
    }
    benchmark::RegisterBenchmark("encode_only/quote24", BM_EncodeOnly)
        ->Unit(benchmark::kMicrosecond)
        ->Repetitions(5);
    benchmark::RegisterBenchmark("publish/quote24", BM_Publish)
        ->Unit(benchmark::kMicrosecond)
        ->MinTime(1.0)
        ->Repetitions(5);
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    benchmark::Shutdown();

    const bool delivered = !session->broken && CheckDelivered(*session);
    session->Close();

    const Rates enc = Summary(collector.Runs("encode_only/quote24"));
    const Rates pub = Summary(collector.Runs("publish/quote24"));
    printf("\nMedians over the runs (%d topics subscribed, %d ticks a flush).\n", kTopics,
           kTicksPerFlush);
    if (enc.cpu <= 0 || pub.cpu <= 0) {
        printf("  not measured (filtered out, or no client)\n");
        return 0;
    }
    printf(
        "  ticks per second of the measuring thread's CPU time: encode only %.0f, published %.0f\n",
        enc.cpu, pub.cpu);
    printf("  ticks per second of wall time: encode only %.0f, published %.0f\n", enc.wall,
           pub.wall);
    printf(
        "  share of the publishing thread's CPU time spent in the kernel (socket writes): %.1f%%\n",
        100 * pub.kernel);
    printf("  last flush received and decoded by the client: %s\n", delivered ? "yes" : "NO");
    bool met = delivered;
    if (qrxtest::AllocCounter::Available()) {
        const bool zero = pub.allocs == 0;
        printf(
            "  heap allocations per tick, most of any run: encode only %.3g, published %.3g  "
            "(target 0: %s)\n",
            enc.allocs, pub.allocs, zero ? "met" : "MISSED");
        met &= zero;
    } else {
        printf("  heap allocations not counted in this build\n");
    }
    constexpr double kTargetShare = 0.25;
    const double cpuShare = pub.cpu / enc.cpu;
    const bool fast = cpuShare >= kTargetShare;
    printf(
        "  publishing over encoding: %.1f%% of CPU-time rate, %.1f%% of wall-time rate  "
        "(target >= %.0f%% of CPU-time rate: %s)\n",
        100 * cpuShare, 100 * pub.wall / enc.wall, 100 * kTargetShare, fast ? "met" : "MISSED");
    met &= fast;
    printf("  targets: %s\n", met ? "all met" : "some MISSED");
    return 0;
}
