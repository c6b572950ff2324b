// Counts the heap allocations made on the calling thread, so that tests and benchmarks can check
// that a hot path allocates nothing. Only executables built with tests/support/alloc_counter.cpp
// (qrx_count_allocs in cmake/qrx.cmake) have it.
#pragma once

namespace qrxtest {

// Counts calls of malloc, calloc and realloc (and so of operator new) made between Start and
// Stop on this thread. Not available under the sanitizers, which own the allocator:
// Available() is then false and Stop() returns 0.
struct AllocCounter {
    static bool Available();
    void Start();
    long Stop();
};

}  // namespace qrxtest
