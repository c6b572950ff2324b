// The symbol server's configuration: the key = value / [section] file, the command line over
// it, and the errors that name where they are.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "common/child_process.h"
#include "qrx/symsrv/symsrv_config.h"

TEST(SymSrvConfig, AFileSetsTheLimitsTheUsersAndTheFeedsWithTheirRoutes) {
    CSymSrvConfig cfg;
    std::string err;
    ASSERT_TRUE(
        cfg.ParseText("# a comment\n"
                      "port = 7100   # trailing comment\n"
                      "unix = /tmp/x.sock\n"
                      "metrics_port = 9100\n"
                      "high_water = 1000\n"
                      "limit = 5000\n"
                      "stall_timeout = 2.5\n"
                      "feed_stall_timeout = 4\n"
                      "max_topics = 500\n"
                      "[users]\n"
                      "alice = secret\n"
                      "[feed east]\n"
                      "address = 10.0.0.1:7001\n"
                      "user = srv\n"
                      "password = pw\n"
                      "prefix = N\n"
                      "prefix = Q\n"
                      "[feed]\n"
                      "address = unix:/tmp/feed.sock\n"
                      "regex = ^[A-M]\n",
                      "t.conf", err))
        << err;
    EXPECT_EQ(cfg.m_nPort, 7100);
    EXPECT_EQ(cfg.m_strUnixPath, "/tmp/x.sock");
    EXPECT_EQ(cfg.m_nMetricsPort, 9100);
    EXPECT_EQ(cfg.m_nHighWater, 1000);
    EXPECT_EQ(cfg.m_nLimit, 5000);
    EXPECT_DOUBLE_EQ(cfg.m_dblStallTimeout, 2.5);
    EXPECT_DOUBLE_EQ(cfg.m_dblFeedStallTimeout, 4.0);
    EXPECT_EQ(cfg.m_nMaxTopics, 500);
    EXPECT_EQ(cfg.m_mUsers.at("alice"), "secret");
    ASSERT_EQ(cfg.m_vecFeeds.size(), 2u);
    EXPECT_EQ(cfg.m_vecFeeds[0].m_strName, "east");
    EXPECT_EQ(cfg.m_vecFeeds[0].m_strHost, "10.0.0.1");
    EXPECT_EQ(cfg.m_vecFeeds[0].m_nPort, 7001);
    EXPECT_EQ(cfg.m_vecFeeds[0].m_strUser, "srv");
    EXPECT_EQ(cfg.m_vecFeeds[0].m_vecPrefixes, (std::vector<std::string>{"N", "Q"}));
    EXPECT_EQ(cfg.m_vecFeeds[1].m_strName, "feed2");
    EXPECT_EQ(cfg.m_vecFeeds[1].m_strPath, "/tmp/feed.sock");
    EXPECT_EQ(cfg.m_vecFeeds[1].m_vecRegexes, (std::vector<std::string>{"^[A-M]"}));
    EXPECT_TRUE(cfg.Validate(err)) << err;
}

TEST(SymSrvConfig, ErrorsNameTheFileAndTheLine) {
    const struct {
        const char* text;
        const char* error;
    } cases[] = {
        {"port = 1\nbogus = 2\n", "t.conf:2: unknown key 'bogus'"},
        {"\n\nlimit = many\n", "t.conf:3: limit takes a positive number of bytes, not 'many'"},
        {"[feed x]\nregex = ([\n", "t.conf:2: bad regular expression '(['"},
        {"[feed x\n", "t.conf:1: section header without ']'"},
        {"[feeds]\n", "t.conf:1: unknown section 'feeds'"},
        {"port 7000\n", "t.conf:1: expected key = value"},
        {"[feed x]\naddress = nohost\n",
         "t.conf:2: bad feed address 'nohost' (host:port or unix:/path)"},
        {"port = 70000\n", "t.conf:1: port takes a port number, not '70000'"},
    };
    for (const auto& c : cases) {
        CSymSrvConfig cfg;
        std::string err;
        EXPECT_FALSE(cfg.ParseText(c.text, "t.conf", err)) << c.text;
        EXPECT_EQ(err, c.error);
    }
}

TEST(SymSrvConfig, TheCommandLineOverridesTheFileAndAddsFeedsAndUsers) {
    const std::string path = testing::TempDir() + "symsrv_config_test.conf";
    {
        std::ofstream f(path);
        f << "port = 7100\nhigh_water = 100\nlimit = 1000\n[feed file]\naddress = h:1\n";
    }
    const char* argv[] = {"qrx-symsrv",
                          "--port",
                          "7200",
                          "--feed",
                          "cli=127.0.0.1:7300,prefix:IB,user:u,password:p",
                          "--config",
                          path.c_str(),
                          "--feed",
                          "unix:/tmp/f.sock,all",
                          "--user",
                          "bob:pw:with:colons",
                          "--stall-timeout",
                          "0",
                          "--feed-stall-timeout",
                          "0.5"};
    CSymSrvConfig cfg;
    bool bHelp = true;
    std::string err;
    ASSERT_TRUE(cfg.ParseArgs(static_cast<int>(sizeof argv / sizeof argv[0]), argv, bHelp, err))
        << err;
    EXPECT_FALSE(bHelp);
    EXPECT_EQ(cfg.m_nPort, 7200);
    EXPECT_EQ(cfg.m_nHighWater, 100);
    ASSERT_EQ(cfg.m_vecFeeds.size(), 3u);
    EXPECT_EQ(cfg.m_vecFeeds[0].m_strName, "file");
    EXPECT_EQ(cfg.m_vecFeeds[1].m_strName, "cli");
    EXPECT_EQ(cfg.m_vecFeeds[1].m_nPort, 7300);
    EXPECT_EQ(cfg.m_vecFeeds[1].m_vecPrefixes, std::vector<std::string>{"IB"});
    EXPECT_EQ(cfg.m_vecFeeds[1].m_strPassword, "p");
    EXPECT_EQ(cfg.m_vecFeeds[2].m_strName, "feed3");
    EXPECT_EQ(cfg.m_vecFeeds[2].m_strPath, "/tmp/f.sock");
    EXPECT_TRUE(cfg.m_vecFeeds[2].m_bAll);
    EXPECT_EQ(cfg.m_mUsers.at("bob"), "pw:with:colons");
    EXPECT_DOUBLE_EQ(cfg.m_dblStallTimeout, 0.0);
    EXPECT_DOUBLE_EQ(cfg.m_dblFeedStallTimeout, 0.5);
    remove(path.c_str());
}

TEST(SymSrvConfig, TheCommandLineRefusesWhatItCannotUse) {
    const std::vector<std::vector<const char*>> bad = {
        {"qrx-symsrv", "--port"},
        {"qrx-symsrv", "stray"},
        {"qrx-symsrv", "--feed", "nohost"},
        {"qrx-symsrv", "--feed", "h:1,weird"},
        {"qrx-symsrv", "--user", "nopassword"},
        {"qrx-symsrv", "--high-water", "10", "--limit", "5"},
        {"qrx-symsrv", "--port", "0"},
        {"qrx-symsrv", "--config", "/nonexistent/symsrv.conf"},
    };
    for (const auto& argv : bad) {
        CSymSrvConfig cfg;
        bool bHelp = false;
        std::string err;
        EXPECT_FALSE(cfg.ParseArgs(static_cast<int>(argv.size()), argv.data(), bHelp, err))
            << argv.back();
        EXPECT_FALSE(err.empty());
    }
    {
        CSymSrvConfig cfg;
        bool bHelp = false;
        std::string err;
        const char* unknown[] = {"qrx-symsrv", "--bogus", "1"};
        EXPECT_FALSE(cfg.ParseArgs(3, unknown, bHelp, err));
        EXPECT_EQ(err, "unknown option --bogus");
        const char* badValue[] = {"qrx-symsrv", "--high-water", "lots"};
        EXPECT_FALSE(cfg.ParseArgs(3, badValue, bHelp, err));
        EXPECT_EQ(err, "--high-water takes a positive number of bytes, not 'lots'");
    }
    CSymSrvConfig cfg;
    bool bHelp = false;
    std::string err;
    const char* help[] = {"qrx-symsrv", "--limit", "oops", "--help"};
    EXPECT_TRUE(cfg.ParseArgs(4, help, bHelp, err));
    EXPECT_TRUE(bHelp) << "--help wins over everything else";
}

TEST(SymSrvConfig, ADirectoryOrADeviceGivenAsTheFileIsRefusedWithoutBeingRead) {
    char dir[] = "/tmp/qrx_cfg_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    CSymSrvConfig cfg;
    std::string err;
    EXPECT_FALSE(cfg.ParseFile(dir, err));  // was taken for an empty file
    rmdir(dir);
    EXPECT_EQ(err, std::string(dir) + ": Is a directory");

    // /dev/zero has no end: read whole, it took all the memory there was. The child's room is
    // bounded so that the machine's is not what runs out (but for the address sanitizer, which
    // reserves more address space than any such bound at start and cannot run under one).
    const ChildRun run = RunChildWithin(
        [] {
#if !defined(__SANITIZE_ADDRESS__)
            const rlimit lim = {1L << 30, 1L << 30};
            setrlimit(RLIMIT_AS, &lim);
#endif
            CSymSrvConfig zero;
            std::string strError;
            if (zero.ParseFile("/dev/zero", strError)) {
                return 2;
            }
            fprintf(stderr, "%s\n", strError.c_str());
            CSymSrvConfig empty;
            return empty.ParseFile("/dev/null", strError) ? 0 : 3;
        },
        30);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("/dev/zero: a device, not a file\n"), std::string::npos) << run.err;
}

TEST(SymSrvConfig, ALineHoldingANulByteIsRefusedNotCutShort) {
    CSymSrvConfig cfg;
    std::string err;
    // The password would have held the NUL, and no client could have given it.
    EXPECT_FALSE(cfg.ParseText(std::string("[users]\nalice = se\0cret\n", 24), "t.conf", err));
    EXPECT_EQ(err, "t.conf:2: the line holds a NUL byte");
    EXPECT_TRUE(cfg.m_mUsers.empty());
}

TEST(SymSrvConfig, AByteOrderMarkBeforeTheFirstLineIsNoPartOfIt) {
    // As some editors save a file: the mark made the first key unknown, in a message that does
    // not show it.
    CSymSrvConfig cfg;
    std::string err;
    EXPECT_TRUE(cfg.ParseText("\xEF\xBB\xBFport = 7100\n", "t.conf", err)) << err;
    EXPECT_EQ(cfg.m_nPort, 7100);
    // Anywhere else it is what it was.
    EXPECT_FALSE(cfg.ParseText("port = 7100\n\xEF\xBB\xBFport = 7200\n", "t.conf", err));
    EXPECT_EQ(err, "t.conf:2: unknown key '\xEF\xBB\xBFport'");
}

TEST(SymSrvConfig, TwoFeedsOfOneNameAreRefused) {
    // Their clients could not tell which source was lost, and the metrics would give one series
    // twice, which scrapers refuse whole.
    CSymSrvConfig cfg;
    std::string err;
    ASSERT_TRUE(
        cfg.ParseText("[feed nyse]\naddress = 127.0.0.1:7101\n"
                      "[feed nyse]\naddress = 127.0.0.1:7102\n",
                      "t.conf", err));
    EXPECT_FALSE(cfg.Validate(err));
    EXPECT_EQ(err, "two feeds are named 'nyse'");

    CSymSrvConfig cli;
    bool bHelp = false;
    const char* argv[] = {"qrx-symsrv", "--feed", "a=127.0.0.1:1", "--feed", "a=127.0.0.1:2"};
    EXPECT_FALSE(cli.ParseArgs(5, argv, bHelp, err));
    EXPECT_EQ(err, "two feeds are named 'a'");
}

TEST(SymSrvConfig, AUserWhoseNameOrPasswordNoLogonCanCarryIsRefused) {
    // A logon carries 32 bytes of each: such a user could never have logged on.
    const std::string longText(33, 'p');
    CSymSrvConfig cfg;
    std::string err;
    EXPECT_FALSE(cfg.ParseText("[users]\nbob = ok\nalice = " + longText + "\n", "t.conf", err));
    EXPECT_EQ(err, "t.conf:3: a logon carries at most 32 bytes of user name and of password");
    EXPECT_FALSE(cfg.ParseText("[users]\n" + longText + " = pw\n", "t.conf", err));
    EXPECT_EQ(err, "t.conf:2: a logon carries at most 32 bytes of user name and of password");
    EXPECT_TRUE(cfg.ParseText("[users]\n" + longText.substr(1) + " = " + longText.substr(1) + "\n",
                              "t.conf", err))
        << err;

    CSymSrvConfig cli;
    bool bHelp = false;
    const std::string arg = "alice:" + longText;
    const char* argv[] = {"qrx-symsrv", "--user", arg.c_str()};
    EXPECT_FALSE(cli.ParseArgs(3, argv, bHelp, err));
    EXPECT_EQ(err, "--user: a logon carries at most 32 bytes of user name and of password");
}
