#include "qrx/runtime/mono_clock.h"

#include <time.h>

#if defined(__x86_64__)
#include <cpuid.h>
#include <x86intrin.h>
#endif

namespace mono_clock {

namespace {

constexpr long long kCalibrationNs = 1000000;

long long SystemNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// The counter's reading and the system clock's at one moment, and the counter's period.
struct Scale {
    bool bCycles = false;
    unsigned long long nCycles0 = 0;
    long long nNs0 = 0;
    unsigned long long nNsPerCycle32 = 0;  // nanoseconds per cycle, times 2^32
};

#if defined(__x86_64__)
// The counter ticks at one rate whatever the core's frequency or sleep state.
bool HasInvariantCounter() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    return __get_cpuid(0x80000007u, &a, &b, &c, &d) != 0 && (d & (1u << 8)) != 0;
}
#endif

Scale Measure() {
    Scale s;
#if defined(__x86_64__)
    if (!HasInvariantCounter()) {
        return s;
    }
    const long long t0 = SystemNs();
    const unsigned long long c0 = __rdtsc();
    long long t1 = t0;
    unsigned long long c1 = c0;
    while (t1 - t0 < kCalibrationNs) {
        t1 = SystemNs();
        c1 = __rdtsc();
    }
    if (c1 <= c0) {
        return s;
    }
    const unsigned __int128 period = (static_cast<unsigned __int128>(t1 - t0) << 32) / (c1 - c0);
    // A counter slower than 100 MHz or faster than 100 GHz is not what it claims to be.
    if (period < (1ull << 32) / 100 || period > (1ull << 32) * 10) {
        return s;
    }
    s.bCycles = true;
    s.nCycles0 = c1;
    s.nNs0 = t1;
    s.nNsPerCycle32 = static_cast<unsigned long long>(period);
#endif
    return s;
}

const Scale& TheScale() {
    static const Scale s = Measure();
    return s;
}

}  // namespace

long long NowNs() {
#if defined(__x86_64__)
    const Scale& s = TheScale();
    if (s.bCycles) {
        const unsigned long long c = __rdtsc();
        if (c >= s.nCycles0) {
            const unsigned __int128 ns =
                static_cast<unsigned __int128>(c - s.nCycles0) * s.nNsPerCycle32;
            return s.nNs0 + static_cast<long long>(ns >> 32);
        }
    }
#endif
    return SystemNs();  // also a core whose counter reads behind the one measured
}

bool UsesCycleCounter() {
    return TheScale().bCycles;
}

}  // namespace mono_clock
