// CSymConnection: the Sym requests and the commands.
#include <cstdio>
#include <cstring>

#include "qrx/client/sym_connection.h"
#include "qrx/marketdata/cob_request.h"
#include "qrx/net/app_conn.h"
#include "qrx/runtime/fixed_text.h"
#include "qrx/runtime/growing_buffer.h"
#include "qrx/wire/command.h"
#include "qrx/wire/command_serialization.h"
#include "qrx/wire/msg_hdr.h"
#include "qrx/wire/net_stream.h"
#include "qrx/wire/response.h"
#include "qrx/wire/sym_msgs.h"

namespace {

// A Sym message in memory: the header and a body record. Requests without a
// body still provide the 8 bytes of the first body slot.
template <typename Body>
using SymMsg = HdrMsg<Body>;

struct NoBody {
    char m_reserved[8];
};

// The stream form carries a raw body as one text behind the 8-byte header:
// its length field and the body must stay within 65,535 bytes.
constexpr int kMaxRawBody = MAX_MSG_LEN - 8 - 2;

}  // namespace

bool CSymConnection::WriteSym(MsgHdrCmn* msg, short mtyp, short submtyp, int bodyLen) {
    if (m_pSocket == nullptr) {
        return false;
    }
    msg->mtyp = mtyp;
    msg->submtyp = submtyp;
    SetMsgLen(reinterpret_cast<MsgHdrSym*>(msg), bodyLen);
    return WriteBlock(msg);
}

// ---------------------------------------------------------------- topics

bool CSymConnection::SendTopic(short mtyp, short submtyp, const char* topic) {
    if (m_pSocket == nullptr || topic == nullptr) {
        return false;
    }
    SymMsg<stTopicInfo> msg;
    memset(&msg, 0, sizeof msg);
    CopyCut(msg.body.m_szTopic, SYM_TOPIC_LEN, topic);
    return WriteSym(&msg.hdr, mtyp, submtyp, static_cast<int>(sizeof(stTopicInfo)));
}

bool CSymConnection::SendTopicType(short mtyp, short submtyp, const char* topic, short symbolType) {
    if (m_pSocket == nullptr || topic == nullptr) {
        return false;
    }
    SymMsg<stTopicInfoType> msg;
    memset(&msg, 0, sizeof msg);
    CopyCut(msg.body.m_szTopic, SYM_TOPIC_LEN, topic);
    msg.body.m_SymbolType = symbolType;
    return WriteSym(&msg.hdr, mtyp, submtyp, static_cast<int>(sizeof(stTopicInfoType)));
}

bool CSymConnection::SendTopicSize(short mtyp, const char* topic, int nearSize, int farSize,
                                   int reqId) {
    if (m_pSocket == nullptr || topic == nullptr) {
        return false;
    }
    SymMsg<stTopicInfoSize> msg;
    memset(&msg, 0, sizeof msg);
    CopyCut(msg.body.m_szTopic, SYM_TOPIC_LEN, topic);
    msg.body.m_nNearSize = nearSize;
    msg.body.m_nFarSize = farSize;
    msg.body.m_nReqID = reqId;
    return WriteSym(&msg.hdr, mtyp, 0, static_cast<int>(sizeof(stTopicInfoSize)));
}

bool CSymConnection::SendTopicList(short mtyp, const std::vector<GrowingStr>& topics) {
    if (m_pSocket == nullptr) {
        return false;
    }
    SymMsg<stTopicList> msg;
    size_t next = 0;
    while (next < topics.size()) {
        const size_t left = topics.size() - next;
        const int count = left < SYM_MAX_LIST_TOPICS ? static_cast<int>(left) : SYM_MAX_LIST_TOPICS;
        memset(&msg, 0, sizeof msg.hdr + stTopicList::BodyLen(count));
        msg.body.m_nCount = count;
        for (int i = 0; i < count; ++i, ++next) {
            const GrowingStr& topic = topics[next];
            CopyCut(msg.body.m_szTopics[i], SYM_TOPIC_LEN, topic.c_str(), topic.length());
        }
        if (!WriteSym(&msg.hdr, mtyp, 0, stTopicList::BodyLen(count))) {
            return false;
        }
    }
    return true;
}

bool CSymConnection::Subscribe(const char* topic) {
    return SendTopic(CM_SYM_SUBSCRIBE, 0, topic);
}

bool CSymConnection::Unsubscribe(const char* topic) {
    return SendTopic(CM_SYM_UNSUBSCRIBE, 0, topic);
}

bool CSymConnection::Snapshot(const char* topic) {
    return SendTopic(CM_SYM_SNAPSHOT, 0, topic);
}

bool CSymConnection::SubscribeAll() {
    SymMsg<NoBody> msg;
    memset(&msg, 0, sizeof msg);
    return WriteSym(&msg.hdr, CM_SYM_SUBSCRIBE_ALL, 0, 0);
}

bool CSymConnection::UnsubscribeAll() {
    SymMsg<NoBody> msg;
    memset(&msg, 0, sizeof msg);
    return WriteSym(&msg.hdr, CM_SYM_UNSUBSCRIBE_ALL, 0, 0);
}

bool CSymConnection::SnapshotAll() {
    SymMsg<NoBody> msg;
    memset(&msg, 0, sizeof msg);
    return WriteSym(&msg.hdr, CM_SYM_SNAPSHOT_ALL, 0, 0);
}

bool CSymConnection::Subscribe(const std::vector<GrowingStr>& topics) {
    return SendTopicList(CM_SYM_SUBSCRIBE_LIST, topics);
}

bool CSymConnection::Unsubscribe(const std::vector<GrowingStr>& topics) {
    return SendTopicList(CM_SYM_UNSUBSCRIBE_LIST, topics);
}

bool CSymConnection::Subscribe(const char* topic, short symbolType) {
    return SendTopicType(CM_SYM_SUBSCRIBE_TYPE, SYM_SUBSCRIBE_TYPE_SUB, topic, symbolType);
}

bool CSymConnection::Unsubscribe(const char* topic, short symbolType) {
    return SendTopicType(CM_SYM_UNSUBSCRIBE_TYPE, 0, topic, symbolType);
}

bool CSymConnection::SubscribeWithSize(const char* topic, int nearSize, int farSize, int reqId) {
    return SendTopicSize(CM_SYM_SUBSCRIBE_SIZE, topic, nearSize, farSize, reqId);
}

bool CSymConnection::UnsubscribeWithSize(const char* topic, int nearSize, int farSize, int reqId) {
    return SendTopicSize(CM_SYM_UNSUBSCRIBE_SIZE, topic, nearSize, farSize, reqId);
}

// ---------------------------------------------------------------- order books

bool CSymConnection::SendCOB(short mtyp, const QuorCOB::CCOBRequest& request) {
    if (m_pSocket == nullptr) {
        return false;
    }
    CNetStream body(true, 1024, 1024);
    if (!QuorCOB::write_cob(body, request)) {
        return false;
    }
    char* bytes = nullptr;
    int len = 0;
    body.GetBuf(bytes, len);
    if (len > kMaxRawBody) {
        // Too big for one message: refused here rather than failing the
        // write, which would close the connection.
        fprintf(stderr, "Order book request of %d bytes is too big for one message\n", len);
        return false;
    }
    // Room for the header and at least one whole body slot.
    CGrowingBuffer msg(static_cast<int>(sizeof(MsgHdrSym)) + len);
    MsgHdrCmn hdr = {};
    msg.Append(reinterpret_cast<const char*>(&hdr), static_cast<int>(sizeof hdr));
    msg.Append(bytes, len);
    return WriteSym(reinterpret_cast<MsgHdrCmn*>(msg.GetData()), mtyp, 0, len);
}

bool CSymConnection::SubscribeCOB(const QuorCOB::CCOBRequest& request) {
    return SendCOB(CM_SYM_SUBSCRIBE_COB, request);
}

bool CSymConnection::UnsubscribeCOB(const QuorCOB::CCOBRequest& request) {
    return SendCOB(CM_SYM_UNSUBSCRIBE_COB, request);
}

// ---------------------------------------------------------------- commands

unsigned int CSymConnection::SendCommand(CCommand* command) {
    if (command == nullptr) {
        fprintf(stderr, "No CCommand message is serialized!\n");
        return INVALID_COMMAND_ID;
    }
    if (m_nCmdRequestId == 0xFFFF) {
        m_nCmdRequestId = 0;
    }
    command->SetCmdId(m_nCmdClientId, m_nCmdRequestId);

    CGrowingBuffer msg(512);
    CCommandSerializationState state;
    int parts = 0;
    while (!state.m_bDone) {
        msg.Reset();
        const MsgHdrCmn hdr = {MsgHdrSym::HDR_TYPE, CM_SYM_COMMAND, 0, 0};
        msg.Append(reinterpret_cast<const char*>(&hdr), static_cast<int>(sizeof hdr));
        const short added = command->SerializeOut(msg, state);
        if (added == 0 && !state.m_bDone) {
            continue;  // a parameter too big for any message was dropped
        }
        MsgHdrSym* part = reinterpret_cast<MsgHdrSym*>(msg.GetData());
        part->submtyp = CommandPartSubType(false, parts == 0, state.m_bDone);
        SetMsgLen(part, static_cast<int>(state.m_nSerializedMsgLen));
        // Without a socket object the write reports it, unlike the other requests.
        if (!WriteBlock(part)) {
            return INVALID_COMMAND_ID;
        }
        ++parts;
    }
    if (parts == 0) {
        fprintf(stderr, "No CCommand message is serialized!\n");
        return INVALID_COMMAND_ID;
    }
    if (parts > 1) {
        fprintf(stderr, "Splitted Command to %d messages.\n", parts);
    }
    const unsigned int id = command->GetCmdId();
    {
        KoGuard guard(m_cmdIdLock);
        m_cmdIdMap[command->GetRequestId()] = id;
    }
    ++m_nCmdRequestId;
    return id;
}

bool CSymConnection::GetCommandId(const CResponse* response, unsigned int& commandId) {
    if (response == nullptr) {
        return false;
    }
    if (response->GetClientId() != m_nCmdClientId) {
        fprintf(stderr, "Receive an invalid client ID %u in the response\n",
                static_cast<unsigned>(response->GetClientId()));
        return false;
    }
    KoGuard guard(m_cmdIdLock);
    auto it = m_cmdIdMap.find(response->GetRequestId());
    if (it == m_cmdIdMap.end()) {
        guard.unlock();
        fprintf(stderr, "Receive an invalid request ID %u in the response\n",
                static_cast<unsigned>(response->GetRequestId()));
        return false;
    }
    commandId = it->second;
    return true;
}

bool CSymConnection::EndResponse(const CResponse* response) {
    if (response != nullptr && response->GetStatus() == CResponse::RESPONSE_END) {
        KoGuard guard(m_cmdIdLock);
        m_cmdIdMap.erase(response->GetRequestId());
    }
    return false;
}
