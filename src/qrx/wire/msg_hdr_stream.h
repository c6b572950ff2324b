// The header-aware field stream: converts between a message in memory and its
// stream form, which begins with an 8-byte header (length, header type,
// message type, sub-message type, each big-endian 16-bit) followed by the
// fields of the family header and the body.
//
// Output: a family serializer calls Reset(), sets the three types, appends the
// fields and calls Flush(), which stores the length; the caller then writes
// GetBuf(). Input: MakeStreamFromBuffer() frames one received message in
// place and SerializeAll() reads it into MSG_MEM_LEN bytes of message memory.
#pragma once

#include "qrx/wire/msg_hdr.h"
#include "qrx/wire/msg_mem_allocator.h"
#include "qrx/wire/net_stream.h"

class CMsgHdrStream : public CNetStream {
public:
    static constexpr int HDR_LEN = 8;

    // An owning stream; an output stream starts with its 8 header bytes
    // reserved, an input stream reads from byte 8.
    CMsgHdrStream(bool bIsOut, int nInitLength, int nGrowBy);
    // Attached to the caller's buffer; an input stream reads from byte 8.
    CMsgHdrStream(char* pStream, int nLen, bool bIsOut);
    ~CMsgHdrStream() override = default;

    // Read and write positions behind the header. An output stream's header
    // bytes are cleared.
    void Reset();

    // Output streams only: store the value at bytes 2, 4 and 6.
    void SetHdrType(short nType) { PutHdrField(2, nType); }
    void SetMsgType(short nType) { PutHdrField(4, nType); }
    void SetSubMsgType(short nType) { PutHdrField(6, nType); }

    // Output: stores the write position, header included, at bytes 0-1. False
    // when the message exceeds 65,535 bytes (the length would wrap; logged as
    // "Message too big") or the header is missing: such a message must not be
    // sent. Input: rewinds the read position to byte 8.
    bool Flush();

    // The header fields of the buffer; 0 when the buffer is shorter than the
    // field. The length is unsigned (0 to 65,535); the types are sign-extended.
    int GetMsgLength() const { return static_cast<uint16_t>(GetHdrField(0)); }
    short GetHdrType() const { return GetHdrField(2); }
    short GetMsgType() const { return GetHdrField(4); }
    short GetSubMsgType() const { return GetHdrField(6); }

    // The framing test of the stream form, for bytes received at pBuf:
    //   > 0  a whole message of that many bytes is present; pStream (an input
    //        stream) is attached to it in place, reading from byte 8;
    //   0    not yet complete (fewer than 2 bytes, or fewer than its length),
    //        or pStream is missing or an output stream;
    //   -1   malformed: the length field is below 8, the size of the stream
    //        header itself. No later bytes can repair it: close the connection.
    static int MakeStreamFromBuffer(char* pBuf, int nBufLen, CMsgHdrStream* pStream);

    // Converts one message in the stream's direction: writes pMsg (output) or
    // reads the framed message into pMsg, which must provide MSG_MEM_LEN bytes
    // (input). True when the message was handled.
    bool SerializeAll(MsgHdrCmn* pMsg, CMsgMemAllocator* pAllocator);

    // The warning of a message type a family serializer does not handle:
    // szSerializer directly followed by "Unhandled Msg Type:" and the type.
    static void LogUnhandledMsgType(const char* szSerializer, short nMsgType);

    // Family serializers, each for one header type.
    bool SerializeCliMsg(cliMsgHdr* pMsg);
    bool SerializePort(MsgHdrPort* pMsg);
    bool SerializeOrdSrv(MsgHdrOrdSrv* pMsg);
    bool SerializePmgr(MsgHdrPmgr* pMsg);
    bool SerializeRemote(MsgAppFiles* pMsg);
    bool SerializeDepth(MsgHdrRtpDepth* pMsg, CMsgMemAllocator* pAllocator);
    bool SerializeOex(MsgHdrOex* pMsg);
    bool SerializeBar(MsgHdrBar* pMsg);
    bool SerializeDacs(MsgHdrDacs* pMsg);
    bool SerializeSym(MsgHdrSym* pMsg);
    bool SerializeMMQuote(MsgHdrMMQuote* pMsg);
    bool SerializeTdb(MsgHdrTdb* pMsg);
    bool SerializeOms(MsgHdrOms* pMsg);
    bool SerializeMos(MsgHdrMos* pMsg);

protected:
    // Output: Reset() and the three types, the message and sub-message type
    // taken from pMsg.
    void BeginOut(short nHdrType, const MsgHdrCmn* pMsg) {
        Reset();
        SetHdrType(nHdrType);
        SetMsgType(pMsg->mtyp);
        SetSubMsgType(pMsg->submtyp);
    }
    // Input: the common header of pMsg from the stream header.
    void BeginIn(short nHdrType, MsgHdrCmn* pMsg) const {
        pMsg->hdr_typ = nHdrType;
        pMsg->mtyp = GetMsgType();
        pMsg->submtyp = GetSubMsgType();
    }
    // The message type being converted: from pMsg on output, from the stream
    // header on input.
    short CurrentMsgType(const MsgHdrCmn* pMsg) const {
        return m_bIsOut ? pMsg->mtyp : GetMsgType();
    }
    // A family without a stream form here: logs the message type as unhandled
    // (LogUnhandledMsgType) and refuses it.
    bool RefuseFamily(const char* szSerializer, const MsgHdrCmn* pMsg);

private:
    void PutHdrField(size_t nOffset, short nValue) {
        if (m_bIsOut && m_pData != nullptr && m_nLen >= HDR_LEN) {
            StoreBE16(m_pData + nOffset, static_cast<uint16_t>(nValue));
        }
    }
    short GetHdrField(size_t nOffset) const {
        if (m_pData == nullptr || m_nLen < nOffset + 2) {
            return 0;
        }
        return static_cast<short>(LoadBE16(m_pData + nOffset));
    }
    // Header types 7 and 9 carry no body in the stream form.
    bool SerializeBodiless(MsgHdrCmn* pMsg, short nHdrType);
};
