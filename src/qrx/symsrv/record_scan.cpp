#include "qrx/symsrv/record_scan.h"

#include <cstdint>

#include "qrx/marketdata/sym_data_aux.h"

namespace {

constexpr int kFlidSymbol = 1024;
constexpr int kFlidTopic = 1074;

// Values in a group: the bits of its mask (a table: without a popcount instruction in the
// target the builtin is a library call).
struct BitCounts {
    uint8_t n[256];
    constexpr BitCounts() : n() {
        for (int i = 0; i < 256; ++i) {
            n[i] = static_cast<uint8_t>((i & 1) + (i >> 1 & 1) + (i >> 2 & 1) + (i >> 3 & 1) +
                                        (i >> 4 & 1) + (i >> 5 & 1) + (i >> 6 & 1) + (i >> 7 & 1));
        }
    }
};
constexpr BitCounts kBits;

}  // namespace

int scan_record_topic(const char* pData, size_t n, const char*& szTopic, size_t& nTopicLen) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(pData);
    const char* szSymbol = nullptr;
    size_t nSymbolLen = 0;
    szTopic = nullptr;
    nTopicLen = 0;
    if (n < 2) {
        return -1;
    }
    int remaining = static_cast<short>((p[0] << 8) | p[1]);
    size_t at = 2;
    // As the decoder: groups are read whole, the count is checked between them.
    while (remaining > 0) {
        if (n - at < 2) {
            return -1;
        }
        const unsigned group = p[at];
        const unsigned mask = p[at + 1];
        at += 2;
        const int nValues = kBits.n[mask];
        switch (group >> 6) {
            case 0:
            case 1:
            case 3: {
                const size_t nSize = (group >> 6) == 0 ? 8 : ((group >> 6) == 1 ? 4 : 1);
                const size_t nNeed = nSize * static_cast<size_t>(nValues);
                if (n - at < nNeed) {
                    return -1;
                }
                at += nNeed;
                break;
            }
            default:
                // Texts, from the highest id of the group down.
                for (int bit = 7; bit >= 0; --bit) {
                    if (((mask >> bit) & 1u) == 0) {
                        continue;
                    }
                    if (n - at < 2) {
                        return -1;
                    }
                    const size_t nLen = (static_cast<size_t>(p[at]) << 8) | p[at + 1];
                    at += 2;
                    if (nLen > n - at || nLen > static_cast<size_t>(CSymDataAux::MAX_BODY_STRING)) {
                        return -1;
                    }
                    const int id = static_cast<int>(group) * 8 + bit;
                    if (id == kFlidTopic) {
                        szTopic = pData + at;
                        nTopicLen = nLen;
                    } else if (id == kFlidSymbol) {
                        szSymbol = pData + at;
                        nSymbolLen = nLen;
                    }
                    at += nLen;
                }
                break;
        }
        remaining -= nValues;
    }
    if (remaining != 0) {
        return -1;
    }
    if (szTopic == nullptr && szSymbol != nullptr) {
        szTopic = szSymbol;
        nTopicLen = nSymbolLen;
    }
    return static_cast<int>(at);
}
