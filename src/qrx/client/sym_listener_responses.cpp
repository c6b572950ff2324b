// Command responses of the Sym listener. A response may come in parts: the
// first is kept under its command id, middle parts are merged into it and the
// last completes it. The parts kept are bounded: past MAX_PENDING_RESPONSES
// the one touched longest ago is dropped.
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

void CSymListener::HandleResponse(short submtyp) {
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
    if (submtyp == RSP_FIRST || (submtyp == RSP_MIDDLE && it == m_Responses.end())) {
        StoreResponse(id, std::move(part), it);
        return;
    }
    if (it == m_Responses.end()) {
        // A last part without the earlier ones: delivered as it is.
        OnResponse(&part);
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

void CSymListener::StoreResponse(unsigned int id, CResponse&& part,
                                 std::map<unsigned int, CResponse>::iterator it) {
    if (it != m_Responses.end()) {
        it->second = std::move(part);
        TouchResponse(id);
        return;
    }
    if (m_Responses.size() >= MAX_PENDING_RESPONSES && !m_lstResponseAge.empty()) {
        const unsigned int oldest = m_lstResponseAge.front();
        m_lstResponseAge.pop_front();
        m_ResponseAgeAt.erase(oldest);
        m_Responses.erase(oldest);
        QRX_LOG_ERROR("Dropped the incomplete response for command id "
                      << oldest << ": " << MAX_PENDING_RESPONSES
                      << " responses already await their last part");
    }
    m_Responses.emplace(id, std::move(part));
    m_ResponseAgeAt[id] = m_lstResponseAge.insert(m_lstResponseAge.end(), id);
}

void CSymListener::TouchResponse(unsigned int id) {
    auto at = m_ResponseAgeAt.find(id);
    if (at != m_ResponseAgeAt.end()) {
        // Moved to the back in place: the iterator stays valid.
        m_lstResponseAge.splice(m_lstResponseAge.end(), m_lstResponseAge, at->second);
    } else {
        m_ResponseAgeAt.emplace(id, m_lstResponseAge.insert(m_lstResponseAge.end(), id));
    }
}

void CSymListener::ForgetResponse(unsigned int id) {
    auto at = m_ResponseAgeAt.find(id);
    if (at != m_ResponseAgeAt.end()) {
        m_lstResponseAge.erase(at->second);
        m_ResponseAgeAt.erase(at);
    }
}
