// Feeds the depth message family (header type 10): one byte picks the
// sub-type (mostly the known ones), then the header fields and the body.
// Each decoded message must round-trip.
#include <cstdint>
#include <string>

#include "fuzz_util.h"
#include "msg_roundtrip.h"
#include "qrx/wire/depth_msgs.h"
#include "qrx/wire/session_msgs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static qrxfuzz::MsgMem mem;
    qrxfuzz::Input input(data, size);
    const uint8_t sel = input.Byte();
    short mtyp = CM_DEPTH;
    short submtyp;
    if (sel < 0xf0) {
        submtyp = static_cast<short>(DEPTH_SYMBOL_108 + sel % 31);  // 108 to 138
    } else if (sel < 0xf8) {
        mtyp = sel & 1 ? CM_HEARTBEAT : CM_LOGIN;
        submtyp = mtyp;
    } else {
        mtyp = static_cast<short>(input.U16());
        submtyp = static_cast<short>(input.U16());
    }
    std::string frame = qrxfuzz::StreamFrame(MsgHdrRtpDepth::HDR_TYPE, mtyp, submtyp, input.Rest());
    CMsgMemAllocator alloc;
    if (!qrxfuzz::DecodeFrame(frame, mem, alloc)) {
        return 0;
    }
    const MsgHdrRtpDepth* pDepth = reinterpret_cast<const MsgHdrRtpDepth*>(mem.Hdr());
    FUZZ_CHECK(memchr(pDepth->m_szSymbol, 0, sizeof pDepth->m_szSymbol) != nullptr);
    FUZZ_CHECK(pDepth->msglen >= MsgHdrRtpDepth::BODY_OFFSET);
    qrxfuzz::CheckRoundTrip(mem);
    return 0;
}
