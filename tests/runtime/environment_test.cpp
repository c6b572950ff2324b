#include "qrx/runtime/environment.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/child_process.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

// Checks inside a forked child: a failure is printed to the child's standard error and
// counted in its exit code.
#define CHILD_CHECK(cond)                                                        \
    do {                                                                         \
        if (!(cond)) {                                                           \
            std::fprintf(stderr, "CHECK FAILED line %d: %s\n", __LINE__, #cond); \
            ++failures;                                                          \
        }                                                                        \
    } while (0)

bool Same(const char* a, const char* b) {
    return (a == nullptr && b == nullptr) || (a != nullptr && b != nullptr && !std::strcmp(a, b));
}

void ExpectChildPassed(const ChildResult& r) {
    EXPECT_EQ(r.exitCode, 0) << r.stderrText;
    EXPECT_THAT(r.stderrText, Not(HasSubstr("CHECK FAILED")));
}

}  // namespace

TEST(EnvironmentTest, shouldReadDecimalIntegersAndReportTextThatIsNone) {
    unsetenv("QUOR_TEST_INT");
    EXPECT_EQ(quor_getenv("QUOR_TEST_INT", 3), 3);
    EXPECT_EQ(quor_getenv(nullptr, 7), 7);

    struct Case {
        const char* value;
        int expected;
        bool reported;
    } cases[] = {{"10", 10, false},
                 {"-1", -1, false},
                 {"12abc", 12, false},
                 {"abc", 0, true},
                 {"", 0, true},
                 {"99999999999999", INT_MAX, false},
                 {"-99999999999999", INT_MIN, false}};
    for (const Case& c : cases) {
        setenv("QUOR_TEST_INT", c.value, 1);
        testing::internal::CaptureStderr();
        EXPECT_EQ(quor_getenv("QUOR_TEST_INT", 3), c.expected) << c.value;
        const std::string err = testing::internal::GetCapturedStderr();
        const std::string line = std::string("quor_getenv(): invalid non-integer value = ") +
                                 c.value + " for environment = QUOR_TEST_INT";
        if (c.reported) {
            EXPECT_THAT(err, HasSubstr("**ERROR**\t:" + line + "\n")) << c.value;
        } else {
            EXPECT_EQ(err, "") << c.value;
        }
    }
    unsetenv("QUOR_TEST_INT");
}

TEST(EnvironmentTest, shouldTreatOnlyExactYesAsSwitchedOn) {
    for (const char* off : {"yes", "Yes", "YES ", " YES", "", "Y"}) {
        setenv("QUOR_TEST_SWITCH", off, 1);
        EXPECT_EQ(quor_getenv_yes("QUOR_TEST_SWITCH"), nullptr) << '"' << off << '"';
    }
    setenv("QUOR_TEST_SWITCH", "YES", 1);
    ASSERT_NE(quor_getenv_yes("QUOR_TEST_SWITCH"), nullptr);
    EXPECT_STREQ(quor_getenv_yes("QUOR_TEST_SWITCH"), "YES");
    unsetenv("QUOR_TEST_SWITCH");
    EXPECT_EQ(quor_getenv_yes("QUOR_TEST_SWITCH"), nullptr);
    EXPECT_EQ(quor_getenv_yes(nullptr), nullptr);
}

TEST(EnvironmentTest, shouldGiveTransportDefaultsWhenNothingIsSet) {
    ExpectChildPassed(RunInChild([] {
        int failures = 0;
        for (const char* name :
             {"QUOR_TCP_BUFFER_SIZE", "QUOR_DISABLE_NAGLE", "QUOR_CONN_TIMEOUT",
              "QUOR_CLUSTER_BIND", "QUOR_SOCKS_PROXY_HOST", "QUOR_SOCKS_PROXY_PORT", "DISPLAY"}) {
            unsetenv(name);
        }
        CHILD_CHECK(quor_tcp_buffer_size() == 32768);
        CHILD_CHECK(!quor_disable_nagle());
        CHILD_CHECK(quor_conn_timeout() == 3);
        CHILD_CHECK(quor_cluster_bind() == nullptr);
        CHILD_CHECK(quor_socks_proxy_host() == nullptr);
        CHILD_CHECK(quor_socks_proxy_port() == nullptr);
        CHILD_CHECK(quor_display() == nullptr);
        return failures;
    }));
}

TEST(EnvironmentTest, shouldReadTransportSettingsOnceAndKeepThem) {
    ChildResult r = RunInChild([] {
        int failures = 0;
        const std::string longHost(5000, 'h');
        setenv("QUOR_TCP_BUFFER_SIZE", "65536", 1);
        setenv("QUOR_DISABLE_NAGLE", "YES", 1);
        setenv("QUOR_CONN_TIMEOUT", "abc", 1);
        setenv("QUOR_CLUSTER_BIND", "127.0.0.2", 1);
        setenv("QUOR_SOCKS_PROXY_HOST", longHost.c_str(), 1);
        setenv("QUOR_SOCKS_PROXY_PORT", "1080", 1);
        setenv("DISPLAY", "desk7:0.0", 1);
        for (int pass = 0; pass < 2; ++pass) {
            CHILD_CHECK(quor_tcp_buffer_size() == 65536);
            CHILD_CHECK(quor_disable_nagle());
            CHILD_CHECK(quor_conn_timeout() == 0);
            CHILD_CHECK(Same(quor_cluster_bind(), "127.0.0.2"));
            CHILD_CHECK(Same(quor_socks_proxy_host(), longHost.c_str()));
            CHILD_CHECK(Same(quor_socks_proxy_port(), "1080"));
            CHILD_CHECK(Same(quor_display(), "desk7:0.0"));
            // Later changes to the environment must not reach the cached values.
            setenv("QUOR_TCP_BUFFER_SIZE", "1", 1);
            setenv("QUOR_DISABLE_NAGLE", "NO", 1);
            setenv("QUOR_CONN_TIMEOUT", "9", 1);
            unsetenv("QUOR_CLUSTER_BIND");
            setenv("QUOR_SOCKS_PROXY_HOST", "other", 1);
            unsetenv("QUOR_SOCKS_PROXY_PORT");
            unsetenv("DISPLAY");
        }
        return failures;
    });
    ExpectChildPassed(r);
    // The time-out's bad value is reported once: when it is first read.
    const std::string line = "invalid non-integer value = abc for environment = QUOR_CONN_TIMEOUT";
    const size_t first = r.stderrText.find(line);
    EXPECT_NE(first, std::string::npos) << r.stderrText;
    EXPECT_EQ(r.stderrText.find(line, first + 1), std::string::npos) << r.stderrText;
}

TEST(EnvironmentTest, shouldReadUncachedSwitchesAtEveryCall) {
    setenv("QUOR_TRUE_BIND", "YES", 1);
    EXPECT_TRUE(quor_true_bind());
    setenv("QUOR_TRUE_BIND", "yes", 1);
    EXPECT_FALSE(quor_true_bind());
    unsetenv("QUOR_TRUE_BIND");
    EXPECT_FALSE(quor_true_bind());

    setenv("QUOR_FIX_LARGE_LIST", "", 1);
    EXPECT_TRUE(quor_fix_large_list());
    unsetenv("QUOR_FIX_LARGE_LIST");
    EXPECT_FALSE(quor_fix_large_list());
}

TEST(EnvironmentTest, shouldTakeTheFixTagDelimiterFromTheFirstCharacterOnce) {
    auto delimWith = [](const char* value) {
        return RunInChild([value] {
            if (value != nullptr) {
                setenv("QUOR_FIXTAG_DELIM", value, 1);
            } else {
                unsetenv("QUOR_FIXTAG_DELIM");
            }
            char first = quor_fixtag_delim();
            setenv("QUOR_FIXTAG_DELIM", "#", 1);
            return quor_fixtag_delim() == first ? static_cast<unsigned char>(first) : 255;
        });
    };
    EXPECT_EQ(delimWith(nullptr).exitCode, ';');
    EXPECT_EQ(delimWith("|^").exitCode, '|');
    EXPECT_EQ(delimWith("").exitCode, ';');
}

TEST(EnvironmentTest, shouldRoundTheFeeToFourDecimalsWithTheConfiguredFactor) {
    ExpectChildPassed(RunInChild([] {
        int failures = 0;
        unsetenv("QUOR_SECFEE");
        CHILD_CHECK(get_Sec_Fee(1000000.0) == 46.8);
        // 46.8 * 12345.67 / 1e6 = 0.57777...: rounded, not cut.
        CHILD_CHECK(get_Sec_Fee(12345.67) == 0.5778);
        CHILD_CHECK(get_Sec_Fee(0.0) == 0.0);
        return failures;
    }));
    ExpectChildPassed(RunInChild([] {
        int failures = 0;
        setenv("QUOR_SECFEE", "22.9", 1);
        CHILD_CHECK(get_Sec_Fee(2000000.0) == 45.8);
        setenv("QUOR_SECFEE", "1000", 1);
        CHILD_CHECK(get_Sec_Fee(2000000.0) == 45.8);
        return failures;
    }));
}

TEST(EnvironmentTest, shouldSwapBarsAndBlanksOnlyWhenTheSymSpaceSwitchIsOn) {
    ExpectChildPassed(RunInChild([] {
        int failures = 0;
        setenv("QUOR_SYM_SPACE", "YES", 1);
        char inPlace[] = "IBM|N US";
        CHILD_CHECK(bar_space_int(inPlace) == inPlace && Same(inPlace, "IBM N US"));
        CHILD_CHECK(space_bar_int(inPlace) == inPlace && Same(inPlace, "IBM|N|US"));
        CHILD_CHECK(bar_space_int(nullptr) == nullptr);

        const char* plain = "IBM.N";
        CHILD_CHECK(bar_space(plain) == plain);
        CHILD_CHECK(space_bar(plain) == plain);
        const char* original = "A|B C";
        CHILD_CHECK(Same(bar_space(original), "A B C"));
        CHILD_CHECK(Same(space_bar(original), "A|B|C"));
        CHILD_CHECK(Same(original, "A|B C"));

        // Texts of any length come back whole.
        std::string big(20000, 'x');
        big[0] = '|';
        big[19999] = '|';
        std::string expected = big;
        expected[0] = ' ';
        expected[19999] = ' ';
        CHILD_CHECK(Same(bar_space(big.c_str()), expected.c_str()));
        return failures;
    }));
    ExpectChildPassed(RunInChild([] {
        int failures = 0;
        setenv("QUOR_SYM_SPACE", "yes", 1);
        char inPlace[] = "IBM|N US";
        bar_space_int(inPlace);
        space_bar_int(inPlace);
        CHILD_CHECK(Same(inPlace, "IBM|N US"));
        const char* original = "A|B C";
        CHILD_CHECK(bar_space(original) == original);
        CHILD_CHECK(space_bar(original) == original);
        return failures;
    }));
}

TEST(EnvironmentTest, shouldFindOnlyWholeBlankDelimitedEntriesInAList) {
    EXPECT_TRUE(is_env_match(" A B ", "A"));
    EXPECT_TRUE(is_env_match(" A B ", "B"));
    EXPECT_FALSE(is_env_match(" A B ", "AB"));
    EXPECT_FALSE(is_env_match(" AB ", "A"));
    EXPECT_FALSE(is_env_match("A B", "A"));
    EXPECT_FALSE(is_env_match("A B", "B"));
    EXPECT_FALSE(is_env_match(" A B ", "A B C D E F"));
    EXPECT_FALSE(is_env_match(nullptr, "A"));
    EXPECT_FALSE(is_env_match(" A ", nullptr));
    EXPECT_FALSE(is_env_match("", "A"));
    EXPECT_FALSE(is_env_match("  ", ""));
}

namespace {

// Runs the replay-reference checks in a child with the two variables set as given.
ChildResult RpldChild(const char* list, const char* inverted, const std::function<int()>& checks) {
    return RunInChild([=] {
        list ? setenv("QUOR_RPLD_REF", list, 1) : unsetenv("QUOR_RPLD_REF");
        inverted ? setenv("QUOR_INV_RPLD_ENV", inverted, 1) : unsetenv("QUOR_INV_RPLD_ENV");
        return checks();
    });
}

}  // namespace

TEST(EnvironmentTest, shouldDecideReplayReferenceFromTheListAndItsInversion) {
    ExpectChildPassed(RpldChild(nullptr, nullptr, [] {
        int failures = 0;
        bool match = true;
        CHILD_CHECK(!isQuorRpldRefSet("X"));
        CHILD_CHECK(!isQuorRpldRefSet("X", match) && !match);
        return failures;
    }));
    ExpectChildPassed(RpldChild(" X Y ", nullptr, [] {
        int failures = 0;
        bool match = false;
        CHILD_CHECK(isQuorRpldRefSet("X"));
        CHILD_CHECK(!isQuorRpldRefSet("Z"));
        CHILD_CHECK(!isQuorRpldRefSet(nullptr));
        CHILD_CHECK(isQuorRpldRefSet("Y", match) && match);
        CHILD_CHECK(isQuorRpldRefSet("Z", match) && !match);
        match = true;
        CHILD_CHECK(!isQuorRpldRefSet(nullptr, match) && !match);
        // Cached: dropping the list later changes nothing.
        unsetenv("QUOR_RPLD_REF");
        CHILD_CHECK(isQuorRpldRefSet("X"));
        return failures;
    }));
    ExpectChildPassed(RpldChild(" X Y ", "YES", [] {
        int failures = 0;
        bool match = true;
        CHILD_CHECK(!isQuorRpldRefSet("X"));
        CHILD_CHECK(isQuorRpldRefSet("Z"));
        CHILD_CHECK(isQuorRpldRefSet("X", match) && !match);
        return failures;
    }));
    ExpectChildPassed(RpldChild(nullptr, "YES", [] {
        int failures = 0;
        bool match = false;
        CHILD_CHECK(isQuorRpldRefSet("anything"));
        CHILD_CHECK(isQuorRpldRefSet("anything", match) && match);
        return failures;
    }));
    ExpectChildPassed(RpldChild(nullptr, "no", [] {
        int failures = 0;
        bool match = true;
        CHILD_CHECK(!isQuorRpldRefSet("X"));
        // The variable is set, though the switch is off.
        CHILD_CHECK(isQuorRpldRefSet("X", match) && !match);
        return failures;
    }));
}

TEST(EnvironmentTest, shouldAutoClaimForListedSendersOrEveryoneWhenSwitchedOn) {
    ExpectChildPassed(RunInChild([] {
        int failures = 0;
        unsetenv("QUOR_AUTO_CLAIM");
        setenv("QUOR_AUTO_CLAIM_SENDERS", " S1 S2 ", 1);
        CHILD_CHECK(isAutoClaim("A-MAN"));
        CHILD_CHECK(isAutoClaim("S2"));
        CHILD_CHECK(!isAutoClaim("S3"));
        CHILD_CHECK(!isAutoClaim("A-MANX"));
        CHILD_CHECK(!isAutoClaim(""));
        CHILD_CHECK(!isAutoClaim(nullptr));
        return failures;
    }));
    ExpectChildPassed(RunInChild([] {
        int failures = 0;
        setenv("QUOR_AUTO_CLAIM", "YES", 1);
        unsetenv("QUOR_AUTO_CLAIM_SENDERS");
        CHILD_CHECK(isAutoClaim(nullptr));
        CHILD_CHECK(isAutoClaim("S3"));
        return failures;
    }));
}

namespace {

// getMicroSecondQuotesTags in a child with the variable set as given (null: unset); the
// child prints the result and the two tags after the logger's lines.
ChildResult QuoteTags(const char* value) {
    return RunInChild([value] {
        value ? setenv("QUOR_FX_MICROSECOND_QUOTES", value, 1)
              : unsetenv("QUOR_FX_MICROSECOND_QUOTES");
        int sec = -1, usec = -1;
        bool ok = getMicroSecondQuotesTags(sec, usec);
        std::fprintf(stderr, "result=%d,%d,%d\n", ok ? 1 : 0, sec, usec);
        return 0;
    });
}

}  // namespace

TEST(EnvironmentTest, shouldAcceptExactlyTwoPositiveMicrosecondQuoteTags) {
    ChildResult two = QuoteTags("52,1008");
    EXPECT_THAT(two.stderrText, HasSubstr("result=1,52,1008\n"));
    EXPECT_THAT(two.stderrText,
                HasSubstr("  INFO   \t:getMicroSecondQuotesTags::Timestamp tags : 52, 1008, "
                          "Count = 2\n"));
    EXPECT_THAT(two.stderrText, HasSubstr("  INFO   \t:getMicroSecondQuotesTags::true \n"));

    ChildResult one = QuoteTags("52");
    EXPECT_THAT(one.stderrText, HasSubstr("result=0,0,0\n"));
    EXPECT_THAT(one.stderrText,
                HasSubstr("getMicroSecondQuotesTags::false hence setting timestamp tags to 0\n"));

    ChildResult unset = QuoteTags(nullptr);
    EXPECT_THAT(unset.stderrText, HasSubstr("result=0,0,0\n"));
    EXPECT_THAT(unset.stderrText,
                HasSubstr("getMicroSecondQuotesTags::false, QUOR_FX_MICROSECOND_QUOTES not set "
                          "hence setting timestamp tags to 0\n"));

    ChildResult skipped = QuoteTags("-4,52,abc,0,1008");
    EXPECT_THAT(skipped.stderrText, HasSubstr("result=1,52,1008\n"));

    ChildResult three = QuoteTags("1,2,3");
    EXPECT_THAT(three.stderrText, HasSubstr("Count = 3\n"));
    EXPECT_THAT(three.stderrText, HasSubstr("result=0,0,0\n"));

    // Only the first 128 characters count: the third tag lies beyond them.
    std::string longValue = "52,1008," + std::string(130, 'x') + ",77";
    ChildResult cut = QuoteTags(longValue.c_str());
    EXPECT_THAT(cut.stderrText, HasSubstr("result=1,52,1008\n"));
}

TEST(EnvironmentTest, shouldListOnlyLinesThatBeginWithQuor) {
    ChildResult r = RunInChild([] {
        setenv("QUOR_LISTED_FOR_TEST", "hello", 1);
        setenv("NOT_QUOR_LISTED", "hidden", 1);
        // A line longer than the read buffer whose continuation begins with "QUOR".
        std::string split(1024 - 1 - std::strlen("XLONG="), 'a');
        split += "QUOR_FALSE_START";
        setenv("XLONG", split.c_str(), 1);
        std::string longQuor(3000, 'q');
        setenv("QUOR_LONG_FOR_TEST", longQuor.c_str(), 1);
        return list_quor_env();
    });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_THAT(r.stderrText, HasSubstr("QUOR_LISTED_FOR_TEST=hello\n"));
    EXPECT_THAT(r.stderrText, HasSubstr("QUOR_LONG_FOR_TEST=" + std::string(3000, 'q') + "\n"));
    EXPECT_THAT(r.stderrText, Not(HasSubstr("hidden")));
    EXPECT_THAT(r.stderrText, Not(HasSubstr("QUOR_FALSE_START")));
    EXPECT_EQ(r.stderrText.back(), '\n');
}

TEST(EnvironmentTest, shouldLogTheProcessId) {
    testing::internal::CaptureStderr();
    show_pid();
    EXPECT_THAT(testing::internal::GetCapturedStderr(),
                HasSubstr("  INFO   \t:Process id: " + std::to_string(getpid()) + "\n"));
}

TEST(EnvironmentTest, shouldClassifyAndSplitTexts) {
    EXPECT_STREQ(Path_2_File("/usr/lib/libx.so"), "libx.so");
    EXPECT_STREQ(Path_2_File("/usr/lib/"), "");
    EXPECT_STREQ(Path_2_File("rel/libx.so"), "rel/libx.so");
    EXPECT_EQ(Path_2_File(nullptr), nullptr);

    EXPECT_TRUE(IsNumber("5000"));
    EXPECT_TRUE(IsNumber(""));
    EXPECT_FALSE(IsNumber("50a"));
    EXPECT_FALSE(IsNumber("-5"));
    EXPECT_FALSE(IsNumber(nullptr));

    EXPECT_TRUE(Is_Num("12.5"));
    EXPECT_TRUE(Is_Num("1..2"));
    EXPECT_FALSE(Is_Num("."));
    EXPECT_FALSE(Is_Num(""));
    EXPECT_FALSE(Is_Num("1e5"));
    EXPECT_FALSE(Is_Num(nullptr));

    EXPECT_EQ(compare_decimal(1.0, 1.0 + 1e-11), 0);
    EXPECT_EQ(compare_decimal(1.0 + 1e-9, 1.0), 1);
    EXPECT_EQ(compare_decimal(1.0, 1.0 + 1e-9), -1);
}

TEST(EnvironmentTest, shouldReuseBuffersUnlessTooSmallOrFarTooLarge) {
    int lastLen = 0;
    char* p = Malloc_LastLen(nullptr, lastLen, 100);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(lastLen, 100);
    std::memset(p, 'a', 100);

    EXPECT_EQ(Malloc_LastLen(p, lastLen, 60), p);
    EXPECT_EQ(lastLen, 100);

    p = Malloc_LastLen(p, lastLen, 20000);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(lastLen, 20000);
    std::memset(p, 'b', 20000);

    // 10,000 still fits without giving the large buffer back...
    EXPECT_EQ(Malloc_LastLen(p, lastLen, 10000), p);
    EXPECT_EQ(lastLen, 20000);
    // ...but a request below that releases it for a buffer of the size asked.
    p = Malloc_LastLen(p, lastLen, 9999);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(lastLen, 9999);
    std::memset(p, 'c', 9999);
    std::free(p);
}

TEST(EnvironmentTest, shouldConvertVersionTextsToTriplesAndNumbers) {
    _stKOVersion v = ConvertVersionStringtostKOVer("Rel-12-2-0_QA");
    EXPECT_EQ(v.m_nYear, 12);
    EXPECT_EQ(v.m_nMajor, 2);
    EXPECT_EQ(v.m_nPatch, 0);
    EXPECT_EQ(ConvertVersionStringtoNum("Rel-12-2-0_QA"), 1202000);

    EXPECT_EQ(ConvertVersionStringtoNum("v7.15.203"), 715203);
    EXPECT_EQ(ConvertVersionStringtoNum("9999.99.999"), 999999999);
    EXPECT_EQ(ConvertVersionStringtoNum("12.2."), 1202000);
    // A third separator ends the scan; what follows it is ignored.
    EXPECT_EQ(ConvertVersionStringtoNum("12-2-7-beta9"), 1202007);

    for (const char* bad : {"1.2", "12", "12.100.1", "12.2.1000", "0.0.0", "10000.1.1", "abc", "",
                            "123456789012345678901234567890123456789.1.1",
                            "1.1.123456789012345678901234567890123456789"}) {
        _stKOVersion b = ConvertVersionStringtostKOVer(bad);
        EXPECT_EQ(b.m_nYear, -1) << bad;
        EXPECT_EQ(b.m_nMajor, -1) << bad;
        EXPECT_EQ(b.m_nPatch, -1) << bad;
        EXPECT_EQ(ConvertVersionStringtoNum(bad), 0) << bad;
    }
    EXPECT_EQ(ConvertVersionStringtoNum(nullptr), 0);
}
