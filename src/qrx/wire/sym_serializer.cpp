// Serializer of the Sym family (header type 15). Raw bodies (market data,
// commands, responses, order-book messages) are copied as one text field
// without looking inside; the fixed-format requests and notices are converted
// field by field. A received message never writes past the MSG_MEM_LEN bytes
// of message memory, and a received text never overruns its field.
#include <cstdio>
#include <cstring>

#include "qrx/wire/msg_hdr_stream.h"
#include "qrx/wire/session_msgs.h"
#include "qrx/wire/sym_msgs.h"

namespace {

enum class SymBody {
    None,
    Raw,
    Topic,      // stTopicInfo
    SubStatus,  // stSymSubStatus
    Text,       // NUL-terminated text
    TopicList,  // stTopicList
    Short,
    TopicType,  // stTopicInfoType
    TopicSize,  // stTopicInfoSize
    Login,
    HeartBeat
};

SymBody ClassifySymMsg(short mtyp, short submtyp) {
    switch (mtyp) {
        case CM_SYM_DATA:
            return (submtyp == SYM_DATA_UPDATE || submtyp == SYM_DATA_SNAPSHOT) ? SymBody::Raw
                                                                                : SymBody::None;
        case CM_SYM_COMMAND:
        case CM_SYM_RESPONSE:
        case CM_SYM_SUBSCRIBE_COB:
        case CM_SYM_UNSUBSCRIBE_COB:
        case CM_SYM_COB_DATA:
        case CM_SYM_COB_CREATE:
        case CM_SYM_COB_STATUS:
            return SymBody::Raw;
        case CM_SYM_SUBSCRIBE:
        case CM_SYM_UNSUBSCRIBE:
        case CM_SYM_SNAPSHOT:
            return SymBody::Topic;
        case CM_SYM_SUB_STATUS:
            return SymBody::SubStatus;
        case CM_SYM_STATUS:
        case CM_SYM_HEARTBEAT_NOTICE:
            return SymBody::Text;
        case CM_SYM_SUBSCRIBE_LIST:
        case CM_SYM_UNSUBSCRIBE_LIST:
            return SymBody::TopicList;
        case CM_SYM_CMD_CLIENT_ID:
            return SymBody::Short;
        case CM_SYM_SUBSCRIBE_TYPE:
        case CM_SYM_UNSUBSCRIBE_TYPE:
            return SymBody::TopicType;
        case CM_SYM_SUBSCRIBE_SIZE:
        case CM_SYM_UNSUBSCRIBE_SIZE:
            return SymBody::TopicSize;
        case CM_LOGIN:
            return SymBody::Login;
        case CM_HEARTBEAT:
            return SymBody::HeartBeat;
        default:
            return SymBody::None;
    }
}

// Memory behind the header of a received message.
constexpr int SYM_BODY_MEM = MSG_MEM_LEN - MsgHdrSym::BODY_OFFSET;

bool WriteTopicList(CNetStream& s, stTopicList* pList) {
    if (pList->m_nCount > SYM_MAX_LIST_TOPICS) {
        fprintf(stderr,
                "Unable to serialize out the whole subscribe by list msg : %d exceeding symbol "
                "number limit! will take the first %d\n",
                pList->m_nCount, SYM_MAX_LIST_TOPICS);
        pList->m_nCount = SYM_MAX_LIST_TOPICS;
    }
    bool ok = s.Append(static_cast<int>(pList->m_nCount));
    for (int i = 0; ok && i < pList->m_nCount; ++i) {
        ok = append_fixed_text(s, pList->m_szTopics[i]);
    }
    return ok;
}

// Writes the body of an outgoing message. Texts are bounded by their fields,
// and by the body length that msglen gives where the body is a bare text.
// False when a field could not be appended: the message is then incomplete
// and must not be sent.
bool WriteSymBody(CNetStream& s, SymBody kind, MsgHdrSym* pMsg) {
    char* body = MsgBody(pMsg);
    const int bodyLen = MsgLen(pMsg) > 0 ? MsgLen(pMsg) : 0;
    switch (kind) {
        case SymBody::None:
            return true;
        case SymBody::Raw:
            return s.AppendText(body, bodyLen);
        case SymBody::Topic:
            return append_fixed_text(s, reinterpret_cast<const stTopicInfo*>(body)->m_szTopic);
        case SymBody::SubStatus: {
            const stSymSubStatus* p = reinterpret_cast<const stSymSubStatus*>(body);
            return append_fixed_text(s, p->m_szTopic) && append_fixed_text(s, p->m_szMessage);
        }
        case SymBody::Text:
            return s.AppendText(body,
                                static_cast<int>(strnlen(body, static_cast<size_t>(bodyLen))));
        case SymBody::TopicList:
            return WriteTopicList(s, reinterpret_cast<stTopicList*>(body));
        case SymBody::Short: {
            short v;
            memcpy(&v, body, sizeof v);
            return s.Append(v);
        }
        case SymBody::TopicType: {
            const stTopicInfoType* p = reinterpret_cast<const stTopicInfoType*>(body);
            return append_fixed_text(s, p->m_szTopic) &&
                   s.Append(static_cast<short>(p->m_SymbolType));
        }
        case SymBody::TopicSize: {
            const stTopicInfoSize* p = reinterpret_cast<const stTopicInfoSize*>(body);
            return append_fixed_text(s, p->m_szTopic) &&
                   s.Append(static_cast<int>(p->m_nNearSize)) &&
                   s.Append(static_cast<int>(p->m_nFarSize)) &&
                   s.Append(static_cast<int>(p->m_nReqID));
        }
        case SymBody::Login:
            return WriteLogin(s, *reinterpret_cast<const stLogin*>(body));
        case SymBody::HeartBeat:
            return WriteHeartBeat(s, *reinterpret_cast<const stHeartBeat*>(body));
    }
    return true;
}

// Reads a topic list. The count must be one the message can hold (each topic
// takes at least its 2-byte length); a negative count reads nothing. Topics
// after the 100th are read and dropped. False when the list does not fit the
// message; the count in memory then gives the topics that were read.
bool ReadTopicList(CNetStream& s, stTopicList* pList, int& nBodyLen) {
    int count = 0;
    pList->m_nCount = 0;
    nBodyLen = stTopicList::BodyLen(0);
    if (!s.GetNextField(count)) {
        return false;
    }
    pList->m_nCount = count;
    if (count <= 0) {
        return true;
    }
    if (count > s.GetRemaining() / 2) {
        pList->m_nCount = 0;
        return false;
    }
    for (int i = 0; i < count; ++i) {
        bool ok;
        if (i < SYM_MAX_LIST_TOPICS) {
            memset(pList->m_szTopics[i], 0, SYM_TOPIC_LEN);
            ok = read_fixed_text(s, pList->m_szTopics[i]);
        } else {
            char dropped;
            int stored;
            ok = s.GetNextText(&dropped, 1, stored);
        }
        if (!ok) {
            pList->m_nCount = i < SYM_MAX_LIST_TOPICS ? i : SYM_MAX_LIST_TOPICS;
            nBodyLen = stTopicList::BodyLen(pList->m_nCount);
            return false;
        }
    }
    if (count > SYM_MAX_LIST_TOPICS) {
        fprintf(stderr,
                "Unable to serialize in the whole subscribe by list msg : %d exceeding symbol "
                "number limit! will take only %d\n",
                count, SYM_MAX_LIST_TOPICS);
        pList->m_nCount = SYM_MAX_LIST_TOPICS;
    }
    nBodyLen = stTopicList::BodyLen(pList->m_nCount);
    return true;
}

// Reads the body of a received message into the memory behind pMsg; nBodyLen
// receives the body length. Only a topic list can fail.
bool ReadSymBody(CNetStream& s, SymBody kind, MsgHdrSym* pMsg, int& nBodyLen) {
    char* body = MsgBody(pMsg);
    nBodyLen = 0;
    switch (kind) {
        case SymBody::None:
            return true;
        case SymBody::Raw: {
            int stored = 0;
            if (s.GetNextText(body, SYM_BODY_MEM, stored)) {
                nBodyLen = stored;
            }
            return true;
        }
        case SymBody::Topic: {
            stTopicInfo* p = ClearedBody<stTopicInfo>(body, nBodyLen);
            read_fixed_text(s, p->m_szTopic);
            return true;
        }
        case SymBody::SubStatus: {
            stSymSubStatus* p = reinterpret_cast<stSymSubStatus*>(body);
            memset(p, 0, sizeof *p);
            int stored = 0;
            if (s.GetNextText(p->m_szTopic, sizeof p->m_szTopic, stored)) {
                nBodyLen += stored + 1;
            }
            if (s.GetNextText(p->m_szMessage, sizeof p->m_szMessage, stored)) {
                nBodyLen += stored + 1;
            }
            return true;
        }
        case SymBody::Text: {
            int stored = 0;
            s.GetNextText(body, SYM_BODY_MEM, stored);
            // The receiver reads the text up to its NUL; the message keeps the
            // length of an empty one.
            return true;
        }
        case SymBody::TopicList:
            return ReadTopicList(s, reinterpret_cast<stTopicList*>(body), nBodyLen);
        case SymBody::Short: {
            short v = 0;
            s >> v;
            memcpy(body, &v, sizeof v);
            nBodyLen = sizeof v;
            return true;
        }
        case SymBody::TopicType: {
            stTopicInfoType* p = ClearedBody<stTopicInfoType>(body, nBodyLen);
            read_fixed_text(s, p->m_szTopic);
            short v = 0;
            if (s.GetNextField(v)) {
                p->m_SymbolType = v;
            }
            return true;
        }
        case SymBody::TopicSize: {
            stTopicInfoSize* p = ClearedBody<stTopicInfoSize>(body, nBodyLen);
            read_fixed_text(s, p->m_szTopic);
            int nearSize = 0, farSize = 0, reqId = 0;
            s >> nearSize >> farSize >> reqId;
            p->m_nNearSize = nearSize;
            p->m_nFarSize = farSize;
            p->m_nReqID = reqId;
            return true;
        }
        case SymBody::Login:
            s >> *ClearedBody<stLogin>(body, nBodyLen);
            return true;
        case SymBody::HeartBeat:
            s >> *ClearedBody<stHeartBeat>(body, nBodyLen);
            return true;
    }
    return true;
}

}  // namespace

bool CMsgHdrStream::SerializeSym(MsgHdrSym* pMsg) {
    if (m_bIsOut) {
        BeginOut(MsgHdrSym::HDR_TYPE, pMsg);
        if (!WriteSymBody(*this, ClassifySymMsg(pMsg->mtyp, pMsg->submtyp), pMsg)) {
            // Nothing of an incomplete message is left for a caller to send.
            SeekBegin();
            return false;
        }
        return Flush();
    }
    memset(pMsg, 0, sizeof(MsgHdrCmn) + 8);
    BeginIn(MsgHdrSym::HDR_TYPE, pMsg);
    Reset();
    int bodyLen = 0;
    const bool ok = ReadSymBody(*this, ClassifySymMsg(pMsg->mtyp, pMsg->submtyp), pMsg, bodyLen);
    SetMsgLen(pMsg, bodyLen);
    return ok;
}
