// Feeds the stream-form framing: the input is cut into messages as a
// connection's receive buffer is (MakeStreamFromBuffer), and every framed
// message is decoded by its header type into message memory (SerializeAll),
// then checked to round-trip.
#include <cstdint>
#include <string>

#include "fuzz_util.h"
#include "msg_roundtrip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static qrxfuzz::MsgMem mem;
    std::string buf(reinterpret_cast<const char*>(data), size);
    CMsgHdrStream in(false, 0, 0);
    CMsgMemAllocator alloc;
    size_t off = 0;
    while (off < buf.size()) {
        const int len =
            CMsgHdrStream::MakeStreamFromBuffer(&buf[off], static_cast<int>(buf.size() - off), &in);
        if (len <= 0) {
            break;  // incomplete or malformed: a connection waits or closes
        }
        FUZZ_CHECK(static_cast<size_t>(len) <= buf.size() - off);
        FUZZ_CHECK(in.GetMsgLength() == len);
        FUZZ_CHECK(in.GetReadOffset() == CMsgHdrStream::HDR_LEN);
        alloc.DeallocateAll();
        if (in.SerializeAll(mem.Hdr(), &alloc)) {
            FUZZ_CHECK(mem.Hdr()->hdr_typ == in.GetHdrType());
            qrxfuzz::CheckRoundTrip(mem);
        }
        off += static_cast<size_t>(len);
    }
    return 0;
}
