// Helpers shared by the market-data tests: the bytes of a stream, input streams
// over private copies of bytes, and a count of heap allocations.
#pragma once

#include <cstdint>
#include <vector>

#include "common/alloc_counter.h"
#include "qrx/wire/net_stream.h"

namespace mdtest {

using Bytes = std::vector<uint8_t>;

inline Bytes Content(const CNetStream& s) {
    char* p = nullptr;
    int n = 0;
    s.GetBuf(p, n);
    return Bytes(reinterpret_cast<uint8_t*>(p), reinterpret_cast<uint8_t*>(p) + n);
}

// An input stream over an exactly sized private copy of the bytes, so that the
// sanitizers see any read past the end.
struct Input {
    explicit Input(const Bytes& b) : buf(b.begin(), b.end()) {
        strm.Attach(reinterpret_cast<char*>(buf.data()), int(buf.size()), false);
    }
    std::vector<uint8_t> buf;
    CNetStream strm{nullptr, 0, false};
};

using qrxtest::AllocCounter;

}  // namespace mdtest
