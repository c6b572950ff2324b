#include "qrx/wire/command.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "qrx/wire/net_stream.h"
#include "qrx/wire/response.h"
#include "wire/command_parts_util.h"
#include "wire/wire_test_util.h"

using cmdtest::SameParams;
using wiretest::Bytes;
using wiretest::Content;

namespace {

template <typename Cmd>
Bytes Whole(const Cmd& cmd) {
    CNetStream out(true, 0, 0);
    EXPECT_TRUE(cmd.WriteTo(out));
    return Content(out);
}

// Reads from a buffer of exactly the message's size, so that the sanitizers
// see any read past its end.
template <typename Cmd>
bool ReadExact(const Bytes& b, Cmd& cmd) {
    std::vector<char> buf(b.begin(), b.end());
    CNetStream in(buf.data(), static_cast<int>(buf.size()), false);
    return cmd.ReadFrom(in) && in.GetRemaining() == 0;
}

// A hand-made body: name "x", ids 0, then the given tail.
Bytes Body(const Bytes& tail) {
    Bytes b(7 + tail.size());
    const uint8_t opening[7] = {0x00, 0x01, 'x', 0x00, 0x00, 0x00, 0x00};
    std::copy(opening, opening + 7, b.begin());
    std::copy(tail.begin(), tail.end(), b.begin() + 7);
    return b;
}

size_t ParamCount(const CCommand& c) {
    return c.IntParams().size() + c.DoubleParams().size() + c.CharParams().size() +
           c.StringParams().size();
}

}  // namespace

TEST(CommandTest, shouldRefuseReservedNamesAndKeepSystemParametersOutOfTheLists) {
    CCommand cmd;
    EXPECT_EQ("_UN_NAMED_COMMAND_", cmd.GetCmdName());
    EXPECT_FALSE(cmd.SetIntParam("KO::x", 1));
    EXPECT_FALSE(cmd.SetCharParam(nullptr, 'a'));
    EXPECT_FALSE(cmd.SetStringParam("KO::conn", "v"));
    EXPECT_FALSE(cmd.SetStringParam("s", nullptr));
    EXPECT_EQ(0u, ParamCount(cmd));

    // Only the whole prefix at the start reserves a name.
    EXPECT_TRUE(cmd.SetIntParam("KO:", 1));
    EXPECT_TRUE(cmd.SetIntParam("xKO::", 2));
    EXPECT_TRUE(cmd.SetConnection("conn-9"));
    EXPECT_TRUE(cmd.SetStringParam("z", "visible"));
    ASSERT_EQ(2u, cmd.GetAllIntParams().size());
    EXPECT_STREQ("KO:", cmd.GetAllIntParams()[0].key.c_str());
    ASSERT_EQ(1u, cmd.GetAllStringParams().size());
    EXPECT_STREQ("visible", cmd.GetAllStringParams()[0].value.c_str());
    EXPECT_EQ(2u, cmd.StringParams().size());
    EXPECT_EQ("conn-9", cmd.GetConnection());
    EXPECT_EQ("", cmd.GetStringParam("KO::Connection"));

    // A response to the command carries its id, name and system parameters only.
    cmd.SetCmdId(4, 5);
    CResponse rsp(cmd);
    EXPECT_EQ(cmd.GetCmdId(), rsp.GetCmdId());
    EXPECT_EQ("conn-9", rsp.GetConnection());
    EXPECT_EQ(1u, ParamCount(rsp));
    EXPECT_TRUE(rsp.SetUser("trader"));
    char buf[8];
    ASSERT_TRUE(rsp.GetUser(buf, sizeof buf));
    EXPECT_STREQ("trader", buf);
}

TEST(CommandTest, shouldReplaceExistingValuesAndCutTextsToTheCallersBuffer) {
    CCommand cmd("abcdef");
    EXPECT_TRUE(cmd.SetStringParam("s", "first"));
    EXPECT_TRUE(cmd.SetStringParam("s", "second value"));
    EXPECT_TRUE(cmd.SetIntParam("s", 3));  // the same name in another map
    EXPECT_EQ("second value", cmd.GetStringParam("s"));
    int i = 0;
    ASSERT_TRUE(cmd.GetIntParam("s", i));
    EXPECT_EQ(3, i);

    char buf[7];
    ASSERT_TRUE(cmd.GetStringParam("s", buf, 7));
    EXPECT_STREQ("second", buf);
    ASSERT_TRUE(cmd.GetStringParam("s", buf, 1));
    EXPECT_STREQ("", buf);
    EXPECT_FALSE(cmd.GetStringParam("s", buf, 0));
    ASSERT_TRUE(cmd.GetCmdName(buf, 4));
    EXPECT_STREQ("abc", buf);

    // A name no part could carry is refused.
    const std::string tooLong(CCommand::MAX_NAME_LEN + 1, 'n');
    EXPECT_FALSE(cmd.SetCmdName(tooLong.c_str()));
    EXPECT_EQ("abcdef", cmd.GetCmdName());
    EXPECT_EQ("_UN_NAMED_COMMAND_", CCommand(tooLong.c_str()).GetCmdName());
}

TEST(CommandTest, shouldHoldClientIdInLowAndRequestIdInHighHalfOfTheId) {
    CCommand cmd;
    cmd.SetCmdId(1, 2);
    EXPECT_EQ(1u + 65536u * 2u, cmd.GetCmdId());
    cmd.SetCmdId(0xABCD1234u);
    EXPECT_EQ(0x1234, cmd.GetClientId());
    EXPECT_EQ(0xABCD, cmd.GetRequestId());
}

TEST(CommandTest, shouldMergeOnlyACommandWithTheSameIdAndName) {
    CCommand a("cmd");
    a.SetCmdId(1, 2);
    a.SetIntParam("n", 1);
    a.SetStringParam("s", "old");
    CCommand b("cmd");
    b.SetCmdId(1, 2);
    b.SetIntParam("m", 2);
    b.SetStringParam("s", "new");

    CCommand otherId = b;
    otherId.SetCmdId(1, 3);
    CCommand otherName = b;
    otherName.SetCmdName("cmd2");
    EXPECT_FALSE(a.Merge(otherId));
    EXPECT_FALSE(a.Merge(otherName));
    EXPECT_EQ("old", a.GetStringParam("s"));

    EXPECT_TRUE(a.Merge(b));
    EXPECT_EQ(2u, a.IntParams().size());
    EXPECT_EQ("new", a.GetStringParam("s"));
}

TEST(CommandStreamTest, shouldWriteEveryKindInNameOrderAndReadItBack) {
    CCommand ping("ping");
    ping.SetCmdId(1, 2);
    EXPECT_EQ(
        (Bytes{0x00, 0x04, 'p', 'i', 'n', 'g', 0x00, 0x01, 0x00, 0x02, 0, 0, 0, 0, 0, 0, 0, 0}),
        Whole(ping));

    CCommand cmd("x");
    cmd.SetIntParam("b", -2);
    cmd.SetIntParam("a", 5);
    cmd.SetDoubleParam("d", 1.0);
    cmd.SetCharParam("k", 'Z');
    cmd.SetStringParam("t", "hi");
    cmd.SetStringParam("e", "");
    cmd.SetConnection("feed-a");
    const Bytes expected =
        Body({0x00, 0x02, 0x00, 0x01, 'a',  0x00, 0x00, 0x00, 0x05,                    // ints
              0x00, 0x01, 'b',  0xFF, 0xFF, 0xFF, 0xFE,                                //
              0x00, 0x01, 0x00, 0x01, 'd',  0x3F, 0xF0, 0,    0,    0,   0,   0,   0,  // doubles
              0x00, 0x01, 0x00, 0x01, 'k',  'Z',                                       // chars
              0x00, 0x03, 0x00, 0x0E, 'K',  'O',  ':',  ':',  'C',  'o', 'n', 'n', 'e',
              'c',  't',  'i',  'o',  'n',  0x00, 0x06, 'f',  'e',  'e', 'd', '-', 'a',  // texts
              0x00, 0x01, 'e',  0x00, 0x00,                                              //
              0x00, 0x01, 't',  0x00, 0x02, 'h',  'i'});
    EXPECT_EQ(expected, Whole(cmd));

    CCommand back;
    ASSERT_TRUE(ReadExact(expected, back));
    EXPECT_EQ("x", back.GetCmdName());
    EXPECT_TRUE(SameParams(cmd, back));
    EXPECT_EQ("feed-a", back.GetConnection());
}

TEST(CommandStreamTest, shouldKeepTheFirstOfTwinNamesAndReadNothingForANegativeCount) {
    CCommand twins;
    ASSERT_TRUE(ReadExact(Body({0x00, 0x02,                                // two ints
                                0x00, 0x01, 'n',  0x00, 0x00, 0x00, 0x01,  // n = 1
                                0x00, 0x01, 'n',  0x00, 0x00, 0x00, 0x02,  // n = 2
                                0x00, 0x00, 0x00, 0x00, 0x00, 0x00}),
                          twins));
    EXPECT_EQ(1, twins.IntParams().at("n"));

    CCommand negative;
    ASSERT_TRUE(ReadExact(Body({0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00,  // ints: -1
                                0x00, 0x01, 0x00, 0x01, 's', 0x00, 0x01, 'v'}),
                          negative));
    EXPECT_TRUE(negative.IntParams().empty());
    EXPECT_EQ("v", negative.GetStringParam("s"));
}

TEST(CommandStreamTest, shouldRefuseCountsAndLengthsThatLieAboutTheRemainingBytes) {
    // A count of 32,767 before a handful of bytes, in each of the four maps.
    for (int section = 0; section < 4; ++section) {
        Bytes tail(static_cast<size_t>(2 * section), 0);
        const Bytes claim = {0x7F, 0xFF, 0x00, 0x01, 'n', 0x00, 0x00, 0x00, 0x01, 0x00};
        tail.insert(tail.end(), claim.begin(), claim.end());
        CCommand cmd;
        EXPECT_FALSE(ReadExact(Body(tail), cmd)) << "section " << section;
        EXPECT_EQ(0u, ParamCount(cmd));
    }
    // One pair fewer than claimed: the count passes, the third pair fails.
    CCommand cmd;
    EXPECT_FALSE(ReadExact(Body({0x00, 0x03,                                // three ints
                                 0x00, 0x01, 'a',  0x00, 0x00, 0x00, 0x01,  // a = 1
                                 0x00, 0x01, 'b',  0x00, 0x00, 0x00, 0x02,  // b = 2
                                 0x00, 0x00, 0x00, 0x00}),
                           cmd));
    EXPECT_EQ(2u, cmd.IntParams().size());
    // Texts that claim more than is left.
    EXPECT_FALSE(ReadExact({0xFF, 0xFF, 'x', 0, 0, 0, 0}, cmd));
    EXPECT_FALSE(
        ReadExact(Body({0, 0, 0, 0, 0, 0, 0x00, 0x01, 0x00, 0x01, 's', 0x00, 0x09, 'v'}), cmd));
    EXPECT_TRUE(cmd.StringParams().empty());
}

TEST(CommandStreamTest, shouldFailCleanlyWhenCutAtAnyLength) {
    CCommand cmd("order");
    cmd.SetCmdId(7, 40000);
    cmd.SetIntParam("qty", -250);
    cmd.SetIntParam("side", 1);
    cmd.SetDoubleParam("px", 101.25);
    cmd.SetCharParam("tif", 'G');
    cmd.SetStringParam("long", std::string(300, 'L').c_str());
    cmd.SetStringParam("note", "");
    const Bytes whole = Whole(cmd);
    CResponse rsp(cmd);
    rsp.SetStatus(CResponse::RESPONSE_END);
    rsp.SetDoubleParam("avg", -0.5);
    const Bytes wholeRsp = Whole(rsp);

    size_t lastKept = 0;
    for (size_t len = 0; len < whole.size(); ++len) {
        CCommand part;
        ASSERT_FALSE(ReadExact(Bytes(whole.begin(), whole.begin() + len), part)) << len;
        // What was read before the cut stays, and it is what was sent.
        EXPECT_GE(ParamCount(part), lastKept);
        lastKept = ParamCount(part);
        for (const auto& kv : part.IntParams()) {
            EXPECT_EQ(cmd.IntParams().at(kv.first), kv.second);
        }
        for (const auto& kv : part.StringParams()) {
            EXPECT_EQ(cmd.StringParams().at(kv.first), kv.second);
        }
    }
    for (size_t len = 0; len < wholeRsp.size(); ++len) {
        CResponse part;
        ASSERT_FALSE(ReadExact(Bytes(wholeRsp.begin(), wholeRsp.begin() + len), part)) << len;
    }
    CResponse back;
    ASSERT_TRUE(ReadExact(wholeRsp, back));
    EXPECT_EQ(CResponse::RESPONSE_END, back.GetStatus());
    EXPECT_TRUE(SameParams(rsp, back));
}

TEST(ResponseStreamTest, shouldPutTheStatusBeforeTheCommand) {
    CResponse rsp("ping");
    rsp.SetCmdId(1, 2);
    rsp.SetStatus(CResponse::RESPONSE_END);
    const Bytes b = Whole(rsp);
    ASSERT_EQ(22u, b.size());
    EXPECT_EQ((Bytes{0x00, 0x00, 0x00, 0x02, 0x00, 0x04, 'p', 'i', 'n', 'g'}),
              Bytes(b.begin(), b.begin() + 10));
}
