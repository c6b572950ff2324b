#include "qrx/wire/command_serialization.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qrx/runtime/growing_buffer.h"
#include "qrx/wire/response.h"
#include "wire/command_parts_util.h"

using cmdtest::Collector;
using cmdtest::Deliver;
using cmdtest::SameParams;
using cmdtest::Send;
using cmdtest::SentPart;
using wiretest::Bytes;

namespace {

// The leading counts of a part body (int, double, char) when the command's
// opening is nOpening bytes; only the first is meaningful unless the int and
// double sections are empty.
std::vector<int> LeadingCounts(const Bytes& stream, size_t nOpening) {
    // Stream form: 8-byte header, 2-byte body length, then the body.
    std::vector<int> counts;
    size_t at = 10 + nOpening;
    for (int i = 0; i < 3; ++i) {
        counts.push_back(stream.at(at) << 8 | stream.at(at + 1));
        at += 2;
    }
    return counts;
}

std::string Name(const char* prefix, int i) {
    char buf[16];
    snprintf(buf, sizeof buf, "%s%02d", prefix, i);
    return buf;
}

}  // namespace

TEST(CommandSerializationTest, shouldSendACommandWithoutParametersWholeInOneMessage) {
    CCommand cmd("ping");
    cmd.SetCmdId(1, 2);
    const std::vector<SentPart> parts = Send(cmd);
    ASSERT_EQ(1u, parts.size());
    EXPECT_EQ(11, parts[0].subType);
    EXPECT_EQ(0, parts[0].nParams);
    EXPECT_EQ(18u, parts[0].partLen);
    const Bytes expected = {0x00, 0x1C, 0x00, 0x0F, 0x00, 0x0E, 0x00, 0x0B,  // header
                            0x00, 0x12,                                      // body length
                            0x00, 0x04, 'p',  'i',  'n',  'g',  0x00, 0x01, 0x00,
                            0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(expected, parts[0].stream);

    const Collector<CCommand> rx = Deliver<CCommand>(parts);
    ASSERT_TRUE(rx.allRead);
    ASSERT_EQ(1u, rx.delivered.size());
    EXPECT_EQ("ping", rx.delivered[0].GetCmdName());
    EXPECT_EQ(cmd.GetCmdId(), rx.delivered[0].GetCmdId());
}

TEST(CommandSerializationTest, shouldSplitFortyThousandBytesOfTextsOverThreeParts) {
    CCommand cmd("bulk");
    cmd.SetCmdId(3, 9);
    cmd.SetIntParam("i", 42);
    cmd.SetDoubleParam("d", 2.5);
    cmd.SetCharParam("c", 'y');
    for (int i = 0; i < 40; ++i) {
        cmd.SetStringParam(Name("t", i).c_str(),
                           std::string(1000, static_cast<char>('A' + i % 26)).c_str());
    }
    const std::vector<SentPart> parts = Send(cmd);
    ASSERT_EQ(3u, parts.size());
    EXPECT_EQ(14, parts[0].subType);
    EXPECT_EQ(15, parts[1].subType);
    EXPECT_EQ(16, parts[2].subType);
    int total = 0;
    for (const SentPart& p : parts) {
        EXPECT_LE(p.partLen, static_cast<unsigned>(CCommand::MAX_PART_LEN));
        EXPECT_EQ(p.partLen + 10, p.stream.size());
        total += p.nParams;
    }
    EXPECT_EQ(43, total);
    const size_t opening = 2 + 4 + 4;
    EXPECT_EQ(1, LeadingCounts(parts[0].stream, opening)[0]);
    EXPECT_EQ((std::vector<int>{0, 0, 0}), LeadingCounts(parts[1].stream, opening));
    EXPECT_EQ((std::vector<int>{0, 0, 0}), LeadingCounts(parts[2].stream, opening));

    Collector<CCommand> rx;
    for (size_t i = 0; i < parts.size(); ++i) {
        rx.Receive(parts[i].stream);
        EXPECT_EQ(i + 1 == parts.size() ? 1u : 0u, rx.delivered.size()) << i;
    }
    ASSERT_TRUE(rx.allRead);
    ASSERT_EQ(3u, rx.bodyLens.size());
    for (size_t i = 0; i < parts.size(); ++i) {
        EXPECT_EQ(static_cast<int>(parts[i].partLen), rx.bodyLens[i]);
    }
    ASSERT_EQ(1u, rx.delivered.size());
    EXPECT_TRUE(rx.pending.empty());
    EXPECT_TRUE(SameParams(cmd, rx.delivered[0]));
}

TEST(CommandSerializationTest, shouldFillEveryPartAsFarAsTheNextParameterAllows) {
    // Parameters of every kind and many sizes, so that parts end in every section.
    CCommand cmd("mix");
    for (int i = 0; i < 3000; ++i) {
        cmd.SetIntParam(Name("i", i).c_str(), i);
    }
    for (int i = 0; i < 1500; ++i) {
        cmd.SetDoubleParam(Name("d", i).c_str(), i * 0.5);
    }
    for (int i = 0; i < 4000; ++i) {
        cmd.SetCharParam(Name("c", i).c_str(), static_cast<char>(i));
    }
    for (int i = 0; i < 60; ++i) {
        cmd.SetStringParam(Name("s", i).c_str(),
                           std::string(static_cast<size_t>(i * 97 % 1500), 'x').c_str());
    }
    // The exact byte sizes of each pair, in the order they are written.
    std::vector<int> pairBytes;
    for (const auto& kv : cmd.IntParams()) {
        pairBytes.push_back(2 + kv.first.length() + 4);
    }
    for (const auto& kv : cmd.DoubleParams()) {
        pairBytes.push_back(2 + kv.first.length() + 8);
    }
    for (const auto& kv : cmd.CharParams()) {
        pairBytes.push_back(2 + kv.first.length() + 1);
    }
    for (const auto& kv : cmd.StringParams()) {
        pairBytes.push_back(4 + kv.first.length() + kv.second.length());
    }

    const std::vector<SentPart> parts = Send(cmd);
    ASSERT_GT(parts.size(), 4u);
    const int emptyPart = 2 + 3 + 4 + 8;
    size_t next = 0;
    for (size_t i = 0; i < parts.size(); ++i) {
        const SentPart& p = parts[i];
        ASSERT_LE(p.partLen, static_cast<unsigned>(CCommand::MAX_PART_LEN));
        int sum = emptyPart;
        for (int k = 0; k < p.nParams; ++k) {
            sum += pairBytes.at(next++);
        }
        EXPECT_EQ(static_cast<unsigned>(sum), p.partLen) << "part " << i;
        if (i + 1 < parts.size()) {
            // Closed only because the next pair would not have fitted.
            EXPECT_GT(sum + pairBytes.at(next), CCommand::MAX_PART_LEN) << "part " << i;
        }
    }
    EXPECT_EQ(pairBytes.size(), next);

    const Collector<CCommand> rx = Deliver<CCommand>(parts);
    ASSERT_TRUE(rx.allRead);
    ASSERT_EQ(1u, rx.delivered.size());
    EXPECT_TRUE(SameParams(cmd, rx.delivered[0]));
}

TEST(CommandSerializationTest, shouldFillAPartToExactlyItsBound) {
    // Opening 7, three empty counts 6, text count 2, pair 2 + 1 + 2 + value.
    const int fits = CCommand::MAX_PART_LEN - 7 - 6 - 2 - 5;
    CCommand cmd("c");
    cmd.SetStringParam("s", std::string(static_cast<size_t>(fits), 'v').c_str());
    std::vector<SentPart> parts = Send(cmd);
    ASSERT_EQ(1u, parts.size());
    EXPECT_EQ(static_cast<unsigned>(CCommand::MAX_PART_LEN), parts[0].partLen);
    EXPECT_EQ(1, parts[0].nParams);

    cmd.SetStringParam("s", std::string(static_cast<size_t>(fits + 1), 'v').c_str());
    testing::internal::CaptureStderr();
    parts = Send(cmd);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ("Field s is too big to fit in one c message, make it less than 15360 byte!\n", err);
    // The dropped parameter was the last: an empty part still ends the command.
    ASSERT_EQ(1u, parts.size());
    EXPECT_EQ(11, parts[0].subType);
    EXPECT_EQ(0, parts[0].nParams);
    EXPECT_EQ(15u, parts[0].partLen);
}

TEST(CommandSerializationTest, shouldDropATextTooBigForAnyPartAndSendTheRest) {
    CCommand cmd("big");
    cmd.SetCmdId(5, 6);
    cmd.SetIntParam("n", 1);
    cmd.SetStringParam("a", "before");
    cmd.SetStringParam("huge", std::string(16000, 'h').c_str());
    cmd.SetStringParam("z", "after");

    testing::internal::CaptureStderr();
    const std::vector<SentPart> parts = Send(cmd);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ("Field huge is too big to fit in one big message, make it less than 15360 byte!\n",
              err);

    // The call that drops leaves only what the caller had written.
    CGrowingBuffer msg(16);
    msg.Append("HDR", 3);
    CCommand alone("big");
    alone.SetStringParam("huge", std::string(16000, 'h').c_str());
    CCommandSerializationState state;
    testing::internal::CaptureStderr();
    EXPECT_EQ(0, alone.SerializeOut(msg, state));
    testing::internal::GetCapturedStderr();
    EXPECT_FALSE(state.m_bDone);
    EXPECT_EQ(3, msg.GetLength());

    const Collector<CCommand> rx = Deliver<CCommand>(parts);
    ASSERT_TRUE(rx.allRead);
    ASSERT_EQ(1u, rx.delivered.size());
    const CCommand& got = rx.delivered[0];
    EXPECT_EQ("before", got.GetStringParam("a"));
    EXPECT_EQ("after", got.GetStringParam("z"));
    EXPECT_EQ(2u, got.StringParams().size());
    EXPECT_EQ(cmd.IntParams(), got.IntParams());
}

TEST(CommandSerializationTest, shouldDropNumbersTooBigForAnyPartWithoutALine) {
    const std::string longName(CCommand::MAX_PART_LEN, 'n');
    CCommand cmd("c");
    cmd.SetIntParam(longName.c_str(), 1);
    cmd.SetDoubleParam(longName.c_str(), 1.0);
    cmd.SetCharParam(longName.c_str(), 'x');
    cmd.SetIntParam("kept", 2);

    testing::internal::CaptureStderr();
    const std::vector<SentPart> parts = Send(cmd);
    // Only the character parameter is reported.
    EXPECT_EQ("Field " + longName +
                  " is too big to fit in one c message, make it less than 15360 byte!\n",
              testing::internal::GetCapturedStderr());
    // "kept", then the empty part that ends the command.
    ASSERT_EQ(2u, parts.size());
    EXPECT_EQ(1, parts[0].nParams);
    EXPECT_EQ(16, parts[1].subType);
    EXPECT_EQ(15u, parts[1].partLen);

    const Collector<CCommand> rx = Deliver<CCommand>(parts);
    ASSERT_TRUE(rx.allRead);
    ASSERT_EQ(1u, rx.delivered.size());
    EXPECT_EQ(1u, rx.delivered[0].IntParams().size());
    EXPECT_EQ(2, rx.delivered[0].IntParams().at("kept"));
    EXPECT_TRUE(rx.delivered[0].DoubleParams().empty() && rx.delivered[0].CharParams().empty());
}

TEST(ResponseSerializationTest, shouldBeginEveryPartWithTheStatus) {
    CResponse rsp("report");
    rsp.SetCmdId(2, 1);
    rsp.SetStatus(CResponse::RESPONSE_END);
    for (int i = 0; i < 20; ++i) {
        rsp.SetStringParam(Name("r", i).c_str(), std::string(1000, 'r').c_str());
    }
    const std::vector<SentPart> parts = Send(rsp);
    ASSERT_EQ(2u, parts.size());
    EXPECT_EQ(17, parts[0].subType);
    EXPECT_EQ(19, parts[1].subType);
    for (const SentPart& p : parts) {
        EXPECT_EQ((Bytes{0x00, 0x00, 0x00, 0x02}),
                  Bytes(p.stream.begin() + 10, p.stream.begin() + 14));
        EXPECT_EQ(p.partLen + 10, p.stream.size());
        // The bound applies to the command part; the status comes on top.
        EXPECT_LE(p.partLen, static_cast<unsigned>(CCommand::MAX_PART_LEN) + 4);
    }
    const Collector<CResponse> rx = Deliver<CResponse>(parts);
    ASSERT_TRUE(rx.allRead);
    ASSERT_EQ(1u, rx.delivered.size());
    EXPECT_EQ(CResponse::RESPONSE_END, rx.delivered[0].GetStatus());
    EXPECT_EQ(rsp.StringParams(), rx.delivered[0].StringParams());

    CResponse small("ok");
    small.SetStatus(CResponse::RESPONSE_START);
    const std::vector<SentPart> one = Send(small);
    ASSERT_EQ(1u, one.size());
    EXPECT_EQ(12, one[0].subType);
    EXPECT_EQ(4u + 16u, one[0].partLen);
}
