// What the market-data benchmarks share: the 24-field quote record they send,
// their clocks and the medians they compare.
#pragma once

#include <time.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "qrx/marketdata/sym_data.h"

namespace qrxbench {

// The 22 numbers of the quote record (12 prices, 10 sizes and times); its
// symbol and topic make 24. px is the bid; the volume, the level-1 sizes and
// the times are their base values plus volumeAdd, sizeAdd and timeAdd.
template <class Set>
void FillQuote(Set&& set, double px, int volumeAdd, int sizeAdd, int timeAdd) {
    set(CSymData::flid_bid, px);
    set(CSymData::flid_ask, px + 0.25);
    set(CSymData::flid_last, px + 0.125);
    set(CSymData::flid_volume, 1234567.0 + volumeAdd);
    set(CSymData::flid_bid2, px - 0.25);
    set(CSymData::flid_bid3, px - 0.5);
    set(CSymData::flid_bid4, px - 0.75);
    set(CSymData::flid_bid5, px - 1.0);
    set(CSymData::flid_ask2, px + 0.5);
    set(CSymData::flid_ask3, px + 0.75);
    set(CSymData::flid_ask4, px + 1.0);
    set(CSymData::flid_ask5, px + 1.25);
    set(CSymData::flid_bid_size, 500 + sizeAdd);
    set(CSymData::flid_ask_size, 700 + sizeAdd);
    set(CSymData::flid_bid_size2, 1200);
    set(CSymData::flid_bid_size3, 2500);
    set(CSymData::flid_bid_size4, 4000);
    set(CSymData::flid_ask_size2, 900);
    set(CSymData::flid_ask_size3, 3100);
    set(CSymData::flid_ask_size4, 5200);
    set(CSymData::flid_update_time, 34215123 + timeAdd);  // ms after midnight
    set(CSymData::flid_trade_time, 34215007 + timeAdd);
}

// FillQuote into a record.
struct RecordSetter {
    CSymData& d;
    void operator()(int flid, double v) { d.SetFlidDouble(flid, v); }
    void operator()(int flid, int v) { d.SetFlidInt(flid, v); }
};

// The CPU time of the calling thread and the wall time, in seconds. The
// machine may be shared: the thread's CPU time is what comparisons rest on.
inline double ThreadCpuSeconds() {
    timespec c;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &c);
    return c.tv_sec + c.tv_nsec * 1e-9;
}

inline double WallSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The median of one field over the runs (not empty).
template <class R>
double MedianOf(const std::vector<R>& runs, double R::*field) {
    std::vector<double> v;
    v.reserve(runs.size());
    for (const R& r : runs) {
        v.push_back(r.*field);
    }
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
}

}  // namespace qrxbench
