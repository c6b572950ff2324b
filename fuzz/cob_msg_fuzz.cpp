// Feeds the consolidated order book messages: one byte picks the record
// (book message, status, request, description, data), the rest is read as a
// run of such records the way the listener reads a message body. Every record
// read must write back to bytes that read to a record writing the same bytes.
#include <cstdint>
#include <set>
#include <string>

#include "fuzz_util.h"
#include "qrx/marketdata/cob_data.h"
#include "qrx/marketdata/cob_info.h"
#include "qrx/marketdata/cob_msg.h"
#include "qrx/marketdata/cob_request.h"
#include "qrx/marketdata/cob_status.h"
#include "qrx/marketdata/sym_q_data.h"

namespace {

std::string Written(const CNetStream& out) {
    char* p;
    int n;
    out.GetBuf(p, n);
    return std::string(p, static_cast<size_t>(n));
}

// A leg body may name an id twice; both entries are kept and written back, in
// an order the sort by id does not fix, so such records are not compared.
bool HasRepeatedIds(const SymQData& q) {
    std::set<short> ids;
    for (auto it = q.begin(); it != q.end(); ++it) {
        if (!ids.insert(*it).second) {
            return true;
        }
    }
    return false;
}
bool HasRepeatedIds(const QuorCOB::CCOBData& d) {
    for (const SymQData* q : d.m_setAuxData) {
        if (HasRepeatedIds(*q)) {
            return true;
        }
    }
    return false;
}
bool HasRepeatedIds(const QuorCOB::CCOBMsg& m) {
    for (const auto& e : m.m_mapData) {
        if (HasRepeatedIds(e.second)) {
            return true;
        }
    }
    return false;
}
template <typename T>
bool HasRepeatedIds(const T&) {
    return false;
}

template <typename T>
void RoundTrip(const T& first) {
    if (HasRepeatedIds(first)) {
        return;
    }
    CNetStream out1(true, 0, 0);
    if (!QuorCOB::write_cob(out1, first)) {
        return;
    }
    std::string bytes = Written(out1);
    CNetStream in(bytes.empty() ? nullptr : &bytes[0], static_cast<int>(bytes.size()), false);
    T second;
    const bool read = QuorCOB::read_cob(in, second);
    FUZZ_CHECK(read);
    FUZZ_CHECK(in.GetRemaining() == 0);
    CNetStream out2(true, 0, 0);
    const bool written = QuorCOB::write_cob(out2, second);
    FUZZ_CHECK(written);
    FUZZ_CHECK(Written(out2) == Written(out1));
}

template <typename T>
void ReadRun(CNetStream& in) {
    // Bounded: a record that reads nothing would otherwise repeat forever.
    for (int i = 0; i < 64 && in.GetRemaining() > 0; ++i) {
        T rec;
        const int before = in.GetRemaining();
        if (!QuorCOB::read_cob(in, rec)) {
            return;
        }
        FUZZ_CHECK(in.GetRemaining() < before);
        RoundTrip(rec);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qrxfuzz::Input input(data, size);
    const uint8_t sel = input.Byte();
    std::string body = input.Rest();
    CNetStream in(body.empty() ? nullptr : &body[0], static_cast<int>(body.size()), false);
    switch (sel % 5) {
        case 0:
            ReadRun<QuorCOB::CCOBMsg>(in);
            break;
        case 1:
            ReadRun<QuorCOB::CCOBStatus>(in);
            break;
        case 2:
            ReadRun<QuorCOB::CCOBRequest>(in);
            break;
        case 3:
            ReadRun<QuorCOB::CCOBInfo>(in);
            break;
        default:
            ReadRun<QuorCOB::CCOBData>(in);
            break;
    }
    return 0;
}
