// Replaces the C allocator entry points of the executable with counting forwarders to the C
// library's own. Left out under the sanitizers, which replace them too.
#include "common/alloc_counter.h"

#include <cstddef>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QRX_COUNT_ALLOCS 0
#else
#define QRX_COUNT_ALLOCS 1
#endif

namespace {
thread_local bool t_counting = false;
thread_local long t_count = 0;
}  // namespace

#if QRX_COUNT_ALLOCS
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);

void* malloc(size_t n) {
    if (t_counting) {
        ++t_count;
    }
    return __libc_malloc(n);
}
void* calloc(size_t n, size_t m) {
    if (t_counting) {
        ++t_count;
    }
    return __libc_calloc(n, m);
}
void* realloc(void* p, size_t n) {
    if (t_counting) {
        ++t_count;
    }
    return __libc_realloc(p, n);
}
void free(void* p) {
    __libc_free(p);
}
}
#endif

namespace qrxtest {

bool AllocCounter::Available() {
    return QRX_COUNT_ALLOCS != 0;
}

void AllocCounter::Start() {
    t_count = 0;
    t_counting = true;
}

long AllocCounter::Stop() {
    t_counting = false;
    return t_count;
}

}  // namespace qrxtest
