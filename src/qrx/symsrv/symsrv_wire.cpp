#include "qrx/symsrv/symsrv_wire.h"

#include <cstdlib>
#include <cstring>

#include "qrx/wire/session_msgs.h"
#include "qrx/wire/sym_msgs.h"

namespace {

void CopyField(char* dst, size_t nCap, const char* src) {
    if (src != nullptr) {
        strncpy(dst, src, nCap - 1);
    }
}

}  // namespace

CSymSrvWire::CSymSrvWire()
    : m_pMem(static_cast<char*>(calloc(1, MSG_MEM_LEN))),
      m_out(true, 4096, 4096),
      m_in(nullptr, 0, false) {}

CSymSrvWire::~CSymSrvWire() {
    free(m_pMem);
}

bool CSymSrvWire::Build() {
    if (!m_out.SerializeSym(reinterpret_cast<MsgHdrSym*>(m_pMem))) {
        return false;
    }
    char* p = nullptr;
    int n = 0;
    m_out.GetBuf(p, n);
    m_pOutData = p;
    m_nOutLen = static_cast<size_t>(n);
    return n > 0;
}

namespace {

MsgHdrSym* Header(char* pMem, short nType, short nSub, size_t nBody) {
    memset(pMem, 0, MsgHdrSym::BODY_OFFSET + nBody + 8);
    MsgHdrSym* h = reinterpret_cast<MsgHdrSym*>(pMem);
    h->hdr_typ = MsgHdrSym::HDR_TYPE;
    h->mtyp = nType;
    h->submtyp = nSub;
    SetMsgLen(h, static_cast<int>(nBody));
    return h;
}

}  // namespace

bool CSymSrvWire::Status(short nSubType, const char* szText) {
    const size_t nText = szText != nullptr ? strnlen(szText, 1024) : 0;
    MsgHdrSym* h = Header(m_pMem, CM_SYM_STATUS, nSubType, nText + 1);
    if (nText > 0) {
        memcpy(MsgBody(h), szText, nText);
    }
    return Build();
}

bool CSymSrvWire::SubStatus(short nSubType, const char* szTopic, const char* szMessage) {
    MsgHdrSym* h = Header(m_pMem, CM_SYM_SUB_STATUS, nSubType, sizeof(stSymSubStatus));
    stSymSubStatus* b = reinterpret_cast<stSymSubStatus*>(MsgBody(h));
    CopyField(b->m_szTopic, sizeof b->m_szTopic, szTopic);
    CopyField(b->m_szMessage, sizeof b->m_szMessage, szMessage);
    return Build();
}

bool CSymSrvWire::Heartbeat() {
    MsgHdrSym* h = Header(m_pMem, CM_HEARTBEAT, CM_HEARTBEAT, sizeof(stHeartBeat));
    (void)h;
    return Build();
}

bool CSymSrvWire::Logon(const char* szUser, const char* szPassword) {
    MsgHdrSym* h = Header(m_pMem, CM_LOGIN, CM_LOGIN, sizeof(stLogin));
    stLogin* b = reinterpret_cast<stLogin*>(MsgBody(h));
    b->protocol_version = 3;
    CopyField(b->username, sizeof b->username, szUser);
    CopyField(b->password, sizeof b->password, szPassword);
    return Build();
}

bool CSymSrvWire::TopicRequest(short nType, const char* szTopic) {
    MsgHdrSym* h = Header(m_pMem, nType, 0, sizeof(stTopicInfo));
    CopyField(reinterpret_cast<stTopicInfo*>(MsgBody(h))->m_szTopic, SYM_TOPIC_LEN, szTopic);
    return Build();
}

bool CSymSrvWire::NoBodyRequest(short nType) {
    Header(m_pMem, nType, 0, 0);
    return Build();
}

bool CSymSrvWire::SizeRequest(short nType, const char* szTopic, int nNear, int nFar, int nReqId) {
    MsgHdrSym* h = Header(m_pMem, nType, 0, sizeof(stTopicInfoSize));
    stTopicInfoSize* b = reinterpret_cast<stTopicInfoSize*>(MsgBody(h));
    CopyField(b->m_szTopic, SYM_TOPIC_LEN, szTopic);
    b->m_nNearSize = nNear;
    b->m_nFarSize = nFar;
    b->m_nReqID = nReqId;
    return Build();
}

bool CSymSrvWire::TopicList(short nType, const std::vector<const char*>& vecTopics) {
    const int nCount = static_cast<int>(vecTopics.size() < SYM_MAX_LIST_TOPICS
                                            ? vecTopics.size()
                                            : static_cast<size_t>(SYM_MAX_LIST_TOPICS));
    MsgHdrSym* h = Header(m_pMem, nType, 0, static_cast<size_t>(stTopicList::BodyLen(nCount)));
    stTopicList* b = reinterpret_cast<stTopicList*>(MsgBody(h));
    b->m_nCount = nCount;
    for (int i = 0; i < nCount; ++i) {
        CopyField(b->m_szTopics[i], SYM_TOPIC_LEN, vecTopics[static_cast<size_t>(i)]);
    }
    return Build();
}

MsgHdrSym* CSymSrvWire::Parse(char* p, int nLen) {
    if (CMsgHdrStream::MakeStreamFromBuffer(p, nLen, &m_in) != nLen) {
        return nullptr;
    }
    if (m_in.GetHdrType() != MsgHdrSym::HDR_TYPE) {
        return nullptr;
    }
    MsgHdrSym* h = reinterpret_cast<MsgHdrSym*>(m_pMem);
    if (!m_in.SerializeSym(h)) {
        return nullptr;
    }
    return h;
}
