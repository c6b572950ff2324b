#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>

#include "marketdata/cob_test_util.h"
#include "marketdata/md_test_util.h"
#include "qrx/marketdata/cob_msg.h"
#include "qrx/marketdata/cob_request.h"
#include "qrx/marketdata/cob_status.h"
#include "qrx/marketdata/sym_data_aux.h"

using namespace QuorCOB;
using cobtest::NewLeg;
using cobtest::SampleMsg;
using mdtest::Bytes;
using mdtest::Content;
using mdtest::Input;

namespace {

template <typename T>
Bytes Encode(const T& v) {
    CNetStream out(true, 0, 0);
    EXPECT_TRUE(write_cob(out, v));
    return Content(out);
}

// Encodes a sequence of fields written by fn.
Bytes Build(const std::function<void(CNetStream&)>& fn) {
    CNetStream out(true, 0, 0);
    fn(out);
    return Content(out);
}

template <typename T>
std::string Printed(const T& v) {
    std::ostringstream os;
    os << v;
    return os.str();
}

// Reads every prefix of the encoding of v: each must fail without reading past
// the prefix; the whole encoding must read back and be consumed exactly.
template <typename T>
void ExpectEveryPrefixFails(const Bytes& full) {
    for (size_t len = 0; len < full.size(); ++len) {
        Input in(Bytes(full.begin(), full.begin() + long(len)));
        T v;
        EXPECT_FALSE(read_cob(in.strm, v)) << "prefix of " << len << " bytes";
        EXPECT_LE(size_t(in.strm.GetReadOffset()), len);
    }
    Input in(full);
    T v;
    EXPECT_TRUE(read_cob(in.strm, v));
    EXPECT_EQ(in.strm.GetRemaining(), 0);
}

}  // namespace

TEST(COBCodecTest, shouldEncodeRequestFieldByFieldAndReadItBack) {
    CCOBRequest req;
    req.m_nId = 7;
    req.m_nClosure = 0;
    req.m_sTopic = "X";
    const Bytes expected = {0, 0, 0, 7, 0, 0, 0, 0, 0, 1, 'X', 0, 0, 0, 0};
    EXPECT_EQ(Encode(req), expected);
    Input in(expected);
    CCOBRequest back;
    EXPECT_TRUE(read_cob(in.strm, back));
    EXPECT_STREQ(back.m_sTopic.c_str(), "X");
    EXPECT_TRUE(back.m_vecFilters.empty());

    req.m_vecFilters.resize(2);
    req.m_vecFilters[0].m_sFilterField = "strike";
    req.m_vecFilters[0].m_sFilterValueLowerBound = "100";
    req.m_vecFilters[1].m_sFilterValueUpperBound = "20250101";
    const Bytes withFilters = Encode(req);
    Input in2(withFilters);
    CCOBRequest back2;
    in2.strm >> back2;
    EXPECT_EQ(Encode(back2), withFilters);
    EXPECT_EQ(Printed(back2),
              "ID:7 closure:0 topic:X\nFilters:\n"
              "FilterField:strike FilterValueLowerBound:100 FilterValueUpperBound:\n"
              "FilterField: FilterValueLowerBound: FilterValueUpperBound:20250101\n");
    ExpectEveryPrefixFails<CCOBRequest>(withFilters);
}

TEST(COBCodecTest, shouldRoundTripMessageWithInfosDataAuxiliaryEntriesAndIds) {
    const CCOBMsg msg = SampleMsg();
    const Bytes bytes = Encode(msg);
    Input in(bytes);
    CCOBMsg back;
    in.strm >> back;
    EXPECT_EQ(in.strm.GetRemaining(), 0);
    EXPECT_EQ(Encode(back), bytes);
    EXPECT_EQ(Printed(back), Printed(msg));

    // Re-encoding alone would pass on a writer that drops things: check content.
    ASSERT_EQ(back.m_mapInfo.size(), 2u);
    ASSERT_EQ(back.m_mapInfo.at(2).m_vecLegs.size(), 2u);
    EXPECT_EQ(back.m_mapInfo.at(2).m_vecLegs[1].m_dblStrikePrice, 150.5);
    ASSERT_EQ(back.m_mapData.size(), 2u);
    const CCOBData& data = back.m_mapData.at(2);
    ASSERT_EQ(data.m_setAuxData.size(), 2u);
    const SymQData& opt = **data.m_setAuxData.rbegin();
    EXPECT_STREQ(opt.m_topic.c_str(), "IBM C150");
    ASSERT_EQ(opt.m_vecInt.Size(), 1u);
    EXPECT_EQ(opt.m_vecInt[0].m_value, 60);
    EXPECT_EQ(back.m_setIds, (std::set<int>{10, 20}));

    // A data record puts both prices before both sizes.
    const Bytes dataBytes = Encode(msg.m_mapData.at(1));
    const Bytes head = Build([](CNetStream& o) { o << 1 << 1.25 << 1.5 << 100 << 200; });
    EXPECT_TRUE(std::equal(head.begin(), head.end(), dataBytes.begin()));
}

TEST(COBCodecTest, shouldKeepPositiveUniqueIdsAndFirstOfDuplicates) {
    CCOBInfo info5;
    info5.m_nId = 5;
    CCOBInfo info0;
    info0.m_nId = 0;
    info0.m_vecLegs = {cobtest::OptionLeg()};
    CCOBData first;
    first.m_nId = 3;
    first.m_dblBidPrice = 1.0;
    first.AddAuxData(NewLeg("A", {{0, 1.0}}));
    CCOBData second;
    second.m_nId = 3;
    second.m_dblBidPrice = 2.0;
    const Bytes bytes = Build(
        [&](CNetStream& o) { o << "U" << 2 << 2 << 2 << info5 << info0 << first << second << 0; });
    Input in(bytes);
    CCOBMsg msg;
    EXPECT_TRUE(read_cob(in.strm, msg));
    ASSERT_EQ(msg.m_mapInfo.size(), 1u);
    EXPECT_EQ(msg.m_mapInfo.begin()->first, 5);
    ASSERT_EQ(msg.m_mapData.size(), 1u);
    EXPECT_EQ(msg.m_mapData.at(3).m_dblBidPrice, 1.0);
    EXPECT_EQ(msg.m_mapData.at(3).m_setAuxData.size(), 1u);
    EXPECT_EQ(msg.m_eMsgType, CCOBMsg::COB_MSG_TYPE_UPDATE);
}

TEST(COBCodecTest, shouldKeepFirstOfAuxiliaryEntriesWithEqualTopics) {
    std::unique_ptr<SymQData> a(NewLeg("LEG", {{0, 1.5}}));
    std::unique_ptr<SymQData> b(NewLeg("LEG", {{0, 9.5}}));
    const Bytes bytes = Build([&](CNetStream& o) {
        o << 8 << 1.0 << 2.0 << 3 << 4 << 2;
        CSymDataAux::SerializeSymOut(*a, o, nullptr, nullptr);
        CSymDataAux::SerializeSymOut(*b, o, nullptr, nullptr);
        o << 1 << 42;
    });
    Input in(bytes);
    CCOBData data;
    EXPECT_TRUE(read_cob(in.strm, data));
    ASSERT_EQ(data.m_setAuxData.size(), 1u);
    EXPECT_EQ((*data.m_setAuxData.begin())->m_vecDbl[0].m_value, 1.5);
    EXPECT_EQ(data.m_setIds, (std::set<int>{42}));
}

TEST(COBCodecTest, shouldLeaveOutAuxiliaryEntriesWithoutDataSoTheReaderKeepsItsPlace) {
    CCOBData data;
    data.m_nId = 9;
    data.AddAuxData(NewLeg("A", {{0, 1.0}}));
    data.AddAuxData(NewLeg("B", {}));  // symbol and topic only: no body
    data.AddAuxData(new SymQData);     // nothing at all
    data.m_setIds = {1, 2};
    const Bytes bytes = Encode(data);
    Input in(bytes);
    CCOBData back;
    EXPECT_TRUE(read_cob(in.strm, back));
    EXPECT_EQ(in.strm.GetRemaining(), 0);
    ASSERT_EQ(back.m_setAuxData.size(), 1u);
    EXPECT_STREQ((*back.m_setAuxData.begin())->m_topic.c_str(), "A");
    EXPECT_EQ(back.m_setIds, (std::set<int>{1, 2}));
}

TEST(COBCodecTest, shouldRefuseALegWhoseTopicTheBodyCannotCarry) {
    // At the limit the leg arrives under its topic; one character more and the
    // body would leave the topic out, so the reader would file it under "".
    for (int extra : {0, 1}) {
        const std::string a(size_t(CSymDataAux::MAX_BODY_STRING + extra), 'A');
        const std::string b(size_t(CSymDataAux::MAX_BODY_STRING + extra), 'B');
        CCOBData data;
        data.m_nId = 3;
        data.AddAuxData(NewLeg(a.c_str(), {{0, 1.0}}));
        data.AddAuxData(NewLeg(b.c_str(), {{0, 2.0}}));
        CNetStream out(true, 0, 0);
        if (extra == 1) {
            EXPECT_FALSE(write_cob(out, data));
            continue;
        }
        ASSERT_TRUE(write_cob(out, data));
        Input in(Content(out));
        CCOBData back;
        ASSERT_TRUE(read_cob(in.strm, back));
        ASSERT_EQ(back.m_setAuxData.size(), 2u);
        EXPECT_EQ(std::string((*back.m_setAuxData.begin())->m_topic.c_str()), a);
        EXPECT_EQ(std::string((*back.m_setAuxData.rbegin())->m_topic.c_str()), b);
    }
}

TEST(COBCodecTest, shouldReadNothingForNegativeCounts) {
    Input req(Build([](CNetStream& o) { o << 1 << 2 << "T" << -1; }));
    CCOBRequest r;
    EXPECT_TRUE(read_cob(req.strm, r));
    EXPECT_TRUE(r.m_vecFilters.empty());

    Input msg(Build([](CNetStream& o) { o << "U" << 1 << -3 << -4 << -5; }));
    CCOBMsg m;
    EXPECT_TRUE(read_cob(msg.strm, m));
    EXPECT_TRUE(m.m_mapInfo.empty() && m.m_mapData.empty() && m.m_setIds.empty());
}

TEST(COBCodecTest, shouldFailOnEveryTruncationWithoutReadingPastTheEnd) {
    const CCOBMsg msg = SampleMsg();
    ExpectEveryPrefixFails<CCOBMsg>(Encode(msg));
    CCOBStatus st;
    st.m_nId = 4;
    st.m_sStatus = "ok";
    ExpectEveryPrefixFails<CCOBStatus>(Encode(st));
}

TEST(COBCodecTest, shouldRefuseCountsTheMessageCannotHold) {
    // Filters, infos, data and auxiliary entries counted beyond what the bytes hold.
    const int kHuge = 0x7fffffff;
    Input req(Build([&](CNetStream& o) { o << 1 << 2 << "T" << kHuge; }));
    CCOBRequest r;
    EXPECT_FALSE(read_cob(req.strm, r));
    EXPECT_TRUE(r.m_vecFilters.empty());
    for (const Bytes& lie : {
             Build([&](CNetStream& o) { o << "U" << 1 << kHuge << 0 << 0; }),
             Build([&](CNetStream& o) { o << "U" << 1 << 0 << kHuge << 0; }),
             Build([&](CNetStream& o) {
                 o << "U" << 1 << 1 << 0 << 5 << "d"
                   << "x" << 3 << 0 << 0;
             }),
             Build([&](CNetStream& o) {
                 o << "U" << 1 << 0 << 1 << 5 << 1.0 << 2.0 << 3 << 4 << 9 << 0 << 0;
             }),
         }) {
        Input in(lie);
        CCOBMsg m;
        EXPECT_FALSE(read_cob(in.strm, m));
    }

    // Any byte overwritten with a large or negative value: the read ends, and
    // never outside the buffer (checked by the sanitizer build).
    const Bytes good = Encode(SampleMsg());
    for (size_t pos = 0; pos < good.size(); ++pos) {
        for (uint8_t v : {uint8_t(0x7f), uint8_t(0x80), uint8_t(0xff)}) {
            Bytes bad = good;
            bad[pos] = v;
            Input in(bad);
            CCOBMsg m;
            read_cob(in.strm, m);
            EXPECT_LE(in.strm.GetReadOffset(), int(bad.size()));
        }
    }
}

TEST(COBCodecTest, shouldEndRunOfRecordsAfterARecordThatFails) {
    // A run as a receiver reads it: while bytes remain, read one record.
    CCOBStatus st;
    st.m_nId = 1;
    st.m_sStatus = "accepted";
    Bytes run = Build([&](CNetStream& o) { o << st << st; });
    run.push_back(0);  // a stray byte: not a record
    Input in(run);
    int nRead = 0;
    while (in.strm.GetRemaining() > 0 && nRead < 10) {
        CCOBStatus s;
        in.strm >> s;
        ++nRead;
    }
    EXPECT_EQ(nRead, 3);

    Bytes msgs = Build([](CNetStream& o) { o << SampleMsg() << SampleMsg(); });
    const Bytes one = Encode(SampleMsg());
    msgs.insert(msgs.end(), one.begin(), one.begin() + long(one.size() / 2));
    Input in2(msgs);
    int nMsgs = 0;
    while (in2.strm.GetRemaining() > 0 && nMsgs < 10) {
        CCOBMsg m;
        in2.strm >> m;
        ++nMsgs;
    }
    EXPECT_EQ(nMsgs, 3);
}
