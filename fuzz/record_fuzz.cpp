// Feeds the record decoder: a run of record bodies as a market-data message
// carries them, read one after another into a reused record (as the listener
// does), or one body through the pre-encoded form with some ids excluded.
// Every record decoded must re-encode, in both encoded forms, to a body that
// decodes to an equal record and re-encodes to the same bytes.
#include <cstdint>
#include <cstring>
#include <set>
#include <string>

#include "fuzz_util.h"
#include "qrx/marketdata/sym_data_aux.h"

namespace {

template <typename T>
bool SameValue(const T& a, const T& b) {
    return a == b;
}
bool SameValue(const double& a, const double& b) {
    return memcmp(&a, &b, sizeof a) == 0;  // a NaN read back is the same NaN
}

template <typename T>
bool SameMap(const FlidMap<T>& a, const FlidMap<T>& b) {
    auto ia = a.begin();
    auto ib = b.begin();
    for (; ia != a.end() && ib != b.end(); ++ia, ++ib) {
        if (ia.Id() != ib.Id() || !SameValue(ia.Value(), ib.Value())) {
            return false;
        }
    }
    return ia == a.end() && ib == b.end();
}

bool Same(const CSymData& a, const CSymData& b) {
    return SameMap(a.m_map_flid_2_double, b.m_map_flid_2_double) &&
           SameMap(a.m_map_flid_2_int, b.m_map_flid_2_int) &&
           SameMap(a.m_map_flid_2_GrowingStr, b.m_map_flid_2_GrowingStr) &&
           SameMap(a.m_map_flid_2_char, b.m_map_flid_2_char);
}

std::string Encode(const CSymData& data) {
    CNetStream out(true, 0, 0);
    const bool ok = CSymDataAux::SerializeSymOut(data, out);
    FUZZ_CHECK(ok);
    char* p;
    int n;
    out.GetBuf(p, n);
    return std::string(p, static_cast<size_t>(n));
}

void RoundTrip(CSymData& first) {
    const std::string bytes = Encode(first);
    std::string copy = bytes;
    CNetStream in(&copy[0], static_cast<int>(copy.size()), false);
    CSymData second;
    const bool decoded = CSymDataAux::SerializeSymIn(second, in);
    FUZZ_CHECK(decoded);
    FUZZ_CHECK(in.GetRemaining() == 0);
    FUZZ_CHECK(Same(first, second));
    FUZZ_CHECK(Encode(second) == bytes);

    // The pre-encoded form holds the same body.
    SerializedBuf buf;
    const bool encoded = CSymDataAux::SerializeSymOut(first, buf);
    FUZZ_CHECK(encoded);
    CSymData third;
    const bool decoded3 = CSymDataAux::SerializeSymIn(third, buf, nullptr);
    FUZZ_CHECK(decoded3);
    FUZZ_CHECK(Same(first, third));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static CSymData record;
    qrxfuzz::Input input(data, size);
    const uint8_t sel = input.Byte();
    if (sel & 1) {
        // One body through the pre-encoded form, ids from a small set excluded.
        std::set<int> excluded;
        const uint8_t nEx = input.Byte() % 4;
        for (uint8_t i = 0; i < nEx; ++i) {
            excluded.insert(input.U16() % CSymData::MAX_FLIDS);
        }
        SerializedBuf buf;
        const std::string body = input.Rest();
        buf.m_SerializedBuffer.Append(body.data(), static_cast<int>(body.size()));
        CSymData one;
        if (CSymDataAux::SerializeSymIn(one, buf, excluded.empty() ? nullptr : &excluded)) {
            // Excluded ids are skipped (texts aside: the topic and symbol may be kept).
            for (int id : excluded) {
                FUZZ_CHECK(one.m_map_flid_2_double.GetFlidPtr(id) == nullptr);
                FUZZ_CHECK(one.m_map_flid_2_int.GetFlidPtr(id) == nullptr);
                FUZZ_CHECK(one.m_map_flid_2_char.GetFlidPtr(id) == nullptr);
            }
            RoundTrip(one);
        }
        return 0;
    }
    std::string body = input.Rest();
    CNetStream in(body.empty() ? nullptr : &body[0], static_cast<int>(body.size()), false);
    for (int i = 0; i < 255 && in.GetRemaining() > 0; ++i) {
        record.clear();
        if (!CSymDataAux::SerializeSymIn(record, in)) {
            break;
        }
        RoundTrip(record);
    }
    return 0;
}
