// CSymConnection against a scripted symbol server on loopback: the logon as
// the connection stands, the connect forms, the bytes of every request, topic
// lists, commands in parts, order-book requests, listeners and the custom
// logon library.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "client/scripted_peer.h"
#include "common/child_process.h"
#include "common/scoped_env.h"
#include "qrx/client/sym_connection.h"
#include "qrx/client/sym_listener.h"
#include "qrx/marketdata/cob_request.h"
#include "qrx/net/app_conn.h"
#include "qrx/net/sock_utils.h"
#include "qrx/runtime/source_map.h"
#include "qrx/wire/command.h"
#include "qrx/wire/net_stream.h"
#include "qrx/wire/response.h"
#include "qrx/wire/session_msgs.h"
#include "qrx/wire/sym_msgs.h"

using namespace clienttest;

namespace {

// The Sym logon as it goes out: version 3 and the two credentials.
Bytes SymLogon(const std::string& user, const std::string& password, const std::string& group = "",
               int intValue = 0) {
    Bytes f =
        BE32(3) + BE32(0) + Text(user) + Text(password) + BE32(0) + BE32(intValue) + Text(group);
    for (int i = 0; i < 6; ++i) {
        f += Text("");
    }
    return Frame(MsgHdrSym::HDR_TYPE, CM_LOGIN, CM_LOGIN, f);
}

std::string LocalAddress() {
    char addr[QRX_ADDR_TEXT_LEN] = {};
    return hostaddr_dots("localhost", addr) ? addr : "";
}

Bytes SymFrame(short mtyp, short submtyp, const Bytes& fields) {
    return Frame(MsgHdrSym::HDR_TYPE, mtyp, submtyp, fields);
}

class SymConnectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_peer.Ok());
        ASSERT_TRUE(m_conn.Connect("127.0.0.1", m_peer.Port(), "alice", "pw"));
        ASSERT_TRUE(m_peer.Accept());
        ASSERT_TRUE(m_peer.ReadFrame(m_logon));
    }
    // The next frame the server receives.
    Bytes Next() {
        Bytes frame;
        EXPECT_TRUE(m_peer.ReadFrame(frame));
        return frame;
    }
    Msg NextMsg() {
        Msg msg;
        EXPECT_TRUE(m_peer.ReadMsg(msg));
        return msg;
    }

    ScriptedPeer m_peer;
    CSymConnection m_conn{""};
    Bytes m_logon;
};

TEST_F(SymConnectionTest, shouldLogOnAsSoonAsConnectedAndAgainOnReconnect) {
    EXPECT_EQ(SymLogon("alice", "pw"), m_logon);

    // Without a user name the local address stands in; credentials are cut
    // at 31 characters and kept for the next logon.
    CSymConnection anonymous("");
    ASSERT_TRUE(anonymous.Connect("127.0.0.1", m_peer.Port(), nullptr, nullptr));
    ASSERT_TRUE(m_peer.Accept());
    EXPECT_EQ(SymLogon(LocalAddress(), ""), Next());

    const std::string longUser(40, 'u');
    const std::string longPassword(45, 'p');
    anonymous.SetLoginCredentials(longUser.c_str(), longPassword.c_str());
    anonymous.SetLoginCredentials(nullptr, nullptr);
    anonymous.Disconnect();
    ASSERT_TRUE(anonymous.Reconnect());
    ASSERT_TRUE(m_peer.Accept());
    EXPECT_EQ(SymLogon(longUser.substr(0, 31), longPassword.substr(0, 31)), Next());
}

TEST(SymConnectionConnectTest, shouldStayInStreamFormWhenConnectedThroughTheGenericForms) {
    ScriptedPeer peer;
    ASSERT_TRUE(peer.Ok());
    CSymConnection conn("");
    conn.SetLoginCredentials("alice", "pw");
    CApiConnection& generic = conn;
    ASSERT_TRUE(generic.Connect("127.0.0.1", peer.Port(), false));
    ASSERT_TRUE(peer.Accept());
    Bytes logon;
    ASSERT_TRUE(peer.ReadFrame(logon));
    EXPECT_EQ(SymLogon("alice", "pw"), logon);
    EXPECT_EQ(5, conn.GetSocket()->m_is_stream);
}

TEST(SymConnectionConnectTest, shouldFindThePortFromNumbersServiceNamesAndTheEnvironment) {
    ScriptedPeer peer;
    ASSERT_TRUE(peer.Ok());
    const std::string port = std::to_string(peer.Port());
    const std::string swapped =
        std::to_string(((peer.Port() & 0xFF) << 8) | ((peer.Port() >> 8) & 0xFF));
    ScopedEnv trueBind("QUOR_TRUE_BIND", nullptr);
    ScopedEnv symService("KO_PORT_qrxsymserv", swapped.c_str());

    const std::function<bool(CSymConnection&)> forms[] = {
        [&](CSymConnection& c) { return c.Connect("127.0.0.1", port.c_str(), "u", "p"); },
        // A service name's port has its bytes exchanged.
        [&](CSymConnection& c) { return c.Connect("127.0.0.1", "qrxsymserv", "u", "p"); },
        [&](CSymConnection& c) {
            ScopedEnv asIs("QUOR_TRUE_BIND", "YES");
            ScopedEnv direct("KO_PORT_qrxsymserv", port.c_str());
            return c.Connect("127.0.0.1", "qrxsymserv", "u", "p");
        },
        [&](CSymConnection& c) {
            ScopedEnv host("QUOR_SYMHOST", "127.0.0.1");
            ScopedEnv service("QUOR_SYMSERV", port.c_str());
            return c.Connect("u", "p");
        },
    };
    for (const auto& connect : forms) {
        CSymConnection conn("");
        ASSERT_TRUE(connect(conn));
        ASSERT_TRUE(peer.Accept());
        Bytes logon;
        ASSERT_TRUE(peer.ReadFrame(logon));
        EXPECT_EQ(SymLogon("u", "p"), logon);
    }

    // "0" names no port: it goes to the service form, which finds none.
    CSymConnection zero("");
    EXPECT_FALSE(zero.Connect("127.0.0.1", "0", "u", "p"));

    ScopedEnv noHost("QUOR_SYMHOST", nullptr);
    CSymConnection conn("");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(conn.Connect("u", "p"));
    EXPECT_EQ("Error: environment QUOR_SYMHOST is not set\n",
              testing::internal::GetCapturedStderr());
    EXPECT_EQ(nullptr, conn.GetSocket());
}

TEST_F(SymConnectionTest, shouldWriteEveryRequestWithItsTypesAndBody) {
    const std::string longTopic(200, 'T');
    struct Case {
        std::function<bool()> send;
        Bytes expected;
    };
    const Case cases[] = {
        {[&] { return m_conn.Subscribe("IBM"); }, SymFrame(3, 0, Text("IBM"))},
        {[&] { return m_conn.Unsubscribe(longTopic.c_str()); },
         SymFrame(4, 0, Text(longTopic.substr(0, 127)))},
        {[&] { return m_conn.SubscribeAll(); }, SymFrame(5, 0, "")},
        {[&] { return m_conn.UnsubscribeAll(); }, SymFrame(6, 0, "")},
        {[&] { return m_conn.Snapshot("A"); }, SymFrame(8, 0, Text("A"))},
        {[&] { return m_conn.SnapshotAll(); }, SymFrame(9, 0, "")},
        {[&] { return m_conn.Subscribe("T", 7); }, SymFrame(17, 13, Text("T") + BE16(7))},
        {[&] { return m_conn.Unsubscribe("T", -2); }, SymFrame(18, 0, Text("T") + BE16(-2))},
        {[&] { return m_conn.SubscribeWithSize("D", 5, 10, 99); },
         SymFrame(19, 0, Text("D") + BE32(5) + BE32(10) + BE32(99))},
        {[&] { return m_conn.UnsubscribeWithSize("D", 1, 2, 3); },
         SymFrame(20, 0, Text("D") + BE32(1) + BE32(2) + BE32(3))},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(c.send());
        EXPECT_EQ(c.expected, Next());
    }
    // A null topic is refused and nothing goes out.
    EXPECT_FALSE(m_conn.Subscribe(static_cast<const char*>(nullptr)));
    EXPECT_FALSE(m_conn.SubscribeWithSize(nullptr, 1, 1, 1));
    ASSERT_TRUE(m_conn.Snapshot("MARK"));
    EXPECT_EQ(SymFrame(8, 0, Text("MARK")), Next());
}

TEST_F(SymConnectionTest, shouldSendTopicListsInMessagesOfAHundred) {
    std::vector<GrowingStr> topics;
    topics.emplace_back("");
    topics.emplace_back(std::string(200, 'L').c_str());
    for (int i = 2; i < 250; ++i) {
        topics.emplace_back(("T" + std::to_string(i)).c_str());
    }
    for (short mtyp : {CM_SYM_SUBSCRIBE_LIST, CM_SYM_UNSUBSCRIBE_LIST}) {
        ASSERT_TRUE(mtyp == CM_SYM_SUBSCRIBE_LIST ? m_conn.Subscribe(topics)
                                                  : m_conn.Unsubscribe(topics));
        int next = 0;
        for (int expectedCount : {100, 100, 50}) {
            Msg msg = NextMsg();
            ASSERT_EQ(mtyp, msg.Hdr().mtyp);
            EXPECT_EQ(0, msg.Hdr().submtyp);
            const stTopicList* list = reinterpret_cast<const stTopicList*>(msg.Body());
            ASSERT_EQ(expectedCount, list->m_nCount);
            for (int i = 0; i < expectedCount; ++i, ++next) {
                const std::string expected =
                    std::string(topics[next].c_str()).substr(0, SYM_TOPIC_LEN - 1);
                EXPECT_EQ(expected, list->m_szTopics[i]) << next;
            }
        }
    }
    EXPECT_TRUE(m_conn.Subscribe(std::vector<GrowingStr>()));
    EXPECT_TRUE(m_conn.Unsubscribe(std::vector<GrowingStr>()));
    ASSERT_TRUE(m_conn.SnapshotAll());
    EXPECT_EQ(SymFrame(9, 0, ""), Next());
}

TEST(SymConnectionRequestTest, shouldRefuseRequestsWithoutASocket) {
    CSymConnection conn("");
    CCommand cmd("C");
    EXPECT_FALSE(conn.Subscribe("A"));
    EXPECT_FALSE(conn.SubscribeAll());
    EXPECT_FALSE(conn.Unsubscribe(std::vector<GrowingStr>{"A"}));
    EXPECT_FALSE(conn.SubscribeCOB(QuorCOB::CCOBRequest()));
    testing::internal::CaptureStderr();
    EXPECT_EQ(CSymConnection::INVALID_COMMAND_ID, conn.SendCommand(&cmd));
    EXPECT_EQ("UNKNOWN: No connection available\n", testing::internal::GetCapturedStderr());
}

// Exposes the request counter to test its wrap.
class CountedConnection : public CSymConnection {
public:
    CountedConnection() : CSymConnection("") {}
    void SetNextRequestId(uint16_t id) { m_nCmdRequestId = id; }
};

// Reads a command part from a received message.
bool ReadCommand(Msg& msg, CCommand& cmd) {
    CNetStream in(msg.Body(), msg.BodyLen(), false);
    return cmd.ReadFrom(in);
}

TEST(SymConnectionCommandTest, shouldSplitCommandsAndMatchTheirResponses) {
    ScriptedPeer peer;
    CountedConnection conn;
    ASSERT_TRUE(conn.Connect("127.0.0.1", peer.Port(), "u", "p"));
    ASSERT_TRUE(peer.Accept());
    Msg logon;
    ASSERT_TRUE(peer.ReadMsg(logon));
    conn.SetCmdClientId(7);

    CCommand small("PING");
    small.SetIntParam("a", 1);
    EXPECT_EQ(7u, conn.NextCommandId());
    EXPECT_EQ(7u, conn.SendCommand(&small));
    EXPECT_EQ((1u << 16) | 7u, conn.NextCommandId());
    Msg part;
    ASSERT_TRUE(peer.ReadMsg(part));
    EXPECT_EQ(CM_SYM_COMMAND, part.Hdr().mtyp);
    EXPECT_EQ(11, part.Hdr().submtyp);
    CCommand got;
    ASSERT_TRUE(ReadCommand(part, got));
    EXPECT_EQ("PING", got.GetCmdName());
    EXPECT_EQ(7u, got.GetCmdId());
    EXPECT_EQ(small.IntParams(), got.IntParams());

    CCommand big("BIG");
    for (char c = 'a'; c < 'f'; ++c) {
        big.SetStringParam(std::string(1, c).c_str(), std::string(7000, c).c_str());
    }
    big.SetDoubleParam("d", 2.5);
    testing::internal::CaptureStderr();
    const unsigned int bigId = conn.SendCommand(&big);
    EXPECT_EQ("Splitted Command to 3 messages.\n", testing::internal::GetCapturedStderr());
    EXPECT_EQ((1u << 16) | 7u, bigId);
    CCommand whole;
    for (short subtype : {14, 15, 16}) {
        ASSERT_TRUE(peer.ReadMsg(part));
        EXPECT_EQ(subtype, part.Hdr().submtyp);
        CCommand piece;
        ASSERT_TRUE(ReadCommand(part, piece));
        EXPECT_EQ(bigId, piece.GetCmdId());
        if (subtype == 14) {
            whole = piece;
        } else {
            EXPECT_TRUE(whole.Merge(piece));
        }
    }
    EXPECT_EQ(big.StringParams(), whole.StringParams());
    EXPECT_EQ(big.DoubleParams(), whole.DoubleParams());

    // Responses are matched to the commands this connection sent.
    CResponse rsp(big);
    unsigned int id = 0;
    EXPECT_TRUE(conn.GetCommandId(&rsp, id));
    EXPECT_EQ(bigId, id);
    CResponse foreign(big);
    foreign.SetCmdId(8, 1);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(conn.GetCommandId(&foreign, id));
    rsp.SetStatus(CResponse::RESPONSE_IN_PROGRESS);
    EXPECT_FALSE(conn.EndResponse(&rsp));
    EXPECT_TRUE(conn.GetCommandId(&rsp, id));
    rsp.SetStatus(CResponse::RESPONSE_END);
    EXPECT_FALSE(conn.EndResponse(&rsp));
    EXPECT_FALSE(conn.GetCommandId(&rsp, id));
    EXPECT_EQ(CSymConnection::INVALID_COMMAND_ID, conn.SendCommand(nullptr));
    EXPECT_EQ(
        "Receive an invalid client ID 8 in the response\n"
        "Receive an invalid request ID 1 in the response\n"
        "No CCommand message is serialized!\n",
        testing::internal::GetCapturedStderr());

    // The request id wraps from 0xFFFF to 0 before the next command.
    conn.SetNextRequestId(0xFFFF);
    EXPECT_EQ(7u, conn.NextCommandId());
    EXPECT_EQ(7u, conn.SendCommand(&small));
    EXPECT_EQ((1u << 16) | 7u, conn.SendCommand(&small));
}

TEST_F(SymConnectionTest, shouldSendOrderBookRequestsAndRefuseOnesTooBigForAMessage) {
    QuorCOB::CCOBRequest request;
    request.m_nId = 5;
    request.m_nClosure = 1;
    request.m_sTopic = "IBM";
    request.m_vecFilters.push_back({"px", "1", "9"});
    for (short mtyp : {CM_SYM_SUBSCRIBE_COB, CM_SYM_UNSUBSCRIBE_COB}) {
        ASSERT_TRUE(mtyp == CM_SYM_SUBSCRIBE_COB ? m_conn.SubscribeCOB(request)
                                                 : m_conn.UnsubscribeCOB(request));
        Msg msg = NextMsg();
        EXPECT_EQ(mtyp, msg.Hdr().mtyp);
        CNetStream in(msg.Body(), msg.BodyLen(), false);
        QuorCOB::CCOBRequest got;
        ASSERT_TRUE(QuorCOB::read_cob(in, got));
        EXPECT_EQ(0, in.GetRemaining());
        EXPECT_EQ(5, got.m_nId);
        EXPECT_EQ(GrowingStr("IBM"), got.m_sTopic);
        ASSERT_EQ(1u, got.m_vecFilters.size());
        EXPECT_EQ(GrowingStr("9"), got.m_vecFilters[0].m_sFilterValueUpperBound);
    }

    const std::string wide(33000, 'w');
    request.m_vecFilters.push_back({"a", wide.c_str(), wide.c_str()});
    testing::internal::CaptureStderr();
    EXPECT_FALSE(m_conn.SubscribeCOB(request));
    testing::internal::GetCapturedStderr();
    ASSERT_TRUE(m_conn.Subscribe("STILL"));
    EXPECT_EQ(SymFrame(3, 0, Text("STILL")), Next());

    // Once the connection is gone a request reports its failure.
    m_conn.Disconnect();
    testing::internal::CaptureStderr();
    request.m_vecFilters.pop_back();
    EXPECT_FALSE(m_conn.SubscribeCOB(request));
    EXPECT_EQ("SYM_API: No connection available\n", testing::internal::GetCapturedStderr());
}

class PlainListener : public CApiListener {
public:
    void FireEvents(char*) override { ++m_nFired; }
    int m_nFired = 0;
};

class StatusListener : public CSymListener {
public:
    void OnStatus(enSymStatusCode code, const char* text) override {
        m_statuses.push_back(std::to_string(code) + ":" + text);
    }
    void OnConnectionClose(CApiConnection* conn) override { m_pClosed = conn; }
    std::vector<std::string> m_statuses;
    CApiConnection* m_pClosed = nullptr;
};

TEST_F(SymConnectionTest, shouldAttachOnlySymListenersAndReportARefusedLogon) {
    PlainListener plain;
    StatusListener listener;
    m_conn.AddClient(&plain);
    m_conn.AddClient(nullptr);
    m_conn.AddClient(&listener);
    EXPECT_EQ(&m_conn, listener.GetSymConnection());

    testing::internal::CaptureStdout();
    ASSERT_TRUE(m_peer.Write(SymFrame(CM_SYM_CMD_CLIENT_ID, 0, BE16(321)) +
                             SymFrame(CM_SYM_STATUS, SYM_STATUS_LOGIN_REFUSED, Text("refused"))));
    m_peer.CloseClient();
    std::future<void> loop =
        std::async(std::launch::async, [&] { m_conn.Loop(nullptr, nullptr, nullptr); });
    ASSERT_EQ(std::future_status::ready, loop.wait_for(std::chrono::seconds(10)));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(321, m_conn.GetCmdClientId());
    EXPECT_EQ(std::vector<std::string>{"1:refused"}, listener.m_statuses);
    EXPECT_EQ(&m_conn, listener.m_pClosed);
    EXPECT_EQ(0, plain.m_nFired);
    EXPECT_EQ(-1, m_conn.GetFd());
}

TEST_F(SymConnectionTest, shouldForgetListenersDestroyedWhileAttachedInEitherOrder) {
    StatusListener stays;
    m_conn.AddClient(&stays);
    for (int i = 0; i < 8; ++i) {
        auto* gone = new StatusListener();
        m_conn.AddClient(gone);
        delete gone;
    }
    ASSERT_TRUE(m_peer.Write(SymFrame(CM_SYM_STATUS, SYM_STATUS_SOURCE_DOWN, Text("down"))));
    for (int i = 0; i < 500 && stays.m_statuses.empty() && m_conn.DispatchEvents() >= 0; ++i) {
        usleep(10000);
    }
    EXPECT_EQ(std::vector<std::string>{"2:down"}, stays.m_statuses);

    // A connection that goes first leaves its listeners unattached, also one
    // that was removed from it.
    auto* conn = new CSymConnection("");
    StatusListener attached;
    StatusListener removed;
    conn->AddClient(&attached);
    conn->AddClient(&removed);
    conn->RemoveClient(&removed);
    EXPECT_EQ(nullptr, removed.GetSymConnection());
    delete conn;
    EXPECT_EQ(nullptr, attached.GetSymConnection());
}

TEST_F(SymConnectionTest, shouldKeepEveryMessageWholeWhenRequestsRaceTheHeartbeatEcho) {
    const Bytes heartbeat = SymFrame(CM_HEARTBEAT, CM_HEARTBEAT, BE32(17));
    Bytes heartbeats;
    for (int i = 0; i < 50; ++i) {
        heartbeats += heartbeat;
    }
    std::future<void> loop =
        std::async(std::launch::async, [&] { m_conn.Loop(nullptr, nullptr, nullptr); });
    // Should an assertion end the test early, the loop still ends with the connection.
    struct Unstick {
        ScriptedPeer& peer;
        ~Unstick() { peer.CloseClient(); }
    } unstick{m_peer};
    ASSERT_TRUE(m_peer.Write(heartbeats));
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(m_conn.Subscribe(("T" + std::to_string(i)).c_str()));
    }
    int echoed = 0;
    int next = 0;
    while (echoed < 50 || next < 200) {
        Bytes frame;
        ASSERT_TRUE(m_peer.ReadFrame(frame)) << echoed << " " << next;
        if (frame == heartbeat) {
            ++echoed;
        } else {
            ASSERT_EQ(SymFrame(3, 0, Text("T" + std::to_string(next))), frame);
            ++next;
        }
    }
    m_conn.Disconnect();
    ASSERT_EQ(std::future_status::ready, loop.wait_for(std::chrono::seconds(10)));
}

// A SOCKS5 proxy that has taken the client's greeting and not yet answered
// holds the connect in its handshake: a request sent from another thread then
// has no connection to go to, and must neither reach the proxy nor count as
// sent; a second connect must neither pass for a made connection nor replace
// the socket being connected.
TEST(SymConnectionProxyTest,
     shouldRefuseRequestsAndConnectsFromOtherThreadsWhileTheConnectIsUnderWay) {
    const ChildRun run = RunChildWithin(
        [] {
            const int proxy = socket(AF_INET, SOCK_STREAM, 0);
            struct sockaddr_in sin;
            memset(&sin, 0, sizeof sin);
            sin.sin_family = AF_INET;
            sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            socklen_t len = sizeof sin;
            if (bind(proxy, reinterpret_cast<struct sockaddr*>(&sin), sizeof sin) != 0 ||
                listen(proxy, 4) != 0 ||
                getsockname(proxy, reinterpret_cast<struct sockaddr*>(&sin), &len) != 0) {
                return 2;
            }
            const std::string proxyPort = std::to_string(ntohs(sin.sin_port));
            setenv("QUOR_SOCKS_PROXY_HOST", "127.0.0.1", 1);
            setenv("QUOR_SOCKS_PROXY_PORT", proxyPort.c_str(), 1);
            setenv("QUOR_CONN_TIMEOUT", "30", 1);

            CSymConnection conn("");
            std::future<bool> connected = std::async(
                std::launch::async, [&] { return conn.Connect("127.0.0.1", 4711, "alice", "pw"); });
            struct pollfd pfd = {proxy, POLLIN, 0};
            if (poll(&pfd, 1, 20000) != 1) {
                return 3;
            }
            const int fd = accept(proxy, nullptr, nullptr);
            // Reads exactly n bytes within a bound.
            auto readExact = [fd](size_t n) {
                std::string got;
                while (got.size() < n) {
                    struct pollfd in = {fd, POLLIN, 0};
                    char buf[512];
                    const size_t want = std::min(n - got.size(), sizeof buf);
                    if (poll(&in, 1, 20000) != 1) {
                        break;
                    }
                    const ssize_t r = read(fd, buf, want);
                    if (r <= 0) {
                        break;
                    }
                    got.append(buf, static_cast<size_t>(r));
                }
                return got;
            };
            if (readExact(3) != std::string("\x05\x01\x00", 3)) {
                return 4;
            }
            // The connect now waits for the proxy's answer.
            const bool subscribed = conn.Subscribe("IBM");
            const bool all = conn.SubscribeAll();
            // Neither is a second connect: the first has not succeeded yet.
            CAppConn* socket = conn.GetSocket();
            const bool again = conn.Connect("127.0.0.1", 4711, "alice", "pw");
            const bool re = conn.Reconnect();
            const bool same = conn.GetSocket() == socket;
            const std::string granted("\x05\x00", 2);
            if (write(fd, granted.data(), granted.size()) != 2) {
                return 5;
            }
            const std::string request = readExact(10);
            const std::string expected("\x05\x01\x00\x01\x7f\x00\x00\x01\x12\x67", 10);
            const std::string reply("\x05\x00\x00\x01\x00\x00\x00\x00\x00\x00", 10);
            if (request != expected) {
                shutdown(fd, SHUT_RDWR);  // the handshake is spoilt: the connect fails
            } else if (write(fd, reply.data(), reply.size()) != 10) {
                return 6;
            }
            if (connected.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
                fprintf(stderr, "the connect did not end\n");
                _exit(7);
            }
            const bool ok = connected.get();
            // What follows the handshake is the logon, the first message of the session.
            const std::string head = request == expected ? readExact(8) : "";
            fprintf(
                stderr,
                "subscribed=%d all=%d again=%d re=%d same=%d request=%d connected=%d logon=%d\n",
                subscribed, all, again, re, same, request == expected, ok,
                head.size() == 8 && head.substr(4, 4) == std::string("\x27\x10\x27\x10", 4));
            close(fd);
            close(proxy);
            return 0;
        },
        60);
    ASSERT_EQ(0, run.exitCode) << run.err;
    EXPECT_NE(
        std::string::npos,
        run.err.find("subscribed=0 all=0 again=0 re=0 same=1 request=1 connected=1 logon=1\n"))
        << run.err;
    EXPECT_NE(std::string::npos, run.err.find("SYM_API: No connection available\n"));
    EXPECT_NE(std::string::npos, run.err.find("SYM_API: a connect is already under way\n"));
}

// ---------------------------------------------------------------- custom logon

#ifdef QRX_TEST_CUSTOM_LOGIN_LIB
TEST(SymConnectionCustomLogonTest, shouldLetTheLibraryChangeTheLogonAndGoOnWhenItCannot) {
    // The record holds at most 29 characters of path: a short link to the library.
    const std::string link = "/tmp/qrxcl" + std::to_string(getpid()) + ".so";
    unlink(link.c_str());
    ASSERT_EQ(0, symlink(QRX_TEST_CUSTOM_LOGIN_LIB, link.c_str()));
    ScopedEnv fromEnv("QUOR_SYM_CUSTOM_LOGIN_MODULE", link.c_str());
    ScriptedPeer peer;

    struct Case {
        const char* module;  // null: from the environment
        Bytes expected;
        const char* error;
    } cases[] = {
        {nullptr, SymLogon("alice+custom", "pw", "v3", 4242), ""},
        {link.c_str(), SymLogon("alice+custom", "pw", "v3", 4242), ""},
        {"", SymLogon("alice", "pw"), ""},
        {"/tmp/qrx-no-such-module.so", SymLogon("alice", "pw"),
         "Unable to load '/tmp/qrx-no-such-module.so'. Error '"},
        {"libm.so.6", SymLogon("alice", "pw"), "Custom Login Error '"},
        {"/tmp/a-path-of-more-than-29-chars.so", SymLogon("alice", "pw"),
         "is longer than 29 characters"},
    };
    for (const Case& c : cases) {
        testing::internal::CaptureStderr();
        CSymConnection conn(c.module);
        const bool connected = conn.Connect("127.0.0.1", peer.Port(), "alice", "pw");
        const std::string err = testing::internal::GetCapturedStderr();
        ASSERT_TRUE(connected);
        ASSERT_TRUE(peer.Accept());
        Bytes logon;
        ASSERT_TRUE(peer.ReadFrame(logon));
        EXPECT_EQ(c.expected, logon) << (c.module ? c.module : "(env)");
        EXPECT_NE(std::string::npos, err.find(c.error)) << err;
    }
    unlink(link.c_str());
    EXPECT_FALSE(CSymConnection::CustomLogin(nullptr, nullptr));
}
#endif

// ---------------------------------------------------------------- topic builders

TEST(SymConnectionTopicTest, shouldBuildTopicsFromSourceNamesAndBeyondTheTopicField) {
    const char* nsdq = KoDefaultSource::SourceMap::GetInstance().ToString(78);
    ASSERT_NE(nullptr, nsdq);
    EXPECT_EQ(
        "1\x06"
        "78\x06X",
        CSymConnection::CreateDepthTopic("X", nsdq));
    EXPECT_EQ("6\x06X\x06N\x06MM", CSymConnection::CreateMMIDTopic("X", nsdq, "MM"));
    char buf[128] = "junk";
    EXPECT_EQ(0, CSymConnection::CreateDepthTopic("X", "NO-SUCH-SOURCE", buf));
    EXPECT_STREQ("", buf);
    EXPECT_EQ("", CSymConnection::CreateDirectFeedTopic("X", "NO-SUCH-SOURCE"));

    // The string forms build in 512 bytes, past the 128 of a topic field.
    const std::string symbol(300, 'S');
    EXPECT_EQ("9\x06" + symbol, CSymConnection::CreateGreekTopic(symbol.c_str()));
}

}  // namespace
