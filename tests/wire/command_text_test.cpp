#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "qrx/wire/command.h"
#include "qrx/wire/response.h"

namespace {

std::string Text(const CCommand& cmd) {
    std::ostringstream os;
    cmd.toASCIIString(os);
    return os.str();
}
std::string Text(const CResponse& rsp) {
    std::ostringstream os;
    rsp.toASCIIString(os);
    return os.str();
}

}  // namespace

TEST(CommandTextTest, shouldWriteTheExampleCommandAndRestoreItFromTheText) {
    CCommand cmd("c");
    cmd.SetCmdId(1, 2);
    cmd.SetIntParam("a", 5);
    const std::string text = Text(cmd);
    EXPECT_EQ(std::string("c|1|2|1|a=5|0|0|0|\0", 19), text);

    CCommand back;
    EXPECT_TRUE(back.fromASCIIString(text.c_str()));
    EXPECT_EQ("c", back.GetCmdName());
    EXPECT_EQ(cmd.GetCmdId(), back.GetCmdId());
    EXPECT_EQ(cmd.IntParams(), back.IntParams());
    EXPECT_TRUE(back.DoubleParams().empty() && back.CharParams().empty() &&
                back.StringParams().empty());
}

TEST(CommandTextTest, shouldRoundTripEveryKindAndIdsAboveTheSignedRange) {
    CCommand cmd("multi word");
    cmd.SetCmdId(40000, 65535);
    cmd.SetIntParam("neg", -7);
    cmd.SetIntParam("max", 2147483647);
    cmd.SetDoubleParam("px", 99.5);
    cmd.SetCharParam("ch", '=');
    cmd.SetStringParam("eq", "a=b=c");
    cmd.SetStringParam("empty", "");
    const std::string text = Text(cmd);
    EXPECT_EQ(0u, text.find("multi word|-25536|-1|2|max=2147483647|neg=-7|1|px=99.5|1|ch==|2|"));

    CCommand back;
    ASSERT_TRUE(back.fromASCIIString(text.c_str()));
    EXPECT_EQ(40000, back.GetClientId());
    EXPECT_EQ(65535, back.GetRequestId());
    EXPECT_EQ(cmd.IntParams(), back.IntParams());
    EXPECT_EQ(cmd.DoubleParams(), back.DoubleParams());
    EXPECT_EQ(cmd.CharParams(), back.CharParams());
    EXPECT_EQ(cmd.StringParams(), back.StringParams());

    // Doubles follow the caller's stream settings.
    CCommand precise("p");
    precise.SetDoubleParam("x", 0.1 + 0.2);
    std::ostringstream os;
    os.precision(17);
    precise.toASCIIString(os);
    CCommand restored;
    ASSERT_TRUE(restored.fromASCIIString(os.str().c_str()));
    EXPECT_EQ(precise.DoubleParams(), restored.DoubleParams());
}

TEST(CommandTextTest, shouldStopQuietlyAtAMalformedPieceKeepingWhatCameBefore) {
    CCommand cmd;
    cmd.SetStringParam("old", "kept");
    EXPECT_FALSE(cmd.fromASCIIString("n|1|2|3|a=1|b=2|broken|c=3|0|0|0|"));
    EXPECT_EQ("n", cmd.GetCmdName());
    EXPECT_EQ(2u, cmd.IntParams().size());
    int v = 0;
    EXPECT_FALSE(cmd.GetIntParam("c", v));
    EXPECT_EQ("kept", cmd.GetStringParam("old"));

    CCommand badNumber;
    EXPECT_FALSE(badNumber.fromASCIIString("n|1|2|1|a=5x|0|0|0|"));
    EXPECT_TRUE(badNumber.IntParams().empty());
    CCommand badId;
    EXPECT_FALSE(badId.fromASCIIString("n|one|2|0|0|0|0|"));
    EXPECT_EQ(0, badId.GetClientId());
    EXPECT_EQ(0, badId.GetRequestId());

    // Where the pieces end, reading ends; a huge count cannot make it loop on.
    CCommand cut;
    EXPECT_FALSE(cut.fromASCIIString("n|1|2|32767|a=1|b=2"));
    EXPECT_EQ(2u, cut.IntParams().size());
    EXPECT_FALSE(cut.fromASCIIString("only-a-name"));
    EXPECT_EQ("only-a-name", cut.GetCmdName());
    EXPECT_FALSE(cut.fromASCIIString(nullptr));

    // A negative count reads no pairs.
    CCommand neg;
    EXPECT_TRUE(neg.fromASCIIString("n|1|2|-3|0|0|1|s=v|"));
    EXPECT_EQ("v", neg.GetStringParam("s"));
    EXPECT_TRUE(neg.IntParams().empty());
}

TEST(ResponseTextTest, shouldPutTheStatusFirst) {
    CResponse rsp("c");
    rsp.SetCmdId(1, 2);
    rsp.SetStatus(CResponse::RESPONSE_END);
    rsp.SetCharParam("k", 'x');
    const std::string text = Text(rsp);
    EXPECT_EQ(std::string("2|c|1|2|0|0|1|k=x|0|\0", 21), text);

    CResponse back;
    ASSERT_TRUE(back.fromASCIIString(text.c_str()));
    EXPECT_EQ(CResponse::RESPONSE_END, back.GetStatus());
    EXPECT_EQ(rsp.CharParams(), back.CharParams());
    EXPECT_FALSE(back.fromASCIIString("x|c|1|2|0|0|0|0|"));
    EXPECT_EQ(CResponse::RESPONSE_END, back.GetStatus());
}

TEST(CommandPrintTest, shouldPrintOneLinePerParameterByKind) {
    CResponse rsp("quote");
    rsp.SetCmdId(40000, 2);
    rsp.SetStatus(7);
    rsp.SetStringParam("s", "text");
    rsp.SetCharParam("c", 'Q');
    rsp.SetDoubleParam("d", 1.5);
    rsp.SetIntParam("i", -3);

    std::ostringstream cmdOut;
    cmdOut << static_cast<const CCommand&>(rsp);
    EXPECT_EQ(
        "Command: quote\n"
        "Client Id: 40000 Request Id: 2\n"
        "Int Param: i = -3\n"
        "Dbl Param: d = 1.5\n"
        "Chr Param: c = Q\n"
        "Str Param: s = text\n",
        cmdOut.str());

    std::ostringstream rspOut;
    rspOut << rsp;
    EXPECT_EQ(
        "Response: quote\n"
        "Client Id: 40000 Request Id: 2\n"
        "Status INVALID\n"
        "Int Param: i = -3\n"
        "Dbl Param: d = 1.5\n"
        "Chr Param: c = Q\n"
        "Str Param: s = text\n",
        rspOut.str());
}
