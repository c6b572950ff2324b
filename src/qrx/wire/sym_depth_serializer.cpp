// Serializers of the Sym family (header type 15) and the depth family (header
// type 10). Until their message tables are in place, both refuse every message.
#include "qrx/wire/msg_hdr_stream.h"

bool CMsgHdrStream::SerializeSym(MsgHdrSym* pMsg) {
    return RefuseFamily("SerializeSym", pMsg);
}

bool CMsgHdrStream::SerializeDepth(MsgHdrRtpDepth* pMsg, CMsgMemAllocator* /*pAllocator*/) {
    return RefuseFamily("SerializeDepth", pMsg);
}
