// A client that stops reading: what waits for it is kept in the room it needs, publishing does
// not wait for its socket, its updates are conflated past the high-water mark and it converges
// to the latest state once it reads again; past the bounds it is dropped and the next client is
// served.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <poll.h>

#include <map>
#include <string>
#include <vector>

#include "proxy/sym_peer.h"
#include "qrx/wire/sym_msgs.h"

using namespace proxytest;

// Counts the polls of the calling thread that may wait, so a test can tell whether publishing
// waited for the socket. The peer's reader thread polls too; its calls are not counted here.
namespace {
thread_local long t_nWaitingPolls = 0;
}

extern "C" int poll(struct pollfd* fds, nfds_t nfds, int timeout) {
    using PollFn = int (*)(struct pollfd*, nfds_t, int);
    static PollFn real = reinterpret_cast<PollFn>(dlsym(RTLD_NEXT, "poll"));
    if (timeout != 0) {
        ++t_nWaitingPolls;
    }
    return real(fds, nfds, timeout);
}

namespace {

constexpr int kSeq = CSymData::flid_trade_time;  // an int field carrying a sequence number
constexpr int kPrice = CSymData::flid_bid;

bool SubscribeAll(TestProxy& proxy, SymPeer& peer, int nRcvBuf) {
    const size_t nBefore = proxy.subscribed.size();
    return ConnectAndLogon(proxy, peer, nRcvBuf) && peer.SendBare(CM_SYM_SUBSCRIBE_ALL) &&
           Pump(proxy, [&] { return proxy.subscribed.size() > nBefore; });
}

void PublishSeq(TestProxy& proxy, const std::string& topic, int nSeq) {
    HTICK t = proxy.CreateTick(topic.c_str());
    proxy.SetTickField(t, kSeq, nSeq);
    proxy.SetTickField(t, kPrice, nSeq * 0.5);
}

std::string TopicName(int i) {
    return "T" + std::to_string(i);
}

// Per topic, the sequence numbers of the updates received, in order.
std::map<std::string, std::vector<int>> SeqsByTopic(const std::vector<PeerMsg>& msgs) {
    std::map<std::string, std::vector<int>> out;
    for (const auto& m : msgs) {
        if (m.mtyp != CM_SYM_DATA || m.sub != SYM_DATA_UPDATE) {
            continue;
        }
        for (const auto& r : Records(m)) {
            out[TopicOf(r)].push_back(r.GetFlidIntOrDefault(kSeq, -1));
        }
    }
    return out;
}

bool HoldsLatest(const std::vector<PeerMsg>& msgs, const std::map<std::string, int>& latest) {
    const auto seqs = SeqsByTopic(msgs);
    for (const auto& [topic, nSeq] : latest) {
        const auto it = seqs.find(topic);
        if (it == seqs.end() || it->second.empty() || it->second.back() != nSeq) {
            return false;
        }
    }
    return true;
}

}  // namespace

TEST(SymProxyBacklogTest, shouldKeepUnwrittenMessagesInTheRoomTheyNeedAndReturnTheirBuffers) {
    TestProxy proxy;
    ASSERT_TRUE(proxy.Listen());
    SymPeer peer;
    ASSERT_TRUE(SubscribeAll(proxy, peer, 4096));
    peer.Pause(true);
    const int nTicks = 20000;
    for (int i = 0; i < nTicks; ++i) {
        PublishSeq(proxy, "S", i);
        proxy.Flush(false, nullptr);
    }
    const int nPending = proxy.GetNumPendingMessages();
    ASSERT_GT(nPending, nTicks / 2) << "the paused socket should have refused most of them";
    // A one-record message is some fifty bytes: each waits in little more than that, not in a
    // buffer of its own.
    EXPECT_LT(proxy.GetPendingBytes(), static_cast<size_t>(nPending) * 96);
    auto& msgPool = proxy.Pools()->m_MsgBufPool;
    EXPECT_LT(msgPool.GetTotalCreated(), 1000);
    EXPECT_EQ(msgPool.GetNumFree(), msgPool.GetTotalCreated());

    peer.Pause(false);
    ASSERT_TRUE(Pump(
        proxy, [&] { return proxy.GetNumPendingMessages() == 0; }, 4000));
    ASSERT_TRUE(peer.WaitFor([&](const std::vector<PeerMsg>& msgs) {
        const auto seqs = SeqsByTopic(msgs);
        return seqs.count("S") != 0 && seqs.at("S").size() == static_cast<size_t>(nTicks);
    }));
    const auto seqs = SeqsByTopic(peer.All()).at("S");
    for (int i = 0; i < nTicks; ++i) {
        ASSERT_EQ(seqs[i], i);
    }
}

TEST(SymProxyBacklogTest, shouldNotWaitForTheSocketWhileOlderOutputWaits) {
    TestProxy proxy;
    ASSERT_TRUE(proxy.Listen());
    SymPeer peer;
    ASSERT_TRUE(SubscribeAll(proxy, peer, 4096));
    peer.Pause(true);
    for (int i = 0; i < 5000 && proxy.GetNumPendingMessages() == 0; ++i) {
        PublishSeq(proxy, "S", i);
        proxy.Flush(false, nullptr);
    }
    ASSERT_GT(proxy.GetNumPendingMessages(), 0);
    const long nBefore = t_nWaitingPolls;
    for (int i = 0; i < 1000; ++i) {
        PublishSeq(proxy, "S", i);
        proxy.Flush(false, nullptr);
    }
    EXPECT_EQ(t_nWaitingPolls - nBefore, 0) << "a flush waited for a socket that does not read";
    EXPECT_TRUE(proxy.WantsWrite());
}

TEST(SymProxyBacklogTest, shouldConflateASlowClientAndBringItToTheLatestStateOnceItReads) {
    TestProxy proxy;
    ASSERT_TRUE(proxy.Listen());
    const long nHighWater = 256 * 1024;
    proxy.SetBacklogLimits(nHighWater, 64L << 20);
    SymPeer peer;
    ASSERT_TRUE(SubscribeAll(proxy, peer, 4096));
    peer.Pause(true);

    testing::internal::CaptureStderr();
    const int nTopics = 1000;
    const int nTicks = 200000;
    std::map<std::string, int> latest;
    size_t nMaxPending = 0;
    for (int i = 0; i < nTicks; ++i) {
        const std::string topic = TopicName((i * 7) % nTopics);
        PublishSeq(proxy, topic, i);
        latest[topic] = i;
        if (i % 100 == 99) {
            proxy.Flush(false, nullptr);
            nMaxPending = std::max(nMaxPending, proxy.GetPendingBytes());
        }
    }
    EXPECT_TRUE(proxy.IsConflating());
    EXPECT_EQ(proxy.lostClient, 0);
    EXPECT_EQ(proxy.GetCounters().nBacklogDrops, 0u);
    EXPECT_EQ(proxy.GetCounters().nConflations, 1u);
    EXPECT_GT(proxy.GetCounters().nConflatedTicks, static_cast<unsigned long long>(nTicks / 2));
    // Bounded by the mark, give or take one flush's messages.
    EXPECT_LT(nMaxPending, static_cast<size_t>(nHighWater) + 64 * 1024);

    // Nothing more is published: the backlog and the owed topics leave as the client reads.
    peer.Pause(false);
    ASSERT_TRUE(Pump(
        proxy, [&] { return !proxy.WantsWrite() && HoldsLatest(peer.All(), latest); }, 8000));
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(proxy.IsConflating());
    EXPECT_EQ(proxy.GetDirtyTopicCount(), 0u);
    EXPECT_EQ(proxy.GetCounters().nConflatedTopics, static_cast<unsigned long long>(nTopics));
    EXPECT_NE(log.find("conflating updates"), std::string::npos) << log;
    EXPECT_NE(log.find("Client caught up: 1000 topics sent as their current state"),
              std::string::npos)
        << log;

    // Per topic the values only move forward, and the last one is the latest published, with
    // its fields as the snapshot merged them.
    const auto all = peer.All();
    for (const auto& [topic, seqs] : SeqsByTopic(all)) {
        for (size_t k = 1; k < seqs.size(); ++k) {
            ASSERT_LT(seqs[k - 1], seqs[k]) << topic;
        }
    }
    for (auto it = all.rbegin(); it != all.rend(); ++it) {
        if (it->mtyp == CM_SYM_DATA && it->sub == SYM_DATA_UPDATE) {
            const auto recs = Records(*it);
            ASSERT_FALSE(recs.empty());
            const auto& last = recs.back();
            EXPECT_EQ(last.GetFlidDoubleOrDefault(kPrice, -1), latest[TopicOf(last)] * 0.5);
            break;
        }
    }
    auto& msgPool = proxy.Pools()->m_MsgBufPool;
    EXPECT_EQ(msgPool.GetNumFree(), msgPool.GetTotalCreated());
}

TEST(SymProxyBacklogTest, shouldDropASlowClientPastTheMarkWithoutASnapshotCacheAndServeTheNext) {
    TestProxy proxy;
    ASSERT_TRUE(proxy.Listen(false, false));
    proxy.SetBacklogLimits(64 * 1024, 1L << 20);
    SymPeer peer;
    ASSERT_TRUE(SubscribeAll(proxy, peer, 4096));
    peer.Pause(true);
    testing::internal::CaptureStderr();
    for (int i = 0; i < 100000 && proxy.lostClient == 0; ++i) {
        PublishSeq(proxy, TopicName(i % 100), i);
        proxy.Flush(false, nullptr);
    }
    const std::string log = testing::internal::GetCapturedStderr();
    ASSERT_EQ(proxy.lostClient, 1);
    EXPECT_NE(log.find("past the high-water mark, with no snapshot cache to conflate from, of "
                       "65536 bytes"),
              std::string::npos)
        << log;
    EXPECT_EQ(proxy.GetCounters().nBacklogDrops, 1u);
    EXPECT_EQ(proxy.GetPendingBytes(), 0u);
    EXPECT_TRUE(proxy.IsListening());
    peer.Pause(false);
    EXPECT_TRUE(peer.WaitClosed());

    SymPeer next;
    ASSERT_TRUE(SubscribeAll(proxy, next, 0));
    PublishSeq(proxy, "N", 1);
    proxy.Flush(false, nullptr);
    EXPECT_EQ(next.WaitData(1).size(), 1u);
}

TEST(SymProxyBacklogTest, shouldDropAClientPastTheBacklogLimitAndServeTheNext) {
    TestProxy proxy;
    ASSERT_TRUE(proxy.Listen());
    proxy.SetBacklogLimits(32 * 1024, 32 * 1024);
    // A cache large enough that its snapshot alone passes the limit.
    const std::string pad(100, 'x');
    for (int i = 0; i < 2000; ++i) {
        HTICK t = proxy.CreateTick(TopicName(i).c_str());
        proxy.SetTickField(t, CSymData::flid_company_name, pad.c_str());
    }
    proxy.Flush(false, nullptr);
    SymPeer peer;
    ASSERT_TRUE(ConnectAndLogon(proxy, peer, 4096));
    peer.Pause(true);
    testing::internal::CaptureStderr();
    ASSERT_TRUE(peer.SendBare(CM_SYM_SUBSCRIBE_ALL));
    ASSERT_TRUE(Pump(proxy, [&] { return proxy.lostClient == 1; }));
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("past the backlog limit of 32768 bytes"), std::string::npos) << log;
    EXPECT_TRUE(proxy.IsListening());

    SymPeer next;
    ASSERT_TRUE(ConnectAndLogon(proxy, next, 0));
    ASSERT_TRUE(next.SendTopicMsg(CM_SYM_SUBSCRIBE, "T7"));
    ASSERT_TRUE(Pump(proxy, [&] {
        const auto snaps = Select(next.All(), CM_SYM_DATA, SYM_DATA_SNAPSHOT);
        return snaps.size() == 1 && TopicOf(Records(snaps[0]).at(0)) == "T7";
    }));
}
