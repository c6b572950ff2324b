// Write coalescing: with a write delay, flushes that follow a write closely keep their messages
// back and one write sends them together, in order; a slow publisher, a due delay, a full hold,
// the caller's loop or a status message each let them go.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "proxy/sym_peer.h"
#include "qrx/wire/command_serialization.h"
#include "qrx/wire/response.h"
#include "qrx/wire/sym_msgs.h"

using namespace proxytest;

// Counts the calling thread's sendmsg calls: the writes a flush made.
namespace {
thread_local long t_nSendmsgs = 0;
}

extern "C" ssize_t sendmsg(int fd, const struct msghdr* msg, int flags) {
    using SendmsgFn = ssize_t (*)(int, const struct msghdr*, int);
    static SendmsgFn real = reinterpret_cast<SendmsgFn>(dlsym(RTLD_NEXT, "sendmsg"));
    ++t_nSendmsgs;
    return real(fd, msg, flags);
}

namespace {

constexpr int kSeq = CSymData::flid_trade_time;
constexpr long kLong = 60L * 1000 * 1000;  // a delay no test waits out

void PublishSeq(TestProxy& proxy, const std::string& topic, int nSeq) {
    HTICK t = proxy.CreateTick(topic.c_str());
    proxy.SetTickField(t, kSeq, nSeq);
    proxy.Flush(false, nullptr);
}

std::vector<int> Seqs(const std::vector<PeerMsg>& msgs) {
    std::vector<int> out;
    for (const auto& m : Select(msgs, CM_SYM_DATA, SYM_DATA_UPDATE)) {
        for (const auto& r : Records(m)) {
            out.push_back(r.GetFlidIntOrDefault(kSeq, -1));
        }
    }
    return out;
}

std::vector<int> Range(int nFrom, int nTo) {
    std::vector<int> out;
    for (int i = nFrom; i < nTo; ++i) {
        out.push_back(i);
    }
    return out;
}

class SymProxyWriteDelayTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(proxy.Listen());
        ASSERT_TRUE(ConnectAndLogon(proxy, peer));
        ASSERT_TRUE(peer.SendTopicMsg(CM_SYM_SUBSCRIBE, "S"));
        ASSERT_TRUE(Pump(proxy, [&] { return !proxy.subscribed.empty(); }));
    }
    // Waits until the peer holds n updates of S.
    std::vector<int> Received(size_t n) {
        peer.WaitFor([&](const std::vector<PeerMsg>& m) { return Seqs(m).size() >= n; });
        return Seqs(peer.All());
    }
    TestProxy proxy;
    SymPeer peer;
};

}  // namespace

TEST_F(SymProxyWriteDelayTest, shouldSendFlushesThatFollowAWriteInOneWriteOnceTheLoopServesIt) {
    proxy.SetWriteDelay(kLong);
    const long nBefore = t_nSendmsgs;
    const unsigned long long nWritten = proxy.GetCounters().nMsgsWritten;
    // The logon answer was the last write: every flush since comes within the delay.
    for (int i = 0; i < 20; ++i) {
        PublishSeq(proxy, "S", i);
    }
    EXPECT_EQ(t_nSendmsgs, nBefore) << "a kept flush wrote";
    EXPECT_EQ(proxy.GetCounters().nMsgsWritten, nWritten);
    EXPECT_TRUE(proxy.HoldsOutput());
    EXPECT_TRUE(proxy.WantsWrite()) << "a loop must come back for what is kept";

    // The caller's loop finds the socket writable: everything goes, in one write of one
    // message, as one flush of the twenty ticks would send them.
    const size_t nMsgsBefore = Select(peer.All(), CM_SYM_DATA, SYM_DATA_UPDATE).size();
    ASSERT_TRUE(Pump(proxy, [&] { return !proxy.WantsWrite(); }));
    EXPECT_EQ(t_nSendmsgs - nBefore, 1);
    EXPECT_FALSE(proxy.HoldsOutput());
    EXPECT_EQ(Received(20), Range(0, 20));
    EXPECT_EQ(Select(peer.All(), CM_SYM_DATA, SYM_DATA_UPDATE).size(), nMsgsBefore + 1);
}

TEST_F(SymProxyWriteDelayTest, shouldWriteWhatIsKeptOnceTheDelayIsDueOrTheHoldIsFull) {
    proxy.SetWriteDelay(kLong);
    PublishSeq(proxy, "S", 0);
    PublishSeq(proxy, "S", 1);
    PublishSeq(proxy, "S", 2);
    ASSERT_TRUE(proxy.HoldsOutput());
    // Due: the next flush writes the kept one and its own together.
    proxy.SetWriteDelay(1000);
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
    PublishSeq(proxy, "S", 3);
    EXPECT_FALSE(proxy.HoldsOutput());
    EXPECT_EQ(proxy.GetNumPendingMessages(), 0);
    EXPECT_EQ(Received(4), Range(0, 4));

    // Full: with a delay never due, flushes write once the kept bytes reach the bound.
    proxy.SetWriteDelay(kLong);
    PublishSeq(proxy, "S", 4);
    const unsigned long long nWritten = proxy.GetCounters().nMsgsWritten;
    int n = 5;
    while (proxy.GetCounters().nMsgsWritten == nWritten && n < 100000) {
        PublishSeq(proxy, "S", n++);
    }
    EXPECT_GT(proxy.GetCounters().nMsgsWritten, nWritten);
    EXPECT_GT(n, 100) << "it should have kept a good number back first";
    EXPECT_LT(n, 100000) << "the hold should be bounded";
    EXPECT_LE(proxy.GetPendingBytes(), CSymProxy::kWriteHoldBytes);
    ASSERT_TRUE(Pump(proxy, [&] { return !proxy.WantsWrite(); }));
    EXPECT_EQ(Received(static_cast<size_t>(n)), Range(0, n));
}

TEST_F(SymProxyWriteDelayTest, shouldWriteAtOnceForAPublisherSlowerThanTheDelay) {
    proxy.SetWriteDelay(1000);
    for (int i = 0; i < 5; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        const long nBefore = t_nSendmsgs;
        PublishSeq(proxy, "S", i);
        EXPECT_EQ(t_nSendmsgs - nBefore, 1) << "tick " << i;
        EXPECT_FALSE(proxy.HoldsOutput());
    }
    EXPECT_EQ(Received(5), Range(0, 5));
}

TEST_F(SymProxyWriteDelayTest, shouldKeepOrderWithStatusMessagesAndForgetWhatIsKeptWithTheClient) {
    proxy.SetWriteDelay(kLong);
    PublishSeq(proxy, "S", 0);
    PublishSeq(proxy, "S", 1);
    PublishSeq(proxy, "S", 2);
    ASSERT_TRUE(proxy.HoldsOutput());
    // A status message goes out at once, behind what was kept.
    ASSERT_TRUE(proxy.SendSourceStatus(false, "down"));
    EXPECT_FALSE(proxy.HoldsOutput());
    ASSERT_TRUE(peer.WaitFor([](const std::vector<PeerMsg>& m) {
        return !Select(m, CM_SYM_STATUS, SYM_STATUS_SOURCE_DOWN).empty();
    }));
    const auto all = peer.All();
    ASSERT_EQ(Seqs(all), Range(0, 3));
    EXPECT_EQ(all.back().mtyp, CM_SYM_STATUS);

    // The client goes while ticks are kept: they go with it, and the next client starts clean.
    PublishSeq(proxy, "S", 3);
    ASSERT_TRUE(proxy.HoldsOutput());
    ASSERT_TRUE(proxy.CloseClient());
    EXPECT_FALSE(proxy.HoldsOutput());
    SymPeer next;
    ASSERT_TRUE(ConnectAndLogon(proxy, next));
    EXPECT_FALSE(proxy.WantsWrite());
    EXPECT_EQ(proxy.GetPendingBytes(), 0u);
    EXPECT_TRUE(next.WaitFor([](const std::vector<PeerMsg>& m) { return !m.empty(); }));
    EXPECT_TRUE(Seqs(next.All()).empty());
}

TEST_F(SymProxyWriteDelayTest, shouldPublishWhatIsKeptBeforeAnImageSoTheImageHoldsIt) {
    proxy.SetWriteDelay(kLong);
    for (int i = 1; i <= 3; ++i) {
        PublishSeq(proxy, "S", i);
    }
    ASSERT_TRUE(proxy.HoldsOutput());
    ASSERT_TRUE(proxy.SendSnapshot("S"));
    ASSERT_TRUE(Pump(proxy, [&] { return !proxy.WantsWrite(); }));
    ASSERT_TRUE(peer.WaitFor([](const std::vector<PeerMsg>& m) {
        return !Select(m, CM_SYM_DATA, SYM_DATA_SNAPSHOT).empty();
    }));
    const auto all = peer.All();
    EXPECT_EQ(Seqs(all), Range(1, 4));
    const auto images = Select(all, CM_SYM_DATA, SYM_DATA_SNAPSHOT);
    ASSERT_EQ(images.size(), 1u);
    ASSERT_EQ(Records(images[0]).size(), 1u);
    EXPECT_EQ(Records(images[0])[0].GetFlidIntOrDefault(kSeq, -1), 3);
    EXPECT_EQ(proxy.GetCounters().nTicksFlushed, 4u);
}

TEST_F(SymProxyWriteDelayTest, shouldSendAResponseBehindTheTicksFlushedBeforeIt) {
    proxy.SetWriteDelay(kLong);
    PublishSeq(proxy, "S", 0);
    PublishSeq(proxy, "S", 1);
    ASSERT_TRUE(proxy.HoldsOutput());
    // Published, then answered: the client must see them in that order, as without a delay.
    CResponse rsp("done");
    ASSERT_TRUE(proxy.SendResponse(&rsp));
    ASSERT_TRUE(proxy.Flush(false, nullptr));
    ASSERT_TRUE(Pump(proxy, [&] { return !proxy.WantsWrite(); }));
    ASSERT_TRUE(peer.WaitFor([](const std::vector<PeerMsg>& m) {
        return Seqs(m).size() >= 2 && !Select(m, CM_SYM_RESPONSE, SYM_RSP_WHOLE).empty();
    }));
    const auto all = peer.All();
    EXPECT_EQ(Seqs(all), Range(0, 2));
    EXPECT_EQ(all.back().mtyp, CM_SYM_RESPONSE);
}

TEST(SymProxyWriteDelayBoundsTest, shouldNotCountWhatItKeepsBackAsTheBacklogOfASlowClient) {
    // Queued mode keeps encoded messages back; bounds below what the delay may keep.
    for (const bool bKeepSnapShot : {false, true}) {
        SCOPED_TRACE(bKeepSnapShot ? "with a snapshot cache" : "without a snapshot cache");
        TestProxy proxy;
        ASSERT_TRUE(proxy.Listen(true, bKeepSnapShot));
        proxy.SetBacklogLimits(2048, 4096);
        SymPeer peer;
        ASSERT_TRUE(ConnectAndLogon(proxy, peer));
        ASSERT_TRUE(peer.SendTopicMsg(CM_SYM_SUBSCRIBE, "S"));
        ASSERT_TRUE(Pump(proxy, [&] { return !proxy.subscribed.empty(); }));
        proxy.SetWriteDelay(kLong);

        constexpr int kTicks = 400;  // far more bytes than the bounds
        for (int i = 0; i < kTicks; ++i) {
            HTICK t = proxy.CreateTick("S");
            proxy.SetTickField(t, kSeq, i);
            proxy.PushbackTick(t);
            proxy.Flush(false, nullptr);
        }
        ASSERT_TRUE(Pump(proxy, [&] { return !proxy.WantsWrite(); }));
        // A client that reads is neither dropped nor conflated for what the delay kept.
        EXPECT_EQ(proxy.lostClient, 0);
        EXPECT_EQ(proxy.GetCounters().nBacklogDrops, 0u);
        EXPECT_EQ(proxy.GetCounters().nConflations, 0u);
        peer.WaitFor([&](const std::vector<PeerMsg>& m) { return Seqs(m).size() >= kTicks; });
        EXPECT_EQ(Seqs(peer.All()), Range(0, kTicks));
    }
}
