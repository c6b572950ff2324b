#include "qrx/proxy/subscriptions.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <set>
#include <string>
#include <vector>

#include "qrx/marketdata/sym_topic.h"

namespace {

// "5" SEP near SEP far SEP symbol, as a client subscribes with sizes.
std::string SizedKey(const std::string& symbol) {
    const char sep = CSymTopic::m_cDelimiter;
    return std::string("5") + sep + "10" + sep + "20" + sep + symbol;
}

}  // namespace

TEST(SubscriptionsTest, shouldMatchASymbolWithSizesOnlyWhenASeparatorStandsRightBeforeIt) {
    Subscriptions subs;
    ASSERT_TRUE(subs.Init());
    const char sep = CSymTopic::m_cDelimiter;
    const std::string depth = std::string("D") + sep + "IBM";
    ASSERT_TRUE(subs.insert(SizedKey("ABC").c_str()));
    ASSERT_TRUE(subs.insert(SizedKey(depth).c_str()));

    EXPECT_TRUE(subs.IsSubscribedWithSize("ABC"));
    EXPECT_FALSE(subs.IsSubscribedWithSize("BC"));  // ends the same way, no separator before
    EXPECT_FALSE(subs.IsSubscribedWithSize("ABCD"));
    EXPECT_FALSE(subs.IsSubscribedWithSize(SizedKey("ABC").c_str()));  // not longer than itself
    // A symbol holding separators matches as a whole, and so does any of its tails.
    EXPECT_TRUE(subs.IsSubscribedWithSize(depth.c_str()));
    EXPECT_TRUE(subs.IsSubscribedWithSize("IBM"));
    EXPECT_FALSE(subs.IsSubscribedWithSize(nullptr));

    // Only published through the sizes once they are enabled.
    EXPECT_FALSE(subs.IsPublished("ABC"));
    subs.EnableSubsWithSizes(true);
    EXPECT_TRUE(subs.IsPublished("ABC"));
    EXPECT_FALSE(subs.IsPublished("XYZ"));
}

TEST(SubscriptionsTest, shouldKeepASymbolMatchedWhileAnyEntryWithSizesStillNamesIt) {
    Subscriptions subs;
    ASSERT_TRUE(subs.Init());
    const char sep = CSymTopic::m_cDelimiter;
    const std::string other = std::string("5") + sep + "1" + sep + "2" + sep + "ABC";
    ASSERT_TRUE(subs.insert(SizedKey("ABC").c_str()));
    ASSERT_TRUE(subs.insert(other.c_str()));
    ASSERT_FALSE(subs.insert(other.c_str()));  // already there: counted once

    ASSERT_TRUE(subs.erase(SizedKey("ABC").c_str()));
    EXPECT_TRUE(subs.IsSubscribedWithSize("ABC"));
    ASSERT_FALSE(subs.erase(SizedKey("ABC").c_str()));
    EXPECT_TRUE(subs.IsSubscribedWithSize("ABC"));
    ASSERT_TRUE(subs.erase(other.c_str()));
    EXPECT_FALSE(subs.IsSubscribedWithSize("ABC"));

    // Churn leaves nothing behind, and clear forgets every entry's symbols.
    for (int i = 0; i < 1000; ++i) {
        const std::string key = SizedKey("S" + std::to_string(i));
        ASSERT_TRUE(subs.insert(key.c_str()));
        if (i % 2 == 0) {
            ASSERT_TRUE(subs.erase(key.c_str()));
        }
    }
    EXPECT_FALSE(subs.IsSubscribedWithSize("S10"));
    EXPECT_TRUE(subs.IsSubscribedWithSize("S11"));
    subs.clear();
    EXPECT_FALSE(subs.IsSubscribedWithSize("S11"));
    EXPECT_EQ(subs.size(), 0u);
}

TEST(SubscriptionsTest, shouldHoldEntriesFullOfSeparatorsInRoomNearTheirOwnSize) {
    // 2,000 entries of 127 characters, 120 of them separators: what a client may subscribe to.
    // Each is found by every text behind one of its separators, as before.
    Subscriptions subs;
    ASSERT_TRUE(subs.Init());
    const char sep = CSymTopic::m_cDelimiter;
    std::vector<std::string> keys;
    for (int i = 0; i < 2000; ++i) {
        std::string tag = std::to_string(1000000 + i);
        keys.push_back(std::string("5") + std::string(120, sep) + tag.substr(1));
    }
    const size_t before = mallinfo2().uordblks;
    for (const std::string& key : keys) {
        ASSERT_TRUE(subs.insert(key.c_str()));
    }
    const size_t held = mallinfo2().uordblks - before;
    // The entries' texts take 254 KB; an index of every tail took about 36 MB.
    EXPECT_LT(held, size_t(4) << 20) << held << " bytes held";

    const std::string last = std::to_string(1000000 + 1999).substr(1);
    EXPECT_TRUE(subs.IsSubscribedWithSize(last.c_str()));
    EXPECT_TRUE(subs.IsSubscribedWithSize((std::string(7, sep) + last).c_str()));
    EXPECT_TRUE(subs.IsSubscribedWithSize((std::string(119, sep) + last).c_str()));
    EXPECT_FALSE(subs.IsSubscribedWithSize((std::string(120, sep) + last).c_str()));
    EXPECT_FALSE(subs.IsSubscribedWithSize(last.substr(1).c_str()));
    EXPECT_FALSE(subs.IsSubscribedWithSize("002000"));
    EXPECT_FALSE(subs.IsSubscribedWithSize(""));
    for (const std::string& key : keys) {
        ASSERT_TRUE(subs.erase(key.c_str()));
    }
    EXPECT_FALSE(subs.IsSubscribedWithSize(last.c_str()));
    EXPECT_LT(mallinfo2().uordblks, before + (size_t(64) << 10));
}

TEST(SubscriptionsTest, shouldMatchTheEmptyTailAndTailsOfBytesAboveTheAsciiRange) {
    Subscriptions subs;
    ASSERT_TRUE(subs.Init());
    const char sep = CSymTopic::m_cDelimiter;
    ASSERT_TRUE(subs.insert((SizedKey("\xc3\xa9"
                                      "A") +
                             sep)
                                .c_str()));
    ASSERT_TRUE(subs.insert(SizedKey("\xff").c_str()));
    ASSERT_TRUE(subs.insert("PLAIN"));
    EXPECT_TRUE(subs.IsSubscribedWithSize(""));  // an entry ends with a separator
    EXPECT_TRUE(subs.IsSubscribedWithSize((std::string("\xc3\xa9"
                                                       "A") +
                                           sep)
                                              .c_str()));
    EXPECT_TRUE(subs.IsSubscribedWithSize("\xff"));
    EXPECT_FALSE(subs.IsSubscribedWithSize("\xfe"));
    EXPECT_FALSE(subs.IsSubscribedWithSize("PLAIN"));
    ASSERT_TRUE(subs.erase((SizedKey("\xc3\xa9"
                                     "A") +
                            sep)
                               .c_str()));
    EXPECT_FALSE(subs.IsSubscribedWithSize(""));
    EXPECT_TRUE(subs.IsSubscribedWithSize("\xff"));
}

TEST(SubscriptionsTest, shouldAgreeWithAScanOfTheEntriesOverManyInsertsAndErases) {
    // Short texts of a separator and two letters, so that tails meet often.
    Subscriptions subs;
    ASSERT_TRUE(subs.Init());
    const char sep = CSymTopic::m_cDelimiter;
    const char alphabet[3] = {sep, 'A', 'B'};
    unsigned seed = 12345;
    auto next = [&seed] { return (seed = seed * 1103515245u + 12345u) >> 16; };
    auto text = [&] {
        std::string t;
        for (unsigned n = next() % 6; n > 0; --n) {
            t += alphabet[next() % 3];
        }
        return t;
    };
    std::set<std::string> held;
    for (int round = 0; round < 3000; ++round) {
        const std::string key = "5" + text();
        if (next() % 3 == 0) {
            EXPECT_EQ(subs.erase(key.c_str()), held.erase(key) == 1);
        } else {
            EXPECT_EQ(subs.insert(key.c_str()), held.insert(key).second);
        }
        const std::string topic = text();
        bool expected = false;
        for (const std::string& e : held) {
            expected |= e.size() > topic.size() &&
                        e.compare(e.size() - topic.size(), topic.size(), topic) == 0 &&
                        e[e.size() - topic.size() - 1] == sep;
        }
        ASSERT_EQ(subs.IsSubscribedWithSize(topic.c_str()), expected) << round;
    }
}
