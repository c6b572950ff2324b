#include "qrx/proxy/subscriptions.h"

#include <gtest/gtest.h>

#include <string>

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
