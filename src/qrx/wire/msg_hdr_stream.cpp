#include "qrx/wire/msg_hdr_stream.h"

#include <cstring>

#include "qrx/runtime/stdio_logger.h"

CMsgHdrStream::CMsgHdrStream(bool bIsOut, int nInitLength, int nGrowBy)
    : CNetStream(bIsOut, nInitLength, nGrowBy) {
    Reset();
}

CMsgHdrStream::CMsgHdrStream(char* pStream, int nLen, bool bIsOut)
    : CNetStream(pStream, nLen, bIsOut) {
    if (!bIsOut) {
        m_nReadOffset = HDR_LEN;
    }
}

void CMsgHdrStream::Reset() {
    m_nReadOffset = HDR_LEN;
    if (m_bIsOut) {
        static const char zeros[HDR_LEN] = {};
        m_nWriteOffset = 0;
        PutBytes(zeros, HDR_LEN);  // refused only by an attached buffer under 8 bytes
    } else {
        m_nWriteOffset = m_nLen < HDR_LEN ? m_nLen : HDR_LEN;
    }
}

bool CMsgHdrStream::Flush() {
    if (!m_bIsOut) {
        m_nReadOffset = HDR_LEN;
        return true;
    }
    if (m_nWriteOffset < HDR_LEN) {
        return false;
    }
    PutHdrField(0, static_cast<short>(static_cast<uint16_t>(m_nWriteOffset)));
    // A length that does not fit the 16-bit field: the message must not reach the peer.
    if (m_nWriteOffset > static_cast<size_t>(MAX_MSG_LEN)) {
        QRX_LOG_ERROR("A message has not been serialized because: Message too big: "
                      << static_cast<unsigned long>(m_nWriteOffset));
        return false;
    }
    return true;
}

int CMsgHdrStream::MakeStreamFromBuffer(char* pBuf, int nBufLen, CMsgHdrStream* pStream) {
    if (pStream == nullptr || pStream->m_bIsOut || pBuf == nullptr || nBufLen < 2) {
        return 0;
    }
    const int len = LoadBE16(pBuf);
    if (len < HDR_LEN) {
        return -1;
    }
    if (len > nBufLen) {
        return 0;
    }
    pStream->Attach(pBuf, len, false);
    pStream->m_nReadOffset = HDR_LEN;
    return len;
}

bool CMsgHdrStream::SerializeAll(MsgHdrCmn* pMsg, CMsgMemAllocator* pAllocator) {
    if (pMsg == nullptr) {
        QRX_LOG_ERROR("A message has not been serialized because: No message");
        return false;
    }
    const short hdrType = m_bIsOut ? pMsg->hdr_typ : GetHdrType();
    bool ok;
    switch (static_cast<uint16_t>(hdrType)) {
        case cliMsgHdr::HDR_TYPE:
            ok = SerializeCliMsg(static_cast<cliMsgHdr*>(pMsg));
            break;
        case MsgHdrPort::HDR_TYPE:
            ok = SerializePort(static_cast<MsgHdrPort*>(pMsg));
            break;
        case MsgHdrOrdSrv::HDR_TYPE:
            ok = SerializeOrdSrv(static_cast<MsgHdrOrdSrv*>(pMsg));
            break;
        case MsgHdrPmgr::HDR_TYPE:
            ok = SerializePmgr(static_cast<MsgHdrPmgr*>(pMsg));
            break;
        case 7:
        case MsgHdrCMon::HDR_TYPE:
            ok = SerializeBodiless(pMsg, hdrType);
            break;
        case MsgAppFiles::HDR_TYPE:
            ok = SerializeRemote(static_cast<MsgAppFiles*>(pMsg));
            break;
        case MsgHdrRtpDepth::HDR_TYPE:
            ok = SerializeDepth(static_cast<MsgHdrRtpDepth*>(pMsg), pAllocator);
            break;
        case MsgHdrOex::HDR_TYPE:
            ok = SerializeOex(static_cast<MsgHdrOex*>(pMsg));
            break;
        case MsgHdrBar::HDR_TYPE:
            ok = SerializeBar(static_cast<MsgHdrBar*>(pMsg));
            break;
        case MsgHdrDacs::HDR_TYPE:
            ok = SerializeDacs(static_cast<MsgHdrDacs*>(pMsg));
            break;
        case MsgHdrSym::HDR_TYPE:
            ok = SerializeSym(static_cast<MsgHdrSym*>(pMsg));
            break;
        case MsgHdrMMQuote::HDR_TYPE:
            ok = SerializeMMQuote(static_cast<MsgHdrMMQuote*>(pMsg));
            break;
        case MsgHdrTdb::HDR_TYPE:
            ok = SerializeTdb(static_cast<MsgHdrTdb*>(pMsg));
            break;
        case MsgHdrOms::HDR_TYPE:
            ok = SerializeOms(static_cast<MsgHdrOms*>(pMsg));
            break;
        case MsgHdrMos::HDR_TYPE:
            ok = SerializeMos(static_cast<MsgHdrMos*>(pMsg));
            break;
        default:
            QRX_LOG_ERROR(
                "A message has not been serialized because: Unhandled Header Type: " << hdrType);
            return false;
    }
    // An output message too big for its length field was refused (and logged) by Flush.
    return ok;
}

bool CMsgHdrStream::SerializeBodiless(MsgHdrCmn* pMsg, short nHdrType) {
    if (m_bIsOut) {
        // Nothing of such a message survives the stream form: refuse it rather
        // than leave the previous message in the buffer for the caller to send.
        QRX_LOG_ERROR(
            "A message has not been serialized because: Unhandled Header Type: " << nHdrType);
        return false;
    }
    // Accepted without reading; the message memory gets a clean header and an
    // empty body instead of whatever it held before.
    if (nHdrType == MsgHdrCMon::HDR_TYPE) {
        MsgHdrCMon* pCMon = static_cast<MsgHdrCMon*>(pMsg);
        BeginIn(nHdrType, pCMon);
        memset(pCMon->dest, 0, MsgHdrCMon::BODY_OFFSET - sizeof(MsgHdrCmn) + 8);
        SetMsgLen(pCMon, 0);
    } else {
        BeginIn(nHdrType, pMsg);
        memset(pMsg + 1, 0, 8);
        pMsg->msglen = sizeof(MsgHdrCmn) + 8;
    }
    return true;
}

void CMsgHdrStream::LogUnhandledMsgType(const char* szSerializer, short nMsgType) {
    QRX_LOG_WARNING(szSerializer << "Unhandled Msg Type:" << nMsgType);
}

bool CMsgHdrStream::RefuseFamily(const char* szSerializer, const MsgHdrCmn* pMsg) {
    LogUnhandledMsgType(szSerializer, CurrentMsgType(pMsg));
    return false;
}
