#include "qrx/wire/msg_hdr_stream.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "wire/wire_test_util.h"

using testing::HasSubstr;
using wiretest::Bytes;
using wiretest::Content;
using wiretest::MsgMem;
using wiretest::Received;

TEST(MsgHdrStreamTest, shouldWriteHeaderInFrontOfTheFields) {
    CMsgHdrStream out(true, 0, 0);
    EXPECT_EQ(out.GetWriteOffset(), 8);
    out.SetHdrType(15);
    out.SetMsgType(2);
    out.SetSubMsgType(0);
    out << "hello";
    EXPECT_TRUE(out.Flush());
    EXPECT_EQ(Content(out), (Bytes{0x00, 0x0F, 0x00, 0x0F, 0x00, 0x02, 0x00, 0x00, 0x00, 0x05, 'h',
                                   'e', 'l', 'l', 'o'}));
    EXPECT_EQ(out.GetMsgLength(), 15);
    EXPECT_EQ(out.GetHdrType(), 15);
    EXPECT_EQ(out.GetMsgType(), 2);

    // Reset empties the message and clears the old header.
    out.Reset();
    EXPECT_EQ(out.GetLength(), 8);
    EXPECT_EQ(out.GetHdrType(), 0);
    out.SetMsgType(-3);
    EXPECT_EQ(out.GetMsgType(), -3);
}

TEST(MsgHdrStreamTest, shouldReadHeaderFieldsOfAnInputStreamWithoutChangingThem) {
    char buf[] = {'\x9C', '\x40', '\xFF', '\xFE', 0, 7, 0, 1, 0, 0, 0, 42};
    CMsgHdrStream in(buf, sizeof buf, false);
    EXPECT_EQ(in.GetReadOffset(), 8);
    in.SetHdrType(15);
    in.SetMsgType(15);
    EXPECT_EQ(buf[2], '\xFF');
    EXPECT_EQ(buf[5], 7);
    EXPECT_EQ(in.GetMsgLength(), 40000);  // the length is unsigned
    EXPECT_EQ(in.GetHdrType(), -2);
    EXPECT_EQ(in.GetSubMsgType(), 1);
    int v = 0;
    in >> v;
    EXPECT_EQ(v, 42);
    EXPECT_TRUE(in.Flush());
    EXPECT_EQ(in.GetReadOffset(), 8);

    // A buffer too short for the header yields zeros, never bytes beyond it.
    char tiny[3] = {0, 9, 0};
    CMsgHdrStream small(tiny, sizeof tiny, false);
    EXPECT_EQ(small.GetMsgLength(), 9);
    EXPECT_EQ(small.GetHdrType(), 0);
    EXPECT_EQ(small.GetSubMsgType(), 0);
    EXPECT_FALSE(small.GetNextField(v));
}

TEST(MsgHdrStreamTest, shouldFrameOnlyWholeMessages) {
    CMsgHdrStream in(false, 0, 0);
    std::vector<char> buf(20, 0);
    buf[1] = 0x10;
    EXPECT_EQ(CMsgHdrStream::MakeStreamFromBuffer(buf.data(), 1, &in), 0);
    EXPECT_EQ(CMsgHdrStream::MakeStreamFromBuffer(buf.data(), 15, &in), 0);
    buf[15] = 0x7F;
    buf[16] = 0x01;
    EXPECT_EQ(CMsgHdrStream::MakeStreamFromBuffer(buf.data(), 20, &in), 16);
    EXPECT_EQ(in.GetReadOffset(), 8);
    EXPECT_EQ(in.GetLength(), 16);
    // The reader stops at the end of the message, not the end of the buffer.
    int inside = 0;
    char beyond = 0;
    in >> inside >> inside;
    EXPECT_FALSE(in.GetNextField(beyond));
    EXPECT_EQ(inside, 0x7F);

    CMsgHdrStream out(true, 0, 0);
    EXPECT_EQ(CMsgHdrStream::MakeStreamFromBuffer(buf.data(), 20, &out), 0);
    EXPECT_EQ(CMsgHdrStream::MakeStreamFromBuffer(buf.data(), 20, nullptr), 0);
}

TEST(MsgHdrStreamTest, shouldReportLengthsBelowTheHeaderAsMalformed) {
    CMsgHdrStream in(false, 0, 0);
    char zero[2] = {0, 0};
    char seven[4] = {0, 7, 0, 0};
    char eight[8] = {0, 8, 0, 4, 0, 0, 0, 0};
    EXPECT_EQ(CMsgHdrStream::MakeStreamFromBuffer(zero, 2, &in), -1);
    EXPECT_EQ(CMsgHdrStream::MakeStreamFromBuffer(seven, 4, &in), -1);
    EXPECT_EQ(CMsgHdrStream::MakeStreamFromBuffer(eight, 8, &in), 8);
    EXPECT_EQ(in.GetHdrType(), 4);
}

TEST(MsgHdrStreamTest, shouldRefuseToFlushMessagesLongerThan65535Bytes) {
    CMsgHdrStream out(true, 0, 0);
    std::string big(65527, 'x');  // 8 + 65527 = 65535
    for (size_t i = 0; i < big.size(); ++i) {
        out << big[i];
    }
    EXPECT_TRUE(out.Flush());
    EXPECT_EQ(out.GetMsgLength(), 65535);
    out << 'y';
    EXPECT_FALSE(out.Flush());

    char small[6];
    CMsgHdrStream noRoom(small, sizeof small, true);
    noRoom.Reset();
    EXPECT_EQ(noRoom.GetWriteOffset(), 0);
    noRoom.SetHdrType(4);  // no room for a header: nothing is written
    EXPECT_FALSE(noRoom.Flush());
}

TEST(MsgHdrStreamTest, shouldLogAndRefuseHeaderTypesWithoutFamily) {
    for (int type : {0, 2, 11, 17, 21, -3, 1}) {
        Bytes msg{0, 8, uint8_t((type >> 8) & 0xFF), uint8_t(type & 0xFF), 0, 1, 0, 0};
        Received r(msg);
        MsgMem m;
        testing::internal::CaptureStderr();
        EXPECT_FALSE(r.Read(m.As<MsgHdrCmn>()));
        EXPECT_THAT(testing::internal::GetCapturedStderr(),
                    HasSubstr("**ERROR**\t:A message has not been serialized because: Unhandled "
                              "Header Type: " +
                              std::to_string(type) + "\n"));
    }
}

TEST(MsgHdrStreamTest, shouldAcceptBodilessHeaderTypesOnInputOnly) {
    Received cmon({0, 12, 0, 9, 0, 3, 0, 4, 0, 0, 0, 1});
    MsgMem m;
    memset(m.Raw(), 0x55, 64);
    EXPECT_TRUE(cmon.Read(m.As<MsgHdrCmn>()));
    EXPECT_EQ(cmon.in.GetReadOffset(), 8);  // nothing read
    const MsgHdrCMon* c = m.As<MsgHdrCMon>();
    EXPECT_EQ(c->hdr_typ, 9);
    EXPECT_EQ(c->mtyp, 3);
    EXPECT_EQ(c->submtyp, 4);
    EXPECT_EQ(c->msglen, 48);
    EXPECT_EQ(c->dest[0], 0);

    Received seven({0, 8, 0, 7, 0, 1, 0, 0});
    EXPECT_TRUE(seven.Read(m.As<MsgHdrCmn>()));
    EXPECT_EQ(m.As<MsgHdrCmn>()->hdr_typ, 7);
    EXPECT_EQ(m.As<MsgHdrCmn>()->msglen, 16);

    // On output nothing would be written for them: refused, not sent stale.
    CMsgHdrStream out(true, 0, 0);
    m.As<MsgHdrCmn>()->hdr_typ = 9;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(out.SerializeAll(m.As<MsgHdrCmn>(), nullptr));
    EXPECT_THAT(testing::internal::GetCapturedStderr(), HasSubstr("Unhandled Header Type: 9\n"));
}

TEST(MsgHdrStreamTest, shouldRefuseMessagesOfTheTradingFamilies) {
    const struct {
        short type;
        const char* name;
    } families[] = {{3, "SerializeCliMsg"},   {6, "SerializePmgr"}, {8, "SerializeRemote"},
                    {12, "SerializeOex"},     {13, "SerializeBar"}, {14, "SerializeDacs"},
                    {16, "SerializeMMQuote"}, {18, "SerializeTdb"}, {19, "SerializeOms"},
                    {20, "SerializeMos"}};
    for (const auto& f : families) {
        MsgMem m;
        MsgHdrCmn* p = m.As<MsgHdrCmn>();
        p->hdr_typ = f.type;
        p->mtyp = 31;
        CMsgHdrStream out(true, 0, 0);
        testing::internal::CaptureStderr();
        EXPECT_FALSE(out.SerializeAll(p, nullptr));
        EXPECT_THAT(testing::internal::GetCapturedStderr(),
                    HasSubstr(std::string("~WARNING~\t:") + f.name + "Unhandled Msg Type:31\n"));

        Received in({0, 8, 0, uint8_t(f.type), 0, 32, 0, 0});
        testing::internal::CaptureStderr();
        EXPECT_FALSE(in.Read(p));
        EXPECT_THAT(testing::internal::GetCapturedStderr(),
                    HasSubstr(std::string(f.name) + "Unhandled Msg Type:32\n"));
    }
}
