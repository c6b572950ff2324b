// Dispatch of received Sym messages to the listener's callbacks.
//
// A message arrives in the transport's message memory (MSG_MEM_LEN bytes):
// raw bodies (market data, responses, order-book messages) are read through a
// stream bounded by the message length, fixed records (subscription status,
// status text, client id) within their own sizes, so that a short or lying
// message is never read past its end.
#include "qrx/client/sym_listener.h"

#include <cstdio>
#include <cstring>

#include "qrx/client/sym_connection.h"
#include "qrx/marketdata/cob_msg.h"
#include "qrx/marketdata/cob_request.h"
#include "qrx/marketdata/cob_status.h"
#include "qrx/marketdata/sym_data.h"
#include "qrx/marketdata/sym_data_aux.h"
#include "qrx/marketdata/sym_topic.h"
#include "qrx/runtime/fixed_text.h"
#include "qrx/runtime/stdio_logger.h"
#include "qrx/wire/msg_hdr.h"
#include "qrx/wire/net_stream.h"
#include "qrx/wire/sym_msgs.h"

namespace {

// Size and growth of the listener's field stream before its first message.
constexpr int STREAM_INIT_SIZE = 1024;

// Bytes of message memory behind the Sym header.
constexpr int BODY_MEM = MSG_MEM_LEN - MsgHdrSym::BODY_OFFSET;
static_assert(BODY_MEM - 1 <= GrowingStr::MAX_LEN, "a status text fits a GrowingStr");

char* BodyOf(char* msg) {
    return msg + MsgHdrSym::BODY_OFFSET;
}

}  // namespace

CSymListener::CSymListener()
    : m_pStream(new CNetStream(false, STREAM_INIT_SIZE, STREAM_INIT_SIZE)),
      m_pData(new CSymData()),
      m_pTopic(new CSymTopic("_UN_INITIALIZED_")) {}

CSymListener::~CSymListener() {
    if (m_pbAlive != nullptr) {
        *m_pbAlive = false;  // destroyed by a callback: FireEvents reads no further
    }
    // A listener destroyed while attached leaves its connection, which would
    // otherwise call it with the next message.
    if (m_pSymConnection != nullptr) {
        m_pSymConnection->RemoveClient(this);
    }
    delete m_pStream;
    delete m_pData;
    delete m_pTopic;
    m_Responses.clear();
    m_lstResponseAge.clear();
    m_ResponseIntake.clear();
}

void CSymListener::FireEvents(char* msg) {
    if (msg == nullptr) {
        return;
    }
    // The header is copied out: the transport's memory is aligned, but a
    // caller's buffer need not be.
    MsgHdrCmn hdr;
    memcpy(&hdr, msg, sizeof hdr);
    if (hdr.hdr_typ != MsgHdrSym::HDR_TYPE || hdr.mtyp > CM_SYM_COB_STATUS) {
        return;
    }
    // A callback may destroy the listener: the flag lives here, on the stack.
    bool alive = true;
    bool* const outer = m_pbAlive;
    m_pbAlive = &alive;
    Dispatch(msg, hdr, alive);
    if (alive) {
        m_pbAlive = outer;
    } else if (outer != nullptr) {
        *outer = false;
    }
}

void CSymListener::Dispatch(char* msg, const MsgHdrCmn& hdr, const bool& alive) {
    switch (hdr.mtyp) {
        case CM_SYM_DATA:
            switch (hdr.submtyp) {
                case SYM_DATA_UPDATE:
                    AttachBody(msg, hdr.msglen);
                    ReadRecords(false, alive);
                    if (alive) {
                        OnEndTickGroupRead();
                    }
                    break;
                case SYM_DATA_SNAPSHOT:
                    AttachBody(msg, hdr.msglen);
                    ReadRecords(true, alive);
                    break;
                case SYM_DATA_SNAPSHOT_START:
                    OnStartSnapshots();
                    break;
                case SYM_DATA_SNAPSHOT_END:
                    OnEndSnapshots();
                    break;
                default:
                    break;
            }
            break;
        case CM_SYM_SUB_STATUS:
            if (hdr.submtyp == SYM_SUB_STATUS_ERROR) {
                HandleSubStatus(msg, SYM_SUBS_ERROR);
            } else if (hdr.submtyp == SYM_SUB_STATUS_PENDING) {
                HandleSubStatus(msg, SYM_PENDING_SUB);
            }
            break;
        case CM_SYM_STATUS:
            switch (hdr.submtyp) {
                case SYM_STATUS_LOGIN_ACCEPTED:
                    HandleStatus(msg, SYM_LOGIN_SUCCESS);
                    break;
                case SYM_STATUS_LOGIN_REFUSED:
                    HandleStatus(msg, SYM_LOGIN_ERROR);
                    break;
                case SYM_STATUS_SOURCE_DOWN:
                    HandleStatus(msg, SYM_DATA_SOURCE_ERROR);
                    break;
                case SYM_STATUS_SOURCE_RESTORED:
                    HandleStatus(msg, SYM_DATA_SOURCE_RESTORED);
                    break;
                default:
                    break;
            }
            break;
        case CM_SYM_RESPONSE:
            AttachBody(msg, hdr.msglen);
            HandleResponse(hdr.submtyp,
                           hdr.msglen > sizeof(MsgHdrCmn) ? hdr.msglen - sizeof(MsgHdrCmn) : 0);
            break;
        case CM_SYM_CMD_CLIENT_ID:
            HandleClientId(msg);
            break;
        case CM_SYM_COB_DATA:
            AttachBody(msg, hdr.msglen);
            HandleCOBMsgs(alive);
            break;
        case CM_SYM_COB_CREATE:
            AttachBody(msg, hdr.msglen);
            HandleCOBRequest();
            break;
        case CM_SYM_COB_STATUS:
            AttachBody(msg, hdr.msglen);
            HandleCOBStatus(alive);
            break;
        default:
            break;
    }
}

void CSymListener::AttachBody(char* msg, unsigned short msglen) {
    int len = static_cast<int>(msglen) - MsgHdrSym::BODY_OFFSET;
    if (len < 0) {
        len = 0;
    } else if (len > BODY_MEM) {
        len = BODY_MEM;
    }
    m_pStream->Attach(BodyOf(msg), len, false);
}

// A body of up to 4 bytes is held in memory as 8 bytes (the Sym length rule),
// the rest zeros; a zero count reads as a record without fields. Such records
// carry neither topic nor symbol and are not delivered, so that the padding of
// an empty body produces no update.
void CSymListener::ReadRecords(bool bSnapshot, const bool& alive) {
    CSymData& data = *m_pData;
    FlidMap<GrowingStr>& strings = data.m_map_flid_2_GrowingStr;
    while (alive && m_pStream->GetRemaining() > 0) {
        data.clear();
        if (!CSymDataAux::SerializeSymIn(data, *m_pStream)) {
            fputs("Failed to serialize sym data\n", stderr);
            return;
        }
        const GrowingStr* pTopic = strings.GetFlidPtr(CSymData::flid_topic);
        if (pTopic == nullptr) {
            if (bSnapshot || data.m_setFlids.empty()) {
                continue;
            }
            // The symbol names the instrument; the record handed on carries
            // it as its topic too.
            const GrowingStr* pSymbol = strings.GetFlidPtr(CSymData::flid_symbol);
            strings.AssignText(CSymData::flid_topic, pSymbol != nullptr ? pSymbol->c_str() : "",
                               pSymbol != nullptr ? pSymbol->length() : 0);
            pTopic = strings.GetFlidPtr(CSymData::flid_topic);
        }
        const char* szTopic = pTopic->c_str();
        if (CSymTopic::IsDelimTopic(szTopic)) {
            m_pTopic->Reparse(szTopic);
            if (bSnapshot) {
                OnSnapshotData(m_pTopic, m_pData);
            } else {
                OnData(m_pTopic, m_pData);
            }
        } else if (bSnapshot) {
            OnSnapshotData(szTopic, m_pData);
        } else {
            OnData(szTopic, m_pData);
        }
    }
}

void CSymListener::HandleSubStatus(char* msg, enSymStatusCode code) {
    const char* body = BodyOf(msg);
    char szTopic[sizeof(stSymSubStatus::m_szTopic)];
    char szMessage[sizeof(stSymSubStatus::m_szMessage)];
    CopyCut(szTopic, sizeof szTopic, body + offsetof(stSymSubStatus, m_szTopic));
    CopyCut(szMessage, sizeof szMessage, body + offsetof(stSymSubStatus, m_szMessage));
    OnSymbolStatus(szTopic, szMessage, code);
}

void CSymListener::HandleStatus(char* msg, enSymStatusCode code) {
    const char* body = BodyOf(msg);
    // The text ends with its NUL, which the transport puts within the message
    // memory; one that reaches the end of it is cut there.
    const size_t n = strnlen(body, BODY_MEM);
    if (n < static_cast<size_t>(BODY_MEM)) {
        OnStatus(code, body);
        return;
    }
    m_sScratch.assign(body, BODY_MEM - 1);
    OnStatus(code, m_sScratch.c_str());
}

void CSymListener::HandleClientId(char* msg) {
    if (m_pSymConnection == nullptr) {
        return;
    }
    unsigned short id;
    memcpy(&id, BodyOf(msg), sizeof id);
    m_pSymConnection->SetCmdClientId(id);
    fprintf(stdout, "Set Sym-Client connection id as %d\n", static_cast<int>(id));
    fflush(stdout);
}

// ---- order-book messages: records are read whole before they are handed on ----

void CSymListener::HandleCOBMsgs(const bool& alive) {
    while (alive && m_pStream->GetRemaining() > 0) {
        QuorCOB::CCOBMsg cob;
        if (!QuorCOB::read_cob(*m_pStream, cob)) {
            QRX_LOG_ERROR(
                "Failed to read an order-book message; the rest of the message is dropped");
            return;
        }
        OnCOBMsg(&cob);
    }
}

void CSymListener::HandleCOBRequest() {
    QuorCOB::CCOBRequest request;
    if (!QuorCOB::read_cob(*m_pStream, request)) {
        QRX_LOG_ERROR("Failed to read an order-book creation request; it is dropped");
        return;
    }
    OnCreateCOBRequest(&request);
}

void CSymListener::HandleCOBStatus(const bool& alive) {
    while (alive && m_pStream->GetRemaining() > 0) {
        QuorCOB::CCOBStatus status;
        if (!QuorCOB::read_cob(*m_pStream, status)) {
            QRX_LOG_ERROR(
                "Failed to read an order-book status; the rest of the message is dropped");
            return;
        }
        OnCOBStatus(&status);
    }
}
