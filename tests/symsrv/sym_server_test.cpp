// The symbol server with the library's own feed handler and clients on loopback, all turned
// from the test's thread.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "common/alloc_counter.h"
#include "qrx/marketdata/sym_data_aux.h"
#include "qrx/runtime/growing_buffer.h"
#include "qrx/symsrv/out_queue.h"
#include "qrx/wire/command_serialization.h"
#include "qrx/wire/sym_msgs.h"
#include "symsrv/symsrv_peers.h"

using symsrvtest::CRig;
using symsrvtest::CTestClient;
using symsrvtest::CTestFeed;

namespace {

CSymSrvConfig FastReconnect() {
    CSymSrvConfig cfg;
    cfg.m_dblReconnectMin = 0.02;
    cfg.m_dblReconnectMax = 0.1;
    return cfg;
}

// A feed handler on a loopback port.
CSymSrvFeedConfig LoopbackFeed(const char* szName, int nPort) {
    CSymSrvFeedConfig f;
    f.m_strName = szName;
    f.m_strHost = "127.0.0.1";
    f.m_nPort = nPort;
    return f;
}

bool AllLoggedOn(CRig& rig) {
    for (auto& c : rig.clients) {
        if (!c->LoggedOn()) {
            return false;
        }
    }
    return true;
}

std::vector<int> Range(int nFrom, int nTo) {
    std::vector<int> v;
    for (int i = nFrom; i <= nTo; ++i) {
        v.push_back(i);
    }
    return v;
}

}  // namespace

TEST(SymServerFanOut, EveryClientOfATopicGetsItsUpdatesThroughOneUpstreamSubscription) {
    CRig rig(CSymSrvConfig(), 4);
    ASSERT_TRUE(rig.bStarted);
    ASSERT_TRUE(rig.Until(
        [&] { return AllLoggedOn(rig) && rig.server->Feed(0)->m_eState == CFeedLink::STATE_UP; }));
    for (int i = 0; i < 3; ++i) {
        rig.clients[i]->m_conn.Subscribe("IBM");
    }
    rig.clients[3]->m_conn.Subscribe("MSFT");
    ASSERT_TRUE(rig.Until([&] { return rig.feed->m_vecSubs.size() == 2; }));
    for (int n = 1; n <= 5; ++n) {
        rig.feed->Publish("IBM", n);
    }
    rig.feed->Flush(false, nullptr);
    ASSERT_TRUE(rig.Until([&] {
        return rig.clients[0]->m_nUpdates == 5 && rig.clients[1]->m_nUpdates == 5 &&
               rig.clients[2]->m_nUpdates == 5;
    }));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(rig.clients[i]->m_mUpdates["IBM"], Range(1, 5));
    }
    EXPECT_EQ(rig.clients[3]->m_nUpdates, 0);
    EXPECT_EQ(rig.feed->m_vecSubs, (std::vector<std::string>{"IBM", "MSFT"}));

    // The upstream subscription goes with the last client that held the topic, whether it
    // unsubscribed or went away.
    rig.clients[0]->m_conn.Unsubscribe("IBM");
    rig.clients[1]->m_conn.Disconnect();
    rig.Until([&] { return rig.server->FindTopic("IBM")->m_nRefs == 1; });
    for (int i = 0; i < 50; ++i) {
        rig.Turn();
    }
    EXPECT_TRUE(rig.feed->m_vecUnsubs.empty());
    rig.clients[2]->m_conn.Unsubscribe("IBM");
    ASSERT_TRUE(rig.Until([&] { return !rig.feed->m_vecUnsubs.empty(); }));
    EXPECT_EQ(rig.feed->m_vecUnsubs, (std::vector<std::string>{"IBM"}));
}

TEST(SymServerFanOut, ALateSubscriberGetsTheMergedImageFirstThenTheUpdates) {
    CRig rig(CSymSrvConfig(), 2);
    ASSERT_TRUE(rig.Until(
        [&] { return AllLoggedOn(rig) && rig.server->Feed(0)->m_eState == CFeedLink::STATE_UP; }));
    rig.clients[0]->m_conn.Subscribe("IMG");
    ASSERT_TRUE(rig.Until([&] { return rig.feed->m_vecSubs.size() == 1; }));
    rig.feed->Publish("IMG", 1, 10);  // the pad field is only in the first update
    rig.feed->Publish("IMG", 2);
    rig.feed->Flush(false, nullptr);
    ASSERT_TRUE(rig.Until([&] { return rig.clients[0]->m_nUpdates == 2; }));
    const CTopicEntry* t = rig.server->FindTopic("IMG");
    ASSERT_NE(t, nullptr);
    ASSERT_TRUE(t->m_bCached);
    int nSeq = 0;
    GrowingStr pad;
    EXPECT_TRUE(t->m_pImage->GetFlidInt(symsrvtest::kSeq, nSeq));
    EXPECT_EQ(nSeq, 2);
    EXPECT_TRUE(t->m_pImage->GetFlidString(symsrvtest::kPad, pad));
    EXPECT_EQ(std::string(pad.c_str()), std::string(10, 'p'));

    rig.clients[1]->m_conn.Subscribe("IMG");
    ASSERT_TRUE(rig.Until([&] { return !rig.clients[1]->m_mSnapshots["IMG"].empty(); }));
    EXPECT_EQ(rig.clients[1]->m_mSnapshots["IMG"], std::vector<int>{2});
    rig.feed->Publish("IMG", 3);
    rig.feed->Flush(false, nullptr);
    ASSERT_TRUE(rig.Until([&] { return rig.clients[1]->m_nUpdates == 1; }));
    EXPECT_EQ(rig.clients[1]->m_mUpdates["IMG"], std::vector<int>{3});
    EXPECT_EQ(rig.clients[0]->m_mUpdates["IMG"], Range(1, 3));
    EXPECT_EQ(rig.feed->m_vecSubs.size(), 1u);

    // A snapshot request is answered from the image.
    rig.clients[1]->m_mSnapshots.clear();
    rig.clients[1]->m_conn.Snapshot("IMG");
    ASSERT_TRUE(rig.Until([&] { return !rig.clients[1]->m_mSnapshots["IMG"].empty(); }));
    EXPECT_EQ(rig.clients[1]->m_mSnapshots["IMG"], std::vector<int>{3});
}

TEST(SymServerFanOut, SubscribeAllGetsTheImagesThenEveryTopic) {
    CRig rig(CSymSrvConfig(), 2);
    ASSERT_TRUE(rig.Until(
        [&] { return AllLoggedOn(rig) && rig.server->Feed(0)->m_eState == CFeedLink::STATE_UP; }));
    rig.clients[0]->m_conn.Subscribe("A");
    ASSERT_TRUE(rig.Until([&] { return rig.feed->m_vecSubs.size() == 1; }));
    rig.feed->Publish("A", 7);
    rig.feed->Flush(false, nullptr);
    ASSERT_TRUE(rig.Until([&] { return rig.clients[0]->m_nUpdates == 1; }));

    rig.clients[1]->m_conn.SubscribeAll();
    ASSERT_TRUE(rig.Until([&] { return rig.feed->m_vecSubs.size() == 2; }));
    EXPECT_EQ(rig.feed->m_vecSubs[1], "");
    EXPECT_EQ(rig.clients[1]->m_mSnapshots["A"].front(), 7);
    rig.feed->Publish("B", 1);
    rig.feed->Publish("A", 8);
    rig.feed->Flush(false, nullptr);
    ASSERT_TRUE(rig.Until([&] { return rig.clients[1]->m_nUpdates == 2; }));
    EXPECT_EQ(rig.clients[1]->m_mUpdates["B"], std::vector<int>{1});
    EXPECT_EQ(rig.clients[1]->m_mUpdates["A"], std::vector<int>{8});
    ASSERT_TRUE(rig.Until([&] { return rig.clients[0]->m_nUpdates == 2; }));
    EXPECT_EQ(rig.clients[0]->m_mUpdates.count("B"), 0u);
}

TEST(SymServerFanOut, ImagesKeptForSubscribeAllAreNotServedAfterItEnds) {
    CRig rig(CSymSrvConfig(), 2);
    ASSERT_TRUE(rig.Until(
        [&] { return AllLoggedOn(rig) && rig.server->Feed(0)->m_eState == CFeedLink::STATE_UP; }));
    rig.clients[0]->m_conn.SubscribeAll();
    ASSERT_TRUE(rig.Until([&] { return rig.feed->m_vecSubs.size() == 1; }));
    rig.feed->Publish("S", 1);
    rig.feed->Flush(false, nullptr);
    ASSERT_TRUE(rig.Until([&] { return rig.clients[0]->m_nUpdates == 1; }));
    rig.clients[0]->m_conn.UnsubscribeAll();
    ASSERT_TRUE(rig.Until([&] { return rig.feed->m_vecUnsubs.size() == 1; }));
    // Nobody holds S now: the server hears no more of it.
    rig.feed->Publish("S", 2);
    rig.feed->Flush(false, nullptr);

    rig.clients[1]->m_conn.Subscribe("S");
    ASSERT_TRUE(rig.Until([&] { return rig.feed->m_vecSubs.size() == 2; }));
    rig.feed->Publish("S", 3);
    rig.feed->Flush(false, nullptr);
    ASSERT_TRUE(rig.Until([&] { return rig.clients[1]->m_nUpdates == 1; }));
    EXPECT_EQ(rig.clients[1]->m_mUpdates["S"], std::vector<int>{3});
    for (int n : rig.clients[1]->m_mSnapshots["S"]) {
        EXPECT_GE(n, 2) << "an image older than the feed handler's was served";
    }
}

TEST(SymServerFanOut, AnImageTooLongForAMessageIsLeftOutAndItsSubscriberKept) {
    CRig rig(CSymSrvConfig(), 2);
    ASSERT_TRUE(rig.Until([&] { return AllLoggedOn(rig); }));
    rig.clients[0]->m_conn.Subscribe("BIG");
    ASSERT_TRUE(rig.Until([&] { return !rig.feed->m_vecSubs.empty(); }));
    // Five updates of 15,000 characters each, in fields of their own: each fits a message,
    // their merged image does not.
    for (int i = 0; i < 5; ++i) {
        HTICK t = rig.feed->CreateTick("BIG");
        rig.feed->SetTickField(t, symsrvtest::kSeq, i);
        rig.feed->SetTickField(t, symsrvtest::kPad + i, std::string(15000, 'a' + i).c_str());
        rig.feed->Flush(false, nullptr);
    }
    ASSERT_TRUE(rig.Until([&] { return rig.clients[0]->m_nUpdates == 5; }));
    rig.clients[1]->m_conn.Subscribe("BIG");
    ASSERT_TRUE(rig.Until([&] { return rig.server->FindTopic("BIG")->m_nRefs == 2; }));
    rig.feed->Publish("BIG", 5);
    rig.feed->Flush(false, nullptr);
    ASSERT_TRUE(rig.Until([&] { return rig.clients[1]->m_nUpdates == 1; }));
    EXPECT_EQ(rig.clients[1]->m_mUpdates["BIG"], std::vector<int>{5});
    EXPECT_TRUE(rig.clients[1]->m_mSnapshots["BIG"].empty());
    EXPECT_GE(rig.clients[1]->m_conn.GetFd(), 0);
    EXPECT_EQ(rig.server->ClientCount(), 2u);
}

TEST(SymServerFanOut, SteadyStateFanOutAllocatesNothing) {
    if (!qrxtest::AllocCounter::Available()) {
        GTEST_SKIP() << "the allocator is the sanitizer's";
    }
    CRig rig(CSymSrvConfig(), 10);
    ASSERT_TRUE(rig.Until(
        [&] { return AllLoggedOn(rig) && rig.server->Feed(0)->m_eState == CFeedLink::STATE_UP; }));
    const int kTopics = 20;
    std::vector<std::string> topics;
    for (int i = 0; i < kTopics; ++i) {
        topics.push_back("T" + std::to_string(i));
        for (auto& c : rig.clients) {
            c->m_conn.Subscribe(topics.back().c_str());
        }
    }
    ASSERT_TRUE(
        rig.Until([&] { return rig.feed->m_vecSubs.size() == static_cast<size_t>(kTopics); }));
    long nAllocs = 0;
    int nSeq = 0;
    auto round = [&](bool bCount) {
        ++nSeq;
        for (const auto& t : topics) {
            rig.feed->Publish(t.c_str(), nSeq, 40);
        }
        rig.feed->Flush(false, nullptr);
        for (int i = 0; i < 4; ++i) {
            qrxtest::AllocCounter counter;
            counter.Start();
            rig.server->RunOnce(1);
            const long n = counter.Stop();
            if (bCount) {
                nAllocs += n;
            }
            for (auto& c : rig.clients) {
                c->Poll();
            }
        }
    };
    for (int i = 0; i < 30; ++i) {
        round(false);  // the images, queues and buffers reach their size
    }
    ASSERT_TRUE(rig.Until([&] { return rig.clients[9]->m_nUpdates == 30L * kTopics; }));
    for (int i = 0; i < 200; ++i) {
        round(true);
    }
    ASSERT_TRUE(rig.Until([&] { return rig.clients[9]->m_nUpdates == 230L * kTopics; }));
    EXPECT_EQ(rig.server->UpdatesIn(), 230UL * kTopics);
    EXPECT_EQ(nAllocs, 0) << "allocations while fanning out 4,000 updates to 10 clients";
}

TEST(SymServerSlowClients,
     AConflatedClientEndsWithTheLatestStateOfEveryTopicAndTheOthersMissNothing) {
    CSymSrvConfig cfg;
    cfg.m_nHighWater = 512 * 1024;
    cfg.m_dblStallTimeout = 0;  // never dropped for stalling here
    CRig rig(cfg, 2);
    ASSERT_TRUE(rig.Until(
        [&] { return AllLoggedOn(rig) && rig.server->Feed(0)->m_eState == CFeedLink::STATE_UP; }));
    const int kTopics = 20;
    const int kRounds = 2000;
    for (int i = 0; i < kTopics; ++i) {
        for (auto& c : rig.clients) {
            c->m_conn.Subscribe(("S" + std::to_string(i)).c_str());
        }
    }
    ASSERT_TRUE(
        rig.Until([&] { return rig.feed->m_vecSubs.size() == static_cast<size_t>(kTopics); }));
    CTestClient& slow = *rig.clients[1];
    slow.m_bPaused = true;
    for (int r = 1; r <= kRounds; ++r) {
        for (int i = 0; i < kTopics; ++i) {
            rig.feed->Publish(("S" + std::to_string(i)).c_str(), r, 200);
        }
        rig.feed->Flush(false, nullptr);
        rig.Turn(0);
    }
    ASSERT_TRUE(rig.Until([&] { return rig.clients[0]->m_nUpdates == long{kRounds} * kTopics; }));
    EXPECT_GE(rig.server->Conflations(), 1u);
    slow.m_bPaused = false;
    ASSERT_TRUE(rig.Until([&] {
        for (int i = 0; i < kTopics; ++i) {
            const auto& v = slow.m_mUpdates["S" + std::to_string(i)];
            if (v.empty() || v.back() != kRounds) {
                return false;
            }
        }
        return true;
    }));
    EXPECT_LT(slow.m_nUpdates, long{kRounds} * kTopics) << "nothing was conflated";
    for (int i = 0; i < kTopics; ++i) {
        const std::string t = "S" + std::to_string(i);
        EXPECT_EQ(rig.clients[0]->m_mUpdates[t], Range(1, kRounds));
        const auto& v = slow.m_mUpdates[t];
        for (size_t k = 1; k < v.size(); ++k) {
            ASSERT_LT(v[k - 1], v[k]) << t << ": the updates went back";
        }
    }
    EXPECT_EQ(rig.server->ClientsDropped(), 0u);
}

TEST(SymServerSlowClients, AClientPastTheLimitIsDroppedAndOneThatReadsLateIsNotHeldUp) {
    // The client that keeps up reads only between the server's turns, each of which can bring
    // it a quarter of a megabyte: it must neither stall nor be dropped.
    CSymSrvConfig cfg;
    cfg.m_nHighWater = cfg.m_nLimit = 1024 * 1024;
    CRig rig(cfg, 2);
    ASSERT_TRUE(rig.Until(
        [&] { return AllLoggedOn(rig) && rig.server->Feed(0)->m_eState == CFeedLink::STATE_UP; }));
    for (auto& c : rig.clients) {
        c->m_conn.Subscribe("X");
    }
    ASSERT_TRUE(rig.Until([&] { return rig.feed->m_vecSubs.size() == 1; }));
    rig.clients[1]->m_bPaused = true;
    const int kRounds = 60000;
    for (int r = 1; r <= kRounds; ++r) {
        rig.feed->Publish("X", r, 200);
        if (r % 50 == 0) {
            rig.feed->Flush(false, nullptr);
            rig.Turn(0);
        }
    }
    ASSERT_TRUE(rig.Until([&] { return rig.clients[0]->m_nUpdates == kRounds; }));
    EXPECT_EQ(rig.server->ClientsDropped(), 1u);
    EXPECT_EQ(rig.server->ClientCount(), 1u);
    EXPECT_EQ(rig.clients[0]->m_mUpdates["X"], Range(1, kRounds));
}

TEST(SymServerSlowClients, AClientThatAsksForImagesWithoutReadingIsDroppedAtTheLimit) {
    CSymSrvConfig cfg;
    cfg.m_nHighWater = 256 * 1024;
    cfg.m_nLimit = 1024 * 1024;
    cfg.m_dblStallTimeout = 0;  // only the limit can drop it
    CRig rig(cfg, 2);
    ASSERT_TRUE(rig.Until(
        [&] { return AllLoggedOn(rig) && rig.server->Feed(0)->m_eState == CFeedLink::STATE_UP; }));
    rig.clients[0]->m_conn.Subscribe("S");
    ASSERT_TRUE(rig.Until([&] { return rig.feed->m_vecSubs.size() == 1; }));
    rig.feed->Publish("S", 1, 1000);
    rig.feed->Flush(false, nullptr);
    ASSERT_TRUE(rig.Until([&] { return rig.clients[0]->m_nUpdates == 1; }));

    // Snapshot requests of a few bytes each bring a kilobyte image each; the client reads
    // none of them. Sixteen megabytes are asked for in all, far past what the sockets hold.
    CTestClient& greedy = *rig.clients[1];
    greedy.m_bPaused = true;
    CSymSrvWire wire;
    ASSERT_TRUE(wire.TopicRequest(CM_SYM_SNAPSHOT, "S"));
    std::string batch;
    for (int i = 0; i < 100; ++i) {
        batch.append(wire.Data(), wire.Length());
    }
    int nBatches = 0;
    size_t nAt = 0;
    ASSERT_TRUE(rig.Until([&] {
        if (nBatches < 160) {
            const ssize_t n = send(greedy.m_conn.GetFd(), batch.data() + nAt, batch.size() - nAt,
                                   MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n > 0 && (nAt += static_cast<size_t>(n)) == batch.size()) {
                nAt = 0;
                ++nBatches;
            }
        }
        return rig.server->ClientsDropped() == 1;
    }));
    EXPECT_EQ(rig.server->ClientCount(), 1u);
    // The client that reads is untouched.
    rig.feed->Publish("S", 2, 1000);
    rig.feed->Flush(false, nullptr);
    ASSERT_TRUE(rig.Until([&] { return rig.clients[0]->m_nUpdates == 2; }));
}

namespace {

// The messages the server has had from the client logged on as strUser, from its metrics.
long MessagesIn(CSymServer& server, const std::string& strUser) {
    const std::string strText = server.MetricsText();
    const std::string strKey = "qrx_symsrv_client_messages_in_total{client=";
    for (size_t at = strText.find(strKey); at != std::string::npos;
         at = strText.find(strKey, at + 1)) {
        const size_t nEnd = strText.find('\n', at);
        const std::string strLine = strText.substr(at, nEnd - at);
        if (strLine.find("user=\"" + strUser + "\"") != std::string::npos) {
            return atol(strLine.c_str() + strLine.rfind(' ') + 1);
        }
    }
    return -1;
}

}  // namespace

TEST(SymServerSlowClients, AClientAskingForEveryImageOverAndOverIsServedInTurnsWithTheOthers) {
    CSymSrvConfig cfg;
    cfg.m_nHighWater = 64 * 1024;
    cfg.m_nLimit = 64 * 1024 * 1024;  // it reads all it asks for: nothing drops it
    CRig rig(cfg, 1);
    rig.clients.push_back(std::make_unique<CTestClient>());
    ASSERT_TRUE(rig.clients.back()->Connect(rig.server->Port(), "greedy"));
    CTestClient& other = *rig.clients[0];
    CTestClient& greedy = *rig.clients[1];
    ASSERT_TRUE(rig.Until(
        [&] { return AllLoggedOn(rig) && rig.server->Feed(0)->m_eState == CFeedLink::STATE_UP; }));
    // Fifty images of a kilobyte each.
    const int nTopics = 50;
    for (int i = 0; i < nTopics; ++i) {
        other.m_conn.Subscribe(("I" + std::to_string(i)).c_str());
    }
    ASSERT_TRUE(rig.Until([&] { return rig.feed->m_vecSubs.size() == size_t(nTopics); }));
    for (int i = 0; i < nTopics; ++i) {
        rig.feed->Publish(("I" + std::to_string(i)).c_str(), 1, 1000);
    }
    rig.feed->Flush(false, nullptr);
    ASSERT_TRUE(rig.Until([&] { return other.m_nUpdates == nTopics; }));
    const long nBefore = MessagesIn(*rig.server, "greedy");
    ASSERT_GT(nBefore, 0);

    // Two hundred requests for every image, a few bytes each, in one write: eleven megabytes
    // of answers.
    const int nAsks = 200;
    CSymSrvWire wire;
    ASSERT_TRUE(wire.NoBodyRequest(CM_SYM_SNAPSHOT_ALL));
    std::string asks;
    for (int i = 0; i < nAsks; ++i) {
        asks.append(wire.Data(), wire.Length());
    }
    ASSERT_EQ(send(greedy.m_conn.GetFd(), asks.data(), asks.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(asks.size()));
    ASSERT_TRUE(rig.Until([&] { return MessagesIn(*rig.server, "greedy") > nBefore; }));
    // The other client's update goes through while most of those requests still wait.
    rig.feed->Publish("I0", 2);
    rig.feed->Flush(false, nullptr);
    ASSERT_TRUE(rig.Until([&] { return other.m_mUpdates["I0"].back() == 2; }));
    EXPECT_LT(MessagesIn(*rig.server, "greedy"), nBefore + nAsks / 2)
        << "the requests were all handled before anything else";
    // And every request is answered in full.
    ASSERT_TRUE(rig.Until([&] { return greedy.m_mSnapshots["I49"].size() == size_t(nAsks); }));
    for (int i = 0; i < nTopics; ++i) {
        EXPECT_EQ(greedy.m_mSnapshots["I" + std::to_string(i)].size(), size_t(nAsks)) << i;
    }
    EXPECT_EQ(rig.server->ClientsDropped(), 0u);
    EXPECT_EQ(MessagesIn(*rig.server, "greedy"), nBefore + nAsks);

    // One that goes while its requests wait takes them with it.
    ASSERT_EQ(send(greedy.m_conn.GetFd(), asks.data(), asks.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(asks.size()));
    ASSERT_TRUE(rig.Until([&] { return MessagesIn(*rig.server, "greedy") > nBefore + nAsks; }));
    greedy.m_conn.Disconnect();
    ASSERT_TRUE(rig.Until([&] { return rig.server->ClientCount() == 1; }));
    for (int i = 0; i < 20; ++i) {
        rig.Turn();
    }
    rig.feed->Publish("I0", 3);
    rig.feed->Flush(false, nullptr);
    ASSERT_TRUE(rig.Until([&] { return other.m_mUpdates["I0"].back() == 3; }));
}

TEST(SymServerSlowClients, AClientTogglingSubscribeAllIsServedInTurnsWithTheOthers) {
    CRig rig(CSymSrvConfig(), 1);
    rig.clients.push_back(std::make_unique<CTestClient>());
    ASSERT_TRUE(rig.clients.back()->Connect(rig.server->Port(), "toggler"));
    CTestClient& other = *rig.clients[0];
    CTestClient& toggler = *rig.clients[1];
    ASSERT_TRUE(rig.Until(
        [&] { return AllLoggedOn(rig) && rig.server->Feed(0)->m_eState == CFeedLink::STATE_UP; }));
    // Each of these requests goes through every topic held, however few bytes it takes.
    for (int i = 0; i < 50; ++i) {
        other.m_conn.Subscribe(("W" + std::to_string(i)).c_str());
    }
    ASSERT_TRUE(rig.Until([&] { return rig.feed->m_vecSubs.size() == 50u; }));
    const long nBefore = MessagesIn(*rig.server, "toggler");
    ASSERT_GT(nBefore, 0);
    const int nAsks = 3000;
    CSymSrvWire wire;
    std::string asks;
    for (int i = 0; i < nAsks; ++i) {
        const short nType = i % 3 == 0   ? CM_SYM_SUBSCRIBE_ALL
                            : i % 3 == 1 ? CM_SYM_UNSUBSCRIBE_ALL
                                         : CM_SYM_SNAPSHOT_ALL;
        ASSERT_TRUE(wire.NoBodyRequest(nType));
        asks.append(wire.Data(), wire.Length());
    }
    ASSERT_EQ(send(toggler.m_conn.GetFd(), asks.data(), asks.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(asks.size()));
    ASSERT_TRUE(rig.Until([&] { return MessagesIn(*rig.server, "toggler") > nBefore; }));
    // The other client's update goes through while most of those requests still wait.
    rig.feed->Publish("W0", 1);
    rig.feed->Flush(false, nullptr);
    ASSERT_TRUE(rig.Until([&] { return other.m_mUpdates["W0"].size() == 1; }));
    EXPECT_LT(MessagesIn(*rig.server, "toggler"), nBefore + nAsks / 2)
        << "the requests were all handled before anything else";
    // And every one of them is handled in the end.
    ASSERT_TRUE(rig.Until([&] { return MessagesIn(*rig.server, "toggler") == nBefore + nAsks; }));
    EXPECT_EQ(rig.server->ClientsDropped(), 0u);
}

TEST(SymServerFeeds, ALostFeedHandlerIsReportedAndItsTopicsComeBackWithoutTheClients) {
    CRig rig(FastReconnect(), 2);
    ASSERT_TRUE(rig.Until(
        [&] { return AllLoggedOn(rig) && rig.server->Feed(0)->m_eState == CFeedLink::STATE_UP; }));
    rig.clients[0]->m_conn.Subscribe("K");
    rig.clients[1]->m_conn.Subscribe("K");
    ASSERT_TRUE(rig.Until([&] { return rig.feed->m_vecSubs.size() == 1; }));
    const int nPort = rig.feed->m_nPort;
    rig.feed.reset();
    auto has = [&](CTestClient& c, enSymStatusCode code, const char* text) {
        for (const auto& s : c.m_vecStatus) {
            if (s.first == code && s.second == text) {
                return true;
            }
        }
        return false;
    };
    ASSERT_TRUE(rig.Until([&] {
        return has(*rig.clients[0], SYM_DATA_SOURCE_ERROR, "data source lost: main") &&
               has(*rig.clients[1], SYM_DATA_SOURCE_ERROR, "data source lost: main");
    }));
    rig.feed = std::make_unique<CTestFeed>(nPort);
    ASSERT_TRUE(rig.feed->m_bOk);
    ASSERT_TRUE(rig.Until([&] { return rig.feed->m_vecSubs.size() == 1; }));
    EXPECT_EQ(rig.feed->m_vecSubs.front(), "K");
    ASSERT_TRUE(rig.Until([&] {
        return has(*rig.clients[0], SYM_DATA_SOURCE_RESTORED, "data source restored: main") &&
               has(*rig.clients[1], SYM_DATA_SOURCE_RESTORED, "data source restored: main");
    }));
    rig.feed->Publish("K", 42);
    rig.feed->Flush(false, nullptr);
    ASSERT_TRUE(rig.Until(
        [&] { return rig.clients[1]->m_nUpdates == 1 && rig.clients[0]->m_nUpdates == 1; }));
    EXPECT_EQ(rig.server->Feed(0)->m_nLosses, 1u);
}

namespace {

// A feed handler played by the test over a bare loopback socket: it accepts the server's
// connections and writes what the test gives it.
class CScriptedFeed {
public:
    CScriptedFeed() {
        m_nListen = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t n = sizeof a;
        if (bind(m_nListen, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            listen(m_nListen, 4) == 0 &&
            getsockname(m_nListen, reinterpret_cast<sockaddr*>(&a), &n) == 0) {
            m_nPort = ntohs(a.sin_port);
        }
    }
    ~CScriptedFeed() {
        Close();
        close(m_nListen);
    }
    bool Accept() {
        m_nConn = accept(m_nListen, nullptr, nullptr);
        return m_nConn >= 0;
    }
    bool Send(const std::string& s) {
        return send(m_nConn, s.data(), s.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(s.size());
    }
    // Goes away with a reset, whatever the server sent that was not read.
    void Reset() {
        linger l{1, 0};
        setsockopt(m_nConn, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        Close();
    }
    void Close() {
        if (m_nConn >= 0) {
            close(m_nConn);
            m_nConn = -1;
        }
    }
    int m_nPort = 0;
    int m_nListen = -1;
    int m_nConn = -1;
};

std::string StatusMsg(short nSubType, const char* szText) {
    CSymSrvWire wire;
    wire.Status(nSubType, szText);
    return std::string(wire.Data(), wire.Length());
}

// The data-source statuses a client was told, in order.
std::vector<std::string> SourceStatuses(const CTestClient& c) {
    std::vector<std::string> v;
    for (const auto& s : c.m_vecStatus) {
        if (s.first == SYM_DATA_SOURCE_ERROR || s.first == SYM_DATA_SOURCE_RESTORED) {
            v.push_back((s.first == SYM_DATA_SOURCE_ERROR ? "down " : "up ") + s.second);
        }
    }
    return v;
}

long MetricValue(const std::string& strText, const std::string& strName) {
    const size_t at = strText.find("\n" + strName + " ");
    return at == std::string::npos ? -1L : atol(strText.c_str() + at + strName.size() + 2);
}

}  // namespace

TEST(SymServerFeeds, AFeedHandlerThatResetsRightAfterAcceptingTheLogonLeavesTheLinkDown) {
    CScriptedFeed scripted;
    ASSERT_GT(scripted.m_nPort, 0);
    CSymSrvConfig cfg = FastReconnect();
    cfg.m_vecFeeds.push_back(LoopbackFeed("main", scripted.m_nPort));
    CRig rig(cfg, 1);
    rig.feed.reset();
    ASSERT_TRUE(rig.bStarted);
    ASSERT_TRUE(rig.Until([&] { return AllLoggedOn(rig); }));
    rig.clients[0]->m_conn.Subscribe("X");
    ASSERT_TRUE(rig.Until([&] {
        const CTopicEntry* t = rig.server->FindTopic("X");
        return t != nullptr && t->m_nRefs == 1;
    }));
    const std::string strAccepted = StatusMsg(SYM_STATUS_LOGIN_ACCEPTED, "");
    auto logOn = [&] {
        // Accepted once the server has written its logon, so that the answer is read as one.
        if (!rig.Until([&] { return scripted.Accept(); })) {
            return false;
        }
        return rig.Until([&] { return rig.server->Feed(0)->m_eState == CFeedLink::STATE_LOGON; });
    };

    // A first connection that tells of its own source, then closes.
    ASSERT_TRUE(logOn());
    ASSERT_TRUE(scripted.Send(strAccepted + StatusMsg(SYM_STATUS_SOURCE_DOWN, "upstream A")));
    ASSERT_TRUE(rig.Until([&] { return SourceStatuses(*rig.clients[0]).size() == 1; }));
    scripted.Close();
    ASSERT_TRUE(rig.Until([&] { return SourceStatuses(*rig.clients[0]).size() == 2; }));

    // The second accepts the logon and resets before the server has said anything more: the
    // subscriptions the server then writes fail, and the link is down again.
    ASSERT_TRUE(logOn());
    ASSERT_TRUE(scripted.Send(strAccepted));
    scripted.Reset();

    // The third stays. What it says before and after its logon answer frames what the client
    // is told of it.
    ASSERT_TRUE(logOn());
    ASSERT_TRUE(scripted.Send(StatusMsg(SYM_STATUS_SOURCE_DOWN, "upstream M") + strAccepted +
                              StatusMsg(SYM_STATUS_SOURCE_RESTORED, "upstream B")));
    ASSERT_TRUE(rig.Until([&] {
        const auto v = SourceStatuses(*rig.clients[0]);
        return !v.empty() && v.back() == "up upstream B";
    }));
    EXPECT_EQ(SourceStatuses(*rig.clients[0]),
              (std::vector<std::string>{"down upstream A", "down data source lost: main",
                                        "down data source lost: main", "down upstream M",
                                        "up data source restored: main", "up upstream B"}));
    EXPECT_EQ(MetricValue(rig.server->MetricsText(), "qrx_symsrv_malformed_total"), 0);
    EXPECT_EQ(rig.server->Feed(0)->m_nLosses, 2u);
}

TEST(SymServerFeeds, AFeedHandlerThatNeverAnswersTheLogonIsTriedAgain) {
    CScriptedFeed scripted;
    ASSERT_GT(scripted.m_nPort, 0);
    CSymSrvConfig cfg = FastReconnect();
    cfg.m_dblLogonTimeout = 0.2;
    cfg.m_vecFeeds.push_back(LoopbackFeed("mute", scripted.m_nPort));
    CRig rig(cfg, 1);
    rig.feed.reset();
    ASSERT_TRUE(rig.bStarted);
    ASSERT_TRUE(rig.Until([&] { return scripted.Accept(); }));
    ASSERT_TRUE(rig.Until([&] { return rig.server->Feed(0)->m_eState == CFeedLink::STATE_LOGON; }));
    // Nothing is answered, and the connection stays open: the server gives it up and
    // connects again.
    const int nMute = scripted.m_nConn;
    scripted.m_nConn = -1;
    const bool bAgain = rig.Until([&] { return scripted.Accept(); });
    close(nMute);
    ASSERT_TRUE(bAgain);
    ASSERT_TRUE(rig.Until([&] { return rig.server->Feed(0)->m_nConnects == 2; }));
    EXPECT_EQ(rig.server->Feed(0)->m_nLosses, 0u);  // it was never up
}

TEST(SymServerFeeds, AFeedHandlerThatStopsReadingIsConnectedAfreshPastTheLimit) {
    CScriptedFeed scripted;
    ASSERT_GT(scripted.m_nPort, 0);
    const int nSmall = 4096;  // its connection takes little before the server must keep the rest
    setsockopt(scripted.m_nListen, SOL_SOCKET, SO_RCVBUF, &nSmall, sizeof nSmall);
    CSymSrvConfig cfg = FastReconnect();
    cfg.m_nHighWater = 100000;
    cfg.m_nLimit = 200000;
    cfg.m_vecFeeds.push_back(LoopbackFeed("deaf", scripted.m_nPort));
    CRig rig(cfg, 1);
    rig.feed.reset();
    ASSERT_TRUE(rig.Until([&] { return scripted.Accept(); }));
    ASSERT_TRUE(rig.Until([&] { return rig.server->Feed(0)->m_eState == CFeedLink::STATE_LOGON; }));
    ASSERT_TRUE(scripted.Send(StatusMsg(SYM_STATUS_LOGIN_ACCEPTED, "")));
    ASSERT_TRUE(rig.Until([&] {
        return AllLoggedOn(rig) && rig.server->Feed(0)->m_eState == CFeedLink::STATE_UP &&
               rig.clients[0]->m_conn.GetCmdClientId() != 0;
    }));
    // Commands keep coming for a feed handler that reads none of them.
    CCommand cmd("load");
    cmd.SetStringParam("blob", std::string(4000, 'x').c_str());
    for (int i = 0; i < 2000 && rig.server->Feed(0)->m_nLosses == 0; ++i) {
        ASSERT_NE(rig.clients[0]->m_conn.SendCommand(&cmd), 0xFFFFFFFFu);
        rig.Until([] { return false; }, 3);
    }
    EXPECT_EQ(rig.server->Feed(0)->m_nLosses, 1u);
    EXPECT_NE(rig.server->Feed(0)->m_eState, CFeedLink::STATE_UP);
}

namespace {

// A data message of one record per (topic, sequence) pair, as a feed handler writes it; a
// pad makes a field the later records leave out.
std::string DataMsg(short nSubType, const std::vector<std::pair<const char*, int>>& vecRecs,
                    const char* szPad = nullptr) {
    COutQueue q;
    for (const auto& r : vecRecs) {
        CSymData d;
        d.SetFlidString(1074, GrowingStr(r.first));
        d.SetFlidInt(symsrvtest::kSeq, r.second);
        if (szPad != nullptr) {
            d.SetFlidString(symsrvtest::kPad, GrowingStr(szPad));
        }
        CNetStream out(true, 1024, 1024);
        CSymDataAux::SerializeSymOut(d, out);
        char* p = nullptr;
        int n = 0;
        out.GetBuf(p, n);
        q.AppendRecord(nSubType, p, static_cast<size_t>(n));
    }
    const char* p = q.Front();
    return std::string(p, q.Pending());
}

// Accepts the server's connection and its logon: the link is up once this is true.
bool LogOnScripted(CRig& rig, CScriptedFeed& feed, int nFeed) {
    if (!rig.Until([&] { return feed.Accept(); }) ||
        !rig.Until([&] { return rig.server->Feed(nFeed)->m_eState == CFeedLink::STATE_LOGON; }) ||
        !feed.Send(StatusMsg(SYM_STATUS_LOGIN_ACCEPTED, ""))) {
        return false;
    }
    return rig.Until([&] { return rig.server->Feed(nFeed)->m_eState == CFeedLink::STATE_UP; });
}

std::string ImagePad(const CTopicEntry* t) {
    GrowingStr pad;
    if (t == nullptr || !t->m_bCached || !t->m_pImage->GetFlidString(symsrvtest::kPad, pad)) {
        return "";
    }
    return pad.c_str();
}

}  // namespace

TEST(SymServerFeeds, TheImageAnsweringAResubscriptionReachesClientsThoughAnUpdateCameFirst) {
    CScriptedFeed scripted;
    ASSERT_GT(scripted.m_nPort, 0);
    CSymSrvConfig cfg = FastReconnect();
    cfg.m_vecFeeds.push_back(LoopbackFeed("main", scripted.m_nPort));
    CRig rig(cfg, 1);
    rig.feed.reset();
    ASSERT_TRUE(rig.Until([&] { return AllLoggedOn(rig); }));
    rig.clients[0]->m_conn.Subscribe("T");
    ASSERT_TRUE(LogOnScripted(rig, scripted, 0));
    ASSERT_TRUE(rig.Until([&] { return rig.server->FindTopic("T")->m_bUpstream; }));
    ASSERT_TRUE(scripted.Send(DataMsg(SYM_DATA_SNAPSHOT, {{"T", 1}}, "old")));
    ASSERT_TRUE(rig.Until([&] { return !rig.clients[0]->m_mSnapshots["T"].empty(); }));

    // Lost in the middle of the next image: what came of it is nothing to anyone.
    const std::string strHalf = DataMsg(SYM_DATA_SNAPSHOT, {{"T", 2}}, "half");
    ASSERT_TRUE(scripted.Send(strHalf.substr(0, strHalf.size() / 2)));
    rig.Until([] { return false; }, 50);
    scripted.Close();
    ASSERT_TRUE(rig.Until([&] { return SourceStatuses(*rig.clients[0]).size() == 1; }));

    // Restored, the feed handler has an update of the topic out before the image that answers
    // the server's subscription: the image, whose pad changed meanwhile, still reaches the
    // client, which would otherwise keep the pad it had before the loss.
    ASSERT_TRUE(LogOnScripted(rig, scripted, 0));
    ASSERT_TRUE(rig.Until([&] { return rig.server->FindTopic("T")->m_bUpstream; }));
    ASSERT_TRUE(scripted.Send(DataMsg(SYM_DATA_UPDATE, {{"T", 7}}) +
                              DataMsg(SYM_DATA_SNAPSHOT, {{"T", 7}}, "new")));
    ASSERT_TRUE(rig.Until([&] { return rig.server->FindTopic("T")->m_nUpdatesIn == 3; }));
    rig.Until([] { return false; }, 50);
    EXPECT_EQ(rig.clients[0]->m_mSnapshots["T"], (std::vector<int>{1, 7}));
    EXPECT_EQ(rig.clients[0]->m_mUpdates["T"], std::vector<int>{7});
    EXPECT_EQ(ImagePad(rig.server->FindTopic("T")), "new");
    EXPECT_EQ(MetricValue(rig.server->MetricsText(), "qrx_symsrv_malformed_total"), 0);
}

TEST(SymServerFeeds, RecordsOfATopicRoutedToAnotherFeedHandlerAreNotTakenForIts) {
    CScriptedFeed scriptedA;
    CScriptedFeed scriptedB;
    ASSERT_GT(scriptedA.m_nPort, 0);
    ASSERT_GT(scriptedB.m_nPort, 0);
    CSymSrvConfig cfg = FastReconnect();
    cfg.m_vecFeeds.push_back(LoopbackFeed("a", scriptedA.m_nPort));
    cfg.m_vecFeeds.back().m_vecPrefixes.push_back("A");
    cfg.m_vecFeeds.push_back(LoopbackFeed("rest", scriptedB.m_nPort));
    CRig rig(cfg, 2);
    rig.feed.reset();
    ASSERT_TRUE(LogOnScripted(rig, scriptedA, 0));
    ASSERT_TRUE(LogOnScripted(rig, scriptedB, 1));
    ASSERT_TRUE(rig.Until([&] { return AllLoggedOn(rig); }));
    rig.clients[0]->m_conn.Subscribe("AX");
    rig.clients[1]->m_conn.SubscribeAll();
    ASSERT_TRUE(rig.Until([&] {
        const CTopicEntry* t = rig.server->FindTopic("AX");
        return t != nullptr && t->m_bUpstream && rig.server->Feed(1)->m_bAllUpstream;
    }));
    ASSERT_TRUE(scriptedA.Send(DataMsg(SYM_DATA_SNAPSHOT, {{"AX", 1}}, "from a")));
    ASSERT_TRUE(rig.Until([&] { return !rig.clients[0]->m_mSnapshots["AX"].empty(); }));

    // The other feed handler, asked for everything, has a topic of the same name: its
    // records, and the topics only they would bring, are passed over.
    ASSERT_TRUE(scriptedB.Send(DataMsg(SYM_DATA_SNAPSHOT, {{"AX", 90}, {"AY", 91}}, "from b") +
                               DataMsg(SYM_DATA_UPDATE, {{"AX", 92}, {"BX", 1}})));
    ASSERT_TRUE(rig.Until([&] { return !rig.clients[1]->m_mUpdates["BX"].empty(); }));
    // Nor is what it says of the topic.
    CSymSrvWire wire;
    ASSERT_TRUE(wire.SubStatus(SYM_SUB_STATUS_ERROR, "AX", "not here"));
    ASSERT_TRUE(scriptedB.Send(std::string(wire.Data(), wire.Length())));
    ASSERT_TRUE(wire.SubStatus(SYM_SUB_STATUS_PENDING, "AX", "soon"));
    ASSERT_TRUE(scriptedA.Send(std::string(wire.Data(), wire.Length()) +
                               DataMsg(SYM_DATA_UPDATE, {{"AX", 2}})));
    ASSERT_TRUE(rig.Until([&] { return !rig.clients[0]->m_mUpdates["AX"].empty(); }));
    rig.Until([] { return false; }, 50);
    EXPECT_EQ(rig.clients[0]->m_mSnapshots["AX"], std::vector<int>{1});
    EXPECT_EQ(rig.clients[0]->m_mUpdates["AX"], std::vector<int>{2});
    EXPECT_EQ(rig.clients[1]->m_mUpdates["AX"], std::vector<int>{2});
    EXPECT_EQ(rig.clients[1]->m_mSnapshots.count("AY"), 0u);
    EXPECT_EQ(rig.server->FindTopic("AY"), nullptr);
    EXPECT_EQ(ImagePad(rig.server->FindTopic("AX")), "from a");
    ASSERT_EQ(rig.clients[0]->m_vecSymStatus.size(), 1u);
    EXPECT_NE(rig.clients[0]->m_vecSymStatus.front().first, SYM_SUBS_ERROR);
}

TEST(SymServerFeeds, AFeedHandlerThatLeavesAMessageUnfinishedIsConnectedAfreshButAQuietOneIsNot) {
    CScriptedFeed scripted;
    ASSERT_GT(scripted.m_nPort, 0);
    CSymSrvConfig cfg = FastReconnect();
    cfg.m_dblFeedStallTimeout = 0.2;
    cfg.m_vecFeeds.push_back(LoopbackFeed("main", scripted.m_nPort));
    CRig rig(cfg, 1);
    rig.feed.reset();
    ASSERT_TRUE(rig.Until([&] { return AllLoggedOn(rig); }));
    rig.clients[0]->m_conn.Subscribe("T");
    ASSERT_TRUE(LogOnScripted(rig, scripted, 0));
    ASSERT_TRUE(rig.Until([&] { return rig.server->FindTopic("T")->m_bUpstream; }));
    ASSERT_TRUE(scripted.Send(DataMsg(SYM_DATA_SNAPSHOT, {{"T", 1}})));
    ASSERT_TRUE(rig.Until([&] { return !rig.clients[0]->m_mSnapshots["T"].empty(); }));

    // Silence between whole messages is a quiet market: the link stays.
    const double tQuiet = CSymServer::Now() + 0.6;
    rig.Until([&] { return CSymServer::Now() > tQuiet; });
    EXPECT_EQ(rig.server->Feed(0)->m_eState, CFeedLink::STATE_UP);

    // Silence in the middle of a message is a feed handler that hangs: its clients are told,
    // and the server connects again while the hung connection stays open.
    const std::string strMsg = DataMsg(SYM_DATA_UPDATE, {{"T", 2}});
    ASSERT_TRUE(scripted.Send(strMsg.substr(0, strMsg.size() - 3)));
    const int nHung = scripted.m_nConn;
    scripted.m_nConn = -1;
    const bool bAgain = rig.Until([&] { return scripted.Accept(); });
    EXPECT_EQ(SourceStatuses(*rig.clients[0]),
              std::vector<std::string>{"down data source lost: main"});
    close(nHung);
    ASSERT_TRUE(bAgain);
    EXPECT_EQ(rig.server->Feed(0)->m_nLosses, 1u);
    ASSERT_TRUE(rig.Until([&] { return rig.server->Feed(0)->m_eState == CFeedLink::STATE_LOGON; }));
    ASSERT_TRUE(scripted.Send(StatusMsg(SYM_STATUS_LOGIN_ACCEPTED, "")));
    ASSERT_TRUE(rig.Until([&] { return SourceStatuses(*rig.clients[0]).size() == 2; }));
    EXPECT_TRUE(rig.clients[0]->m_mUpdates["T"].empty());
}

TEST(SymServerFeeds, AFeedHandlerRepeatingItsSourceStatusCostsTheServerLittleWhateverItsTopics) {
    CScriptedFeed scripted;
    ASSERT_GT(scripted.m_nPort, 0);
    CSymSrvConfig cfg = FastReconnect();
    cfg.m_nLimit = 64L << 20;
    cfg.m_vecFeeds.push_back(LoopbackFeed("main", scripted.m_nPort));
    CRig rig(cfg, 1);
    rig.feed.reset();
    ASSERT_TRUE(LogOnScripted(rig, scripted, 0));
    ASSERT_TRUE(rig.Until([&] { return AllLoggedOn(rig); }));
    // A client holding many topics of the feed handler.
    const int nTopics = 200000;
    std::vector<GrowingStr> vecList;
    for (int i = 0; i < nTopics; ++i) {
        vecList.emplace_back(("T" + std::to_string(i)).c_str());
        if (vecList.size() == 100) {
            ASSERT_TRUE(rig.clients[0]->m_conn.Subscribe(vecList));
            vecList.clear();
            rig.Turn(0);
        }
    }
    ASSERT_TRUE(rig.Until([&] { return rig.server->TopicCount() == size_t(nTopics); }));

    // The feed handler says its source went down, over and over: each notice goes to the
    // client, and the server finds the clients to tell without going through every topic.
    const int nNotices = 100000;
    std::string strNotices;
    for (int i = 0; i < nNotices; ++i) {
        strNotices += StatusMsg(SYM_STATUS_SOURCE_DOWN, "upstream down");
    }
    std::thread sender([&] { scripted.Send(strNotices); });
    const bool bAll = rig.Until(
        [&] { return SourceStatuses(*rig.clients[0]).size() == size_t(nNotices); }, 1000000);
    sender.join();
    ASSERT_TRUE(bAll);
    EXPECT_EQ(rig.server->ClientsDropped(), 0u);
}

TEST(SymServerFeeds, ARestoredFeedHandlerIsAskedForEveryTopicHeldHoweverManyPastTheLimit) {
    CSymSrvConfig cfg = FastReconnect();
    cfg.m_nHighWater = 16 * 1024;
    cfg.m_nLimit = 64 * 1024;  // far below what the subscriptions of the topics held take
    CRig rig(cfg, 1);
    ASSERT_TRUE(rig.Until(
        [&] { return AllLoggedOn(rig) && rig.server->Feed(0)->m_eState == CFeedLink::STATE_UP; }));
    const int nTopics = 200000;
    std::vector<GrowingStr> vecList;
    for (int i = 0; i < nTopics; ++i) {
        vecList.emplace_back(("A-RATHER-LONG-TOPIC-NAME." + std::to_string(i)).c_str());
        if (vecList.size() == 100) {
            ASSERT_TRUE(rig.clients[0]->m_conn.Subscribe(vecList));
            vecList.clear();
            rig.Turn(0);
        }
    }
    ASSERT_TRUE(rig.Until([&] { return rig.feed->m_vecSubs.size() == size_t(nTopics); }));

    // Restored, the feed handler is sent them all at once: that is what the server owes it,
    // not requests it failed to read, and the link stays up while it reads them.
    const int nPort = rig.feed->m_nPort;
    rig.feed.reset();
    ASSERT_TRUE(rig.Until([&] { return rig.server->Feed(0)->m_nLosses == 1; }));
    rig.feed = std::make_unique<CTestFeed>(nPort);
    ASSERT_TRUE(rig.feed->m_bOk);
    const bool bAll =
        rig.Until([&] { return rig.feed->m_vecSubs.size() == size_t(nTopics); }, 200000);
    EXPECT_EQ(rig.server->Feed(0)->m_nLosses, 1u);
    EXPECT_EQ(rig.server->Feed(0)->m_eState, CFeedLink::STATE_UP);
    ASSERT_TRUE(bAll) << rig.feed->m_vecSubs.size();
    rig.feed->Publish("A-RATHER-LONG-TOPIC-NAME.7", 5);
    rig.feed->Flush(false, nullptr);
    ASSERT_TRUE(rig.Until(
        [&] { return !rig.clients[0]->m_mUpdates["A-RATHER-LONG-TOPIC-NAME.7"].empty(); }));
}

TEST(SymServerFeeds, AHostNameThatTakesLongToLookUpHoldsUpNobodyElse) {
    // A name service that does not answer for the one feed handler named by its host. Its
    // state is shared with the lookups, which may outlive the test by a moment.
    struct NameService {
        std::mutex mutex;
        std::condition_variable answer;
        bool bReleased = false;
        std::atomic<int> nAsked{0};
    };
    auto ns = std::make_shared<NameService>();
    auto lookup = [ns](const std::string& strHost, int, sockaddr_in&) {
        ++ns->nAsked;
        std::unique_lock<std::mutex> lock(ns->mutex);
        ns->answer.wait(lock, [&] { return ns->bReleased; });
        return strHost != "feeds.example";  // not found, once it answers
    };
    auto mainFeed = std::make_unique<CTestFeed>(FreeLoopbackPort());
    ASSERT_TRUE(mainFeed->m_bOk);
    CSymSrvConfig cfg = FastReconnect();
    cfg.m_vecFeeds.push_back(LoopbackFeed("main", mainFeed->m_nPort));
    cfg.m_vecFeeds.back().m_vecPrefixes.push_back("K");
    CSymSrvFeedConfig slow;
    slow.m_strName = "slow";
    slow.m_strHost = "feeds.example";
    slow.m_nPort = 7001;
    cfg.m_vecFeeds.push_back(slow);
    CRig rig(cfg, 1, [&](CSymServer& s) { s.SetHostLookup(lookup); });
    rig.feed = std::move(mainFeed);
    ASSERT_TRUE(rig.bStarted);
    ASSERT_TRUE(rig.Until([&] { return ns->nAsked.load() == 1; }));
    EXPECT_EQ(rig.server->Feed(1)->m_eState, CFeedLink::STATE_CONNECTING);
    // While the name is being looked up, the other feed handler and the client are served.
    ASSERT_TRUE(rig.Until(
        [&] { return AllLoggedOn(rig) && rig.server->Feed(0)->m_eState == CFeedLink::STATE_UP; }));
    rig.clients[0]->m_conn.Subscribe("K");
    ASSERT_TRUE(rig.Until([&] { return rig.feed->m_vecSubs.size() == 1; }));
    rig.feed->Publish("K", 1);
    rig.feed->Flush(false, nullptr);
    ASSERT_TRUE(rig.Until([&] { return rig.clients[0]->m_nUpdates == 1; }));
    {
        std::lock_guard<std::mutex> lock(ns->mutex);
        ns->bReleased = true;
    }
    ns->answer.notify_all();
    // The answer comes back to the loop: not found, so the link is down and tried again.
    ASSERT_TRUE(rig.Until([&] { return ns->nAsked.load() >= 2; }));
    EXPECT_EQ(rig.server->Feed(1)->m_nConnects, 0u);
}

TEST(SymServerFeeds, AFeedHandlerNamedByItsHostIsServedOnceTheNameIsLookedUp) {
    CSymSrvConfig cfg = FastReconnect();
    CSymSrvFeedConfig byName;
    byName.m_strName = "main";
    byName.m_strHost = "feed-host";
    byName.m_nPort = 7001;
    cfg.m_vecFeeds.push_back(byName);
    // The name stands for the rig's feed handler, whose port is known once the rig is made.
    auto nFeedPort = std::make_shared<std::atomic<int>>(0);
    auto nAskedPort = std::make_shared<std::atomic<int>>(0);
    CRig rig(cfg, 1, [&](CSymServer& s) {
        s.SetHostLookup(
            [nFeedPort, nAskedPort](const std::string& strHost, int nPort, sockaddr_in& addr) {
                *nAskedPort = nPort;
                for (int i = 0; i < 10000 && nFeedPort->load() == 0; ++i) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
                addr.sin_family = AF_INET;
                addr.sin_port = htons(static_cast<uint16_t>(nFeedPort->load()));
                addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                return strHost == "feed-host";
            });
    });
    *nFeedPort = rig.feed->m_nPort;
    ASSERT_TRUE(rig.bStarted);
    ASSERT_TRUE(rig.Until(
        [&] { return AllLoggedOn(rig) && rig.server->Feed(0)->m_eState == CFeedLink::STATE_UP; }));
    EXPECT_EQ(nAskedPort->load(), 7001);
    rig.clients[0]->m_conn.Subscribe("K");
    ASSERT_TRUE(rig.Until([&] { return rig.feed->m_vecSubs.size() == 1; }));
    rig.feed->Publish("K", 1);
    rig.feed->Flush(false, nullptr);
    EXPECT_TRUE(rig.Until([&] { return rig.clients[0]->m_nUpdates == 1; }));
}

TEST(SymServerFeeds, TopicsNoFeedHandlerServesAreRefusedToTheClient) {
    CSymSrvConfig cfg;
    CSymSrvFeedConfig f;
    f.m_strName = "only-a";
    f.m_strHost = "127.0.0.1";
    f.m_nPort = FreeLoopbackPort();
    f.m_vecPrefixes.push_back("A");
    cfg.m_vecFeeds.push_back(f);
    CRig rig(cfg, 1);
    ASSERT_TRUE(rig.Until([&] { return AllLoggedOn(rig); }));
    rig.clients[0]->m_conn.Subscribe("ZZZ");
    ASSERT_TRUE(rig.Until([&] { return !rig.clients[0]->m_vecSymStatus.empty(); }));
    EXPECT_EQ(rig.clients[0]->m_vecSymStatus.front().first, SYM_SUBS_ERROR);
    EXPECT_EQ(rig.clients[0]->m_vecSymStatus.front().second, "ZZZ");
}

TEST(SymServerCommands, CommandsReachTheFeedHandlerOfTheirTopicAndResponsesTheirSender) {
    CSymSrvConfig cfg = FastReconnect();
    CTestFeed other(FreeLoopbackPort());
    other.m_strTag = "other";
    CSymSrvFeedConfig a;
    a.m_strName = "a";
    a.m_strHost = "127.0.0.1";
    a.m_vecPrefixes.push_back("A");
    CSymSrvFeedConfig b = a;
    b.m_strName = "b";
    b.m_nPort = other.m_nPort;
    b.m_vecPrefixes = {"B"};
    CRig rig;  // its own feed handler serves the topics beginning with A
    a.m_nPort = rig.feed->m_nPort;
    cfg.m_vecFeeds = {a, b};
    cfg.m_nPort = FreeLoopbackPort();
    cfg.m_dblSummaryInterval = 0;
    rig.server = std::make_unique<CSymServer>(cfg);
    ASSERT_TRUE(rig.server->Start());
    for (int i = 0; i < 2; ++i) {
        rig.clients.push_back(std::make_unique<CTestClient>());
        ASSERT_TRUE(rig.clients.back()->Connect(rig.server->Port()));
    }
    auto turn = [&] {
        other.Poll();
        return false;
    };
    ASSERT_TRUE(rig.Until([&] {
        turn();
        return AllLoggedOn(rig) && rig.server->Feed(0)->m_eState == CFeedLink::STATE_UP &&
               rig.server->Feed(1)->m_eState == CFeedLink::STATE_UP &&
               rig.clients[0]->m_conn.GetCmdClientId() != 0 &&
               rig.clients[1]->m_conn.GetCmdClientId() != 0;
    }));
    EXPECT_NE(rig.clients[0]->m_conn.GetCmdClientId(), rig.clients[1]->m_conn.GetCmdClientId());

    CCommand toB("price");
    toB.SetStringParam("topic", "B7");
    toB.SetIntParam("qty", 5);
    ASSERT_NE(rig.clients[0]->m_conn.SendCommand(&toB), 0xFFFFFFFFu);
    // A command too big for one message travels in parts and is put together at the feed.
    CCommand toA("bulk");
    toA.SetStringParam("topic", "A1");
    for (int i = 0; i < 3000; ++i) {
        toA.SetIntParam(("p" + std::to_string(i)).c_str(), i);
    }
    ASSERT_NE(rig.clients[1]->m_conn.SendCommand(&toA), 0xFFFFFFFFu);
    ASSERT_TRUE(rig.Until([&] {
        turn();
        return rig.clients[0]->m_vecResponses.size() == 1 &&
               rig.clients[1]->m_vecResponses.size() == 1;
    }));
    EXPECT_EQ(other.m_vecCommands, std::vector<std::string>{"price"});
    EXPECT_EQ(rig.feed->m_vecCommands, std::vector<std::string>{"bulk"});
    CResponse& r0 = rig.clients[0]->m_vecResponses[0];
    EXPECT_EQ(r0.GetStringParam("feed"), "other");
    EXPECT_EQ(r0.GetStringParam("topic"), "B7");
    CResponse& r1 = rig.clients[1]->m_vecResponses[0];
    EXPECT_EQ(r1.GetStringParam("feed"), "main");
    int nParams = 0;
    EXPECT_TRUE(r1.GetIntParam("params", nParams));
    EXPECT_EQ(nParams, 3000);

    // A topic no feed handler serves is answered by the server itself.
    CCommand lost("price");
    lost.SetStringParam("topic", "Z1");
    rig.clients[0]->m_conn.SendCommand(&lost);
    ASSERT_TRUE(rig.Until([&] { return rig.clients[0]->m_vecResponses.size() == 2; }));
    EXPECT_EQ(rig.clients[0]->m_vecResponses[1].GetStringParam("error"),
              "no feed handler serves Z1");
}

TEST(SymServerCommands, ACommandWhoseFeedHandlerIsDownIsRefusedNotSentToAnother) {
    CTestFeed other(FreeLoopbackPort());
    other.m_strTag = "other";
    CRig rig;  // its own feed handler serves the topics beginning with A
    CSymSrvConfig cfg = FastReconnect();
    CSymSrvFeedConfig a;
    a.m_strName = "a";
    a.m_strHost = "127.0.0.1";
    a.m_nPort = rig.feed->m_nPort;
    a.m_vecPrefixes.push_back("A");
    CSymSrvFeedConfig rest = a;
    rest.m_strName = "rest";
    rest.m_nPort = other.m_nPort;
    rest.m_vecPrefixes.clear();
    rest.m_bAll = true;
    cfg.m_vecFeeds = {a, rest};
    cfg.m_nPort = FreeLoopbackPort();
    cfg.m_dblSummaryInterval = 0;
    rig.server = std::make_unique<CSymServer>(cfg);
    ASSERT_TRUE(rig.server->Start());
    rig.clients.push_back(std::make_unique<CTestClient>());
    ASSERT_TRUE(rig.clients.back()->Connect(rig.server->Port()));
    ASSERT_TRUE(rig.Until([&] {
        other.Poll();
        return AllLoggedOn(rig) && rig.server->Feed(0)->m_eState == CFeedLink::STATE_UP &&
               rig.server->Feed(1)->m_eState == CFeedLink::STATE_UP &&
               rig.clients[0]->m_conn.GetCmdClientId() != 0;
    }));
    // Its subscriptions stay with the feed handler that serves A while it is away ...
    rig.clients[0]->m_conn.Subscribe("A1");
    ASSERT_TRUE(rig.Until([&] { return rig.feed->m_vecSubs.size() == 1; }));
    rig.feed.reset();
    ASSERT_TRUE(rig.Until([&] {
        other.Poll();
        return rig.server->Feed(0)->m_eState != CFeedLink::STATE_UP;
    }));
    EXPECT_EQ(rig.server->FindTopic("A1")->m_nFeed, 0);

    // ... and so do its commands: the catch-all feed handler is not asked.
    CCommand cmd("price");
    cmd.SetStringParam("topic", "A1");
    ASSERT_NE(rig.clients[0]->m_conn.SendCommand(&cmd), 0xFFFFFFFFu);
    CCommand any("status");  // without a topic: the first feed handler that is up
    ASSERT_NE(rig.clients[0]->m_conn.SendCommand(&any), 0xFFFFFFFFu);
    ASSERT_TRUE(rig.Until([&] {
        other.Poll();
        return rig.clients[0]->m_vecResponses.size() == 2;
    }));
    EXPECT_EQ(other.m_vecCommands, std::vector<std::string>{"status"});
    CResponse& refused = rig.clients[0]->m_vecResponses[0];
    EXPECT_EQ(refused.GetCmdName(), "price");
    EXPECT_EQ(refused.GetStringParam("feed"), "");
    EXPECT_EQ(refused.GetStringParam("error"), "no feed handler serves A1");
    EXPECT_EQ(rig.clients[0]->m_vecResponses[1].GetStringParam("feed"), "other");
}

namespace {

// The messages a client sends for cmd, one string each, in the order it sends them.
std::vector<std::string> CommandMessages(CCommand& cmd) {
    std::vector<std::string> vecBodies;
    CGrowingBuffer body(1024);
    CCommandSerializationState state;
    while (!state.m_bDone) {
        body.Reset();
        if (cmd.SerializeOut(body, state) == 0 && !state.m_bDone) {
            continue;
        }
        vecBodies.emplace_back(body.GetData(), static_cast<size_t>(body.GetLength()));
    }
    std::vector<std::string> vecMsgs;
    for (size_t i = 0; i < vecBodies.size(); ++i) {
        const char nSub =
            vecBodies.size() == 1 ? 11 : (i == 0 ? 14 : (i + 1 < vecBodies.size() ? 15 : 16));
        const size_t nBody = vecBodies[i].size();
        const size_t nLen = 10 + nBody;
        std::string m = {static_cast<char>(nLen >> 8),
                         static_cast<char>(nLen & 0xFF),
                         0,
                         static_cast<char>(MsgHdrSym::HDR_TYPE),
                         0,
                         static_cast<char>(CM_SYM_COMMAND),
                         0,
                         nSub,
                         static_cast<char>(nBody >> 8),
                         static_cast<char>(nBody & 0xFF)};
        vecMsgs.push_back(m + vecBodies[i]);
    }
    return vecMsgs;
}

bool SendRaw(CTestClient& c, const std::string& s) {
    return send(c.m_conn.GetFd(), s.data(), s.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(s.size());
}

}  // namespace

TEST(SymServerCommands, TheRestOfACommandWhoseStartWentToALostFeedHandlerGoesNowhere) {
    CRig rig(FastReconnect(), 2);
    ASSERT_TRUE(rig.Until([&] {
        return AllLoggedOn(rig) && rig.server->Feed(0)->m_eState == CFeedLink::STATE_UP &&
               rig.clients[0]->m_conn.GetCmdClientId() != 0 &&
               rig.clients[1]->m_conn.GetCmdClientId() != 0;
    }));
    CCommand bulk("bulk");
    for (int i = 0; i < 3000; ++i) {
        bulk.SetIntParam(("p" + std::to_string(i)).c_str(), i);
    }
    bulk.SetCmdId(rig.clients[0]->m_conn.GetCmdClientId(), 500);
    const std::vector<std::string> parts = CommandMessages(bulk);
    ASSERT_EQ(parts.size(), 3u);

    // The first part reaches the feed handler, which then goes away and comes back.
    ASSERT_TRUE(SendRaw(*rig.clients[0], parts[0]));
    ASSERT_TRUE(rig.Until([&] { return rig.server->CommandsInParts() == 1; }));
    const int nPort = rig.feed->m_nPort;
    rig.feed.reset();
    ASSERT_TRUE(rig.Until([&] { return rig.server->Feed(0)->m_eState != CFeedLink::STATE_UP; }));
    rig.feed = std::make_unique<CTestFeed>(nPort);
    ASSERT_TRUE(rig.feed->m_bOk);
    ASSERT_TRUE(rig.Until([&] { return rig.server->Feed(0)->m_eState == CFeedLink::STATE_UP; }));

    // The new connection never saw the start: the rest must not make a command there.
    ASSERT_TRUE(SendRaw(*rig.clients[0], parts[1]));
    ASSERT_TRUE(SendRaw(*rig.clients[0], parts[2]));
    CCommand mark("mark");
    ASSERT_NE(rig.clients[0]->m_conn.SendCommand(&mark), 0xFFFFFFFFu);
    ASSERT_TRUE(rig.Until([&] {
        return !rig.feed->m_vecCommands.empty() && rig.feed->m_vecCommands.back() == "mark";
    }));
    EXPECT_EQ(rig.feed->m_vecCommands, std::vector<std::string>{"mark"});
    EXPECT_EQ(rig.server->CommandsInParts(), 0u);
    // Its sender is told, once, before the answer to what it sent next.
    ASSERT_TRUE(rig.Until([&] {
        const auto& v = rig.clients[0]->m_vecResponses;
        return !v.empty() && v.back().GetCmdName() == "mark";
    }));
    const auto& responses = rig.clients[0]->m_vecResponses;
    ASSERT_EQ(responses.size(), 2u);
    EXPECT_EQ(responses[0].GetCmdName(), "bulk");
    EXPECT_EQ(responses[0].GetRequestId(), 500);
    EXPECT_EQ(const_cast<CResponse&>(responses[0]).GetStringParam("error"),
              "the feed handler was lost: main");

    // A client that goes away in the middle of a command leaves nothing of it behind.
    bulk.SetCmdId(rig.clients[1]->m_conn.GetCmdClientId(), 9);
    ASSERT_TRUE(SendRaw(*rig.clients[1], CommandMessages(bulk)[0]));
    ASSERT_TRUE(rig.Until([&] { return rig.server->CommandsInParts() == 1; }));
    rig.clients[1]->m_conn.Disconnect();
    ASSERT_TRUE(rig.Until([&] { return rig.server->ClientCount() == 1; }));
    EXPECT_EQ(rig.server->CommandsInParts(), 0u);
}

TEST(SymServerCommands, ClientsThatLeaveMidCommandLeaveNothingWhateverIdTheirCommandsCarry) {
    CRig rig(CSymSrvConfig(), 1);
    ASSERT_TRUE(rig.Until([&] {
        return AllLoggedOn(rig) && rig.server->Feed(0)->m_eState == CFeedLink::STATE_UP &&
               rig.clients[0]->m_conn.GetCmdClientId() != 0;
    }));
    CCommand bulk("bulk");
    for (int i = 0; i < 3000; ++i) {
        bulk.SetIntParam(("p" + std::to_string(i)).c_str(), i);
    }
    // Clients come, start a command in parts and go. Their commands carry id 0 (sent before
    // the id the server gives came back) or an id that is not theirs.
    const uint16_t nOther = rig.clients[0]->m_conn.GetCmdClientId();
    for (int i = 0; i < 6; ++i) {
        auto c = std::make_unique<CTestClient>();
        ASSERT_TRUE(c->Connect(rig.server->Port()));
        ASSERT_TRUE(rig.Until([&] {
            c->Poll();
            return c->LoggedOn() && c->m_conn.GetCmdClientId() != 0;
        }));
        bulk.SetCmdId(i % 2 == 0 ? 0 : static_cast<uint16_t>(nOther + 1000 + i),
                      static_cast<uint16_t>(100 + i));
        ASSERT_TRUE(SendRaw(*c, CommandMessages(bulk)[0]));
        CCommand mark("mark");  // answered once the start has been routed
        ASSERT_NE(c->m_conn.SendCommand(&mark), 0xFFFFFFFFu);
        ASSERT_TRUE(rig.Until([&] {
            c->Poll();
            return !c->m_vecResponses.empty();
        }));
        EXPECT_EQ(rig.server->CommandsInParts(), 1u) << "before client " << i;
        c->m_conn.Disconnect();
        c.reset();
        ASSERT_TRUE(rig.Until([&] { return rig.server->ClientCount() == 1; }));
        EXPECT_EQ(rig.server->CommandsInParts(), 0u) << "left behind by client " << i;
    }
    // A command in parts of the client that stayed still goes through whole.
    bulk.SetCmdId(nOther, 7);
    for (const std::string& part : CommandMessages(bulk)) {
        ASSERT_TRUE(SendRaw(*rig.clients[0], part));
    }
    ASSERT_TRUE(rig.Until([&] { return rig.clients[0]->m_vecResponses.size() == 1; }));
    int nParams = 0;
    EXPECT_TRUE(rig.clients[0]->m_vecResponses[0].GetIntParam("params", nParams));
    EXPECT_EQ(nParams, 3000);
    EXPECT_EQ(rig.feed->m_vecCommands.back(), "bulk");
    EXPECT_EQ(rig.feed->m_vecCommands.size(), 7u);
    EXPECT_EQ(rig.server->CommandsInParts(), 0u);
}

TEST(SymServerCommands, AClientThatOnlyStartsCommandsInPartsIsRefusedPastABound) {
    CRig rig(CSymSrvConfig(), 1);
    CTestClient& c = *rig.clients[0];
    ASSERT_TRUE(rig.Until([&] {
        return AllLoggedOn(rig) && rig.server->Feed(0)->m_eState == CFeedLink::STATE_UP &&
               c.m_conn.GetCmdClientId() != 0;
    }));
    CCommand bulk("bulk");
    for (int i = 0; i < 3000; ++i) {
        bulk.SetIntParam(("p" + std::to_string(i)).c_str(), i);
    }
    // Each start under ids of its own, and never the rest: every one would be waited for.
    const int nStarts = 200;
    for (int i = 0; i < nStarts; ++i) {
        bulk.SetCmdId(static_cast<uint16_t>(i % 2 == 0 ? c.m_conn.GetCmdClientId() : 0),
                      static_cast<uint16_t>(i));
        const std::string start = CommandMessages(bulk)[0];
        size_t nSent = 0;
        ASSERT_TRUE(rig.Until([&] {
            const ssize_t n = send(c.m_conn.GetFd(), start.data() + nSent, start.size() - nSent,
                                   MSG_NOSIGNAL | MSG_DONTWAIT);
            nSent += n > 0 ? static_cast<size_t>(n) : 0;
            return nSent == start.size();
        }));
    }
    CCommand mark("mark");
    ASSERT_NE(c.m_conn.SendCommand(&mark), 0xFFFFFFFFu);
    ASSERT_TRUE(rig.Until([&] {
        return !rig.feed->m_vecCommands.empty() && rig.feed->m_vecCommands.back() == "mark";
    }));
    const size_t nHeld = rig.server->CommandsInParts();
    EXPECT_LE(nHeld, 64u);
    EXPECT_GT(nHeld, 0u);
    // Those past the bound are refused to the client, and the one it sends whole still goes.
    ASSERT_TRUE(rig.Until([&] {
        return !c.m_vecResponses.empty() && c.m_vecResponses.back().GetCmdName() == "mark";
    }));
    size_t nRefused = 0;
    for (CResponse& r : c.m_vecResponses) {
        if (r.GetCmdName() == "bulk") {
            EXPECT_EQ(r.GetStringParam("error"), "too many commands in parts at once");
            ++nRefused;
        }
    }
    EXPECT_EQ(nRefused, static_cast<size_t>(nStarts) - nHeld);
    // The rest of one still held completes it.
    bulk.SetCmdId(c.m_conn.GetCmdClientId(), 0);
    const std::vector<std::string> parts = CommandMessages(bulk);
    for (size_t i = 1; i < parts.size(); ++i) {
        ASSERT_TRUE(SendRaw(c, parts[i]));
    }
    ASSERT_TRUE(rig.Until([&] { return rig.feed->m_vecCommands.back() == "bulk"; }));
    EXPECT_EQ(rig.server->CommandsInParts(), nHeld - 1);
}

TEST(SymServerLocalSockets, ClientsAndFeedHandlersMayUseLocalSockets) {
    const std::string strDir = testing::TempDir();
    const std::string strFeedPath = strDir + "symsrv_test_feed.sock";
    const std::string strSrvPath = strDir + "symsrv_test_srv.sock";
    class CLocalFeed : public CTestFeed {
    public:
        explicit CLocalFeed(const std::string& path) : CTestFeed(0) {
            m_bOk = InitializeU(path.c_str(), false, true, true, false);
        }
    };
    unlink(strFeedPath.c_str());
    CLocalFeed feed(strFeedPath);
    ASSERT_TRUE(feed.m_bOk);
    CSymSrvConfig cfg;
    cfg.m_nPort = 0;  // no TCP at all
    cfg.m_strUnixPath = strSrvPath;
    cfg.m_dblSummaryInterval = 0;
    CSymSrvFeedConfig f;
    ASSERT_TRUE(CSymSrvConfig::ParseAddress("unix:" + strFeedPath, f));
    f.m_strName = "local";
    cfg.m_vecFeeds.push_back(f);
    CSymServer server(cfg);
    ASSERT_TRUE(server.Start());
    EXPECT_EQ(server.Port(), 0);
    CTestClient client;
    client.m_conn.AddClient(&client);
    ASSERT_TRUE(client.m_conn.ConnectU(strSrvPath.c_str(), "user", "pw"));
    auto turn = [&] {
        feed.Poll();
        server.RunOnce(1);
        client.Poll();
    };
    for (int i = 0;
         i < 2000 && !(client.LoggedOn() && server.Feed(0)->m_eState == CFeedLink::STATE_UP); ++i) {
        turn();
    }
    ASSERT_TRUE(client.LoggedOn());
    client.m_conn.Subscribe("L1");
    for (int i = 0; i < 2000 && feed.m_vecSubs.empty(); ++i) {
        turn();
    }
    ASSERT_EQ(feed.m_vecSubs, std::vector<std::string>{"L1"});
    feed.Publish("L1", 9);
    feed.Flush(false, nullptr);
    for (int i = 0; i < 2000 && client.m_nUpdates == 0; ++i) {
        turn();
    }
    EXPECT_EQ(client.m_mUpdates["L1"], std::vector<int>{9});
}

TEST(SymServerLoop, AStopThatComesBeforeRunEndsItAsSoonAsItBegins) {
    CRig rig;
    ASSERT_TRUE(rig.bStarted);
    // As a signal that comes between the start and the loop does.
    rig.server->Stop();
    std::mutex mtx;
    std::condition_variable cv;
    bool bReturned = false;
    std::atomic<bool> bNudged{false};
    std::thread watchdog([&] {
        // Bounds the test should Run() not see the stop: it is then asked again.
        std::unique_lock<std::mutex> lock(mtx);
        if (!cv.wait_for(lock, std::chrono::seconds(20), [&] { return bReturned; })) {
            bNudged = true;
            rig.server->Stop();
        }
    });
    rig.server->Run();
    {
        std::lock_guard<std::mutex> lock(mtx);
        bReturned = true;
    }
    cv.notify_all();
    watchdog.join();
    EXPECT_FALSE(bNudged) << "Run() went on after the Stop() that came before it";
    // A later Run() serves again until its own Stop().
    CTestClient c;
    ASSERT_TRUE(c.Connect(rig.server->Port()));
    std::thread stopper([&] {
        // The logon's answer shows the loop running; the client is touched only here.
        while (!c.LoggedOn()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            c.Poll();
        }
        rig.server->Stop();
    });
    rig.server->Run();
    stopper.join();
    EXPECT_EQ(rig.server->ClientCount(), 1u);
}

TEST(SymServerClients, ClientsAnswerTheServersHeartbeatsAndTheMetricsCountThem) {
    CSymSrvConfig cfg;
    cfg.m_dblHeartbeatInterval = 0.01;
    CRig rig(cfg, 1);
    ASSERT_TRUE(rig.Until([&] { return AllLoggedOn(rig); }));
    // Only the logon came from the client; every later message is an answered heartbeat.
    auto messagesIn = [&] {
        const std::string m = rig.server->MetricsText();
        const size_t at = m.find("qrx_symsrv_client_messages_in_total{");
        return at == std::string::npos ? -1L : atol(m.c_str() + m.find("} ", at) + 2);
    };
    EXPECT_GE(messagesIn(), 1L);
    ASSERT_TRUE(rig.Until([&] { return messagesIn() >= 4; }));
    EXPECT_NE(
        rig.server->MetricsText().find("qrx_symsrv_client_queue_bytes{client=\"1\",user=\"user\""),
        std::string::npos);
}

TEST(SymServerClients, SubscriptionsPastTheTopicLimitAreRefused) {
    CSymSrvConfig cfg;
    cfg.m_nMaxTopics = 3;
    CRig rig(cfg, 1);
    ASSERT_TRUE(rig.Until([&] { return AllLoggedOn(rig); }));
    for (const char* t : {"T1", "T2", "T3", "T4", "T5", "T1"}) {
        rig.clients[0]->m_conn.Subscribe(t);
    }
    ASSERT_TRUE(rig.Until([&] { return rig.clients[0]->m_vecSymStatus.size() == 2; }));
    EXPECT_EQ(rig.clients[0]->m_vecSymStatus[0], std::make_pair(SYM_SUBS_ERROR, std::string("T4")));
    EXPECT_EQ(rig.clients[0]->m_vecSymStatus[1], std::make_pair(SYM_SUBS_ERROR, std::string("T5")));
    EXPECT_EQ(rig.server->TopicCount(), 3u);
    EXPECT_EQ(rig.server->FindTopic("T1")->m_nRefs, 1);
}

TEST(SymServerClients, TopicsNobodyHoldsAnyMoreMakeRoomForNewOnes) {
    CSymSrvConfig cfg = FastReconnect();
    cfg.m_nMaxTopics = 4;
    const int nFeedPort = FreeLoopbackPort();
    CSymSrvFeedConfig served = LoopbackFeed("main", nFeedPort);
    served.m_vecPrefixes.push_back("T");  // "X..." topics are served by nobody
    cfg.m_vecFeeds.push_back(served);
    CRig rig(cfg, 1);
    rig.feed = std::make_unique<CTestFeed>(nFeedPort);
    ASSERT_TRUE(rig.Until([&] { return AllLoggedOn(rig); }));
    CTestClient& c = *rig.clients[0];
    auto last = [&](const std::string& t) {
        const auto it = c.m_mUpdates.find(t);
        return it == c.m_mUpdates.end() || it->second.empty() ? -1 : it->second.back();
    };
    // Far more topics than the limit come and go, served ones and ones nobody serves.
    for (int i = 0; i < 40; ++i) {
        const std::string t = (i % 4 == 3 ? "X" : "T") + std::to_string(i);
        c.m_conn.Subscribe(t.c_str());
        if (t[0] == 'X') {
            // Refused, and not held.
            ASSERT_TRUE(rig.Until([&] {
                return !c.m_vecSymStatus.empty() && c.m_vecSymStatus.back().second == t;
            })) << t;
            EXPECT_EQ(rig.server->FindTopic(t.c_str()), nullptr) << t;
            continue;
        }
        ASSERT_TRUE(rig.Until([&] {
            const CTopicEntry* e = rig.server->FindTopic(t.c_str());
            return e != nullptr && e->m_nRefs == 1;
        })) << t;
        ASSERT_TRUE(rig.Until([&] {
            return !rig.feed->m_vecSubs.empty() && rig.feed->m_vecSubs.back() == t;
        })) << t;
        rig.feed->Publish(t.c_str(), i);
        rig.feed->Flush(false, nullptr);
        ASSERT_TRUE(rig.Until([&] { return last(t) == i; })) << t;
        c.m_conn.Unsubscribe(t.c_str());
        ASSERT_TRUE(rig.Until([&] { return rig.server->FindTopic(t.c_str()) == nullptr; })) << t;
    }
    EXPECT_EQ(rig.server->TopicCount(), 0u);
    // None of the served ones was refused, and one taken again later is served again.
    for (const auto& st : c.m_vecSymStatus) {
        EXPECT_EQ(st.second.substr(0, 1), "X") << st.second;
    }
    // Topics nobody serves, never dropped, take no room either.
    for (int i = 0; i < 10; ++i) {
        c.m_conn.Subscribe(("X" + std::to_string(100 + i)).c_str());
    }
    c.m_conn.Subscribe("T0");
    ASSERT_TRUE(rig.Until([&] { return rig.feed->m_vecSubs.back() == "T0"; }));
    rig.feed->Publish("T0", 100);
    rig.feed->Flush(false, nullptr);
    ASSERT_TRUE(rig.Until([&] { return last("T0") == 100; }));
    EXPECT_EQ(rig.server->FindTopic("T0")->m_nRefs, 1);
    const std::string metrics = rig.server->MetricsText();
    EXPECT_EQ(MetricValue(metrics, "qrx_symsrv_topics"), 1);
    EXPECT_EQ(metrics.find("topic=\"T1\""), std::string::npos);
}

TEST(SymServerClients, TopicsThatComeAndGoTakeNoRoomWhileAnotherClientSubscribesToAll) {
    CSymSrvConfig cfg = FastReconnect();
    cfg.m_nMaxTopics = 4;
    const int nFeedPort = FreeLoopbackPort();
    CSymSrvFeedConfig served = LoopbackFeed("main", nFeedPort);
    served.m_vecPrefixes.push_back("T");  // "X..." topics are served by nobody
    cfg.m_vecFeeds.push_back(served);
    CRig rig(cfg, 2);
    rig.feed = std::make_unique<CTestFeed>(nFeedPort);
    ASSERT_TRUE(rig.Until(
        [&] { return AllLoggedOn(rig) && rig.server->Feed(0)->m_eState == CFeedLink::STATE_UP; }));
    // A recorder holds everything the feed handler has.
    CTestClient& all = *rig.clients[0];
    all.m_conn.SubscribeAll();
    ASSERT_TRUE(rig.Until([&] { return rig.feed->m_vecSubs.size() == 1; }));
    rig.feed->Publish("T-kept", 1);
    rig.feed->Flush(false, nullptr);
    ASSERT_TRUE(rig.Until([&] { return all.m_mUpdates["T-kept"] == std::vector<int>{1}; }));

    // Another client asks for topics nobody serves, and for served ones that never see an
    // update (symbols the feed handler does not know), far more of them than the limit.
    CTestClient& c = *rig.clients[1];
    for (int i = 0; i < 12; ++i) {
        const std::string strRefused = "X" + std::to_string(i);
        const std::string strQuiet = "T" + std::to_string(i);
        c.m_conn.Subscribe(strRefused.c_str());
        c.m_conn.Subscribe(strQuiet.c_str());
        ASSERT_TRUE(rig.Until([&] {
            return !rig.feed->m_vecSubs.empty() && rig.feed->m_vecSubs.back() == strQuiet;
        })) << strQuiet;
        c.m_conn.Unsubscribe(strQuiet.c_str());
        ASSERT_TRUE(rig.Until([&] {
            return !rig.feed->m_vecUnsubs.empty() && rig.feed->m_vecUnsubs.back() == strQuiet;
        })) << strQuiet;
        ASSERT_TRUE(rig.Until([&] { return rig.server->FindTopic(strQuiet.c_str()) == nullptr; }))
            << strQuiet << " is still held";
        EXPECT_EQ(rig.server->FindTopic(strRefused.c_str()), nullptr) << strRefused;
    }
    // Only the recorder's topic is held, and a new subscription is served.
    EXPECT_EQ(rig.server->TopicCount(), 1u);
    c.m_conn.Subscribe("T-new");
    ASSERT_TRUE(rig.Until([&] { return rig.feed->m_vecSubs.back() == "T-new"; }));
    rig.feed->Publish("T-new", 5);
    rig.feed->Publish("T-kept", 2);
    rig.feed->Flush(false, nullptr);
    ASSERT_TRUE(rig.Until([&] { return c.m_mUpdates["T-new"] == std::vector<int>{5}; }));
    ASSERT_TRUE(rig.Until([&] { return all.m_mUpdates["T-kept"] == std::vector<int>({1, 2}); }));
    EXPECT_EQ(all.m_mUpdates["T-new"], std::vector<int>{5});
    for (const auto& st : c.m_vecSymStatus) {
        EXPECT_EQ(st.second.substr(0, 1), "X") << st.second << " was refused";
    }
}

namespace {

// A bare TCP connection to the server that says nothing.
int SilentConnection(int nPort) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(nPort));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// True once the server has closed fd (a read sees the end).
bool ClosedByServer(int fd) {
    char c;
    const ssize_t n = recv(fd, &c, 1, MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

}  // namespace

TEST(SymServerClients, ConnectionsThatNeverLogOnOrPassTheClientBoundAreClosed) {
    CSymSrvConfig cfg;
    cfg.m_dblLogonTimeout = 0.2;
    cfg.m_nMaxClients = 3;
    CRig rig(cfg, 1);
    ASSERT_TRUE(rig.bStarted);
    ASSERT_TRUE(rig.Until([&] { return AllLoggedOn(rig); }));

    const int silent = SilentConnection(rig.server->Port());
    ASSERT_GE(silent, 0);
    ASSERT_TRUE(rig.Until([&] { return rig.server->ClientCount() == 2; }));
    // Two clients now: one more fits, the one after it does not.
    const int third = SilentConnection(rig.server->Port());
    const int fourth = SilentConnection(rig.server->Port());
    ASSERT_GE(third, 0);
    ASSERT_GE(fourth, 0);
    ASSERT_TRUE(rig.Until([&] { return ClosedByServer(fourth); }));
    EXPECT_EQ(rig.server->ClientsRefused(), 1u);
    EXPECT_FALSE(ClosedByServer(silent));

    // Past the logon time-out the silent ones go; the logged-on client stays.
    ASSERT_TRUE(rig.Until([&] { return ClosedByServer(silent) && ClosedByServer(third); }, 200000));
    ASSERT_TRUE(rig.Until([&] { return rig.server->ClientCount() == 1; }));
    EXPECT_TRUE(rig.clients[0]->LoggedOn());
    close(silent);
    close(third);
    close(fourth);
}

TEST(SymServerClients, MetricsConnectionsAreBoundedInNumberAndTime) {
    CSymSrvConfig cfg;
    cfg.m_nMetricsPort = FreeLoopbackPort();
    CRig rig(cfg, 0);
    ASSERT_TRUE(rig.bStarted);
    const int nPort = rig.server->MetricsPort();
    ASSERT_GT(nPort, 0);
    // Connections that ask nothing: past 32 at once they are closed as they come.
    std::vector<int> silent;
    for (int i = 0; i < 32; ++i) {
        silent.push_back(SilentConnection(nPort));
        ASSERT_GE(silent.back(), 0);
    }
    ASSERT_TRUE(rig.Until([&] { return rig.server->MetricsConnections() == 32; }));
    const int extra = SilentConnection(nPort);
    ASSERT_GE(extra, 0);
    ASSERT_TRUE(rig.Until([&] { return ClosedByServer(extra); }));
    EXPECT_FALSE(ClosedByServer(silent.front()));
    // Given up once they have had their time (seconds), which makes room for a scrape.
    ASSERT_TRUE(rig.Until([&] { return ClosedByServer(silent.back()); }, 2000000));
    ASSERT_TRUE(rig.Until([&] { return rig.server->MetricsConnections() == 0; }));
    const int scrape = SilentConnection(nPort);
    const std::string get = "GET /metrics HTTP/1.0\r\n\r\n";
    ASSERT_EQ(send(scrape, get.data(), get.size(), MSG_NOSIGNAL), ssize_t(get.size()));
    std::string answer;
    ASSERT_TRUE(rig.Until([&] {
        char buf[4096];
        const ssize_t n = recv(scrape, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
            answer.append(buf, static_cast<size_t>(n));
        }
        return n == 0;
    }));
    EXPECT_EQ(answer.rfind("HTTP/1.0 200 OK", 0), 0u);
    for (int fd : silent) {
        close(fd);
    }
    close(extra);
    close(scrape);
}
