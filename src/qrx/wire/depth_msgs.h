// Depth messages (header type 10): order-book depth, quotes and requests for
// quote keyed by the symbol and source of the MsgHdrRtpDepth header. All carry
// message type CM_DEPTH and are told apart by the sub-message type; logon and
// heartbeat use CM_LOGIN and CM_HEARTBEAT as in the other families. The
// sub-types are named after the records they carry.
#pragma once

#include <cstdint>

#include "qrx/wire/msg_hdr.h"

constexpr short CM_DEPTH = 1;

enum enDepthSubMsgType : short {
    DEPTH_SYMBOL_108 = 108,  // symbol and source only
    DEPTH_SYMBOL_109 = 109,
    DEPTH_MKT_DEPTH = 110,  // stMktDepth entries
    DEPTH_NO_BODY_111 = 111,
    DEPTH_NO_BODY_112 = 112,
    DEPTH_MKT_DEPTH_EX = 115,  // stMktDepthEx entries
    DEPTH_TERMINAL_INFO = 116,
    DEPTH_LOGOUT = 117,
    DEPTH_SYMBOL_118 = 118,
    DEPTH_SYMBOL_119 = 119,
    DEPTH_LOGIN_INFO = 120,
    DEPTH_NO_BODY_121 = 121,
    DEPTH_SUMMARY = 122,
    DEPTH_PARAM_STR = 123,
    DEPTH_SUBS_ERROR = 125,
    DEPTH_FX_RFQ_126 = 126,  // stFXRFQ
    DEPTH_FX_RFQ_127 = 127,
    DEPTH_FX_RFQ_128 = 128,
    DEPTH_FX_QUOTE = 129,  // stFXQuote entries
    DEPTH_CONN_STATUS = 130,
    DEPTH_FX_RFQ_131 = 131,
    DEPTH_SHORT_TEXT = 134,  // up to 7 characters in the first 8 body bytes
    DEPTH_SUBS_AUTH_STATUS = 135,
    DEPTH_FX_ALLOC_RFQ_136 = 136,  // stFXAllocRFQ with its stAlloc array
    DEPTH_FX_ALLOC_RFQ_137 = 137,
    DEPTH_FX_OPT_RFQ = 138  // stFXOptRFQ with its text
};

// Longest text of DEPTH_SHORT_TEXT, and the body bytes it occupies.
constexpr int DEPTH_SHORT_TEXT_LEN = 7;

struct stMktDepth {
    char cType;
    short iDepth;
    uint32_t nSize;
    double dblValue;
    uint32_t nRawSize;  // not carried on the wire
    double RawValue;    // not carried on the wire
};
static_assert(sizeof(stMktDepth) == 32, "stMktDepth is 32 bytes");

struct stMktDepthEx : stMktDepth {
    char szMMId[8];
};
static_assert(sizeof(stMktDepthEx) == 40, "stMktDepthEx is 40 bytes");

struct stFXQuote : stMktDepthEx {
    char szQuoteId[256];
};
static_assert(sizeof(stFXQuote) == 296, "stFXQuote is 296 bytes");

struct stLoginInfo {
    char m_szUsername[16];
    char m_szPassword[16];
};
static_assert(sizeof(stLoginInfo) == 32, "stLoginInfo is 32 bytes");

struct stTerminalInfo {
    char m_szSerialNo[32];
    char m_szTerminal[32];
};
static_assert(sizeof(stTerminalInfo) == 64, "stTerminalInfo is 64 bytes");

struct stDepthLogout {
    char m_szReason[64];
};

struct stDepthSubsError {
    char m_szReason[64];
};

struct stDepthSummary {
    bool m_bIsBid;
    int m_nVolume;
    double m_dblHigh;
    double m_dblLow;
    double m_dblVwap;
};
static_assert(sizeof(stDepthSummary) == 32, "stDepthSummary is 32 bytes");

struct stDepthParamStr {
    char m_szName[16];
    char m_szValue[48];
};

struct stFXRFQ {
    char m_szSender[16];
    char m_cType;
    int m_nSize;
    int m_nFarSize;
    int m_nReqID;
};
static_assert(sizeof(stFXRFQ) == 32, "stFXRFQ is 32 bytes");

struct stAlloc {
    char m_szAccount[30];
    uint32_t m_nShare;
    uint32_t m_nFarShare;
};
static_assert(sizeof(stAlloc) == 40, "stAlloc is 40 bytes");

// A received one points m_pAllocs at memory of the message allocator.
struct stFXAllocRFQ {
    char m_szSender[16];
    char m_cType;
    int m_nSize;
    int m_nFarSize;
    int m_nReqID;
    int m_nAllocs;
    stAlloc* m_pAllocs;
};
static_assert(sizeof(stFXAllocRFQ) == 48, "stFXAllocRFQ is 48 bytes");

// A received one points m_szSubAttributesStr at m_nLength characters of the
// message allocator, the last of them a NUL. The text is at most m_nLength - 1
// characters, so that it reads back whole.
struct stFXOptRFQ {
    char m_szSender[16];
    int m_nReqID;
    int m_nLength;
    char* m_szSubAttributesStr;
};
static_assert(sizeof(stFXOptRFQ) == 32, "stFXOptRFQ is 32 bytes");

// Largest m_nLength either side accepts: no text longer than a message can
// travel, and a reader allocates the whole length.
constexpr int DEPTH_OPT_RFQ_MAX_LEN = MAX_MSG_LEN;

struct stDepthConnStatus {
    char m_cSource;
    bool m_bIsUp;
    char m_szText[24];
};

struct stDepthSubsAuthStatus {
    bool m_bAuthStatus;
};
