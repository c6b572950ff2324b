// Publishing through the proxy to a loopback client: message cuts, the snapshot cache, a
// socket that takes nothing, pools, translation of tick fields, and the queued mode under
// real producer threads.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <map>
#include <thread>

#include "proxy/proxy_test_util.h"
#include "proxy/sym_peer.h"
#include "qrx/marketdata/sym_data_aux.h"
#include "qrx/wire/command_serialization.h"
#include "qrx/wire/response.h"
#include "qrx/wire/sym_msgs.h"

using namespace proxytest;

namespace {

constexpr int kSeq = CSymData::flid_trade_time;  // an int field carrying a sequence number

std::vector<CSymData> AllRecords(const std::vector<PeerMsg>& msgs, short sub) {
    std::vector<CSymData> out;
    for (const auto& m : msgs) {
        if (m.mtyp == CM_SYM_DATA && m.sub == sub) {
            for (auto& r : Records(m)) {
                out.push_back(r);
            }
        }
    }
    return out;
}

// The sequence number of the last update received, or -1.
int LastSeq(const std::vector<PeerMsg>& msgs) {
    for (auto it = msgs.rbegin(); it != msgs.rend(); ++it) {
        if (it->mtyp == CM_SYM_DATA && it->sub == SYM_DATA_UPDATE) {
            const auto recs = Records(*it);
            return recs.empty() ? -1 : recs.back().GetFlidIntOrDefault(kSeq, -1);
        }
    }
    return -1;
}

// A logged-on client subscribed to every topic.
bool SubscribeAll(TestProxy& proxy, SymPeer& peer, int nRcvBuf = 0) {
    return ConnectAndLogon(proxy, peer, nRcvBuf) && peer.SendBare(CM_SYM_SUBSCRIBE_ALL) &&
           Pump(proxy, [&] { return !proxy.subscribed.empty(); });
}

std::string Text(HTICK tick, int flid) {
    GrowingStr s;
    static_cast<CSymData*>(tick)->GetFlidString(flid, s);
    return s.c_str();
}

}  // namespace

TEST(SymProxyPublishTest, shouldCutSixHundredSmallTicksInto255And255And90Records) {
    TestProxy proxy;
    ASSERT_TRUE(proxy.Listen());
    SymPeer peer;
    ASSERT_TRUE(SubscribeAll(proxy, peer));
    for (int i = 0; i < 600; ++i) {
        proxy.SetTickField(proxy.CreateTick("T"), CSymData::flid_trade_direction,
                           static_cast<char>('A' + i % 50));
    }
    int nSent = 0;
    ASSERT_TRUE(proxy.Flush(false, &nSent));
    EXPECT_EQ(nSent, 3);
    const auto data = peer.WaitData(3);
    ASSERT_EQ(data.size(), 3u);
    EXPECT_EQ(Records(data[0]).size(), 255u);
    EXPECT_EQ(Records(data[1]).size(), 255u);
    EXPECT_EQ(Records(data[2]).size(), 90u);
    const auto recs = AllRecords(data, SYM_DATA_UPDATE);
    ASSERT_EQ(recs.size(), 600u);
    for (int i = 0; i < 600; ++i) {  // not coalesced, in list order
        ASSERT_EQ(recs[i].GetFlidCharOrDefault(CSymData::flid_trade_direction, 0), 'A' + i % 50);
    }
}

TEST(SymProxyPublishTest, shouldCutAMessageRightAfterItsBodyPasses4095Bytes) {
    TestProxy proxy;
    ASSERT_TRUE(proxy.Listen());
    SymPeer peer;
    ASSERT_TRUE(SubscribeAll(proxy, peer));
    // Records of 103 bytes: 39 of them fit in 4,095 bytes, 40 pass it.
    CSymData probe;
    probe.SetFlidString(CSymData::flid_symbol, "T");
    probe.SetFlidString(CSymData::flid_topic, "T");
    probe.SetFlidString(CSymData::flid_company_name, "");
    CNetStream out(true, 1024, 1024);
    CSymDataAux::SerializeSymOut(probe, out);
    const std::string name(static_cast<size_t>(103 - out.GetLength()), 'n');
    for (int i = 0; i < 50; ++i) {
        proxy.SetTickField(proxy.CreateTick("T"), CSymData::flid_company_name, name.c_str());
    }
    ASSERT_TRUE(proxy.Flush(false, nullptr));
    const auto data = peer.WaitData(2);
    ASSERT_EQ(data.size(), 2u);
    EXPECT_EQ(Records(data[0]).size(), 40u);
    EXPECT_EQ(data[0].text.size(), 40u * 103u);
    EXPECT_EQ(Records(data[1]).size(), 10u);
}

TEST(SymProxyPublishTest, shouldCutBeforeARecordThatWouldOverflowAMessageAndDropOneThatFitsNone) {
    TestProxy proxy;
    ASSERT_TRUE(proxy.Listen());
    SymPeer peer;
    ASSERT_TRUE(SubscribeAll(proxy, peer));
    auto tick = [&](const char* topic, int nStrings, size_t nLen) {
        HTICK t = proxy.CreateTick(topic);
        for (int i = 0; i < nStrings; ++i) {
            proxy.SetTickField(t, CSymData::flid_company_name + i, std::string(nLen, 'z').c_str());
        }
    };
    tick("A", 1, 4000);
    tick("B", 4, 15500);  // fits a message alone, not behind A
    tick("C", 5, 16000);  // fits no message
    tick("D", 0, 0);
    testing::internal::CaptureStderr();
    ASSERT_TRUE(proxy.Flush(false, nullptr));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("for C does not fit a message"),
              std::string::npos);
    // Larger than a socket takes at once: what waits goes out as the proxy is driven.
    ASSERT_TRUE(Pump(proxy, [&] { return !proxy.WantsWrite(); }));
    const auto data = peer.WaitData(3);
    ASSERT_EQ(data.size(), 3u);
    std::vector<std::string> topics;
    for (const auto& m : data) {
        for (const auto& r : Records(m)) {
            topics.push_back(TopicOf(r));
        }
    }
    EXPECT_EQ(topics, (std::vector<std::string>{"A", "B", "D"}));
    EXPECT_EQ(
        Records(data[1])[0].GetFlidStringOrDefault(CSymData::flid_company_name + 3, "").length(),
        15500);
}

TEST(SymProxyPublishTest, shouldKeepEveryByteWhenARecordOutgrowsTheRoomOfItsMessage) {
    TestProxy proxy;
    ASSERT_TRUE(proxy.Listen());
    SymPeer peer;
    ASSERT_TRUE(SubscribeAll(proxy, peer));
    // Texts longer than a message buffer holds at first, behind a record and first in one.
    const std::vector<std::pair<const char*, size_t>> ticks = {
        {"E", 3}, {"F", 10000}, {"H", 9000}, {"G", 5}};
    for (const auto& t : ticks) {
        HTICK tick = proxy.CreateTick(t.first);
        std::string text(t.second, 'a');
        for (size_t i = 0; i < text.size(); ++i) {
            text[i] = static_cast<char>('a' + i % 26);
        }
        proxy.SetTickField(tick, CSymData::flid_company_name, text.c_str());
    }
    ASSERT_TRUE(proxy.Flush(false, nullptr));
    ASSERT_TRUE(Pump(proxy, [&] { return !proxy.WantsWrite(); }));
    const auto data = peer.WaitData(3);
    ASSERT_EQ(data.size(), 3u);
    std::vector<std::vector<std::string>> topics;
    for (const auto& m : data) {
        topics.emplace_back();
        for (const auto& r : Records(m)) {
            topics.back().push_back(TopicOf(r));
            const std::string text =
                r.GetFlidStringOrDefault(CSymData::flid_company_name, "").c_str();
            for (size_t i = 0; i < text.size(); ++i) {
                ASSERT_EQ(text[i], static_cast<char>('a' + i % 26)) << TopicOf(r) << " at " << i;
            }
        }
    }
    EXPECT_EQ(topics, (std::vector<std::vector<std::string>>{{"E", "F"}, {"H"}, {"G"}}));
    EXPECT_EQ(Records(data[0])[1].GetFlidStringOrDefault(CSymData::flid_company_name, "").length(),
              10000);
}

TEST(SymProxyPublishTest, shouldKeepWhatTheSocketRefusesAndWriteItOldestFirst) {
    TestProxy proxy;
    ASSERT_TRUE(proxy.Listen());
    SymPeer peer;
    ASSERT_TRUE(SubscribeAll(proxy, peer, 4096));
    peer.Pause(true);
    const std::string pad(200, 'p');
    int nTicks = 0;
    auto batch = [&] {
        for (int i = 0; i < 100; ++i, ++nTicks) {
            HTICK t = proxy.CreateTick("S");
            proxy.SetTickField(t, kSeq, nTicks);
            proxy.SetTickField(t, CSymData::flid_company_name, pad.c_str());
        }
        proxy.Flush(false, nullptr);
    };
    for (int i = 0; i < 2000 && proxy.GetNumPendingMessages() == 0; ++i) {
        batch();
    }
    const int nPending = proxy.GetNumPendingMessages();
    ASSERT_GT(nPending, 0);
    batch();  // queued behind the pending ones
    EXPECT_GT(proxy.GetNumPendingMessages(), nPending);

    peer.Pause(false);
    const int nTotal = nTicks;
    for (int i = 0; i < 20000 && LastSeq(peer.All()) != nTotal - 1; ++i) {
        proxy.Flush(false, nullptr);
        usleep(1000);
    }
    EXPECT_EQ(proxy.GetNumPendingMessages(), 0);
    const auto recs = AllRecords(peer.All(), SYM_DATA_UPDATE);
    ASSERT_EQ(recs.size(), static_cast<size_t>(nTotal));
    for (int i = 0; i < nTotal; ++i) {
        ASSERT_EQ(recs[i].GetFlidIntOrDefault(kSeq, -1), i);
    }
}

TEST(SymProxyPublishTest, shouldCountAMessageSentOnceItReachedTheConnectionAndKeepTheOthers) {
    TestProxy proxy;
    ASSERT_TRUE(proxy.Listen());
    SymPeer peer;
    ASSERT_TRUE(SubscribeAll(proxy, peer, 4096));
    peer.Pause(true);
    const std::string pad(200, 'p');
    int nTicks = 0;
    int nCounted = 0;
    // Flushes of some fifty messages each (more than one batched write), until the socket
    // takes only part of one.
    for (int f = 0; f < 200 && proxy.GetNumPendingMessages() == 0; ++f) {
        for (int i = 0; i < 1000; ++i, ++nTicks) {
            HTICK t = proxy.CreateTick("S");
            proxy.SetTickField(t, kSeq, nTicks);
            proxy.SetTickField(t, CSymData::flid_company_name, pad.c_str());
        }
        int nSent = -1;
        ASSERT_TRUE(proxy.Flush(false, &nSent));
        nCounted += nSent;
    }
    const int nPending = proxy.GetNumPendingMessages();
    ASSERT_GT(nPending, 0);
    ASSERT_GT(nCounted, 0);

    peer.Pause(false);
    for (int i = 0; i < 20000 && LastSeq(peer.All()) != nTicks - 1; ++i) {
        int nSent = -1;
        proxy.Flush(false, &nSent);
        EXPECT_EQ(nSent, 0) << "pending messages are not counted again";
        usleep(1000);
    }
    EXPECT_EQ(proxy.GetNumPendingMessages(), 0);
    // Every message once: counted when the connection took it, else pending until then.
    const auto all = peer.All();
    EXPECT_EQ(Select(all, CM_SYM_DATA, SYM_DATA_UPDATE).size(),
              static_cast<size_t>(nCounted + nPending));
    const auto recs = AllRecords(all, SYM_DATA_UPDATE);
    ASSERT_EQ(recs.size(), static_cast<size_t>(nTicks));
    for (int i = 0; i < nTicks; ++i) {
        ASSERT_EQ(recs[i].GetFlidIntOrDefault(kSeq, -1), i);
    }
}

TEST(SymProxyPublishTest, shouldCacheEveryTickAndReturnEveryObjectWithoutAClient) {
    TestProxy proxy;
    ASSERT_TRUE(proxy.Listen());
    auto* pools = proxy.Pools();
    const int nBuffers = pools->m_MsgBufPool.GetTotalCreated();
    for (int i = 0; i < 150; ++i) {
        HTICK t = proxy.CreateTick(i % 3 == 0 ? "A" : i % 3 == 1 ? "B" : "C");
        EXPECT_TRUE(proxy.SetTickField(t, CSymData::flid_bid, 1.0 + i));
        EXPECT_TRUE(proxy.SetTickField(t, kSeq, i));
        // The id decides the type; a wrong one stores nothing.
        EXPECT_FALSE(proxy.SetTickField(t, 5, 7));
        EXPECT_FALSE(proxy.SetTickField(t, CSymData::flid_bid_size, 1.5));
        EXPECT_FALSE(proxy.SetTickField(t, 2048, 'x'));
        EXPECT_FALSE(proxy.SetTickField(nullptr, CSymData::flid_bid, 1.0));
        EXPECT_TRUE(
            proxy.SetTickField(t, CSymData::flid_currency, static_cast<const char*>(nullptr)));
    }
    int nSent = -1;
    ASSERT_TRUE(proxy.Flush(false, &nSent));
    EXPECT_EQ(nSent, 0);
    // Three records stay in the cache and a few at hand for the next ticks; every other record
    // and every buffer is back.
    EXPECT_LE(proxy.GetSpareRecordCount(), CSymProxy::kSpareRecordBatch);
    EXPECT_EQ(pools->m_SymDataPool.GetNumFree(),
              pools->m_SymDataPool.GetTotalCreated() - 3 - proxy.GetSpareRecordCount());
    EXPECT_EQ(pools->m_MsgBufPool.GetNumFree(), nBuffers);

    SymPeer peer;
    ASSERT_TRUE(ConnectAndLogon(proxy, peer));
    // A framed snapshot goes out even when nothing in it is subscribed.
    EXPECT_TRUE(proxy.SendSnapshot(""));
    peer.SendTopicMsg(CM_SYM_SUBSCRIBE, "B");
    ASSERT_TRUE(Pump(proxy, [&] { return proxy.subscribed.size() == 1; }));
    const auto data = peer.WaitData(3);
    ASSERT_EQ(data.size(), 3u);
    EXPECT_EQ(data[0].sub, SYM_DATA_SNAPSHOT_START);
    EXPECT_EQ(data[1].sub, SYM_DATA_SNAPSHOT_END);
    const auto snap = Records(data[2]);
    ASSERT_EQ(snap.size(), 1u);
    EXPECT_EQ(snap[0].GetFlidDoubleOrDefault(CSymData::flid_bid, 0), 149.0);
    EXPECT_EQ(snap[0].GetFlidIntOrDefault(kSeq, 0), 148);
    EXPECT_FALSE(snap[0].m_map_flid_2_double.IsPresent(5));
    EXPECT_STREQ(snap[0].GetFlidStringOrDefault(CSymData::flid_currency, "x").c_str(), "");
}

TEST(SymProxyPublishTest, shouldPublishWithoutAllocatingOnceWarm) {
    if (!AllocCounter::Available()) {
        GTEST_SKIP() << "the sanitizers own the allocator";
    }
    TestProxy proxy;
    ASSERT_TRUE(proxy.Listen());
    SymPeer peer;
    ASSERT_TRUE(ConnectAndLogon(proxy, peer));
    peer.SendTopicMsg(CM_SYM_SUBSCRIBE, "IBM");
    ASSERT_TRUE(Pump(proxy, [&] { return proxy.subscribed.size() == 1; }));
    auto round = [&](int r) {
        for (int i = 0; i < 100; ++i) {
            HTICK t = proxy.CreateTick(i % 2 ? "IBM" : "MSFT");
            proxy.SetTickField(t, CSymData::flid_bid, 100.0 + i);
            proxy.SetTickField(t, kSeq, r * 100 + i);
            proxy.SetTickField(t, CSymData::flid_exchange, i % 3 ? "NYSE" : "ARCA");
            proxy.SetTickField(t, CSymData::flid_trade_direction, 'U');
        }
        proxy.Flush(false, nullptr);
    };
    for (int r = 0; r < 300; ++r) {
        round(r);
    }
    // What the socket did not take stays pending until a later flush writes it.
    const auto drain = [&](int lastSeq) {
        const auto arrived = [lastSeq](const std::vector<PeerMsg>& msgs) {
            return LastSeq(msgs) == lastSeq;
        };
        bool bArrived = false;
        for (int i = 0; i < 400 && !bArrived; ++i) {
            proxy.Flush(false, nullptr);
            bArrived = peer.WaitFor(arrived, 50);
        }
        return bArrived;
    };
    ASSERT_TRUE(drain(299 * 100 + 99));
    // Only the publishing is counted: the peer is drained between rounds, so a round never
    // needs more buffers than the warm-up already grew.
    long nAllocs = 0;
    for (int r = 300; r < 320; ++r) {
        AllocCounter counter;
        counter.Start();
        round(r);
        nAllocs += counter.Stop();
        ASSERT_TRUE(drain(r * 100 + 99));
    }
    EXPECT_EQ(nAllocs, 0);
}

TEST(SymProxyPublishTest, shouldTranslateExchangeCodesOfExchangeFieldsOnly) {
    const std::string file = "/tmp/qrx_proxy_" + std::to_string(getpid()) + "_exch.txt";
    std::ofstream(file) << "NYSE N\nNASDAQ Q\n";
    TestProxy proxy;
    ASSERT_TRUE(proxy.Listen());
    ASSERT_TRUE(proxy.EnableExchTranslation(file.c_str()));
    HTICK t = proxy.CreateTick("IBM");
    proxy.SetTickField(t, CSymData::flid_exchange, "NYSE");
    proxy.SetTickField(t, CSymData::flid_bid_quoter, "NASDAQ");
    proxy.SetTickField(t, CSymData::flid_last_exchange, "XETRA");
    proxy.SetTickField(t, CSymData::flid_company_name, "NYSE");
    EXPECT_EQ(Text(t, CSymData::flid_exchange), "N");
    EXPECT_EQ(Text(t, CSymData::flid_bid_quoter), "Q");
    EXPECT_EQ(Text(t, CSymData::flid_last_exchange), "XETRA");
    EXPECT_EQ(Text(t, CSymData::flid_company_name), "NYSE");
    // An unknown code is kept, and like any text refused when no client could decode it.
    const std::string huge(CSymDataAux::MAX_BODY_STRING + 1, 'X');
    EXPECT_FALSE(proxy.SetTickField(t, CSymData::flid_ask_quoter, huge.c_str()));
    EXPECT_FALSE(proxy.SetTickField(t, CSymData::flid_company_name, huge.c_str()));
    EXPECT_EQ(Text(t, CSymData::flid_ask_quoter), "");
    EXPECT_TRUE(proxy.SetTickField(t, CSymData::flid_company_name, huge.c_str(), 3));
    EXPECT_EQ(Text(t, CSymData::flid_company_name), "XXX");
    unlink(file.c_str());
}

TEST(SymProxyPublishTest, shouldBuildTicksFromTopicsSymbolsAndEncodedData) {
    TestProxy proxy;
    ASSERT_TRUE(proxy.Listen());
    char depth[128];
    CSymProxy::CreateDepthTopic("IBM", 3, depth);
    const std::string filter = std::string("3\x06") + "F1\x06" + depth;
    const std::string longSym = std::string("0\x06") + std::string(31, 'L');
    EXPECT_EQ(Text(proxy.CreateTick(depth), CSymData::flid_symbol), "IBM");
    EXPECT_EQ(Text(proxy.CreateTick(filter.c_str()), CSymData::flid_symbol), "IBM");
    EXPECT_EQ(Text(proxy.CreateTick("IBM.N"), CSymData::flid_symbol), "IBM.N");
    EXPECT_EQ(Text(proxy.CreateTick(longSym.c_str()), CSymData::flid_symbol), "");
    EXPECT_EQ(Text(proxy.CreateTick(longSym.c_str()), CSymData::flid_topic), longSym);

    HTICK direct = proxy.CreateDirectFeedTick("VOD", 'L');
    ASSERT_NE(direct, nullptr);
    EXPECT_EQ(Text(direct, CSymData::flid_topic), std::string("4\x06L\x06VOD"));
    EXPECT_EQ(Text(direct, CSymData::flid_symbol), "VOD");
    EXPECT_EQ(proxy.CreateDirectFeedTick("VOD", 0), nullptr);
    char topic[128];
    EXPECT_FALSE(CSymProxy::CreateDirectFeedTopic(topic, "VOD", "NO_SUCH_SOURCE", 128));

    CSymData rec;
    rec.SetFlidString(CSymData::flid_topic, "POP");
    rec.SetFlidDouble(CSymData::flid_ask, 9.25);
    CNetStream out(true, 1024, 1024);
    CSymDataAux::SerializeSymOut(rec, out);
    char* bytes = nullptr;
    int len = 0;
    out.GetBuf(bytes, len);
    HTICK populated = proxy.CreatePopulatedTick(bytes, len);
    ASSERT_NE(populated, nullptr);
    EXPECT_TRUE(CSymDataAux::AreEqual(*static_cast<CSymData*>(populated), rec));
    EXPECT_EQ(proxy.CreatePopulatedTick(bytes, len - 3), nullptr);

    SymPeer peer;
    ASSERT_TRUE(SubscribeAll(proxy, peer));
    const auto data = peer.WaitData(3);  // the framed snapshot of what was listed
    ASSERT_EQ(data.size(), 3u);
    const auto snap = Records(data[1]);
    ASSERT_EQ(snap.size(), 7u);
    EXPECT_EQ(TopicOf(snap[6]), "POP");
    EXPECT_EQ(snap[6].GetFlidDoubleOrDefault(CSymData::flid_ask, 0), 9.25);
}

TEST(SymProxyQueuedTest, shouldPublishEveryTickOfEveryProducerOnceAndInOrder) {
    const std::string file = "/tmp/qrx_proxy_" + std::to_string(getpid()) + "_qexch.txt";
    std::ofstream(file) << "NYSE N\n";
    TestProxy proxy;
    ASSERT_TRUE(proxy.Listen(true));
    ASSERT_TRUE(proxy.EnableExchTranslation(file.c_str()));
    ASSERT_GE(proxy.GetQFd(), 0);
    SymPeer peer;
    ASSERT_TRUE(SubscribeAll(proxy, peer));

    constexpr int kProducers = 4;
    constexpr int kTicks = 3000;
    std::vector<std::string> topics;
    for (int p = 0; p < kProducers; ++p) {
        char depth[128];
        CSymProxy::CreateDepthTopic(("P" + std::to_string(p)).c_str(), 3, depth);
        topics.push_back(p % 2 ? depth : "P" + std::to_string(p));  // both parser paths
    }
    std::atomic<int> nRunning{kProducers};
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            for (int i = 0; i < kTicks; ++i) {
                HTICK t = proxy.CreateTick(topics[p].c_str());
                proxy.SetTickField(t, kSeq, i);
                proxy.SetTickField(t, CSymData::flid_exchange, "NYSE");
                proxy.PushbackTick(t);
                if (p == 0 && i == kTicks / 2) {
                    CResponse rsp("progress");
                    proxy.SendResponse(&rsp);
                }
            }
            --nRunning;
        });
    }
    // The owning thread sleeps on the queue's descriptor and flushes what it hands over.
    for (int i = 0; i < 100000 && nRunning > 0; ++i) {
        pollfd pfd = {proxy.GetQFd(), POLLIN, 0};
        if (poll(&pfd, 1, 10) > 0) {
            proxy.Flush(false, nullptr);
        }
    }
    for (auto& t : producers) {
        t.join();
    }
    proxy.Flush(false, nullptr);

    auto count = [&] { return AllRecords(peer.All(), SYM_DATA_UPDATE).size(); };
    for (int i = 0; i < 2000 && count() < size_t(kProducers * kTicks); ++i) {
        proxy.Flush(false, nullptr);
        usleep(5000);
    }
    std::map<std::string, int> next;
    size_t nTotal = 0;
    for (const auto& r : AllRecords(peer.All(), SYM_DATA_UPDATE)) {
        const std::string topic = TopicOf(r);
        ASSERT_EQ(r.GetFlidIntOrDefault(kSeq, -1), next[topic]++) << topic;
        EXPECT_STREQ(r.GetFlidStringOrDefault(CSymData::flid_exchange, "").c_str(), "N");
        ++nTotal;
    }
    EXPECT_EQ(nTotal, size_t(kProducers * kTicks));
    for (const auto& topic : topics) {
        EXPECT_EQ(next[topic], kTicks) << topic;
    }
    EXPECT_EQ(Select(peer.All(), CM_SYM_RESPONSE, SYM_RSP_WHOLE).size(), 1u);
    unlink(file.c_str());
}

TEST(SymProxyQueuedTest, shouldSendQueuedTicksAsUpdatesWhenASnapshotRequestFindsNoImage) {
    TestProxy proxy;
    ASSERT_TRUE(proxy.Listen(true));
    SymPeer peer;
    ASSERT_TRUE(ConnectAndLogon(proxy, peer));
    ASSERT_TRUE(peer.SendTopicMsg(CM_SYM_SUBSCRIBE, "LIVE"));
    ASSERT_TRUE(Pump(proxy, [&] { return proxy.subscribed.size() == 1; }));

    // Ticks wait in the queue while the client asks for images nobody has.
    for (int i = 0; i < 3; ++i) {
        HTICK t = proxy.CreateTick("LIVE");
        proxy.SetTickField(t, kSeq, i);
        proxy.PushbackTick(t);
    }
    ASSERT_TRUE(peer.SendTopicMsg(CM_SYM_SUBSCRIBE, "EMPTY"));
    ASSERT_TRUE(peer.SendTopicMsg(CM_SYM_SNAPSHOT, "NONE"));
    ASSERT_TRUE(Pump(proxy, [&] { return proxy.subscribed.size() == 2; }));
    proxy.Flush(false, nullptr);

    ASSERT_TRUE(peer.WaitFor([](const std::vector<PeerMsg>& msgs) {
        return AllRecords(msgs, SYM_DATA_UPDATE).size() +
                   AllRecords(msgs, SYM_DATA_SNAPSHOT).size() >=
               3;
    }));
    const auto all = peer.All();
    EXPECT_EQ(AllRecords(all, SYM_DATA_UPDATE).size(), 3u);
    EXPECT_TRUE(AllRecords(all, SYM_DATA_SNAPSHOT).empty());
    EXPECT_TRUE(Select(all, CM_SYM_DATA, SYM_DATA_SNAPSHOT_START).empty());
    EXPECT_TRUE(Select(all, CM_SYM_DATA, SYM_DATA_SNAPSHOT_END).empty());
}

TEST(SymProxyQueuedTest, shouldLetProducersSetExchangeFieldsWhileTheTableIsReplaced) {
    // A feed handler that reloads its exchange table while its producers run.
    const std::string base = "/tmp/qrx_proxy_" + std::to_string(getpid()) + "_reload";
    const std::string files[2] = {base + "_n.txt", base + "_x.txt"};
    std::ofstream(files[0]) << "NYSE N\n";
    std::ofstream(files[1]) << "NYSE X\n";
    TestProxy proxy;
    ASSERT_TRUE(proxy.Listen(true));
    ASSERT_TRUE(proxy.EnableExchTranslation(files[0].c_str()));
    std::atomic<bool> bStop{false};
    std::atomic<int> nWrong{0};
    std::vector<std::thread> producers;
    for (int p = 0; p < 2; ++p) {
        producers.emplace_back([&, p] {
            const std::string topic = "R" + std::to_string(p);
            while (!bStop.load()) {
                HTICK t = proxy.CreateTick(topic.c_str());
                proxy.SetTickField(t, CSymData::flid_exchange, "NYSE");
                const std::string code = Text(t, CSymData::flid_exchange);
                nWrong += code != "N" && code != "X";
                proxy.PushbackTick(t);
            }
        });
    }
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(proxy.EnableExchTranslation(files[i % 2].c_str()));
        proxy.Flush(false, nullptr);  // the owning thread keeps the queue short
    }
    bStop = true;
    for (auto& t : producers) {
        t.join();
    }
    proxy.Flush(false, nullptr);
    EXPECT_EQ(nWrong.load(), 0);
    unlink(files[0].c_str());
    unlink(files[1].c_str());
}
