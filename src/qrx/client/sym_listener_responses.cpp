// Command responses of the Sym listener. A response may come in parts: the
// first is kept under its command id, middle parts are merged into it and the
// last completes it. What is kept is bounded: past MAX_PENDING_RESPONSES or
// MAX_PENDING_RESPONSE_BYTES the ones touched longest ago are dropped, and a
// response whose parts pass MAX_RESPONSE_PARTS or MAX_RESPONSE_BYTES is
// dropped with the rest of its parts.
#include <utility>

#include "qrx/client/sym_listener.h"
#include "qrx/runtime/stdio_logger.h"
#include "qrx/wire/net_stream.h"

namespace {

// Sub-types of responses (message type CM_SYM_RESPONSE).
constexpr short RSP_WHOLE = 12;
constexpr short RSP_FIRST = 17;
constexpr short RSP_MIDDLE = 18;
constexpr short RSP_LAST = 19;

}  // namespace

void CSymListener::HandleResponse(short submtyp, size_t nBodyBytes) {
    if (submtyp != RSP_WHOLE && submtyp != RSP_FIRST && submtyp != RSP_MIDDLE &&
        submtyp != RSP_LAST) {
        return;
    }
    CResponse part;
    if (!part.ReadFrom(*m_pStream)) {
        QRX_LOG_ERROR("Dropped a response part that could not be read (sub-type " << submtyp
                                                                                  << ")");
        return;
    }
    const unsigned int id = part.GetCmdId();
    if (submtyp == RSP_WHOLE) {
        OnResponse(&part);
        return;
    }
    auto it = m_Responses.find(id);
    const bool bKnown = m_ResponseIntake.count(id) != 0;
    if (submtyp == RSP_FIRST || (submtyp == RSP_MIDDLE && !bKnown)) {
        StoreResponse(id, std::move(part), nBodyBytes, it);
        return;
    }
    if (!bKnown) {
        // A last part without the earlier ones: delivered as it is.
        OnResponse(&part);
        return;
    }
    if (!CountResponsePart(id, nBodyBytes)) {
        if (submtyp == RSP_LAST) {
            ForgetResponse(id);  // the dropped response is over
        }
        return;
    }
    if (!it->second.Merge(part)) {
        QRX_LOG_WARNING("Response part for command id "
                        << id << " named \"" << part.CmdName().c_str()
                        << "\" does not match the stored \"" << it->second.CmdName().c_str()
                        << "\"; its parameters are dropped");
    }
    if (submtyp == RSP_MIDDLE) {
        TouchResponse(id);
        return;
    }
    // Taken out of the map before the call, so that the entry is gone however
    // the callback ends.
    auto node = m_Responses.extract(it);
    ForgetResponse(id);
    OnResponse(&node.mapped());
}

bool CSymListener::CountResponsePart(unsigned int id, size_t nBytes) {
    ResponseIntake& intake = m_ResponseIntake[id];
    if (intake.bDropped) {
        return false;
    }
    ++intake.nParts;
    intake.nBytes += nBytes;
    m_nPendingResponseBytes += nBytes;
    if (intake.nParts <= MAX_RESPONSE_PARTS && intake.nBytes <= MAX_RESPONSE_BYTES &&
        m_Responses.count(id) != 0) {
        TrimPendingResponses(id);
        return true;
    }
    QRX_LOG_ERROR("Dropped the response for command id "
                  << id << ": more than " << MAX_RESPONSE_PARTS << " parts or "
                  << MAX_RESPONSE_BYTES << " bytes (" << intake.nParts << " parts, "
                  << intake.nBytes << " bytes so far)");
    intake.bDropped = true;
    m_nPendingResponseBytes -= intake.nBytes;
    m_Responses.erase(id);
    return false;
}

void CSymListener::StoreResponse(unsigned int id, CResponse&& part, size_t nBytes,
                                 std::map<unsigned int, CResponse>::iterator it) {
    if (m_ResponseIntake.count(id) == 0 && m_ResponseIntake.size() >= MAX_PENDING_RESPONSES &&
        !m_lstResponseAge.empty()) {
        const unsigned int oldest = m_lstResponseAge.front();
        ForgetResponse(oldest);
        m_Responses.erase(oldest);
        QRX_LOG_ERROR("Dropped the incomplete response for command id "
                      << oldest << ": " << MAX_PENDING_RESPONSES
                      << " responses already await their last part");
    }
    if (it != m_Responses.end()) {
        it->second = std::move(part);
    } else {
        m_Responses.emplace(id, std::move(part));
    }
    TouchResponse(id);
    ResponseIntake& intake = m_ResponseIntake[id];
    if (!intake.bDropped) {
        m_nPendingResponseBytes -= intake.nBytes;  // the part it replaces
    }
    intake.nParts = 1;
    intake.nBytes = nBytes;
    intake.bDropped = false;
    m_nPendingResponseBytes += nBytes;
    TrimPendingResponses(id);
}

void CSymListener::TrimPendingResponses(unsigned int keep) {
    auto at = m_lstResponseAge.begin();
    while (m_nPendingResponseBytes > MAX_PENDING_RESPONSE_BYTES && at != m_lstResponseAge.end()) {
        const unsigned int oldest = *at++;  // moved on first: forgetting erases its node
        const auto intake = m_ResponseIntake.find(oldest);
        if (oldest == keep || intake == m_ResponseIntake.end() || intake->second.bDropped) {
            continue;
        }
        ForgetResponse(oldest);
        m_Responses.erase(oldest);
        QRX_LOG_ERROR("Dropped the incomplete response for command id "
                      << oldest << ": the responses awaiting their last part hold more than "
                      << MAX_PENDING_RESPONSE_BYTES << " bytes");
    }
}

void CSymListener::TouchResponse(unsigned int id) {
    auto at = m_ResponseIntake.find(id);
    if (at != m_ResponseIntake.end()) {
        // Moved to the back in place: the iterator stays valid.
        m_lstResponseAge.splice(m_lstResponseAge.end(), m_lstResponseAge, at->second.itAge);
    } else {
        ResponseIntake intake;
        intake.itAge = m_lstResponseAge.insert(m_lstResponseAge.end(), id);
        m_ResponseIntake.emplace(id, intake);
    }
}

void CSymListener::ForgetResponse(unsigned int id) {
    auto at = m_ResponseIntake.find(id);
    if (at != m_ResponseIntake.end()) {
        if (!at->second.bDropped) {
            m_nPendingResponseBytes -= at->second.nBytes;
        }
        m_lstResponseAge.erase(at->second.itAge);
        m_ResponseIntake.erase(at);
    }
}
