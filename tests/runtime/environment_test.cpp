#include "qrx/runtime/environment.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/child_process.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

// Cached values need a fresh process: checks run in a forked child, which prints each
// failed check and exits with the number of failures.
#define CHILD_CHECK(cond) \
    ((cond) ? 0 : (std::fprintf(stderr, "CHECK FAILED line %d: %s\n", __LINE__, #cond), ++failures))

bool Same(const char* a, const char* b) {
    return (a == nullptr && b == nullptr) || (a != nullptr && b != nullptr && !std::strcmp(a, b));
}

void Set(const char* name, const char* value) {
    value != nullptr ? setenv(name, value, 1) : unsetenv(name);
}

std::string ExpectChildPassed(const std::function<int()>& body) {
    ChildResult r = RunInChild(body);
    EXPECT_EQ(r.exitCode, 0) << r.stderrText;
    return r.stderrText;
}

}  // namespace

TEST(EnvironmentTest, shouldReadDecimalIntegersAndReportTextThatIsNone) {
    unsetenv("QUOR_TEST_INT");
    EXPECT_EQ(quor_getenv("QUOR_TEST_INT", 3), 3);
    struct {
        const char* value;
        int expected;
        bool reported;
    } cases[] = {{"10", 10, false}, {"-1", -1, false}, {"12abc", 12, false},
                 {"abc", 0, true},  {"", 0, true},     {"99999999999999", INT_MAX, false}};
    for (const auto& c : cases) {
        setenv("QUOR_TEST_INT", c.value, 1);
        testing::internal::CaptureStderr();
        EXPECT_EQ(quor_getenv("QUOR_TEST_INT", 3), c.expected) << c.value;
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(err.find(std::string("**ERROR**\t:quor_getenv(): invalid non-integer value = ") +
                           c.value + " for environment = QUOR_TEST_INT\n") != std::string::npos,
                  c.reported)
            << c.value << ": " << err;
    }
    unsetenv("QUOR_TEST_INT");
}

TEST(EnvironmentTest, shouldTreatOnlyExactYesAsSwitchedOn) {
    for (const char* off : {"yes", "Yes", "YES ", " YES", ""}) {
        setenv("QUOR_TEST_SWITCH", off, 1);
        EXPECT_EQ(quor_getenv_yes("QUOR_TEST_SWITCH"), nullptr) << '"' << off << '"';
    }
    setenv("QUOR_TEST_SWITCH", "YES", 1);
    EXPECT_TRUE(Same(quor_getenv_yes("QUOR_TEST_SWITCH"), "YES"));
    unsetenv("QUOR_TEST_SWITCH");
    EXPECT_EQ(quor_getenv_yes("QUOR_TEST_SWITCH"), nullptr);

    // The uncached switches follow every change.
    setenv("QUOR_TRUE_BIND", "YES", 1);
    EXPECT_TRUE(quor_true_bind());
    setenv("QUOR_TRUE_BIND", "yes", 1);
    EXPECT_FALSE(quor_true_bind());
    setenv("QUOR_FIX_LARGE_LIST", "", 1);
    EXPECT_TRUE(quor_fix_large_list());
    unsetenv("QUOR_FIX_LARGE_LIST");
    EXPECT_FALSE(quor_fix_large_list());
}

TEST(EnvironmentTest, shouldGiveTransportDefaultsWhenNothingIsSet) {
    ExpectChildPassed([] {
        int failures = 0;
        for (const char* name : {"QUOR_TCP_BUFFER_SIZE", "QUOR_DISABLE_NAGLE", "QUOR_CONN_TIMEOUT",
                                 "QUOR_CLUSTER_BIND", "QUOR_SOCKS_PROXY_HOST", "DISPLAY"}) {
            unsetenv(name);
        }
        CHILD_CHECK(quor_tcp_buffer_size() == 32768);
        CHILD_CHECK(!quor_disable_nagle());
        CHILD_CHECK(quor_conn_timeout() == 3);
        CHILD_CHECK(quor_cluster_bind() == nullptr);
        CHILD_CHECK(quor_socks_proxy_host() == nullptr);
        CHILD_CHECK(quor_display() == nullptr);
        CHILD_CHECK(quor_fixtag_delim() == ';');
        return failures;
    });
}

TEST(EnvironmentTest, shouldReadTransportSettingsOnceAndKeepThem) {
    const std::string err = ExpectChildPassed([] {
        int failures = 0;
        const std::string longHost(5000, 'h');
        setenv("QUOR_TCP_BUFFER_SIZE", "65536", 1);
        setenv("QUOR_DISABLE_NAGLE", "YES", 1);
        setenv("QUOR_CONN_TIMEOUT", "abc", 1);
        setenv("QUOR_CLUSTER_BIND", "127.0.0.2", 1);
        setenv("QUOR_SOCKS_PROXY_HOST", longHost.c_str(), 1);
        setenv("QUOR_SOCKS_PROXY_PORT", "1080", 1);
        setenv("QUOR_FIXTAG_DELIM", "|^", 1);
        for (int pass = 0; pass < 2; ++pass) {
            CHILD_CHECK(quor_tcp_buffer_size() == 65536);
            CHILD_CHECK(quor_disable_nagle());
            CHILD_CHECK(quor_conn_timeout() == 0);
            CHILD_CHECK(Same(quor_cluster_bind(), "127.0.0.2"));
            CHILD_CHECK(Same(quor_socks_proxy_host(), longHost.c_str()));
            CHILD_CHECK(Same(quor_socks_proxy_port(), "1080"));
            CHILD_CHECK(quor_fixtag_delim() == '|');
            // Later changes to the environment must not reach the cached values.
            for (const char* name : {"QUOR_TCP_BUFFER_SIZE", "QUOR_DISABLE_NAGLE",
                                     "QUOR_CONN_TIMEOUT", "QUOR_SOCKS_PROXY_HOST"}) {
                setenv(name, "9", 1);
            }
            unsetenv("QUOR_CLUSTER_BIND");
            unsetenv("QUOR_SOCKS_PROXY_PORT");
            setenv("QUOR_FIXTAG_DELIM", "#", 1);
        }
        return failures;
    });
    // The time-out's bad value is reported once: when it is first read.
    const std::string line = "invalid non-integer value = abc for environment = QUOR_CONN_TIMEOUT";
    EXPECT_NE(err.find(line), std::string::npos) << err;
    EXPECT_EQ(err.find(line), err.rfind(line)) << err;
}

TEST(EnvironmentTest, shouldRoundTheFeeToFourDecimalsWithTheConfiguredFactor) {
    ExpectChildPassed([] {
        int failures = 0;
        unsetenv("QUOR_SECFEE");
        CHILD_CHECK(get_Sec_Fee(1000000.0) == 46.8);
        CHILD_CHECK(get_Sec_Fee(12345.67) == 0.5778);  // 0.57777...: rounded, not cut
        return failures;
    });
    ExpectChildPassed([] {
        int failures = 0;
        setenv("QUOR_SECFEE", "22.9", 1);
        CHILD_CHECK(get_Sec_Fee(2000000.0) == 45.8);
        return failures;
    });
}

TEST(EnvironmentTest, shouldSwapBarsAndBlanksOnlyWhenTheSymSpaceSwitchIsOn) {
    ExpectChildPassed([] {
        int failures = 0;
        setenv("QUOR_SYM_SPACE", "YES", 1);
        char inPlace[] = "IBM|N US";
        CHILD_CHECK(bar_space_int(inPlace) == inPlace && Same(inPlace, "IBM N US"));
        CHILD_CHECK(space_bar_int(inPlace) == inPlace && Same(inPlace, "IBM|N|US"));
        const char* plain = "IBM.N";
        CHILD_CHECK(bar_space(plain) == plain && space_bar(plain) == plain);
        const char* original = "A|B C";
        CHILD_CHECK(Same(bar_space(original), "A B C") && Same(space_bar(original), "A|B|C"));
        CHILD_CHECK(Same(original, "A|B C"));
        // Texts of any length come back whole.
        std::string big(20000, 'x');
        big[19999] = '|';
        std::string expected(20000, 'x');
        expected[19999] = ' ';
        CHILD_CHECK(Same(bar_space(big.c_str()), expected.c_str()));
        return failures;
    });
    ExpectChildPassed([] {
        int failures = 0;
        setenv("QUOR_SYM_SPACE", "yes", 1);
        char inPlace[] = "IBM|N US";
        space_bar_int(bar_space_int(inPlace));
        CHILD_CHECK(Same(inPlace, "IBM|N US"));
        const char* original = "A|B C";
        CHILD_CHECK(bar_space(original) == original && space_bar(original) == original);
        return failures;
    });
}

TEST(EnvironmentTest, shouldFindOnlyWholeBlankDelimitedEntriesInAList) {
    EXPECT_TRUE(is_env_match(" A B ", "A"));
    EXPECT_TRUE(is_env_match(" A B ", "B"));
    EXPECT_FALSE(is_env_match(" A B ", "AB"));
    EXPECT_FALSE(is_env_match(" AB ", "A"));
    EXPECT_FALSE(is_env_match("A B", "A"));
    EXPECT_FALSE(is_env_match("A B", "B"));
    EXPECT_FALSE(is_env_match(" A ", "A B C D"));
    EXPECT_FALSE(is_env_match(nullptr, "A"));
    EXPECT_FALSE(is_env_match("  ", ""));
}

TEST(EnvironmentTest, shouldDecideReplayReferenceFromTheListAndItsInversion) {
    ExpectChildPassed([] {
        int failures = 0;
        bool match = true;
        Set("QUOR_RPLD_REF", nullptr);
        Set("QUOR_INV_RPLD_ENV", nullptr);
        CHILD_CHECK(!isQuorRpldRefSet("X"));
        CHILD_CHECK(!isQuorRpldRefSet("X", match) && !match);
        return failures;
    });
    ExpectChildPassed([] {
        int failures = 0;
        bool match = false;
        Set("QUOR_RPLD_REF", " X Y ");
        Set("QUOR_INV_RPLD_ENV", nullptr);
        CHILD_CHECK(isQuorRpldRefSet("X") && !isQuorRpldRefSet("Z") && !isQuorRpldRefSet(nullptr));
        CHILD_CHECK(isQuorRpldRefSet("Y", match) && match);
        CHILD_CHECK(isQuorRpldRefSet("Z", match) && !match);
        match = true;
        CHILD_CHECK(!isQuorRpldRefSet(nullptr, match) && !match);
        unsetenv("QUOR_RPLD_REF");  // cached: no effect
        CHILD_CHECK(isQuorRpldRefSet("X"));
        return failures;
    });
    ExpectChildPassed([] {
        int failures = 0;
        bool match = true;
        Set("QUOR_RPLD_REF", " X Y ");
        Set("QUOR_INV_RPLD_ENV", "YES");
        CHILD_CHECK(!isQuorRpldRefSet("X") && isQuorRpldRefSet("Z"));
        CHILD_CHECK(isQuorRpldRefSet("X", match) && !match);
        return failures;
    });
    ExpectChildPassed([] {
        int failures = 0;
        bool match = true;
        Set("QUOR_RPLD_REF", nullptr);
        Set("QUOR_INV_RPLD_ENV", "no");
        CHILD_CHECK(!isQuorRpldRefSet("X"));
        // The variable is set, though the switch is off.
        CHILD_CHECK(isQuorRpldRefSet("X", match) && !match);
        return failures;
    });
}

TEST(EnvironmentTest, shouldAutoClaimForListedSendersOrEveryoneWhenSwitchedOn) {
    ExpectChildPassed([] {
        int failures = 0;
        Set("QUOR_AUTO_CLAIM", "yes");
        Set("QUOR_AUTO_CLAIM_SENDERS", " S1 S2 ");
        CHILD_CHECK(isAutoClaim("A-MAN") && isAutoClaim("S2"));
        CHILD_CHECK(!isAutoClaim("S3") && !isAutoClaim("A-MANX"));
        CHILD_CHECK(!isAutoClaim("") && !isAutoClaim(nullptr));
        return failures;
    });
    ExpectChildPassed([] {
        int failures = 0;
        Set("QUOR_AUTO_CLAIM", "YES");
        Set("QUOR_AUTO_CLAIM_SENDERS", nullptr);
        CHILD_CHECK(isAutoClaim(nullptr) && isAutoClaim("S3"));
        return failures;
    });
}

namespace {

// getMicroSecondQuotesTags in a child with the variable as given (null: unset); the child
// prints the result and both tags after the logged lines.
std::string QuoteTags(const char* value) {
    return RunInChild([value] {
               Set("QUOR_FX_MICROSECOND_QUOTES", value);
               int sec = -1, usec = -1;
               bool ok = getMicroSecondQuotesTags(sec, usec);
               std::fprintf(stderr, "result=%d,%d,%d\n", ok ? 1 : 0, sec, usec);
               return 0;
           })
        .stderrText;
}

}  // namespace

TEST(EnvironmentTest, shouldAcceptExactlyTwoPositiveMicrosecondQuoteTags) {
    const std::string two = QuoteTags("52,1008");
    EXPECT_THAT(two, HasSubstr("  INFO   \t:getMicroSecondQuotesTags::Timestamp tags : 52, 1008, "
                               "Count = 2\n"));
    EXPECT_THAT(two, HasSubstr("  INFO   \t:getMicroSecondQuotesTags::true \nresult=1,52,1008\n"));

    EXPECT_THAT(QuoteTags("52"), HasSubstr("getMicroSecondQuotesTags::false hence setting "
                                           "timestamp tags to 0\nresult=0,0,0\n"));
    EXPECT_THAT(QuoteTags(nullptr), HasSubstr("QUOR_FX_MICROSECOND_QUOTES not set hence setting "
                                              "timestamp tags to 0\nresult=0,0,0\n"));
    EXPECT_THAT(QuoteTags("-4,52,abc,0,1008"), HasSubstr("result=1,52,1008\n"));
    EXPECT_THAT(QuoteTags("1,2,3"), HasSubstr("Count = 3\n"));
    // Only the first 128 characters count: the third tag lies beyond them.
    const std::string longValue = "52,1008," + std::string(130, 'x') + ",77";
    EXPECT_THAT(QuoteTags(longValue.c_str()), HasSubstr("result=1,52,1008\n"));
}

TEST(EnvironmentTest, shouldListOnlyLinesThatBeginWithQuor) {
    ChildResult r = RunInChild([] {
        setenv("QUOR_LISTED_FOR_TEST", std::string(3000, 'q').c_str(), 1);
        setenv("NOT_QUOR_LISTED", "hidden", 1);
        // A line longer than the read buffer whose continuation begins with "QUOR".
        std::string split(1024 - 1 - std::strlen("XLONG="), 'a');
        setenv("XLONG", (split + "QUOR_FALSE_START").c_str(), 1);
        return list_quor_env();
    });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_THAT(r.stderrText, HasSubstr("QUOR_LISTED_FOR_TEST=" + std::string(3000, 'q') + "\n"));
    EXPECT_THAT(r.stderrText, Not(HasSubstr("hidden")));
    EXPECT_THAT(r.stderrText, Not(HasSubstr("QUOR_FALSE_START")));
}

TEST(EnvironmentTest, shouldClassifyAndSplitTexts) {
    EXPECT_STREQ(Path_2_File("/usr/lib/libx.so"), "libx.so");
    EXPECT_STREQ(Path_2_File("rel/libx.so"), "rel/libx.so");
    EXPECT_TRUE(IsNumber("5000") && IsNumber(""));
    EXPECT_FALSE(IsNumber("-5") || IsNumber(nullptr));
    EXPECT_TRUE(Is_Num("12.5") && Is_Num("1..2"));
    EXPECT_FALSE(Is_Num(".") || Is_Num("") || Is_Num("1e5") || Is_Num(nullptr));
    EXPECT_EQ(compare_decimal(1.0, 1.0 + 1e-11), 0);
    EXPECT_EQ(compare_decimal(1.0 + 1e-9, 1.0), 1);
    EXPECT_EQ(compare_decimal(1.0, 1.0 + 1e-9), -1);
}

TEST(EnvironmentTest, shouldReuseBuffersUnlessTooSmallOrFarTooLarge) {
    int lastLen = 0;
    char* p = Malloc_LastLen(nullptr, lastLen, 100);
    ASSERT_EQ(lastLen, 100);
    EXPECT_EQ(Malloc_LastLen(p, lastLen, 60), p);
    p = Malloc_LastLen(p, lastLen, 20000);
    ASSERT_EQ(lastLen, 20000);
    std::memset(p, 'b', 20000);
    // 10,000 still fits without giving the large buffer back; less than that replaces it.
    EXPECT_EQ(Malloc_LastLen(p, lastLen, 10000), p);
    p = Malloc_LastLen(p, lastLen, 9999);
    ASSERT_EQ(lastLen, 9999);
    std::memset(p, 'c', 9999);
    std::free(p);
}

TEST(EnvironmentTest, shouldConvertVersionTextsToTriplesAndNumbers) {
    _stKOVersion v = ConvertVersionStringtostKOVer("Rel-12-2-0_QA");
    EXPECT_EQ(v.m_nYear * 10000 + v.m_nMajor * 100 + v.m_nPatch, 120200);
    EXPECT_EQ(ConvertVersionStringtoNum("Rel-12-2-0_QA"), 1202000);
    EXPECT_EQ(ConvertVersionStringtoNum("v7.15.203"), 715203);
    EXPECT_EQ(ConvertVersionStringtoNum("9999.99.999"), 999999999);
    EXPECT_EQ(ConvertVersionStringtoNum("12-2-7-beta9"), 1202007);  // a third separator ends it
    for (const char* bad :
         {"1.2", "12.100.1", "12.2.1000", "0.0.0", "10000.1.1", "abc",
          static_cast<const char*>(nullptr), "123456789012345678901234567890123456789.1.1",
          "1.1.12345678901234567890123456789012"}) {
        _stKOVersion b = ConvertVersionStringtostKOVer(bad);
        EXPECT_TRUE(b.m_nYear == -1 && b.m_nMajor == -1 && b.m_nPatch == -1)
            << (bad ? bad : "null");
        EXPECT_EQ(ConvertVersionStringtoNum(bad), 0) << (bad ? bad : "null");
    }
}
