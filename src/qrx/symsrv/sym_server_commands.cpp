// CSymServer: commands and their responses. Each client is given a command client id at
// logon (as the platform does); its commands go, as received, to the feed handler that serves
// the topic named by their "topic" text parameter (else to the first feed handler that is
// up), and the feed handler's responses, which carry the same id, go back to that client.
#include <cstring>
#include <iterator>

#include "qrx/runtime/growing_buffer.h"
#include "qrx/runtime/stdio_logger.h"
#include "qrx/symsrv/sym_server.h"
#include "qrx/wire/command.h"
#include "qrx/wire/command_serialization.h"
#include "qrx/wire/response.h"
#include "qrx/wire/sym_msgs.h"

namespace {

// Commands in parts one client may have begun and not ended: its own threads may interleave
// a few, but each one is held until its last part comes.
constexpr int kMaxCommandsInParts = 64;

uint16_t BE16(const char* p) {
    return static_cast<uint16_t>((static_cast<uint8_t>(p[0]) << 8) | static_cast<uint8_t>(p[1]));
}

// The client id of a command or response body: behind the status (responses), the name.
bool ClientIdOf(const char* pBody, size_t nBody, bool bResponse, uint16_t& nClientId,
                uint16_t& nRequestId) {
    size_t at = bResponse ? 4 : 0;
    if (nBody < at + 2) {
        return false;
    }
    at += 2 + BE16(pBody + at);
    if (nBody < at + 4) {
        return false;
    }
    nClientId = BE16(pBody + at);
    nRequestId = BE16(pBody + at + 2);
    return true;
}

}  // namespace

void CSymServer::AssignCommandId(CClientSession* c) {
    for (int i = 0; i < 65535; ++i) {
        m_nNextCmdClientId = static_cast<uint16_t>(m_nNextCmdClientId % 65535 + 1);
        if (m_mCmdClients.find(m_nNextCmdClientId) == m_mCmdClients.end()) {
            c->m_nCmdClientId = m_nNextCmdClientId;
            m_mCmdClients[c->m_nCmdClientId] = c;
            break;
        }
    }
    if (c->m_nCmdClientId == 0) {
        return;  // 65,535 clients hold every id: this one sends no commands
    }
    // Type 16: the id, a signed 16-bit number.
    const char msg[] = {0,
                        10,
                        0,
                        static_cast<char>(MsgHdrSym::HDR_TYPE),
                        0,
                        static_cast<char>(CM_SYM_CMD_CLIENT_ID),
                        0,
                        0,
                        static_cast<char>(c->m_nCmdClientId >> 8),
                        static_cast<char>(c->m_nCmdClientId & 0xFF)};
    SendToClient(c, msg, sizeof msg);
}

void CSymServer::ForgetCommandId(CClientSession* c) {
    if (c->m_nCmdClientId != 0) {
        m_mCmdClients.erase(c->m_nCmdClientId);
        c->m_nCmdClientId = 0;
    }
    // Its commands whose last part will not come now, whatever ids they carry (a client
    // that sends before its id has come back sends 0).
    for (auto it = m_mCmdFeeds.begin(); it != m_mCmdFeeds.end();) {
        it = (it->first >> 32) == c->m_nId ? m_mCmdFeeds.erase(it) : std::next(it);
    }
    c->m_nCommandsInParts = 0;
}

void CSymServer::ForgetFeedCommands(CFeedLink* f) {
    for (auto& kv : m_mCmdFeeds) {
        if (kv.second == f->m_nIndex) {
            kv.second = -1 - f->m_nIndex;
        }
    }
}

void CSymServer::HandleCommand(CClientSession* c, const MsgHdrSym* h, const char* p, int nLen) {
    const char* pBody = MsgBody(h);
    const size_t nBody = static_cast<size_t>(MsgLen(h));
    uint16_t nClient = 0;
    uint16_t nRequest = 0;
    if (!ClientIdOf(pBody, nBody, false, nClient, nRequest)) {
        if (c->ShouldLog(CClientSession::LOG_BAD_COMMAND)) {
            QRX_LOG_WARNING("qrx-symsrv: client " << c->m_nId
                                                  << " sent an unreadable command; dropped");
        }
        return;
    }
    const uint64_t nKey = (static_cast<uint64_t>(c->m_nId) << 32) |
                          (static_cast<uint64_t>(nClient) << 16) | static_cast<uint64_t>(nRequest);
    int nFeed = -1;
    const bool bFirst = h->submtyp == 11 || h->submtyp == 14;
    if (bFirst) {
        CCommand cmd;
        CNetStream in(const_cast<char*>(pBody), static_cast<int>(nBody), false);
        in >> cmd;
        const std::string strTopic = cmd.GetStringParam("topic");
        // A topic goes where its subscriptions go, up or not: another feed handler whose
        // rule also matches does not serve it.
        for (auto& f : m_vecFeeds) {
            if (strTopic.empty() ? f->m_eState == CFeedLink::STATE_UP
                                 : f->Routes(strTopic.c_str())) {
                nFeed = f->m_eState == CFeedLink::STATE_UP ? f->m_nIndex : -1;
                break;
            }
        }
        if (nFeed < 0) {
            RefuseCommand(
                c, cmd,
                strTopic.empty() ? "no feed handler is up" : "no feed handler serves " + strTopic);
            return;
        }
        if (h->submtyp == 14) {
            auto it = m_mCmdFeeds.find(nKey);
            if (it == m_mCmdFeeds.end()) {
                if (c->m_nCommandsInParts >= kMaxCommandsInParts) {
                    RefuseCommand(c, cmd, "too many commands in parts at once");
                    return;
                }
                ++c->m_nCommandsInParts;
                m_mCmdFeeds.emplace(nKey, nFeed);
            } else {
                it->second = nFeed;
            }
        }
    } else {
        auto it = m_mCmdFeeds.find(nKey);
        if (it == m_mCmdFeeds.end()) {
            return;  // the rest of a command whose start went nowhere
        }
        nFeed = it->second;
        if (nFeed < 0) {
            // Its feed handler was lost after the start went there: said once, the rest
            // goes nowhere (a new connection would take the rest for a whole command).
            m_mCmdFeeds.erase(it);
            --c->m_nCommandsInParts;
            CCommand cmd;
            CNetStream in(const_cast<char*>(pBody), static_cast<int>(nBody), false);
            in >> cmd;
            RefuseCommand(c, cmd,
                          "the feed handler was lost: " +
                              m_vecFeeds[static_cast<size_t>(-1 - nFeed)]->m_cfg.m_strName);
            return;
        }
        if (h->submtyp == 16) {
            m_mCmdFeeds.erase(it);
            --c->m_nCommandsInParts;
        }
    }
    CFeedLink* f = m_vecFeeds[static_cast<size_t>(nFeed)].get();
    if (f->m_eState != CFeedLink::STATE_UP) {
        return;
    }
    // Forwarded as received.
    f->m_out.AppendMsg(p, static_cast<size_t>(nLen));
    WriteFeed(f);
}

void CSymServer::RefuseCommand(CClientSession* c, const CCommand& cmd, const std::string& strWhy) {
    CResponse resp(cmd);
    resp.SetStatus(2);
    resp.SetStringParam("error", strWhy.c_str());
    CGrowingBuffer body(1024);
    CCommandSerializationState state;
    resp.SerializeOut(body, state);
    if (!state.m_bDone || body.GetLength() + 12 > 65535) {
        return;
    }
    std::string msg(10, '\0');
    const size_t nLen = 10 + static_cast<size_t>(body.GetLength());
    msg[0] = static_cast<char>(nLen >> 8);
    msg[1] = static_cast<char>(nLen & 0xFF);
    msg[3] = static_cast<char>(MsgHdrSym::HDR_TYPE);
    msg[5] = static_cast<char>(CM_SYM_RESPONSE);
    msg[7] = 12;
    msg[8] = static_cast<char>(body.GetLength() >> 8);
    msg[9] = static_cast<char>(body.GetLength() & 0xFF);
    msg.append(body.GetData(), static_cast<size_t>(body.GetLength()));
    SendToClient(c, msg.data(), msg.size());
}

void CSymServer::ForwardResponse(const char* p, int nLen) {
    if (nLen < 10) {
        return;
    }
    const size_t nBody = BE16(p + 8);
    if (10 + nBody > static_cast<size_t>(nLen)) {
        return;
    }
    uint16_t nClient = 0;
    uint16_t nRequest = 0;
    if (!ClientIdOf(p + 10, nBody, true, nClient, nRequest)) {
        return;
    }
    auto it = m_mCmdClients.find(nClient);
    if (it != m_mCmdClients.end() && !it->second->m_bDoomed) {
        SendToClient(it->second, p, static_cast<size_t>(nLen));
    }
}
