#include "qrx/net/socks5_client.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "net/net_test_helper.h"
#include "qrx/net/fd_wait.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

const unsigned short kDestPort = 4242;  // 0x1092

// A proxy that answers from a script: it reads the 3-byte greeting, sends its
// greeting answer, reads the 10-byte request and sends its request answer.
// The connection closes behind the request answer; an empty answer closes it
// at that point instead. A silent proxy keeps it open until the client leaves.
struct ProxyScript {
    std::string greetingAnswer;
    std::string requestAnswer;
    bool silent = false;
    bool bytewise = false;  // answers one byte per write
    std::string trailing;   // destination data sent after a successful answer

    std::string greeting;  // what the client sent
    std::string request;
};

void SendAnswer(int fd, const std::string& answer, bool bytewise) {
    if (!bytewise) {
        WriteAllWithin(fd, answer, 5000);
        return;
    }
    for (char c : answer) {
        WriteAllWithin(fd, &c, 1, 5000);
        struct timespec pause = {0, 5 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
}

void ServeScript(LoopbackListener& listener, ProxyScript& script) {
    const int fd = listener.AcceptWithin(5000);
    if (fd < 0) {
        return;
    }
    char buf[10];
    if (ReadExactWithin(fd, buf, 3, 5000)) {
        script.greeting.assign(buf, 3);
        if (script.silent) {
            WaitEofWithin(fd, 10000);
        } else if (!script.greetingAnswer.empty()) {
            SendAnswer(fd, script.greetingAnswer, script.bytewise);
            if (ReadExactWithin(fd, buf, 10, 5000)) {
                script.request.assign(buf, 10);
                if (!script.requestAnswer.empty()) {
                    SendAnswer(fd, script.requestAnswer + script.trailing, script.bytewise);
                }
            }
        }
    }
    close(fd);
}

struct Outcome {
    bool ok = false;
    std::string log;
    std::string afterwards;  // what the socket carried after the exchange
};

// Runs the client exchange against a scripted proxy on loopback.
Outcome RunClient(ProxyScript& script, int timeoutSeconds = 5, size_t expectAfter = 0) {
    LoopbackListener listener;
    Outcome out;
    if (!listener.Ok()) {
        ADD_FAILURE() << "no loopback listener";
        return out;
    }
    std::thread peer([&] { ServeScript(listener, script); });
    const int fd = ConnectLoopback(listener.Port());
    {
        StderrCapture capture;
        CConnectDeadline deadline(timeoutSeconds);
        out.ok = fd >= 0 && SocksProxy::LoginAndConnect(fd, "127.0.0.1", kDestPort, &deadline);
        out.log = capture.Take();
    }
    if (expectAfter > 0) {
        out.afterwards.resize(expectAfter);
        if (!ReadExactWithin(fd, &out.afterwards[0], expectAfter, 5000)) {
            out.afterwards.clear();
        }
    }
    if (fd >= 0) {
        close(fd);
    }
    peer.join();
    return out;
}

std::string Bytes(std::initializer_list<int> bytes) {
    std::string s;
    for (int b : bytes) {
        s.push_back(static_cast<char>(b));
    }
    return s;
}

const std::string kGranted = Bytes({5, 0, 0, 1, 127, 0, 0, 1, 0x10, 0x92});

}  // namespace

TEST(Socks5ClientTest, shouldConnectWhenProxyGrantsRequestEvenInSplitAnswers) {
    ProxyScript script;
    script.greetingAnswer = Bytes({5, 0});
    script.requestAnswer = kGranted;
    script.bytewise = true;

    const Outcome out = RunClient(script);

    EXPECT_TRUE(out.ok) << out.log;
    EXPECT_EQ(script.greeting, Bytes({5, 1, 0}));
    EXPECT_EQ(script.request, Bytes({5, 1, 0, 1, 127, 0, 0, 1, 0x10, 0x92}));
}

TEST(Socks5ClientTest, shouldReadBoundDomainNameWholeAndLeaveDestinationDataIntact) {
    ProxyScript script;
    script.greetingAnswer = Bytes({5, 0});
    script.requestAnswer = Bytes({5, 0, 0, 3, 9}) + "proxy.lan" + Bytes({0x04, 0x38});
    script.trailing = "DATA";

    const Outcome out = RunClient(script, 5, 4);

    EXPECT_TRUE(out.ok) << out.log;
    EXPECT_EQ(out.afterwards, "DATA");
}

TEST(Socks5ClientTest, shouldRefuseGreetingAnswersThatDoNotAcceptNoAuthentication) {
    struct Case {
        std::string answer;
        const char* line;
    } cases[] = {
        {Bytes({5, 0xFF}), "Login Socks method not accepted"},
        {Bytes({4, 0}), "Login Socks version 4 wrong"},
        {std::string(), "Login read failed"},  // the proxy hangs up
    };
    for (const Case& c : cases) {
        ProxyScript script;
        script.greetingAnswer = c.answer;
        const Outcome out = RunClient(script);
        EXPECT_FALSE(out.ok) << c.line;
        EXPECT_THAT(out.log, HasSubstr(c.line));
        EXPECT_THAT(out.log, HasSubstr("**ERROR**\t:socks5_client.cpp:"));
        EXPECT_TRUE(script.request.empty()) << c.line;
    }
}

TEST(Socks5ClientTest, shouldReportRequestAnswersThatRefuseTheConnection) {
    struct Case {
        std::string answer;
        const char* line;
    } cases[] = {
        {Bytes({5, 5, 0, 1, 0, 0, 0, 0, 0, 0}),
         "Connect reply failed with error code 5 (Connection refused.)"},
        {Bytes({5, 1, 0, 1, 0, 0, 0, 0, 0, 0}),
         "Connect reply failed with error code 1 (General SOCKS server failure.)"},
        {Bytes({5, 42, 0, 1, 0, 0, 0, 0, 0, 0}),
         "Connect reply failed with error code 42 (Unknown error.)"},
        {Bytes({4, 0, 0, 1, 0, 0, 0, 0, 0, 0}), "Connect Socks version 4 wrong"},
        {std::string(), "Connect refused"},             // the proxy hangs up
        {Bytes({5, 0, 0, 1, 127}), "Connect refused"},  // and mid-answer
    };
    for (const Case& c : cases) {
        ProxyScript script;
        script.greetingAnswer = Bytes({5, 0});
        script.requestAnswer = c.answer;
        const Outcome out = RunClient(script);
        EXPECT_FALSE(out.ok) << c.line;
        EXPECT_THAT(out.log, HasSubstr(c.line));
        EXPECT_THAT(out.log, HasSubstr("Connect read failed to 127.0.0.1 4242"));
    }
}

TEST(Socks5ClientTest, shouldGiveUpOnSilentProxyWhenTheDeadlinePasses) {
    ProxyScript script;
    script.silent = true;

    const Outcome out = RunClient(script, 1);

    EXPECT_FALSE(out.ok);
    EXPECT_THAT(out.log, HasSubstr("Login read failed"));
}
