#include "qrx/marketdata/topic_builders.h"

#include "qrx/marketdata/sym_topic.h"
#include "qrx/runtime/source_map.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "marketdata/md_test_util.h"

namespace {

using mdtest::T;

// A topic buffer followed by guard bytes that no builder may touch.
struct GuardedBuffer {
    explicit GuardedBuffer(size_t n) : size(n), bytes(n + 16, '#') {}
    char* data() { return bytes.data(); }
    bool GuardIntact() const {
        return std::string(bytes.begin() + static_cast<long>(size), bytes.end()) ==
               std::string(16, '#');
    }
    size_t size;
    std::vector<char> bytes;
};

}  // namespace

TEST(TopicBuildersTest, shouldComposeEachTopicTypeFromItsFields) {
    char t[128];
    EXPECT_EQ(CSymTopicBuilders::CreateTopic("ABC", t), 5);
    EXPECT_EQ(t, T("0|ABC"));
    EXPECT_EQ(CSymTopicBuilders::CreateDepthTopic("X", 'N', t), 6);
    EXPECT_EQ(t, T("1|78|X"));
    EXPECT_EQ(CSymTopicBuilders::CreatePortSymbolTopic("P", "S", t), 5);
    EXPECT_EQ(t, T("2|P|S"));
    EXPECT_EQ(CSymTopicBuilders::CreateFilterTopic("F1", "X", 'N', t), 11);
    EXPECT_EQ(t, T("3|F1|1|78|X"));
    EXPECT_TRUE(CSymTopicBuilders::CreateDirectFeedTopic(t, "SYM", 'N', sizeof t));
    EXPECT_EQ(t, T("4|N|SYM"));
    EXPECT_TRUE(CSymTopicBuilders::CreateSizesTopic("X", 100, -200, t, sizeof t));
    EXPECT_EQ(t, T("5|100|-200|X"));
    EXPECT_TRUE(CSymTopicBuilders::CreateMMIDTopic("X", 'N', "MM", t, 47));
    EXPECT_EQ(t, T("6|X|N|MM"));
    EXPECT_EQ(CSymTopicBuilders::CreateSymbolRiskUserTopic("S", "U", t), 5);
    EXPECT_EQ(t, T("7|S|U"));
    EXPECT_EQ(CSymTopicBuilders::CreateSymbolOptionUserTopic("S", "U", t), 5);
    EXPECT_EQ(t, T("8|S|U"));
    EXPECT_EQ(CSymTopicBuilders::CreateGreekTopic("S", t), 3);
    EXPECT_EQ(t, T("9|S"));
    EXPECT_TRUE(CSymTopicBuilders::CreateSymbolAliasTopic("SUB", "PUB", t, 64, 7));
    EXPECT_EQ(t, T("10|SUB|7|PUB"));
    EXPECT_TRUE(CSymTopicBuilders::IsTopicWithSize(T("5|1|2|X").c_str()));
    for (const char* other : {"55|1|2|X", "1|78|X", "5", ""}) {
        EXPECT_FALSE(CSymTopicBuilders::IsTopicWithSize(T(other).c_str())) << other;
    }
}

TEST(TopicBuildersTest, shouldCarryEverySourceNumberThroughBuildAndParse) {
    // Numbers above 127 are negative as a char, yet must read back as themselves.
    char t[128];
    for (unsigned n : {1u, 78u, 127u, 128u, 156u, 255u}) {
        const char source = static_cast<char>(n);
        CSymTopicBuilders::CreateDepthTopic("IBM", source, t);
        EXPECT_EQ(CSymTopic(t).m_cDepthSource, source) << n;
        CSymTopicBuilders::CreateFilterTopic("FLT", "IBM", source, t);
        CSymTopic filter(t);
        EXPECT_EQ(std::string(filter.m_szFilter, 3), "FLT");
        EXPECT_EQ(filter.Type(), CSymTopic::TOPIC_DEPTH) << n;
        EXPECT_EQ(filter.m_cDepthSource, source) << n;
        EXPECT_STREQ(filter.m_szSymbol, "IBM");

        ASSERT_TRUE(CSymTopicBuilders::CreateDirectFeedTopic(t, "IBM", source, sizeof t));
        CSymTopic direct(t);
        EXPECT_EQ(direct.Type(), CSymTopic::TOPIC_SOURCE_SYMBOL) << n;
        EXPECT_EQ(direct.m_cDepthSource, source) << n;
    }
}

TEST(TopicBuildersTest, shouldCutTopicsToTheDestinationSize) {
    const std::string longText(600, 'S');
    const char* s = longText.c_str();
    for (size_t size : {size_t{128}, size_t{512}}) {
        GuardedBuffer out(size);
        const int n = static_cast<int>(size);
        EXPECT_EQ(CSymTopicBuilders::CreateTopic(s, out.data(), size), n - 1);
        EXPECT_EQ(CSymTopicBuilders::CreateFilterTopic(s, "X", 'N', out.data(), size), n - 1);
        EXPECT_EQ(CSymTopicBuilders::CreateSymbolRiskUserTopic("S", s, out.data(), size), n - 1);
        EXPECT_TRUE(CSymTopicBuilders::CreateMMIDTopic("S", 'N', s, out.data(), n));
        EXPECT_EQ(strlen(out.data()), size - 1);
        EXPECT_TRUE(CSymTopicBuilders::CreateSymbolAliasTopic("S", s, out.data(), n, 1));
        EXPECT_EQ(strlen(out.data()), size - 1);
        EXPECT_TRUE(CSymTopicBuilders::CreateSizesTopic(s, 1, 1, out.data(), size));
        EXPECT_EQ(strlen(out.data()), size - 1);
        EXPECT_TRUE(out.GuardIntact());
    }
    // The default size is that of a 128-byte topic buffer.
    GuardedBuffer out(128);
    EXPECT_EQ(CSymTopicBuilders::CreatePortSymbolTopic("P", s, out.data()), 127);
    EXPECT_EQ(CSymTopicBuilders::CreateGreekTopic(s, out.data()), 127);
    EXPECT_TRUE(out.GuardIntact());
    char one = '#';
    EXPECT_EQ(CSymTopicBuilders::CreateTopic("S", &one, 0), 0);
    EXPECT_EQ(one, '#');
}

TEST(TopicBuildersTest, shouldWriteNothingWhenATopicIsRefused) {
    char t[128] = "untouched";
    // "4", SEP, source, SEP, six characters and the NUL need 11 bytes.
    EXPECT_FALSE(CSymTopicBuilders::CreateDirectFeedTopic(t, "SYMBOL", 'N', 10));
    EXPECT_FALSE(CSymTopicBuilders::CreateDirectFeedTopic(t, "S", '\0', 128));
    EXPECT_FALSE(CSymTopicBuilders::CreateSizesTopic("X", 0, 10, t, sizeof t));
    EXPECT_FALSE(CSymTopicBuilders::CreateSizesTopic("X", -1, 10, t, sizeof t));
    EXPECT_FALSE(CSymTopicBuilders::CreateMMIDTopic("X", 'N', "M", t, 46));
    EXPECT_FALSE(CSymTopicBuilders::CreateMMIDTopic("X", '\0', "M", t, 128));
    EXPECT_FALSE(CSymTopicBuilders::CreateSymbolAliasTopic("S", "P", t, 63, 1));
    EXPECT_FALSE(CSymTopicBuilders::CreateSymbolAliasTopic("S", "P", t, 128, 100));
    EXPECT_FALSE(CSymTopicBuilders::CreateSymbolAliasTopic("S", "P", t, 128, -1));
    EXPECT_STREQ(t, "untouched");
    EXPECT_TRUE(CSymTopicBuilders::CreateDirectFeedTopic(t, "SYMBOL", 'N', 11));
    EXPECT_EQ(t, T("4|N|SYMBOL"));
}

TEST(TopicBuildersTest, shouldBuildTopicsFromTheirTextualDescription) {
    char t[128];
    char* symbol = nullptr;
    char port[] = "TOPIC_PORT_SYMBOL;PF,IBM";
    CSymTopicBuilders::ParseTopicInfo(port, t, &symbol);
    EXPECT_EQ(t, T("2|PF|IBM"));
    EXPECT_EQ(symbol, port + strlen("TOPIC_PORT_SYMBOL;PF,"));

    char direct[] = "TOPIC_SOURCE_SYMBOL;NSDQ,IBM";
    CSymTopicBuilders::ParseTopicInfo(direct, t, &symbol);
    const char nsdq = static_cast<char>(KoDefaultSource::SourceMap::GetInstance().ToEnum("NSDQ"));
    EXPECT_EQ(t, T("4|") + nsdq + T("|IBM"));
    EXPECT_STREQ(symbol, "IBM");

    // An unknown source, or a symbol too long for 127 characters, gives an empty
    // topic, which callers skip.
    char unknown[] = "TOPIC_SOURCE_SYMBOL;NOPE,IBM";
    CSymTopicBuilders::ParseTopicInfo(unknown, t, &symbol);
    EXPECT_STREQ(t, "");
    EXPECT_STREQ(symbol, "IBM");
    std::string longDirect = "TOPIC_SOURCE_SYMBOL;NSDQ," + std::string(123, 'S');
    CSymTopicBuilders::ParseTopicInfo(&longDirect[0], t, &symbol);
    EXPECT_STREQ(t, "");

    // Anything else is a topic itself, up to a ";" and cut to 127 characters.
    const std::pair<std::string, std::string> plain[] = {
        {"IBM.N", "IBM.N"},
        {"TOPIC_GREEK;IBM", "TOPIC_GREEK"},
        {"TOPIC_PORT_SYMBOL;IBM", "TOPIC_PORT_SYMBOL"},
        {"NOT_A_TYPE;A,B", "NOT_A_TYPE"},
        {std::string(300, 'L'), std::string(127, 'L')},
    };
    for (auto [info, expected] : plain) {
        GuardedBuffer out(128);
        CSymTopicBuilders::ParseTopicInfo(&info[0], out.data(), &symbol);
        EXPECT_EQ(out.data(), expected);
        EXPECT_EQ(symbol, out.data());
        EXPECT_TRUE(out.GuardIntact());
    }
}
