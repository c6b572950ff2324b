// Delivery of market data to a Sym listener: update messages of 255 quote
// records (24 fields each) written by a writer thread into one end of a socket
// pair and dispatched from the other end by CApiConnection::DispatchEvents to a
// CSymListener whose OnData reads one field. Beside it, in the same run, the
// bare decoding of the same record bodies into one reused record. Reports the
// records per second of both, their ratio, and the heap allocations per record
// made on the dispatching thread.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "common/alloc_counter.h"
#include "qrx/client/sym_connection.h"
#include "qrx/client/sym_listener.h"
#include "qrx/marketdata/sym_data.h"
#include "qrx/marketdata/sym_data_aux.h"
#include "qrx/net/app_conn.h"
#include "qrx/wire/net_stream.h"
#include "qrx/wire/sym_msgs.h"
#include "quote_bench_util.h"

namespace {

constexpr int kRecordsPerMessage = 255;
// Messages dispatched before measuring, so that buffers have their steady size.
constexpr long kWarmUpMessages = 50;

// The quote record of message position i.
CSymData QuoteRecord(int i) {
    CSymData d;
    qrxbench::FillQuote(qrxbench::RecordSetter{d}, 100.0 + i * 0.25, i, i, i);
    char sym[16];
    snprintf(sym, sizeof sym, "SYM%03d.L", i);
    d.SetFlidString(CSymData::flid_symbol, GrowingStr(sym));
    d.SetFlidString(CSymData::flid_topic, GrowingStr(sym));
    return d;
}

// The body of one update message: 255 record bodies back to back.
const std::string& MessageBody() {
    static const std::string body = [] {
        CNetStream out(true, 65536, 65536);
        for (int i = 0; i < kRecordsPerMessage; ++i) {
            CSymDataAux::SerializeSymOut(QuoteRecord(i), out);
        }
        char* p = nullptr;
        int n = 0;
        out.GetBuf(p, n);
        return std::string(p, static_cast<size_t>(n));
    }();
    return body;
}

// The message in stream form: 8-byte header, then the body as one text field.
std::string StreamFrame(const std::string& body) {
    std::string f;
    auto be16 = [&f](unsigned v) {
        f.push_back(static_cast<char>((v >> 8) & 0xFF));
        f.push_back(static_cast<char>(v & 0xFF));
    };
    be16(static_cast<unsigned>(8 + 2 + body.size()));
    be16(MsgHdrSym::HDR_TYPE);
    be16(CM_SYM_DATA);
    be16(SYM_DATA_UPDATE);
    be16(static_cast<unsigned>(body.size()));
    return f + body;
}

class QuoteListener : public CSymListener {
public:
    using CSymListener::OnData;
    void OnData(const char* topic, const CSymData* data) override {
        (void)topic;
        double bid;
        if (GetDouble(data, CSymData::flid_bid, bid)) {
            m_dblSum += bid;
        }
        ++m_nRecords;
    }
    double m_dblSum = 0;
    long m_nRecords = 0;
};

// Wall time and the CPU time of the calling thread, in seconds. The machine
// may be shared: the thread's CPU time is what the comparison rests on, the
// wall time is shown beside it.
struct Stamp {
    double wall;
    double cpu;
    static Stamp Now() { return Stamp{qrxbench::WallSeconds(), qrxbench::ThreadCpuSeconds()}; }
};

// Rates of one run of a benchmark, for the closing comparison.
struct Result {
    double cpuRate = 0;
    double wallRate = 0;
    double allocsPerRecord = 0;

    void Set(benchmark::State& state, long records, long allocs, const Stamp& a, const Stamp& b) {
        cpuRate = records / (b.cpu - a.cpu);
        wallRate = records / (b.wall - a.wall);
        allocsPerRecord = records > 0 ? static_cast<double>(allocs) / records : 0;
        state.counters["allocs_per_record"] = allocsPerRecord;
        state.counters["records_per_cpu_s"] = cpuRate;
        state.counters["records_per_wall_s"] = wallRate;
    }
};
// Every run's rates; the comparison takes the medians over the repetitions.
std::vector<Result> g_bare;
std::vector<Result> g_delivered;

Result Median(const std::vector<Result>& runs) {
    Result m;
    if (runs.empty()) {
        return m;
    }
    m.cpuRate = qrxbench::MedianOf(runs, &Result::cpuRate);
    m.wallRate = qrxbench::MedianOf(runs, &Result::wallRate);
    m.allocsPerRecord = qrxbench::MedianOf(runs, &Result::allocsPerRecord);
    return m;
}

void BM_BareDecode(benchmark::State& state) {
    std::string body = MessageBody();
    CNetStream in(false, 1024, 1024);
    CSymData data;
    double sum = 0;
    long records = 0;
    auto decodeAll = [&] {
        in.Attach(&body[0], static_cast<int>(body.size()), false);
        while (in.GetRemaining() > 0) {
            data.clear();
            if (!CSymDataAux::SerializeSymIn(data, in)) {
                return false;
            }
            double bid;
            if (data.GetFlidDouble(CSymData::flid_bid, bid)) {
                sum += bid;
            }
            ++records;
        }
        return true;
    };
    for (int i = 0; i < 3; ++i) {
        decodeAll();
    }
    records = 0;
    qrxtest::AllocCounter counter;  // on the measuring thread
    counter.Start();
    const Stamp start = Stamp::Now();
    for (auto _ : state) {
        if (!decodeAll()) {
            state.SkipWithError("decoding failed");
            break;
        }
    }
    const Stamp end = Stamp::Now();
    const long allocs = counter.Stop();
    benchmark::DoNotOptimize(sum);
    state.SetItemsProcessed(records);
    g_bare.emplace_back();
    g_bare.back().Set(state, records, allocs, start, end);
}

// Writes the frame again and again until stopped or the peer goes away.
void WriteFrames(int fd, const std::string& frame, const std::atomic<bool>& stop) {
    while (!stop) {
        size_t done = 0;
        while (done < frame.size()) {
            const ssize_t w = send(fd, frame.data() + done, frame.size() - done, MSG_NOSIGNAL);
            if (w < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return;
            }
            done += static_cast<size_t>(w);
        }
    }
}

void BM_ListenerDispatch(benchmark::State& state) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) {
        state.SkipWithError("socketpair failed");
        return;
    }
    const std::string frame = StreamFrame(MessageBody());
    std::atomic<bool> stop{false};
    std::thread writer(WriteFrames, sv[1], std::cref(frame), std::cref(stop));

    CSymConnection conn(nullptr);
    CAppConn* sock = new CAppConn("LISTENER_BENCH", -1, nullptr, nullptr, 0, nullptr);
    sock->SetFd(sv[0]);
    sock->m_is_stream = 5;
    conn.SetSocket(sock);
    QuoteListener listener;
    conn.AddClient(&listener);

    bool ok = true;
    auto dispatchOnce = [&] {
        pollfd p{sv[0], POLLIN, 0};
        poll(&p, 1, 1000);
        return conn.DispatchEvents() >= 0;
    };
    while (ok && listener.m_nRecords < kWarmUpMessages * kRecordsPerMessage) {
        ok = dispatchOnce();
    }
    const long before = listener.m_nRecords;
    qrxtest::AllocCounter counter;  // on the measuring thread
    counter.Start();
    const Stamp start = Stamp::Now();
    for (auto _ : state) {
        if (!ok || !(ok = dispatchOnce())) {
            state.SkipWithError("connection lost");
            break;
        }
    }
    const Stamp end = Stamp::Now();
    const long allocs = counter.Stop();
    const long records = listener.m_nRecords - before;

    stop = true;
    shutdown(sv[0], SHUT_RDWR);
    writer.join();
    conn.RemoveClient(&listener);
    close(sv[1]);

    benchmark::DoNotOptimize(listener.m_dblSum);
    state.SetItemsProcessed(records);
    g_delivered.emplace_back();
    g_delivered.back().Set(state, records, allocs, start, end);
}

BENCHMARK(BM_BareDecode)->Unit(benchmark::kMicrosecond)->Repetitions(5);
BENCHMARK(BM_ListenerDispatch)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->MinTime(1.0)
    ->Repetitions(5);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    const Result bare = Median(g_bare);
    const Result delivered = Median(g_delivered);
    if (bare.cpuRate > 0 && delivered.cpuRate > 0) {
        printf("\nMedians over the runs.\n");
        printf(
            "records per second of the measuring thread's CPU time: bare decoding %.0f, "
            "delivered through the listener %.0f (%.1f%%)\n",
            bare.cpuRate, delivered.cpuRate, 100.0 * delivered.cpuRate / bare.cpuRate);
        printf("records per second of wall time: bare decoding %.0f, delivered %.0f (%.1f%%)\n",
               bare.wallRate, delivered.wallRate, 100.0 * delivered.wallRate / bare.wallRate);
        printf("heap allocations per record: bare %.4f, delivered %.4f\n", bare.allocsPerRecord,
               delivered.allocsPerRecord);
    }
    return 0;
}
