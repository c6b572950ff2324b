// Encoding and decoding of market-data record bodies, beside their floor (a
// memcpy of the same encoded bytes) and the encoding users would otherwise pick
// (the same fields as a Protocol Buffers message, when the build found it).
//
// Records:
//   example4 - bid 10.5, ask 10.75, bid_size 300, symbol "ABC" (33 bytes).
//   quote24  - a quote with depth: bid, ask, last, volume; bid and ask prices
//              of levels 2..5 (bid and ask being level 1); bid_size, ask_size
//              and the sizes of levels 2..4; update_time, trade_time; symbol
//              and topic. 12 doubles, 10 ints and 2 strings.
//
// Every benchmark counts the heap allocations made inside its timed loop and
// reports them per iteration (allocs); the steady state of our encoder (into a
// reused stream) and decoder (into a cleared, reused record) should show 0.
// After the runs a summary prints the protobuf/qrx time ratios for quote24.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <unistd.h>

#include "common/alloc_counter.h"
#include "qrx/marketdata/serialized_buf.h"
#include "qrx/marketdata/sym_data.h"
#include "qrx/marketdata/sym_data_aux.h"
#include "qrx/wire/net_stream.h"
#include "quote_bench_util.h"

#ifdef QRX_BENCH_HAVE_PROTOBUF
#include "quote_record.pb.h"
#endif

namespace {

bool g_allocCountWorks = false;

// Checks once that both malloc and operator new are seen.
void ProbeAllocCounting() {
    qrxtest::AllocCounter counter;
    counter.Start();
    void* p = malloc(24);
    benchmark::DoNotOptimize(p);
    free(p);
    int* q = new int(7);
    benchmark::DoNotOptimize(q);
    delete q;
    g_allocCountWorks = counter.Stop() == 2;
}

// The allocations of a benchmark's timed loop, counted from Start to Stop.
void ReportAllocs(benchmark::State& state, long nAllocs) {
    if (g_allocCountWorks) {
        state.counters["allocs"] =
            benchmark::Counter(static_cast<double>(nAllocs), benchmark::Counter::kAvgIterations);
    }
}

// ---- the records ----

void FillExample4(CSymData& d) {
    d.clear();
    d.SetFlidDouble(CSymData::flid_bid, 10.5);
    d.SetFlidDouble(CSymData::flid_ask, 10.75);
    d.SetFlidInt(CSymData::flid_bid_size, 300);
    d.SetFlidString(CSymData::flid_symbol, GrowingStr("ABC"));
}

void FillQuote24(CSymData& d) {
    d.clear();
    qrxbench::FillQuote(qrxbench::RecordSetter{d}, 101.25, 0, 0, 0);
    d.SetFlidString(CSymData::flid_symbol, GrowingStr("VOD.L"));
    d.SetFlidString(CSymData::flid_topic, GrowingStr("VOD.L"));
}

using FillFn = void (*)(CSymData&);

// The encoded body of a record, made once per benchmark.
std::vector<char> EncodeBody(FillFn fill) {
    CSymData d;
    fill(d);
    CNetStream out(true, 1024, 1024);
    CSymDataAux::SerializeSymOut(static_cast<const CSymData&>(d), out);
    char* p;
    int n;
    out.GetBuf(p, n);
    return std::vector<char>(p, p + n);
}

// ---- our encoding ----

void BM_QrxEncode(benchmark::State& state, FillFn fill) {
    CSymData d;
    fill(d);
    CNetStream out(true, 1024, 1024);
    CSymDataAux::SerializeSymOut(static_cast<const CSymData&>(d), out);  // warm
    qrxtest::AllocCounter allocs;
    allocs.Start();
    for (auto _ : state) {
        out.SeekBegin();
        bool ok = CSymDataAux::SerializeSymOut(static_cast<const CSymData&>(d), out);
        benchmark::DoNotOptimize(ok);
        benchmark::ClobberMemory();
    }
    ReportAllocs(state, allocs.Stop());
    state.counters["bytes"] = out.GetLength();
}

void BM_QrxDecode(benchmark::State& state, FillFn fill) {
    std::vector<char> body = EncodeBody(fill);
    CSymData expected;
    fill(expected);
    CSymData d;
    {
        // Warm: the record's blocks and string objects exist from here on.
        CNetStream in(body.data(), static_cast<int>(body.size()), false);
        if (!CSymDataAux::SerializeSymIn(d, in) || d != expected) {
            state.SkipWithError("decoded record differs from the encoded one");
            return;
        }
    }
    qrxtest::AllocCounter allocs;
    allocs.Start();
    for (auto _ : state) {
        d.clear();
        CNetStream in(body.data(), static_cast<int>(body.size()), false);
        bool ok = CSymDataAux::SerializeSymIn(d, in);
        benchmark::DoNotOptimize(ok);
        benchmark::ClobberMemory();
    }
    ReportAllocs(state, allocs.Stop());
    state.counters["bytes"] = static_cast<double>(body.size());
}

// The pre-encoded form that the feed-handler side sends to many clients.
void BM_QrxEncodeSerializedBuf(benchmark::State& state, FillFn fill) {
    CSymData d;
    fill(d);
    SerializedBuf buf;
    CSymDataAux::SerializeSymOut(d, buf);  // warm
    qrxtest::AllocCounter allocs;
    allocs.Start();
    for (auto _ : state) {
        bool ok = CSymDataAux::SerializeSymOut(d, buf);
        benchmark::DoNotOptimize(ok);
        benchmark::ClobberMemory();
    }
    ReportAllocs(state, allocs.Stop());
}

void BM_QrxDecodeSerializedBuf(benchmark::State& state, FillFn fill) {
    CSymData src;
    fill(src);
    SerializedBuf buf;
    CSymDataAux::SerializeSymOut(src, buf);
    CSymData d;
    CSymDataAux::SerializeSymIn(d, buf, nullptr);  // warm
    qrxtest::AllocCounter allocs;
    allocs.Start();
    for (auto _ : state) {
        d.clear();
        bool ok = CSymDataAux::SerializeSymIn(d, buf, nullptr);
        benchmark::DoNotOptimize(ok);
        benchmark::ClobberMemory();
    }
    ReportAllocs(state, allocs.Stop());
}

// ---- the floor ----

void BM_Memcpy(benchmark::State& state, FillFn fill) {
    std::vector<char> body = EncodeBody(fill);
    std::vector<char> dst(body.size());
    const size_t n = body.size();
    qrxtest::AllocCounter allocs;
    allocs.Start();
    for (auto _ : state) {
        char* p = dst.data();
        benchmark::DoNotOptimize(p);
        memcpy(p, body.data(), n);
        benchmark::ClobberMemory();
    }
    ReportAllocs(state, allocs.Stop());
    state.counters["bytes"] = static_cast<double>(n);
}

// ---- the peer ----

#ifdef QRX_BENCH_HAVE_PROTOBUF
void FillQuoteMessage(qrxbench::QuoteRecord& m) {
    m.set_bid(101.25);
    m.set_ask(101.5);
    m.set_last(101.375);
    m.set_volume(1234567.0);
    m.set_bid2(101.0);
    m.set_bid3(100.75);
    m.set_bid4(100.5);
    m.set_bid5(100.25);
    m.set_ask2(101.75);
    m.set_ask3(102.0);
    m.set_ask4(102.25);
    m.set_ask5(102.5);
    m.set_bid_size(500);
    m.set_ask_size(700);
    m.set_bid_size2(1200);
    m.set_bid_size3(2500);
    m.set_bid_size4(4000);
    m.set_ask_size2(900);
    m.set_ask_size3(3100);
    m.set_ask_size4(5200);
    m.set_update_time(34215123);
    m.set_trade_time(34215007);
    m.set_symbol("VOD.L");
    m.set_topic("VOD.L");
}

void BM_ProtobufSerialize(benchmark::State& state) {
    qrxbench::QuoteRecord m;
    FillQuoteMessage(m);
    std::vector<char> out(1024);
    const int size = static_cast<int>(m.ByteSizeLong());
    qrxtest::AllocCounter allocs;
    allocs.Start();
    for (auto _ : state) {
        bool ok = m.SerializeToArray(out.data(), static_cast<int>(out.size()));
        benchmark::DoNotOptimize(ok);
        benchmark::ClobberMemory();
    }
    ReportAllocs(state, allocs.Stop());
    state.counters["bytes"] = size;
}

void BM_ProtobufParse(benchmark::State& state) {
    qrxbench::QuoteRecord src;
    FillQuoteMessage(src);
    const std::string wire = src.SerializeAsString();
    qrxbench::QuoteRecord m;                                       // reused
    m.ParseFromArray(wire.data(), static_cast<int>(wire.size()));  // warm
    qrxtest::AllocCounter allocs;
    allocs.Start();
    for (auto _ : state) {
        bool ok = m.ParseFromArray(wire.data(), static_cast<int>(wire.size()));
        benchmark::DoNotOptimize(ok);
        benchmark::ClobberMemory();
    }
    ReportAllocs(state, allocs.Stop());
    state.counters["bytes"] = static_cast<double>(wire.size());
}
#endif

// ---- the summary ----

struct Result {
    std::vector<double> cpu;  // ns per iteration, one per repetition
    double medianAggregate = -1;
    double allocs = -1;
};

// Passes everything on to the console and keeps the CPU time of each run.
class CollectingReporter : public benchmark::ConsoleReporter {
public:
    CollectingReporter() : ConsoleReporter(isatty(fileno(stdout)) ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            Result& res = m_results[r.run_name.str()];
            auto it = r.counters.find("allocs");
            if (r.run_type == Run::RT_Iteration) {
                if (r.error_occurred) {
                    continue;
                }
                res.cpu.push_back(r.GetAdjustedCPUTime());
                if (it != r.counters.end()) {
                    res.allocs = std::max(res.allocs, it->second.value);
                }
            } else if (r.aggregate_name == "median") {
                res.medianAggregate = r.GetAdjustedCPUTime();
                if (it != r.counters.end() && res.allocs < 0) {
                    res.allocs = it->second.value;
                }
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // Median CPU time of the runs of name in ns, or -1 when it did not run.
    double Time(const std::string& name) const {
        auto it = m_results.find(name);
        if (it == m_results.end()) {
            return -1;
        }
        std::vector<double> v = it->second.cpu;
        if (v.empty()) {
            return it->second.medianAggregate;
        }
        std::sort(v.begin(), v.end());
        const size_t n = v.size();
        return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    }
    double Allocs(const std::string& name) const {
        auto it = m_results.find(name);
        return it == m_results.end() ? -1 : it->second.allocs;
    }

private:
    std::map<std::string, Result> m_results;
};

constexpr double kTargetRatio = 10.0;

bool PrintRatio(const CollectingReporter& rep, const char* what, const std::string& ours,
                const std::string& peer) {
    const double t = rep.Time(ours);
    const double p = rep.Time(peer);
    if (t <= 0 || p <= 0) {
        printf("  %-28s not measured (filtered out or unavailable)\n", what);
        return true;
    }
    const double ratio = p / t;
    const bool met = ratio >= kTargetRatio;
    printf("  %-28s qrx %8.1f ns  protobuf %8.1f ns  ratio %5.1fx  (target >= %.0fx: %s)\n", what,
           t, p, ratio, kTargetRatio, met ? "met" : "MISSED");
    return met;
}

bool PrintAllocs(const CollectingReporter& rep, const std::string& name) {
    const double a = rep.Allocs(name);
    if (a < 0) {
        return true;
    }
    const bool met = a == 0;
    printf("  %-40s %6.2f allocs/iteration%s\n", name.c_str(), a,
           met ? "" : "  (target 0: MISSED)");
    return met;
}

}  // namespace

int main(int argc, char** argv) {
    ProbeAllocCounting();

    struct Entry {
        const char* name;
        void (*fn)(benchmark::State&, FillFn);
        FillFn fill;
    };
    const Entry entries[] = {
        {"qrx_encode/example4", BM_QrxEncode, FillExample4},
        {"qrx_decode/example4", BM_QrxDecode, FillExample4},
        {"memcpy/example4", BM_Memcpy, FillExample4},
        {"qrx_encode/quote24", BM_QrxEncode, FillQuote24},
        {"qrx_decode/quote24", BM_QrxDecode, FillQuote24},
        {"memcpy/quote24", BM_Memcpy, FillQuote24},
        {"qrx_encode_serialized_buf/quote24", BM_QrxEncodeSerializedBuf, FillQuote24},
        {"qrx_decode_serialized_buf/quote24", BM_QrxDecodeSerializedBuf, FillQuote24},
    };
    for (const Entry& e : entries) {
        benchmark::RegisterBenchmark(e.name, e.fn, e.fill)->Unit(benchmark::kNanosecond);
    }
#ifdef QRX_BENCH_HAVE_PROTOBUF
    benchmark::RegisterBenchmark("protobuf_serialize/quote24", BM_ProtobufSerialize)
        ->Unit(benchmark::kNanosecond);
    benchmark::RegisterBenchmark("protobuf_parse/quote24", BM_ProtobufParse)
        ->Unit(benchmark::kNanosecond);
#endif

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    CollectingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    printf("\nSummary (median CPU time per operation)\n");
    bool met = true;
    if (!g_allocCountWorks) {
        printf("  allocation counts unavailable in this build\n");
    } else {
        for (const char* name : {"qrx_encode/example4", "qrx_decode/example4", "qrx_encode/quote24",
                                 "qrx_decode/quote24", "qrx_encode_serialized_buf/quote24",
                                 "qrx_decode_serialized_buf/quote24"}) {
            met &= PrintAllocs(reporter, name);
        }
#ifdef QRX_BENCH_HAVE_PROTOBUF
        for (const char* name : {"protobuf_serialize/quote24", "protobuf_parse/quote24"}) {
            const double a = reporter.Allocs(name);
            if (a >= 0) {
                printf("  %-40s %6.2f allocs/iteration\n", name, a);
            }
        }
#endif
    }
    const double floor = reporter.Time("memcpy/quote24");
    const double enc = reporter.Time("qrx_encode/quote24");
    const double dec = reporter.Time("qrx_decode/quote24");
    if (floor > 0 && enc > 0 && dec > 0) {
        printf("  quote24 over the memcpy floor: encode %.1fx, decode %.1fx\n", enc / floor,
               dec / floor);
    }
#ifdef QRX_BENCH_HAVE_PROTOBUF
    met &= PrintRatio(reporter, "quote24 encode/serialize", "qrx_encode/quote24",
                      "protobuf_serialize/quote24");
    met &= PrintRatio(reporter, "quote24 decode/parse", "qrx_decode/quote24",
                      "protobuf_parse/quote24");
#else
    printf("  protobuf not found at build time: no peer ratios\n");
#endif
    printf("  targets: %s\n", met ? "all met" : "some MISSED");
    return 0;
}
