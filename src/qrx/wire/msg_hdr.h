// Message headers: the common 8-byte header of every message in memory, the
// family headers that extend it, and the rules by which message lengths are set.
// Each family header ends with `mstrt`, the 8-byte-aligned first slot of the
// body; the distance to it is the family's body offset, checked at compile time
// because both ends of a raw-form connection share these layouts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// Longest message in either form: lengths are unsigned 16-bit.
constexpr int MAX_MSG_LEN = 65535;
// Memory a connection provides for one received message.
constexpr int MSG_MEM_LEN = 65536;

struct MsgHdrCmn {
    short hdr_typ;          // selects the family
    short mtyp;             // message type within the family
    short submtyp;          // sub-message type
    unsigned short msglen;  // whole message in memory: headers and body
};
static_assert(sizeof(MsgHdrCmn) == 8, "common header is 8 bytes");
static_assert(offsetof(MsgHdrCmn, msglen) == 6, "msglen at bytes 6-7");

// Portfolio side.
enum PorSide : int32_t {
    PS_NIL = 1,
    PS_B = 2,
    PS_S = 3,
    PS_H = 4,
    PS_C = 5,
    PS_E = 6,
    PS_ALL = 99
};

// Rtp messages, raw form only.
struct MsgHdrRtp : MsgHdrCmn {
    static constexpr short HDR_TYPE = 1;
    static constexpr int BODY_OFFSET = 8;
    double mstrt[1];
};

// Client order messages.
struct cliMsgHdr : MsgHdrCmn {
    static constexpr short HDR_TYPE = 3;
    static constexpr int BODY_OFFSET = 144;
    char m_reserved[136];
    double mstrt[1];
};

// Session control: port requests, logon, heartbeat, password and user queries.
struct MsgHdrPort : MsgHdrCmn {
    static constexpr short HDR_TYPE = 4;
    static constexpr int BODY_OFFSET = 72;
    int n1;  // a count (the entries of a portfolio file list)
    char por_nam[16];
    char por_fil[30];
    PorSide pside;
    int session_id;
    double mstrt[1];
};

// Order server requests and acknowledgements; also logon and heartbeat.
struct MsgHdrOrdSrv : MsgHdrCmn {
    static constexpr short HDR_TYPE = 5;
    static constexpr int BODY_OFFSET = 8;
    double mstrt[1];
};

// Portfolio manager messages.
struct MsgHdrPmgr : MsgHdrCmn {
    static constexpr short HDR_TYPE = 6;
    static constexpr int BODY_OFFSET = 8;
    double mstrt[1];
};

// Remote application file messages.
struct MsgAppFiles : MsgHdrCmn {
    static constexpr short HDR_TYPE = 8;
    static constexpr int BODY_OFFSET = 24;
    char m_reserved[16];
    double mstrt[1];
};

// Mirr messages share header type 8; the stream form treats them as MsgAppFiles.
struct MsgHdrMirr : MsgHdrCmn {
    static constexpr short HDR_TYPE = 8;
    static constexpr int BODY_OFFSET = 16;
    char m_reserved[8];
    double mstrt[1];
};

// CMon messages addressed by a destination name; they carry no body on a stream.
struct MsgHdrCMon : MsgHdrCmn {
    static constexpr short HDR_TYPE = 9;
    static constexpr int BODY_OFFSET = 40;
    char dest[30];
    double mstrt[1];
};

// Market depth.
struct MsgHdrRtpDepth : MsgHdrCmn {
    static constexpr short HDR_TYPE = 10;
    static constexpr int BODY_OFFSET = 48;
    char m_szSymbol[30];
    char m_cSource;
    int m_dummy;
    double mstrt[1];
};

// Oex messages.
struct MsgHdrOex : MsgHdrCmn {
    static constexpr short HDR_TYPE = 12;
    static constexpr int BODY_OFFSET = 8;
    double mstrt[1];
};

// Bar requests and replies for one symbol.
struct MsgHdrBar : MsgHdrCmn {
    static constexpr short HDR_TYPE = 13;
    static constexpr int BODY_OFFSET = 48;
    char m_reserved[40];
    double mstrt[1];
};

// Dacs messages about a resource and an entity.
struct MsgHdrDacs : MsgHdrCmn {
    static constexpr short HDR_TYPE = 14;
    static constexpr int BODY_OFFSET = 216;
    char m_reserved[208];
    double mstrt[1];
};

// Market data and subscriptions.
struct MsgHdrSym : MsgHdrCmn {
    static constexpr short HDR_TYPE = 15;
    static constexpr int BODY_OFFSET = 8;
    double mstrt[1];
};

// Market-maker quotes.
struct MsgHdrMMQuote : MsgHdrCmn {
    static constexpr short HDR_TYPE = 16;
    static constexpr int BODY_OFFSET = 8;
    double mstrt[1];
};

// Tdb replies delivered in chunks.
struct MsgHdrTdb : MsgHdrCmn {
    static constexpr short HDR_TYPE = 18;
    static constexpr int BODY_OFFSET = 24;
    int m_nItemCount;
    int m_nRequestId;
    bool m_bLastChunk;
    double mstrt[1];
};

// Order management messages.
struct MsgHdrOms : MsgHdrCmn {
    static constexpr short HDR_TYPE = 19;
    static constexpr int BODY_OFFSET = 8;
    double mstrt[1];
};

// Middle-office messages.
struct MsgHdrMos : MsgHdrCmn {
    static constexpr short HDR_TYPE = 20;
    static constexpr int BODY_OFFSET = 72;
    char m_reserved[64];
    double mstrt[1];
};

// The body as bytes.
template <typename T>
inline char* MsgBody(T* pm) {
    return reinterpret_cast<char*>(pm->mstrt);
}
template <typename T>
inline const char* MsgBody(const T* pm) {
    return reinterpret_cast<const char*>(pm->mstrt);
}

// The body as a record of type R, cleared for a reader to fill; nBodyLen
// receives the record's size.
template <typename R>
inline R* ClearedBody(char* body, int& nBodyLen) {
    memset(body, 0, sizeof(R));
    nBodyLen = static_cast<int>(sizeof(R));
    return reinterpret_cast<R*>(body);
}

namespace qrx_msg_len {
constexpr unsigned short RoundUp4(int n) {
    return static_cast<unsigned short>((n + 3) & ~3);
}
// Length of a message with a body of len bytes: at least one 8-byte body slot.
constexpr unsigned short Rounded(int offset, int len) {
    return len > 4 ? RoundUp4(offset + len) : static_cast<unsigned short>(offset + 8);
}
constexpr unsigned short Exact(int offset, int len) {
    return len > 4 ? static_cast<unsigned short>(offset + len)
                   : static_cast<unsigned short>(offset + 8);
}
}  // namespace qrx_msg_len

// Sets msglen to the distance from pm to the body start mstrt, plus len,
// rounded up to a multiple of 4.
inline void SetMsgLen(MsgHdrCmn* pm, long mstrt, int len) {
    pm->msglen = qrx_msg_len::RoundUp4(
        static_cast<int>(mstrt - static_cast<long>(reinterpret_cast<intptr_t>(pm))) + len);
}

// Per family: its body offset (checked against the layout), SetMsgLen (sets the
// header type and the length for a body of len bytes) and MsgLen (the body
// length). A length past 65,535 does not fit msglen: callers keep bodies within
// MSG_MEM_LEN less the body offset, rounded down to a multiple of 4.
#define QRX_MSG_BODY_OFFSET(T)                                              \
    static_assert(offsetof(T, mstrt) == T::BODY_OFFSET, #T " body offset"); \
    inline int MsgLen(const T* pm) {                                        \
        return pm->msglen - T::BODY_OFFSET;                                 \
    }

#define QRX_MSG_FAMILY(T, rule)                              \
    QRX_MSG_BODY_OFFSET(T)                                   \
    inline void SetMsgLen(T* pm, int len) {                  \
        pm->hdr_typ = T::HDR_TYPE;                           \
        pm->msglen = qrx_msg_len::rule(T::BODY_OFFSET, len); \
    }

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
QRX_MSG_FAMILY(MsgHdrRtp, Rounded)
QRX_MSG_FAMILY(cliMsgHdr, Rounded)
QRX_MSG_FAMILY(MsgHdrPort, Rounded)
QRX_MSG_FAMILY(MsgHdrOrdSrv, Rounded)
QRX_MSG_FAMILY(MsgHdrPmgr, Rounded)
QRX_MSG_FAMILY(MsgAppFiles, Rounded)
QRX_MSG_FAMILY(MsgHdrMirr, Rounded)
QRX_MSG_FAMILY(MsgHdrCMon, Rounded)
QRX_MSG_BODY_OFFSET(MsgHdrRtpDepth)  // its deserializer sets the length itself
QRX_MSG_FAMILY(MsgHdrOex, Rounded)
QRX_MSG_FAMILY(MsgHdrBar, Rounded)
QRX_MSG_FAMILY(MsgHdrDacs, Rounded)
QRX_MSG_FAMILY(MsgHdrSym, Exact)
QRX_MSG_FAMILY(MsgHdrMMQuote, Rounded)
QRX_MSG_FAMILY(MsgHdrTdb, Exact)
QRX_MSG_FAMILY(MsgHdrOms, Exact)
QRX_MSG_FAMILY(MsgHdrMos, Rounded)
static_assert(offsetof(MsgHdrPort, n1) == 8 && offsetof(MsgHdrPort, pside) == 60 &&
                  offsetof(MsgHdrPort, session_id) == 64,
              "MsgHdrPort layout");
static_assert(offsetof(MsgHdrRtpDepth, m_cSource) == 38 && offsetof(MsgHdrRtpDepth, m_dummy) == 40,
              "MsgHdrRtpDepth layout");
#pragma GCC diagnostic pop

#undef QRX_MSG_FAMILY
#undef QRX_MSG_BODY_OFFSET

// Size of cliMsgHdr with its first body slot.
inline int MsgLenHdr() {
    static_assert(sizeof(cliMsgHdr) == 152, "cliMsgHdr with one body slot");
    return static_cast<int>(sizeof(cliMsgHdr));
}

// Longest body a received message of family T may have: it fits the message
// memory behind the family header, and its length, rounded up, fits msglen.
template <typename T>
constexpr int MaxMsgBodyLen() {
    return (MSG_MEM_LEN - T::BODY_OFFSET - 4) & ~3;
}

// A message built in memory for sending: the common header directly followed
// by a body record, aligned as the family headers are. For families whose body
// starts at byte 8.
template <typename Body>
struct alignas(8) HdrMsg {
    MsgHdrCmn hdr;
    Body body;
};
