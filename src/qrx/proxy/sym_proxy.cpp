// CSymProxy set-up, translation tables, accessors, default callbacks, topic builders and
// teardown.
#include "qrx/proxy/sym_proxy.h"

#include <unistd.h>

#include <cstdlib>
#include <new>

#include "qrx/marketdata/sym_data_aux.h"
#include "qrx/marketdata/sym_topic.h"
#include "qrx/runtime/environment.h"
#include "qrx/runtime/source_map.h"
#include "qrx/runtime/stdio_logger.h"

CSymProxy::CSymProxy() {
    SetBacklogLimits(quor_getenv("QUOR_PROXY_BACKLOG_HIGH_WATER", 0),
                     quor_getenv("QUOR_PROXY_BACKLOG_LIMIT", 0));
    SetWriteDelay(quor_getenv("QUOR_PROXY_WRITE_DELAY_US", 0));
}

CSymProxy::~CSymProxy() {
    TearDown();
}

// ---- default callbacks ----

bool CSymProxy::OnLogon(const char*, const char*) {
    return true;
}

void CSymProxy::OnSubscribeWithSize(const char*, int, int, int) {
    QRX_LOG_WARNING("CSymProxy has no default implementation of OnSubscribeWithSize");
}

void CSymProxy::OnUnsubscribeWithSize(const char*, int, int, int) {
    QRX_LOG_WARNING("CSymProxy has no default implementation of OnUnsubscribeWithSize");
}

void CSymProxy::OnCommand(CCommand*) {}

bool CSymProxy::FlushCOBs() {
    return true;
}

// ---- initialisation ----

bool CSymProxy::Initialize(int nBindPort, bool bBlock, bool bNoDelayAccept, bool bKeepSnapShot,
                           bool bQueue) {
    if (IsInitialized()) {
        return true;
    }
    CAppConn* pConn = new (std::nothrow)
        CAppConn("BIND - SYMPROXY", 1, nullptr, nullptr, nBindPort, getenv("QUOR_SYMBIND"));
    return Initialize(pConn, bBlock, bNoDelayAccept, bKeepSnapShot, bQueue);
}

bool CSymProxy::Initialize(const char* szService, bool bBlock, bool bNoDelayAccept,
                           bool bKeepSnapShot, bool bQueue) {
    if (IsInitialized()) {
        return true;
    }
    CAppConn* pConn = new (std::nothrow)
        CAppConn("BIND - SYMPROXY", 1, szService, nullptr, 0, getenv("QUOR_SYMBIND"));
    return Initialize(pConn, bBlock, bNoDelayAccept, bKeepSnapShot, bQueue);
}

bool CSymProxy::InitializeU(const char* szIPCPath, bool bBlock, bool bNoDelayAccept,
                            bool bKeepSnapShot, bool bQueue) {
    if (IsInitialized()) {
        return true;
    }
    CAppConn* pConn = new (std::nothrow) CAppConn("BIND - SYMPROXY", szIPCPath);
    return Initialize(pConn, bBlock, bNoDelayAccept, bKeepSnapShot, bQueue);
}

bool CSymProxy::Initialize(CAppConn* bindConn, bool bBlock, bool bNoDelayAccept, bool bKeepSnapShot,
                           bool bQueue) {
    if (IsInitialized()) {
        if (bindConn != m_pBindConn) {
            delete bindConn;
        }
        return true;
    }
    if (bindConn == nullptr) {
        return false;
    }
    m_pBindConn = bindConn;
    m_bNoDelayAccept = bNoDelayAccept;
    m_bKeepSnapShot = bKeepSnapShot;
    m_bQueue = bQueue;
    // A proxy that could not be set up or bound goes back to its constructed state, so that
    // it never claims to listen when it does not and a later call may try again.
    if (!SetUp() || !Rebind()) {
        TearDown();
        return false;
    }
    return bBlock ? WaitForClient() : true;
}

bool CSymProxy::SetUp() {
    // Every step runs, so that each reports its own failure.
    bool bOk = true;

    m_pSymTopic = new (std::nothrow) CSymTopic("_UN_INIT_");
    bOk = m_pSymTopic != nullptr && bOk;

    m_pResponseMsgQ = new (std::nothrow) CSelectableQueue<CGrowingBuffer>();
    m_pSymDataQ = new (std::nothrow) CSelectableQueue<CSymData>();
    m_pMutex = new (std::nothrow) MKTUTIL::Mutex();
    bool bQueues = m_pResponseMsgQ != nullptr && m_pResponseMsgQ->Init();
    bQueues = m_pSymDataQ != nullptr && m_pSymDataQ->Init() && bQueues;
    bQueues = m_pMutex != nullptr && m_pMutex->Init() && bQueues;
    bOk = bQueues && bOk;

    m_pPools = new (std::nothrow) ProxyDataPools();
    if (m_pPools != nullptr) {
        // A pool whose Init() fails leaves the ones after it named but not initialised.
        bool bPools = m_pPools->m_SymDataPool.Init();
        m_pPools->m_SymDataPool.SetDPoolName("PROXY_SDP");
        bPools = bPools && m_pPools->m_MsgBufPool.Init();
        m_pPools->m_MsgBufPool.SetDPoolName("PROXY_MSG");
        bPools = bPools && m_pPools->m_StringPool.Init();
        m_pPools->m_StringPool.SetDPoolName("PROXY_STR");
        bOk = bPools && bOk;
    } else {
        bOk = false;
    }

    m_pSubscriptions = new (std::nothrow) Subscriptions();
    bOk = m_pSubscriptions != nullptr && m_pSubscriptions->Init() && bOk;

    // Without it the proxy still works; it only cannot turn away a client it has no room for.
    m_SpareFd.Hold();

    // Room for a usual flush, so that publishing allocates nothing once warm.
    try {
        m_UpdatedList.reserve(kInitialListSize);
        m_vecResponseMsgBuf.reserve(16);
        m_vecResponseScratch.reserve(16);
        m_vecSpareRecords.reserve(kSpareRecordBatch);
        m_vecTopicKeys.reserve(kInitialListSize);
    } catch (...) {
        bOk = false;
    }
    return bOk;
}

void CSymProxy::TearDown() {
    if (m_pSubscriptions != nullptr) {
        m_pSubscriptions->clear();
    }
    // Ticks and responses still waiting, listed or queued, go back to their pools.
    if (m_pSymDataQ != nullptr) {
        m_pSymDataQ->Pop(m_UpdatedList);
    }
    ReleaseTicks(m_UpdatedList);
    ReturnSpareRecords();
    if (m_pResponseMsgQ != nullptr) {
        m_pResponseMsgQ->Pop(m_vecResponseMsgBuf);
    }
    for (CGrowingBuffer* pBuf : m_vecResponseMsgBuf) {
        if (m_pPools != nullptr) {
            m_pPools->m_MsgBufPool.Release(pBuf);
        }
    }
    m_vecResponseMsgBuf.clear();

    ForgetConflation();
    m_TopicIndex.Clear();  // it views the keys released here
    for (auto& entry : m_mSnapshot) {
        if (m_pPools != nullptr) {
            m_pPools->m_StringPool.Release(entry.first);
            m_pPools->m_SymDataPool.Release(entry.second);
        }
    }
    m_mSnapshot.clear();

    delete m_pConn;
    m_pConn = nullptr;
    delete m_pBindConn;
    m_pBindConn = nullptr;
    m_SpareFd.Release();

    ReleasePending();

    delete m_pExchTranslator.exchange(nullptr);
    delete m_pSymTranslator;
    m_pSymTranslator = nullptr;
    delete m_pSubscriptions;
    m_pSubscriptions = nullptr;
    delete m_pSymDataQ;
    m_pSymDataQ = nullptr;
    delete m_pResponseMsgQ;
    m_pResponseMsgQ = nullptr;
    delete m_pMutex;
    m_pMutex = nullptr;
    delete m_pSymTopic;
    m_pSymTopic = nullptr;

    ForgetAllCommands();
    m_bNewResponse = false;

    // Each pool deletes its idle objects.
    delete m_pPools;
    m_pPools = nullptr;
}

// ---- translation ----

namespace {

// A new table loaded from the file, or null with the error line.
SymTranslator* LoadTable(const char* szFileName, const char* szKind) {
    SymTranslator* pTable = new (std::nothrow) SymTranslator();
    if (pTable != nullptr && pTable->Init(szFileName)) {
        QRX_LOG_INFO("CSymProxy::Using "
                     << szKind << " mapping from:" << (szFileName != nullptr ? szFileName : ""));
        return pTable;
    }
    delete pTable;
    QRX_LOG_ERROR("CSymProxy::Error initializing " << szKind << " mapping");
    return nullptr;
}

}  // namespace

bool CSymProxy::EnableSymTranslation(const char* szFileName) {
    SymTranslator* pTable = LoadTable(szFileName, "symbol");
    delete m_pSymTranslator;
    m_pSymTranslator = pTable;
    return pTable != nullptr;
}

bool CSymProxy::EnableExchTranslation(const char* szFileName) {
    SymTranslator* pTable = LoadTable(szFileName, "exchange");
    SymTranslator* pOld = nullptr;
    {
        // Producers of the queued mode use the table under this lock: a table they may be
        // reading is replaced under it, and freed once it is out of their hands.
        MKTUTIL::Guard lock(m_bQueue ? m_pMutex : nullptr);
        pOld = m_pExchTranslator.exchange(pTable);
    }
    delete pOld;
    return pTable != nullptr;
}

const char* CSymProxy::ConvertKo2Feed(const char* szQuorTopic) {
    // The empty topic stands for every topic (subscribe and unsubscribe all):
    // it names no symbol and passes as it is.
    if (szQuorTopic == nullptr || szQuorTopic[0] == '\0' || m_pSymTranslator == nullptr ||
        CSymTopic::IsDelimTopic(szQuorTopic)) {
        return szQuorTopic;
    }
    const char* szFeed = m_pSymTranslator->GetKo2Feed(szQuorTopic);
    QRX_LOG_INFO("CSymProxy::Converted Quor Topic:" << szQuorTopic << " to Feed topic:" << szFeed);
    return szFeed;
}

// ---- accessors ----

int CSymProxy::GetFd() const {
    if (m_pConn != nullptr) {
        return m_pConn->GetFd();
    }
    if (m_pBindConn != nullptr && m_pBindConn->GetFd() >= 0) {
        return m_pBindConn->GetFd();
    }
    return -1;
}

int CSymProxy::GetClientFd() const {
    return m_pConn != nullptr ? m_pConn->GetFd() : -1;
}

int CSymProxy::GetQFd() const {
    return m_pSymDataQ != nullptr ? m_pSymDataQ->Fd() : -1;
}

// ---- topic builders ----

int CSymProxy::CreateGreekTopic(const char* szSymbol, char* szTopic) {
    return CSymDataAux::CreateGreekTopic(szSymbol, szTopic);
}

bool CSymProxy::CreateDirectFeedTopic(char* szTopic, const char* szSymbol, const char* szSourceName,
                                      int nLength) {
    const unsigned nSource = KoDefaultSource::SourceMap::GetInstance().ToEnum(szSourceName);
    return CreateDirectFeedTopic(szTopic, szSymbol, static_cast<char>(nSource), nLength);
}

bool CSymProxy::CreateDirectFeedTopic(char* szTopic, const char* szSymbol, char cSource,
                                      int nLength) {
    if (nLength <= 0) {
        return false;
    }
    return CSymDataAux::CreateDirectFeedTopic(szTopic, szSymbol, cSource,
                                              static_cast<size_t>(nLength));
}

int CSymProxy::CreateSymbolRiskUserTopic(const char* szSymbol, const char* szUser, char* szTopic) {
    return CSymDataAux::CreateSymbolRiskUserTopic(szSymbol, szUser, szTopic);
}

int CSymProxy::CreateSymbolOptionUserTopic(const char* szSymbol, const char* szUser,
                                           char* szTopic) {
    return CSymDataAux::CreateSymbolOptionUserTopic(szSymbol, szUser, szTopic);
}

int CSymProxy::CreatePortSymbolTopic(const char* szPortfolio, const char* szSymbol, char* szTopic) {
    return CSymDataAux::CreatePortSymbolTopic(szPortfolio, szSymbol, szTopic);
}

int CSymProxy::CreateDepthTopic(const char* szSymbol, char cSource, char* szTopic) {
    return CSymDataAux::CreateDepthTopic(szSymbol, cSource, szTopic);
}

std::string CSymProxy::CreatePortSymbolTopic(const char* szPortfolio, const char* szSymbol) {
    char szTopic[kTopicBufSize] = {};
    CreatePortSymbolTopic(szPortfolio, szSymbol, szTopic);
    return szTopic;
}

std::string CSymProxy::CreateSymbolRiskUserTopic(const char* szSymbol, const char* szUser) {
    char szTopic[kTopicBufSize] = {};
    CreateSymbolRiskUserTopic(szSymbol, szUser, szTopic);
    return szTopic;
}

std::string CSymProxy::CreateSymbolOptionUserTopic(const char* szSymbol, const char* szUser) {
    char szTopic[kTopicBufSize] = {};
    CreateSymbolOptionUserTopic(szSymbol, szUser, szTopic);
    return szTopic;
}
