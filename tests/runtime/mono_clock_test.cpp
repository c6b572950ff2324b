#include "qrx/runtime/mono_clock.h"

#include <gtest/gtest.h>
#include <time.h>

#include <thread>
#include <vector>

namespace {

long long SystemNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

}  // namespace

TEST(MonoClockTest, shouldMeasureTheSameSpansAsTheSystemsMonotonicClock) {
    mono_clock::NowNs();  // the rate is measured on first use
    for (const int ms : {0, 3, 40}) {
        // Read inside the system clock's span, the span is at most that one and, unless the
        // thread was held up between two readings (a few tries), within a percent of it; a
        // wrongly measured rate misses by more on 40 ms.
        bool bClose = false;
        for (int attempt = 0; attempt < 10 && !bClose; ++attempt) {
            const long long s0 = SystemNs();
            const long long m0 = mono_clock::NowNs();
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            const long long m1 = mono_clock::NowNs();
            const long long s1 = SystemNs();
            const long long system = s1 - s0;
            const long long mine = m1 - m0;
            ASSERT_LE(mine, system + system / 100 + 2000) << ms << " ms";
            bClose = mine >= system - system / 100 - 20000;
        }
        EXPECT_TRUE(bClose) << ms << " ms";
    }
}

TEST(MonoClockTest, shouldNeverGoBackOnAThreadOrAcrossThreads) {
    std::vector<std::thread> threads;
    std::vector<int> backs(3, 0);
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([t, &backs] {
            long long last = mono_clock::NowNs();
            for (int i = 0; i < 200000; ++i) {
                const long long now = mono_clock::NowNs();
                backs[t] += now < last;
                last = now;
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    EXPECT_EQ(backs, std::vector<int>(3, 0));
    // What another thread reads later is not earlier than what this one read before.
    const long long before = mono_clock::NowNs();
    long long other = 0;
    std::thread([&] { other = mono_clock::NowNs(); }).join();
    EXPECT_GE(other, before);
}
