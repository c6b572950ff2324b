#include "qrx/runtime/reg_ex.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "common/child_process.h"

using ::testing::HasSubstr;

namespace {

using ReplaceFn = int (CRegEx::*)(const char*, char*, int);

// A replacement into a roomy buffer; returns the text, or "<n>" for a negative result.
std::string ReplaceWith(ReplaceFn fn, CRegEx& re, const char* str) {
    char out[256];
    int n = (re.*fn)(str, out, sizeof(out));
    return n < 0 ? "<" + std::to_string(n) + ">" : std::string(out);
}

std::string Replace(CRegEx& re, const char* str) {
    return ReplaceWith(&CRegEx::ReplaceIfMatch, re, str);
}

std::string ReplaceNew(CRegEx& re, const char* str) {
    return ReplaceWith(&CRegEx::ReplaceIfMatchNew, re, str);
}

// One expression and pattern applied to one input, and the text expected back.
struct ReplaceCase {
    const char* expression;
    const char* pattern;
    const char* input;
    const char* expected;
};

void ExpectReplacements(ReplaceFn fn, std::initializer_list<ReplaceCase> cases) {
    for (const ReplaceCase& c : cases) {
        CRegEx re(c.expression, c.pattern);
        EXPECT_EQ(ReplaceWith(fn, re, c.input), c.expected)
            << c.expression << " -> " << c.pattern << " on " << c.input;
    }
}

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

}  // namespace

TEST(RegExTest, shouldReportAnInvalidExpressionAtEveryUseAndNeverMatch) {
    CRegEx re("(abc", "$1");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(re.CheckMatch("abc"));
    char out[32] = "untouched";
    EXPECT_EQ(re.ReplaceIfMatch("abc", out, sizeof(out)), -1);
    EXPECT_EQ(re.ReplaceIfMatchNew("abc", out, sizeof(out)), -1);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(Count(err, "RegEx Error: "), 3u) << err;
    EXPECT_STREQ(out, "untouched");
}

TEST(RegExTest, shouldRefuseStackedRepetitionsWhichTheCompilerWouldExpandWithoutBound) {
    // Each operator stacked on another multiplies what regcomp builds: a few
    // dozen of them in one line of a translation file took gigabytes.
    for (const char* expr : {"AB++++++++++++", "A*+", "(AB)?{2}", "A{1,2}*"}) {
        CRegEx re(expr, "$0");
        testing::internal::CaptureStderr();
        EXPECT_FALSE(re.CheckMatch("ABBB")) << expr;
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_THAT(err, HasSubstr("RegEx Error: ")) << expr;
    }
    // Single repetitions, escaped and bracketed operators stay as they were.
    for (const char* expr : {"AB+", "A*B?", "A{1,2}B", "A\\++", "[+*]+B", "(A+)B"}) {
        CRegEx re(expr, "$0");
        EXPECT_TRUE(re.CheckMatch(expr[0] == '[' ? "+B" : expr[1] == '\\' ? "A++" : "AB")) << expr;
    }
}

TEST(RegExTest, shouldRefuseRepetitionCountsThatWouldTakeTheCompilerHundredsOfMegabytes) {
    // Nested counts (and nested "+", which copies what it repeats) multiply
    // what regcomp builds, and an optional range grows with its square: each
    // of these took it 200 to 800 MB, and a digit more takes all the machine has.
    const std::string nestedPlus = std::string(16, '(') + "A" + [] {
        std::string closes;
        for (int i = 0; i < 16; ++i) {
            closes += ")+";
        }
        return closes;
    }();
    for (const char* expr : {"((A{100}){100}){100}", "A{1,10000}", "(A{1,300}){1,300}",
                             "X|(AB{1,100}){1,1000}", "(A*){3000}", nestedPlus.c_str()}) {
        CRegEx re(expr, "$1");
        testing::internal::CaptureStderr();
        EXPECT_FALSE(re.CheckMatch("AAAA")) << expr;
        char out[32] = "untouched";
        EXPECT_EQ(re.ReplaceIfMatch("AAAA", out, sizeof(out)), -1) << expr;
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(Count(err, "RegEx Error: "), 2u) << expr << ": " << err;
    }
    // Counts that real rules use, even wide ones, still compile.
    for (const char* expr : {"^A{32767}$|^AAAA$", "^(A|B){1,500}$", "^[[:upper:]]{1,12}$",
                             "^((A{1,4}){1,4}){1,4}$", "^(.*)\\.L$|^A{4}$"}) {
        CRegEx re(expr, "");
        EXPECT_TRUE(re.CheckMatch(std::string(4, 'A').c_str())) << expr;
    }
}

TEST(RegExTest, shouldRefuseBackReferencesWhoseMatchingRunsForMinutes) {
    // The matcher tries every split of the input among the groups that are
    // referred back to: three groups over 200 characters did not finish.
    const ChildRun run = RunChildWithin(
        [] {
            CRegEx re("(A*)(A*)(A*)\\3\\2\\1B", "$1");
            const std::string symbol(200, 'A');
            return re.CheckMatch(symbol.c_str()) ? 1 : 0;
        },
        30);
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_THAT(run.err, HasSubstr("RegEx Error: back-references are not supported"));

    // A digit behind an escaped backslash or inside brackets refers to nothing.
    CRegEx escaped("^A\\\\1$", "");
    EXPECT_TRUE(escaped.CheckMatch("A\\1"));
    CRegEx bracket("^[\\1]+$", "");
    EXPECT_TRUE(bracket.CheckMatch("1\\1"));
}

TEST(RegExTest, shouldMatchCaseSensitiveExtendedExpressions) {
    CRegEx re("^[A-Z]+(\\.[A-Z]{1,2})?$", "");
    EXPECT_TRUE(re.CheckMatch("IBM"));
    EXPECT_TRUE(re.CheckMatch("IBM.N"));
    EXPECT_FALSE(re.CheckMatch("ibm.N"));
    EXPECT_FALSE(re.CheckMatch("IBM.NYSE"));
    EXPECT_FALSE(re.CheckMatch(nullptr));

    CRegEx dot("^a.b$", nullptr);
    EXPECT_TRUE(dot.CheckMatch("a\nb"));
    EXPECT_STREQ(dot.GetRplPattern(), "");
}

TEST(RegExTest, shouldBuildTheResultFromThePatternAndItsGroupReferences) {
    ExpectReplacements(&CRegEx::ReplaceIfMatch,
                       {
                           {"^([A-Z]+)\\.N$", "$1.LN", "XYZ.N", "XYZ.LN"},
                           {"^([A-Z]+)\\.N$", "$1.LN", "XYZ.O", "<-1>"},
                           {"^([A-Z]+)-([0-9]+)$", "A$2B", "QQ-17", "A17B"},
                           {"^([A-Z]+)$", "$12", "XY", "XY2"},  // group 1, then the digit 2
                           {"^(X)$", "US$x and $0 $$1", "X", "US$x and $0 X"},
                           {"^[A-Z]+$", "FIXED", "ANY", "FIXED"},
                           {"^A$", "$$$", "A", "$$$"},
                           {"^[A-Z]+$", "$1.LN", "XYZ", ".LN"},
                           {"^(A)$", "<$3>", "A", "<>"},
                           // A group that took no part in the match, and one that matched
                           // empty, append nothing.
                           {"^(a)?(b)(c*)$", "[$1|$2|$3]", "b", "[|b|]"},
                       });
}

TEST(RegExTest, shouldCutTheResultToTheCallersBufferAndReturnItsFullLength) {
    CRegEx re("^(.*)$", "$1$1");
    const std::string twenty(20, 'k');
    char out[32];
    std::memset(out, '#', sizeof(out));
    EXPECT_EQ(re.ReplaceIfMatch(twenty.c_str(), out, 32), 40);
    EXPECT_EQ(std::strlen(out), 30u);
    EXPECT_EQ(out[31], '#');

    EXPECT_EQ(re.ReplaceIfMatch(twenty.c_str(), nullptr, 32), 0);
    EXPECT_EQ(re.ReplaceIfMatch(twenty.c_str(), out, 0), 0);
    EXPECT_EQ(re.ReplaceIfMatch(twenty.c_str(), out, 1), 40);
    EXPECT_STREQ(out, "");
}

TEST(RegExTest, shouldHandleInputsBeyondTheWorkAreaWithoutOverflow) {
    const std::string huge(10000, 'z');
    std::vector<char> out(50000, '#');

    CRegEx doubled("^(z*)$", "<$1$1>");
    EXPECT_EQ(doubled.ReplaceIfMatch(huge.c_str(), out.data(), static_cast<int>(out.size())),
              20002);
    EXPECT_EQ(std::strlen(out.data()), static_cast<size_t>(CRegEx::kWorkSize - 1));

    CRegEx inside("(z+)", "[$1]");
    EXPECT_EQ(inside.ReplaceIfMatchNew(huge.c_str(), out.data(), static_cast<int>(out.size())),
              10002);
    EXPECT_EQ(std::strlen(out.data()), static_cast<size_t>(CRegEx::kWorkSize - 1));
    EXPECT_EQ(out[0], '[');

    // Over-long expression and pattern texts are cut to 511 characters.
    const std::string longText(700, 'a');
    CRegEx cut(longText.c_str(), longText.c_str());
    EXPECT_EQ(std::strlen(cut.GetRegExp()), 511u);
    EXPECT_EQ(std::strlen(cut.GetRplPattern()), 511u);
    EXPECT_TRUE(cut.CheckMatch(longText.c_str()));
}

TEST(RegExTest, shouldTranslateInPlaceWhenInputAndOutputShareABuffer) {
    CRegEx re("^([A-Z]+)\\.([A-Z])$", "$2:$1");
    char buf[32] = "LONGNAME.N";
    EXPECT_EQ(re.ReplaceIfMatch(buf, buf, sizeof(buf)), 10);
    EXPECT_STREQ(buf, "N:LONGNAME");
}

TEST(RegExTest, shouldReplaceOnlyTheMatchedPartWithTheNewForm) {
    ExpectReplacements(&CRegEx::ReplaceIfMatchNew,
                       {
                           {"([0-9]+)-([0-9]+)", "<$2/$1>", "ab12-34cd", "ab<34/12>cd"},
                           {"([0-9]+)-([0-9]+)", "<$2/$1>", "abcd", "<-1>"},
                           {"([a-z])", "$0$1$10$9$x$", "1q2", "1qq$x$2"},
                           {"AB", "X", "ABcABAB", "XcXX"},
                           // The search goes on behind each inserted pattern.
                           {"A", "AA", "xAxA", "xAAxAA"},
                           {"([0-9]+)", "", "ab12cd", "abcd"},
                       });

    CRegEx groups("([0-9]+)-([0-9]+)", "<$2/$1>");
    char out[8];
    EXPECT_EQ(groups.ReplaceIfMatchNew("ab12-34cd", out, sizeof(out)), 11);
    EXPECT_STREQ(out, "ab<34/1");
    EXPECT_EQ(groups.ReplaceIfMatchNew("ab12-34cd", nullptr, 8), 0);
}

TEST(RegExTest, shouldNotLoopForeverOnAnEmptyExpressionText) {
    CRegEx empty("", "X");
    if (!empty.CheckMatch("abc")) {
        GTEST_SKIP() << "this regcomp refuses an empty expression";
    }
    EXPECT_EQ(ReplaceNew(empty, "abc"), "abc");
    EXPECT_EQ(Replace(empty, "abc"), "X");
}

TEST(RegExTest, shouldKeepWorkingWhenMovedIntoAContainer) {
    std::vector<CRegEx> rules;
    rules.emplace_back("^([A-Z]+)\\.N$", "$1.LN");
    rules.emplace_back("^([A-Z]+)\\.O$", "$1.OQ");
    EXPECT_TRUE(rules[0].CheckMatch("AB.N"));  // compiled before the vector grows
    for (int i = 0; i < 10; ++i) {
        rules.emplace_back("^x$", "y");
    }
    EXPECT_EQ(Replace(rules[0], "AB.N"), "AB.LN");
    EXPECT_EQ(Replace(rules[1], "CD.O"), "CD.OQ");
}
