// CSymSrvWire: builds the control messages the symbol server sends (to clients: logon verdicts,
// source status, subscription status, heartbeats; to feed handlers: its logon and its
// subscription requests) in the stream form, through the Sym serializer, and parses the
// stream form of what it receives into message memory. One object is reused for every
// message; a built message is valid until the next one is built.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "qrx/wire/msg_hdr.h"
#include "qrx/wire/msg_hdr_stream.h"

class CSymSrvWire {
public:
    CSymSrvWire();
    ~CSymSrvWire();
    CSymSrvWire(const CSymSrvWire&) = delete;
    CSymSrvWire& operator=(const CSymSrvWire&) = delete;

    // The last built message.
    const char* Data() const { return m_pOutData; }
    size_t Length() const { return m_nOutLen; }

    // Type 10 with a text (logon verdicts, data source lost or restored).
    bool Status(short nSubType, const char* szText);
    // Type 7: a topic held pending or refused.
    bool SubStatus(short nSubType, const char* szTopic, const char* szMessage);
    // A session heartbeat (type 10001), which a client echoes.
    bool Heartbeat();
    // The server's logon at a feed handler.
    bool Logon(const char* szUser, const char* szPassword);
    // Requests with a topic (subscribe, unsubscribe, snapshot) or none (all).
    bool TopicRequest(short nType, const char* szTopic);
    bool NoBodyRequest(short nType);
    // Subscribe or unsubscribe with sizes.
    bool SizeRequest(short nType, const char* szTopic, int nNear, int nFar, int nReqId);
    // Type 12 or 13 with up to 100 topics.
    bool TopicList(short nType, const std::vector<const char*>& vecTopics);

    // Reads the stream-form message at p (nLen bytes, already framed) into message memory.
    // Null when it cannot be read.
    MsgHdrSym* Parse(char* p, int nLen);

private:
    bool Build();

    char* m_pMem;  // MSG_MEM_LEN bytes of message memory, for building and parsing
    CMsgHdrStream m_out;
    CMsgHdrStream m_in;
    const char* m_pOutData = nullptr;
    size_t m_nOutLen = 0;
};
