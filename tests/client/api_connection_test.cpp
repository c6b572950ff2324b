// CApiConnection against a scripted peer on loopback: connecting, dispatch
// with the heartbeat echo, the loop and its stop pipe, the wait hooks, writes
// and the synchronous logon.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "client/scripted_peer.h"
#include "qrx/client/api_connection.h"
#include "qrx/net/app_conn.h"
#include "qrx/wire/session_msgs.h"
#include "qrx/wire/sym_msgs.h"

using namespace clienttest;

namespace {

class TestConnection : public CApiConnection {
public:
    bool OnConnect() override {
        ++m_nConnects;
        return true;
    }
    void OnConnectionClose() override {
        ++m_nCloses;
        CApiConnection::OnConnectionClose();
    }
    const char* GetDescription() override { return "API_TEST"; }

    int m_nConnects = 0;
    int m_nCloses = 0;
};

class RecordingListener : public CApiListener {
public:
    void FireEvents(char* msg) override {
        const MsgHdrCmn* hdr = reinterpret_cast<const MsgHdrCmn*>(msg);
        m_msgs.push_back(hdr->mtyp * 100000 + hdr->submtyp);
        if (m_pOrder != nullptr) {
            m_pOrder->push_back(this);
        }
        if (m_onFire) {
            m_onFire();
        }
    }
    void OnStartMsgGroup() override { ++m_nStarts; }
    void OnEndMsgGroup() override { ++m_nEnds; }
    void OnConnectionClose(CApiConnection*) override { ++m_nCloses; }

    std::vector<int> m_msgs;  // type * 100000 + sub-type
    int m_nStarts = 0;
    int m_nEnds = 0;
    int m_nCloses = 0;
    std::vector<CApiListener*>* m_pOrder = nullptr;
    std::function<void()> m_onFire;
};

// A Sym status message (type 10) with a text.
Bytes Status(short submtyp, const std::string& text) {
    return Frame(MsgHdrSym::HDR_TYPE, CM_SYM_STATUS, submtyp, Text(text));
}

// Runs body on its own thread; if it has not ended when the runner goes out
// of scope, unstick() is called first so that the join cannot hang.
class Runner {
public:
    Runner(std::function<void()> body, std::function<void()> unstick)
        : m_unstick(std::move(unstick)),
          m_future(std::async(std::launch::async, std::move(body))) {}
    ~Runner() {
        if (!Finished(0)) {
            m_unstick();
        }
    }
    bool Finished(int ms) {
        return m_future.wait_for(std::chrono::milliseconds(ms)) == std::future_status::ready;
    }

private:
    std::function<void()> m_unstick;
    std::future<void> m_future;
};

class ApiConnectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_peer.Ok());
        ASSERT_TRUE(m_conn.Connect("127.0.0.1", m_peer.Port(), true));
        ASSERT_TRUE(m_peer.Accept());
        m_conn.AddClient(&m_listener);
    }

    // Dispatches until done() or a bounded time.
    bool PumpUntil(const std::function<bool()>& done) {
        for (int i = 0; i < 500 && !done(); ++i) {
            if (m_conn.DispatchEvents() < 0) {
                return done();
            }
            usleep(10000);
        }
        return done();
    }

    ScriptedPeer m_peer;
    TestConnection m_conn;
    RecordingListener m_listener;
};

TEST_F(ApiConnectionTest, shouldConnectOnceAndKeepTheOpenSocketOnASecondConnect) {
    CAppConn* first = m_conn.GetSocket();
    EXPECT_TRUE(m_conn.Connect("127.0.0.1", m_peer.Port(), true));
    EXPECT_EQ(first, m_conn.GetSocket());
    EXPECT_EQ(1, m_conn.m_nConnects);
    EXPECT_EQ(5, first->m_is_stream);

    // Closed, a connection comes back with Reconnect and logs on again.
    m_conn.Disconnect();
    EXPECT_EQ(-1, m_conn.GetFd());
    EXPECT_EQ(1, m_listener.m_nCloses);
    EXPECT_TRUE(m_conn.Reconnect());
    EXPECT_EQ(2, m_conn.m_nConnects);
    EXPECT_TRUE(m_peer.Accept());
}

TEST(ApiConnectionConnectTest, shouldFailWithoutTellingListenersWhenNobodyListens) {
    int port;
    {
        ScriptedPeer gone;
        port = gone.Port();
    }
    TestConnection conn;
    RecordingListener listener;
    conn.AddClient(&listener);
    EXPECT_FALSE(conn.Connect("127.0.0.1", port, true));
    EXPECT_NE(nullptr, conn.GetSocket());
    EXPECT_EQ(-1, conn.GetFd());
    EXPECT_FALSE(conn.Reconnect());
    EXPECT_EQ(0, conn.m_nConnects);
    EXPECT_EQ(0, listener.m_nCloses);
    EXPECT_EQ(-1, conn.DispatchEvents());
}

TEST(ApiConnectionConnectTest, shouldConnectToALocalSocketPath) {
    const std::string path = "/tmp/qrx_api_" + std::to_string(getpid()) + ".sock";
    ScriptedPeer peer(path);
    ASSERT_TRUE(peer.Ok());
    TestConnection conn;
    ASSERT_TRUE(conn.ConnectU(path.c_str(), true));
    ASSERT_TRUE(peer.Accept());
    EXPECT_EQ(1, conn.m_nConnects);
    EXPECT_EQ(0, conn.DispatchEvents());
}

TEST_F(ApiConnectionTest, shouldEchoHeartbeatsByteForByteWithoutShowingThemToListeners) {
    EXPECT_EQ(0, m_conn.DispatchEvents());
    EXPECT_EQ(1, m_listener.m_nStarts);
    EXPECT_EQ(1, m_listener.m_nEnds);

    const Bytes heartbeat =
        Frame(MsgHdrSym::HDR_TYPE, CM_HEARTBEAT, CM_HEARTBEAT, BE32(0x01020304));
    ASSERT_TRUE(m_peer.Write(heartbeat + Status(SYM_STATUS_LOGIN_ACCEPTED, "")));
    int handled = 0;
    int calls = 1;
    for (int i = 0; i < 500 && handled < 2; ++i, ++calls) {
        const int n = m_conn.DispatchEvents();
        ASSERT_GE(n, 0);
        handled += n;
        usleep(n == 0 ? 10000 : 0);
    }
    ASSERT_EQ(2, handled);
    Bytes echoed;
    ASSERT_TRUE(m_peer.ReadFrame(echoed));
    EXPECT_EQ(heartbeat, echoed);
    EXPECT_EQ(std::vector<int>{CM_SYM_STATUS * 100000 + SYM_STATUS_LOGIN_ACCEPTED},
              m_listener.m_msgs);
    EXPECT_EQ(m_listener.m_nStarts, m_listener.m_nEnds);
    EXPECT_EQ(calls, m_listener.m_nStarts);
}

TEST_F(ApiConnectionTest, shouldHandEveryMessageToListenersInPointerOrderEvenWhenOneLeaves) {
    RecordingListener pair[2];
    std::vector<CApiListener*> order;
    m_conn.RemoveClient(&m_listener);
    for (RecordingListener* l : {&pair[1], &pair[0], &pair[1]}) {
        l->m_pOrder = &order;
        m_conn.AddClient(l);
    }
    // The lower one leaves while it handles the first message.
    pair[0].m_onFire = [&] { m_conn.RemoveClient(&pair[0]); };

    ASSERT_TRUE(m_peer.Write(Status(SYM_STATUS_SOURCE_DOWN, "a")));
    ASSERT_TRUE(PumpUntil([&] { return pair[1].m_msgs.size() == 1; }));
    ASSERT_TRUE(m_peer.Write(Status(SYM_STATUS_SOURCE_RESTORED, "b")));
    ASSERT_TRUE(PumpUntil([&] { return pair[1].m_msgs.size() == 2; }));
    EXPECT_EQ((std::vector<CApiListener*>{&pair[0], &pair[1], &pair[1]}), order);
    EXPECT_EQ(1u, pair[0].m_msgs.size());
}

TEST_F(ApiConnectionTest, shouldIgnoreANullListener) {
    m_conn.AddClient(nullptr);
    ASSERT_TRUE(m_peer.Write(Status(SYM_STATUS_SOURCE_DOWN, "a")));
    ASSERT_TRUE(PumpUntil([&] { return m_listener.m_msgs.size() == 1; }));
    m_peer.CloseClient();
    ASSERT_TRUE(PumpUntil([&] { return m_conn.GetFd() < 0; }));
    EXPECT_EQ(1, m_listener.m_nCloses);
    EXPECT_EQ(m_listener.m_nStarts, m_listener.m_nEnds);
    m_conn.RemoveClient(nullptr);
}

TEST_F(ApiConnectionTest, shouldReturnAtOnceFromALoopStartedInsideAListenerCallback) {
    std::atomic<int> nested{0};
    m_listener.m_onFire = [&] {
        m_conn.Loop(nullptr, nullptr, nullptr);
        ++nested;
    };
    ASSERT_TRUE(m_peer.Write(Status(SYM_STATUS_SOURCE_DOWN, "a")));
    {
        Runner dispatch([&] { PumpUntil([&] { return nested.load() == 1; }); },
                        [&] { m_conn.Disconnect(); });
        EXPECT_TRUE(dispatch.Finished(20000)) << "the inner loop did not return";
    }
    // The dispatch it was started in went on, and the connection stays usable.
    EXPECT_EQ(1, nested.load());
    EXPECT_EQ(1u, m_listener.m_msgs.size());
    m_listener.m_onFire = nullptr;
    ASSERT_TRUE(m_peer.Write(Status(SYM_STATUS_SOURCE_RESTORED, "b")));
    ASSERT_TRUE(PumpUntil([&] { return m_listener.m_msgs.size() == 2; }));
    EXPECT_EQ(0, m_listener.m_nCloses);
}

TEST_F(ApiConnectionTest, shouldNotPassAConnectionBeingClosedForConnectedWhenToldToConnect) {
    // From a listener, without and with a loop: the close waits for the end
    // of the dispatch, so the connection is still open when Connect comes.
    for (bool bLoop : {false, true}) {
        int tries = 0;
        bool again = true;
        bool re = true;
        m_listener.m_onFire = [&] {
            if (tries++ == 0) {
                m_conn.Disconnect();
                again = m_conn.Connect("127.0.0.1", m_peer.Port(), true);
                re = m_conn.Reconnect();
            }
        };
        ASSERT_TRUE(m_peer.Write(Status(SYM_STATUS_SOURCE_DOWN, "a")));
        testing::internal::CaptureStderr();
        if (bLoop) {
            Runner loop([&] { m_conn.Loop(nullptr, nullptr, nullptr); },
                        [&] { m_peer.CloseClient(); });
            EXPECT_TRUE(loop.Finished(20000));
        } else {
            PumpUntil([&] { return tries > 0; });
        }
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(1, tries);
        EXPECT_EQ(-1, m_conn.GetFd()) << bLoop;
        EXPECT_FALSE(again) << bLoop;
        EXPECT_FALSE(re) << bLoop;
        // Closed, it connects again.
        m_listener.m_onFire = nullptr;
        ASSERT_TRUE(m_conn.Connect("127.0.0.1", m_peer.Port(), true));
        ASSERT_TRUE(m_peer.Accept());
    }
}

TEST_F(ApiConnectionTest, shouldEndTheLoopWhenDisconnectedFromAnotherThread) {
    std::promise<void> firstMessage;
    m_listener.m_onFire = [&] {
        if (m_listener.m_msgs.size() == 1) {
            firstMessage.set_value();
        }
    };
    Runner loop([&] { m_conn.Loop(nullptr, nullptr, nullptr); }, [&] { m_peer.CloseClient(); });
    ASSERT_TRUE(m_peer.Write(Status(SYM_STATUS_SOURCE_DOWN, "x")));
    ASSERT_EQ(std::future_status::ready,
              firstMessage.get_future().wait_for(std::chrono::seconds(10)));
    m_conn.Disconnect();
    ASSERT_TRUE(loop.Finished(10000));
    EXPECT_EQ(-1, m_conn.GetFd());
    EXPECT_EQ(1, m_listener.m_nCloses);
    EXPECT_TRUE(m_peer.WaitClientClosed());
}

TEST_F(ApiConnectionTest,
       shouldEndTheLoopWhenDisconnectedInsideACallbackAndNeverIdleWithoutTimeOut) {
    int idle = 0;
    UserFunction countIdle = [](void* p) { ++*static_cast<int*>(p); };
    m_listener.m_onFire = [&] { m_conn.Disconnect(); };
    Runner loop([&] { m_conn.Loop(nullptr, countIdle, &idle); }, [&] { m_peer.CloseClient(); });
    ASSERT_TRUE(
        m_peer.Write(Status(SYM_STATUS_SOURCE_DOWN, "x") + Status(SYM_STATUS_SOURCE_DOWN, "y")));
    ASSERT_TRUE(loop.Finished(10000));
    EXPECT_EQ(-1, m_conn.GetFd());
    EXPECT_EQ(0, idle);
    EXPECT_EQ(1, m_listener.m_nCloses);
    EXPECT_FALSE(m_conn.IsLoginOk());
}

// The wait hooks: leave returns false while the flag is set.
struct HookState {
    int enters = 0;
    int leaves = 0;
    int depth = 0;
    bool interrupt = false;
};
void HookEnter(void* p) {
    HookState* s = static_cast<HookState*>(p);
    ++s->enters;
    ++s->depth;
}
bool HookLeave(void* p) {
    HookState* s = static_cast<HookState*>(p);
    ++s->leaves;
    --s->depth;
    return !s->interrupt;
}

TEST_F(ApiConnectionTest, shouldCloseOnDisconnectWheneverNoLoopRunsAndIdleAfterEveryEmptyPoll) {
    HookState hooks;
    hooks.interrupt = true;
    m_conn.SetWaitHooks(HookEnter, HookLeave, &hooks);
    timeval zero = {0, 0};
    // An interruption ends the loop and leaves the connection usable.
    EXPECT_FALSE(m_conn.Loop(&zero, nullptr, nullptr));
    EXPECT_EQ(1, hooks.enters);
    EXPECT_GE(m_conn.GetFd(), 0);
    m_conn.SetWaitHooks(nullptr, nullptr, nullptr);

    // A loop has run, but none runs now: Disconnect closes at once.
    m_conn.Disconnect();
    EXPECT_EQ(-1, m_conn.GetFd());
    EXPECT_EQ(1, m_listener.m_nCloses);
    EXPECT_TRUE(m_peer.WaitClientClosed());

    struct Idle {
        CApiConnection* conn;
        int calls;
        int stopAt;
    } idle = {&m_conn, 0, 3};
    UserFunction onIdle = [](void* p) {
        Idle* i = static_cast<Idle*>(p);
        if (++i->calls == i->stopAt) {
            i->conn->Disconnect();
        }
    };
    for (int stopAt : {3, 2}) {
        // The second round starts with the stop byte of the first still in the
        // pipe: the new loop discards it and runs until its own request.
        ASSERT_TRUE(m_conn.Reconnect());
        ASSERT_TRUE(m_peer.Accept());
        idle.calls = 0;
        idle.stopAt = stopAt;
        EXPECT_FALSE(m_conn.Loop(&zero, onIdle, &idle));
        EXPECT_EQ(stopAt, idle.calls);
        EXPECT_EQ(-1, m_conn.GetFd());
    }
}

TEST_F(ApiConnectionTest, shouldCloseWhenTheLoopEndsForAnotherReasonBeforeSeeingItsStopRequest) {
    // A callback asks for the stop, then for an interruption that ends the
    // loop before it waits again.
    m_listener.m_onFire = [&] {
        m_conn.Disconnect();
        m_conn.InterruptDispatch();
    };
    Runner loop([&] { m_conn.Loop(nullptr, nullptr, nullptr); }, [&] { m_peer.CloseClient(); });
    ASSERT_TRUE(m_peer.Write(Status(SYM_STATUS_SOURCE_DOWN, "x")));
    ASSERT_TRUE(loop.Finished(10000));
    EXPECT_EQ(-1, m_conn.GetFd());
    EXPECT_EQ(1, m_listener.m_nCloses);
    EXPECT_TRUE(m_peer.WaitClientClosed());
}

TEST_F(ApiConnectionTest, shouldRunCallbacksOutsideTheWaitHooksAndEndTheLoopOnInterruption) {
    HookState hooks;
    m_conn.SetWaitHooks(HookEnter, HookLeave, &hooks);
    int depthInCallbacks = 0;
    std::promise<void> handled;
    m_listener.m_onFire = [&] {
        depthInCallbacks += hooks.depth;
        if (m_listener.m_msgs.size() == 1) {
            hooks.interrupt = true;  // as a signal handler would mark it
            handled.set_value();
        }
    };
    ASSERT_TRUE(m_peer.Write(Frame(MsgHdrSym::HDR_TYPE, CM_HEARTBEAT, CM_HEARTBEAT, BE32(9)) +
                             Status(SYM_STATUS_SOURCE_DOWN, "x")));
    Runner loop([&] { m_conn.Loop(nullptr, nullptr, nullptr); }, [&] { m_peer.CloseClient(); });
    ASSERT_EQ(std::future_status::ready, handled.get_future().wait_for(std::chrono::seconds(10)));
    // The next wake-up ends the loop before anything is dispatched.
    ASSERT_TRUE(m_peer.Write(Status(SYM_STATUS_SOURCE_RESTORED, "y")));
    ASSERT_TRUE(loop.Finished(10000));
    EXPECT_EQ(0, depthInCallbacks);
    EXPECT_EQ(hooks.enters, hooks.leaves);
    EXPECT_GE(hooks.enters, 3);  // two waits and the heartbeat echo
    Bytes echoed;
    EXPECT_TRUE(m_peer.ReadFrame(echoed));

    // Still connected: the waiting message is there for the next dispatch.
    EXPECT_EQ(1u, m_listener.m_msgs.size());
    ASSERT_TRUE(PumpUntil([&] { return m_listener.m_msgs.size() == 2; }));
    EXPECT_EQ(CM_SYM_STATUS * 100000 + SYM_STATUS_SOURCE_RESTORED, m_listener.m_msgs[1]);
}

TEST_F(ApiConnectionTest, shouldCloseAndTellListenersWhenAWriteFails) {
    m_peer.CloseClient();
    struct alignas(8) {
        MsgHdrCmn hdr;
        stHeartBeat body;
    } msg = {{MsgHdrSym::HDR_TYPE, CM_HEARTBEAT, CM_HEARTBEAT, 16}, {1}};
    bool failed = false;
    for (int i = 0; i < 200 && !failed; ++i) {
        failed = !m_conn.WriteBlock(&msg);
        usleep(5000);
    }
    ASSERT_TRUE(failed);
    EXPECT_EQ(-1, m_conn.GetFd());
    EXPECT_EQ(1, m_listener.m_nCloses);

    testing::internal::CaptureStderr();
    EXPECT_FALSE(m_conn.WriteBlock(&msg));
    TestConnection never;
    EXPECT_FALSE(never.WriteBlock(&msg));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, err.find("API_TEST: No connection available\n"));
    EXPECT_NE(std::string::npos, err.find("UNKNOWN: No connection available\n"));
}

TEST_F(ApiConnectionTest, shouldCloseOnceWhenWritesOnSeveralThreadsFailTogether) {
    m_peer.CloseClient();
    struct alignas(8) {
        MsgHdrCmn hdr;
        stHeartBeat body;
    } msg = {{MsgHdrSym::HDR_TYPE, CM_HEARTBEAT, CM_HEARTBEAT, 16}, {1}};
    // No loop runs: every writer that fails closes the socket itself.
    testing::internal::CaptureStderr();
    std::atomic<int> failures{0};
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([&] {
            for (int i = 0; i < 200 && m_conn.WriteBlock(&msg); ++i) {
                usleep(1000);
            }
            ++failures;
        });
    }
    for (std::thread& w : writers) {
        w.join();
    }
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(4, failures.load());
    EXPECT_EQ(-1, m_conn.GetFd());
    EXPECT_EQ(1, m_conn.m_nCloses);
    EXPECT_EQ(1, m_listener.m_nCloses);
}

TEST_F(ApiConnectionTest, shouldEndAWriteBlockedOnThePeerWhenDisconnectedFromAThirdThread) {
    // A thread dispatches and stays inside a callback for a while.
    std::promise<void> inCallback;
    std::atomic<bool> leave{false};
    m_listener.m_onFire = [&] {
        inCallback.set_value();
        for (int i = 0; i < 4000 && !leave; ++i) {
            usleep(5000);
        }
    };
    ASSERT_TRUE(m_peer.Write(Status(SYM_STATUS_SOURCE_DOWN, "x")));
    Runner dispatcher(
        [&] {
            for (int i = 0; i < 1000 && m_listener.m_msgs.empty() && m_conn.DispatchEvents() >= 0;
                 ++i) {
                usleep(5000);
            }
            m_conn.DispatchEvents();  // finds the end of stream once the socket is shut down
        },
        [&] { leave = true; });
    ASSERT_EQ(std::future_status::ready,
              inCallback.get_future().wait_for(std::chrono::seconds(10)));

    // Another writes to a peer that reads nothing, until a write blocks.
    struct alignas(8) {
        MsgHdrCmn hdr;
        stHeartBeat body;
    } msg = {{MsgHdrSym::HDR_TYPE, CM_HEARTBEAT, CM_HEARTBEAT, 16}, {1}};
    std::atomic<int> written{0};
    std::atomic<bool> writerDone{false};
    testing::internal::CaptureStderr();
    std::thread writer([&] {
        while (m_conn.WriteBlock(&msg)) {
            ++written;
        }
        writerDone = true;
    });
    for (int stable = 0, last = -1, i = 0; stable < 20 && i < 2000; ++i) {
        usleep(10000);
        stable = written.load() == last ? stable + 1 : 0;
        last = written.load();
    }

    // Disconnect neither waits for the blocked writer nor leaves it blocked.
    Runner disconnect([&] { m_conn.Disconnect(); }, [&] { m_peer.CloseClient(); });
    const bool disconnected = disconnect.Finished(10000);
    EXPECT_TRUE(disconnected);
    if (!disconnected) {
        m_peer.CloseClient();  // frees the writer, and so the disconnect
    }
    writer.join();
    EXPECT_TRUE(writerDone);
    leave = true;
    ASSERT_TRUE(dispatcher.Finished(10000));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(-1, m_conn.GetFd());
    EXPECT_EQ(1, m_listener.m_nCloses);
}

TEST(ApiConnectionShareTest, shouldDispatchOneReadsShareAtATimeAndLeaveTheRestWhereAWaitSeesIt) {
    // The server's end of a Unix-domain pair queues far more than one read takes.
    int fds[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
    const int queue = 1 << 20;
    setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &queue, sizeof queue);
    TestConnection conn;
    RecordingListener listener;
    CAppConn* socket =
        new CAppConn("API_TEST", CAppConn::SOCKET_UNSPEC, nullptr, nullptr, 0, nullptr);
    socket->SetFd(fds[0]);
    socket->m_is_stream = 5;
    socket->m_buf_grow_size = CAppConn::LARGE_LIST_GROW_SIZE;  // reads could grow without end
    conn.SetSocket(socket);
    conn.AddClient(&listener);

    const Bytes one = Status(SYM_STATUS_SOURCE_DOWN, std::string(90, 's'));
    const int total = 3000;
    Bytes wire;
    for (int i = 0; i < total; ++i) {
        wire += one;
    }
    ASSERT_EQ(static_cast<ssize_t>(wire.size()), write(fds[1], wire.data(), wire.size()));

    // An interruption after the first message leaves the rest of the read
    // buffered: no descriptor tells of it, HasPendingMessages and CheckSocket do.
    listener.m_onFire = [&] {
        if (listener.m_msgs.size() == 1) {
            conn.InterruptDispatch();
        }
    };
    EXPECT_EQ(1, conn.DispatchEvents());
    EXPECT_TRUE(conn.HasPendingMessages());
    fd_set none;
    FD_ZERO(&none);
    ASSERT_TRUE(conn.CheckSocket(none));
    EXPECT_FALSE(conn.HasPendingMessages());
    const size_t firstRead = listener.m_msgs.size();
    EXPECT_GT(firstRead, 1u);
    EXPECT_LE(firstRead * one.size(), static_cast<size_t>(CAppConn::MAX_READ_PER_CALL));

    // The rest waits in the socket; a loop takes it share by share.
    struct pollfd pfd = {conn.GetFd(), POLLIN, 0};
    EXPECT_EQ(1, poll(&pfd, 1, 0));
    listener.m_onFire = [&] {
        if (listener.m_msgs.size() == static_cast<size_t>(total)) {
            conn.Disconnect();
        }
    };
    listener.m_nStarts = 0;
    Runner loop([&] { conn.Loop(nullptr, nullptr, nullptr); },
                [&] { shutdown(fds[1], SHUT_RDWR); });
    ASSERT_TRUE(loop.Finished(10000));
    EXPECT_EQ(static_cast<size_t>(total), listener.m_msgs.size());
    // One dispatch per share read.
    EXPECT_GE(listener.m_nStarts,
              static_cast<int>(wire.size() - firstRead * one.size()) / CAppConn::MAX_READ_PER_CALL);
    close(fds[1]);
}

TEST(ApiConnectionShareTest, shouldGoOnDispatchingWhenAServerSendsHeartbeatsAndReadsNothing) {
    // The server's end of a Unix-domain pair: it writes heartbeats and never
    // reads, so the echoes soon find the client's socket full.
    int fds[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
    const int small = 4096;
    setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    TestConnection conn;
    RecordingListener listener;
    CAppConn* socket =
        new CAppConn("API_TEST", CAppConn::SOCKET_UNSPEC, nullptr, nullptr, 0, nullptr);
    socket->SetFd(fds[0]);
    socket->m_is_stream = 5;
    conn.SetSocket(socket);
    conn.AddClient(&listener);

    const Bytes heartbeat = Frame(MsgHdrSym::HDR_TYPE, CM_HEARTBEAT, CM_HEARTBEAT, BE32(7));
    const int total = 20000;
    Bytes wire;
    for (int i = 0; i < total; ++i) {
        wire += heartbeat;
    }
    wire += Status(SYM_STATUS_SOURCE_DOWN, "after the heartbeats");
    std::thread server([&] {
        for (size_t done = 0; done < wire.size();) {
            const ssize_t n = write(fds[1], wire.data() + done, wire.size() - done);
            if (n <= 0) {
                return;  // shut down by the runner below
            }
            done += static_cast<size_t>(n);
        }
    });

    testing::internal::CaptureStderr();
    int handled = 0;
    Runner dispatcher(
        [&] {
            for (int i = 0; i < 100000 && listener.m_msgs.empty(); ++i) {
                struct pollfd pfd = {conn.GetFd(), POLLIN, 0};
                poll(&pfd, 1, 100);
                const int n = conn.DispatchEvents();
                if (n < 0) {
                    return;
                }
                handled += n;
            }
        },
        [&] { shutdown(fds[1], SHUT_RDWR); });
    const bool finished = dispatcher.Finished(60000);
    if (!finished) {
        shutdown(fds[1], SHUT_RDWR);  // frees the blocked echo, and so the dispatcher
    }
    server.join();
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(finished) << "the dispatch was held up writing echoes";
    EXPECT_EQ(total + 1, handled);
    EXPECT_EQ(std::vector<int>{CM_SYM_STATUS * 100000 + SYM_STATUS_SOURCE_DOWN}, listener.m_msgs);
    EXPECT_GE(conn.GetFd(), 0);
    EXPECT_NE(std::string::npos,
              err.find("API_TEST: the server takes no more output; its heartbeats are not "
                       "echoed until it does"));

    // What was echoed is whole heartbeats, and once the server reads again
    // the next heartbeat is echoed.
    Bytes echoed;
    char buf[65536];
    for (ssize_t n; (n = recv(fds[1], buf, sizeof buf, MSG_DONTWAIT)) > 0;) {
        echoed.append(buf, static_cast<size_t>(n));
    }
    ASSERT_GT(echoed.size(), 0u);
    ASSERT_EQ(0u, echoed.size() % heartbeat.size());
    EXPECT_LT(echoed.size() / heartbeat.size(), static_cast<size_t>(total));
    for (size_t at = 0; at < echoed.size(); at += heartbeat.size()) {
        ASSERT_EQ(heartbeat, echoed.substr(at, heartbeat.size()));
    }
    ASSERT_EQ(static_cast<ssize_t>(heartbeat.size()),
              write(fds[1], heartbeat.data(), heartbeat.size()));
    struct pollfd in = {conn.GetFd(), POLLIN, 0};
    ASSERT_EQ(1, poll(&in, 1, 10000));
    EXPECT_EQ(1, conn.DispatchEvents());
    struct pollfd back = {fds[1], POLLIN, 0};
    ASSERT_EQ(1, poll(&back, 1, 10000));
    ASSERT_EQ(static_cast<ssize_t>(heartbeat.size()), recv(fds[1], buf, sizeof buf, 0));
    EXPECT_EQ(heartbeat, Bytes(buf, heartbeat.size()));
    close(fds[1]);
}

// Destroys the connection it is attached to in its first callback of the
// chosen kind (a message, or the close of the socket).
class DestroyingListener : public CApiListener {
public:
    DestroyingListener(CApiConnection*& conn, bool bOnClose) : m_conn(conn), m_bOnClose(bOnClose) {}
    void FireEvents(char* msg) override {
        // The message stays readable after the connection is gone.
        m_msgs.push_back(reinterpret_cast<const MsgHdrCmn*>(msg)->submtyp);
        if (!m_bOnClose) {
            Destroy();
        }
        m_msgs.push_back(reinterpret_cast<const MsgHdrCmn*>(msg)->submtyp);
    }
    void OnConnectionClose(CApiConnection*) override {
        ++m_nCloses;
        if (m_bOnClose) {
            Destroy();
        }
    }

    std::vector<int> m_msgs;  // each message's sub-type, before and after the destruction
    int m_nCloses = 0;

private:
    void Destroy() {
        delete m_conn;
        m_conn = nullptr;
    }

    CApiConnection*& m_conn;
    bool m_bOnClose;
};

TEST(ApiConnectionDestroyTest, shouldReturnWithoutTouchingAConnectionThatACallbackDestroyed) {
    enum { kInDispatch, kInLoop, kOnCloseInLoop };
    for (int how : {kInDispatch, kInLoop, kOnCloseInLoop}) {
        SCOPED_TRACE(how);
        ScriptedPeer peer;
        ASSERT_TRUE(peer.Ok());
        CApiConnection* conn = new TestConnection();
        ASSERT_TRUE(conn->Connect("127.0.0.1", peer.Port(), true));
        ASSERT_TRUE(peer.Accept());
        DestroyingListener listener(conn, how == kOnCloseInLoop);
        RecordingListener other;
        conn->AddClient(&listener);
        conn->AddClient(&other);
        ASSERT_TRUE(peer.Write(Status(SYM_STATUS_SOURCE_DOWN, "a") +
                               Status(SYM_STATUS_SOURCE_RESTORED, "b")));
        if (how == kOnCloseInLoop) {
            peer.CloseClient();
        }
        if (how == kInDispatch) {
            int rc = 0;
            for (int i = 0; i < 500 && conn != nullptr && rc >= 0; ++i) {
                struct pollfd pfd = {conn->GetFd(), POLLIN, 0};
                poll(&pfd, 1, 20);
                rc = conn->DispatchEvents();
            }
            EXPECT_EQ(-1, rc);
        } else {
            Runner loop([&] { EXPECT_FALSE(conn->Loop(nullptr, nullptr, nullptr)); },
                        [&] { peer.CloseClient(); });
            ASSERT_TRUE(loop.Finished(10000));
        }
        EXPECT_EQ(nullptr, conn);
        if (how == kOnCloseInLoop) {
            EXPECT_EQ((std::vector<int>{SYM_STATUS_SOURCE_DOWN, SYM_STATUS_SOURCE_DOWN,
                                        SYM_STATUS_SOURCE_RESTORED, SYM_STATUS_SOURCE_RESTORED}),
                      listener.m_msgs);
            EXPECT_EQ(1, listener.m_nCloses);
        } else {
            // Nothing is handed out after the first message's destruction.
            EXPECT_EQ((std::vector<int>{SYM_STATUS_SOURCE_DOWN, SYM_STATUS_SOURCE_DOWN}),
                      listener.m_msgs);
            EXPECT_LE(other.m_msgs.size(), 1u);
            EXPECT_EQ(0, listener.m_nCloses);
        }
    }
}

// ---------------------------------------------------------------- logon

Bytes LogonFields(int version, const std::string& user, const std::string& password, int status,
                  const std::string& text) {
    Bytes f = BE32(version) + BE32(0) + Text(user) + Text(password) + BE32(status) + BE32(0) +
              Text("") + Text(text);
    for (int i = 0; i < 5; ++i) {
        f += Text("");
    }
    return f;
}

Bytes LogonReply(int status, const std::string& text) {
    return Frame(MsgHdrOrdSrv::HDR_TYPE, CM_LOGIN, CM_LOGIN, LogonFields(0, "", "", status, text));
}

TEST_F(ApiConnectionTest, shouldSendTheSynchronousLogonCutAt31AndAcceptAnOkReply) {
    ASSERT_TRUE(m_peer.Write(LogonReply(LOGIN_OK, "")));
    const std::string user(40, 'u');
    EXPECT_TRUE(m_conn.SendLogon(user.c_str(), "secret"));
    EXPECT_TRUE(m_conn.IsLoginOk());
    Bytes sent;
    ASSERT_TRUE(m_peer.ReadFrame(sent));
    EXPECT_EQ(Frame(MsgHdrOrdSrv::HDR_TYPE, CM_LOGIN, CM_LOGIN,
                    LogonFields(1202000, user.substr(0, 31), "secret", 0, "")),
              sent);
}

TEST_F(ApiConnectionTest, shouldLogTheReasonsOfARefusedLogon) {
    struct Case {
        int status;
        const char* first;  // the line before the reason, or null
    } cases[] = {{LOGIN_BAD_PASSWORD, "Bad Password"}, {LOGIN_NOT_PERMISSIONED, nullptr}};
    for (const Case& c : cases) {
        ASSERT_TRUE(m_peer.Write(LogonReply(c.status, "reason-" + std::to_string(c.status))));
        testing::internal::CaptureStderr();
        EXPECT_FALSE(m_conn.SendLogon("u", "p"));
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_FALSE(m_conn.IsLoginOk());
        const size_t reason = err.find("**ERROR**\t:reason-" + std::to_string(c.status) + "\n");
        EXPECT_NE(std::string::npos, reason) << err;
        if (c.first != nullptr) {
            const size_t first = err.find(std::string("**ERROR**\t:") + c.first + "\n");
            EXPECT_LT(first, reason) << err;
        } else {
            EXPECT_EQ(err.find("ERROR"), err.rfind("ERROR")) << err;
        }
        Bytes sent;
        ASSERT_TRUE(m_peer.ReadFrame(sent));
    }

    ASSERT_TRUE(m_peer.Write(Status(SYM_STATUS_LOGIN_ACCEPTED, "")));
    testing::internal::CaptureStderr();
    EXPECT_FALSE(m_conn.SendLogon("u", "p"));
    EXPECT_NE(std::string::npos,
              testing::internal::GetCapturedStderr().find("Bad Server Authentication Response"));
    Bytes sent;
    ASSERT_TRUE(m_peer.ReadFrame(sent));

    m_peer.CloseClient();
    testing::internal::CaptureStderr();
    EXPECT_FALSE(m_conn.SendLogon("u", "p"));
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find(
                                     "**ERROR**\t: Couldn't get response from server.\n"));
}

}  // namespace

TEST_F(ApiConnectionTest, shouldRefuseALogonFromAListenerAndKeepTheMessagesOfTheDispatch) {
    int tries = 0;
    bool logon = true;
    m_listener.m_onFire = [&] {
        if (tries++ == 0) {
            logon = m_conn.SendLogon("u", "p");
        }
    };
    ASSERT_TRUE(m_peer.Write(Status(SYM_STATUS_SOURCE_DOWN, "a") +
                             Status(SYM_STATUS_SOURCE_RESTORED, "b") + LogonReply(LOGIN_OK, "")));
    testing::internal::CaptureStderr();
    const bool all = PumpUntil([&] { return m_listener.m_msgs.size() >= 3; });
    testing::internal::GetCapturedStderr();
    ASSERT_TRUE(all) << m_listener.m_msgs.size();
    // A reply cannot be waited for while a message is in hand: nothing taken
    // from the dispatch, everything delivered in order.
    EXPECT_FALSE(logon);
    EXPECT_EQ((std::vector<int>{CM_SYM_STATUS * 100000 + SYM_STATUS_SOURCE_DOWN,
                                CM_SYM_STATUS * 100000 + SYM_STATUS_SOURCE_RESTORED,
                                CM_LOGIN * 100000 + CM_LOGIN}),
              m_listener.m_msgs);
    EXPECT_FALSE(m_conn.IsLoginOk());
    EXPECT_EQ(0, m_listener.m_nCloses);
}
