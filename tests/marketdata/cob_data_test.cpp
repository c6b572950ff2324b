#include "qrx/marketdata/cob_data.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "marketdata/cob_test_util.h"
#include "qrx/marketdata/cob_msg.h"
#include "qrx/marketdata/cob_status.h"

using namespace QuorCOB;
using cobtest::NewLeg;

namespace {

using DblStep = std::tuple<std::string, int, double>;

std::vector<DblStep> WalkDoubles(CCOBData& data, int maxSteps = 20) {
    std::vector<DblStep> steps;
    const char* leg = nullptr;
    int flid = -1;
    double v = 0;
    while (int(steps.size()) < maxSteps && data.GetNextDblAuxField(&leg, flid, v)) {
        steps.emplace_back(leg, flid, v);
    }
    return steps;
}

CCOBData TwoLegs() {
    CCOBData data;
    data.AddAuxData(NewLeg("LEG2", {{0, 2.5}, {1, 3.5}}));
    data.AddAuxData(NewLeg("LEG1", {{0, 1.5}}));
    return data;
}

template <typename T>
std::string Printed(const T& v) {
    std::ostringstream os;
    os << v;
    return os.str();
}

}  // namespace

TEST(COBDataTest, shouldWalkDoublesOverTwoLegsInTopicOrderAndStartAgain) {
    CCOBData data = TwoLegs();
    const std::vector<DblStep> expected = {{"LEG1", 0, 1.5}, {"LEG2", 0, 2.5}, {"LEG2", 1, 3.5}};
    EXPECT_EQ(WalkDoubles(data), expected);
    EXPECT_EQ(WalkDoubles(data), expected);  // the walk ended and starts at leg 1 again

    // The single-step form reads without moving; it needs a walk under way.
    const char* leg = nullptr;
    int flid = -1;
    double v = 0;
    EXPECT_FALSE(data.GetDblField(&leg, flid, v));
    ASSERT_TRUE(data.ResetAuxIterators());
    EXPECT_TRUE(data.GetDblField(&leg, flid, v));
    EXPECT_TRUE(data.GetDblField(&leg, flid, v));
    EXPECT_STREQ(leg, "LEG1");
    EXPECT_EQ(v, 1.5);
}

TEST(COBDataTest, shouldWalkEveryValueTypeOverTheLegsThatHoldIt) {
    CCOBData data = TwoLegs();
    SymQData* third = NewLeg("LEG3", {});
    third->SetFlid(short(512), 300);
    third->SetFlid(short(1536), 'B');
    data.AddAuxData(third);
    (*data.m_setAuxData.begin())->SetFlid(short(513), 7);

    const char* leg = nullptr;
    int flid = -1;
    int n = 0;
    std::vector<std::tuple<std::string, int, int>> ints;
    while (ints.size() < 10 && data.GetNextIntAuxField(&leg, flid, n)) {
        ints.emplace_back(leg, flid, n);
    }
    EXPECT_EQ(ints, (decltype(ints){{"LEG1", 513, 7}, {"LEG3", 512, 300}}));

    char c = 0;
    ASSERT_TRUE(data.GetNextChrAuxField(&leg, flid, c));
    EXPECT_STREQ(leg, "LEG3");
    EXPECT_EQ(flid, 1536);
    EXPECT_EQ(c, 'B');
    EXPECT_FALSE(data.GetNextChrAuxField(&leg, flid, c));

    const char* text = nullptr;
    ASSERT_TRUE(data.GetNextStrAuxField(&leg, flid, &text));
    EXPECT_EQ(flid, 1024);
    EXPECT_STREQ(text, "LEG1");

    CCOBData empty;
    double d = 0;
    EXPECT_FALSE(empty.ResetAuxIterators());
    EXPECT_FALSE(empty.GetNextDblAuxField(&leg, flid, d));
    EXPECT_FALSE(empty.GetNextIntAuxField(&leg, flid, n));
    EXPECT_FALSE(empty.GetNextChrAuxField(&leg, flid, c));
    EXPECT_FALSE(empty.GetNextStrAuxField(&leg, flid, &text));
}

TEST(COBDataTest, shouldKeepAnEntryAddedAgainAndDropOnlyAnotherOfTheSameTopic) {
    CCOBData data = TwoLegs();
    SymQData* leg1 = *data.m_setAuxData.begin();
    // The entry it owns already, handed over a second time, is neither added nor deleted.
    EXPECT_FALSE(data.AddAuxData(leg1));
    ASSERT_EQ(data.m_setAuxData.size(), 2u);
    EXPECT_EQ(*data.m_setAuxData.begin(), leg1);
    EXPECT_FALSE(data.AddAuxData(NewLeg("LEG1", {{0, 7.0}})));
    EXPECT_EQ(WalkDoubles(data),
              (std::vector<DblStep>{DblStep("LEG1", 0, 1.5), DblStep("LEG2", 0, 2.5),
                                    DblStep("LEG2", 1, 3.5)}));
}

TEST(COBDataTest, shouldCopyAuxiliaryEntriesDeeplyAndReplaceThemOnAssignment) {
    CCOBData src = TwoLegs();
    src.m_nId = 4;
    src.m_setIds = {1};
    CCOBData copy(src);
    (*src.m_setAuxData.begin())->m_vecDbl[0].m_value = 99.0;
    EXPECT_EQ(WalkDoubles(copy).front(), DblStep("LEG1", 0, 1.5));
    EXPECT_NE(*copy.m_setAuxData.begin(), *src.m_setAuxData.begin());

    CCOBData target;
    target.AddAuxData(NewLeg("OWN", {{0, 8.0}}));
    target.m_setIds = {5, 6};
    const char* leg = nullptr;
    int flid = -1;
    double v = 0;
    ASSERT_TRUE(target.GetNextDblAuxField(&leg, flid, v));  // a walk under way
    target = copy;
    EXPECT_EQ(target.m_nId, 4);
    EXPECT_EQ(target.m_setIds, (std::set<int>{1}));
    EXPECT_EQ(WalkDoubles(target), WalkDoubles(copy));  // the walk restarted, OWN is gone
}

TEST(COBDataTest, shouldPrintEveryRecordInItsOwnForm) {
    EXPECT_EQ(Printed(CCOBData()),
              "COB ID:-1 BidPrice:-1e+09 BidSize:0 AskPrice:-1e+09 AskSize:0\n"
              "Auxiliary data:\nData UUIDs:\n");
    EXPECT_EQ(Printed(cobtest::EquityLeg()), "Equity:IBM IsOption:0");

    CCOBStatus status;
    status.m_nId = 4;
    status.m_sStatus = "ok";
    EXPECT_EQ(Printed(status), "COB Status Message.ID:4 status is:ok\n");

    CCOBMsg msg;
    msg.m_sUnderlying = "IBM";
    msg.m_eMsgType = CCOBMsg::COB_MSG_TYPE_UPDATE;
    CCOBInfo& info = msg.m_mapInfo[1];
    info.m_nId = 1;
    info.m_sDescription = "spread";
    info.m_sExchange = "XNYS";
    info.m_vecLegs = {cobtest::OptionLeg(), cobtest::EquityLeg()};
    info.m_setIds = {10, 11};
    CCOBData& data = msg.m_mapData[1];
    data.m_nId = 1;
    data.m_dblBidPrice = 1.25;
    data.m_nBidSize = 100;
    data.m_dblAskPrice = 1.5;
    data.m_nAskSize = 200;
    data.AddAuxData(NewLeg("LEG", {{0, 2.5}}));
    data.m_setIds = {10};
    msg.m_setIds = {10, 11};
    EXPECT_EQ(Printed(msg),
              "Equity Underlying:IBM Msg Type:2\n"
              "COB ID:1 Description:spread Exchange:XNYS\n"
              "Leg[0]:\nOption Underlying:IBM expiry:20240621 ratio:2 strike price:150.5 "
              "Call/Put:C isbid:1 IsOption:1\n"
              "Leg[1]:\nEquity:IBM IsOption:0\n"
              "Info UUIDs:10 11 \n"
              "COB ID:1 BidPrice:1.25 BidSize:100 AskPrice:1.5 AskSize:200\n"
              "Auxiliary data:\n"
              "Tick for : LEG\n Flid (0) = 2.5\n Flid (1024) = LEG\n Flid (1074) = LEG\n\n"
              "Data UUIDs:10 \n"
              "COB Msg UUIDs:10 11 \n");
}
