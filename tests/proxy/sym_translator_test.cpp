#include "qrx/proxy/sym_translator.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>

#include "common/child_process.h"
#include "proxy/proxy_test_util.h"

namespace {

using testing::HasSubstr;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) {
        ++n;
    }
    return n;
}

std::vector<std::string> Synonyms(SymTranslator& xlate, const char* feed) {
    std::vector<std::string> out;
    if (const SymTranslator::SynonymSet* set = xlate.GetFeed2Ko(feed)) {
        for (const GrowingStr* s : *set) {
            out.emplace_back(s->c_str());
        }
    }
    return out;
}

class SymTranslatorTest : public testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/qrx_xlate_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
    }
    void TearDown() override {
        for (const std::string& f : m_files) {
            unlink(f.c_str());
        }
        rmdir(m_dir.c_str());
    }

    std::string Write(const std::string& name, const std::string& content) {
        const std::string path = m_dir + "/" + name;
        std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
        m_files.push_back(path);
        return path;
    }

    // Loads content quietly (the load's own output is not what these tests look at).
    void Load(SymTranslator& xlate, const std::string& content) {
        const std::string path = Write("map.txt", content);
        CaptureStdout();
        CaptureStderr();
        EXPECT_TRUE(xlate.Init(path.c_str()));
        m_loadErr = GetCapturedStderr();
        m_loadOut = GetCapturedStdout();
    }

    static void SetMTime(const std::string& path, time_t when) {
        timespec times[2] = {{when, 0}, {when, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    }

    std::string m_dir;
    std::vector<std::string> m_files;
    std::string m_loadErr;
    std::string m_loadOut;
};

}  // namespace

TEST_F(SymTranslatorTest, shouldMapEveryClientSymbolOfAnEntryAndCollectItsSynonyms) {
    SymTranslator xlate;
    Load(xlate,
         "# client symbols, then the feed symbol\n"
         "ABC.N,ABC ABC\n"
         "IBM.N   IBM  ignored-third-field\n"
         "MSFT.O MSFT\r\n");
    EXPECT_EQ(m_loadErr, "");
    EXPECT_STREQ(xlate.GetKo2Feed("ABC.N"), "ABC");
    EXPECT_STREQ(xlate.GetKo2Feed("ABC"), "ABC");
    EXPECT_STREQ(xlate.GetKo2Feed("IBM.N"), "IBM");
    EXPECT_STREQ(xlate.GetKo2Feed("MSFT.O"), "MSFT");  // no line end kept
    EXPECT_EQ(Synonyms(xlate, "ABC"), (std::vector<std::string>{"ABC", "ABC.N"}));
    EXPECT_EQ(Synonyms(xlate, "IBM"), (std::vector<std::string>{"IBM.N"}));
    EXPECT_EQ(xlate.GetFeed2Ko("IBM.N"), nullptr);
    EXPECT_EQ(xlate.GetFeed2Ko("ignored-third-field"), nullptr);
    EXPECT_EQ(xlate.GetFeed2Ko(nullptr), nullptr);
    EXPECT_EQ(xlate.GetKo2Feed(nullptr), nullptr);

    // Exchange codes are translated for every tick: hits must not allocate.
    if (proxytest::AllocCounter::Available()) {
        proxytest::AllocCounter counter;
        counter.Start();
        for (int i = 0; i < 1000; ++i) {
            xlate.GetKo2Feed("IBM.N");
            xlate.GetFeed2Ko("ABC");
        }
        EXPECT_EQ(counter.Stop(), 0);
    }
}

TEST_F(SymTranslatorTest, shouldSkipCommentsAndEntriesThatDoNotFitTheFormat) {
    SymTranslator xlate;
    Load(xlate,
         " LEAD LEADFEED\n"
         "ABC.N,,DEF ABC\n"
         "LONE\n"
         "BAD #FEED\n"
         "\n"
         "SEPARATOR: |\n"
         " PIPE|PIPEFEED\n"
         "TRAIL,|TFEED\n"
         "KEEP| SPACEFEED\n");
    CaptureStderr();
    const char* lead = "LEAD";
    EXPECT_EQ(xlate.GetKo2Feed(lead), lead);
    EXPECT_STREQ(xlate.GetKo2Feed("ABC.N"), "ABC");
    EXPECT_STREQ(xlate.GetKo2Feed("DEF"), "DEF");  // the empty element ended the list
    EXPECT_STREQ(xlate.GetKo2Feed("LONE"), "LONE");
    EXPECT_STREQ(xlate.GetKo2Feed("BAD"), "BAD");
    EXPECT_STREQ(xlate.GetKo2Feed(" PIPE"), " PIPE");
    EXPECT_STREQ(xlate.GetKo2Feed("TRAIL"), "TFEED");
    EXPECT_STREQ(xlate.GetKo2Feed("KEEP"), "KEEP");
    const std::string err = GetCapturedStderr();
    EXPECT_THAT(err, HasSubstr("XLATE_NOT_FOUND for symbol LEAD will continue with the original."));
    EXPECT_EQ(Count(err, "XLATE_NOT_FOUND"), 6u);
    EXPECT_EQ(Synonyms(xlate, "ABC"), (std::vector<std::string>{"ABC.N"}));
    EXPECT_EQ(xlate.GetFeed2Ko("#FEED"), nullptr);
}

TEST_F(SymTranslatorTest, shouldKeepTheFirstMappingOfAClientSymbolAndStillListItUnderTheSecond) {
    SymTranslator xlate;
    Load(xlate, "ABC X\nABC Y\n");
    EXPECT_EQ(Count(m_loadErr, "Insert to KO2Feed returned false: ABC --> Y"), 1u);
    EXPECT_EQ(Count(m_loadErr, "**ERROR**"), 1u);
    EXPECT_STREQ(xlate.GetKo2Feed("ABC"), "X");
    EXPECT_EQ(Synonyms(xlate, "X"), (std::vector<std::string>{"ABC"}));
    EXPECT_EQ(Synonyms(xlate, "Y"), (std::vector<std::string>{"ABC"}));
}

TEST_F(SymTranslatorTest, shouldSplitAtEverySeparatorCharacterFromTheSeparatorLineOn) {
    SymTranslator xlate;
    Load(xlate,
         "BEFORE A|B\n"
         "SEPARATOR: |;\n"
         "MY SYM|FEED SYM\n"
         "X1;X2\n"
         "SEPARATOR: +\n"
         "P Q+R S\n"
         "SEPARATOR:\n");
    EXPECT_EQ(m_loadOut, "Use |; as seperator\nUse + as seperator\n");
    EXPECT_STREQ(xlate.GetSeparator(), "+");
    EXPECT_STREQ(xlate.GetKo2Feed("BEFORE"), "A|B");
    EXPECT_STREQ(xlate.GetKo2Feed("MY SYM"), "FEED SYM");
    EXPECT_STREQ(xlate.GetKo2Feed("X1"), "X2");
    EXPECT_STREQ(xlate.GetKo2Feed("P Q"), "R S");
    EXPECT_EQ(Synonyms(xlate, "FEED SYM"), (std::vector<std::string>{"MY SYM"}));
}

TEST_F(SymTranslatorTest, shouldTranslateWithTheLastMatchingRuleAndRememberTheResult) {
    SymTranslator xlate;
    const std::string rules =
        "REGEX: ^(.*)\\.L$ $1.LN\n"
        "REGEX: ^(.*)\\.L$ $1.LSE\n"
        "REGEX: ^(Z.*)$ $1.ZZ\n"
        "REGEX: ^NOPATTERN\n"
        "REGEX: ^A #comment\n"
        "REGEX:  ^B C\n";
    Load(xlate, rules + "MAPPED.L MAPPED\n");
    EXPECT_EQ(xlate.GetNumRegEx(), 4u);  // the blank after "REGEX:" only doubles the separator
    EXPECT_THAT(m_loadOut,
                HasSubstr("Inserting RegEx: RegEx: \"^(.*)\\.L$\" Replace Pat: \"$1.LN\" \n"));
    EXPECT_EQ(Count(m_loadOut, "Inserting RegEx: "), 4u);

    EXPECT_STREQ(xlate.GetKo2Feed("MAPPED.L"), "MAPPED");  // the map comes first
    EXPECT_EQ(xlate.GetFeed2Ko("XYZ.LSE"), nullptr);
    EXPECT_STREQ(xlate.GetKo2Feed("XYZ.L"), "XYZ.LSE");
    EXPECT_EQ(Synonyms(xlate, "XYZ.LSE"), (std::vector<std::string>{"XYZ.L"}));
    EXPECT_STREQ(xlate.GetKo2Feed("BX"), "C");

    // Results keep 30 characters.
    const std::string longSym = "Z" + std::string(39, 'q');
    EXPECT_EQ(std::string(xlate.GetKo2Feed(longSym.c_str())), longSym.substr(0, 30));

    // A later rule that also matches does not change a remembered translation.
    const std::string path = Write("map.txt", rules + "REGEX: ^(.*)\\.L$ $1.NEW\n");
    SetMTime(path, time(nullptr) + 60);
    CaptureStdout();
    xlate.Refresh();
    GetCapturedStdout();
    EXPECT_EQ(xlate.GetNumRegEx(), 9u);  // rules are appended again
    EXPECT_STREQ(xlate.GetKo2Feed("XYZ.L"), "XYZ.LSE");
    EXPECT_STREQ(xlate.GetKo2Feed("ABC.L"), "ABC.NEW");
}

TEST_F(SymTranslatorTest, shouldTreatWhatARuleTranslatedAsTheFilesEntriesAreTreated) {
    SymTranslator xlate;
    const std::string rules = "REGEX: ^(.*)\\.L$ $1.LN\n";
    Load(xlate, rules);
    EXPECT_STREQ(xlate.GetKo2Feed("VOD.L"), "VOD.LN");

    // Loaded again with entries: the remembered translation is the first mapping of VOD.L, and
    // the file's symbols for VOD.LN join the rule's.
    const std::string path = Write("map.txt", rules + "VOD.L OTHER\nVOD.X VOD.LN\n");
    SetMTime(path, time(nullptr) + 60);
    CaptureStdout();
    CaptureStderr();
    xlate.Refresh();
    GetCapturedStdout();
    EXPECT_THAT(GetCapturedStderr(),
                HasSubstr("Insert to KO2Feed returned false: VOD.L --> OTHER"));
    EXPECT_STREQ(xlate.GetKo2Feed("VOD.L"), "VOD.LN");
    EXPECT_STREQ(xlate.GetKo2Feed("VOD.X"), "VOD.LN");
    EXPECT_EQ(Synonyms(xlate, "VOD.LN"), (std::vector<std::string>{"VOD.L", "VOD.X"}));
    EXPECT_EQ(Synonyms(xlate, "OTHER"), (std::vector<std::string>{"VOD.L"}));

    // A mapping made at run time replaces the rule's.
    CaptureStderr();
    EXPECT_TRUE(xlate.AddXLateEntry("VOD.L", "NEW"));
    EXPECT_THAT(GetCapturedStderr(),
                HasSubstr("Erasing : VOD.L from the Synonyms list for : VOD.LN"));
    EXPECT_STREQ(xlate.GetKo2Feed("VOD.L"), "NEW");
    EXPECT_EQ(Synonyms(xlate, "VOD.LN"), (std::vector<std::string>{"VOD.X"}));
    EXPECT_EQ(Synonyms(xlate, "NEW"), (std::vector<std::string>{"VOD.L"}));
}

TEST_F(SymTranslatorTest, shouldPassUntranslatableSymbolsThroughAndLogEveryMiss) {
    SymTranslator xlate;
    Load(xlate, "REGEX: ^(A.*)$ $1.X\nOK FEED\n");
    CaptureStderr();
    const char* tab = "A\tB";
    const char* high = "A\xc8";
    EXPECT_EQ(xlate.GetKo2Feed(tab), tab);
    EXPECT_EQ(xlate.GetKo2Feed(tab), tab);
    EXPECT_EQ(xlate.GetKo2Feed(high), high);
    EXPECT_STREQ(xlate.GetKo2Feed("NONE"), "NONE");
    const std::string err = GetCapturedStderr();
    // The rule matches, but its result cannot be remembered, so the symbol counts as unknown.
    EXPECT_EQ(Count(err, "RegEx Insert to KO2Feed returned false: A\tB --> A\tB.X"), 2u);
    EXPECT_EQ(Count(err, "XLATE_NOT_FOUND for symbol A\tB will continue with the original."), 2u);
    EXPECT_EQ(Count(err, "XLATE_NOT_FOUND for symbol A\xc8 will continue with the original."), 1u);
    EXPECT_EQ(Count(err, "XLATE_NOT_FOUND for symbol NONE will continue with the original."), 1u);
    EXPECT_EQ(xlate.GetFeed2Ko("A\tB.X"), nullptr);
}

TEST_F(SymTranslatorTest, shouldCutLongLinesAndRefuseOverlongClientSymbols) {
    SymTranslator xlate;
    const std::string feed(506, 'F');
    const std::string sym28(28, 'S');
    const std::string sym31 = "ABCDEFGHIJKLMNOPQRSTUVWXYZ01234";
    Load(xlate, "LONG " + feed + "QQQ RRR\n" + sym28 + "," + sym31 + ",OK FEED\n");
    EXPECT_EQ(std::string(xlate.GetKo2Feed("LONG")), feed);  // the first 511 characters count
    CaptureStderr();
    EXPECT_STREQ(xlate.GetKo2Feed("QQQ"), "QQQ");  // the cut-off rest is not a line of its own
    EXPECT_STREQ(xlate.GetKo2Feed(sym28.c_str()), "FEED");
    EXPECT_STREQ(xlate.GetKo2Feed("OK"), "FEED");
    EXPECT_STREQ(xlate.GetKo2Feed(sym31.c_str()), sym31.c_str());
    EXPECT_STREQ(xlate.GetKo2Feed(sym31.substr(0, 28).c_str()), sym31.substr(0, 28).c_str());
    EXPECT_STREQ(xlate.GetKo2Feed("34"), "34");  // no piece of the refused symbol is mapped
    GetCapturedStderr();
    EXPECT_EQ(Synonyms(xlate, "FEED"), (std::vector<std::string>{"OK", sym28}));
}

TEST_F(SymTranslatorTest, shouldReportAFileThatCannotBeRead) {
    SymTranslator xlate;
    const std::string missing = m_dir + "/none.txt";
    CaptureStderr();
    EXPECT_FALSE(xlate.Init(missing.c_str()));
    EXPECT_FALSE(xlate.Init(m_dir.c_str()));  // a directory opens but does not read
    const std::string tooLong(5000, 'x');
    EXPECT_FALSE(xlate.Init(tooLong.c_str()));
    const std::string err = GetCapturedStderr();
    EXPECT_THAT(err, HasSubstr("**ERROR**\t:Unable to open Translation File: " + missing + "\n"));
    EXPECT_THAT(err, HasSubstr("Unable to open Translation File: " + m_dir + "\n"));
    EXPECT_EQ(Count(err, "Unable to open Translation File: "), 3u);

    CaptureStderr();
    EXPECT_FALSE(xlate.Init(missing.c_str()));
    GetCapturedStderr();
    EXPECT_STREQ(xlate.GetTranFile(), missing.c_str());
    EXPECT_FALSE(xlate.Init(""));
    EXPECT_STREQ(xlate.GetTranFile(), "");
    EXPECT_FALSE(xlate.LoadFile());
    EXPECT_FALSE(xlate.Init(nullptr));
}

TEST_F(SymTranslatorTest, shouldReloadOnlyAFileModifiedMoreThanTenSecondsAfterTheLastLoad) {
    SymTranslator xlate;
    Load(xlate, "A X\n");
    const std::string path = Write("map.txt", "A Y\nB Z\n");
    const time_t now = time(nullptr);

    SetMTime(path, now - 100);
    xlate.Refresh();
    CaptureStderr();
    EXPECT_STREQ(xlate.GetKo2Feed("B"), "B");
    GetCapturedStderr();

    SetMTime(path, now + 60);
    CaptureStderr();
    xlate.Refresh();
    EXPECT_STREQ(xlate.GetKo2Feed("B"), "Z");
    EXPECT_STREQ(xlate.GetKo2Feed("A"), "X");
    EXPECT_THAT(GetCapturedStderr(), HasSubstr("Insert to KO2Feed returned false: A --> Y"));

    // Unchanged since: not read again (a reload would log the conflict once more).
    CaptureStderr();
    xlate.Refresh();
    EXPECT_EQ(GetCapturedStderr(), "");
}

TEST_F(SymTranslatorTest, shouldReplaceAMappingAtRunTime) {
    SymTranslator xlate;
    CaptureStderr();
    EXPECT_FALSE(xlate.AddXLateEntry("ABC", "X"));  // no string pool before Init
    GetCapturedStderr();
    ASSERT_TRUE(xlate.Init());

    EXPECT_TRUE(xlate.AddXLateEntry("ABC", "X"));
    EXPECT_TRUE(xlate.AddXLateEntry("ABC.N", "X"));
    CaptureStderr();
    EXPECT_TRUE(xlate.AddXLateEntry("ABC", "Z"));
    const std::string err = GetCapturedStderr();
    EXPECT_THAT(err, HasSubstr("  INFO   \t:Erasing : ABC from the Synonyms list for : X\n"));
    EXPECT_THAT(err, HasSubstr("SymTranslator: Existing Synonyms for X are :\n ABC.N,\n"));
    EXPECT_STREQ(xlate.GetKo2Feed("ABC"), "Z");
    EXPECT_STREQ(xlate.GetKo2Feed("ABC.N"), "X");
    EXPECT_EQ(Synonyms(xlate, "X"), (std::vector<std::string>{"ABC.N"}));
    EXPECT_EQ(Synonyms(xlate, "Z"), (std::vector<std::string>{"ABC"}));

    CaptureStderr();
    EXPECT_FALSE(xlate.AddXLateEntry(nullptr, "X"));
    EXPECT_FALSE(xlate.AddXLateEntry("ABC", ""));
    EXPECT_EQ(
        Count(GetCapturedStderr(), "Cannot add XLate Entry - NULL Feed or KO Symbol Received."),
        2u);

    // A client symbol that could never be looked up is refused, and not listed as a synonym.
    CaptureStderr();
    EXPECT_FALSE(xlate.AddXLateEntry("A\tB", "Z"));
    EXPECT_THAT(GetCapturedStderr(), HasSubstr("Insert to KO2Feed returned false: A\tB --> Z"));
    EXPECT_EQ(Synonyms(xlate, "Z"), (std::vector<std::string>{"ABC"}));
}

TEST_F(SymTranslatorTest, shouldEndALineHoldingANulByteAtItsOwnLineEndNotAtTheNextOne) {
    SymTranslator xlate;
    Load(xlate, std::string("ABC\0XYZ X\nDEF GHI\nJKL\0 MNO\nPQR STU", 34));
    CaptureStderr();
    EXPECT_STREQ(xlate.GetKo2Feed("DEF"), "GHI");  // the line after a NUL byte is read
    EXPECT_STREQ(xlate.GetKo2Feed("PQR"), "STU");
    EXPECT_STREQ(xlate.GetKo2Feed("ABC"), "ABC");  // a line ends for the parser at its NUL
    EXPECT_STREQ(xlate.GetKo2Feed("JKL"), "JKL");
    GetCapturedStderr();
}

TEST_F(SymTranslatorTest, shouldRefuseADeviceThatNeverEndsAndStillLoadAnEmptyOne) {
    const ChildRun run = RunChildWithin(
        [] {
            SymTranslator xlate;
            const bool bZero = xlate.Init("/dev/zero");
            SymTranslator empty;
            const bool bNull = empty.Init("/dev/null");
            return !bZero && bNull ? 0 : 1;
        },
        30);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_THAT(run.err, HasSubstr("Unable to open Translation File: /dev/zero\n"));
}

TEST_F(SymTranslatorTest, shouldReadTheFirstEntryOfAFileThatBeginsWithAByteOrderMark) {
    SymTranslator xlate;
    Load(xlate,
         "\xEF\xBB\xBF"
         "ABC.N,ABC XYZ\nDEF GHI\n");
    EXPECT_STREQ(xlate.GetKo2Feed("ABC.N"), "XYZ");
    EXPECT_STREQ(xlate.GetKo2Feed("DEF"), "GHI");
    EXPECT_EQ(Synonyms(xlate, "XYZ"), (std::vector<std::string>{"ABC", "ABC.N"}));
    EXPECT_EQ(Count(m_loadErr, "returned false"), 0u) << m_loadErr;
}
