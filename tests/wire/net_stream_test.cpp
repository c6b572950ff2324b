#include "qrx/wire/net_stream.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "qrx/runtime/growing_str.h"
#include "wire/wire_test_util.h"

namespace {

using wiretest::Bytes;
using wiretest::Content;

// An input stream over a private copy of the given bytes.
struct Input {
    explicit Input(const Bytes& b)
        : buf(b.begin(), b.end()), strm(buf.data(), int(buf.size()), false) {}
    std::vector<char> buf;
    CNetStream strm;
};

}  // namespace

TEST(NetStreamTest, shouldWriteNumbersBigEndian) {
    CNetStream out(true, 0, 0);
    EXPECT_TRUE(out.Append(1.0));
    EXPECT_TRUE(out.Append(-2));
    EXPECT_TRUE(out.Append(static_cast<short>(0x1234)));
    EXPECT_TRUE(out.Append('Z'));
    EXPECT_TRUE(out.Append(true));
    EXPECT_TRUE(out.Append(0x1122334455667788L));  // only the low 32 bits travel
    EXPECT_EQ(Content(out), (Bytes{0x3F, 0xF0, 0,    0,    0,   0, 0,    0,    0xFF, 0xFF,
                                   0xFF, 0xFE, 0x12, 0x34, 'Z', 1, 0x55, 0x66, 0x77, 0x88}));
}

TEST(NetStreamTest, shouldWidenIntsWithTheirSignIntoLongs) {
    Input in({0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFE, 0x80, 0, 0, 0, 0x02});
    long l = 0;
    unsigned long ul = 0;
    unsigned int ui = 0;
    EXPECT_TRUE(in.strm.GetNextField(l));
    EXPECT_TRUE(in.strm.GetNextField(ul));
    in.strm >> ui;
    EXPECT_EQ(l, -2);
    EXPECT_EQ(ul, 0xFFFFFFFFFFFFFFFEUL);
    EXPECT_EQ(ui, 0x80000000u);
    bool b = false;  // any non-zero byte reads as true
    EXPECT_TRUE(in.strm.GetNextField(b));
    EXPECT_TRUE(b);
    EXPECT_EQ(in.strm.GetRemaining(), 0);
}

TEST(NetStreamTest, shouldReadBackEveryFieldKindItWrote) {
    CNetStream out(true, 16, 8);
    GrowingStr gs("growing");
    out << 'c' << false << static_cast<short>(-5) << static_cast<unsigned short>(65535) << -7
        << 4000000000u << -9L << 3.25 << "text" << gs;
    char* p;
    int n;
    out.GetBuf(p, n);
    CNetStream in(p, n, false);
    char c = 0;
    bool b = true;
    short s = 0;
    unsigned short us = 0;
    int i = 0;
    unsigned int ui = 0;
    long l = 0;
    double d = 0;
    char text[16];
    GrowingStr back;
    in >> c >> b >> s >> us >> i >> ui >> l >> d >> text >> back;
    EXPECT_EQ(c, 'c');
    EXPECT_FALSE(b);
    EXPECT_EQ(s, -5);
    EXPECT_EQ(us, 65535);
    EXPECT_EQ(i, -7);
    EXPECT_EQ(ui, 4000000000u);
    EXPECT_EQ(l, -9);
    EXPECT_EQ(d, 3.25);
    EXPECT_STREQ(text, "text");
    EXPECT_STREQ(back.c_str(), "growing");
    EXPECT_EQ(in.GetRemaining(), 0);
}

TEST(NetStreamTest, shouldGrowAnOwningStreamOneStepAtATime) {
    CNetStream out(true, 0, 0);
    EXPECT_EQ(out.GetCapacity(), 1024u);
    for (int i = 0; i < 256; ++i) {
        ASSERT_TRUE(out.Append(i));
    }
    EXPECT_EQ(out.GetCapacity(), 1024u);
    EXPECT_TRUE(out.Append('x'));  // byte 1,025
    EXPECT_EQ(out.GetCapacity(), 2048u);
    EXPECT_EQ(out.GetLength(), 1025);
    const Bytes b = Content(out);
    EXPECT_EQ((Bytes{b[1020], b[1021], b[1022], b[1023], b[1024]}), (Bytes{0, 0, 0, 255, 'x'}));

    // A field far larger than one step grows by as many whole steps as it needs.
    CNetStream small(true, 10, 10);
    const std::string big(95, 'q');
    EXPECT_TRUE(small.AppendText(big.data(), int(big.size())));
    EXPECT_EQ(small.GetCapacity(), 100u);
}

TEST(NetStreamTest, shouldAppendTextFromItsOwnBufferWhenItMustGrow) {
    // The text lies in the buffer that growing replaces: a field written earlier copied again.
    CNetStream out(true, 32, 32);
    ASSERT_TRUE(out.Append("0123456789abcdefghijklmnopqrstu", -1));
    char* p;
    int n;
    out.GetBuf(p, n);
    ASSERT_EQ(n, 33);
    ASSERT_TRUE(out.AppendText(p + 2, 31));
    out.GetBuf(p, n);
    ASSERT_EQ(n, 66);
    EXPECT_EQ(std::string(p + 35, 31), "0123456789abcdefghijklmnopqrstu");
    ASSERT_TRUE(out.Append(p + 45, 5));
    out.GetBuf(p, n);
    EXPECT_EQ(std::string(p + 68, 5), "abcde");
}

TEST(NetStreamTest, shouldKeepItsBufferWhenRewound) {
    CNetStream out(true, 8, 8);
    out << 1 << 2 << 3;
    const size_t cap = out.GetCapacity();
    out.SeekBegin();
    EXPECT_EQ(out.GetLength(), 0);
    out << 9;
    EXPECT_EQ(out.GetCapacity(), cap);
    EXPECT_EQ(Content(out), (Bytes{0, 0, 0, 9}));
}

TEST(NetStreamTest, shouldRefuseFieldsThatDoNotFitAnAttachedBuffer) {
    char buf[4];
    CNetStream out(buf, sizeof buf, true);
    EXPECT_TRUE(out.Append(1));
    EXPECT_FALSE(out.Append(2));
    EXPECT_EQ(out.GetWriteOffset(), 4);

    // A text is written whole or not at all: no dangling length field.
    char tbuf[5];
    CNetStream txt(tbuf, sizeof tbuf, true);
    EXPECT_FALSE(txt.Append("abcd"));
    EXPECT_EQ(txt.GetWriteOffset(), 0);
    EXPECT_TRUE(txt.Append("abc"));
    EXPECT_EQ(Content(txt), (Bytes{0, 3, 'a', 'b', 'c'}));
}

TEST(NetStreamTest, shouldHandOutRoomAndUnreadBytesForBulkCodecs) {
    // Owning output: the room grows the buffer, and only committed bytes count.
    CNetStream out(true, 4, 4);
    out << static_cast<short>(7);
    char* p = out.PrepareAppend(10);
    ASSERT_NE(p, nullptr);
    EXPECT_GE(out.GetCapacity(), 12u);
    memcpy(p, "abc", 3);
    EXPECT_EQ(out.GetLength(), 2);
    ASSERT_TRUE(out.CommitAppend(3));
    EXPECT_EQ(Content(out), (Bytes{0, 7, 'a', 'b', 'c'}));

    // Attached output: no room past the buffer, and nothing moves on refusal.
    char buf[4];
    CNetStream att(buf, sizeof buf, true);
    EXPECT_EQ(att.PrepareAppend(5), nullptr);
    ASSERT_EQ(att.PrepareAppend(4), buf);
    EXPECT_FALSE(att.CommitAppend(5));
    EXPECT_EQ(att.GetWriteOffset(), 0);

    // Input: the unread bytes, skipped over no further than they go.
    Input in({1, 2, 3, 4});
    char first = 0;
    in.strm >> first;
    EXPECT_EQ(first, 1);
    ASSERT_NE(in.strm.GetReadPtr(), nullptr);
    EXPECT_EQ(in.strm.GetReadPtr()[0], 2);
    EXPECT_FALSE(in.strm.Skip(4));
    EXPECT_TRUE(in.strm.Skip(3));
    EXPECT_EQ(in.strm.GetRemaining(), 0);
    EXPECT_EQ(in.strm.PrepareAppend(1), nullptr);
    EXPECT_EQ(out.GetReadPtr(), nullptr);
    EXPECT_FALSE(out.Skip(0));
}

TEST(NetStreamTest, shouldRefuseToReadOutputOrWriteInput) {
    CNetStream out(true, 0, 0);
    out << 5;
    int v = 77;
    EXPECT_FALSE(out.GetNextField(v));
    EXPECT_EQ(v, 77);
    GrowingStr gs;
    EXPECT_FALSE(out.GetNextField(gs, 0));

    Input in({0, 0, 0, 1});
    EXPECT_FALSE(in.strm.Append(3));
    EXPECT_FALSE(in.strm.Append("x"));
    EXPECT_EQ(in.buf[3], 1);
}

TEST(NetStreamTest, shouldLeaveTargetAndPositionWhenNumberIsIncomplete) {
    Input in({0, 0, 1, 0xAB});
    short s = 0;
    ASSERT_TRUE(in.strm.GetNextField(s));
    int v = 42;
    double d = 1.5;
    EXPECT_FALSE(in.strm.GetNextField(v));
    EXPECT_FALSE(in.strm.GetNextField(d));
    EXPECT_EQ(v, 42);
    EXPECT_EQ(d, 1.5);
    EXPECT_EQ(in.strm.GetReadOffset(), 2);
    // The chain goes on from the same place after a failure.
    char c = 0;
    in.strm >> v >> c;
    EXPECT_EQ(c, 1);
}

TEST(NetStreamTest, shouldWriteTextWithItsLengthAndCutItToTheGivenWidth) {
    CNetStream out(true, 0, 0);
    out << "abc" << 7;
    EXPECT_EQ(Content(out), (Bytes{0, 3, 'a', 'b', 'c', 0, 0, 0, 7}));

    Input in(Content(out));
    char two[3] = {'x', 'x', 'x'};
    short n = -1;
    in.strm >> CNetStreamMax{3};
    EXPECT_TRUE(in.strm.GetNextField(two, &n));
    EXPECT_STREQ(two, "ab");
    EXPECT_EQ(n, 2);
    int next = 0;
    EXPECT_TRUE(in.strm.GetNextField(next));  // read from behind the "c"
    EXPECT_EQ(next, 7);
}

TEST(NetStreamTest, shouldApplyTheWidthToOneTextReadOnly) {
    // The first text is refused (its length runs past the end of a shorter
    // stream); the width must not carry over to a later read.
    Input in({0, 2, 'h', 'i', 0, 9, 'x'});
    char a[8];
    char b[8];
    in.strm >> CNetStreamMax{2};
    EXPECT_TRUE(in.strm.GetNextField(a, nullptr));
    EXPECT_STREQ(a, "h");
    EXPECT_FALSE(in.strm.GetNextField(b, nullptr));

    Input again({0, 4, 'a', 'b', 'c', 'd', 0, 4, 'w', 'x', 'y', 'z'});
    again.strm >> CNetStreamMax{3};
    ASSERT_TRUE(again.strm.GetNextField(a, nullptr));
    ASSERT_TRUE(again.strm.GetNextField(b, nullptr));
    EXPECT_STREQ(a, "ab");
    EXPECT_STREQ(b, "wxyz");
}

TEST(NetStreamTest, shouldConsumeOnlyTheLengthOfATextThatRunsPastTheEnd) {
    Input in({0, 9, 0, 0, 0, 5});
    char text[16] = "untouched";
    EXPECT_FALSE(in.strm.GetNextField(text, nullptr));
    EXPECT_STREQ(text, "untouched");
    EXPECT_EQ(in.strm.GetReadOffset(), 2);
    int v = 0;
    EXPECT_TRUE(in.strm.GetNextField(v));
    EXPECT_EQ(v, 5);
}

TEST(NetStreamTest, shouldRefuseGrowingStrTextsThatAreTooLongOrNegative) {
    GrowingStr gs("keep");
    Input neg({0x80, 0x00, 'a'});
    EXPECT_FALSE(neg.strm.GetNextField(gs, 0));
    EXPECT_STREQ(gs.c_str(), "keep");
    EXPECT_EQ(neg.strm.GetReadOffset(), 2);

    Input lim({0, 3, 'a', 'b', 'c'});
    EXPECT_FALSE(lim.strm.GetNextField(gs, 2));
    EXPECT_STREQ(gs.c_str(), "keep");
    EXPECT_EQ(lim.strm.GetReadOffset(), 2);

    Input ok({0, 2, 'd', 'e', 0, 0});
    EXPECT_TRUE(ok.strm.GetNextField(gs, 2));
    EXPECT_STREQ(gs.c_str(), "de");
    ok.strm >> gs;
    EXPECT_TRUE(gs.empty());
}

TEST(NetStreamTest, shouldNestAndJoinStreams) {
    CNetStream inner(true, 0, 0);
    inner << 1 << static_cast<short>(2);
    CNetStream out(true, 0, 0);
    EXPECT_TRUE(out.Append(inner));
    EXPECT_TRUE(out.AppendStream(inner));
    EXPECT_EQ(Content(out), (Bytes{0, 6, 0, 0, 0, 1, 0, 2, 0, 0, 0, 1, 0, 2}));

    Input in(Content(out));
    CNetStream copy(true, 2, 2);
    EXPECT_TRUE(in.strm.GetNextField(copy));
    EXPECT_EQ(Content(copy), Content(inner));
    EXPECT_EQ(in.strm.GetReadOffset(), 8);

    // A nested field that does not fit an attached destination is refused.
    Input again(Content(out));
    char small[4];
    CNetStream dest(small, sizeof small, true);
    EXPECT_FALSE(again.strm.GetNextField(dest));
    EXPECT_EQ(dest.GetWriteOffset(), 0);
}

TEST(NetStreamTest, shouldRefuseInnerStreamsOf32768BytesOrMore) {
    std::vector<char> big(32768, 'b');
    CNetStream inner(big.data(), int(big.size()), false);
    CNetStream out(true, 0, 0);
    EXPECT_FALSE(out.Append(inner));
    EXPECT_FALSE(out.AppendStream(inner));
    EXPECT_EQ(out.GetLength(), 0);

    CNetStream fits(big.data(), 32767, false);
    EXPECT_TRUE(out.Append(fits));
    EXPECT_TRUE(out.AppendStream(fits));
    EXPECT_EQ(out.GetLength(), 2 + 2 * 32767);
    EXPECT_FALSE(out.AppendStream(out));
}

TEST(NetStreamTest, shouldTakeTextLengthsOfUpTo65535Bytes) {
    std::string s(65535, 't');
    CNetStream out(true, 0, 0);
    EXPECT_TRUE(out.AppendText(s.data(), 65535));
    EXPECT_FALSE(out.AppendText(s.data(), 65536));
    EXPECT_FALSE(out.Append("x", static_cast<short>(-2)));
    const Bytes b = Content(out);
    EXPECT_EQ(b.size(), 65537u);
    EXPECT_EQ(b[0], 0xFF);
    EXPECT_EQ(b[1], 0xFF);

    // Read into a character array: the whole text, no width needed.
    Input in(b);
    std::vector<char> dst(65536);
    ASSERT_TRUE(in.strm.GetNextField(dst.data(), nullptr));
    EXPECT_EQ(strlen(dst.data()), 65535u);
}

TEST(NetStreamTest, shouldReadFixedArraysWithoutOverrunningThem) {
    char src[4] = {'w', 'x', 'y', 'z'};  // no NUL: written up to the array's end
    CNetStream out(true, 0, 0);
    EXPECT_TRUE(append_fixed_text(out, src));
    EXPECT_TRUE(out.Append("longer than three"));
    out << 1;
    Input in(Content(out));
    char a[5];
    char b[4];
    int v = 0;
    EXPECT_TRUE(read_fixed_text(in.strm, a));
    EXPECT_TRUE(read_fixed_text(in.strm, b));
    in.strm >> v;
    EXPECT_STREQ(a, "wxyz");
    EXPECT_STREQ(b, "lon");
    EXPECT_EQ(v, 1);
}
