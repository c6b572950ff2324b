#include "qrx/marketdata/sym_topic.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "marketdata/md_test_util.h"

namespace {

using mdtest::T;

// A topic text in the readable form: the separator shown as '|'.
std::string Readable(const char* sz, int len) {
    std::string s(sz, static_cast<size_t>(len));
    for (char& c : s) {
        c = c == CSymTopic::m_cDelimiter ? '|' : c;
    }
    return s;
}

// Every part the parser found, in a fixed order.
std::string Describe(const CSymTopic& t) {
    std::ostringstream os;
    os << "type=" << t.Type();
    auto text = [&](const char* name, const char* sz, int len) {
        if (sz != nullptr) {
            os << " " << name << "=" << Readable(sz, len);
        }
    };
    text("symbol", t.m_szSymbol, t.m_iSymbolLength);
    text("portfolio", t.m_szPortfolio, t.m_iPortfolioLength);
    text("filter", t.m_szFilter, t.m_iFilterLength);
    text("mmid", t.m_szMMID, t.m_iMMIDLength);
    text("user", t.m_szUser, t.m_iUserLength);
    text("publish", t.m_szPublishSymbol, t.m_iPublishSymbolLength);
    if (t.m_cDepthSource != 0) {
        os << " source=" << static_cast<unsigned>(static_cast<unsigned char>(t.m_cDepthSource));
    }
    if (t.m_dblStreamSize != 0 || t.m_dblFarStreamSize != 0) {
        os << " sizes=" << t.m_dblStreamSize << "/" << t.m_dblFarStreamSize;
    }
    if (t.m_iSubscribeSymbolType != 0) {
        os << " symtype=" << t.m_iSubscribeSymbolType;
    }
    return os.str();
}

// Looked up while this file's statics are initialised, whichever order the
// linker gives the library's and this file's initialisers.
const int s_depthTypeAtStaticInit = CSymTopic::GetTopicTypeFromStr("TOPIC_DEPTH");

}  // namespace

TEST(SymTopicTest, shouldSplitWellFormedTopicsOfEveryType) {
    const std::pair<const char*, const char*> cases[] = {
        {"ABC", "type=0 symbol=ABC"},
        {"0|ABC", "type=0 symbol=ABC"},
        {"9|A|B", "type=9 symbol=A|B"},
        {"1|78|XYZ", "type=1 symbol=XYZ source=78"},
        {"1|255|XY|10.5", "type=1 symbol=XY source=255 sizes=10.5/0"},
        {"2|PORT|A|B", "type=2 symbol=A|B portfolio=PORT"},
        {"4|NQ|SYM", "type=4 symbol=SYM source=78"},
        {"5|100|200|X", "type=5 symbol=X sizes=100/200"},
        {"6|X|N|XY", "type=6 symbol=X mmid=XY source=78"},
        {"6|X|N", "type=6 symbol=X"},
        {"7|SYM|USR", "type=7 symbol=SYM user=USR"},
        {"8|SYM|", "type=8 symbol=SYM user="},
        {"10|SUB|05|PUB", "type=10 symbol=SUB publish=PUB symtype=5"},
        {"10|SUB|99", "type=10 symbol=SUB"},
        {"3|F1|1|78|X", "type=1 symbol=X filter=F1 source=78"},
        {"3|F1|1|0|X", "type=0 symbol=1|0|X filter=F1"},  // malformed inner topic
        {"3|F1", "type=0 filter=F1"},                     // no inner topic: no symbol
        {"3", "type=0 symbol=3"},
    };
    CSymTopic topic("_UN_INITIALIZED_");
    for (const auto& [readable, expected] : cases) {
        std::string text = T(readable);
        topic.Reparse(text.c_str());
        EXPECT_EQ(Describe(topic), expected) << readable;
    }
    // Parts point into the text; the last one ends with it.
    std::string text = T("0|ABC");
    topic.Reparse(text.c_str());
    EXPECT_EQ(topic.m_szSymbol, text.c_str() + 2);
    topic.Reparse(nullptr);
    EXPECT_EQ(Describe(topic), "type=0");
}

TEST(SymTopicTest, shouldFallBackToTheWholeTextForMalformedTopics) {
    const char* cases[] = {
        "1|0|X", "1|300|X", "1|7a|X",  "12|X",        "A|X",          "1||X",       "|X",   "6|X",
        "2|P",   "7|X",     "5|100|X", "3|F1|1|78|X", "10|S|123|PUB", "10|S|x|PUB", "1|78",
    };
    for (const char* readable : cases) {
        std::string text = T(readable);
        CSymTopic topic;
        topic.ParseTopic(text.c_str());
        // Nothing half-parsed survives the fallback.
        EXPECT_EQ(Describe(topic), std::string("type=0 symbol=") + readable);
        EXPECT_EQ(topic.m_szSymbol, text.c_str());
    }
}

TEST(SymTopicTest, shouldNeverReadOutsideTheTextForAnyPrefixOfATopic) {
    // Every prefix is parsed from a heap block of exactly its size, so a read
    // past the NUL shows under the address sanitizer; every part lies inside.
    const char* topics[] = {"1|78|XYZ|100", "2|P|S", "3|F|1|78|X", "4|N|S",     "5|1|2|S",
                            "6|S|N|M",      "7|S|U", "9|S",        "10|S|12|P", "0|S"};
    for (const char* readable : topics) {
        std::string full = T(readable);
        for (size_t n = 0; n <= full.size(); ++n) {
            std::vector<char> block(full.begin(), full.begin() + static_cast<long>(n));
            block.push_back('\0');
            const char* begin = block.data();
            CSymTopic topic(begin);
            auto inside = [&](const char* p, int len) {
                return p == nullptr || (p >= begin && p + len <= begin + n);
            };
            EXPECT_TRUE(inside(topic.m_szSymbol, topic.m_iSymbolLength) &&
                        inside(topic.m_szPortfolio, topic.m_iPortfolioLength) &&
                        inside(topic.m_szFilter, topic.m_iFilterLength) &&
                        inside(topic.m_szMMID, topic.m_iMMIDLength) &&
                        inside(topic.m_szUser, topic.m_iUserLength) &&
                        inside(topic.m_szPublishSymbol, topic.m_iPublishSymbolLength))
                << readable << " cut to " << n;
            CSymTopic::IsDelimTopic(begin);
        }
    }
    // Lengths are 16-bit: a longer text is reported and copied by its first 32767.
    std::string huge(40000, 'A');
    CSymTopic topic(huge.c_str());
    EXPECT_EQ(topic.m_iSymbolLength, 32767);
    std::vector<char> buf(50000, '#');
    EXPECT_TRUE(topic.Symbol(buf.data(), static_cast<int>(buf.size())));
    EXPECT_EQ(strlen(buf.data()), 32767u);
}

TEST(SymTopicTest, shouldCopyPartsWithinTheCallersBufferLength) {
    std::string text = T("2|PORTFOLIO|SYMBOL");
    CSymTopic topic(text.c_str());
    char buf[8];
    memset(buf, '#', sizeof buf);
    EXPECT_TRUE(topic.Portfolio(buf, 5));
    EXPECT_STREQ(buf, "PORT");
    EXPECT_EQ(buf[5], '#');
    EXPECT_TRUE(topic.Symbol(buf, 1));
    EXPECT_STREQ(buf, "");

    // Absent parts write an empty string; nothing is written without room.
    memset(buf, '#', sizeof buf);
    EXPECT_FALSE(topic.User(buf, sizeof buf));
    EXPECT_STREQ(buf, "");
    EXPECT_FALSE(topic.SubscribeSymbol(buf, sizeof buf));  // only for alias topics
    memset(buf, '#', sizeof buf);
    EXPECT_FALSE(topic.MMID(buf, 0));
    EXPECT_FALSE(topic.Portfolio(buf, -3));
    EXPECT_FALSE(topic.Filter(nullptr, 8));
    EXPECT_EQ(buf[0], '#');
}

TEST(SymTopicTest, shouldReportValuesOnlyWhenTheTopicCarriesThem) {
    std::string text = T("1|78|X");
    CSymTopic topic(text.c_str());
    char source = 0;
    double size = -1;
    short type = -1;
    EXPECT_TRUE(topic.DepthSource(source) && source == 78);
    EXPECT_FALSE(topic.DepthStreamSize(size) || size != 0);  // no stream size given
    EXPECT_FALSE(topic.SubscribeSymbolType(type) || type != 0);
    text = T("5|2.5|0|X");
    topic.Reparse(text.c_str());
    EXPECT_TRUE(topic.DepthStreamSize(size) && size == 2.5);
    EXPECT_TRUE(topic.DepthStreamFarSize(size) && size == 0);
    EXPECT_FALSE(topic.DepthSource(source));
}

TEST(SymTopicTest, shouldTellStructuredTopicsFromPlainOnes) {
    EXPECT_TRUE(CSymTopic::IsDelimTopic(T("1|78|XYZ").c_str()));
    EXPECT_TRUE(CSymTopic::IsDelimTopic(T("10|S|1|P").c_str()));
    for (const char* plain : {"XYZ", "100|X", "|X", "1", ""}) {
        EXPECT_FALSE(CSymTopic::IsDelimTopic(T(plain).c_str())) << plain;
    }
    EXPECT_FALSE(CSymTopic::IsDelimTopic(nullptr));
}

TEST(SymTopicTest, shouldLookUpTypeNamesEvenFromStaticInitialisers) {
    EXPECT_EQ(s_depthTypeAtStaticInit, CSymTopic::TOPIC_DEPTH);
    EXPECT_EQ(CSymTopic::GetTopicTypeFromStr("TOPIC_SYMBOL"), CSymTopic::TOPIC_SYMBOL);
    EXPECT_EQ(CSymTopic::GetTopicTypeFromStr("TOPIC_SYMBOL_SOURCE_MMID"),
              CSymTopic::TOPIC_SYMBOL_SOURCE_MMID);
    EXPECT_EQ(CSymTopic::GetTopicTypeFromStr("TOPIC_SYMBOL_ALIAS"), CSymTopic::TOPIC_SYMBOL_ALIAS);
    EXPECT_EQ(CSymTopic::m_pMapTopicType->size(), 11u);
    EXPECT_EQ(CSymTopic::GetTopicTypeFromStr("topic_depth"), -1);
    EXPECT_EQ(CSymTopic::GetTopicTypeFromStr(nullptr), -1);
}
