// Sym messages (header type 15): the conversation between a client and a feed
// handler. Message and sub-message types, and the body records that lie behind
// the MsgHdrSym header in memory. Market-data updates, commands, responses and
// order-book messages travel as raw bodies whose encoding belongs to the layers
// above; the records here are the fixed-format requests and notices.
#pragma once

#include <cstdint>

#include "qrx/wire/msg_hdr.h"

// Message types.
constexpr short CM_SYM_DATA = 2;               // market data; sub-type below
constexpr short CM_SYM_SUBSCRIBE = 3;          // stTopicInfo
constexpr short CM_SYM_UNSUBSCRIBE = 4;        // stTopicInfo
constexpr short CM_SYM_SUBSCRIBE_ALL = 5;      // no body
constexpr short CM_SYM_UNSUBSCRIBE_ALL = 6;    // no body
constexpr short CM_SYM_SUB_STATUS = 7;         // stSymSubStatus
constexpr short CM_SYM_SNAPSHOT = 8;           // stTopicInfo
constexpr short CM_SYM_SNAPSHOT_ALL = 9;       // no body
constexpr short CM_SYM_STATUS = 10;            // NUL-terminated text
constexpr short CM_SYM_HEARTBEAT_NOTICE = 11;  // NUL-terminated text
constexpr short CM_SYM_SUBSCRIBE_LIST = 12;    // stTopicList
constexpr short CM_SYM_UNSUBSCRIBE_LIST = 13;  // stTopicList
constexpr short CM_SYM_COMMAND = 14;           // raw: a serialised command
constexpr short CM_SYM_RESPONSE = 15;          // raw: a serialised response
constexpr short CM_SYM_CMD_CLIENT_ID = 16;     // signed 16-bit
constexpr short CM_SYM_SUBSCRIBE_TYPE = 17;    // stTopicInfoType
constexpr short CM_SYM_UNSUBSCRIBE_TYPE = 18;  // stTopicInfoType
constexpr short CM_SYM_SUBSCRIBE_SIZE = 19;    // stTopicInfoSize
constexpr short CM_SYM_UNSUBSCRIBE_SIZE = 20;  // stTopicInfoSize
constexpr short CM_SYM_SUBSCRIBE_COB = 21;     // raw: an order-book request
constexpr short CM_SYM_UNSUBSCRIBE_COB = 22;   // raw: an order-book request
constexpr short CM_SYM_COB_DATA = 23;          // raw: order-book messages
constexpr short CM_SYM_COB_CREATE = 24;        // raw: order-book creation request
constexpr short CM_SYM_COB_STATUS = 25;        // raw: order-book statuses

// Sub-types of CM_SYM_DATA.
constexpr short SYM_DATA_UPDATE = 0;          // a run of record bodies
constexpr short SYM_DATA_SNAPSHOT = 2;        // the same, from the snapshot cache
constexpr short SYM_DATA_SNAPSHOT_START = 3;  // no body
constexpr short SYM_DATA_SNAPSHOT_END = 4;    // no body

// Sub-types of CM_SYM_SUB_STATUS.
constexpr short SYM_SUB_STATUS_ERROR = 1;
constexpr short SYM_SUB_STATUS_PENDING = 6;

// Sub-types of CM_SYM_STATUS and CM_SYM_HEARTBEAT_NOTICE.
constexpr short SYM_STATUS_LOGIN_REFUSED = 5;
constexpr short SYM_STATUS_LOGIN_ACCEPTED = 7;
constexpr short SYM_STATUS_SOURCE_DOWN = 8;
constexpr short SYM_STATUS_SOURCE_RESTORED = 9;
constexpr short SYM_HEARTBEAT_NOTICE = 10;

// Sub-type of CM_SYM_SUBSCRIBE_TYPE.
constexpr short SYM_SUBSCRIBE_TYPE_SUB = 13;

// A topic field: at most 127 characters and the NUL.
constexpr int SYM_TOPIC_LEN = 128;
// Most topics one list message carries.
constexpr int SYM_MAX_LIST_TOPICS = 100;

struct stTopicInfo {
    char m_szTopic[SYM_TOPIC_LEN];
};
static_assert(sizeof(stTopicInfo) == 128, "stTopicInfo is 128 bytes");

struct stTopicInfoType : stTopicInfo {
    int16_t m_SymbolType;
};
static_assert(sizeof(stTopicInfoType) == 130, "stTopicInfoType is 130 bytes");

// The symbol type is not carried on the wire for these: a received one holds 0.
struct stTopicInfoSize : stTopicInfoType {
    int32_t m_nNearSize;
    int32_t m_nFarSize;
    int32_t m_nReqID;
};
static_assert(sizeof(stTopicInfoSize) == 144, "stTopicInfoSize is 144 bytes");

struct stSymSubStatus {
    char m_szTopic[SYM_TOPIC_LEN];
    char m_szMessage[1056];
};
static_assert(sizeof(stSymSubStatus) == 1184, "stSymSubStatus is 1184 bytes");

// Subscribe or unsubscribe by list: m_nCount topics of 128 bytes each.
struct stTopicList {
    int32_t m_nCount;
    char m_szTopics[SYM_MAX_LIST_TOPICS][SYM_TOPIC_LEN];

    // Body length of a list of nCount topics.
    static constexpr int BodyLen(int nCount) {
        return static_cast<int>(sizeof(int32_t)) + SYM_TOPIC_LEN * (nCount > 0 ? nCount : 0);
    }
};
static_assert(sizeof(stTopicList) == stTopicList::BodyLen(SYM_MAX_LIST_TOPICS),
              "stTopicList is a count and 100 topics");
