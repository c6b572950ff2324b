// Textual and printed forms of commands and responses.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>

#include "qrx/wire/command.h"
#include "qrx/wire/response.h"

namespace {

void Put(std::ostream& os, const GrowingStr& s) {
    os.write(s.c_str(), s.length());
}

template <typename T>
void PutValue(std::ostream& os, const T& v) {
    os << v;
}
void PutValue(std::ostream& os, const GrowingStr& v) {
    Put(os, v);
}

template <typename Map>
void PutSection(std::ostream& os, const Map& m) {
    os << m.size() << '|';
    for (const auto& kv : m) {
        Put(os, kv.first);
        os << '=';
        PutValue(os, kv.second);
        os << '|';
    }
}

// One line per parameter: the label, then "name = value".
template <typename Map>
void PrintLines(std::ostream& os, const char* szLabel, const Map& m) {
    for (const auto& kv : m) {
        os << szLabel;
        Put(os, kv.first);
        os << " = ";
        PutValue(os, kv.second);
        os << '\n';
    }
}

// The pieces of a text split at every '|', empty pieces included; the text
// after the last '|' is the last piece.
class Pieces {
public:
    explicit Pieces(const char* text) : m_p(text) {}

    bool Next(const char*& begin, size_t& len) {
        if (m_p == nullptr) {
            return false;
        }
        begin = m_p;
        const char* bar = strchr(m_p, '|');
        if (bar == nullptr) {
            len = strlen(m_p);
            m_p = nullptr;
        } else {
            len = static_cast<size_t>(bar - m_p);
            m_p = bar + 1;
        }
        return true;
    }

private:
    const char* m_p;
};

// A whole piece as a decimal number within [lo, hi].
bool ParseLong(const char* p, size_t len, long lo, long hi, long& out) {
    if (len == 0 || len > 24) {
        return false;
    }
    char buf[32];
    memcpy(buf, p, len);
    buf[len] = '\0';
    char* end = nullptr;
    errno = 0;
    const long v = strtol(buf, &end, 10);
    if (errno != 0 || end != buf + len || v < lo || v > hi) {
        return false;
    }
    out = v;
    return true;
}

bool ParseValue(const char* p, size_t len, int& v) {
    long l;
    if (!ParseLong(p, len, INT_MIN, INT_MAX, l)) {
        return false;
    }
    v = static_cast<int>(l);
    return true;
}
bool ParseValue(const char* p, size_t len, double& v) {
    if (len == 0) {
        return false;
    }
    const std::string s(p, len);
    char* end = nullptr;
    v = strtod(s.c_str(), &end);
    return end == s.c_str() + s.size();
}
bool ParseValue(const char* p, size_t len, char& v) {
    v = len != 0 ? *p : '\0';
    return true;
}
bool ParseValue(const char* p, size_t len, GrowingStr& v) {
    return len <= static_cast<size_t>(GrowingStr::MAX_LEN) && v.assign(p, static_cast<int>(len));
}

// A count and that many pairs name=value; a negative count reads nothing.
template <typename Map>
bool ParseSection(Pieces& pieces, Map& m) {
    const char* p;
    size_t len;
    long count;
    if (!pieces.Next(p, len) || !ParseLong(p, len, LONG_MIN, LONG_MAX, count)) {
        return false;
    }
    GrowingStr name;
    typename Map::mapped_type value{};
    for (long i = 0; i < count; ++i) {
        if (!pieces.Next(p, len)) {
            return false;
        }
        const char* eq = static_cast<const char*>(memchr(p, '=', len));
        if (eq == nullptr) {
            return false;
        }
        const size_t nameLen = static_cast<size_t>(eq - p);
        if (nameLen > static_cast<size_t>(GrowingStr::MAX_LEN) ||
            !name.assign(p, static_cast<int>(nameLen)) ||
            !ParseValue(eq + 1, len - nameLen - 1, value)) {
            return false;
        }
        m.insert_or_assign(name, value);
    }
    return true;
}

}  // namespace

void CCommand::toASCIIString(std::ostringstream& os) const {
    Put(os, m_sCommandName);
    os << '|' << static_cast<short>(GetClientId()) << '|' << static_cast<short>(GetRequestId())
       << '|';
    PutSection(os, m_MapIntParam);
    PutSection(os, m_MapDoubleParam);
    PutSection(os, m_MapCharParam);
    PutSection(os, m_MapStringParam);
    os << '\0';
}

bool CCommand::fromASCIIString(const char* text) {
    return text != nullptr && ParseASCII(text);
}

bool CCommand::ParseASCII(const char* text) {
    Pieces pieces(text);
    const char* p;
    size_t len;
    if (!pieces.Next(p, len) || len > static_cast<size_t>(MAX_NAME_LEN) ||
        !m_sCommandName.assign(p, static_cast<int>(len))) {
        return false;
    }
    long id;
    // Ids are written as signed 16-bit numbers; unsigned ones are taken too.
    if (!pieces.Next(p, len) || !ParseLong(p, len, SHRT_MIN, USHRT_MAX, id)) {
        return false;
    }
    m_nCmdId.m_nRawId.m_nClientId = static_cast<unsigned short>(id);
    if (!pieces.Next(p, len) || !ParseLong(p, len, SHRT_MIN, USHRT_MAX, id)) {
        return false;
    }
    m_nCmdId.m_nRawId.m_nRequestId = static_cast<unsigned short>(id);
    return ParseSection(pieces, m_MapIntParam) && ParseSection(pieces, m_MapDoubleParam) &&
           ParseSection(pieces, m_MapCharParam) && ParseSection(pieces, m_MapStringParam);
}

void CCommand::PrintParameters(std::ostream& os) const {
    PrintLines(os, "Int Param: ", m_MapIntParam);
    PrintLines(os, "Dbl Param: ", m_MapDoubleParam);
    PrintLines(os, "Chr Param: ", m_MapCharParam);
    PrintLines(os, "Str Param: ", m_MapStringParam);
}

void CCommand::PrintIdLine(std::ostream& os) const {
    os << "Client Id: " << GetClientId() << " Request Id: " << GetRequestId() << '\n';
}

std::ostream& operator<<(std::ostream& os, const CCommand& cmd) {
    os << "Command: ";
    Put(os, cmd.CmdName());
    os << '\n';
    cmd.PrintIdLine(os);
    cmd.PrintParameters(os);
    return os;
}

void CResponse::toASCIIString(std::ostringstream& os) const {
    os << m_nStatus << '|';
    CCommand::toASCIIString(os);
}

bool CResponse::fromASCIIString(const char* text) {
    if (text == nullptr) {
        return false;
    }
    const char* bar = strchr(text, '|');
    const size_t len = bar != nullptr ? static_cast<size_t>(bar - text) : strlen(text);
    long status;
    if (!ParseLong(text, len, 0, static_cast<long>(UINT_MAX), status)) {
        return false;
    }
    m_nStatus = static_cast<unsigned int>(status);
    return bar != nullptr && ParseASCII(bar + 1);
}

std::ostream& operator<<(std::ostream& os, const CResponse& rsp) {
    os << "Response: ";
    Put(os, rsp.CmdName());
    os << '\n';
    rsp.PrintIdLine(os);
    os << "Status " << CResponse::StatusName(rsp.GetStatus()) << '\n';
    rsp.PrintParameters(os);
    return os;
}
