// Serializer of the depth family (header type 10). Most bodies begin on the
// wire with the header's symbol and source; the records lie behind the header
// at offset 48. A received message is refused when a field is missing, when a
// count is more than the message can hold, or when its entries would not fit
// the message memory; memory beyond the fixed body (allocations of the RFQ
// messages) comes from the message allocator.
#include <cstring>
#include <new>

#include "qrx/runtime/stdio_logger.h"
#include "qrx/wire/depth_msgs.h"
#include "qrx/wire/msg_hdr_stream.h"
#include "qrx/wire/session_msgs.h"

namespace {

enum class DepthBody {
    Unhandled,
    SymbolOnly,
    MktDepth,
    None,
    MktDepthEx,
    TerminalInfo,
    Logout,
    LoginInfo,
    Summary,
    ParamStr,
    SubsError,
    FXRFQ,
    FXQuote,
    ConnStatus,
    ShortText,
    SubsAuthStatus,
    FXAllocRFQ,
    FXOptRFQ,
    Login,
    HeartBeat
};

DepthBody ClassifyDepthSubType(short submtyp) {
    switch (submtyp) {
        case DEPTH_SYMBOL_108:
        case DEPTH_SYMBOL_109:
        case DEPTH_SYMBOL_118:
        case DEPTH_SYMBOL_119:
            return DepthBody::SymbolOnly;
        case DEPTH_MKT_DEPTH:
            return DepthBody::MktDepth;
        case DEPTH_NO_BODY_111:
        case DEPTH_NO_BODY_112:
        case DEPTH_NO_BODY_121:
            return DepthBody::None;
        case DEPTH_MKT_DEPTH_EX:
            return DepthBody::MktDepthEx;
        case DEPTH_TERMINAL_INFO:
            return DepthBody::TerminalInfo;
        case DEPTH_LOGOUT:
            return DepthBody::Logout;
        case DEPTH_LOGIN_INFO:
            return DepthBody::LoginInfo;
        case DEPTH_SUMMARY:
            return DepthBody::Summary;
        case DEPTH_PARAM_STR:
            return DepthBody::ParamStr;
        case DEPTH_SUBS_ERROR:
            return DepthBody::SubsError;
        case DEPTH_FX_RFQ_126:
        case DEPTH_FX_RFQ_127:
        case DEPTH_FX_RFQ_128:
        case DEPTH_FX_RFQ_131:
            return DepthBody::FXRFQ;
        case DEPTH_FX_QUOTE:
            return DepthBody::FXQuote;
        case DEPTH_CONN_STATUS:
            return DepthBody::ConnStatus;
        case DEPTH_SHORT_TEXT:
            return DepthBody::ShortText;
        case DEPTH_SUBS_AUTH_STATUS:
            return DepthBody::SubsAuthStatus;
        case DEPTH_FX_ALLOC_RFQ_136:
        case DEPTH_FX_ALLOC_RFQ_137:
            return DepthBody::FXAllocRFQ;
        case DEPTH_FX_OPT_RFQ:
            return DepthBody::FXOptRFQ;
        default:
            return DepthBody::Unhandled;
    }
}

// Classifies the message and logs an unhandled one.
DepthBody ClassifyDepthMsg(short mtyp, short submtyp) {
    DepthBody kind = DepthBody::Unhandled;
    switch (mtyp) {
        case CM_DEPTH:
            kind = ClassifyDepthSubType(submtyp);
            break;
        case CM_LOGIN:
            kind = submtyp == CM_LOGIN ? DepthBody::Login : DepthBody::Unhandled;
            break;
        case CM_HEARTBEAT:
            kind = submtyp == CM_HEARTBEAT ? DepthBody::HeartBeat : DepthBody::Unhandled;
            break;
        default:
            CMsgHdrStream::LogUnhandledMsgType("SerializeDepth.cpp", mtyp);
            return DepthBody::Unhandled;
    }
    if (kind == DepthBody::Unhandled) {
        QRX_LOG_WARNING("SerializeDepth.cpp"
                        << "Unhandled SubMsg Type:" << submtyp);
    }
    return kind;
}

// Entries of the sub-types with a count.
template <typename T>
struct DepthList {
    // Most entries whose message still fits its 16-bit length (and therefore
    // the message memory).
    static constexpr int MAX_ENTRIES =
        (MAX_MSG_LEN - MsgHdrRtpDepth::BODY_OFFSET) / static_cast<int>(sizeof(T));
};

// Length of a received message with a body of nLen bytes: at least one 8-byte
// body slot.
unsigned short DepthMsgLen(int nLen) {
    return static_cast<unsigned short>(MsgHdrRtpDepth::BODY_OFFSET + (nLen > 8 ? nLen : 8));
}

// Least wire bytes of one stAlloc: the account's length, two ints.
constexpr int ALLOC_MIN_WIRE = 2 + 4 + 4;
// Most allocations one message can carry.
constexpr int MAX_ALLOCS = MAX_MSG_LEN / ALLOC_MIN_WIRE;

// ---- writing ----

// Appends fields and remembers whether every one of them went in; after the
// first that did not, nothing more is appended.
class FieldWriter {
public:
    explicit FieldWriter(CNetStream& s) : m_s(s) {}

    template <typename T>
    FieldWriter& operator<<(const T& v) {
        m_bOk = m_bOk && m_s.Append(v);
        return *this;
    }
    // A character array up to its NUL, never beyond the array.
    template <size_t N>
    FieldWriter& Text(const char (&arr)[N]) {
        m_bOk = m_bOk && append_fixed_text(m_s, arr);
        return *this;
    }
    FieldWriter& Text(const char* p, int nLen) {
        m_bOk = m_bOk && m_s.AppendText(p, nLen);
        return *this;
    }
    // A record written by one of the shared session writers.
    template <typename T>
    FieldWriter& Record(bool (*write)(CNetStream&, const T&), const T& v) {
        m_bOk = m_bOk && write(m_s, v);
        return *this;
    }
    bool Ok() const { return m_bOk; }

private:
    CNetStream& m_s;
    bool m_bOk = true;
};

void WriteSymbolSource(FieldWriter& w, const MsgHdrRtpDepth* pMsg) {
    w.Text(pMsg->m_szSymbol) << pMsg->m_cSource;
}

void WriteEntry(FieldWriter& w, const stMktDepth& r) {
    w << r.dblValue << static_cast<int>(r.nSize) << r.cType << r.iDepth;
}

void WriteEntry(FieldWriter& w, const stMktDepthEx& r) {
    WriteEntry(w, static_cast<const stMktDepth&>(r));
    w.Text(r.szMMId);
}

void WriteEntry(FieldWriter& w, const stFXQuote& r) {
    WriteEntry(w, static_cast<const stMktDepthEx&>(r));
    w.Text(r.szQuoteId);
}

// The count follows from the message length.
template <typename T>
void WriteEntries(FieldWriter& w, const MsgHdrRtpDepth* pMsg) {
    const int bodyLen = MsgLen(pMsg);
    const int n = bodyLen > 0 ? bodyLen / static_cast<int>(sizeof(T)) : 0;
    w << n;
    const T* pEntries = reinterpret_cast<const T*>(MsgBody(pMsg));
    for (int i = 0; i < n && w.Ok(); ++i) {
        WriteEntry(w, pEntries[i]);
    }
}

// The fields stFXRFQ and stFXAllocRFQ share, in their wire order.
template <typename R>
void WriteRFQFields(FieldWriter& w, const R& p) {
    w.Text(p.m_szSender) << p.m_cType << p.m_nSize << p.m_nFarSize << p.m_nReqID;
}

// False when the message cannot be written as it lies in memory. A field the
// stream could not take shows in w.Ok().
bool WriteDepthBody(FieldWriter& w, DepthBody kind, const MsgHdrRtpDepth* pMsg) {
    const char* body = MsgBody(pMsg);
    switch (kind) {
        case DepthBody::Unhandled:
            return false;
        case DepthBody::None:
            return true;
        case DepthBody::SymbolOnly:
            WriteSymbolSource(w, pMsg);
            return true;
        case DepthBody::MktDepth:
            WriteSymbolSource(w, pMsg);
            WriteEntries<stMktDepth>(w, pMsg);
            return true;
        case DepthBody::MktDepthEx:
            WriteSymbolSource(w, pMsg);
            WriteEntries<stMktDepthEx>(w, pMsg);
            return true;
        case DepthBody::FXQuote:
            WriteSymbolSource(w, pMsg);
            WriteEntries<stFXQuote>(w, pMsg);
            return true;
        case DepthBody::TerminalInfo: {
            const stTerminalInfo* p = reinterpret_cast<const stTerminalInfo*>(body);
            w.Text(p->m_szSerialNo).Text(p->m_szTerminal) << pMsg->m_cSource;
            return true;
        }
        case DepthBody::Logout:
            w.Text(reinterpret_cast<const stDepthLogout*>(body)->m_szReason);
            return true;
        case DepthBody::LoginInfo: {
            const stLoginInfo* p = reinterpret_cast<const stLoginInfo*>(body);
            w.Text(p->m_szUsername).Text(p->m_szPassword);
            return true;
        }
        case DepthBody::Summary: {
            const stDepthSummary* p = reinterpret_cast<const stDepthSummary*>(body);
            WriteSymbolSource(w, pMsg);
            w << p->m_bIsBid << p->m_nVolume << p->m_dblHigh << p->m_dblLow << p->m_dblVwap;
            return true;
        }
        case DepthBody::ParamStr: {
            const stDepthParamStr* p = reinterpret_cast<const stDepthParamStr*>(body);
            WriteSymbolSource(w, pMsg);
            w.Text(p->m_szName).Text(p->m_szValue);
            return true;
        }
        case DepthBody::SubsError:
            WriteSymbolSource(w, pMsg);
            w.Text(reinterpret_cast<const stDepthSubsError*>(body)->m_szReason);
            return true;
        case DepthBody::FXRFQ: {
            const stFXRFQ* p = reinterpret_cast<const stFXRFQ*>(body);
            WriteSymbolSource(w, pMsg);
            WriteRFQFields(w, *p);
            return true;
        }
        case DepthBody::ConnStatus: {
            const stDepthConnStatus* p = reinterpret_cast<const stDepthConnStatus*>(body);
            w << p->m_cSource << p->m_bIsUp;
            w.Text(p->m_szText);
            return true;
        }
        case DepthBody::ShortText:
            // At most 7 characters, as if byte 7 of the body were a NUL.
            WriteSymbolSource(w, pMsg);
            w.Text(body, static_cast<int>(strnlen(body, DEPTH_SHORT_TEXT_LEN)));
            return true;
        case DepthBody::SubsAuthStatus:
            WriteSymbolSource(w, pMsg);
            w << reinterpret_cast<const stDepthSubsAuthStatus*>(body)->m_bAuthStatus;
            return true;
        case DepthBody::FXAllocRFQ: {
            const stFXAllocRFQ* p = reinterpret_cast<const stFXAllocRFQ*>(body);
            if (p->m_nAllocs > 0 && p->m_pAllocs == nullptr) {
                return false;  // the count promises entries that are not there
            }
            if (p->m_nAllocs > MAX_ALLOCS) {
                // More than any message carries (and than a reader takes): refused
                // before the entries are walked.
                QRX_LOG_WARNING("SerializeDepth.cpp"
                                << "Entry count out of range:" << p->m_nAllocs);
                return false;
            }
            WriteSymbolSource(w, pMsg);
            WriteRFQFields(w, *p);
            w << p->m_nAllocs;
            for (int i = 0; i < p->m_nAllocs && w.Ok(); ++i) {
                const stAlloc& a = p->m_pAllocs[i];
                w.Text(a.m_szAccount)
                    << static_cast<int>(a.m_nShare) << static_cast<int>(a.m_nFarShare);
            }
            return true;
        }
        case DepthBody::FXOptRFQ: {
            const stFXOptRFQ* p = reinterpret_cast<const stFXOptRFQ*>(body);
            if (p->m_nLength > DEPTH_OPT_RFQ_MAX_LEN) {
                return false;  // a length the reader would refuse
            }
            WriteSymbolSource(w, pMsg);
            w.Text(p->m_szSender) << p->m_nReqID << p->m_nLength;
            // The last of the m_nLength characters is the NUL: the text is at
            // most m_nLength - 1 characters, all of which the reader keeps.
            const int textLen =
                (p->m_szSubAttributesStr != nullptr && p->m_nLength > 1)
                    ? static_cast<int>(
                          strnlen(p->m_szSubAttributesStr, static_cast<size_t>(p->m_nLength - 1)))
                    : 0;
            w.Text(p->m_szSubAttributesStr, textLen);
            return true;
        }
        case DepthBody::Login:
            w.Record(WriteLogin, *reinterpret_cast<const stLogin*>(body));
            return true;
        case DepthBody::HeartBeat:
            w.Record(WriteHeartBeat, *reinterpret_cast<const stHeartBeat*>(body));
            return true;
    }
    return false;
}

// ---- reading ----

// Reads fields and remembers whether every one of them was there.
class FieldReader {
public:
    explicit FieldReader(CNetStream& s) : m_s(s) {}

    template <typename T>
    FieldReader& operator>>(T& v) {
        m_bOk = m_s.GetNextField(v) && m_bOk;
        return *this;
    }
    template <size_t N>
    FieldReader& Text(char (&arr)[N]) {
        m_bOk = read_fixed_text(m_s, arr) && m_bOk;
        return *this;
    }
    // A text into nCapacity bytes at p, cut to fit.
    FieldReader& Text(char* p, int nCapacity) {
        int stored;
        m_bOk = m_s.GetNextText(p, nCapacity, stored) && m_bOk;
        return *this;
    }
    // A record read by one of the shared session readers.
    template <typename T>
    FieldReader& Record(bool (*read)(CNetStream&, T&), T& v) {
        m_bOk = read(m_s, v) && m_bOk;
        return *this;
    }
    // A count of entries that take at least nMinWire bytes each on the wire
    // and that must number at most nMax: false, with nothing read, when the
    // message cannot hold it. A negative count stands for none.
    bool Count(int& n, int nMinWire, int nMax) {
        n = 0;
        if (!m_s.GetNextField(n)) {
            m_bOk = false;
            return false;
        }
        if (n > nMax || n > m_s.GetRemaining() / nMinWire) {
            QRX_LOG_WARNING("SerializeDepth.cpp"
                            << "Entry count out of range:" << n);
            m_bOk = false;
            return false;
        }
        return true;
    }
    bool Ok() const { return m_bOk; }

private:
    CNetStream& m_s;
    bool m_bOk = true;
};

void ReadSymbolSource(FieldReader& r, MsgHdrRtpDepth* pMsg) {
    r.Text(pMsg->m_szSymbol) >> pMsg->m_cSource;
}

template <typename R>
void ReadRFQFields(FieldReader& r, R& p) {
    r.Text(p.m_szSender) >> p.m_cType >> p.m_nSize >> p.m_nFarSize >> p.m_nReqID;
}

void ReadEntry(FieldReader& r, stMktDepth& e) {
    int size = 0;
    r >> e.dblValue >> size >> e.cType >> e.iDepth;
    e.nSize = static_cast<uint32_t>(size);
}

void ReadEntry(FieldReader& r, stMktDepthEx& e) {
    ReadEntry(r, static_cast<stMktDepth&>(e));
    r.Text(e.szMMId);
}

void ReadEntry(FieldReader& r, stFXQuote& e) {
    ReadEntry(r, static_cast<stMktDepthEx&>(e));
    r.Text(e.szQuoteId);
}

// Least wire bytes of one entry: double, int, char, short, and a 2-byte
// length per text.
constexpr int ENTRY_MIN_WIRE = 8 + 4 + 1 + 2;

// Reads a count and its entries into the body; nBodyLen receives the body
// length of the entries read (0 for none).
template <typename T>
bool ReadEntries(FieldReader& r, MsgHdrRtpDepth* pMsg, int nTexts, int& nBodyLen) {
    nBodyLen = 0;
    int n = 0;
    if (!r.Count(n, ENTRY_MIN_WIRE + 2 * nTexts, DepthList<T>::MAX_ENTRIES)) {
        return false;
    }
    T* pEntries = reinterpret_cast<T*>(MsgBody(pMsg));
    for (int i = 0; i < n && r.Ok(); ++i) {
        memset(&pEntries[i], 0, sizeof(T));
        ReadEntry(r, pEntries[i]);
        nBodyLen += static_cast<int>(sizeof(T));
    }
    return r.Ok();
}

template <typename T>
void ReleaseArray(void* p) {
    delete[] static_cast<T*>(p);
}

// Zeroed memory for n records of T, owned by the allocator; null on failure.
template <typename T>
T* AllocateRecords(CMsgMemAllocator* pAllocator, int n) {
    if (pAllocator == nullptr) {
        QRX_LOG_WARNING("SerializeDepth.cpp"
                        << "No allocator for " << n << " records");
        return nullptr;
    }
    T* p = new (std::nothrow) T[static_cast<size_t>(n)]();
    if (p != nullptr) {
        pAllocator->Register(p, &ReleaseArray<T>);
    }
    return p;
}

bool ReadAllocRFQ(FieldReader& r, stFXAllocRFQ* p, CMsgMemAllocator* pAllocator) {
    ReadRFQFields(r, *p);
    if (!r.Ok()) {
        return false;
    }
    int n = 0;
    const bool counted = r.Count(n, ALLOC_MIN_WIRE, MAX_ALLOCS);
    p->m_nAllocs = n;
    if (!counted) {
        p->m_nAllocs = 0;
        return false;
    }
    if (n <= 0) {
        return true;
    }
    p->m_pAllocs = AllocateRecords<stAlloc>(pAllocator, n);
    if (p->m_pAllocs == nullptr) {
        p->m_nAllocs = 0;
        return false;
    }
    for (int i = 0; i < n && r.Ok(); ++i) {
        stAlloc& a = p->m_pAllocs[i];
        int share = 0, farShare = 0;
        r.Text(a.m_szAccount) >> share >> farShare;
        a.m_nShare = static_cast<uint32_t>(share);
        a.m_nFarShare = static_cast<uint32_t>(farShare);
    }
    return r.Ok();
}

bool ReadOptRFQ(FieldReader& r, stFXOptRFQ* p, CMsgMemAllocator* pAllocator) {
    r.Text(p->m_szSender) >> p->m_nReqID;
    if (!r.Ok()) {
        return false;
    }
    // The length is that of the sender's buffer, not of the text: it is taken
    // as written, up to the largest a sender may announce.
    int n = 0;
    r >> n;
    if (!r.Ok()) {
        return false;
    }
    if (n > DEPTH_OPT_RFQ_MAX_LEN) {
        QRX_LOG_WARNING("SerializeDepth.cpp"
                        << "Attribute length out of range:" << n);
        return false;
    }
    p->m_nLength = n;
    if (n <= 0) {
        char dropped;
        return r.Text(&dropped, 1).Ok();
    }
    p->m_szSubAttributesStr = AllocateRecords<char>(pAllocator, n);
    if (p->m_szSubAttributesStr == nullptr) {
        p->m_nLength = 0;
        return false;
    }
    r.Text(p->m_szSubAttributesStr, n);
    p->m_szSubAttributesStr[n - 1] = '\0';
    return r.Ok();
}

// Reads the body of a received message; nBodyLen receives its length.
bool ReadDepthBody(FieldReader& r, DepthBody kind, MsgHdrRtpDepth* pMsg,
                   CMsgMemAllocator* pAllocator, int& nBodyLen) {
    char* body = MsgBody(pMsg);
    nBodyLen = 0;
    switch (kind) {
        case DepthBody::Unhandled:
            return false;
        case DepthBody::None:
            return true;
        case DepthBody::SymbolOnly:
            ReadSymbolSource(r, pMsg);
            return r.Ok();
        case DepthBody::MktDepth:
            ReadSymbolSource(r, pMsg);
            return r.Ok() && ReadEntries<stMktDepth>(r, pMsg, 0, nBodyLen);
        case DepthBody::MktDepthEx:
            ReadSymbolSource(r, pMsg);
            return r.Ok() && ReadEntries<stMktDepthEx>(r, pMsg, 1, nBodyLen);
        case DepthBody::FXQuote:
            ReadSymbolSource(r, pMsg);
            return r.Ok() && ReadEntries<stFXQuote>(r, pMsg, 2, nBodyLen);
        default:
            break;
    }
    // A single record: cleared, then read.
    switch (kind) {
        case DepthBody::TerminalInfo: {
            stTerminalInfo* p = ClearedBody<stTerminalInfo>(body, nBodyLen);
            r.Text(p->m_szSerialNo).Text(p->m_szTerminal) >> pMsg->m_cSource;
            break;
        }
        case DepthBody::Logout: {
            stDepthLogout* p = ClearedBody<stDepthLogout>(body, nBodyLen);
            r.Text(p->m_szReason);
            break;
        }
        case DepthBody::LoginInfo: {
            stLoginInfo* p = ClearedBody<stLoginInfo>(body, nBodyLen);
            r.Text(p->m_szUsername).Text(p->m_szPassword);
            break;
        }
        case DepthBody::Summary: {
            stDepthSummary* p = ClearedBody<stDepthSummary>(body, nBodyLen);
            ReadSymbolSource(r, pMsg);
            r >> p->m_bIsBid >> p->m_nVolume >> p->m_dblHigh >> p->m_dblLow >> p->m_dblVwap;
            break;
        }
        case DepthBody::ParamStr: {
            stDepthParamStr* p = ClearedBody<stDepthParamStr>(body, nBodyLen);
            ReadSymbolSource(r, pMsg);
            r.Text(p->m_szName).Text(p->m_szValue);
            break;
        }
        case DepthBody::SubsError: {
            stDepthSubsError* p = ClearedBody<stDepthSubsError>(body, nBodyLen);
            ReadSymbolSource(r, pMsg);
            r.Text(p->m_szReason);
            break;
        }
        case DepthBody::FXRFQ: {
            stFXRFQ* p = ClearedBody<stFXRFQ>(body, nBodyLen);
            ReadSymbolSource(r, pMsg);
            ReadRFQFields(r, *p);
            break;
        }
        case DepthBody::ConnStatus: {
            stDepthConnStatus* p = ClearedBody<stDepthConnStatus>(body, nBodyLen);
            r >> p->m_cSource >> p->m_bIsUp;
            r.Text(p->m_szText);
            break;
        }
        case DepthBody::ShortText:
            memset(body, 0, DEPTH_SHORT_TEXT_LEN + 1);
            ReadSymbolSource(r, pMsg);
            r.Text(body, DEPTH_SHORT_TEXT_LEN + 1);
            nBodyLen = DEPTH_SHORT_TEXT_LEN + 1;
            break;
        case DepthBody::SubsAuthStatus: {
            stDepthSubsAuthStatus* p = ClearedBody<stDepthSubsAuthStatus>(body, nBodyLen);
            ReadSymbolSource(r, pMsg);
            r >> p->m_bAuthStatus;
            break;
        }
        case DepthBody::FXAllocRFQ: {
            stFXAllocRFQ* p = ClearedBody<stFXAllocRFQ>(body, nBodyLen);
            ReadSymbolSource(r, pMsg);
            return r.Ok() && ReadAllocRFQ(r, p, pAllocator);
        }
        case DepthBody::FXOptRFQ: {
            stFXOptRFQ* p = ClearedBody<stFXOptRFQ>(body, nBodyLen);
            ReadSymbolSource(r, pMsg);
            return r.Ok() && ReadOptRFQ(r, p, pAllocator);
        }
        case DepthBody::Login:
            r.Record(ReadLogin, *ClearedBody<stLogin>(body, nBodyLen));
            break;
        case DepthBody::HeartBeat:
            r.Record(ReadHeartBeat, *ClearedBody<stHeartBeat>(body, nBodyLen));
            break;
        default:
            return false;
    }
    return r.Ok();
}

}  // namespace

bool CMsgHdrStream::SerializeDepth(MsgHdrRtpDepth* pMsg, CMsgMemAllocator* pAllocator) {
    if (m_bIsOut) {
        BeginOut(MsgHdrRtpDepth::HDR_TYPE, pMsg);
        FieldWriter writer(*this);
        const bool ok = WriteDepthBody(writer, ClassifyDepthMsg(pMsg->mtyp, pMsg->submtyp), pMsg);
        if (!writer.Ok()) {
            // A field the stream could not take: nothing of the message is left to send.
            SeekBegin();
            return false;
        }
        return Flush() && ok;
    }
    BeginIn(MsgHdrRtpDepth::HDR_TYPE, pMsg);
    // Symbol, source and the first body slot: nothing of an earlier message
    // shows through fields this one does not carry.
    memset(pMsg->m_szSymbol, 0, MsgHdrRtpDepth::BODY_OFFSET - sizeof(MsgHdrCmn) + 8);
    Reset();
    const DepthBody kind = ClassifyDepthMsg(pMsg->mtyp, pMsg->submtyp);
    FieldReader reader(*this);
    int bodyLen = 0;
    const bool ok = ReadDepthBody(reader, kind, pMsg, pAllocator, bodyLen);
    pMsg->msglen = DepthMsgLen(bodyLen);
    return ok;
}
