// The bytes of a field stream, and input streams over them, for the tests of
// the areas that encode and decode bodies.
#pragma once

#include <cstdint>
#include <vector>

#include "qrx/wire/net_stream.h"

namespace qrxtest {

using Bytes = std::vector<uint8_t>;

// What the stream holds: the bytes written to an output stream, all the bytes
// of an input one.
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

}  // namespace qrxtest
