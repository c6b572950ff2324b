#include "qrx/proxy/ko_map.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

using Map = KoMap::TMap<char*, int*, KoMap::Printable>;

std::vector<std::pair<std::string, int>> Contents(const Map& map) {
    std::vector<std::pair<std::string, int>> out;
    map.Walk([&](const char* key, int* value) { out.emplace_back(key, *value); });
    return out;
}

}  // namespace

TEST(KoMapTest, shouldFindEveryPrintableKeyIncludingTheEmptyOne) {
    Map map;
    int v[6] = {0, 1, 2, 3, 4, 5};
    EXPECT_TRUE(map.Insert("ABC", &v[0]));
    EXPECT_TRUE(map.Insert("AB", &v[1]));
    EXPECT_TRUE(map.Insert("", &v[2]));
    EXPECT_TRUE(map.Insert(" ~}", &v[3]));
    const std::string longKey(5000, 'q');
    EXPECT_TRUE(map.Insert(longKey.c_str(), &v[4]));

    EXPECT_EQ(map.Find("ABC"), &v[0]);
    EXPECT_EQ(map.Find("AB"), &v[1]);
    EXPECT_EQ(map.Find(""), &v[2]);
    EXPECT_EQ(map[" ~}"], &v[3]);
    EXPECT_EQ(map.Find(longKey.c_str()), &v[4]);
    EXPECT_EQ(map.Find("A"), nullptr);  // a node without a value
    EXPECT_EQ(map.Find("ABCD"), nullptr);
    EXPECT_EQ(map.Find(nullptr), nullptr);
    EXPECT_EQ(map.Count(), 5u);

    int matched = -1;
    EXPECT_EQ(map.FindPartial("ABX", &matched), &v[1]);
    EXPECT_EQ(matched, 2);
    EXPECT_EQ(map.FindPartial("Z", &matched), &v[2]);
    EXPECT_EQ(matched, 0);
}

TEST(KoMapTest, shouldKeepTheFirstValueAndRefuseKeysOutsideTheAlphabet) {
    Map map;
    int a = 1, b = 2;
    ASSERT_TRUE(map.Insert("KEY", &a));
    EXPECT_FALSE(map.Insert("KEY", &b));
    EXPECT_EQ(map.Find("KEY"), &a);
    EXPECT_FALSE(map.Insert(nullptr, &a));
    EXPECT_FALSE(map.Insert("OTHER", nullptr));

    // Nodes made before the bad character stay; the key itself is never stored.
    EXPECT_FALSE(map.Insert("AB\tC", &b));
    EXPECT_NE(map.FindNode("AB"), nullptr);
    EXPECT_EQ(map.Find("AB\tC"), nullptr);
    EXPECT_FALSE(map.Insert("A\x7f", &b));
    EXPECT_FALSE(map.Insert("\xc3\xa9", &b));
    EXPECT_EQ(map.Find("\xc3\xa9"), nullptr);
    EXPECT_EQ(map.Count(), 1u);
}

TEST(KoMapTest, shouldWalkInKeyOrderForgetErasedKeysAndStartAfreshAfterClear) {
    Map map;
    int v[4] = {10, 11, 12, 13};
    map.Insert("b", &v[0]);
    map.Insert("a", &v[1]);
    map.Insert("ab", &v[2]);
    map.Insert("", &v[3]);
    EXPECT_EQ(Contents(map), (std::vector<std::pair<std::string, int>>{
                                 {"", 13}, {"a", 11}, {"ab", 12}, {"b", 10}}));
    std::vector<int*> values;
    map.GetValues(values);
    EXPECT_EQ(values.size(), 4u);

    EXPECT_EQ(map.Erase("a"), &v[1]);
    EXPECT_EQ(map.Erase("a"), nullptr);
    EXPECT_EQ(map.Find("a"), nullptr);
    EXPECT_EQ(map.Find("ab"), &v[2]);
    EXPECT_TRUE(map.Insert("a", &v[0]));  // an erased key takes a new value
    EXPECT_EQ(map.Count(), 4u);

    map.Clear();
    EXPECT_EQ(map.Count(), 0u);
    EXPECT_EQ(map.NodeCount(), 0u);
    EXPECT_EQ(map.Find("b"), nullptr);
    EXPECT_EQ(map.Find(""), nullptr);
    EXPECT_TRUE(Contents(map).empty());
    EXPECT_TRUE(map.Insert("b", &v[1]));
    EXPECT_EQ(map.Find("b"), &v[1]);
}
