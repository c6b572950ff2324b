#include "qrx/proxy/text_index.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// Keys of every length from empty to past two words, and enough of them to grow the index
// several times: each is found with its own value after every growth, lookalikes are not.
TEST(TextIndexTest, shouldFindEveryKeyAfterGrowingAndNothingElse) {
    std::vector<std::string> keys;
    for (int i = 0; i < 700; ++i) {
        keys.push_back(std::string(static_cast<size_t>(i % 21), 'k') + std::to_string(i));
    }
    keys.push_back("");
    TextIndex<int> index;
    EXPECT_EQ(index.Find("", 0), nullptr);
    for (size_t i = 0; i < keys.size(); ++i) {
        int* p = index.Insert(keys[i].data(), keys[i].size(), static_cast<int>(i));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(*p, static_cast<int>(i));
    }
    EXPECT_EQ(index.Size(), keys.size());
    for (size_t i = 0; i < keys.size(); ++i) {
        const int* p = index.Find(keys[i].data(), keys[i].size());
        ASSERT_NE(p, nullptr) << keys[i];
        EXPECT_EQ(*p, static_cast<int>(i));
        // One byte changed makes another key.
        if (!keys[i].empty()) {
            std::string other = keys[i];
            other.back() = '#';
            EXPECT_EQ(index.Find(other.data(), other.size()), nullptr);
        }
    }
    // Looked up by a hash made beforehand, as the look-ahead of a flush does.
    const uint64_t h = TextIndex<int>::Hash(keys[7].data(), keys[7].size());
    ASSERT_NE(index.PeekHash(h), nullptr);
    EXPECT_EQ(*index.PeekHash(h), 7);
    EXPECT_EQ(*index.Find(keys[7].data(), keys[7].size(), h), 7);
    EXPECT_EQ(index.PeekHash(TextIndex<int>::Hash("absent", 6)), nullptr);
    // Only the given length counts, not what follows it.
    const std::string padded = keys[5] + "tail";
    EXPECT_NE(index.Find(padded.data(), keys[5].size()), nullptr);
    index.Clear();
    EXPECT_EQ(index.Size(), 0u);
    EXPECT_EQ(index.Find(keys[0].data(), keys[0].size()), nullptr);
}
