#include "qrx/runtime/stdio_logger.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <regex>

#include "common/child_process.h"

namespace {

constexpr const char* kLogAllLevelsChild = "QRX_STDIO_LOGGER_TEST_CHILD";

void LogOneLineOfEachLevel() {
    QRX_LOG_ERROR("bad " << 42);
    QRX_LOG_WARNING("careful " << 1.5);
    QRX_LOG_INFO("note " << 'c' << static_cast<short>(7));
    QRX_LOG_DEBUG("detail " << std::string("x"));
    QRX_LOG_INFO("after debug");
}

// The debug switch is read when the logger is first used, and a forked child
// inherits a logger the parent has made already (an earlier test may have
// logged). So the lines are logged by this test program started afresh, which
// does so at start-up, before anything else has logged, and exits.
const bool g_isLogAllLevelsChild = [] {
    if (std::getenv(kLogAllLevelsChild) == nullptr) {
        return false;
    }
    LogOneLineOfEachLevel();
    std::cerr.flush();
    _exit(0);
}();

// Logs one line of each level in a fresh process with QUOR_PRINT_DBGMSG set to
// the given value (nullptr: unset) and returns what reached standard error.
std::string LogAllLevels(const char* debugSwitch) {
    const ChildResult r = RunInChild([debugSwitch] {
        if (debugSwitch) {
            setenv("QUOR_PRINT_DBGMSG", debugSwitch, 1);
        } else {
            unsetenv("QUOR_PRINT_DBGMSG");
        }
        setenv(kLogAllLevelsChild, "1", 1);
        execl("/proc/self/exe", "qrx_runtime_tests", static_cast<char*>(nullptr));
        perror("execl");
        return 127;
    });
    EXPECT_EQ(r.exitCode, 0) << r.stderrText;
    return r.stderrText;
}

TEST(StdioLoggerTest, shouldStampEveryLineAndMarkItsLevel) {
    const std::string out = LogAllLevels(nullptr);
    const std::string stamp = R"(\[\d\d:\d\d:\d\d\.\d{6}\] - )";
    EXPECT_TRUE(std::regex_search(out, std::regex("^" + stamp + R"(\*\*ERROR\*\*\t:bad 42\n)")))
        << out;
    EXPECT_TRUE(std::regex_search(out, std::regex(stamp + "~WARNING~\t:careful 1.5\n"))) << out;
    EXPECT_TRUE(std::regex_search(out, std::regex(stamp + "  INFO   \t:note c7\n"))) << out;
    EXPECT_TRUE(std::regex_search(out, std::regex(stamp + "  INFO   \t:after debug\n"))) << out;
}

TEST(StdioLoggerTest, shouldWriteDebugLinesOnlyWhenTheSwitchIsExactlyYes) {
    for (const char* off : {static_cast<const char*>(nullptr), "yes", "YES ", "Yes"}) {
        const std::string out = LogAllLevels(off);
        EXPECT_THAT(out, ::testing::Not(::testing::HasSubstr("DEBUG"))) << (off ? off : "unset");
        EXPECT_THAT(out, ::testing::HasSubstr("after debug"));
    }
    const std::string on = LogAllLevels("YES");
    EXPECT_THAT(on, ::testing::HasSubstr("..DEBUG..\t:detail x\n"));
}

TEST(StdioLoggerTest, shouldPutTheSourceLocationBetweenMarkerAndText) {
    const std::string out = RunInChild([] {
                                QRX_LOG_ERROR_AT("located");
                                return 0;
                            }).stderrText;
    EXPECT_TRUE(std::regex_search(
        out, std::regex(R"(\*\*ERROR\*\*\t:stdio_logger_test\.cpp:\d+:operator\(\): located\n)")))
        << out;
}

TEST(StdioLoggerTest, shouldInterleaveLogWithChainedOutput) {
    const std::string out = RunInChild([] {
                                CStdioLogger* log = CStdioLogger::GetInstance();
                                log->SetDebugMode(false);
                                *log << "one ";
                                log->Log("%s %d ", "two", 2);
                                *log << "three\n";
                                return 0;
                            }).stderrText;
    EXPECT_EQ(out, "one two 2 three\n");
}

}  // namespace
