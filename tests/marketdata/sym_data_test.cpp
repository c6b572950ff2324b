#include "qrx/marketdata/sym_data.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "qrx/marketdata/sym_data_aux.h"

namespace {

std::vector<int> PresentIds(const CSymData& d) {
    std::vector<int> ids;
    for (auto it = d.m_setFlids.begin(); it != d.m_setFlids.end(); ++it) {
        ids.push_back(*it);
    }
    return ids;
}

}  // namespace

TEST(SymDataTest, shouldStartWithNoFieldAndTheConstructionValuesInTheNamedReferences) {
    CSymData d;
    EXPECT_EQ(d.m_setFlids.size(), 0u);
    EXPECT_TRUE(d.m_setFlids.empty());
    EXPECT_TRUE(d.m_setFlids.begin() == d.m_setFlids.end());
    EXPECT_EQ(d.m_bid, 0.0);
    EXPECT_EQ(d.m_prim_volume, 0.0);
    EXPECT_EQ(d.m_bid_size, 0);
    EXPECT_EQ(d.m_price_precision, 2);
    EXPECT_EQ(d.m_size_format, 1);
    EXPECT_EQ(d.m_min_lot_size, 100);
    EXPECT_EQ(d.m_price_format, 0);
    EXPECT_STREQ(d.m_symbol.c_str(), "");
    EXPECT_STREQ(d.m_topic.c_str(), "");
    EXPECT_EQ(d.m_sho_indicator, 0);
    double v = -1;
    EXPECT_FALSE(d.GetFlidDouble(0, v));
    EXPECT_EQ(v, -1);
    int n = -1;
    EXPECT_FALSE(d.GetFlidInt(520, n));  // the default 2 is not a present field
}

TEST(SymDataTest, shouldSeeStoresThroughTheNamedReferencesAndKeepThemAfterClear) {
    CSymData d;
    d.SetFlidDouble(CSymData::flid_bid, 10.5);
    d.SET_MEMBER_ask(10.75);
    d.SET_MEMBER_symbol(GrowingStr("IBM"));
    d.SetFlidString(CSymData::flid_topic, GrowingStr("0\x06IBM"));
    d.SET_MEMBER_sho_indicator('Y');
    EXPECT_EQ(d.m_bid, 10.5);
    EXPECT_EQ(d.m_ask, 10.75);
    EXPECT_STREQ(d.m_symbol.c_str(), "IBM");
    EXPECT_STREQ(d.m_topic.c_str(), "0\x06IBM");
    EXPECT_EQ(d.m_setFlids.size(), 5u);
    d.SET_MEMBER_ask(11.0);  // present already: not counted twice
    EXPECT_EQ(d.m_setFlids.size(), 5u);

    const GrowingStr* symbolObject = &d.m_symbol;
    const char* symbolText = d.m_symbol.c_str();
    d.clear();
    EXPECT_TRUE(d.m_setFlids.empty());
    EXPECT_EQ(d.m_bid, 10.5);  // last value stored, though absent
    EXPECT_STREQ(d.m_symbol.c_str(), "IBM");

    d.SetFlidString(CSymData::flid_symbol, GrowingStr("XYZ"));
    const char* p = nullptr;
    ASSERT_TRUE(d.GetFlidStringPtr(CSymData::flid_symbol, p));
    EXPECT_EQ(p, symbolText);  // same object, same buffer
    EXPECT_EQ(&d.m_symbol, symbolObject);
}

TEST(SymDataTest, shouldLeaveTheRecordUnchangedOnAStoreWithAnIdOfAnotherType) {
    CSymData d;
    EXPECT_FALSE(d.SetFlidDouble(600, 1.0));
    EXPECT_FALSE(d.SetFlidInt(5, 1));
    EXPECT_FALSE(d.SetFlidString(1536, GrowingStr("x")));
    EXPECT_FALSE(d.SetFlidChar(2048, 'x'));
    EXPECT_FALSE(d.SetFlidChar(-3, 'x'));
    EXPECT_TRUE(d.m_setFlids.empty());
    EXPECT_EQ(d.m_bid_size, 0);
    double v = 0;
    EXPECT_FALSE(d.GetFlidDouble(512, v));
    EXPECT_EQ(d.GetFlidIntOrDefault(600, 42), 42);
    EXPECT_STREQ(d.GetFlidStringOrDefault(1024, GrowingStr("none")).c_str(), "none");
}

TEST(SymDataTest, shouldIterateAllTypesInIncreasingIdOrder) {
    CSymData d;
    d.SetFlidChar(1536, 'a');
    d.SetFlidDouble(3, 1.0);
    d.SetFlidString(1024, GrowingStr("S"));
    d.SetFlidInt(512, 1);
    d.SetFlidChar(2047, 'z');
    d.SetFlidDouble(511, 2.0);
    EXPECT_EQ(PresentIds(d), (std::vector<int>{3, 511, 512, 1024, 1536, 2047}));

    EXPECT_EQ(*d.m_setFlids.find(1024), 1024);
    EXPECT_TRUE(d.m_setFlids.find(1025) == d.m_setFlids.end());
    EXPECT_TRUE(d.m_setFlids[512]);
    EXPECT_FALSE(d.m_setFlids[513]);
    EXPECT_FALSE(d.m_setFlids[5000]);

    auto it = d.m_setFlids.erase(d.m_setFlids.find(512));
    EXPECT_EQ(*it, 1024);
    EXPECT_EQ(d.m_setFlids.erase(1536u), 1u);
    EXPECT_EQ(d.m_setFlids.erase(1536u), 0u);
    EXPECT_EQ(PresentIds(d), (std::vector<int>{3, 511, 1024, 2047}));
}

TEST(SymDataTest, shouldMergeWithInsertAndCopyWithOrWithoutClearing) {
    CSymData to;
    to.SetFlidDouble(0, 1.0);
    to.SetFlidDouble(1, 2.0);
    to.SetFlidString(1100, GrowingStr("kept"));
    CSymData from;
    from.SetFlidDouble(1, 5.0);
    from.SetFlidInt(530, 9);
    from.SetFlidString(1024, GrowingStr("IBM"));

    CSymData merged(to);
    merged.insert(from);
    EXPECT_EQ(merged.m_map_flid_2_double.size(), 2u);
    EXPECT_EQ(merged.GetFlidDoubleOrDefault(0, 0), 1.0);
    EXPECT_EQ(merged.GetFlidDoubleOrDefault(1, 0), 5.0);
    EXPECT_EQ(merged.GetFlidIntOrDefault(530, 0), 9);

    CSymData kept(to);
    CSymDataAux::Copy(kept, from, false);
    EXPECT_TRUE(CSymDataAux::AreEqual(kept, merged));
    EXPECT_STREQ(kept.GetFlidStringOrDefault(1100, "").c_str(), "kept");

    CSymData replaced(to);
    CSymDataAux::Copy(replaced, from, true);
    EXPECT_TRUE(CSymDataAux::AreEqual(replaced, from));
    EXPECT_FALSE(replaced.m_setFlids[1100]);
    EXPECT_FALSE(replaced.m_setFlids[0]);
    EXPECT_EQ(replaced.m_setFlids.size(), 3u);
    EXPECT_STREQ(replaced.m_symbol.c_str(), "IBM");  // the named reference sees the copy

    CSymData assigned;
    assigned.SetFlidChar(1600, 'q');
    assigned = to;
    EXPECT_TRUE(assigned == to);
}

TEST(SymDataTest, shouldCompareEqualIgnoringStaleSlotsButNeverOnNaN) {
    CSymData a;
    CSymData b;
    EXPECT_TRUE(CSymDataAux::AreEqual(a, b));
    a.SetFlidDouble(40, 3.0);
    a.clear();  // 40 keeps a stale 3.0
    b.SetFlidDouble(40, 4.0);
    b.clear();
    EXPECT_TRUE(CSymDataAux::AreEqual(a, b));
    a.SetFlidString(1030, GrowingStr("x"));
    b.SetFlidString(1030, GrowingStr("x"));
    EXPECT_TRUE(a == b);
    b.SetFlidString(1030, GrowingStr("y"));
    EXPECT_TRUE(a != b);
    b.SetFlidString(1030, GrowingStr("x"));
    a.SetFlidDouble(7, std::nan(""));
    b.SetFlidDouble(7, std::nan(""));
    EXPECT_FALSE(CSymDataAux::AreEqual(a, b));
    EXPECT_FALSE(CSymDataAux::AreEqual(a, a));
}

TEST(SymDataTest, shouldKeepNamedReferencesOfACopyBoundToItsOwnSlots) {
    CSymData a;
    a.SET_MEMBER_bid(1.0);
    CSymData b(a);
    a.SET_MEMBER_bid(2.0);
    EXPECT_EQ(b.m_bid, 1.0);
    EXPECT_EQ(a.m_bid, 2.0);
}
