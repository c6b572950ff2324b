#include "qrx/wire/response.h"

#include "qrx/wire/net_stream.h"

namespace {
constexpr const char* kUserParam = "User";
}  // namespace

CResponse::CResponse(const CCommand& cmd) {
    // Only the system parameters go with the answer, not the request's own:
    // they alone are copied.
    m_nCmdId.m_nServerId = cmd.GetCmdId();
    m_sCommandName = cmd.CmdName();
    for (const auto& kv : cmd.StringParams()) {
        if (IsReservedName(kv.first.c_str(), kv.first.length())) {
            m_MapStringParam.insert(m_MapStringParam.end(), kv);
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

bool CResponse::WriteTo(CNetStream& strm) const {
    return strm.Append(m_nStatus) && CCommand::WriteTo(strm);
}

bool CResponse::ReadFrom(CNetStream& strm) {
    return strm.GetNextField(m_nStatus) && CCommand::ReadFrom(strm);
}

CNetStream& operator<<(CNetStream& strm, const CResponse& rsp) {
    rsp.WriteTo(strm);
    return strm;
}

CNetStream& operator>>(CNetStream& strm, CResponse& rsp) {
    rsp.ReadFrom(strm);
    return strm;
}
