// The proxy's session against a scripted symbol-server client over loopback: logon, the
// one-client cycle, requests and their callbacks, commands and responses in parts.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

#include "common/child_process.h"
#include "proxy/sym_peer.h"
#include "qrx/marketdata/sym_data_aux.h"
#include "qrx/wire/command_serialization.h"
#include "qrx/wire/response.h"
#include "qrx/wire/sym_msgs.h"

using namespace proxytest;

namespace {

bool HasStatus(SymPeer& peer, short sub) {
    return peer.WaitFor([sub](const std::vector<PeerMsg>& msgs) {
        return !Select(msgs, CM_SYM_STATUS, sub).empty();
    });
}

std::vector<std::string> Topics(const PeerMsg& msg) {
    std::vector<std::string> out;
    for (const CSymData& d : Records(msg)) {
        out.push_back(TopicOf(d));
    }
    return out;
}

void Publish(CSymProxy& proxy, const std::vector<std::string>& topics, double bid = 1.0) {
    for (const auto& t : topics) {
        proxy.SetTickField(proxy.CreateTick(t.c_str()), CSymData::flid_bid, bid);
    }
    proxy.Flush(false, nullptr);
}

// The resident set of the process, in KiB.
long RssKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

std::string TempPath(const char* name) {
    return std::string("/tmp/qrx_proxy_") + std::to_string(getpid()) + "_" + name;
}

}  // namespace

TEST(SymProxySessionTest, shouldAnswerLogonServeOneClientAndKeepThePasswordOutOfTheLog) {
    TestProxy proxy;
    ASSERT_TRUE(proxy.Listen());
    SymPeer peer;
    ASSERT_TRUE(peer.Connect(proxy.Port()));
    ASSERT_TRUE(Pump(proxy, [&] { return proxy.GetClientFd() >= 0; }));
    EXPECT_EQ(proxy.GetFd(), proxy.GetClientFd());
    // The listening socket is closed while a client is served.
    EXPECT_FALSE(proxy.IsListening());
    SymPeer other;
    EXPECT_FALSE(other.Connect(proxy.Port()));

    testing::internal::CaptureStderr();
    ASSERT_TRUE(peer.SendLogin("trader", "secret"));
    ASSERT_TRUE(Pump(proxy, [&] { return !proxy.logons.empty(); }));
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("Received login request from:trader ********"), std::string::npos);
    EXPECT_EQ(log.find("secret"), std::string::npos);
    EXPECT_EQ(proxy.logons, std::vector<std::string>{"trader/secret"});

    ASSERT_TRUE(HasStatus(peer, SYM_STATUS_LOGIN_ACCEPTED));
    const auto status = Select(peer.All(), CM_SYM_STATUS, SYM_STATUS_LOGIN_ACCEPTED);
    EXPECT_EQ(status[0].wire, (std::vector<uint8_t>{0, 10, 0, 15, 0, 10, 0, 7, 0, 0}));
    // The first step with a client sends the heartbeat; another within 300 s sends nothing.
    // The reader thread may not have framed it yet when the status is seen.
    ASSERT_TRUE(peer.WaitFor([](const std::vector<PeerMsg>& msgs) {
        return !Select(msgs, CM_SYM_HEARTBEAT_NOTICE, SYM_HEARTBEAT_NOTICE).empty();
    }));
    const auto beats = Select(peer.All(), CM_SYM_HEARTBEAT_NOTICE, SYM_HEARTBEAT_NOTICE);
    ASSERT_EQ(beats.size(), 1u);
    EXPECT_EQ(beats[0].text, "Heart Beat Message.");
    EXPECT_FALSE(proxy.SendHeartBeat());
}

TEST(SymProxySessionTest, shouldAnswerARefusedLogonThenDropTheClientAndListenAgain) {
    TestProxy proxy;
    proxy.acceptLogon = false;
    ASSERT_TRUE(proxy.Listen());
    SymPeer peer;
    ASSERT_TRUE(peer.Connect(proxy.Port()));
    ASSERT_TRUE(Pump(proxy, [&] { return proxy.GetClientFd() >= 0; }));
    ASSERT_TRUE(peer.SendLogin("intruder", "guess"));
    bool bLast = true;
    ASSERT_TRUE(Pump(
        proxy, [&] { return !proxy.logons.empty(); }, 800, &bLast));
    EXPECT_FALSE(bLast);  // the step that read the logon lost the client
    EXPECT_TRUE(HasStatus(peer, SYM_STATUS_LOGIN_REFUSED));
    EXPECT_TRUE(peer.WaitClosed());
    EXPECT_EQ(proxy.lostClient, 1);
    EXPECT_EQ(proxy.GetClientFd(), -1);
    EXPECT_TRUE(proxy.IsListening());

    proxy.acceptLogon = true;
    SymPeer next;
    EXPECT_TRUE(ConnectAndLogon(proxy, next));
    EXPECT_EQ(proxy.lostClient, 1);
}

TEST(SymProxySessionTest, shouldTellOnceWhenTheClientGoesAwayAndStartTheNextClientAfresh) {
    TestProxy proxy;
    ASSERT_TRUE(proxy.Listen());
    {
        SymPeer first;
        ASSERT_TRUE(ConnectAndLogon(proxy, first));
        first.SendTopicMsg(CM_SYM_SUBSCRIBE, "IBM");
        ASSERT_TRUE(Pump(proxy, [&] { return proxy.subscribed.size() == 1; }));
    }
    ASSERT_TRUE(Pump(proxy, [&] { return proxy.IsListening(); }));
    EXPECT_EQ(proxy.lostClient, 1);

    SymPeer second;
    ASSERT_TRUE(ConnectAndLogon(proxy, second));
    second.SendTopicMsg(CM_SYM_SUBSCRIBE, "MSFT");
    ASSERT_TRUE(Pump(proxy, [&] { return proxy.subscribed.size() == 2; }));
    // The first client's subscription went with it.
    Publish(proxy, {"IBM", "MSFT"});
    const auto data = second.WaitData(1);
    ASSERT_EQ(data.size(), 1u);
    EXPECT_EQ(Topics(data[0]), std::vector<std::string>{"MSFT"});

    EXPECT_TRUE(proxy.CloseClient());
    EXPECT_TRUE(second.WaitClosed());
    EXPECT_EQ(proxy.lostClient, 2);
    EXPECT_TRUE(proxy.IsListening());
    EXPECT_TRUE(proxy.CloseClient());  // no client: nothing more to tell
    EXPECT_EQ(proxy.lostClient, 2);
}

TEST(SymProxySessionTest, shouldSendTheCachedSnapshotBeforeOnSubscribe) {
    TestProxy proxy;
    ASSERT_TRUE(proxy.Listen());
    SymPeer peer;
    ASSERT_TRUE(ConnectAndLogon(proxy, peer));
    // Unsubscribed ticks are cached, not sent; the cache holds the union, later values winning.
    HTICK t = proxy.CreateTick("IBM");
    proxy.SetTickField(t, CSymData::flid_bid, 10.0);
    proxy.SetTickField(t, CSymData::flid_bid_size, 100);
    t = proxy.CreateTick("IBM");
    proxy.SetTickField(t, CSymData::flid_bid, 11.0);
    proxy.SetTickField(t, CSymData::flid_exchange, "NYSE");
    int nSent = -1;
    EXPECT_TRUE(proxy.Flush(false, &nSent));
    EXPECT_EQ(nSent, 0);

    // What OnSubscribe publishes goes out after the snapshot.
    proxy.onSubscribeHook = [&](const char* topic) {
        proxy.SetTickField(proxy.CreateTick(topic), CSymData::flid_ask, 12.0);
        proxy.Flush(false, nullptr);
    };
    peer.SendTopicMsg(CM_SYM_SUBSCRIBE, "IBM");
    ASSERT_TRUE(Pump(proxy, [&] { return proxy.subscribed.size() == 1; }));
    proxy.onSubscribeHook = nullptr;
    auto data = peer.WaitData(2);
    ASSERT_EQ(data.size(), 2u);
    EXPECT_EQ(data[0].sub, SYM_DATA_SNAPSHOT);
    auto snap = Records(data[0]);
    ASSERT_EQ(snap.size(), 1u);
    EXPECT_EQ(snap[0].GetFlidDoubleOrDefault(CSymData::flid_bid, 0), 11.0);
    EXPECT_EQ(snap[0].GetFlidIntOrDefault(CSymData::flid_bid_size, 0), 100);
    EXPECT_STREQ(snap[0].GetFlidStringOrDefault(CSymData::flid_exchange, "").c_str(), "NYSE");
    EXPECT_EQ(data[1].sub, SYM_DATA_UPDATE);
    EXPECT_EQ(Records(data[1])[0].GetFlidDoubleOrDefault(CSymData::flid_ask, 0), 12.0);

    // An empty topic changes nothing; a topic never published sends nothing; an empty
    // unsubscribe reaches the callback; a snapshot request sends without subscribing.
    peer.SendTopicMsg(CM_SYM_SUBSCRIBE, "");
    peer.SendTopicMsg(CM_SYM_SUBSCRIBE, "NEVER");
    peer.SendTopicMsg(CM_SYM_UNSUBSCRIBE, "");
    peer.SendTopicMsg(CM_SYM_SNAPSHOT, "IBM");
    ASSERT_TRUE(Pump(proxy, [&] { return proxy.unsubscribed.size() == 1; }));
    EXPECT_EQ(proxy.subscribed, (std::vector<std::string>{"IBM", "NEVER"}));
    EXPECT_EQ(proxy.unsubscribed, std::vector<std::string>{""});
    data = peer.WaitData(3);
    ASSERT_EQ(data.size(), 3u);
    EXPECT_EQ(data[2].sub, SYM_DATA_SNAPSHOT);
    EXPECT_EQ(Topics(data[2]), std::vector<std::string>{"IBM"});
}

TEST(SymProxySessionTest, shouldFrameEverySnapshotForSubscribeAllUntilUnsubscribeAll) {
    TestProxy proxy;
    ASSERT_TRUE(proxy.Listen());
    SymPeer peer;
    ASSERT_TRUE(ConnectAndLogon(proxy, peer));
    Publish(proxy, {"C", "A", "B"});
    peer.SendBare(CM_SYM_SUBSCRIBE_ALL);
    ASSERT_TRUE(Pump(proxy, [&] { return proxy.subscribed.size() == 1; }));
    EXPECT_EQ(proxy.subscribed[0], "");
    auto data = peer.WaitData(3);
    ASSERT_EQ(data.size(), 3u);
    EXPECT_EQ(data[0].sub, SYM_DATA_SNAPSHOT_START);
    EXPECT_EQ(data[0].len, 8);
    EXPECT_EQ(data[1].sub, SYM_DATA_SNAPSHOT);
    EXPECT_EQ(Topics(data[1]), (std::vector<std::string>{"A", "B", "C"}));
    EXPECT_EQ(data[2].sub, SYM_DATA_SNAPSHOT_END);

    Publish(proxy, {"D"});
    peer.SendBare(CM_SYM_UNSUBSCRIBE_ALL);
    peer.SendTopicMsg(CM_SYM_SUBSCRIBE, "F");
    ASSERT_TRUE(Pump(proxy, [&] { return proxy.subscribed.size() == 2; }));
    EXPECT_EQ(proxy.unsubscribed, std::vector<std::string>{""});
    Publish(proxy, {"E", "F"});
    data = peer.WaitData(5);
    ASSERT_EQ(data.size(), 5u);
    EXPECT_EQ(Topics(data[3]), std::vector<std::string>{"D"});
    EXPECT_EQ(Topics(data[4]), std::vector<std::string>{"F"});
}

TEST(SymProxySessionTest, shouldHandleTopicListsAndSubscriptionsWithSizes) {
    TestProxy proxy;
    ASSERT_TRUE(proxy.Listen());
    SymPeer peer;
    ASSERT_TRUE(ConnectAndLogon(proxy, peer));
    peer.SendList(CM_SYM_SUBSCRIBE_LIST, {"A", "", "B"});
    peer.SendList(CM_SYM_UNSUBSCRIBE_LIST, {"A"});
    peer.SendSizes(CM_SYM_SUBSCRIBE_SIZE, "EUR/USD", 1000000, 2000000, 7);
    // A near size of 0 builds no key: ignored, and certainly not "every topic".
    peer.SendSizes(CM_SYM_SUBSCRIBE_SIZE, "GBP/USD", 0, 5, 8);
    peer.SendTopicMsg(CM_SYM_SUBSCRIBE, "SENTINEL");
    ASSERT_TRUE(Pump(proxy, [&] { return proxy.subscribed.size() == 3; }));
    EXPECT_EQ(proxy.subscribed, (std::vector<std::string>{"A", "B", "SENTINEL"}));
    EXPECT_EQ(proxy.unsubscribed, std::vector<std::string>{"A"});
    EXPECT_EQ(proxy.sizes, std::vector<std::string>{"+EUR/USD 1000000 2000000 7"});

    // The symbol is the last field of the sizes key: "USD" merely ends it.
    Publish(proxy, {"A", "B", "EUR/USD", "USD", "GBP/USD", "XYZ"});
    auto data = peer.WaitData(1);
    ASSERT_EQ(data.size(), 1u);
    EXPECT_EQ(Topics(data[0]), (std::vector<std::string>{"B", "EUR/USD"}));

    peer.SendSizes(CM_SYM_UNSUBSCRIBE_SIZE, "EUR/USD", 1000000, 2000000, 9);
    ASSERT_TRUE(Pump(proxy, [&] { return proxy.sizes.size() == 2; }));
    EXPECT_EQ(proxy.sizes[1], "-EUR/USD 1000000 2000000 9");
    Publish(proxy, {"EUR/USD", "SENTINEL"});
    data = peer.WaitData(2);
    ASSERT_EQ(data.size(), 2u);
    EXPECT_EQ(Topics(data[1]), std::vector<std::string>{"SENTINEL"});
}

TEST(SymProxySessionTest, shouldReassembleCommandPartsAndBoundTheIncompleteOnes) {
    TestProxy proxy;
    ASSERT_TRUE(proxy.Listen());
    SymPeer peer;
    ASSERT_TRUE(ConnectAndLogon(proxy, peer));

    CCommand bulk("bulk");
    bulk.SetCmdId(3, 9);
    for (int i = 0; i < 40; ++i) {
        bulk.SetStringParam(("p" + std::to_string(i)).c_str(),
                            std::string(1000, 'a' + i % 26).c_str());
    }
    ASSERT_EQ(peer.SendCommand(bulk), 3);
    ASSERT_TRUE(Pump(proxy, [&] { return proxy.commands.size() == 1; }));
    EXPECT_EQ(proxy.commands[0].GetAllStringParams().size(), 40u);
    EXPECT_EQ(proxy.commands[0].GetStringParam("p39"), std::string(1000, 'a' + 39 % 26));
    EXPECT_EQ(proxy.IncompleteCommands(), 0u);

    // A lone last part and a whole command are delivered as they are.
    CCommand solo("solo");
    solo.SetCmdId(4, 1);
    solo.SetIntParam("x", 5);
    CCommandSerializationState state;
    CGrowingBuffer part;
    solo.SerializeOut(part, state);
    testing::internal::CaptureStdout();
    peer.SendCommandPart(part.GetData(), part.GetLength(), SYM_CMD_LAST);
    peer.SendCommandPart(part.GetData(), part.GetLength(), SYM_CMD_WHOLE);
    ASSERT_TRUE(Pump(proxy, [&] { return proxy.commands.size() == 3; }));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Received command full\n");
    int x = 0;
    EXPECT_TRUE(proxy.commands[1].GetIntParam("x", x));
    EXPECT_EQ(x, 5);

    // First parts that never finish: the oldest beyond 1024 are dropped.
    for (unsigned id = 1; id <= 1030; ++id) {
        CCommand c("open");
        c.SetCmdId(id);
        c.SetIntParam("n", static_cast<int>(id));
        CCommandSerializationState s;
        part.Reset();
        c.SerializeOut(part, s);
        ASSERT_TRUE(peer.SendCommandPart(part.GetData(), part.GetLength(), SYM_CMD_FIRST));
    }
    ASSERT_TRUE(Pump(proxy, [&] { return proxy.HasIncompleteCommand(1030); }));
    EXPECT_EQ(proxy.IncompleteCommands(), 1024u);
    EXPECT_FALSE(proxy.HasIncompleteCommand(6));
    EXPECT_TRUE(proxy.HasIncompleteCommand(7));
}

TEST(SymProxySessionTest, shouldSplitALargeResponseIntoThreeMessages) {
    TestProxy proxy;
    ASSERT_TRUE(proxy.Listen());
    SymPeer peer;
    ASSERT_TRUE(ConnectAndLogon(proxy, peer));
    CResponse rsp("answer");
    rsp.SetCmdId(3, 9);
    rsp.SetStatus(CResponse::RESPONSE_END);
    for (int i = 0; i < 40; ++i) {
        rsp.SetStringParam(("r" + std::to_string(i)).c_str(), std::string(1000, 'x').c_str());
    }
    testing::internal::CaptureStderr();
    EXPECT_TRUE(proxy.SendResponse(&rsp));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Splitted Response to 3 messages."),
              std::string::npos);
    CResponse small("small");
    EXPECT_TRUE(proxy.SendResponse(&small));
    EXPECT_FALSE(proxy.SendResponse(nullptr));
    EXPECT_TRUE(proxy.Flush(false, nullptr));

    const auto data = peer.WaitData(4);
    ASSERT_EQ(data.size(), 4u);
    CResponse whole;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(data[i].mtyp, CM_SYM_RESPONSE);
        EXPECT_EQ(data[i].sub, SYM_RSP_FIRST + i);
        CResponse part;
        CNetStream in(const_cast<char*>(data[i].text.data()), int(data[i].text.size()), false);
        ASSERT_TRUE(part.ReadFrom(in));
        EXPECT_EQ(part.GetStatus(), CResponse::RESPONSE_END);
        if (i == 0) {
            whole = part;
        } else {
            EXPECT_TRUE(whole.Merge(part));
        }
    }
    EXPECT_EQ(whole.GetAllStringParams().size(), 40u);
    EXPECT_EQ(data[3].sub, SYM_RSP_WHOLE);
}

TEST(SymProxySessionTest, shouldNotHandAResponseForAClientThatLeftToTheNextClient) {
    for (const bool bQueue : {false, true}) {
        SCOPED_TRACE(bQueue ? "queued" : "direct");
        TestProxy proxy;
        ASSERT_TRUE(proxy.Listen(bQueue));
        {
            SymPeer first;
            ASSERT_TRUE(ConnectAndLogon(proxy, first));
            CCommand cmd("query");
            cmd.SetCmdId(5, 1);
            ASSERT_EQ(first.SendCommand(cmd), 1);
            ASSERT_TRUE(Pump(proxy, [&] { return proxy.commands.size() == 1; }));
            // Answered, to go with the next flush; in queued mode from a producer thread.
            CResponse rsp("answer");
            rsp.SetCmdId(5, 1);
            std::thread([&] { EXPECT_TRUE(proxy.SendResponse(&rsp)); }).join();
        }
        ASSERT_TRUE(Pump(proxy, [&] { return proxy.lostClient == 1; }));

        SymPeer next;
        ASSERT_TRUE(ConnectAndLogon(proxy, next));
        next.SendTopicMsg(CM_SYM_SUBSCRIBE, "MARK");
        ASSERT_TRUE(Pump(proxy, [&] { return proxy.subscribed.size() == 1; }));
        HTICK t = proxy.CreateTick("MARK");
        proxy.SetTickField(t, CSymData::flid_bid, 1.0);
        proxy.PushbackTick(t);
        ASSERT_TRUE(proxy.Flush(false, nullptr));
        ASSERT_TRUE(next.WaitFor([](const std::vector<PeerMsg>& msgs) {
            return !Select(msgs, CM_SYM_DATA, SYM_DATA_UPDATE).empty();
        }));
        EXPECT_TRUE(Select(next.All(), CM_SYM_RESPONSE, SYM_RSP_WHOLE).empty());
    }
}

TEST(SymProxySessionTest, shouldKeepNothingOfResponsesFlushedWhileNoClientIsConnected) {
    for (const bool bQueue : {false, true}) {
        SCOPED_TRACE(bQueue ? "queued" : "direct");
        TestProxy proxy;
        ASSERT_TRUE(proxy.Listen(bQueue));
        {
            SymPeer gone;
            ASSERT_TRUE(ConnectAndLogon(proxy, gone));
        }
        ASSERT_TRUE(Pump(proxy, [&] { return proxy.lostClient == 1; }));

        // Answers the feed handler still sends (from a producer thread in queued mode) for the
        // client that left: nobody can have them, and they must not pile up meanwhile.
        CResponse rsp("late");
        rsp.SetCmdId(5, 1);
        rsp.SetStringParam("text", std::string(3000, 'r').c_str());
        size_t nMostPending = 0;
        for (int i = 0; i < 200; ++i) {
            std::thread([&] {
                for (int k = 0; k < 10; ++k) {
                    proxy.SendResponse(&rsp);
                }
            }).join();
            ASSERT_TRUE(proxy.Flush(false, nullptr));
            nMostPending = std::max(nMostPending, proxy.GetPendingBytes());
        }
        EXPECT_EQ(nMostPending, 0u);
        EXPECT_EQ(proxy.GetNumPendingMessages(), 0);
        EXPECT_FALSE(proxy.WantsWrite());
    }
}

TEST(SymProxySessionTest, shouldLogUnhandledRequestsAndKeepTheConnection) {
    TestProxy proxy;
    ASSERT_TRUE(proxy.Listen());
    SymPeer peer;
    ASSERT_TRUE(ConnectAndLogon(proxy, peer));
    testing::internal::CaptureStderr();
    peer.SendBare(CM_SYM_SUBSCRIBE_TYPE, SYM_SUBSCRIBE_TYPE_SUB);
    peer.SendBare(CM_SYM_UNSUBSCRIBE_TYPE);
    peer.SendBare(CM_SYM_SUBSCRIBE_COB);
    peer.SendBare(CM_SYM_UNSUBSCRIBE_COB);
    peer.SendTopicMsg(CM_SYM_SUBSCRIBE, "IBM");
    ASSERT_TRUE(Pump(proxy, [&] { return proxy.subscribed.size() == 1; }));
    const std::string log = testing::internal::GetCapturedStderr();
    for (const char* line : {"CSymProxy:570 Unhandled Msg 15 17 13", "Unhandled Msg 15 18 0",
                             "Unhandled Msg 15 21 0", "Unhandled Msg 15 22 0"}) {
        EXPECT_NE(log.find(line), std::string::npos) << line;
    }
    EXPECT_EQ(proxy.lostClient, 0);
}

TEST(SymProxySessionTest, shouldTranslateRequestTopicsAndRepublishFeedTicksUnderClientTopics) {
    const std::string file = TempPath("symbols.txt");
    std::ofstream(file) << "ABC.N,ABC ABC\nVOD.L VOD_LN\n";
    TestProxy proxy;
    ASSERT_TRUE(proxy.Listen());
    EXPECT_FALSE(proxy.EnableSymTranslation("/nonexistent/qrx_symbols.txt"));
    ASSERT_TRUE(proxy.EnableSymTranslation(file.c_str()));
    SymPeer peer;
    ASSERT_TRUE(ConnectAndLogon(proxy, peer));

    char depth[128];
    CSymProxy::CreateDepthTopic("VOD.L", 3, depth);
    peer.SendTopicMsg(CM_SYM_SUBSCRIBE, "ABC.N");
    peer.SendTopicMsg(CM_SYM_SUBSCRIBE, "VOD.L");
    peer.SendTopicMsg(CM_SYM_SUBSCRIBE, depth);
    ASSERT_TRUE(Pump(proxy, [&] { return proxy.subscribed.size() == 3; }));
    EXPECT_EQ(proxy.subscribed, (std::vector<std::string>{"ABC", "VOD_LN", depth}));

    // Feed ticks go out under every client topic that maps to them, each once.
    Publish(proxy, {"ABC", "VOD_LN"}, 7.5);
    auto data = peer.WaitData(1);
    ASSERT_EQ(data.size(), 1u);
    auto recs = Records(data[0]);
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(TopicOf(recs[0]), "ABC.N");
    EXPECT_STREQ(recs[0].GetFlidStringOrDefault(CSymData::flid_symbol, "").c_str(), "ABC.N");
    EXPECT_EQ(recs[0].GetFlidDoubleOrDefault(CSymData::flid_bid, 0), 7.5);
    EXPECT_EQ(TopicOf(recs[1]), "VOD.L");

    peer.SendTopicMsg(CM_SYM_SUBSCRIBE, "ABC");
    ASSERT_TRUE(Pump(proxy, [&] { return proxy.subscribed.size() == 4; }));
    Publish(proxy, {"ABC"});
    ASSERT_TRUE(peer.WaitFor([](const std::vector<PeerMsg>& msgs) {
        return Select(msgs, CM_SYM_DATA, SYM_DATA_UPDATE).size() == 2;
    }));
    const auto updates = Select(peer.All(), CM_SYM_DATA, SYM_DATA_UPDATE);
    EXPECT_EQ(Topics(updates[1]), (std::vector<std::string>{"ABC", "ABC.N"}));
    unlink(file.c_str());
}

TEST(SymProxySessionTest, shouldRememberRuleTranslationsOfClientTopicsInLittleMemory) {
    const std::string file = TempPath("rules.txt");
    std::ofstream(file) << "REGEX: ^(.*)\\.L$ $1.LN\n";
    TestProxy proxy;
    ASSERT_TRUE(proxy.Listen());
    ASSERT_TRUE(proxy.EnableSymTranslation(file.c_str()));
    SymPeer peer;
    ASSERT_TRUE(ConnectAndLogon(proxy, peer));
    testing::internal::CaptureStderr();

    // A client that subscribes to and drops distinct topics the rule translates, a hundred a
    // request: each translation is remembered, and must cost about what its texts take.
    const int nTopics = 3000;
    const long nRssBefore = RssKb();
    for (int i = 0; i < nTopics; i += 100) {
        std::vector<std::string> topics;
        for (int k = i; k < i + 100; ++k) {
            topics.push_back(std::to_string(k) + std::string(20, 'x') + ".L");
        }
        peer.SendList(CM_SYM_SUBSCRIBE_LIST, topics);
        peer.SendList(CM_SYM_UNSUBSCRIBE_LIST, topics);
        ASSERT_TRUE(Pump(proxy, [&] { return proxy.unsubscribed.size() == size_t(i) + 100; }));
    }
    const long nGrowthKb = RssKb() - nRssBefore;
    EXPECT_EQ(proxy.subscribed.back(), std::to_string(nTopics - 1) + std::string(20, 'x') + ".LN");
    EXPECT_LT(nGrowthKb, 16 * 1024) << "for " << nTopics << " topics";

    // What is remembered still serves: requests and ticks both ways.
    const std::string again = "7" + std::string(20, 'x');
    peer.SendTopicMsg(CM_SYM_SUBSCRIBE, "VOD.L");
    peer.SendTopicMsg(CM_SYM_SUBSCRIBE, (again + ".L").c_str());
    ASSERT_TRUE(Pump(proxy, [&] { return proxy.subscribed.size() == size_t(nTopics) + 2; }));
    EXPECT_EQ(proxy.subscribed.back(), again + ".LN");
    Publish(proxy, {"VOD.LN", again + ".LN"}, 2.5);
    auto data = peer.WaitData(1);
    ASSERT_EQ(data.size(), 1u);
    EXPECT_EQ(Topics(data[0]), (std::vector<std::string>{"VOD.L", again + ".L"}));
    testing::internal::GetCapturedStderr();
    unlink(file.c_str());
}

TEST(SymProxySessionTest, shouldPassSubscribeAllAndUnsubscribeAllOnWithoutTranslation) {
    const std::string plain = TempPath("plain.txt");
    const std::string catchAll = TempPath("catchall.txt");
    std::ofstream(plain) << "ABC.N ABC\n";
    std::ofstream(catchAll) << "ABC.N ABC\nREGEX: ^(.*)$ $1.FEED\n";
    TestProxy proxy;
    ASSERT_TRUE(proxy.Listen());
    ASSERT_TRUE(proxy.EnableSymTranslation(plain.c_str()));
    SymPeer peer;
    ASSERT_TRUE(ConnectAndLogon(proxy, peer));

    // No table entry for the empty topic, and nothing logged about it.
    testing::internal::CaptureStderr();
    peer.SendBare(CM_SYM_SUBSCRIBE_ALL);
    peer.SendTopicMsg(CM_SYM_SUBSCRIBE, "ABC.N");
    ASSERT_TRUE(Pump(proxy, [&] { return proxy.subscribed.size() == 2; }));
    peer.SendBare(CM_SYM_UNSUBSCRIBE_ALL);
    ASSERT_TRUE(Pump(proxy, [&] { return proxy.unsubscribed.size() == 1; }));
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(proxy.subscribed, (std::vector<std::string>{"", "ABC"}));
    EXPECT_EQ(proxy.unsubscribed, std::vector<std::string>{""});
    EXPECT_EQ(log.find("XLATE_NOT_FOUND"), std::string::npos) << log;

    // A rule that matches every text leaves the empty topic alone all the same.
    ASSERT_TRUE(proxy.EnableSymTranslation(catchAll.c_str()));
    testing::internal::CaptureStderr();
    peer.SendBare(CM_SYM_SUBSCRIBE_ALL);
    peer.SendTopicMsg(CM_SYM_SUBSCRIBE, "XYZ");
    ASSERT_TRUE(Pump(proxy, [&] { return proxy.subscribed.size() == 4; }));
    peer.SendBare(CM_SYM_UNSUBSCRIBE_ALL);
    ASSERT_TRUE(Pump(proxy, [&] { return proxy.unsubscribed.size() == 2; }));
    log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(proxy.subscribed, (std::vector<std::string>{"", "ABC", "", "XYZ.FEED"}));
    EXPECT_EQ(proxy.unsubscribed, (std::vector<std::string>{"", ""}));
    EXPECT_EQ(log.find("XLATE_NOT_FOUND"), std::string::npos) << log;
    unlink(plain.c_str());
    unlink(catchAll.c_str());
}

TEST(SymProxySessionTest, shouldCloseAClientItHasNoDescriptorForInsteadOfSpinningOnIt) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // The sanitizers' runtimes need descriptors of their own (their checks of memory open
    // pipes), so that they fail in their own ways once none is left.
    GTEST_SKIP() << "no descriptor left is no state for a sanitizer runtime";
#endif
    // In a child process: the descriptor limit is the process's own.
    const ChildResult r = RunInChild([] {
        TestProxy proxy;
        SymPeer first;
        if (!proxy.Listen() || !first.Connect(proxy.Port())) {
            return 10;
        }
        // Every descriptor in use: the lowest free one becomes the limit.
        const int nLowestFree = dup(0);
        close(nLowestFree);
        rlimit old;
        getrlimit(RLIMIT_NOFILE, &old);
        rlimit low = old;
        low.rlim_cur = static_cast<rlim_t>(nLowestFree);
        if (setrlimit(RLIMIT_NOFILE, &low) != 0) {
            return 11;
        }
        // The rounds of a feed handler's loop in which the listening socket reads as ready.
        int nReady = 0;
        for (int i = 0; i < 40; ++i) {
            const int fd = proxy.GetFd();
            fd_set readF;
            FD_ZERO(&readF);
            FD_SET(fd, &readF);
            timeval tv = {0, 20000};
            if (select(fd + 1, &readF, nullptr, nullptr, &tv) > 0) {
                ++nReady;
            } else {
                FD_ZERO(&readF);
            }
            proxy.CheckSocket(readF);
        }
        setrlimit(RLIMIT_NOFILE, &old);
        fprintf(stderr, "ready in %d rounds\n", nReady);
        // The client that came meanwhile was told by the end of its connection; once there
        // are descriptors again the next one is served.
        SymPeer next;
        if (!first.WaitClosed(5000) || !ConnectAndLogon(proxy, next)) {
            return 12;
        }
        return nReady == 1 ? 0 : 13;
    });
    EXPECT_EQ(r.exitCode, 0) << r.stderrText.substr(0, 3000);
    EXPECT_NE(r.stderrText.find("CSymProxy::No descriptor left for a new client; its connection "
                                "was closed"),
              std::string::npos);
}

TEST(SymProxySessionTest, shouldRetryAFailedInitializeAndListenOnLocalSockets) {
    // A port somebody else listens on cannot be bound; the proxy stays uninitialised.
    const int busy = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(bind(busy, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(busy, 1), 0);
    getsockname(busy, reinterpret_cast<sockaddr*>(&addr), &len);
    setenv("QUOR_SYMBIND", "127.0.0.1", 1);
    TestProxy proxy;
    EXPECT_FALSE(proxy.Initialize(ntohs(addr.sin_port), false, true, true, false));
    EXPECT_FALSE(proxy.IsInitialized());
    EXPECT_EQ(proxy.GetFd(), -1);
    close(busy);
    ASSERT_TRUE(proxy.Listen());
    EXPECT_TRUE(proxy.Initialize(1, false, true, true, false));  // initialised already
    EXPECT_TRUE(proxy.IsListening());

    const std::string path = TempPath("proxy.sock");
    TestProxy local;
    ASSERT_TRUE(local.InitializeU(path.c_str(), false, true, true, false));
    SymPeer peer;
    ASSERT_TRUE(peer.ConnectUnix(path));
    ASSERT_TRUE(Pump(local, [&] { return local.GetClientFd() >= 0; }));
    peer.SendLogin("unix", "pw");
    ASSERT_TRUE(Pump(local, [&] { return !local.logons.empty(); }));
    EXPECT_TRUE(HasStatus(peer, SYM_STATUS_LOGIN_ACCEPTED));
    unlink(path.c_str());
}

TEST(SymProxySessionTest, shouldBlockInInitializeUntilAClientConnectsOrTheWaitIsCalledOff) {
    setenv("QUOR_SYMBIND", "127.0.0.1", 1);
    const int port = FreeLoopbackPort();
    TestProxy proxy;
    std::atomic<int> result{-1};
    std::thread server([&] { result = proxy.Initialize(port, true, true, true, false) ? 1 : 0; });
    SymPeer peer;
    bool bConnected = false;
    for (int i = 0; i < 500 && !bConnected; ++i) {
        bConnected = peer.Connect(port);
        if (!bConnected) {
            usleep(10000);
        }
    }
    server.join();
    EXPECT_TRUE(bConnected);
    EXPECT_EQ(result, 1);
    EXPECT_GE(proxy.GetClientFd(), 0);

    // Called off from another thread: the wait ends with false.
    TestProxy waiting;
    ASSERT_TRUE(waiting.Listen());
    std::atomic<bool> bDone{false};
    std::thread waiter([&] {
        result = waiting.WaitForClient() ? 1 : 0;
        bDone = true;
    });
    for (int i = 0; i < 2000 && !bDone; ++i) {
        waiting.UnblockWaitForClient();
        usleep(5000);
    }
    waiter.join();
    EXPECT_EQ(result, 0);
}

TEST(SymProxySessionTest, shouldDropAClientThatSaysNothingSoThatTheServerCanConnect) {
    TestProxy proxy;
    proxy.SetFirstRequestTimeout(100);
    ASSERT_TRUE(proxy.Listen());
    testing::internal::CaptureStderr();
    // A connection that never speaks holds the one client slot...
    SymPeer silent;
    ASSERT_TRUE(silent.Connect(proxy.Port()));
    ASSERT_TRUE(Pump(proxy, [&] { return proxy.GetClientFd() >= 0; }));
    // ...until its time is up: the loop's rounds without input drop it and listen again.
    EXPECT_TRUE(Pump(proxy, [&] { return proxy.IsListening(); }));
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(silent.WaitClosed(5000));
    EXPECT_EQ(proxy.lostClient, 1);
    EXPECT_NE(log.find("CSymProxy::Client sent nothing within 100 ms of connecting; dropped"),
              std::string::npos)
        << log;
    // The server that comes next logs on, and speaking once keeps it past the bound.
    SymPeer server;
    ASSERT_TRUE(ConnectAndLogon(proxy, server));
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    Pump(
        proxy, [] { return false; }, 4);
    Publish(proxy, {"IBM"});
    EXPECT_GE(proxy.GetClientFd(), 0);
    EXPECT_EQ(proxy.lostClient, 1);
}

TEST(SymProxySessionTest, shouldDropASilentClientFromAPublishingLoopThatOnlyReadsWhatIsReadable) {
    TestProxy proxy;
    proxy.SetFirstRequestTimeout(100);
    ASSERT_TRUE(proxy.Listen());
    SymPeer silent;
    ASSERT_TRUE(silent.Connect(proxy.Port()));
    ASSERT_TRUE(Pump(proxy, [&] { return proxy.GetClientFd() >= 0; }));
    // Such a loop calls CheckSocket only when the socket is readable, which it never is: the
    // publishes see the time is up.
    testing::internal::CaptureStderr();
    for (int i = 0; i < 400 && proxy.GetClientFd() >= 0; ++i) {
        Publish(proxy, {"IBM", "MSFT"});
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    testing::internal::GetCapturedStderr();
    EXPECT_LT(proxy.GetClientFd(), 0);
    EXPECT_TRUE(proxy.IsListening());
    EXPECT_TRUE(silent.WaitClosed(5000));
    // A bound of 0 is none: a silent client then stays.
    proxy.SetFirstRequestTimeout(0);
    SymPeer quiet;
    ASSERT_TRUE(quiet.Connect(proxy.Port()));
    ASSERT_TRUE(Pump(proxy, [&] { return proxy.GetClientFd() >= 0; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    Pump(
        proxy, [] { return false; }, 4);
    Publish(proxy, {"IBM"});
    EXPECT_GE(proxy.GetClientFd(), 0);
}
