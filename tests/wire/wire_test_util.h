// Helpers shared by the wire tests: the bytes of a stream, message memory of
// the size a connection provides, and delivery of a written message to a
// reading stream as a connection would do it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/stream_bytes.h"
#include "qrx/wire/msg_hdr_stream.h"

namespace wiretest {

using qrxtest::Bytes;
using qrxtest::Content;

// MSG_MEM_LEN bytes, 8-byte aligned, exactly sized so that the sanitizers see
// any write past the end.
struct MsgMem {
    std::vector<double> mem = std::vector<double>(MSG_MEM_LEN / sizeof(double));
    template <typename T>
    T* As() {
        return reinterpret_cast<T*>(mem.data());
    }
    char* Raw() { return reinterpret_cast<char*>(mem.data()); }
};

// Writes pMsg through a fresh output stream and returns its bytes; *pOk (when
// given) receives what SerializeAll returned.
inline Bytes Write(MsgHdrCmn* pMsg, bool* pOk = nullptr) {
    CMsgHdrStream out(true, 0, 0);
    const bool ok = out.SerializeAll(pMsg, nullptr);
    if (pOk != nullptr) {
        *pOk = ok;
    }
    return Content(out);
}

// Writes pMsg into buffers of every size from its header up to its whole length: only the
// buffer that takes every field gives a message (the same bytes as an unbounded write), and of
// any shorter one nothing at all is left. nIndex names the message in failures.
inline void ExpectWholeOrNothing(MsgHdrCmn* pMsg, size_t nIndex) {
    bool written = false;
    const Bytes full = Write(pMsg, &written);
    ASSERT_TRUE(written) << nIndex;
    for (size_t k = 8; k <= full.size(); ++k) {
        std::vector<char> buf(k, '\x55');
        CMsgHdrStream out(buf.data(), int(k), true);
        const bool ok = out.SerializeAll(pMsg, nullptr);
        EXPECT_EQ(ok, k == full.size()) << "message " << nIndex << " in " << k << " bytes";
        EXPECT_EQ(Content(out), ok ? full : Bytes()) << nIndex;
    }
}

// Frames the bytes as a received message and reads it into pMsg.
struct Received {
    explicit Received(const Bytes& b) : buf(b.begin(), b.end()) {}
    bool Read(MsgHdrCmn* pMsg, CMsgMemAllocator* pAlloc = nullptr) {
        framed = CMsgHdrStream::MakeStreamFromBuffer(buf.data(), int(buf.size()), &in);
        return framed > 0 && in.SerializeAll(pMsg, pAlloc);
    }
    std::vector<char> buf;
    CMsgHdrStream in{false, 0, 0};
    int framed = 0;
};

}  // namespace wiretest
