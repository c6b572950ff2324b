// Feeds the SymQData decoder (the form order-book legs travel in): a filter
// set and mode from the first bytes, then a run of bodies. Every body decoded
// must re-encode to a body that decodes to the same entries and re-encodes to
// the same bytes.
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "qrx/marketdata/sym_data_aux.h"

namespace {

// One entry as comparable bytes: type, id and value.
struct Entry {
    int type;
    short id;
    std::string value;
    bool operator==(const Entry& o) const {
        return type == o.type && id == o.id && value == o.value;
    }
};

template <typename T>
std::string Bytes(const T& v) {
    return std::string(reinterpret_cast<const char*>(&v), sizeof v);
}

std::vector<Entry> Entries(SymQData& q) {
    q.Sort();
    std::vector<Entry> out;
    for (auto it = q.begin(); it != q.end(); ++it) {
        switch (it.Type()) {
            case 0:
                out.push_back({0, it.Dbl().m_flid, Bytes(it.Dbl().m_value)});
                break;
            case 1:
                out.push_back({1, it.Int().m_flid, Bytes(it.Int().m_value)});
                break;
            case 2:
                out.push_back({2, it.Str().m_flid,
                               std::string(it.Str().m_value.c_str(), it.Str().m_value.length())});
                break;
            default:
                out.push_back({3, it.Chr().m_flid, Bytes(it.Chr().m_value)});
                break;
        }
    }
    return out;
}

bool HasRepeatedIds(const std::vector<Entry>& entries) {
    std::set<short> ids;
    for (const Entry& e : entries) {
        if (!ids.insert(e.id).second) {
            return true;
        }
    }
    return false;
}

std::string Encode(SymQData& q) {
    CNetStream out(true, 0, 0);
    if (!CSymDataAux::SerializeSymOut(q, out, nullptr, nullptr)) {
        return std::string();
    }
    char* p;
    int n;
    out.GetBuf(p, n);
    return std::string(p, static_cast<size_t>(n));
}

void RoundTrip(SymQData& first) {
    const std::vector<Entry> entries = Entries(first);
    if (HasRepeatedIds(entries)) {
        return;  // a body may name an id twice; its re-encoding keeps both, not one
    }
    const std::string bytes = Encode(first);
    if (bytes.empty()) {
        return;  // nothing but the topic and symbol: no body is written
    }
    std::string copy = bytes;
    CNetStream in(&copy[0], static_cast<int>(copy.size()), false);
    SymQData second;
    const bool decoded = CSymDataAux::SerializeSymIn(second, in, nullptr, true, nullptr);
    FUZZ_CHECK(decoded);
    FUZZ_CHECK(in.GetRemaining() == 0);
    FUZZ_CHECK(Entries(second) == entries);
    FUZZ_CHECK(Encode(second) == bytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qrxfuzz::Input input(data, size);
    const uint8_t sel = input.Byte();
    std::set<int> filter;
    for (int i = 0; i < (sel & 3); ++i) {
        filter.insert(input.U16() % SymQData::MAX_FLID);
    }
    const bool bAllow = (sel & 4) != 0;
    std::string body = input.Rest();
    CNetStream in(body.empty() ? nullptr : &body[0], static_cast<int>(body.size()), false);
    for (int i = 0; i < 64 && in.GetRemaining() > 0; ++i) {
        SymQData q;
        bool bPublish = false;
        if (!CSymDataAux::SerializeSymIn(q, in, filter.empty() ? nullptr : &filter, bAllow,
                                         &bPublish)) {
            break;
        }
        if (!bPublish) {
            FUZZ_CHECK(q.m_vecDbl.Size() == 0 && q.m_vecInt.Size() == 0 && q.m_vecChr.Size() == 0);
        }
        RoundTrip(q);
    }
    return 0;
}
