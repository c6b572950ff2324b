// Responses: the answer to a command, a command with a status, carrying the id
// of the command it answers. Every part of a split response begins with the
// status.
#pragma once

#include "qrx/wire/command.h"

class CResponse : public CCommand {
public:
    static constexpr unsigned RESPONSE_START = 0;
    static constexpr unsigned RESPONSE_IN_PROGRESS = 1;
    static constexpr unsigned RESPONSE_END = 2;

    // A new response is unnamed and in progress.
    CResponse() = default;
    explicit CResponse(const char* name) : CCommand(name) {}
    // A response to cmd: its id, its name and its system parameters.
    explicit CResponse(const CCommand& cmd);
    CResponse(const CResponse&) = default;
    CResponse& operator=(const CResponse&) = default;
    CResponse(CResponse&&) = default;
    CResponse& operator=(CResponse&&) = default;
    ~CResponse() override = default;

    void SetStatus(unsigned status) { m_nStatus = status; }
    unsigned GetStatus() const { return m_nStatus; }
    // "RESPONSE_START", "RESPONSE_IN_PROGRESS", "RESPONSE_END" or "INVALID".
    static const char* StatusName(unsigned status);

    // The user the response is meant for (a system parameter).
    bool SetUser(const char* user);
    bool GetUser(char* buf, int size) const;

    // As for CCommand, each part beginning with the 4-byte status (which the
    // part's length bound does not count).
    short SerializeOut(CGrowingBuffer& Msg, CCommandSerializationState& state) const;
    bool WriteTo(CNetStream& strm) const;
    bool ReadFrom(CNetStream& strm);
    void toASCIIString(std::ostringstream& os) const;
    bool fromASCIIString(const char* text);

private:
    unsigned int m_nStatus = RESPONSE_IN_PROGRESS;
};

CNetStream& operator<<(CNetStream& strm, const CResponse& rsp);
CNetStream& operator>>(CNetStream& strm, CResponse& rsp);
std::ostream& operator<<(std::ostream& os, const CResponse& rsp);
