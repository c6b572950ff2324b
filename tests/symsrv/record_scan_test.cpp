// The record walk the server routes with: it must end where the decoder ends and accept
// exactly what the decoder accepts, or routing and the images would disagree.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>

#include "qrx/marketdata/sym_data.h"
#include "qrx/marketdata/sym_data_aux.h"
#include "qrx/symsrv/record_scan.h"
#include "qrx/wire/net_stream.h"

namespace {

std::string Encode(const CSymData& d) {
    CNetStream out(true, 1024, 1024);
    CSymDataAux::SerializeSymOut(d, out);
    char* p = nullptr;
    int n = 0;
    out.GetBuf(p, n);
    return std::string(p, static_cast<size_t>(n));
}

// What the decoder makes of the bytes: -1 when it refuses them, else the bytes it read.
int Decoded(const std::string& bytes) {
    std::string copy = bytes;
    CNetStream in(copy.empty() ? nullptr : &copy[0], static_cast<int>(copy.size()), false);
    CSymData d;
    if (!CSymDataAux::SerializeSymIn(d, in)) {
        return -1;
    }
    return in.GetReadOffset();
}

CSymData Quote(const char* szTopic, const char* szSymbol) {
    CSymData d;
    d.SetFlidDouble(0, 10.5);
    d.SetFlidDouble(1, 10.75);
    d.SetFlidDouble(300, 1e9);
    d.SetFlidInt(512, 300);
    d.SetFlidInt(1000, -7);
    d.SetFlidString(1030, GrowingStr("an exchange"));
    if (szSymbol != nullptr) {
        d.SetFlidString(1024, GrowingStr(szSymbol));
    }
    if (szTopic != nullptr) {
        d.SetFlidString(1074, GrowingStr(szTopic));
    }
    d.SetFlidString(1100, GrowingStr(std::string(500, 'x').c_str()));
    d.SetFlidChar(1536, 'B');
    d.SetFlidChar(2047, 'z');
    return d;
}

}  // namespace

TEST(RecordScan, EndsWhereTheDecoderEndsAndNamesTheTopicElseTheSymbol) {
    const struct {
        const char* topic;
        const char* symbol;
        const char* expected;
    } cases[] = {
        {"1\x06"
         "78\x06XYZ",
         "XYZ",
         "1\x06"
         "78\x06XYZ"},
        {nullptr, "IBM", "IBM"},
        {"", "IBM", ""},
        {nullptr, nullptr, nullptr},
    };
    for (const auto& c : cases) {
        const std::string bytes = Encode(Quote(c.topic, c.symbol)) + "trailing bytes of the next";
        const char* szTopic = nullptr;
        size_t nTopic = 0;
        const int n = scan_record_topic(bytes.data(), bytes.size(), szTopic, nTopic);
        EXPECT_EQ(n, Decoded(bytes));
        EXPECT_EQ(n, static_cast<int>(bytes.size() - strlen("trailing bytes of the next")));
        if (c.expected == nullptr) {
            EXPECT_EQ(szTopic, nullptr);
        } else {
            ASSERT_NE(szTopic, nullptr);
            EXPECT_EQ(std::string(szTopic, nTopic), c.expected);
        }
    }
    // An empty record: a count of zero.
    const char empty[] = {0, 0};
    const char* szTopic = nullptr;
    size_t nTopic = 0;
    EXPECT_EQ(scan_record_topic(empty, 2, szTopic, nTopic), 2);
}

TEST(RecordScan, AcceptsExactlyWhatTheDecoderAccepts) {
    const std::string whole = Encode(Quote("TOPIC", "SYM"));
    // Every cut short of the whole record is refused by both.
    for (size_t n = 0; n < whole.size(); ++n) {
        const std::string cut = whole.substr(0, n);
        const char* szTopic = nullptr;
        size_t nTopic = 0;
        EXPECT_EQ(scan_record_topic(cut.data(), cut.size(), szTopic, nTopic), -1) << n;
        EXPECT_EQ(Decoded(cut), -1) << n;
    }
    // Damaged records: the walk and the decoder agree on every one.
    std::mt19937 rng(20261207);
    int nRefused = 0;
    for (int i = 0; i < 4000; ++i) {
        std::string bytes = whole + std::string(64, '\0');
        const int nFlips = 1 + static_cast<int>(rng() % 3);
        for (int k = 0; k < nFlips; ++k) {
            bytes[rng() % whole.size()] = static_cast<char>(rng());
        }
        const char* szTopic = nullptr;
        size_t nTopic = 0;
        const int nScan = scan_record_topic(bytes.data(), bytes.size(), szTopic, nTopic);
        ASSERT_EQ(nScan, Decoded(bytes)) << "damaged record " << i;
        nRefused += nScan < 0 ? 1 : 0;
    }
    EXPECT_GT(nRefused, 0) << "no damage was ever refused: the check proves nothing";
}
