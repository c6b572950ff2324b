// Decoding one stream-form message as a connection does, and the round-trip
// property of the message families: a message that decodes re-encodes to
// bytes that decode to a message which re-encodes to the same bytes.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_util.h"
#include "qrx/wire/depth_msgs.h"
#include "qrx/wire/msg_hdr_stream.h"

namespace qrxfuzz {

// Message memory as a connection provides it.
struct alignas(8) MsgMem {
    char bytes[MSG_MEM_LEN];
    MsgHdrCmn* Hdr() { return reinterpret_cast<MsgHdrCmn*>(bytes); }
};

// Decodes the stream-form message in frame (its length field is rewritten to
// the frame's size) into mem; true when the family accepted it.
inline bool DecodeFrame(std::string& frame, MsgMem& mem, CMsgMemAllocator& alloc) {
    if (frame.size() < static_cast<size_t>(CMsgHdrStream::HDR_LEN) ||
        frame.size() > static_cast<size_t>(MAX_MSG_LEN)) {
        return false;
    }
    StoreBE16(&frame[0], static_cast<uint16_t>(frame.size()));
    CMsgHdrStream in(false, 0, 0);
    if (CMsgHdrStream::MakeStreamFromBuffer(&frame[0], static_cast<int>(frame.size()), &in) !=
        static_cast<int>(frame.size())) {
        return false;
    }
    alloc.DeallocateAll();
    return in.SerializeAll(mem.Hdr(), &alloc);
}

// The stream form of a decoded message; false when the family refuses to
// write it.
inline bool EncodeMsg(MsgMem& mem, std::string& out) {
    CMsgHdrStream strm(true, 0, 0);
    if (!strm.SerializeAll(mem.Hdr(), nullptr)) {
        return false;
    }
    char* p;
    int n;
    strm.GetBuf(p, n);
    out.assign(p, static_cast<size_t>(n));
    return true;
}

// The round trip of a message that decoded into mem: what it re-encodes to
// must decode, and re-encode to the same bytes. A message that the family
// declines to write back is left alone.
inline void CheckRoundTrip(MsgMem& mem) {
    static MsgMem second;
    std::string first;
    if (!EncodeMsg(mem, first)) {
        return;
    }
    std::string frame = first;
    CMsgMemAllocator alloc;
    const bool decoded = DecodeFrame(frame, second, alloc);
    FUZZ_CHECK(decoded);
    std::string again;
    const bool encoded = EncodeMsg(second, again);
    FUZZ_CHECK(encoded);
    FUZZ_CHECK(again == first);
}

// The stream header followed by body bytes.
inline std::string StreamFrame(short hdrType, short mtyp, short submtyp, const std::string& body) {
    std::string f(CMsgHdrStream::HDR_LEN, '\0');
    StoreBE16(&f[2], static_cast<uint16_t>(hdrType));
    StoreBE16(&f[4], static_cast<uint16_t>(mtyp));
    StoreBE16(&f[6], static_cast<uint16_t>(submtyp));
    f += body;
    if (f.size() > static_cast<size_t>(MAX_MSG_LEN)) {
        f.resize(MAX_MSG_LEN);
    }
    StoreBE16(&f[0], static_cast<uint16_t>(f.size()));
    return f;
}

}  // namespace qrxfuzz
