#include "qrx/runtime/source_map.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

using KoDefaultSource::SourceMap;

TEST(SourceMapTest, shouldBuildOneInstanceWhenFirstUsedFromManyThreads) {
    // Under ctest each case runs in its own process, so this is the first use.
    std::vector<SourceMap*> seen(8, nullptr);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i) {
        threads.emplace_back([&seen, i] { seen[i] = &SourceMap::GetInstance(); });
    }
    for (auto& t : threads) {
        t.join();
    }
    for (SourceMap* p : seen) {
        EXPECT_EQ(p, &SourceMap::GetInstance());
    }
    EXPECT_EQ(SourceMap::GetInstance().Size(), 157u);
}

TEST(SourceMapTest, shouldConvertCodesToNumbersExactlyAndCaseSensitively) {
    const SourceMap& map = SourceMap::GetInstance();
    EXPECT_EQ(map.ToEnum("NSDQ"), 2u);
    EXPECT_EQ(map.ToEnum("nsdq"), 0u);
    EXPECT_EQ(map.ToEnum("NSD"), 0u);
    EXPECT_EQ(map.ToEnum("NSDQ "), 0u);
    EXPECT_EQ(map.ToEnum(""), 0u);
    EXPECT_EQ(map.ToEnum(nullptr), 0u);
    EXPECT_EQ(map.ToEnum("ML"), 1u);
    EXPECT_EQ(map.ToEnum("ARCA_OP"), 52u);
    EXPECT_EQ(map.ToEnum("CME_IMPL"), 75u);
    EXPECT_EQ(map.ToEnum("QRXSTRT"), 111u);
    EXPECT_EQ(map.ToEnum("BFX"), 156u);
}

TEST(SourceMapTest, shouldGiveTheCodeOfEveryNumberInsideTheTableOnly) {
    const SourceMap& map = SourceMap::GetInstance();
    ASSERT_NE(map.ToString(0), nullptr);
    EXPECT_STREQ(map.ToString(0), "");
    EXPECT_STREQ(map.ToString(5), "BLO");
    EXPECT_STREQ(map.ToString(128), "RBC");
    EXPECT_STREQ(map.ToString(156), "BFX");
    EXPECT_EQ(map.ToString(157), nullptr);
    EXPECT_EQ(map.ToString(0xFFFFFFFFu), nullptr);
}

TEST(SourceMapTest, shouldKeepNumberAndPositionTheSameForEveryEntry) {
    // Codes are unique, so converting there and back gives every number again;
    // every number fits the single byte a topic gives it.
    const SourceMap& map = SourceMap::GetInstance();
    for (unsigned n = 0; n < map.Size(); ++n) {
        const char* code = map.ToString(n);
        ASSERT_NE(code, nullptr) << n;
        EXPECT_EQ(map.ToEnum(code), n) << code;
        EXPECT_LT(n, 256u);
        if (n > 0) {
            EXPECT_GT(strlen(code), 0u) << n;
        }
    }
}

TEST(SourceMapTest, shouldRefuseUpdatesOutsideTheRenamableNumbers) {
    SourceMap& map = SourceMap::GetInstance();
    EXPECT_EQ(map.Update(0, "NEW0"), 0);
    EXPECT_EQ(map.Update(200, "NEW200"), 0);
    EXPECT_EQ(map.Update(157, "NEW157"), 0);
    EXPECT_EQ(map.Update(7, nullptr), 0);
    EXPECT_EQ(map.Update(7, ""), 0);
    EXPECT_STREQ(map.ToString(0), "");
    EXPECT_STREQ(map.ToString(7), "GLT");
    EXPECT_EQ(map.ToEnum("NEW0"), 0u);
    EXPECT_EQ(map.ToEnum("NEW200"), 0u);
    EXPECT_EQ(map.ToEnum("NEW157"), 0u);
    EXPECT_EQ(map.ToEnum(""), 0u);
    EXPECT_EQ(map.Size(), 157u);
}

TEST(SourceMapTest, shouldRenameASourceAndKeepItsOldCodeMapped) {
    SourceMap& map = SourceMap::GetInstance();
    ASSERT_EQ(map.Update(5, "BLOOM"), 1);
    EXPECT_STREQ(map.ToString(5), "BLOOM");
    EXPECT_EQ(map.ToEnum("BLOOM"), 5u);
    EXPECT_EQ(map.ToEnum("BLO"), 5u);

    // A code already in use is re-pointed to the renamed number; the number that
    // had it keeps its code.
    ASSERT_EQ(map.Update(8, "GLT"), 1);
    EXPECT_EQ(map.ToEnum("GLT"), 8u);
    EXPECT_STREQ(map.ToString(7), "GLT");
    EXPECT_STREQ(map.ToString(8), "GLT");

    // Restore the table for the other cases when the binary runs them together.
    map.Update(5, "BLO");
    map.Update(8, "BOFA");
    map.Update(7, "GLT");
    EXPECT_STREQ(map.ToString(5), "BLO");
    EXPECT_EQ(map.ToEnum("GLT"), 7u);
}
