#include "qrx/wire/command.h"

#include <climits>
#include <cstring>
#include <utility>

#include "qrx/runtime/fixed_text.h"
#include "qrx/wire/net_stream.h"

namespace {

constexpr size_t kPrefixLen = 4;  // strlen(CCommand::RESERVED_PREFIX)
constexpr const char* kConnectionParam = "Connection";

// Copies len bytes of src into size bytes at buf, cut to size - 1, NUL-terminated.
bool CopyOut(const char* src, size_t len, char* buf, int size) {
    if (buf == nullptr || size < 1) {
        return false;
    }
    CopyCut(buf, static_cast<size_t>(size), src, len);
    return true;
}

// The value stored under key (a C text or a GrowingStr); null when absent.
template <typename Map, typename Key>
const typename Map::mapped_type* Find(const Map& m, const Key& key) {
    const auto it = m.find(key);
    return it == m.end() ? nullptr : &it->second;
}

template <typename Map, typename T>
bool Lookup(const Map& m, const char* name, T& value) {
    if (!CCommand::IsValidParamName(name)) {
        return false;
    }
    const T* found = Find(m, name);
    if (found == nullptr) {
        return false;
    }
    value = *found;
    return true;
}

// Inserts or replaces; a name already present is not copied again.
template <typename Map, typename T>
bool Store(Map& m, const char* name, T value) {
    if (!CCommand::IsValidParamName(name)) {
        return false;
    }
    const auto it = m.lower_bound(name);
    if (it != m.end() && !m.key_comp()(name, it->first)) {
        it->second = std::move(value);
    } else {
        m.emplace_hint(it, name, std::move(value));
    }
    return true;
}

// A text parameter copied out as GetStringParam does; false when absent.
bool CopyText(const GrowingStr* found, char* buf, int size) {
    return found != nullptr && CopyOut(found->c_str(), found->length(), buf, size);
}
// A text parameter as a std::string; empty when absent.
std::string TextOrEmpty(const GrowingStr* found) {
    return found == nullptr ? std::string() : std::string(found->c_str(), found->length());
}

template <typename T, typename Map>
std::vector<KeyValue<T>> ListVisible(const Map& m) {
    std::vector<KeyValue<T>> out;
    out.reserve(m.size());
    for (const auto& kv : m) {
        if (!CCommand::IsReservedName(kv.first.c_str(), kv.first.length())) {
            out.push_back(KeyValue<T>{kv.first, kv.second});
        }
    }
    return out;
}

template <typename Map>
void MergeInto(Map& to, const Map& from) {
    for (const auto& kv : from) {
        to.insert_or_assign(kv.first, kv.second);
    }
}

// The system parameter's full name: the prefix is added unless already there.
bool SystemName(const char* name, GrowingStr& full) {
    if (name == nullptr) {
        return false;
    }
    const size_t len = strlen(name);
    if (CCommand::IsReservedName(name, len)) {
        return full.assign(name, static_cast<int>(len < INT_MAX ? len : INT_MAX));
    }
    if (len > static_cast<size_t>(GrowingStr::MAX_LEN) - kPrefixLen) {
        return false;
    }
    full.assign(CCommand::RESERVED_PREFIX, static_cast<int>(kPrefixLen));
    return full.append(name, static_cast<int>(len));
}

// ---- binary form ----

template <typename Map>
bool WriteMap(CNetStream& strm, const Map& m) {
    if (!strm.Append(static_cast<short>(m.size()))) {
        return false;
    }
    for (const auto& kv : m) {
        if (!strm.Append(kv.first) || !strm.Append(kv.second)) {
            return false;
        }
    }
    return true;
}
// Fewest bytes one pair of each kind takes on the wire: the name's length
// field and the value (a text value at least its length field).
template <typename T>
constexpr int MinPairBytes() {
    return 2 + static_cast<int>(sizeof(T));
}
template <>
constexpr int MinPairBytes<GrowingStr>() {
    return 2 + 2;
}

bool ReadValue(CNetStream& strm, GrowingStr& v) {
    return strm.GetNextField(v, 0);
}
template <typename T>
bool ReadValue(CNetStream& strm, T& v) {
    return strm.GetNextField(v);
}

// Reads a count and that many pairs. A negative count reads nothing; a count
// the remaining bytes cannot hold is refused before anything is read.
template <typename Map>
bool ReadMap(CNetStream& strm, Map& m) {
    using Value = typename Map::mapped_type;
    short count = 0;
    if (!strm.GetNextField(count)) {
        return false;
    }
    if (count <= 0) {
        return true;
    }
    if (static_cast<long>(count) * MinPairBytes<Value>() > strm.GetRemaining()) {
        return false;
    }
    GrowingStr name;
    Value value{};
    for (short i = 0; i < count; ++i) {
        if (!strm.GetNextField(name, 0) || !ReadValue(strm, value)) {
            return false;
        }
        // A name that occurs twice keeps its first value.
        m.try_emplace(name, value);
    }
    return true;
}

}  // namespace

CCommand::CCommand() : CCommand(UNNAMED) {}

CCommand::CCommand(const char* name) : m_sCommandName(UNNAMED) {
    m_nCmdId.m_nServerId = 0;
    SetCmdName(name);
}

bool CCommand::SetCmdName(const char* name) {
    if (name == nullptr) {
        m_sCommandName.clear();
        return true;
    }
    const size_t len = strnlen(name, static_cast<size_t>(MAX_NAME_LEN) + 1);
    return len <= static_cast<size_t>(MAX_NAME_LEN) &&
           m_sCommandName.assign(name, static_cast<int>(len));
}

bool CCommand::GetCmdName(char* buf, int size) const {
    return CopyOut(m_sCommandName.c_str(), m_sCommandName.length(), buf, size);
}

bool CCommand::IsReservedName(const char* name, size_t len) {
    return name != nullptr && len >= kPrefixLen && memcmp(name, RESERVED_PREFIX, kPrefixLen) == 0;
}

bool CCommand::IsValidParamName(const char* name) {
    if (name == nullptr) {
        return false;
    }
    const size_t len = strnlen(name, static_cast<size_t>(GrowingStr::MAX_LEN) + 1);
    return len <= static_cast<size_t>(GrowingStr::MAX_LEN) && !IsReservedName(name, len);
}

bool CCommand::SetIntParam(const char* name, int value) {
    return Store(m_MapIntParam, name, value);
}

bool CCommand::SetDoubleParam(const char* name, double value) {
    return Store(m_MapDoubleParam, name, value);
}

bool CCommand::SetCharParam(const char* name, char value) {
    return Store(m_MapCharParam, name, value);
}

bool CCommand::SetStringParam(const char* name, const char* value) {
    if (value == nullptr || strnlen(value, static_cast<size_t>(GrowingStr::MAX_LEN) + 1) >
                                static_cast<size_t>(GrowingStr::MAX_LEN)) {
        return false;
    }
    return Store(m_MapStringParam, name, GrowingStr(value));
}

bool CCommand::GetIntParam(const char* name, int& value) const {
    return Lookup(m_MapIntParam, name, value);
}

bool CCommand::GetDoubleParam(const char* name, double& value) const {
    return Lookup(m_MapDoubleParam, name, value);
}

bool CCommand::GetCharParam(const char* name, char& value) const {
    return Lookup(m_MapCharParam, name, value);
}

bool CCommand::GetStringParam(const char* name, char* buf, int size) const {
    if (buf == nullptr || size < 1 || !IsValidParamName(name)) {
        return false;
    }
    return CopyText(Find(m_MapStringParam, name), buf, size);
}

std::string CCommand::GetStringParam(const char* name) const {
    if (!IsValidParamName(name)) {
        return std::string();
    }
    return TextOrEmpty(Find(m_MapStringParam, name));
}

std::vector<KeyValue<int>> CCommand::GetAllIntParams() const {
    return ListVisible<int>(m_MapIntParam);
}

std::vector<KeyValue<double>> CCommand::GetAllDoubleParams() const {
    return ListVisible<double>(m_MapDoubleParam);
}

std::vector<KeyValue<char>> CCommand::GetAllCharParams() const {
    return ListVisible<char>(m_MapCharParam);
}

std::vector<KeyValue<GrowingStr>> CCommand::GetAllStringParams() const {
    return ListVisible<GrowingStr>(m_MapStringParam);
}

bool CCommand::SetSystemParameter(const char* name, const char* value) {
    GrowingStr full;
    if (value == nullptr || !SystemName(name, full)) {
        return false;
    }
    GrowingStr v;
    if (!v.assign(value)) {
        return false;
    }
    m_MapStringParam.insert_or_assign(std::move(full), std::move(v));
    return true;
}

bool CCommand::GetSystemParameter(const char* name, char* buf, int size) const {
    GrowingStr full;
    if (buf == nullptr || size < 1 || !SystemName(name, full)) {
        return false;
    }
    return CopyText(Find(m_MapStringParam, full), buf, size);
}

bool CCommand::SetConnection(const char* connection) {
    return SetSystemParameter(kConnectionParam, connection);
}

std::string CCommand::GetConnection() const {
    GrowingStr full;
    SystemName(kConnectionParam, full);
    return TextOrEmpty(Find(m_MapStringParam, full));
}

bool CCommand::Merge(const CCommand& from) {
    if (from.m_nCmdId.m_nServerId != m_nCmdId.m_nServerId ||
        from.m_sCommandName != m_sCommandName) {
        return false;
    }
    if (&from == this) {
        return true;
    }
    MergeInto(m_MapIntParam, from.m_MapIntParam);
    MergeInto(m_MapDoubleParam, from.m_MapDoubleParam);
    MergeInto(m_MapCharParam, from.m_MapCharParam);
    MergeInto(m_MapStringParam, from.m_MapStringParam);
    return true;
}

void CCommand::Clear() {
    m_MapIntParam.clear();
    m_MapDoubleParam.clear();
    m_MapCharParam.clear();
    m_MapStringParam.clear();
}

bool CCommand::WriteTo(CNetStream& strm) const {
    constexpr size_t kMaxCount = SHRT_MAX;
    if (m_MapIntParam.size() > kMaxCount || m_MapDoubleParam.size() > kMaxCount ||
        m_MapCharParam.size() > kMaxCount || m_MapStringParam.size() > kMaxCount) {
        return false;
    }
    return strm.Append(m_sCommandName) && strm.Append(GetClientId()) &&
           strm.Append(GetRequestId()) && WriteMap(strm, m_MapIntParam) &&
           WriteMap(strm, m_MapDoubleParam) && WriteMap(strm, m_MapCharParam) &&
           WriteMap(strm, m_MapStringParam);
}

bool CCommand::ReadFrom(CNetStream& strm) {
    unsigned short clientId = 0;
    unsigned short requestId = 0;
    if (!strm.GetNextField(m_sCommandName, MAX_NAME_LEN) || !strm.GetNextField(clientId)) {
        return false;
    }
    m_nCmdId.m_nRawId.m_nClientId = clientId;
    if (!strm.GetNextField(requestId)) {
        return false;
    }
    m_nCmdId.m_nRawId.m_nRequestId = requestId;
    return ReadMap(strm, m_MapIntParam) && ReadMap(strm, m_MapDoubleParam) &&
           ReadMap(strm, m_MapCharParam) && ReadMap(strm, m_MapStringParam);
}

CNetStream& operator<<(CNetStream& strm, const CCommand& cmd) {
    cmd.WriteTo(strm);
    return strm;
}

CNetStream& operator>>(CNetStream& strm, CCommand& cmd) {
    cmd.ReadFrom(strm);
    return strm;
}
