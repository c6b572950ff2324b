#include "qrx/marketdata/flid_map.h"

#include <gtest/gtest.h>

#include <vector>

#include "qrx/runtime/growing_str.h"

namespace {

std::vector<int> Ids(const FlidMap<double>& m) {
    std::vector<int> ids;
    for (auto it = m.begin(); it != m.end(); ++it) {
        ids.push_back(it.Id());
    }
    return ids;
}

}  // namespace

TEST(FlidMapTest, shouldGiveACollidingBlockStorageOfItsOwnAndKeepBothValues) {
    FlidMap<double> m;
    ASSERT_TRUE(m.InsertFlid(40, 1.5));  // block 2, slot 8
    ASSERT_TRUE(m.InsertFlid(56, 2.5));  // block 3, slot 8: the shared slot is taken
    EXPECT_TRUE(m.IsSharedBlock(2));
    EXPECT_FALSE(m.IsSharedBlock(3));
    double v = 0;
    EXPECT_TRUE(m.GetFlid(40, v));
    EXPECT_EQ(v, 1.5);
    EXPECT_TRUE(m.GetFlid(56, v));
    EXPECT_EQ(v, 2.5);
    EXPECT_EQ(m.size(), 2u);

    // Overwriting either leaves the other alone.
    m.InsertFlid(40, 3.5);
    EXPECT_EQ(m.GetFlidValueOrDefault(56, 0), 2.5);
    EXPECT_EQ(m.GetFlidValueOrDefault(40, 0), 3.5);
}

TEST(FlidMapTest, shouldKeepBlocksWhoseSlotsDoNotCollideInTheSharedBlock) {
    FlidMap<double> m;
    m.InsertFlid(40, 1.0);  // block 2, slot 8
    m.InsertFlid(57, 2.0);  // block 3, slot 9
    EXPECT_TRUE(m.IsSharedBlock(2));
    EXPECT_TRUE(m.IsSharedBlock(3));
    EXPECT_EQ(m.GetFlidValueOrDefault(40, 0), 1.0);
    EXPECT_EQ(m.GetFlidValueOrDefault(57, 0), 2.0);
    EXPECT_EQ(m.count(56), 0u);  // shares slot storage with 40 but is not present
    EXPECT_EQ(m.GetFlidPtr(56), nullptr);
}

TEST(FlidMapTest, shouldIterateInIncreasingIdOrderAcrossSharedAndOwnBlocks) {
    FlidMap<double> m;
    for (int id : {300, 15, 40, 56, 0, 511}) {
        m.InsertFlid(id, id * 1.0);
    }
    EXPECT_EQ(Ids(m), (std::vector<int>{0, 15, 40, 56, 300, 511}));
    EXPECT_EQ(m.find(56).Id(), 56);
    EXPECT_TRUE(m.find(57) == m.end());
    m.erase(40);
    EXPECT_EQ(Ids(m), (std::vector<int>{0, 15, 56, 300, 511}));
    EXPECT_EQ(m.size(), 5u);
    // Blocks that lose their last field are skipped, also when merging and after clearing.
    m.erase(300);
    m.erase(511);
    EXPECT_EQ(Ids(m), (std::vector<int>{0, 15, 56}));
    FlidMap<double> merged;
    merged.insert(m);
    EXPECT_EQ(Ids(merged), (std::vector<int>{0, 15, 56}));
    EXPECT_EQ(merged.size(), 3u);
    m.clear();
    EXPECT_TRUE(m.begin() == m.end());
    m.InsertFlid(511, 1.0);
    EXPECT_EQ(Ids(m), (std::vector<int>{511}));
}

TEST(FlidMapTest, shouldKeepStringObjectsAndTheirBuffersAcrossClear) {
    FlidMap<GrowingStr> m;
    m.InsertFlid(1024, GrowingStr("IBM.N"));  // block 0 shared
    m.InsertFlid(1040, GrowingStr("XX"));     // block 1, slot 0: collides, gets storage
    const GrowingStr* shared = m.GetFlidPtr(1024);
    const GrowingStr* own = m.GetFlidPtr(1040);
    const char* text = own->c_str();

    m.clear();
    EXPECT_TRUE(m.empty());
    EXPECT_EQ(m.GetFlidPtr(1024), nullptr);

    m.InsertFlid(1040, GrowingStr("YY"));
    m.InsertFlid(1024, GrowingStr("MSFT"));
    EXPECT_EQ(m.GetFlidPtr(1040), own);
    EXPECT_EQ(m.GetFlidPtr(1040)->c_str(), text);
    EXPECT_EQ(m.GetFlidPtr(1024), shared);
    EXPECT_STREQ(m.GetFlidPtr(1024)->c_str(), "MSFT");
    EXPECT_STREQ(m.GetFlidPtr(1040)->c_str(), "YY");

    // Texts assigned in place take the same objects, present, cleared or shared.
    m.clear();
    EXPECT_TRUE(m.AssignText(1040, "ZZZ", 3));
    EXPECT_TRUE(m.AssignText(1024, "AAPL.O", 6));
    EXPECT_TRUE(m.AssignText(1024, "AAPL.OQ", 7));
    EXPECT_EQ(m.GetFlidPtr(1040), own);
    EXPECT_EQ(m.GetFlidPtr(1024), shared);
    EXPECT_STREQ(m.GetFlidPtr(1024)->c_str(), "AAPL.OQ");
    EXPECT_EQ(m.size(), 2u);
    EXPECT_TRUE(m.AssignText(1041, "new", 3));  // never used: gets an object
    EXPECT_STREQ(m.GetFlidPtr(1041)->c_str(), "new");
    EXPECT_EQ(m.size(), 3u);
    // Refused: an id of another type, a text the string cannot hold; nothing changes.
    EXPECT_FALSE(m.AssignText(5, "x", 1));
    EXPECT_FALSE(m.AssignText(1042, "x", -1));
    EXPECT_EQ(m.GetFlidPtr(1042), nullptr);
    EXPECT_EQ(m.size(), 3u);
}

TEST(FlidMapTest, shouldReuseTheObjectOfAnErasedString) {
    FlidMap<GrowingStr> m;
    m.InsertFlid(1030, GrowingStr("first"));
    const GrowingStr* p = m.GetFlidPtr(1030);
    EXPECT_EQ(m.erase(1030), 1u);
    EXPECT_EQ(m.erase(1030), 0u);
    m.InsertFlid(1030, GrowingStr("again"));
    EXPECT_EQ(m.GetFlidPtr(1030), p);
}

TEST(FlidMapTest, shouldMoveStringsWithTheirBlockWhenItGetsStorage) {
    // Block 0 holds 1024 and 1025 in the shared block; block 1 then takes slot 0
    // in a merge, which gives block 1 storage; then block 0 collides on store.
    FlidMap<GrowingStr> a;
    a.InsertFlid(1024, GrowingStr("s0"));
    a.InsertFlid(1025, GrowingStr("s1"));
    a.clear();
    a.InsertFlid(1041, GrowingStr("b1"));  // block 1 slot 1, reuses the object of 1025
    a.InsertFlid(1024, GrowingStr("n0"));  // block 0 slot 0, reuses the object of 1024
    a.InsertFlid(1057, GrowingStr("c1"));  // block 2 slot 1 collides with block 1
    FlidMap<GrowingStr> b;
    b.InsertFlid(1025, GrowingStr("m1"));  // merging block 0 slot 1 collides with block 1
    a.insert(b);
    EXPECT_STREQ(a.GetFlidValueOrDefault(1024, "").c_str(), "n0");
    EXPECT_STREQ(a.GetFlidValueOrDefault(1025, "").c_str(), "m1");
    EXPECT_STREQ(a.GetFlidValueOrDefault(1041, "").c_str(), "b1");
    EXPECT_STREQ(a.GetFlidValueOrDefault(1057, "").c_str(), "c1");
    EXPECT_EQ(a.size(), 4u);
    // Destruction of a and b runs under the sanitizers without leak or double free.
}

TEST(FlidMapTest, shouldMergePresentFieldsAndCountOnlyNewOnes) {
    FlidMap<double> to;
    to.InsertFlid(0, 1.0);
    to.InsertFlid(1, 2.0);
    FlidMap<double> from;
    from.InsertFlid(1, 5.0);
    from.InsertFlid(24, 9.0);  // block 1 slot 8: no collision in `to`
    to.insert(from);
    EXPECT_EQ(to.size(), 3u);
    EXPECT_EQ(to.GetFlidValueOrDefault(0, 0), 1.0);
    EXPECT_EQ(to.GetFlidValueOrDefault(1, 0), 5.0);
    EXPECT_EQ(to.GetFlidValueOrDefault(24, 0), 9.0);
    to.insert(to);  // merging into itself changes nothing
    EXPECT_EQ(to.size(), 3u);
}

TEST(FlidMapTest, shouldCompareOnlyPresentSlotsAndNeverEqualANaN) {
    FlidMap<double> a;
    FlidMap<double> b;
    EXPECT_TRUE(a == b);
    a.InsertFlid(7, 1.0);
    a.erase(7);  // stale value left in the slot
    EXPECT_TRUE(a == b);
    a.InsertFlid(3, 2.0);
    b.InsertFlid(3, 2.0);
    EXPECT_TRUE(a == b);
    b.InsertFlid(3, 2.5);
    EXPECT_TRUE(a != b);
    a.InsertFlid(3, __builtin_nan(""));
    b.InsertFlid(3, __builtin_nan(""));
    EXPECT_FALSE(a == b);
}

TEST(FlidMapTest, shouldCopyAndAssignIntoIndependentMaps) {
    FlidMap<GrowingStr> a;
    a.InsertFlid(1024, GrowingStr("A"));
    a.InsertFlid(1040, GrowingStr("B"));
    FlidMap<GrowingStr> b(a);
    FlidMap<GrowingStr> c;
    c.InsertFlid(1100, GrowingStr("gone"));
    c = a;
    a.InsertFlid(1024, GrowingStr("changed"));
    EXPECT_STREQ(b.GetFlidValueOrDefault(1024, "").c_str(), "A");
    EXPECT_TRUE(b == c);
    EXPECT_EQ(c.count(1100), 0u);
}
