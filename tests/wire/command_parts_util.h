// Helpers for the command tests: sending a command or response as its Sym
// messages the way the client and the proxy do (one part per message, the
// sub-type from the part's position, in stream form the part as one text field
// behind the 8-byte header), and receiving them: each message framed, its body
// read into a fresh object, parts collected by command id and delivered after
// the last.
#pragma once

#include <map>
#include <type_traits>
#include <vector>

#include "qrx/runtime/growing_buffer.h"
#include "qrx/wire/command_serialization.h"
#include "qrx/wire/response.h"
#include "wire/wire_test_util.h"

namespace cmdtest {

// Sym message types of commands and responses.
constexpr short kCommandMsg = 14;
constexpr short kResponseMsg = 15;

struct SentPart {
    short subType = 0;
    short nParams = 0;
    unsigned partLen = 0;    // the state's serialized length
    wiretest::Bytes stream;  // the message in stream form
};

template <typename Cmd>
constexpr bool IsResponse() {
    return std::is_same<Cmd, CResponse>::value;
}

template <typename Cmd>
std::vector<SentPart> Send(const Cmd& cmd) {
    std::vector<SentPart> parts;
    CGrowingBuffer msg(512);
    CCommandSerializationState state;
    // Bounded: every call either produces a part or drops a parameter.
    for (int guard = 0; !state.m_bDone && guard < 100000; ++guard) {
        msg.Reset();
        MsgHdrSym hdr{};
        hdr.hdr_typ = MsgHdrSym::HDR_TYPE;
        hdr.mtyp = IsResponse<Cmd>() ? kResponseMsg : kCommandMsg;
        msg.Append(reinterpret_cast<const char*>(&hdr), 8);
        const short n = cmd.SerializeOut(msg, state);
        if (n == 0 && !state.m_bDone) {
            continue;
        }
        MsgHdrSym* pMsg = reinterpret_cast<MsgHdrSym*>(msg.GetData());
        SetMsgLen(pMsg, static_cast<int>(state.m_nSerializedMsgLen));
        pMsg->submtyp = CommandPartSubType(IsResponse<Cmd>(), parts.empty(), state.m_bDone);
        CMsgHdrStream out(true, 0, 0);
        out.SetHdrType(pMsg->hdr_typ);
        out.SetMsgType(pMsg->mtyp);
        out.SetSubMsgType(pMsg->submtyp);
        out.AppendText(MsgBody(pMsg), MsgLen(pMsg));
        out.Flush();
        parts.push_back(
            SentPart{pMsg->submtyp, n, state.m_nSerializedMsgLen, wiretest::Content(out)});
    }
    return parts;
}

// The receiving side: parts are collected by command id; a whole command or
// the last part delivers.
template <typename Cmd>
struct Collector {
    std::map<unsigned, Cmd> pending;
    std::vector<Cmd> delivered;
    std::vector<int> bodyLens;
    bool allRead = true;

    void Receive(const wiretest::Bytes& stream) {
        std::vector<char> buf(stream.begin(), stream.end());
        CMsgHdrStream msg(false, 0, 0);
        const int framed =
            CMsgHdrStream::MakeStreamFromBuffer(buf.data(), static_cast<int>(buf.size()), &msg);
        const short mtyp = IsResponse<Cmd>() ? kResponseMsg : kCommandMsg;
        std::vector<char> body(static_cast<size_t>(MSG_MEM_LEN));
        int bodyLen = 0;
        if (framed != static_cast<int>(buf.size()) || msg.GetHdrType() != MsgHdrSym::HDR_TYPE ||
            msg.GetMsgType() != mtyp ||
            !msg.GetNextText(body.data(), static_cast<int>(body.size()), bodyLen) ||
            msg.GetRemaining() != 0) {
            allRead = false;
            return;
        }
        bodyLens.push_back(bodyLen);
        CNetStream in(body.data(), bodyLen, false);
        Cmd part;
        allRead = allRead && part.ReadFrom(in) && in.GetRemaining() == 0;
        const bool rsp = IsResponse<Cmd>();
        const short st = msg.GetSubMsgType();
        const unsigned id = part.GetCmdId();
        if (st == (rsp ? SYM_RSP_WHOLE : SYM_CMD_WHOLE)) {
            delivered.push_back(part);
        } else if (st == (rsp ? SYM_RSP_FIRST : SYM_CMD_FIRST)) {
            pending.insert_or_assign(id, part);
        } else if (st == (rsp ? SYM_RSP_MIDDLE : SYM_CMD_MIDDLE)) {
            auto it = pending.find(id);
            if (it == pending.end()) {
                pending.emplace(id, part);
            } else {
                it->second.Merge(part);
            }
        } else if (st == (rsp ? SYM_RSP_LAST : SYM_CMD_LAST)) {
            auto it = pending.find(id);
            if (it == pending.end()) {
                delivered.push_back(part);
            } else {
                it->second.Merge(part);
                delivered.push_back(it->second);
                pending.erase(it);
            }
        }
    }
};

// Receives every part in order.
template <typename Cmd>
Collector<Cmd> Deliver(const std::vector<SentPart>& parts) {
    Collector<Cmd> rx;
    for (const SentPart& p : parts) {
        rx.Receive(p.stream);
    }
    return rx;
}

inline bool SameParams(const CCommand& a, const CCommand& b) {
    return a.IntParams() == b.IntParams() && a.DoubleParams() == b.DoubleParams() &&
           a.CharParams() == b.CharParams() && a.StringParams() == b.StringParams();
}

}  // namespace cmdtest
