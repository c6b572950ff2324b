// Helpers shared by the proxy tests.
#pragma once

namespace proxytest {

// Counts calls of malloc, calloc and realloc (and so of operator new) made between Start and
// Stop on this thread. Not available under the sanitizers, which own the allocator:
// Available() is then false.
struct AllocCounter {
    static bool Available();
    void Start();
    long Stop();
};

}  // namespace proxytest
