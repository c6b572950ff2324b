// Serializers of the order, portfolio and middle-office families. Their bodies
// have no stream form in this library: every message is logged as unhandled
// and refused, so that nothing half-converted is sent or delivered.
#include "qrx/wire/msg_hdr_stream.h"

bool CMsgHdrStream::SerializeCliMsg(cliMsgHdr* pMsg) {
    return RefuseFamily("SerializeCliMsg", pMsg);
}

bool CMsgHdrStream::SerializePmgr(MsgHdrPmgr* pMsg) {
    return RefuseFamily("SerializePmgr", pMsg);
}

bool CMsgHdrStream::SerializeRemote(MsgAppFiles* pMsg) {
    return RefuseFamily("SerializeRemote", pMsg);
}

bool CMsgHdrStream::SerializeOex(MsgHdrOex* pMsg) {
    return RefuseFamily("SerializeOex", pMsg);
}

bool CMsgHdrStream::SerializeBar(MsgHdrBar* pMsg) {
    return RefuseFamily("SerializeBar", pMsg);
}

bool CMsgHdrStream::SerializeDacs(MsgHdrDacs* pMsg) {
    return RefuseFamily("SerializeDacs", pMsg);
}

bool CMsgHdrStream::SerializeMMQuote(MsgHdrMMQuote* pMsg) {
    return RefuseFamily("SerializeMMQuote", pMsg);
}

bool CMsgHdrStream::SerializeTdb(MsgHdrTdb* pMsg) {
    return RefuseFamily("SerializeTdb", pMsg);
}

bool CMsgHdrStream::SerializeOms(MsgHdrOms* pMsg) {
    return RefuseFamily("SerializeOms", pMsg);
}

bool CMsgHdrStream::SerializeMos(MsgHdrMos* pMsg) {
    return RefuseFamily("SerializeMos", pMsg);
}
