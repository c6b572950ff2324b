// Session records: logon and heartbeat, which open and keep alive every
// connection whatever its family, and the port (portfolio), password and user
// requests of the session-control family (MsgHdrPort). Each record has stream
// operators that write and read its fields in wire order; texts of fixed-size
// arrays are written up to their NUL and cut to the array when read.
#pragma once

#include <cstdint>

#include "qrx/wire/msg_hdr.h"
#include "qrx/wire/net_stream.h"

// Message types and their sub-message types.
constexpr short CM_PORT = 2;
constexpr short CM_PASSWD = 22;
constexpr short CM_LOGIN = 10000;
constexpr short CM_HEARTBEAT = 10001;

// Result of a logon, carried in stLogin::status.
enum enLoginStatus : int32_t {
    LOGIN_OK = 0,
    LOGIN_PROTOCOL_MISMATCH = 1,
    LOGIN_BAD_USER = 2,
    LOGIN_BAD_PASSWORD = 3,
    LOGIN_NOT_PERMISSIONED = 4,
    LOGIN_USER_ALREADY_LOGGED_IN = 5,
    LOGIN_GROUP_NOT_FOUND = 6,
    LOGIN_DB_USER_ENTRY_NOT_PRESENT = 7
};

// Logon request and response.
struct stLogin {
    int protocol_version;
    int mode;
    char username[32];
    char password[32];
    enLoginStatus status;
    int int_value;
    char group[32];
    char text_value[128];  // the reason of a refusal
    char curr_local_time[12];
    char curr_local_date[12];
    char curr_gmt_time[12];
    char curr_gmt_date[12];
    char UserLoginName[32];
};
static_assert(sizeof(stLogin) == 320, "stLogin is 320 bytes");

struct stHeartBeat {
    int request_id;
};
static_assert(sizeof(stHeartBeat) == 4, "stHeartBeat is 4 bytes");

enum enAddPorFlag : int32_t { enADD_POR_INIT = 0, enADD_POR_EXE = 1, enADD_POR_MON = 2 };

// Subscribe to or add a port.
struct stAddSubsPort {
    char por[30];
    char por_fil[30];
    PorSide porsid;
    int flag;  // enAddPorFlag
    int bIsGTC;
    char gtcExpiryTime[20];
};
static_assert(sizeof(stAddSubsPort) == 92, "stAddSubsPort is 92 bytes");

// Change a port's description: the fields of stAddSubsPort.
struct stChangePortDesc {
    char por[30];
    char por_fil[30];
    PorSide porsid;
    int flag;
    int bIsGTC;
    char gtcExpiryTime[20];
};
static_assert(sizeof(stChangePortDesc) == 92, "stChangePortDesc is 92 bytes");

// Add a file.
struct SMAddFileStruct {
    char fileName[60];
    bool bIsGTC;
    char gtcExpiryTime[20];
};
static_assert(sizeof(SMAddFileStruct) == 81, "SMAddFileStruct is 81 bytes");

// One entry of a portfolio file list.
struct stGetPorFile {
    char por_fil[30];
    char usr[32];
    int bIsGTC;
    char gtcRecovDirDate[16];
    char gtcExpiryTime[20];
};
static_assert(sizeof(stGetPorFile) == 104, "stGetPorFile is 104 bytes");

struct stUserInfo {
    char szUserInitials[4];
    char szGroup[30];
};
static_assert(sizeof(stUserInfo) == 34, "stUserInfo is 34 bytes");

// A user query. In a message its UserInitialCount entries lie inline from
// offset 40 of the record (USER_INFO_OFFSET), where pUserInfo is declared.
struct stUserInfoQuery {
    int protocol_version;
    char UserName[32];
    int UserInitialCount;
    stUserInfo* pUserInfo;

    static constexpr int USER_INFO_OFFSET = 40;
    stUserInfo* Entries() {
        return reinterpret_cast<stUserInfo*>(reinterpret_cast<char*>(this) + USER_INFO_OFFSET);
    }
    const stUserInfo* Entries() const {
        return reinterpret_cast<const stUserInfo*>(reinterpret_cast<const char*>(this) +
                                                   USER_INFO_OFFSET);
    }
    // Body length of a query with its entries.
    static int BodyLen(int nCount) { return nCount < 1 ? 48 : USER_INFO_OFFSET + 34 * nCount; }
};
static_assert(sizeof(stUserInfoQuery) == 48, "stUserInfoQuery is 48 bytes");

CNetStream& operator<<(CNetStream& s, const stLogin& r);
CNetStream& operator>>(CNetStream& s, stLogin& r);
CNetStream& operator<<(CNetStream& s, const stHeartBeat& r);
CNetStream& operator>>(CNetStream& s, stHeartBeat& r);
// The writers behind operator<< of the logon and heartbeat records: true when
// every field was appended.
bool WriteLogin(CNetStream& s, const stLogin& r);
bool WriteHeartBeat(CNetStream& s, const stHeartBeat& r);
// The readers behind operator>> of the logon and heartbeat records: every
// field is read; true when all were there.
bool ReadLogin(CNetStream& s, stLogin& r);
bool ReadHeartBeat(CNetStream& s, stHeartBeat& r);
// The header fields of MsgHdrPort only (not the common header).
CNetStream& operator<<(CNetStream& s, const MsgHdrPort& r);
CNetStream& operator>>(CNetStream& s, MsgHdrPort& r);
CNetStream& operator<<(CNetStream& s, const stUserInfo& r);
CNetStream& operator>>(CNetStream& s, stUserInfo& r);
// The fixed fields of a query (version, name, count); the serializer writes and
// reads the entries, bounded by the message.
CNetStream& operator<<(CNetStream& s, const stUserInfoQuery& r);
CNetStream& operator>>(CNetStream& s, stUserInfoQuery& r);
CNetStream& operator<<(CNetStream& s, const stAddSubsPort& r);
CNetStream& operator>>(CNetStream& s, stAddSubsPort& r);
CNetStream& operator<<(CNetStream& s, const stChangePortDesc& r);
CNetStream& operator>>(CNetStream& s, stChangePortDesc& r);
CNetStream& operator<<(CNetStream& s, const SMAddFileStruct& r);
CNetStream& operator>>(CNetStream& s, SMAddFileStruct& r);
CNetStream& operator<<(CNetStream& s, const stGetPorFile& r);
CNetStream& operator>>(CNetStream& s, stGetPorFile& r);
