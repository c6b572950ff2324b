// What the flush remembers per cached topic: the snapshot it merges every tick into (or that a
// tick holding all of its fields replaces), and the subscription verdict it keeps until the
// client's subscriptions change.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "proxy/sym_peer.h"
#include "qrx/marketdata/sym_data_aux.h"
#include "qrx/wire/sym_msgs.h"

using namespace proxytest;

namespace {

constexpr int kSeq = CSymData::flid_trade_time;

class CacheProxy : public TestProxy {
public:
    const CSymData* Cached(const char* szTopic) const {
        for (const auto& entry : m_mSnapshot) {
            if (strcmp(entry.first->c_str(), szTopic) == 0) {
                return entry.second;
            }
        }
        return nullptr;
    }
};

// The sequence numbers of the updates received for a topic.
std::vector<int> Seqs(const std::vector<PeerMsg>& msgs, const std::string& topic) {
    std::vector<int> out;
    for (const PeerMsg& m : Select(msgs, CM_SYM_DATA, SYM_DATA_UPDATE)) {
        for (const CSymData& r : Records(m)) {
            if (TopicOf(r) == topic) {
                out.push_back(r.GetFlidIntOrDefault(kSeq, -1));
            }
        }
    }
    return out;
}

// One field of every value type, set the same way on a tick and on a plain record.
struct Field {
    int flid;
    double dbl;
    int n;
    const char* sz;
    char c;
};

void Apply(CSymProxy& proxy, HTICK tick, CSymData& mirror, const Field& f) {
    switch (f.flid >> 9) {
        case 0:
            proxy.SetTickField(tick, f.flid, f.dbl);
            mirror.SetFlidDouble(f.flid, f.dbl);
            break;
        case 1:
            proxy.SetTickField(tick, f.flid, f.n);
            mirror.SetFlidInt(f.flid, f.n);
            break;
        case 2:
            proxy.SetTickField(tick, f.flid, f.sz);
            mirror.SetFlidString(f.flid, GrowingStr(f.sz));
            break;
        default:
            proxy.SetTickField(tick, f.flid, f.c);
            mirror.SetFlidChar(f.flid, f.c);
            break;
    }
}

}  // namespace

TEST(SymProxyTopicCacheTest, shouldMergeTicksIntoTheSnapshotAsARecordCopyDoes) {
    CacheProxy proxy;
    ASSERT_TRUE(proxy.Listen());
    // Ids on the edges of blocks (16 ids) and of the four-block groups, and ids that share a
    // slot in different blocks, of all four types.
    std::vector<std::vector<Field>> ticks = {
        {{0, 1.5, 0, "", 0},
         {3, 2.5, 0, "", 0},
         {19, 3.5, 0, "", 0},
         {63, 4.5, 0, "", 0},
         {64, 5.5, 0, "", 0},
         {512, 0, 7, "", 0},
         {1040, 0, 0, "first", 0},
         {1536, 0, 0, "", 'a'}},
        {{3, 6.5, 0, "", 0},
         {35, 7.5, 0, "", 0},
         {511, 8.5, 0, "", 0},
         {575, 0, 9, "", 0},
         {1023, 0, 10, "", 0},
         {1040, 0, 0, "second, longer than the first", 0},
         {1535, 0, 0, "last string id", 0},
         {2047, 0, 0, "", 'z'}},
        {{19, 11.5, 0, "", 0}, {576, 0, 12, "", 0}, {1040, 0, 0, "", 0}, {1552, 0, 0, "", 'q'}},
    };
    // Every field set above and one more (1041), values from base: such a tick takes the
    // snapshot's place. Twice in one flush, then a partial tick merged into the one that took
    // the place.
    const auto full = [](int base, const char* text) {
        std::vector<Field> fields;
        int k = 0;
        for (int id : {0, 3, 19, 35, 63, 64, 511}) {
            fields.push_back({id, base + 0.5 + k++, 0, "", 0});
        }
        for (int id : {512, 575, 576, 1023}) {
            fields.push_back({id, 0, base + k++, "", 0});
        }
        for (int id : {1040, 1041, 1535}) {
            fields.push_back({id, 0, 0, text, 0});
        }
        for (int id : {1536, 1552, 2047}) {
            fields.push_back({id, 0, 0, "", static_cast<char>('a' + base % 20 + k++)});
        }
        return fields;
    };
    ticks.push_back(full(21, "full"));
    ticks.push_back(full(31, "full again"));
    ticks.push_back({{3, 42.5, 0, "", 0}, {1041, 0, 0, "", 0}});
    for (const char* topic : {"A", "B"}) {
        CSymData expected;
        for (const std::vector<Field>& fields : ticks) {
            HTICK tick = proxy.CreateTick(topic);
            ASSERT_NE(tick, nullptr);
            CSymData mirror;
            mirror.SetFlidString(CSymData::flid_symbol, GrowingStr(topic));
            mirror.SetFlidString(CSymData::flid_topic, GrowingStr(topic));
            for (const Field& f : fields) {
                Apply(proxy, tick, mirror, f);
            }
            CSymDataAux::Copy(expected, mirror, false);
            // Each tick in a flush of its own, but for two flushes of two and of three ticks.
            if (&fields != &ticks[1] && &fields != &ticks[3] && &fields != &ticks[4]) {
                ASSERT_TRUE(proxy.Flush(false, nullptr));
            }
        }
        const CSymData* cached = proxy.Cached(topic);
        ASSERT_NE(cached, nullptr);
        EXPECT_TRUE(*cached == expected) << topic;
    }
    // One record per topic stays in the cache, a few at hand for the next ticks; every other
    // one is back in the pool.
    auto& pool = proxy.Pools()->m_SymDataPool;
    EXPECT_EQ(pool.GetNumFree(), pool.GetTotalCreated() - 2 - proxy.GetSpareRecordCount());
}

TEST(SymProxyTopicCacheTest, shouldFollowSubscriptionChangesForTopicsItHasSeen) {
    TestProxy proxy;
    ASSERT_TRUE(proxy.Listen());
    SymPeer peer;
    ASSERT_TRUE(ConnectAndLogon(proxy, peer));
    peer.SendTopicMsg(CM_SYM_SUBSCRIBE, "MARK");
    ASSERT_TRUE(Pump(proxy, [&] { return proxy.subscribed.size() == 1; }));

    // Each round publishes "A" and then "MARK"; once MARK's tick is in, A's would be too.
    int seq = 0;
    auto round = [&]() {
        ++seq;
        for (const char* topic : {"A", "MARK"}) {
            proxy.SetTickField(proxy.CreateTick(topic), kSeq, seq);
        }
        proxy.Flush(false, nullptr);
        const int mark = seq;
        return peer.WaitFor(
            [&](const std::vector<PeerMsg>& msgs) {
                const std::vector<int> marks = Seqs(msgs, "MARK");
                return !marks.empty() && marks.back() == mark;
            },
            20000);
    };
    auto request = [&](short mtyp, const char* topic) {
        const size_t nSub = proxy.subscribed.size();
        const size_t nUnsub = proxy.unsubscribed.size();
        if (topic != nullptr) {
            peer.SendTopicMsg(mtyp, topic);
        } else {
            peer.SendBare(mtyp);
        }
        return Pump(proxy, [&] {
            return proxy.subscribed.size() > nSub || proxy.unsubscribed.size() > nUnsub;
        });
    };

    ASSERT_TRUE(round());  // 1: A not subscribed
    ASSERT_TRUE(request(CM_SYM_SUBSCRIBE, "A"));
    ASSERT_TRUE(round());  // 2: sent
    ASSERT_TRUE(round());  // 3: sent
    ASSERT_TRUE(request(CM_SYM_UNSUBSCRIBE, "A"));
    ASSERT_TRUE(round());  // 4: not sent
    ASSERT_TRUE(request(CM_SYM_SUBSCRIBE_ALL, nullptr));
    ASSERT_TRUE(round());  // 5: sent
    // MARK's own subscription goes with the rest.
    ASSERT_TRUE(request(CM_SYM_UNSUBSCRIBE_ALL, nullptr));
    ASSERT_TRUE(request(CM_SYM_SUBSCRIBE, "MARK"));
    ASSERT_TRUE(round());  // 6: not sent
    EXPECT_EQ(Seqs(peer.All(), "A"), (std::vector<int>{2, 3, 5}));

    // A new client starts with no subscription, whatever the last one had.
    peer.SendTopicMsg(CM_SYM_SUBSCRIBE, "A");
    ASSERT_TRUE(Pump(proxy, [&] { return proxy.subscribed.back() == "A"; }));
    peer.Close();
    ASSERT_TRUE(Pump(proxy, [&] { return proxy.lostClient == 1; }));
    SymPeer next;
    ASSERT_TRUE(ConnectAndLogon(proxy, next));
    next.SendTopicMsg(CM_SYM_SUBSCRIBE, "MARK");
    ASSERT_TRUE(Pump(proxy, [&] { return proxy.subscribed.back() == "MARK"; }));
    ++seq;
    for (const char* topic : {"A", "MARK"}) {
        proxy.SetTickField(proxy.CreateTick(topic), kSeq, seq);
    }
    proxy.Flush(false, nullptr);
    ASSERT_TRUE(next.WaitFor([&](const std::vector<PeerMsg>& msgs) {
        return Seqs(msgs, "MARK") == std::vector<int>{seq};
    }));
    EXPECT_TRUE(Seqs(next.All(), "A").empty());
}

TEST(SymProxyTopicCacheTest, shouldSendImagesThatHoldTheTicksListedBeforeTheRequest) {
    CacheProxy proxy;
    ASSERT_TRUE(proxy.Listen());
    SymPeer peer;
    ASSERT_TRUE(ConnectAndLogon(proxy, peer));
    for (const char* topic : {"IBM", "VOD"}) {
        HTICK t = proxy.CreateTick(topic);
        proxy.SetTickField(t, CSymData::flid_bid, 10.0);
        proxy.SetTickField(t, kSeq, 1);
    }
    ASSERT_TRUE(proxy.Flush(false, nullptr));  // not subscribed: cached only

    // A feed handler that flushes in batches has a newer tick listed when the request comes.
    // Folded in arrival order, as the server merges records, what the client receives must end
    // at the newest values, and the cache must keep them.
    auto fold = [](const std::vector<PeerMsg>& msgs, const std::string& topic) {
        CSymData state;
        for (const PeerMsg& m : msgs) {
            if (m.mtyp == CM_SYM_DATA) {
                for (const CSymData& r : Records(m)) {
                    if (TopicOf(r) == topic) {
                        state.insert(r);
                    }
                }
            }
        }
        return state;
    };
    auto listTick = [&](const char* topic, double bid, int seq) {
        HTICK t = proxy.CreateTick(topic);
        proxy.SetTickField(t, CSymData::flid_bid, bid);
        proxy.SetTickField(t, kSeq, seq);
    };
    listTick("IBM", 11.0, 2);
    ASSERT_TRUE(peer.SendTopicMsg(CM_SYM_SUBSCRIBE, "IBM"));
    ASSERT_TRUE(Pump(proxy, [&] { return proxy.subscribed.size() == 1; }));
    ASSERT_TRUE(peer.WaitFor([](const std::vector<PeerMsg>& msgs) {
        return !Select(msgs, CM_SYM_DATA, SYM_DATA_SNAPSHOT_END).empty();
    }));
    CSymData ibm = fold(peer.All(), "IBM");
    EXPECT_EQ(ibm.GetFlidDoubleOrDefault(CSymData::flid_bid, 0), 11.0);
    EXPECT_EQ(ibm.GetFlidIntOrDefault(kSeq, -1), 2);
    ASSERT_NE(proxy.Cached("IBM"), nullptr);
    EXPECT_EQ(proxy.Cached("IBM")->GetFlidIntOrDefault(kSeq, -1), 2);

    // The same for every image of a snapshot of all topics.
    listTick("IBM", 12.0, 3);
    listTick("VOD", 12.5, 3);
    ASSERT_TRUE(peer.SendBare(CM_SYM_SUBSCRIBE_ALL));
    ASSERT_TRUE(Pump(proxy, [&] { return proxy.subscribed.size() == 2; }));
    ASSERT_TRUE(peer.WaitFor([](const std::vector<PeerMsg>& msgs) {
        return Select(msgs, CM_SYM_DATA, SYM_DATA_SNAPSHOT_END).size() == 2;
    }));
    ibm = fold(peer.All(), "IBM");
    const CSymData vod = fold(peer.All(), "VOD");
    EXPECT_EQ(ibm.GetFlidDoubleOrDefault(CSymData::flid_bid, 0), 12.0);
    EXPECT_EQ(ibm.GetFlidIntOrDefault(kSeq, -1), 3);
    EXPECT_EQ(vod.GetFlidDoubleOrDefault(CSymData::flid_bid, 0), 12.5);
    EXPECT_EQ(vod.GetFlidIntOrDefault(kSeq, -1), 3);
    for (const char* topic : {"IBM", "VOD"}) {
        ASSERT_NE(proxy.Cached(topic), nullptr);
        EXPECT_EQ(proxy.Cached(topic)->GetFlidIntOrDefault(kSeq, -1), 3) << topic;
    }
}
