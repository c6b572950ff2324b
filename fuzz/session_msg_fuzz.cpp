// Feeds the session messages (logon, heartbeat, port and password requests)
// through the families that carry them: the first bytes choose the header
// type and message type, the rest is the body. Each decoded message must
// round-trip; the logon and heartbeat readers are also fed the body directly.
#include <cstdint>
#include <string>

#include "fuzz_util.h"
#include "msg_roundtrip.h"
#include "qrx/wire/depth_msgs.h"
#include "qrx/wire/session_msgs.h"
#include "qrx/wire/sym_msgs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static qrxfuzz::MsgMem mem;
    static const short kHdrTypes[] = {MsgHdrPort::HDR_TYPE, MsgHdrOrdSrv::HDR_TYPE,
                                      MsgHdrRtpDepth::HDR_TYPE, MsgHdrSym::HDR_TYPE};
    static const short kMsgTypes[] = {CM_LOGIN, CM_HEARTBEAT, CM_PORT, CM_PASSWD};
    qrxfuzz::Input input(data, size);
    const uint8_t sel = input.Byte();
    const short hdrType = kHdrTypes[sel & 3];
    // Mostly the session types with their matching sub-type; sometimes any.
    short mtyp = kMsgTypes[(sel >> 2) & 3];
    short submtyp = mtyp;
    if (sel & 0x10) {
        submtyp = static_cast<short>(input.U16());
    }
    if (sel & 0x20) {
        mtyp = static_cast<short>(input.U16());
    }
    const std::string body = input.Rest();

    std::string frame = qrxfuzz::StreamFrame(hdrType, mtyp, submtyp, body);
    CMsgMemAllocator alloc;
    if (qrxfuzz::DecodeFrame(frame, mem, alloc)) {
        qrxfuzz::CheckRoundTrip(mem);
    }

    std::string copy = body;
    CNetStream strm(copy.empty() ? nullptr : &copy[0], static_cast<int>(copy.size()), false);
    stLogin login;
    if (ReadLogin(strm, login)) {
        // Every text of a decoded logon is terminated within its array.
        FUZZ_CHECK(memchr(login.username, 0, sizeof login.username) != nullptr);
        FUZZ_CHECK(memchr(login.text_value, 0, sizeof login.text_value) != nullptr);
        FUZZ_CHECK(memchr(login.UserLoginName, 0, sizeof login.UserLoginName) != nullptr);
    }
    CNetStream strm2(copy.empty() ? nullptr : &copy[0], static_cast<int>(copy.size()), false);
    stHeartBeat hb;
    ReadHeartBeat(strm2, hb);
    return 0;
}
