// CAppConn connecting, binding and accepting over loopback TCP and Unix-domain
// sockets, the connect time-out, the cluster bind and the SOCKS5 proxy.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "net/net_test_helper.h"
#include "qrx/net/app_conn.h"
#include "qrx/net/sock_utils.h"
#include "qrx/wire/session_msgs.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

unsigned short Swapped(int port) {
    return static_cast<unsigned short>(((port & 0xFF) << 8) | ((port >> 8) & 0xFF));
}

// The peer address of an accepted descriptor.
std::string PeerAddress(int fd) {
    struct sockaddr_in sin;
    socklen_t len = sizeof sin;
    char text[INET_ADDRSTRLEN] = "";
    if (getpeername(fd, reinterpret_cast<struct sockaddr*>(&sin), &len) == 0) {
        inet_ntop(AF_INET, &sin.sin_addr, text, sizeof text);
    }
    return text;
}

// Reads messages from conn until one arrives, bounded by the attempts.
char* ReadOneMessage(CAppConn& conn, int& status) {
    char* msg = nullptr;
    for (int i = 0; i < 500; ++i) {
        status = conn.ReadCmsgNoblok(msg);
        if (status != 0 || msg != nullptr) {
            return msg;
        }
        struct pollfd pfd = {conn.GetFd(), POLLIN, 0};
        poll(&pfd, 1, 10);
    }
    return nullptr;
}

// Sends a heartbeat each way between two stream-form connections.
int ExchangeHeartbeats(CAppConn& a, CAppConn& b) {
    std::vector<double> mem(16, 0.0);
    auto* hb = reinterpret_cast<MsgHdrPort*>(mem.data());
    hb->mtyp = CM_HEARTBEAT;
    hb->submtyp = CM_HEARTBEAT;
    const stHeartBeat body = {4711};
    memcpy(hb->mstrt, &body, sizeof body);
    SetMsgLen(hb, sizeof body);
    if (a.WriteMsgBlock(hb) != 0 || b.WriteMsgBlock(hb) != 0) {
        return 1;
    }
    CAppConn* ends[] = {&b, &a};
    for (CAppConn* end : ends) {
        int status = 0;
        char* got = ReadOneMessage(*end, status);
        if (got == nullptr) {
            return 2;
        }
        const auto* msg = reinterpret_cast<const MsgHdrPort*>(got);
        stHeartBeat received;
        memcpy(&received, msg->mstrt, sizeof received);
        if (msg->mtyp != CM_HEARTBEAT || received.request_id != 4711) {
            return 3;
        }
    }
    return 0;
}

// Descriptors open in this process.
int OpenDescriptors() {
    int n = 0;
    for (int fd = 0; fd < 4096; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0) {
            ++n;
        }
    }
    return n;
}

}  // namespace

TEST(AppConnConnectTest, shouldConnectToSwappedServicePortUnlessTrueBindIsSet) {
    LoopbackListener listener;
    ASSERT_TRUE(listener.Ok());
    StderrCapture capture;

    unsetenv("QUOR_TRUE_BIND");
    const std::string swapped = std::to_string(Swapped(listener.Port()));
    CAppConn viaSwap("swap", 1, swapped.c_str(), "127.0.0.1", 0, nullptr);
    EXPECT_GE(viaSwap.Conn(), 0);

    setenv("QUOR_TRUE_BIND", "YES", 1);
    const std::string given = std::to_string(listener.Port());
    CAppConn viaTrue("true", 1, given.c_str(), "127.0.0.1", 0, nullptr);
    EXPECT_GE(viaTrue.Conn(), 0);
    unsetenv("QUOR_TRUE_BIND");

    CAppConn byNumber("num", 1, nullptr, "127.0.0.1", listener.Port(), nullptr);
    EXPECT_GE(byNumber.Conn(), 0);
    EXPECT_FALSE(CAppConn::was_alarm_activated());

    const std::string log = capture.Take();
    EXPECT_THAT(log, HasSubstr("Connecting to Host:127.0.0.1, Port:" + given));
    EXPECT_THAT(log, HasSubstr("Connected to 127.0.0.1 on port " + given));
    for (int i = 0; i < 3; ++i) {
        EXPECT_GE(listener.AcceptWithin(5000), 0);
    }
}

TEST(AppConnConnectTest, shouldReportRefusedConnectAndAllowRetry) {
    const int port = FreeLoopbackPort();
    CAppConn conn("refused", 1, nullptr, "127.0.0.1", port, nullptr);
    StderrCapture capture;
    EXPECT_EQ(conn.Conn(), -1);
    EXPECT_EQ(conn.GetFd(), -1);
    const std::string log = capture.Take();
    EXPECT_THAT(log, HasSubstr("sock_err(): ["));
    EXPECT_THAT(log, HasSubstr("**ERROR**\t:In refused: host = 127.0.0.1  port = " +
                               std::to_string(port) + " timeout interval = "));
    EXPECT_THAT(log, HasSubstr("Connection refused"));
    EXPECT_THAT(log, Not(HasSubstr("alarm issued")));

    CAppConn unresolvable("nohost", 1, nullptr, "no-such-host.invalid", port, nullptr);
    StderrCapture again;
    EXPECT_EQ(unresolvable.Conn(), -1);
    EXPECT_THAT(again.Take(),
                HasSubstr("getaddrinfo failed for host: no-such-host.invalid  error:"));
}

TEST(AppConnConnectTest, shouldKeepTheOpenSocketWhenConnectOrBindIsCalledAgain) {
    LoopbackListener listener;
    ASSERT_TRUE(listener.Ok());
    const int before = OpenDescriptors();
    {
        StderrCapture quiet;
        CAppConn conn("twice", 1, nullptr, "127.0.0.1", listener.Port(), nullptr);
        const int fd = conn.Conn();
        ASSERT_GE(fd, 0);
        EXPECT_EQ(conn.Conn(), fd);
        EXPECT_EQ(conn.GetFd(), fd);
        CAppConn server("bound", 1, nullptr, nullptr, FreeLoopbackPort(), "127.0.0.1");
        const int lfd = server.Bind(4);
        ASSERT_GE(lfd, 0);
        EXPECT_EQ(server.Bind(4), lfd);
        conn.Close(false);
        server.Close(false);
        const int peer = listener.AcceptWithin(5000);
        ASSERT_GE(peer, 0);
        EXPECT_TRUE(WaitEofWithin(peer, 5000));
        close(peer);
    }
    EXPECT_EQ(OpenDescriptors(), before);
}

TEST(AppConnConnectTest, shouldBindListenAndAcceptOverTcp) {
    unsetenv("QUOR_TRUE_BIND");
    const int port = FreeLoopbackPort();
    const std::string svc = std::to_string(Swapped(port));
    CAppConn server("srv", 1, svc.c_str(), nullptr, 0, "127.0.0.1");
    StderrCapture capture;
    ASSERT_GE(server.Bind(8), 0);
    EXPECT_STREQ(server.host, "127.0.0.1");

    CAppConn client("cli", 1, nullptr, "127.0.0.1", port, nullptr);
    ASSERT_GE(client.Conn(), 0);
    CAppConn* accepted = nullptr;
    for (int i = 0; i < 500 && accepted == nullptr; ++i) {
        struct pollfd pfd = {server.GetFd(), POLLIN, 0};
        poll(&pfd, 1, 10);
        accepted = server.Accept("acc");
    }
    ASSERT_NE(accepted, nullptr);
    EXPECT_STREQ(accepted->GetDescr(), "acc");
    EXPECT_EQ(accepted->m_socketType, -1);
    EXPECT_NE(fcntl(accepted->GetFd(), F_GETFL) & O_NONBLOCK, 0);
    accepted->m_is_stream = 5;
    client.m_is_stream = 5;
    EXPECT_EQ(ExchangeHeartbeats(client, *accepted), 0);
    delete accepted;

    // Nothing pending: a quiet failure, no connection object.
    EXPECT_EQ(server.Accept("none"), nullptr);
    EXPECT_THAT(capture.Take(), HasSubstr("CAppConn::bindI SetNoDelay function calling"));

    // The port is taken: bind fails and the object holds no socket.
    CAppConn second("srv2", 1, svc.c_str(), nullptr, 0, "127.0.0.1");
    StderrCapture again;
    EXPECT_EQ(second.Bind(8), -1);
    EXPECT_EQ(second.GetFd(), -1);
    EXPECT_THAT(again.Take(), HasSubstr("**ERROR**\t:In srv2: bind: Address already in use"));
}

TEST(AppConnConnectTest, shouldBindConnectAndAcceptOverUnixSockets) {
    char tmpl[] = "/tmp/qrx_net_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string path = std::string(tmpl) + "/srv.sock";
    {
        StderrCapture capture;
        CAppConn server("usrv", path.c_str());
        ASSERT_GE(server.Bind(4), 0);
        // A stale socket file from an earlier server is replaced.
        CAppConn again("usrv2", path.c_str());
        server.Close(false);
        ASSERT_GE(again.Bind(4), 0);

        CAppConn client("ucli", 0, path.c_str(), nullptr, 0, nullptr);
        ASSERT_GE(client.Conn(), 0);
        const int fd = again.Accept();
        ASSERT_GE(fd, 0);
        CAppConn accepted("uacc", -1, nullptr, nullptr, 0, nullptr);
        accepted.SetFd(fd);
        accepted.m_is_stream = 5;
        client.m_is_stream = 5;
        EXPECT_EQ(ExchangeHeartbeats(client, accepted), 0);
        capture.Take();

        again.Close(false);
        unlink(path.c_str());
        CAppConn gone("gone", 0, path.c_str(), nullptr, 0, nullptr);
        StderrCapture refused;
        EXPECT_EQ(gone.Conn(), -1);
        EXPECT_THAT(refused.Take(), HasSubstr("**ERROR**\t:In gone: connect() returned: "));
    }
    rmdir(tmpl);
}

TEST(AppConnConnectTest, shouldAbandonConnectToPeerThatDoesNotAnswer) {
    const ChildRun run = RunChildWithin(
        [] {
            setenv("QUOR_CONN_TIMEOUT", "1", 1);
            // A listener whose backlog is full drops further handshakes, so a
            // connect to it stays unanswered.
            LoopbackListener listener(0);
            CHILD_CHECK(listener.Ok());
            std::vector<int> fillers;
            bool stalled = false;
            for (int i = 0; i < 16 && !stalled; ++i) {
                const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
                struct sockaddr_in sin;
                memset(&sin, 0, sizeof sin);
                sin.sin_family = AF_INET;
                sin.sin_port = htons(static_cast<uint16_t>(listener.Port()));
                sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                connect(fd, reinterpret_cast<struct sockaddr*>(&sin), sizeof sin);
                fillers.push_back(fd);
                struct pollfd pfd = {fd, POLLOUT, 0};
                stalled = poll(&pfd, 1, 300) == 0;
            }
            if (!stalled) {
                return kChildSkip;
            }
            CAppConn conn("slow", 1, nullptr, "127.0.0.1", listener.Port(), nullptr);
            CHILD_CHECK(conn.Conn() == -1);
            CHILD_CHECK(conn.GetFd() == -1);
            CHILD_CHECK(CAppConn::was_alarm_activated());
            // Switched off, the same connect waits for as long as the system's
            // own connect does: it completes once the backlog is drained, later
            // than the one-second limit would have allowed.
            enable_csock_signals(false);
            std::atomic<bool> done{false};
            std::thread drain([&] {
                struct timespec pause = {1, 500 * 1000 * 1000};
                nanosleep(&pause, nullptr);
                for (int i = 0; i < 200 && !done.load(); ++i) {
                    const int fd = listener.AcceptWithin(100);
                    if (fd >= 0) {
                        fillers.push_back(fd);
                    }
                }
            });
            CAppConn patient("patient", 1, nullptr, "127.0.0.1", listener.Port(), nullptr);
            const int fd = patient.Conn();
            done.store(true);
            drain.join();
            CHILD_CHECK(fd >= 0);
            CHILD_CHECK(!CAppConn::was_alarm_activated());
            fprintf(stderr, "PORT=%d\n", listener.Port());
            return 0;
        },
        30);
    ASSERT_FALSE(run.timedOut) << run.err;
    if (run.exitCode == kChildSkip) {
        GTEST_SKIP() << "loopback listener with a full backlog still answers";
    }
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const size_t at = run.err.find("PORT=");
    ASSERT_NE(at, std::string::npos);
    const std::string port = run.err.substr(at + 5, run.err.find('\n', at) - at - 5);
    EXPECT_THAT(run.err, HasSubstr("alarm_handler(): alarm for connection to host = 127.0.0.1  "
                                   "port = " +
                                   port + " timeout interval = 1 activated!!\n"));
    EXPECT_THAT(run.err, HasSubstr("**ERROR**\t:CAppConn::connI():(slow) connection timed out to "
                                   "host = 127.0.0.1 port = " +
                                   port + " timeout value = 3 seconds\n"));
    EXPECT_THAT(run.err, HasSubstr("**ERROR**\t:CAppConn::connI():(slow) alarm issued on "
                                   "connection to host = 127.0.0.1 port = " +
                                   port +
                                   " for timeout value = 1 seconds. Default timeout value = 3 "
                                   "seconds\n"));
    EXPECT_THAT(run.err, HasSubstr("**ERROR**\t:In slow: host = 127.0.0.1  port = " + port +
                                   " timeout interval = 1: Connection timed out"));
}

TEST(AppConnConnectTest, shouldAbandonUnixConnectToServerThatNeverAccepts) {
    char tmpl[] = "/tmp/qrx_net_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string path = std::string(tmpl) + "/busy.sock";
    const ChildRun run = RunChildWithin(
        [&path] {
            setenv("QUOR_CONN_TIMEOUT", "1", 1);
            // A server that has stopped accepting: its backlog is full, so a
            // further local connect has to wait for room that never comes.
            const int srv = socket(AF_UNIX, SOCK_STREAM, 0);
            struct sockaddr_un addr;
            memset(&addr, 0, sizeof addr);
            addr.sun_family = AF_UNIX;
            memcpy(addr.sun_path, path.c_str(), path.size());
            CHILD_CHECK(bind(srv, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) == 0);
            CHILD_CHECK(listen(srv, 0) == 0);
            std::vector<int> fillers;
            bool full = false;
            for (int i = 0; i < 16 && !full; ++i) {
                const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
                fillers.push_back(fd);
                full = connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0 &&
                       errno == EAGAIN;
            }
            CHILD_CHECK(full);
            CAppConn conn("ubusy", path.c_str());
            CHILD_CHECK(conn.Conn() == -1);
            CHILD_CHECK(conn.GetFd() == -1);
            // Once the server accepts again, a new attempt gets through.
            const int first = accept(srv, nullptr, nullptr);
            CHILD_CHECK(first >= 0);
            CAppConn later("ulater", path.c_str());
            CHILD_CHECK(later.Conn() >= 0);
            return 0;
        },
        60);
    unlink(path.c_str());
    rmdir(tmpl);
    ASSERT_FALSE(run.timedOut) << "the connect did not give up: " << run.err;
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_THAT(run.err,
                HasSubstr("**ERROR**\t:In ubusy: connect() returned: Connection timed out"));
}

TEST(AppConnConnectTest, shouldLeaveFromClusterBindAddress) {
    const ChildRun run = RunChildWithin(
        [] {
            setenv("QUOR_CLUSTER_BIND", "127.0.0.2", 1);
            LoopbackListener listener;
            CHILD_CHECK(listener.Ok());
            CAppConn conn("cluster", 1, nullptr, "127.0.0.1", listener.Port(), nullptr);
            CHILD_CHECK(conn.Conn() >= 0);
            const int peer = listener.AcceptWithin(5000);
            CHILD_CHECK(peer >= 0);
            CHILD_CHECK(PeerAddress(peer) == "127.0.0.2");
            char name[QRX_HOST_NAME_LEN];
            CHILD_CHECK(fd_2_Host(peer, name) != nullptr && std::string(name) == "127.0.0.2");
            close(peer);
            return 0;
        },
        20);
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitCode, 0) << run.err;

    const ChildRun bad = RunChildWithin(
        [] {
            setenv("QUOR_CLUSTER_BIND", "no-such-host.invalid", 1);
            CAppConn conn("cluster", 1, nullptr, "127.0.0.1", 9, nullptr);
            CHILD_CHECK(conn.Conn() == -1);
            return 0;
        },
        20);
    EXPECT_EQ(bad.exitCode, 0) << bad.err;
    EXPECT_THAT(
        bad.err,
        HasSubstr("getaddrinfo failed for Cluster Bind host: no-such-host.invalid  error:"));
}

TEST(AppConnSocksTest, shouldCarryMessagesBothWaysThroughMicrosocks) {
    if (access("/usr/bin/microsocks", X_OK) != 0) {
        GTEST_SKIP() << "microsocks is not installed";
    }
    const ChildRun run = RunChildWithin(
        [] {
            // Its outgoing connections leave from 127.0.0.3: the server's view
            // of the peer proves the route through the proxy.
            MicrosocksServer proxy("127.0.0.3");
            CHILD_CHECK(proxy.Ok());
            const std::string port = std::to_string(proxy.Port());
            setenv("QUOR_SOCKS_PROXY_HOST", "127.0.0.1", 1);
            setenv("QUOR_SOCKS_PROXY_PORT", port.c_str(), 1);
            LoopbackListener listener;
            CHILD_CHECK(listener.Ok());
            CAppConn client("viaproxy", 1, nullptr, "127.0.0.1", listener.Port(), nullptr);
            CHILD_CHECK(client.Conn() >= 0);
            const int fd = listener.AcceptWithin(5000);
            CHILD_CHECK(fd >= 0);
            CHILD_CHECK(PeerAddress(fd) == "127.0.0.3");
            CAppConn server("srv", -1, nullptr, nullptr, 0, nullptr);
            server.SetFd(fd);
            client.m_is_stream = 5;
            server.m_is_stream = 5;
            CHILD_CHECK(ExchangeHeartbeats(client, server) == 0);
            fprintf(stderr, "PROXYPORT=%s\n", port.c_str());
            return 0;
        },
        30);
    ASSERT_FALSE(run.timedOut);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const size_t at = run.err.find("PROXYPORT=");
    ASSERT_NE(at, std::string::npos);
    const std::string port = run.err.substr(at + 10, run.err.find('\n', at) - at - 10);
    EXPECT_THAT(run.err, HasSubstr("Connecting to PROXY Host:127.0.0.1, Port:" + port));
    EXPECT_THAT(run.err, Not(HasSubstr("Connecting to Host:")));
}

TEST(AppConnSocksTest, shouldFailConnectWhenProxyRefusesOrIsAbsent) {
    const ChildRun refused = RunChildWithin(
        [] {
            LoopbackListener proxy;
            CHILD_CHECK(proxy.Ok());
            const std::string port = std::to_string(proxy.Port());
            setenv("QUOR_SOCKS_PROXY_HOST", "127.0.0.1", 1);
            setenv("QUOR_SOCKS_PROXY_PORT", port.c_str(), 1);
            std::thread peer([&] {
                const int fd = proxy.AcceptWithin(5000);
                char buf[10];
                if (fd >= 0 && ReadExactWithin(fd, buf, 3, 5000)) {
                    WriteAllWithin(fd, "\x05\x00", 2, 5000);
                    if (ReadExactWithin(fd, buf, 10, 5000)) {
                        WriteAllWithin(fd, "\x05\x04\x00\x01\x00\x00\x00\x00\x00\x00", 10, 5000);
                    }
                }
                if (fd >= 0) {
                    close(fd);
                }
            });
            CAppConn client("viaproxy", 1, nullptr, "127.0.0.1", 9, nullptr);
            const int rc = client.Conn();
            peer.join();
            CHILD_CHECK(rc == -1);
            CHILD_CHECK(client.GetFd() == -1);
            CHILD_CHECK(!CAppConn::was_alarm_activated());
            return 0;
        },
        30);
    ASSERT_FALSE(refused.timedOut);
    EXPECT_EQ(refused.exitCode, 0) << refused.err;
    EXPECT_THAT(refused.err,
                HasSubstr("Connect reply failed with error code 4 (Host unreachable.)"));
    EXPECT_THAT(refused.err, HasSubstr("Connect read failed to 127.0.0.1 9"));

    const ChildRun absent = RunChildWithin(
        [] {
            setenv("QUOR_SOCKS_PROXY_HOST", "127.0.0.1", 1);
            setenv("QUOR_SOCKS_PROXY_PORT", std::to_string(FreeLoopbackPort()).c_str(), 1);
            CAppConn client("viaproxy", 1, nullptr, "127.0.0.1", 9, nullptr);
            CHILD_CHECK(client.Conn() == -1);
            return 0;
        },
        30);
    EXPECT_EQ(absent.exitCode, 0) << absent.err;
    EXPECT_THAT(absent.err, HasSubstr("Proxy Connect failed."));
}

TEST(AppConnSocksTest, shouldRefuseProxyPortsOutsideThePortRangeInsteadOfWrappingThem) {
    // The resolver takes any decimal service and keeps its low 16 bits: the
    // port of the listener plus 65536 reached the listener.
    const ChildRun run = RunChildWithin(
        [] {
            LoopbackListener proxy;
            CHILD_CHECK(proxy.Ok());
            const std::string port = std::to_string(proxy.Port() + 65536);
            setenv("QUOR_SOCKS_PROXY_HOST", "127.0.0.1", 1);
            setenv("QUOR_SOCKS_PROXY_PORT", port.c_str(), 1);
            CAppConn client("viaproxy", 1, nullptr, "127.0.0.1", 9, nullptr);
            CHILD_CHECK(client.Conn() == -1);
            CHILD_CHECK(!CAppConn::was_alarm_activated());
            // Conn has returned: a connection made to the listener waits in its queue now.
            const int reached = proxy.AcceptWithin(0);
            CHILD_CHECK(reached < 0);
            return 0;
        },
        30);
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_THAT(run.err, HasSubstr("Could'nt getaddrinfo from host 127.0.0.1 port "));

    for (const char* bad : {"", "0", "-1", "80x"}) {
        const ChildRun refused = RunChildWithin(
            [bad] {
                setenv("QUOR_SOCKS_PROXY_HOST", "127.0.0.1", 1);
                setenv("QUOR_SOCKS_PROXY_PORT", bad, 1);
                CAppConn client("viaproxy", 1, nullptr, "127.0.0.1", 9, nullptr);
                CHILD_CHECK(client.Conn() == -1);
                return 0;
            },
            30);
        EXPECT_EQ(refused.exitCode, 0) << bad << ": " << refused.err;
        EXPECT_THAT(refused.err, HasSubstr("Could'nt getaddrinfo from host 127.0.0.1 port " +
                                           std::string(bad) + "\n"))
            << bad;
    }
}
