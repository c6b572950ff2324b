// A monotonic clock in nanoseconds for deadlines of a few microseconds that are checked on
// every tick. Where the processor's time-stamp counter runs at a constant rate it is read and
// scaled (a few nanoseconds); otherwise CLOCK_MONOTONIC is read (about 20 ns in a virtual
// machine, a third of what publishing a small tick costs).
#pragma once

namespace mono_clock {

// Nanoseconds since an arbitrary start; only differences mean anything. The first call in a
// process measures the counter's rate against CLOCK_MONOTONIC, spinning for a millisecond.
long long NowNs();

// True when NowNs reads the time-stamp counter.
bool UsesCycleCounter();

}  // namespace mono_clock
