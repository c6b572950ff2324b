#include "qrx/runtime/source_map.h"

#include <gtest/gtest.h>

#include <cstring>

using KoDefaultSource::SourceMap;

TEST(SourceMapTest, shouldConvertBetweenCodesAndNumbersExactly) {
    const SourceMap& map = SourceMap::GetInstance();
    EXPECT_EQ(&map, &SourceMap::GetInstance());
    ASSERT_EQ(map.Size(), 157u);
    EXPECT_EQ(map.ToEnum("NSDQ"), 2u);
    for (const char* unknown : {"nsdq", "NSD", "NSDQ ", ""}) {
        EXPECT_EQ(map.ToEnum(unknown), 0u) << unknown;
    }
    EXPECT_EQ(map.ToEnum(nullptr), 0u);
    EXPECT_STREQ(map.ToString(0), "");
    EXPECT_STREQ(map.ToString(156), "BFX");
    EXPECT_EQ(map.ToString(157), nullptr);
    EXPECT_EQ(map.ToString(0xFFFFFFFFu), nullptr);
    // Codes are unique and non-empty past 0, so every number converts there and back.
    for (unsigned n = 1; n < map.Size(); ++n) {
        ASSERT_NE(map.ToString(n), nullptr);
        EXPECT_GT(strlen(map.ToString(n)), 0u) << n;
        EXPECT_EQ(map.ToEnum(map.ToString(n)), n) << map.ToString(n);
    }
}

TEST(SourceMapTest, shouldRenameSourcesAndKeepTheirOldCodesMapped) {
    SourceMap& map = SourceMap::GetInstance();
    EXPECT_EQ(map.Update(0, "NEW"), 0);
    EXPECT_EQ(map.Update(200, "NEW"), 0);
    EXPECT_EQ(map.Update(157, "NEW"), 0);
    EXPECT_EQ(map.Update(7, nullptr), 0);
    EXPECT_EQ(map.Update(7, ""), 0);  // the empty code stays "no source"
    EXPECT_EQ(map.ToEnum("NEW"), 0u);
    EXPECT_EQ(map.ToEnum(""), 0u);
    EXPECT_STREQ(map.ToString(7), "GLT");

    ASSERT_EQ(map.Update(5, "BLOOM"), 1);
    EXPECT_STREQ(map.ToString(5), "BLOOM");
    EXPECT_EQ(map.ToEnum("BLOOM"), 5u);
    EXPECT_EQ(map.ToEnum("BLO"), 5u);
    // A code already in use is re-pointed; the number that had it keeps it.
    ASSERT_EQ(map.Update(8, "GLT"), 1);
    EXPECT_EQ(map.ToEnum("GLT"), 8u);
    EXPECT_STREQ(map.ToString(7), "GLT");

    // Restore the table for the cases that run after this one in the same process.
    map.Update(5, "BLO");
    map.Update(8, "BOFA");
    map.Update(7, "GLT");
}
