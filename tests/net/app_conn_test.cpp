// CAppConn construction, the port rule, Unix-domain paths, options and closing.
#include "qrx/net/app_conn.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/scoped_env.h"
#include "net/net_test_helper.h"
#include "qrx/wire/session_msgs.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

// A private directory for socket files, removed with its contents.
class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/qrx_net_XXXXXX";
        const char* made = mkdtemp(tmpl);
        m_path = made ? made : "";
    }
    ~TempDir() {
        if (!m_path.empty()) {
            std::string cmd = "rm -rf '" + m_path + "'";
            if (system(cmd.c_str()) != 0) {
                fprintf(stderr, "could not remove %s\n", m_path.c_str());
            }
        }
    }
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

unsigned short Swapped(unsigned short port) {
    return static_cast<unsigned short>((port >> 8) | (port << 8));
}

struct CloseRecord {
    int calls = 0;
    CAppConn* conn = nullptr;
};

void RecordClose(CAppConn* conn, void* data) {
    auto* rec = static_cast<CloseRecord*>(data);
    ++rec->calls;
    rec->conn = conn;
}

void OtherClose(CAppConn*, void*) {}

}  // namespace

TEST(AppConnPortTest, shouldExchangePortBytesOfServiceStringsUnlessTrueBindIsExactlyYes) {
    {
        ScopedEnv unset("QUOR_TRUE_BIND", nullptr);
        CAppConn bySvc("t", 1, "5000", "127.0.0.1", 0, nullptr);
        EXPECT_EQ(bySvc.m_port, 34835);
    }
    {
        ScopedEnv lower("QUOR_TRUE_BIND", "yes");
        CAppConn bySvc("t", 1, "5000", "127.0.0.1", 0, nullptr);
        EXPECT_EQ(bySvc.m_port, 34835);
    }
    {
        ScopedEnv yes("QUOR_TRUE_BIND", "YES");
        CAppConn bySvc("t", 1, "5000", "127.0.0.1", 0, nullptr);
        EXPECT_EQ(bySvc.m_port, 5000);
        CAppConn byNumber("t", 1, nullptr, "127.0.0.1", 5000, nullptr);
        EXPECT_EQ(byNumber.m_port, 5000);
    }
    ScopedEnv unset("QUOR_TRUE_BIND", nullptr);
    CAppConn byNumber("t", 1, nullptr, "127.0.0.1", 5000, nullptr);
    EXPECT_EQ(byNumber.m_port, 5000);
}

TEST(AppConnPortTest, shouldTakeNamedServicesFromKoPortVariableBeforeTheServiceDatabase) {
    ScopedEnv unset("QUOR_TRUE_BIND", nullptr);
    {
        ScopedEnv svc("KO_PORT_symserv", "7001");
        CAppConn conn("t", 1, "symserv", "127.0.0.1", 0, nullptr);
        EXPECT_EQ(conn.m_port, Swapped(7001));
    }
    if (getservbyname("ssh", "tcp") == nullptr) {
        GTEST_SKIP() << "no services database entry for ssh";
    }
    {
        ScopedEnv ssh("KO_PORT_ssh", "7002");
        CAppConn conn("t", 1, "ssh", "127.0.0.1", 0, nullptr);
        EXPECT_EQ(conn.m_port, Swapped(7002));
    }
    {
        // 0 falls through to the services database, which knows ssh as 22.
        ScopedEnv ssh("KO_PORT_ssh", "0");
        CAppConn conn("t", 1, "ssh", "127.0.0.1", 0, nullptr);
        EXPECT_EQ(conn.m_port, Swapped(22));
    }
}

TEST(AppConnPortTest, shouldLeavePortZeroAndFailConnectForUnknownService) {
    StderrCapture capture;
    CAppConn conn("t", 1, "no-such-service-qrx", "127.0.0.1", 0, nullptr);
    EXPECT_EQ(conn.m_port, 0);
    EXPECT_EQ(conn.Conn(), -1);
    EXPECT_EQ(conn.GetFd(), -1);
    const std::string log = capture.Take();
    const std::string line =
        "CAppConn::InitializePortFromService(): couldn't find service 'no-such-service-qrx'";
    const size_t first = log.find(line);
    ASSERT_NE(first, std::string::npos) << log;
    EXPECT_NE(log.find(line, first + 1), std::string::npos) << "Conn() tries the service again";
}

TEST(AppConnPortTest, shouldRefuseNumericServicesBeyondThePortRange) {
    StderrCapture capture;
    CAppConn conn("t", 1, "70000", "127.0.0.1", 0, nullptr);
    EXPECT_EQ(conn.m_port, 0);
    EXPECT_THAT(capture.Take(), HasSubstr("couldn't find service '70000'"));
}

TEST(AppConnTest, shouldReportUnknownSocketTypesAndMissingHosts) {
    StderrCapture capture;
    CAppConn accepted("acc", -1, nullptr, nullptr, 0, nullptr);
    EXPECT_EQ(accepted.m_socketType, -1);
    CAppConn odd("odd", 7, nullptr, nullptr, 0, nullptr);
    EXPECT_EQ(odd.m_socketType, -1);
    EXPECT_EQ(odd.Conn(), -1);
    EXPECT_EQ(odd.Bind(5), -1);
    CAppConn noHost("nohost", 1, nullptr, nullptr, 5000, nullptr);
    EXPECT_EQ(noHost.Conn(), -1);
    const std::string log = capture.Take();
    EXPECT_THAT(log, HasSubstr("**ERROR**\t:CAppConn::CAppConn(6): Unknown socket type: 7\n"));
    EXPECT_EQ(log.find("Unknown socket type: -1"), std::string::npos);
    EXPECT_THAT(log, HasSubstr("CAppConn::Conn():(odd) unknown socket type"));
    EXPECT_THAT(log, HasSubstr("CAppConn::Bind():(odd) unknown socket type"));
    EXPECT_THAT(log, HasSubstr("CAppConn::Conn():(nohost) No Host specified for connection!!"));
}

TEST(AppConnTest, shouldBoundCopiedTextsByTheirFields) {
    const std::string longText(5000, 'h');
    CAppConn conn(longText.c_str(), 1, longText.c_str(), longText.c_str(), 0, longText.c_str());
    EXPECT_EQ(std::string(conn.m_descr), longText.substr(0, CAppConn::DESCR_LEN - 1));
    EXPECT_EQ(std::string(conn.host), longText.substr(0, CAppConn::HOST_LEN - 1));
    EXPECT_EQ(std::string(conn.m_bind_host), longText.substr(0, CAppConn::HOST_LEN - 1));
    EXPECT_EQ(std::string(conn.service), longText.substr(0, CAppConn::SERVICE_LEN - 1));
    conn.setDesc(longText.c_str());
    EXPECT_EQ(strlen(conn.m_descr), static_cast<size_t>(CAppConn::DESCR_LEN - 1));
}

TEST(AppConnPathTest, shouldResolveUnixPathsWithHomeAndRelativeParts) {
    TempDir dir;
    ASSERT_FALSE(dir.Path().empty());
    char real[PATH_MAX];
    ASSERT_NE(realpath(dir.Path().c_str(), real), nullptr);
    const std::string base = real;

    ScopedEnv home("HOME", dir.Path().c_str());
    CAppConn tilde("t", "~/a.sock");
    EXPECT_EQ(std::string(tilde.GetIPCPath()), base + "/a.sock");

    char cwd[PATH_MAX];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.Path().c_str()), 0);
    CAppConn relative("t", 0, "./b.sock", nullptr, 0, nullptr);
    EXPECT_EQ(std::string(relative.GetIPCPath()), base + "/b.sock");
    ASSERT_EQ(chdir(cwd), 0);

    // An existing socket file is valid wherever the path points.
    CAppConn server("srv", (base + "/c.sock").c_str());
    ASSERT_GE(server.Bind(4), 0);
    CAppConn existing("t", 0, (base + "/./c.sock").c_str(), nullptr, 0, nullptr);
    EXPECT_EQ(std::string(existing.GetIPCPath()), base + "/c.sock");
}

TEST(AppConnPathTest, shouldRefuseInvalidUnixPaths) {
    TempDir dir;
    const std::string file = dir.Path() + "/plain";
    FILE* f = fopen(file.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
    const std::string tooLong = dir.Path() + "/" + std::string(200, 's');

    StderrCapture capture;
    CAppConn regular("t", file.c_str());
    CAppConn noDir("t", 0, (dir.Path() + "/missing/x.sock").c_str(), nullptr, 0, nullptr);
    CAppConn bare("t", 0, "bare.sock", nullptr, 0, nullptr);
    CAppConn none("t", 0, nullptr, nullptr, 0, nullptr);
    CAppConn longPath("t", tooLong.c_str());
    const std::string log = capture.Take();

    EXPECT_TRUE(regular.m_IPCPath.empty());
    EXPECT_TRUE(noDir.m_IPCPath.empty());
    EXPECT_TRUE(bare.m_IPCPath.empty());
    EXPECT_TRUE(none.m_IPCPath.empty());
    EXPECT_TRUE(longPath.m_IPCPath.empty());
    EXPECT_THAT(log, HasSubstr("CAppConn::CAppConn(2): " + file + " is not a vaild IPC Socket"));
    EXPECT_THAT(log, HasSubstr("CAppConn::CAppConn(6): bare.sock is not a vaild IPC Socket"));
    EXPECT_THAT(log, HasSubstr("CAppConn::CAppConn(6): NULL is not a vaild IPC Socket"));

    // Neither connect nor bind falls back to an unnamed address, and binding
    // never removes a file that is not a socket.
    StderrCapture again;
    EXPECT_EQ(none.Conn(), -1);
    EXPECT_EQ(none.Bind(1), -1);
    again.Take();
    struct stat st;
    EXPECT_EQ(stat(file.c_str(), &st), 0);
}

TEST(AppConnCloseTest, shouldCallTheCloseCallBackOnceAndKeepItAgainstNullRegistrations) {
    LoopbackListener listener;
    ASSERT_TRUE(listener.Ok());
    CAppConn conn("cb", 1, nullptr, "127.0.0.1", listener.Port(), nullptr);
    CloseRecord rec;
    conn.RegisterCloseCallBack(RecordClose, &rec);
    conn.RegisterCloseCallBack(nullptr, nullptr);
    {
        StderrCapture quiet;
        ASSERT_GE(conn.Conn(), 0);
    }
    conn.Close(true);
    EXPECT_EQ(rec.calls, 1);
    EXPECT_EQ(rec.conn, &conn);
    EXPECT_EQ(conn.GetFd(), -1);
    EXPECT_EQ(conn.pRdata, nullptr);
    EXPECT_EQ(conn.maxRlen, 0);
    EXPECT_EQ(conn.pWdata, nullptr);
    EXPECT_EQ(conn.maxWlen, 0);

    conn.Close(false);  // already closed: buffers only
    EXPECT_EQ(rec.calls, 1);

    // A closed connection connects again; unregistered, nobody is called.
    conn.UnRegisterCloseCallBack();
    {
        StderrCapture quiet;
        ASSERT_GE(conn.Conn(), 0);
    }
    conn.Close(false);
    EXPECT_EQ(rec.calls, 1);

    conn.RegisterCloseCallBack(OtherClose, nullptr);
    EXPECT_EQ(conn.m_pCloseCallBack, &OtherClose);
}

TEST(AppConnCloseTest, shouldCloseTheOldSocketAndItsInputWhenAnotherIsAdopted) {
    int first[2];
    int second[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, first), 0);
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, second), 0);
    CAppConn conn("adopt", -1, nullptr, nullptr, 0, nullptr);
    CloseRecord rec;
    conn.RegisterCloseCallBack(RecordClose, &rec);
    StderrCapture quiet;
    conn.m_is_stream = 5;
    conn.SetFd(first[0]);
    // Half a message from the first peer waits in the buffer when the second
    // socket is adopted.
    const std::string stale = StreamHeartbeat(1);
    ASSERT_TRUE(WriteAllWithin(first[1], stale.substr(0, 5), 5000));
    ASSERT_TRUE(WaitPendingBytes(first[0], 5, 5000));
    char* msg = nullptr;
    ASSERT_EQ(conn.ReadCmsgNoblok(msg), 0);
    EXPECT_EQ(msg, nullptr);

    conn.SetFd(second[0]);
    EXPECT_EQ(rec.calls, 1);
    EXPECT_TRUE(WaitEofWithin(first[1], 5000));  // the first socket is closed
    const std::string fresh = StreamHeartbeat(2);
    ASSERT_TRUE(WriteAllWithin(second[1], fresh, 5000));
    ASSERT_TRUE(WaitPendingBytes(second[0], static_cast<int>(fresh.size()), 5000));
    ASSERT_EQ(conn.ReadCmsgNoblok(msg), 0) << quiet.Take();
    ASSERT_NE(msg, nullptr);
    const auto* hdr = reinterpret_cast<const MsgHdrPort*>(msg);
    stHeartBeat body;
    memcpy(&body, hdr->mstrt, sizeof body);
    EXPECT_EQ(hdr->mtyp, CM_HEARTBEAT);
    EXPECT_EQ(body.request_id, 2);

    conn.SetFd(second[0]);  // the same socket again: nothing changes
    EXPECT_EQ(rec.calls, 1);
    EXPECT_EQ(conn.GetFd(), second[0]);
    conn.Close(false);
    close(first[1]);
    close(second[1]);
}

TEST(AppConnOptionsTest, shouldApplyBufferSizeAndNagleSwitchFromEnvironment) {
    const ChildRun run = RunChildWithin(
        [] {
            setenv("QUOR_TCP_BUFFER_SIZE", "50000", 1);
            setenv("QUOR_DISABLE_NAGLE", "YES", 1);
            setenv("QUOR_PRINT_DBGMSG", "YES", 1);
            LoopbackListener listener;
            CHILD_CHECK(listener.Ok());
            CAppConn conn("opts", 1, nullptr, "127.0.0.1", listener.Port(), nullptr);
            CHILD_CHECK(conn.Conn() >= 0);
            int rcv = 0;
            socklen_t len = sizeof rcv;
            CHILD_CHECK(getsockopt(conn.GetFd(), SOL_SOCKET, SO_RCVBUF, &rcv, &len) == 0);
            CHILD_CHECK(rcv >= 50000 && rcv <= 100000);  // the kernel may double it
            int nodelay = 0;
            len = sizeof nodelay;
            CHILD_CHECK(getsockopt(conn.GetFd(), IPPROTO_TCP, TCP_NODELAY, &nodelay, &len) == 0);
            CHILD_CHECK(nodelay != 0);
            conn.setSocketKeepAliveOn(0);
            conn.setSocketKeepAliveOn(45);
            int idle = 0;
            len = sizeof idle;
            CHILD_CHECK(getsockopt(conn.GetFd(), IPPROTO_TCP, TCP_KEEPIDLE, &idle, &len) == 0);
            CHILD_CHECK(idle == 45);
            conn.setSocketKeepAliveOff();
            int keep = 1;
            len = sizeof keep;
            CHILD_CHECK(getsockopt(conn.GetFd(), SOL_SOCKET, SO_KEEPALIVE, &keep, &len) == 0);
            CHILD_CHECK(keep == 0);
            return 0;
        },
        20);
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_THAT(run.err, HasSubstr(": SO_RCVBUF successfully set to 50000 from "));
    EXPECT_THAT(run.err, HasSubstr(": SO_SNDBUF successfully set to 50000 from "));
    EXPECT_THAT(run.err, HasSubstr("..DEBUG..\t:For fd: "));
    EXPECT_THAT(run.err, HasSubstr("Disabling nagle algorithm for fd: "));
    EXPECT_THAT(run.err, HasSubstr(" opts (status = 0)"));
    EXPECT_THAT(run.err, HasSubstr("Set keepalive ON on this conn. Interval = [7200]"));
    EXPECT_THAT(run.err, HasSubstr("Set keepalive ON on this conn. Interval = [45]"));
}

TEST(AppConnOptionsTest, shouldPromoteDescriptorsAbove512WhenAsked) {
    const ChildRun run = RunChildWithin(
        [] {
            LoopbackListener listener;
            CHILD_CHECK(listener.Ok());
            CAppConn plain("plain", 1, nullptr, "127.0.0.1", listener.Port(), nullptr);
            CHILD_CHECK(plain.Conn() >= 0 && plain.GetFd() < 512);
            CAppConn::SetPromoteFlag();
            CAppConn first("p1", 1, nullptr, "127.0.0.1", listener.Port(), nullptr);
            CAppConn second("p2", 1, nullptr, "127.0.0.1", listener.Port(), nullptr);
            CHILD_CHECK(first.Conn() >= 512);
            CHILD_CHECK(second.Conn() > first.GetFd());
            CHILD_CHECK(second.GetFd() <= 1019);
            // The connection works from its new number.
            const int peer = listener.AcceptWithin(5000);
            CHILD_CHECK(peer >= 0);
            CHILD_CHECK(first.WriteBlock("x", 1) == 0);
            return 0;
        },
        20);
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitCode, 0) << run.err;
}
