#include "qrx/wire/response.h"

#include "qrx/runtime/growing_buffer.h"
#include "qrx/wire/command_serialization.h"
#include "qrx/wire/net_stream.h"

namespace {
constexpr const char* kUserParam = "User";
}  // namespace

CResponse::CResponse(const CCommand& cmd) : CCommand(cmd) {
    // Only the system parameters go with the answer, not the request's own.
    m_MapIntParam.clear();
    m_MapDoubleParam.clear();
    m_MapCharParam.clear();
    for (auto it = m_MapStringParam.begin(); it != m_MapStringParam.end();) {
        if (IsReservedName(it->first.c_str(), it->first.length())) {
            ++it;
        } else {
            it = m_MapStringParam.erase(it);
        }
    }
}

const char* CResponse::StatusName(unsigned status) {
    switch (status) {
        case RESPONSE_START:
            return "RESPONSE_START";
        case RESPONSE_IN_PROGRESS:
            return "RESPONSE_IN_PROGRESS";
        case RESPONSE_END:
            return "RESPONSE_END";
        default:
            return "INVALID";
    }
}

bool CResponse::SetUser(const char* user) {
    return SetSystemParameter(kUserParam, user);
}

bool CResponse::GetUser(char* buf, int size) const {
    return GetSystemParameter(kUserParam, buf, size);
}

short CResponse::SerializeOut(CGrowingBuffer& Msg, CCommandSerializationState& state) const {
    const int start = Msg.GetLength();
    const unsigned char status[4] = {
        static_cast<unsigned char>(m_nStatus >> 24), static_cast<unsigned char>(m_nStatus >> 16),
        static_cast<unsigned char>(m_nStatus >> 8), static_cast<unsigned char>(m_nStatus)};
    Msg.Append(reinterpret_cast<const char*>(status), 4);
    const short n = CCommand::SerializeOut(Msg, state);
    if (n == 0 && !state.m_bDone) {
        Msg.SetLength(start);
        return 0;
    }
    state.m_nSerializedMsgLen += 4;
    return n;
}

bool CResponse::WriteTo(CNetStream& strm) const {
    return strm.Append(m_nStatus) && WriteBody(strm);
}

bool CResponse::ReadFrom(CNetStream& strm) {
    return strm.GetNextField(m_nStatus) && ReadBody(strm);
}

CNetStream& operator<<(CNetStream& strm, const CResponse& rsp) {
    rsp.WriteTo(strm);
    return strm;
}

CNetStream& operator>>(CNetStream& strm, CResponse& rsp) {
    rsp.ReadFrom(strm);
    return strm;
}
