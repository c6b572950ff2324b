// Socket helpers, service ports, the terminal address and the version texts.
#include "qrx/net/sock_utils.h"

#include <errno.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "net/net_test_helper.h"
#include "qrx/net/api_version.h"
#include "qrx/net/tcp_utils.h"
#include "qrx/runtime/environment.h"

using ::testing::HasSubstr;
using ::testing::MatchesRegex;

TEST(SockUtilsTest, shouldGiveDottedAddressesOfHostsAndPeers) {
    char out[QRX_ADDR_TEXT_LEN];
    EXPECT_STREQ(hostaddr_dots("127.0.0.1:5000", out), "127.0.0.1");
    EXPECT_STREQ(hostaddr_dots("localhost"), "127.0.0.1");
    // Digits and dots too long for an address are resolved, not copied.
    const std::string longDots = std::string(40, '1') + ".1.1.1";
    char* res = hostaddr_dots(longDots.c_str(), out);
    if (res != nullptr) {
        EXPECT_LT(strlen(res), sizeof out);
    }
    EXPECT_EQ(hostaddr_dots(nullptr, out), nullptr);

    LoopbackListener listener;
    ASSERT_TRUE(listener.Ok());
    const int client = ConnectLoopback(listener.Port());
    ASSERT_GE(client, 0);
    char peer[QRX_HOST_NAME_LEN];
    ASSERT_NE(fd_2_Host(client, peer), nullptr);
    EXPECT_STREQ(peer, "127.0.0.1");
    close(client);

    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    char local[QRX_HOST_NAME_LEN];
    ASSERT_EQ(gethostname(local, sizeof local), 0);
    EXPECT_STREQ(fd_2_Host(pair[0]), local);
    close(pair[0]);
    close(pair[1]);

    StderrCapture capture;
    EXPECT_EQ(fd_2_Host(-1, peer), nullptr);
    EXPECT_THAT(capture.Take(), HasSubstr("In fd_2_Host():: getpeername() returned: "));
}

TEST(SockUtilsTest, shouldWriteSystemErrorLinesAndKeepErrno) {
    StderrCapture capture;
    errno = ECONNREFUSED;
    sock_err("descr", make_str("connect(%d)", 42));
    EXPECT_EQ(errno, ECONNREFUSED);
    const std::string log = capture.Take();
    EXPECT_THAT(log, MatchesRegex("sock_err\\(\\): \\[[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{6}\\] - "
                                  "\\*\\*ERROR\\*\\*\t:In descr: connect\\(42\\): "
                                  "Connection refused\n"));
}

TEST(SockUtilsTest, shouldKeepRecentFormattedTextsAndCutOversizedOnes) {
    const char* first = make_str("%s-%d", "first", 1);
    const std::string filler(999, 'f');
    for (int i = 0; i < 90; ++i) {
        EXPECT_STREQ(make_str("%s", filler.c_str()), filler.c_str());
    }
    EXPECT_STREQ(first, "first-1");

    const std::string huge(310000, 'h');
    const char* cut = make_str("%s", huge.c_str());
    EXPECT_LT(strlen(cut), 300000u);
    EXPECT_EQ(std::string(cut, 10), std::string(10, 'h'));
    EXPECT_STREQ(make_str("%s", "after"), "after");
}

TEST(TcpUtilsTest, shouldPreferPositiveKoPortValuesOverTheServicesDatabase) {
    unsetenv("KO_PORT_ssh");
    if (getservbyname("ssh", "tcp") == nullptr) {
        GTEST_SKIP() << "no services database entry for ssh";
    }
    EXPECT_EQ(CTcpUtils::GetServicePort("ssh", true), 22);
    EXPECT_EQ(CTcpUtils::GetServiceFromEnv("ssh"), -1);
    setenv("KO_PORT_ssh", "7001", 1);
    EXPECT_EQ(CTcpUtils::GetServicePort("ssh", true), 7001);
    setenv("KO_PORT_ssh", "0", 1);
    EXPECT_EQ(CTcpUtils::GetServicePort("ssh", true), 22);
    setenv("KO_PORT_ssh", "65536", 1);  // low 16 bits 0: no port
    EXPECT_EQ(CTcpUtils::GetServiceFromEnv("ssh"), -1);
    setenv("KO_PORT_ssh", "70000", 1);
    EXPECT_EQ(CTcpUtils::GetServiceFromEnv("ssh"), 70000 & 0xFFFF);
    unsetenv("KO_PORT_ssh");
    EXPECT_EQ(CTcpUtils::GetServicePort("no-such-service-qrx", true), -1);
    EXPECT_EQ(CTcpUtils::GetServicePort(nullptr, true), -1);
}

TEST(TcpUtilsTest, shouldReadPortsOfAtMostFiveDigitsWithinSixteenBits) {
    EXPECT_EQ(CTcpUtils::PortFromDigits("8080"), 8080);
    EXPECT_EQ(CTcpUtils::PortFromDigits("65535"), 65535);
    EXPECT_EQ(CTcpUtils::PortFromDigits("65536"), -1);
    EXPECT_EQ(CTcpUtils::PortFromDigits("008080"), -1);  // six digits
    EXPECT_EQ(CTcpUtils::PortFromDigits("0"), 0);
}

TEST(TcpUtilsTest, shouldResolveTheTerminalFromDisplay) {
    const ChildRun withHost = RunChildWithin(
        [] {
            setenv("DISPLAY", "localhost:0.0", 1);
            const char* ip = CTcpUtils::GetTerminalIP();
            CHILD_CHECK(ip != nullptr && std::string(ip) == "127.0.0.1");
            return 0;
        },
        20);
    EXPECT_EQ(withHost.exitCode, 0) << withHost.err;
    const ChildRun noColon = RunChildWithin(
        [] {
            setenv("DISPLAY", "localhost", 1);
            CHILD_CHECK(CTcpUtils::GetTerminalIP() == nullptr);
            return 0;
        },
        20);
    EXPECT_EQ(noColon.exitCode, 0) << noColon.err;
}

TEST(ApiVersionTest, shouldNameTheReleaseAndTheBuild) {
    EXPECT_STREQ(ApiGetVersion(), "Rel-12-2-0_QA");
    EXPECT_EQ(ConvertVersionStringtoNum(ApiGetVersion()), 1202000);
    EXPECT_THAT(ApiGetBuildDate(),
                MatchesRegex("[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} "
                             "[A-Za-z0-9+-]+ [0-9]{4}"));
    EXPECT_GT(strlen(ApiGetBuildHost()), 0u);
}
