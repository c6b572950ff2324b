#include "qrx/wire/session_msgs.h"

#include <cstring>

#include "qrx/runtime/stdio_logger.h"
#include "qrx/wire/msg_hdr_stream.h"

namespace {

// A failed read keeps the previous value, as for plain numbers.
template <typename E>
bool ReadEnum(CNetStream& s, E& e) {
    int v;
    if (!s.GetNextField(v)) {
        return false;
    }
    e = static_cast<E>(v);
    return true;
}

// The writers of the port records: true when every field was appended; they
// stop at the first field the stream does not take.
template <typename T>
bool WritePortRecord(CNetStream& s, const T& r) {
    return append_fixed_text(s, r.por) && append_fixed_text(s, r.por_fil) &&
           s.Append(static_cast<int>(r.porsid)) && s.Append(r.flag) && s.Append(r.bIsGTC) &&
           append_fixed_text(s, r.gtcExpiryTime);
}

bool WritePortHeader(CNetStream& s, const MsgHdrPort& r) {
    return s.Append(r.n1) && append_fixed_text(s, r.por_nam) && append_fixed_text(s, r.por_fil) &&
           s.Append(static_cast<int>(r.pside)) && s.Append(r.session_id);
}

bool WriteUserInfo(CNetStream& s, const stUserInfo& r) {
    return append_fixed_text(s, r.szUserInitials) && append_fixed_text(s, r.szGroup);
}

bool WriteUserInfoQuery(CNetStream& s, const stUserInfoQuery& r) {
    return s.Append(r.protocol_version) && append_fixed_text(s, r.UserName) &&
           s.Append(r.UserInitialCount);
}

bool WriteAddFile(CNetStream& s, const SMAddFileStruct& r) {
    return append_fixed_text(s, r.fileName) && s.Append(r.bIsGTC) &&
           append_fixed_text(s, r.gtcExpiryTime);
}

bool WritePorFile(CNetStream& s, const stGetPorFile& r) {
    return append_fixed_text(s, r.por_fil) && append_fixed_text(s, r.usr) && s.Append(r.bIsGTC) &&
           append_fixed_text(s, r.gtcRecovDirDate) && append_fixed_text(s, r.gtcExpiryTime);
}

template <typename T>
CNetStream& ReadPortRecord(CNetStream& s, T& r) {
    read_fixed_text(s, r.por);
    read_fixed_text(s, r.por_fil);
    ReadEnum(s, r.porsid);
    s >> r.flag >> r.bIsGTC;
    read_fixed_text(s, r.gtcExpiryTime);
    return s;
}

}  // namespace

bool WriteLogin(CNetStream& s, const stLogin& r) {
    bool ok = s.Append(r.protocol_version);
    ok = ok && s.Append(r.mode);
    ok = ok && append_fixed_text(s, r.username);
    ok = ok && append_fixed_text(s, r.password);
    ok = ok && s.Append(static_cast<int>(r.status));
    ok = ok && s.Append(r.int_value);
    ok = ok && append_fixed_text(s, r.group);
    ok = ok && append_fixed_text(s, r.text_value);
    ok = ok && append_fixed_text(s, r.curr_local_time);
    ok = ok && append_fixed_text(s, r.curr_local_date);
    ok = ok && append_fixed_text(s, r.curr_gmt_time);
    ok = ok && append_fixed_text(s, r.curr_gmt_date);
    return ok && append_fixed_text(s, r.UserLoginName);
}

bool WriteHeartBeat(CNetStream& s, const stHeartBeat& r) {
    return s.Append(r.request_id);
}

CNetStream& operator<<(CNetStream& s, const stLogin& r) {
    WriteLogin(s, r);
    return s;
}

bool ReadLogin(CNetStream& s, stLogin& r) {
    // Every field is read even after a failed one, as the chained form does.
    bool ok = s.GetNextField(r.protocol_version);
    ok = s.GetNextField(r.mode) && ok;
    ok = read_fixed_text(s, r.username) && ok;
    ok = read_fixed_text(s, r.password) && ok;
    ok = ReadEnum(s, r.status) && ok;
    ok = s.GetNextField(r.int_value) && ok;
    ok = read_fixed_text(s, r.group) && ok;
    ok = read_fixed_text(s, r.text_value) && ok;
    ok = read_fixed_text(s, r.curr_local_time) && ok;
    ok = read_fixed_text(s, r.curr_local_date) && ok;
    ok = read_fixed_text(s, r.curr_gmt_time) && ok;
    ok = read_fixed_text(s, r.curr_gmt_date) && ok;
    return read_fixed_text(s, r.UserLoginName) && ok;
}

bool ReadHeartBeat(CNetStream& s, stHeartBeat& r) {
    return s.GetNextField(r.request_id);
}

CNetStream& operator>>(CNetStream& s, stLogin& r) {
    ReadLogin(s, r);
    return s;
}

CNetStream& operator<<(CNetStream& s, const stHeartBeat& r) {
    WriteHeartBeat(s, r);
    return s;
}

CNetStream& operator>>(CNetStream& s, stHeartBeat& r) {
    ReadHeartBeat(s, r);
    return s;
}

CNetStream& operator<<(CNetStream& s, const MsgHdrPort& r) {
    WritePortHeader(s, r);
    return s;
}

CNetStream& operator>>(CNetStream& s, MsgHdrPort& r) {
    s >> r.n1;
    read_fixed_text(s, r.por_nam);
    read_fixed_text(s, r.por_fil);
    ReadEnum(s, r.pside);
    return s >> r.session_id;
}

CNetStream& operator<<(CNetStream& s, const stUserInfo& r) {
    WriteUserInfo(s, r);
    return s;
}

CNetStream& operator>>(CNetStream& s, stUserInfo& r) {
    read_fixed_text(s, r.szUserInitials);
    read_fixed_text(s, r.szGroup);
    return s;
}

CNetStream& operator<<(CNetStream& s, const stUserInfoQuery& r) {
    WriteUserInfoQuery(s, r);
    return s;
}

CNetStream& operator>>(CNetStream& s, stUserInfoQuery& r) {
    s >> r.protocol_version;
    read_fixed_text(s, r.UserName);
    return s >> r.UserInitialCount;
}

CNetStream& operator<<(CNetStream& s, const stAddSubsPort& r) {
    WritePortRecord(s, r);
    return s;
}
CNetStream& operator>>(CNetStream& s, stAddSubsPort& r) {
    return ReadPortRecord(s, r);
}
CNetStream& operator<<(CNetStream& s, const stChangePortDesc& r) {
    WritePortRecord(s, r);
    return s;
}
CNetStream& operator>>(CNetStream& s, stChangePortDesc& r) {
    return ReadPortRecord(s, r);
}

CNetStream& operator<<(CNetStream& s, const SMAddFileStruct& r) {
    WriteAddFile(s, r);
    return s;
}

CNetStream& operator>>(CNetStream& s, SMAddFileStruct& r) {
    read_fixed_text(s, r.fileName);
    s >> r.bIsGTC;
    read_fixed_text(s, r.gtcExpiryTime);
    return s;
}

CNetStream& operator<<(CNetStream& s, const stGetPorFile& r) {
    WritePorFile(s, r);
    return s;
}

CNetStream& operator>>(CNetStream& s, stGetPorFile& r) {
    read_fixed_text(s, r.por_fil);
    read_fixed_text(s, r.usr);
    s >> r.bIsGTC;
    read_fixed_text(s, r.gtcRecovDirDate);
    read_fixed_text(s, r.gtcExpiryTime);
    return s;
}

namespace {

// What follows the MsgHdrPort fields, by message and sub-message type.
enum class PortBody {
    None,
    AddSubs,
    AddFile,
    Text,
    PorFiles,
    ChangeDesc,
    WholeText,
    UserInfo,
    Login,
    HeartBeat,
    Refused
};

// The longest body a received port message may have, and the most entries of
// each list that fit it.
constexpr int PORT_MAX_BODY = MaxMsgBodyLen<MsgHdrPort>();
constexpr int PORT_MAX_POR_FILES = (PORT_MAX_BODY - 1) / static_cast<int>(sizeof(stGetPorFile));
constexpr int PORT_MAX_USER_INFO =
    (PORT_MAX_BODY - stUserInfoQuery::USER_INFO_OFFSET) / static_cast<int>(sizeof(stUserInfo));

PortBody ClassifyPortMsg(short mtyp, short submtyp) {
    switch (mtyp) {
        case CM_PORT:
            switch (submtyp) {
                case 200:
                case 206:
                    return PortBody::None;
                case 201:
                case 205:
                case 208:
                case 212:
                    return PortBody::AddSubs;
                case 202:
                case 207:
                case 211:
                    return PortBody::AddFile;
                case 203:
                case 209:
                    return PortBody::Text;
                case 204:
                    return PortBody::PorFiles;
                case 213:
                    return PortBody::ChangeDesc;
                case 214:
                case 215:
                    // Custom trading controls carry an order description whose
                    // stream form belongs to the order families: not converted here.
                    QRX_LOG_ERROR("SerializePort"
                                  << "Unhandled SubMsg Type:" << submtyp << " for Msg: CM_PORT.");
                    return PortBody::Refused;
                case 218:
                    return PortBody::WholeText;
                default:
                    QRX_LOG_ERROR("SerializePort"
                                  << "Unhandled SubMsg Type:" << submtyp << " for Msg: CM_PORT.");
                    return PortBody::None;
            }
        case 4:
            return PortBody::Text;
        case CM_PASSWD:
            if (submtyp == 1017) {
                return PortBody::UserInfo;
            }
            if ((submtyp >= 1001 && submtyp <= 1018) && submtyp != 1003) {
                return PortBody::Text;
            }
            QRX_LOG_WARNING("SerializePort"
                            << "Unhandled SubMsg Type:" << submtyp << " for Msg: CM_PASSWD.");
            return PortBody::Refused;
        case 23:
            return PortBody::None;
        case CM_LOGIN:
            if (submtyp == CM_LOGIN) {
                return PortBody::Login;
            }
            QRX_LOG_WARNING("SerializePort"
                            << "Unhandled SubMsg Type:" << submtyp << " for Msg: CM_LOGIN.");
            return PortBody::Refused;
        case CM_HEARTBEAT:
            if (submtyp == CM_HEARTBEAT) {
                return PortBody::HeartBeat;
            }
            QRX_LOG_WARNING("SerializePort"
                            << "Unhandled SubMsg Type:" << submtyp << " for Msg: CM_HEARTBEAT.");
            return PortBody::Refused;
        default:
            CMsgHdrStream::LogUnhandledMsgType("SerializePort", mtyp);
            return PortBody::Refused;
    }
}

// What writing a port body came to: written whole, refused before any field
// (an unhandled type, a list longer than the message), or cut short by a field
// the stream did not take.
enum class BodyWrite { Done, Refused, Incomplete };

BodyWrite Written(bool bOk) {
    return bOk ? BodyWrite::Done : BodyWrite::Incomplete;
}

// Writes the body of an outgoing port message. Texts and lists are bounded by
// the body length that msglen gives, so nothing beyond the message is read.
BodyWrite WritePortBody(CNetStream& s, PortBody kind, const MsgHdrPort* pMsg) {
    const char* body = MsgBody(pMsg);
    const int bodyLen = MsgLen(pMsg) > 0 ? MsgLen(pMsg) : 0;
    switch (kind) {
        case PortBody::None:
            return BodyWrite::Done;
        case PortBody::AddSubs:
            return Written(WritePortRecord(s, *reinterpret_cast<const stAddSubsPort*>(body)));
        case PortBody::AddFile:
            return Written(WriteAddFile(s, *reinterpret_cast<const SMAddFileStruct*>(body)));
        case PortBody::ChangeDesc:
            return Written(WritePortRecord(s, *reinterpret_cast<const stChangePortDesc*>(body)));
        case PortBody::Text:
            return Written(s.AppendText(body, static_cast<int>(strnlen(body, bodyLen))));
        case PortBody::WholeText:
            return Written(s.AppendText(body, bodyLen));
        case PortBody::PorFiles: {
            const int n = pMsg->n1 > 0 ? pMsg->n1 : 0;
            if (n > bodyLen / static_cast<int>(sizeof(stGetPorFile))) {
                return BodyWrite::Refused;  // the list would run past the message
            }
            const stGetPorFile* pEntries = reinterpret_cast<const stGetPorFile*>(body);
            for (int i = 0; i < n; ++i) {
                if (!WritePorFile(s, pEntries[i])) {
                    return BodyWrite::Incomplete;
                }
            }
            return BodyWrite::Done;
        }
        case PortBody::UserInfo: {
            const stUserInfoQuery* pQuery = reinterpret_cast<const stUserInfoQuery*>(body);
            const int n = pQuery->UserInitialCount > 0 ? pQuery->UserInitialCount : 0;
            if (n > 0 && n > (bodyLen - stUserInfoQuery::USER_INFO_OFFSET) /
                                 static_cast<int>(sizeof(stUserInfo))) {
                return BodyWrite::Refused;
            }
            if (!WriteUserInfoQuery(s, *pQuery)) {
                return BodyWrite::Incomplete;
            }
            const stUserInfo* pEntries = pQuery->Entries();
            for (int i = 0; i < n; ++i) {
                if (!WriteUserInfo(s, pEntries[i])) {
                    return BodyWrite::Incomplete;
                }
            }
            return BodyWrite::Done;
        }
        case PortBody::Login:
            return Written(WriteLogin(s, *reinterpret_cast<const stLogin*>(body)));
        case PortBody::HeartBeat:
            return Written(WriteHeartBeat(s, *reinterpret_cast<const stHeartBeat*>(body)));
        case PortBody::Refused:
            break;
    }
    return BodyWrite::Refused;
}

bool CountInRange(int n, int nMax) {
    if (n < 0 || n > nMax) {
        QRX_LOG_WARNING("SerializePort"
                        << "Entry count out of range:" << n);
        return false;
    }
    return true;
}

// Reads the body of a received port message into the memory behind pMsg,
// which holds MSG_MEM_LEN bytes; nBodyLen receives the body length.
bool ReadPortBody(CNetStream& s, PortBody kind, MsgHdrPort* pMsg, int& nBodyLen) {
    char* body = MsgBody(pMsg);
    nBodyLen = 0;
    switch (kind) {
        case PortBody::None:
            return true;
        case PortBody::AddSubs:
            s >> *ClearedBody<stAddSubsPort>(body, nBodyLen);
            return true;
        case PortBody::AddFile:
            s >> *ClearedBody<SMAddFileStruct>(body, nBodyLen);
            return true;
        case PortBody::ChangeDesc:
            s >> *ClearedBody<stChangePortDesc>(body, nBodyLen);
            return true;
        case PortBody::Text: {
            int stored = 0;
            body[0] = '\0';
            s.GetNextText(body, PORT_MAX_BODY, stored);
            nBodyLen = stored + 1;
            return true;
        }
        case PortBody::WholeText: {
            int stored = 0;
            body[0] = '\0';
            s.GetNextText(body, PORT_MAX_BODY + 1, stored);
            nBodyLen = stored;
            return true;
        }
        case PortBody::PorFiles: {
            const int n = pMsg->n1;
            if (!CountInRange(n, PORT_MAX_POR_FILES)) {
                return false;
            }
            stGetPorFile* pEntries = reinterpret_cast<stGetPorFile*>(body);
            for (int i = 0; i < n; ++i) {
                memset(&pEntries[i], 0, sizeof(stGetPorFile));
                s >> pEntries[i];
            }
            nBodyLen = n * static_cast<int>(sizeof(stGetPorFile)) + 1;
            return true;
        }
        case PortBody::UserInfo: {
            stUserInfoQuery* pQuery = reinterpret_cast<stUserInfoQuery*>(body);
            memset(pQuery, 0, sizeof(stUserInfoQuery));
            s >> *pQuery;
            const int n = pQuery->UserInitialCount;
            if (n > 0 && !CountInRange(n, PORT_MAX_USER_INFO)) {
                return false;
            }
            stUserInfo* pEntries = pQuery->Entries();
            for (int i = 0; i < n; ++i) {
                memset(&pEntries[i], 0, sizeof(stUserInfo));
                s >> pEntries[i];
            }
            nBodyLen = stUserInfoQuery::BodyLen(n);
            return true;
        }
        case PortBody::Login:
            s >> *ClearedBody<stLogin>(body, nBodyLen);
            return true;
        case PortBody::HeartBeat:
            s >> *ClearedBody<stHeartBeat>(body, nBodyLen);
            return true;
        case PortBody::Refused:
            break;
    }
    return false;
}

}  // namespace

bool CMsgHdrStream::SerializePort(MsgHdrPort* pMsg) {
    const short submtyp = m_bIsOut ? pMsg->submtyp : GetSubMsgType();
    const PortBody kind = ClassifyPortMsg(CurrentMsgType(pMsg), submtyp);
    if (m_bIsOut) {
        BeginOut(MsgHdrPort::HDR_TYPE, pMsg);
        const BodyWrite result = WritePortHeader(*this, *pMsg) ? WritePortBody(*this, kind, pMsg)
                                                               : BodyWrite::Incomplete;
        if (result == BodyWrite::Incomplete) {
            // A field the stream could not take: nothing of the message is left to send.
            SeekBegin();
            return false;
        }
        return Flush() && result == BodyWrite::Done;
    }
    BeginIn(MsgHdrPort::HDR_TYPE, pMsg);
    memset(&pMsg->n1, 0, MsgHdrPort::BODY_OFFSET - sizeof(MsgHdrCmn));
    *this >> *pMsg;
    int bodyLen = 0;
    const bool ok = ReadPortBody(*this, kind, pMsg, bodyLen);
    SetMsgLen(pMsg, bodyLen);
    return ok;
}

bool CMsgHdrStream::SerializeOrdSrv(MsgHdrOrdSrv* pMsg) {
    const short mtyp = CurrentMsgType(pMsg);
    char* body = MsgBody(pMsg);
    if (mtyp != CM_LOGIN && mtyp != CM_HEARTBEAT) {
        LogUnhandledMsgType("SerializeOrdSrv", mtyp);
        if (!m_bIsOut) {
            BeginIn(MsgHdrOrdSrv::HDR_TYPE, pMsg);
            SetMsgLen(pMsg, 0);
        }
        return false;
    }
    if (m_bIsOut) {
        BeginOut(MsgHdrOrdSrv::HDR_TYPE, pMsg);
        const bool ok = mtyp == CM_LOGIN
                            ? WriteLogin(*this, *reinterpret_cast<const stLogin*>(body))
                            : WriteHeartBeat(*this, *reinterpret_cast<const stHeartBeat*>(body));
        if (!ok) {
            SeekBegin();  // nothing of an incomplete message is left to send
            return false;
        }
        return Flush();
    }
    BeginIn(MsgHdrOrdSrv::HDR_TYPE, pMsg);
    int bodyLen = 0;
    if (mtyp == CM_LOGIN) {
        *this >> *ClearedBody<stLogin>(body, bodyLen);
    } else {
        *this >> *ClearedBody<stHeartBeat>(body, bodyLen);
    }
    SetMsgLen(pMsg, bodyLen);
    return true;
}
