// Generic commands: a named request with four ordered maps of typed parameters
// (int, double, char, text) that a client sends to the feed handler, which
// agrees with it on names and meanings. A large command is split over several
// Sym messages by SerializeOut and put together again with Merge.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "qrx/runtime/growing_str.h"

class CGrowingBuffer;
class CNetStream;
class CCommandSerializationState;

// Identifier of a command: the client id in the low and the request id in the
// high 16 bits of one 32-bit value.
union _CmdId {
    struct {
        unsigned short m_nClientId;
        unsigned short m_nRequestId;
    } m_nRawId;
    unsigned int m_nServerId;
};
static_assert(sizeof(_CmdId) == 4, "a command id is 32 bits");

// One parameter as listed by GetAll*Params.
template <typename T>
struct KeyValue {
    GrowingStr key;
    T value;
};

class CCommand {
public:
    // Searched by plain C names without building a key string.
    using IntParamMap = std::map<GrowingStr, int, GrowingStrLess>;
    using DoubleParamMap = std::map<GrowingStr, double, GrowingStrLess>;
    using CharParamMap = std::map<GrowingStr, char, GrowingStrLess>;
    using StringParamMap = std::map<GrowingStr, GrowingStr, GrowingStrLess>;

    // Name given by default construction.
    static constexpr const char* UNNAMED = "_UN_NAMED_COMMAND_";
    // Names beginning with this prefix belong to system parameters.
    static constexpr const char* RESERVED_PREFIX = "KO::";
    // Longest part of a split command, the opening included.
    static constexpr int MAX_PART_LEN = 15359;
    // Longest name: the opening (name, client id, request id) and the four
    // counts of an empty part fit a part.
    static constexpr int MAX_NAME_LEN = MAX_PART_LEN - 14;

    CCommand();
    // A name longer than MAX_NAME_LEN leaves the default name.
    explicit CCommand(const char* name);
    CCommand(const CCommand&) = default;
    CCommand& operator=(const CCommand&) = default;
    CCommand(CCommand&&) = default;
    CCommand& operator=(CCommand&&) = default;
    virtual ~CCommand() = default;

    // ---- identifier ----
    void SetCmdId(unsigned short clientId, unsigned short requestId) {
        m_nCmdId.m_nRawId.m_nClientId = clientId;
        m_nCmdId.m_nRawId.m_nRequestId = requestId;
    }
    void SetCmdId(unsigned int id) { m_nCmdId.m_nServerId = id; }
    unsigned int GetCmdId() const { return m_nCmdId.m_nServerId; }
    unsigned short GetClientId() const { return m_nCmdId.m_nRawId.m_nClientId; }
    unsigned short GetRequestId() const { return m_nCmdId.m_nRawId.m_nRequestId; }

    // ---- name ----
    // A null name gives the empty name; a name longer than MAX_NAME_LEN is
    // refused and the old name stays.
    bool SetCmdName(const char* name);
    // Copies the name into size bytes at buf, cut to size - 1 characters and
    // NUL-terminated. False for a null buffer or a size below 1.
    bool GetCmdName(char* buf, int size) const;
    std::string GetCmdName() const {
        return std::string(m_sCommandName.c_str(), m_sCommandName.length());
    }
    const GrowingStr& CmdName() const { return m_sCommandName; }

    // ---- parameters ----
    // Insert or replace; false, with nothing changed, for an invalid name
    // (IsValidParamName) or a null text value.
    bool SetIntParam(const char* name, int value);
    bool SetDoubleParam(const char* name, double value);
    bool SetCharParam(const char* name, char value);
    bool SetStringParam(const char* name, const char* value);

    // Read back; false when the name is invalid or not present. Texts are cut
    // to size - 1 characters and NUL-terminated.
    bool GetIntParam(const char* name, int& value) const;
    bool GetDoubleParam(const char* name, double& value) const;
    bool GetCharParam(const char* name, char& value) const;
    bool GetStringParam(const char* name, char* buf, int size) const;
    // The empty string when the parameter is absent.
    std::string GetStringParam(const char* name) const;

    // The parameters of one kind in name order, system parameters left out.
    std::vector<KeyValue<int>> GetAllIntParams() const;
    std::vector<KeyValue<double>> GetAllDoubleParams() const;
    std::vector<KeyValue<char>> GetAllCharParams() const;
    std::vector<KeyValue<GrowingStr>> GetAllStringParams() const;

    // All parameters of every kind, system parameters included.
    const IntParamMap& IntParams() const { return m_MapIntParam; }
    const DoubleParamMap& DoubleParams() const { return m_MapDoubleParam; }
    const CharParamMap& CharParams() const { return m_MapCharParam; }
    const StringParamMap& StringParams() const { return m_MapStringParam; }

    // ---- system parameters (text, under the reserved prefix) ----
    // name may be given with or without the prefix.
    bool SetSystemParameter(const char* name, const char* value);
    bool GetSystemParameter(const char* name, char* buf, int size) const;
    // The connection the command came through or is meant for.
    bool SetConnection(const char* connection);
    std::string GetConnection() const;

    // A name a caller may use for a parameter: not null, not reserved, and
    // short enough for a GrowingStr.
    static bool IsValidParamName(const char* name);
    static bool IsReservedName(const char* name, size_t len);

    // Adds every parameter of from (replacing those of the same name and kind)
    // when from has the same id and name; otherwise changes nothing and
    // returns false.
    bool Merge(const CCommand& from);
    // Empties the four maps; the id and the name stay.
    void Clear();

    // Appends the next part of the command (at most MAX_PART_LEN bytes) to Msg
    // and returns the number of parameters in it. A result of 0 while the
    // state is not done means a parameter too big for any part was dropped and
    // Msg must be discarded (it is cut back to where this call began).
    short SerializeOut(CGrowingBuffer& Msg, CCommandSerializationState& state) const;

    // The whole command in one piece. WriteTo refuses, writing nothing, a map
    // of more than 32,767 parameters (its count would not fit). ReadFrom stops
    // with false at the first field that cannot be read, or at a count the
    // remaining bytes cannot hold; the pairs read before stay.
    bool WriteTo(CNetStream& strm) const;
    bool ReadFrom(CNetStream& strm);

    // Textual form: name|client id|request id|count|pairs...| for each kind in
    // turn, then a NUL. fromASCIIString stops quietly where the pieces end or
    // at a malformed piece, keeping what it read; true when it read the whole
    // layout.
    void toASCIIString(std::ostringstream& os) const;
    bool fromASCIIString(const char* text);

    // One line per parameter: "Int Param: name = value" and so on.
    void PrintParameters(std::ostream& os) const;
    // "Client Id: " id " Request Id: " id and a line end.
    void PrintIdLine(std::ostream& os) const;

protected:
    // Parses the command pieces starting at text; true when all were read.
    bool ParseASCII(const char* text);

    _CmdId m_nCmdId;
    GrowingStr m_sCommandName;
    IntParamMap m_MapIntParam;
    DoubleParamMap m_MapDoubleParam;
    CharParamMap m_MapCharParam;
    StringParamMap m_MapStringParam;
};

CNetStream& operator<<(CNetStream& strm, const CCommand& cmd);
CNetStream& operator>>(CNetStream& strm, CCommand& cmd);
std::ostream& operator<<(std::ostream& os, const CCommand& cmd);
