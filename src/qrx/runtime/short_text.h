// Copying and comparing short byte ranges inline, in at most two overlapping words and without
// a library call: topics, symbols and exchange codes are mostly a few characters long and are
// copied and compared for every tick.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace short_text {

// Ranges up to this length take the inline paths.
constexpr size_t kMaxLen = 16;

template <class W>
inline W LoadWord(const char* p) {
    W w;
    memcpy(&w, p, sizeof w);
    return w;
}

template <class W>
inline void StoreWord(char* p, W w) {
    memcpy(p, &w, sizeof w);
}

// Copies n (1..16) bytes; every byte is read before any is written, so the ranges may overlap.
inline void Copy(char* dst, const char* src, size_t n) {
    if (n >= 8) {
        const auto a = LoadWord<uint64_t>(src);
        const auto b = LoadWord<uint64_t>(src + n - 8);
        StoreWord(dst, a);
        StoreWord(dst + n - 8, b);
    } else if (n >= 4) {
        const auto a = LoadWord<uint32_t>(src);
        const auto b = LoadWord<uint32_t>(src + n - 4);
        StoreWord(dst, a);
        StoreWord(dst + n - 4, b);
    } else {
        const char a = src[0];
        const char b = src[n / 2];
        const char c = src[n - 1];
        dst[0] = a;
        dst[n / 2] = b;
        dst[n - 1] = c;
    }
}

// True when the n bytes at a and b are the same; inline up to kMaxLen bytes.
inline bool Equal(const char* a, const char* b, size_t n) {
    if (n > kMaxLen) {
        return memcmp(a, b, n) == 0;
    }
    if (n >= 8) {
        return LoadWord<uint64_t>(a) == LoadWord<uint64_t>(b) &&
               LoadWord<uint64_t>(a + n - 8) == LoadWord<uint64_t>(b + n - 8);
    }
    if (n >= 4) {
        return LoadWord<uint32_t>(a) == LoadWord<uint32_t>(b) &&
               LoadWord<uint32_t>(a + n - 4) == LoadWord<uint32_t>(b + n - 4);
    }
    return n == 0 || (a[0] == b[0] && a[n / 2] == b[n / 2] && a[n - 1] == b[n - 1]);
}

}  // namespace short_text
