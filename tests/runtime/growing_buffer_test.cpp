#include "qrx/runtime/growing_buffer.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

TEST(GrowingBufferTest, shouldStartWith512BytesForNonPositiveSizes) {
    EXPECT_EQ(CGrowingBuffer(0).GetSize(), 512);
    EXPECT_EQ(CGrowingBuffer(-5).GetSize(), 512);
    EXPECT_EQ(CGrowingBuffer(16).GetSize(), 16);
}

TEST(GrowingBufferTest, shouldGrowExactlyAndKeepContents) {
    CGrowingBuffer b(512);
    char chunk[480];
    memset(chunk, 'a', sizeof(chunk));
    b.Append(chunk, 480);
    char more[100];
    memset(more, 'b', sizeof(more));
    char* at = b.Append(more, 100);
    EXPECT_EQ(b.GetSize(), 580);
    EXPECT_EQ(b.GetLength(), 580);
    EXPECT_EQ(at, b.GetData() + 480);
    EXPECT_EQ(b.GetData()[479], 'a');
    EXPECT_EQ(b.GetData()[480], 'b');
    EXPECT_EQ(b.Append(more, 0), nullptr);
    EXPECT_EQ(b.GetLength(), 580);
}

TEST(GrowingBufferTest, shouldKeepStorageOnResetAndWhenBigEnough) {
    CGrowingBuffer b(512);
    char* start = b.GetData();
    EXPECT_EQ(b.GetBuffer(10), start);
    EXPECT_EQ(b.GetSize(), 512);
    b.Append("xyz", 3);
    b.Reset();
    EXPECT_EQ(b.GetLength(), 0);
    EXPECT_EQ(b.GetData(), start);
    b.Append("q", 1);
    EXPECT_EQ(b.GetBuffer(1000)[0], 'q');
    EXPECT_EQ(b.GetSize(), 1000);
}

TEST(GrowingBufferTest, shouldRefuseMissingBytesAndLengthsPastTheLargestSize) {
    CGrowingBuffer b(16);
    b.Append("abc", 3);
    EXPECT_EQ(b.Append(nullptr, 5), nullptr);
    EXPECT_EQ(b.GetLength(), 3);
    EXPECT_EQ(b.GetSize(), 16);
    // A length that would carry the position past the largest int is refused, not wrapped.
    char few[8] = {};
    EXPECT_EQ(b.Append(few, INT_MAX), nullptr);
    EXPECT_EQ(b.GetLength(), 3);
    EXPECT_EQ(std::string(b.GetData(), 3), "abc");
    EXPECT_NE(b.Append(few, 8), nullptr);
    EXPECT_EQ(b.GetLength(), 11);
}

TEST(GrowingBufferTest, shouldAppendItsOwnBytesWhenItMustGrow) {
    // The source lies in the storage that growing replaces.
    CGrowingBuffer b(24);
    b.Append("abcdefghijklmnopqrstuvwx", 24);
    char* at = b.Append(b.GetData(), b.GetLength());
    ASSERT_NE(at, nullptr);
    EXPECT_EQ(at, b.GetData() + 24);
    EXPECT_EQ(std::string(b.GetData(), b.GetLength()),
              "abcdefghijklmnopqrstuvwxabcdefghijklmnopqrstuvwx");
    ASSERT_NE(b.Append(b.GetData() + 40, 8), nullptr);
    EXPECT_EQ(std::string(b.GetData() + 48, 8), "qrstuvwx");
}
