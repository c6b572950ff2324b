#include "qrx/runtime/growing_str.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

TEST(GrowingStrTest, shouldKeepItsBufferWhenEmptiedAndReuseIt) {
    GrowingStr s("ABC");
    EXPECT_EQ(s.capacity(), 4);
    const char* buf = s.c_str();
    s.assign("", 0);
    EXPECT_STREQ(s.c_str(), "");
    EXPECT_EQ(s.length(), 0);
    EXPECT_EQ(s.capacity(), 4);
    s.assign("XY", 2);
    EXPECT_EQ(s.c_str(), buf);
    EXPECT_STREQ(s.c_str(), "XY");
}

TEST(GrowingStrTest, shouldReallocateWhenTheTextFillsTheCapacity) {
    GrowingStr s("AB");  // capacity 3
    s.assign("XYZ", 3);
    EXPECT_EQ(s.capacity(), 4);
    EXPECT_STREQ(s.c_str(), "XYZ");
}

TEST(GrowingStrTest, shouldNotReadBehindTheCopiedCharacters) {
    // The source is not NUL-terminated: only the requested characters are read.
    const char raw[3] = {'a', 'b', 'c'};
    GrowingStr s;
    s.assign(raw, 2);
    EXPECT_STREQ(s.c_str(), "ab");
    GrowingStr t;
    t.append(raw, 3);
    EXPECT_EQ(t.capacity(), 4);
    EXPECT_STREQ(t.c_str(), "abc");
    t.append("de", 2);
    EXPECT_STREQ(t.c_str(), "abcde");
    EXPECT_EQ(t.length(), 5);
}

TEST(GrowingStrTest, shouldRefuseTextsThatDoNotFitSixteenBits) {
    GrowingStr s("keep");
    std::string huge(65535, 'x');
    EXPECT_FALSE(s.assign(huge.c_str(), static_cast<int>(huge.size())));
    EXPECT_STREQ(s.c_str(), "keep");
    EXPECT_TRUE(s.assign(huge.c_str(), 65534));
    EXPECT_EQ(s.length(), 65534);
    EXPECT_FALSE(s.append("y", 1));
    EXPECT_EQ(s.length(), 65534);
    EXPECT_FALSE(s.assign("x", -1));
}

TEST(GrowingStrTest, shouldOrderByteWiseWithEmptyFirst) {
    std::map<GrowingStr, int> m;
    m[GrowingStr("B")] = 2;
    m[GrowingStr("A")] = 1;
    m[GrowingStr("")] = 0;
    auto it = m.begin();
    EXPECT_STREQ(it->first.c_str(), "");
    EXPECT_STREQ((++it)->first.c_str(), "A");
    EXPECT_STREQ((++it)->first.c_str(), "B");
    EXPECT_TRUE(GrowingStr("A") < GrowingStr("B"));
}

TEST(GrowingStrTest, shouldCopyAndAssignFromItself) {
    GrowingStr a("hello");
    GrowingStr b(a);
    EXPECT_STREQ(b.c_str(), "hello");
    b = b;
    EXPECT_STREQ(b.c_str(), "hello");
    b.assign(b.c_str() + 1, 3);  // overlapping source
    EXPECT_STREQ(b.c_str(), "ell");
}

// Short texts are copied and compared word-wise: every length around the word sizes, a source
// inside the string's own buffer, and a difference at every position.
TEST(GrowingStrTest, shouldCopyAndCompareShortTextsOfEveryLength) {
    const std::string text = "0123456789abcdefghij";
    for (int len = 1; len <= 18; ++len) {
        const std::string want = text.substr(0, static_cast<size_t>(len));
        GrowingStr s(text.c_str());  // room for all of them
        ASSERT_TRUE(s.assign(text.c_str(), len));
        EXPECT_EQ(std::string(s.c_str()), want);
        EXPECT_EQ(s.length(), len);

        GrowingStr forward(text.c_str());
        forward.assign(forward.c_str() + 2, len);  // overlapping source
        EXPECT_EQ(std::string(forward.c_str()), text.substr(2, static_cast<size_t>(len)));
        GrowingStr same(want.c_str());
        EXPECT_TRUE(s == same);
        for (int pos = 0; pos < len; ++pos) {
            std::string other = want;
            other[static_cast<size_t>(pos)] = '#';
            EXPECT_FALSE(s == GrowingStr(other.c_str())) << "length " << len << " position " << pos;
        }
        EXPECT_FALSE(s == GrowingStr(text.substr(0, static_cast<size_t>(len) - 1).c_str()));
    }
    EXPECT_TRUE(GrowingStr() == GrowingStr(""));
}

TEST(GrowingStrTest, shouldAppendItsOwnTextWhenTheBufferMustGrow) {
    // The source lies in the buffer that the append reallocates.
    GrowingStr s("abcdefghijklmnopqrstuvwxyz");
    ASSERT_TRUE(s.append(s.c_str(), s.length()));
    EXPECT_STREQ(s.c_str(), "abcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvwxyz");
    ASSERT_TRUE(s.append(s.c_str() + 40, 12));
    EXPECT_STREQ(s.c_str(), "abcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvwxyzopqrstuvwxyz");
    EXPECT_EQ(s.length(), 64);
}
