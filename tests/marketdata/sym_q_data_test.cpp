#include "qrx/marketdata/sym_q_data.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <vector>

#include "marketdata/md_test_util.h"
#include "qrx/marketdata/set_flids.h"
#include "qrx/marketdata/sym_data_aux.h"

using mdtest::Bytes;
using mdtest::Content;
using mdtest::Input;

namespace {

Bytes EncodeQ(SymQData& q, std::set<short>* allow = nullptr, std::set<short>* deny = nullptr) {
    CNetStream out(true, 0, 0);
    EXPECT_TRUE(CSymDataAux::SerializeSymOut(q, out, allow, deny));
    return Content(out);
}

SymQData Leg(const char* symbol) {
    SymQData q;
    q.SetFlid(short(1074), (std::string("0\x06") + symbol).c_str());
    q.SetFlid(short(1024), symbol);
    return q;
}

std::vector<short> Ids(const SymQData& q) {
    std::vector<short> ids;
    for (auto it = q.begin(); it != q.end(); ++it) {
        ids.push_back(*it);
    }
    return ids;
}

// A body carrying bid 10.5 and ask 10.75.
Bytes BidAskBody() {
    CSymData d;
    d.SetFlidDouble(0, 10.5);
    d.SetFlidDouble(1, 10.75);
    CNetStream out(true, 0, 0);
    CSymDataAux::SerializeSymOut(d, out);
    return Content(out);
}

}  // namespace

TEST(DynArrayTest, shouldDoubleWhenFullAndKeepStringObjectsWhenEmptied) {
    DynArray<StrFld, ObjCopy> arr(2);
    for (short i = 0; i < 5; ++i) {
        StrFld f;
        f.m_flid = i;
        f.m_value = "text";
        arr.push_back(f);
    }
    EXPECT_EQ(arr.Size(), 5u);
    EXPECT_EQ(arr.Capacity(), 8u);
    EXPECT_STREQ(arr[4].m_value.c_str(), "text");
    const char* buffer = arr[0].m_value.c_str();
    arr.Clear();
    EXPECT_EQ(arr.Size(), 0u);
    EXPECT_EQ(arr.Capacity(), 8u);
    StrFld& slot = arr.NextSlot();
    slot.m_value.assign("abc");
    EXPECT_EQ(slot.m_value.c_str(), buffer);  // the object and its buffer are reused

    DynArray<DblFld, MemCopy> d(10);
    DblFld f{3, 1.0};
    d.push_back(f);
    DynArray<DblFld, MemCopy> copy(1);
    copy.CopyFrom(d);  // capacity 1 is not larger than size 1: replaced by capacity 10
    EXPECT_EQ(copy.Capacity(), 10u);
    EXPECT_EQ(copy[0].m_flid, 3);
}

TEST(DynArrayTest, shouldAppendACopyOfItsOwnEntryWhenItMustGrow) {
    // The entry appended lies in the storage that growing replaces.
    DynArray<StrFld, ObjCopy> arr(2);
    StrFld f;
    f.m_flid = 7;
    f.m_value = "a text longer than the inline copy";
    arr.push_back(f);
    arr.push_back(f);
    arr.push_back(arr[1]);
    ASSERT_EQ(arr.Size(), 3u);
    EXPECT_EQ(arr[2].m_flid, 7);
    EXPECT_STREQ(arr[2].m_value.c_str(), "a text longer than the inline copy");
    EXPECT_STREQ(arr[1].m_value.c_str(), "a text longer than the inline copy");

    DynArray<DblFld, MemCopy> d(1);
    d.push_back(DblFld{3, 2.5});
    d.push_back(d[0]);
    ASSERT_EQ(d.Size(), 2u);
    EXPECT_EQ(d[1].m_flid, 3);
    EXPECT_EQ(d[1].m_value, 2.5);
}

TEST(SetFlidsTest, shouldHoldIdsAsBitsAndWalkThemInOrder) {
    SetFlids<2048> s;
    EXPECT_EQ(s.first(), 2048);
    EXPECT_TRUE(s.insert(1551));
    EXPECT_TRUE(s.insert(0));
    EXPECT_TRUE(s.insert(63));
    EXPECT_TRUE(s.insert(64));
    EXPECT_FALSE(s.insert(64));
    EXPECT_FALSE(s.insert(2048));
    EXPECT_FALSE(s.insert(-1));
    EXPECT_EQ(s.size(), 4u);
    std::vector<int> ids;
    for (int id = s.first(); id < 2048; id = s.next(id)) {
        ids.push_back(id);
    }
    EXPECT_EQ(ids, (std::vector<int>{0, 63, 64, 1551}));
    EXPECT_EQ(s.erase(63), 1u);
    EXPECT_FALSE(s[63]);
    EXPECT_TRUE(s.find(1551));
    EXPECT_EQ(s.next(1551), 2048);
    s.clear();
    EXPECT_TRUE(s.empty());
}

TEST(SymQDataTest, shouldReplaceEntriesWithTheSameIdAndRefuseIdsOfAnotherType) {
    SymQData q;
    EXPECT_TRUE(q.SetFlid(short(5), 1.0));
    EXPECT_TRUE(q.SetFlid(short(2), 2.0));
    EXPECT_TRUE(q.SetFlid(short(5), 3.0));
    EXPECT_FALSE(q.SetFlid(short(600), 1.0));
    EXPECT_FALSE(q.SetFlid(short(5), 1));
    EXPECT_FALSE(q.SetFlid(short(512), 'c'));
    EXPECT_FALSE(q.SetFlid(short(-4), "x"));
    EXPECT_TRUE(q.SetFlid(short(520), 7));
    EXPECT_TRUE(q.SetFlid(short(1600), 'c'));
    EXPECT_EQ(q.Size(), 4u);
    EXPECT_FALSE(q.m_bSorted);
    q.Sort();
    EXPECT_EQ(Ids(q), (std::vector<short>{2, 5, 520, 1600}));
    EXPECT_EQ(q.m_vecDbl[1].m_value, 3.0);
}

TEST(SymQDataTest, shouldStoreOneOfItsOwnTextsUnderAnotherIdWhenTheArrayGrows) {
    SymQData q;
    for (short i = 0; i < 5; ++i) {
        ASSERT_TRUE(q.SetFlid(static_cast<short>(1024 + i), "a text longer than the inline copy"));
    }
    // The text given is an entry of q's full text array, which the new entry makes grow.
    ASSERT_TRUE(q.SetFlid(short(1100), q.m_vecStr[2].m_value));
    ASSERT_EQ(q.m_vecStr.Size(), 6u);
    EXPECT_EQ(q.m_vecStr[5].m_flid, 1100);
    EXPECT_STREQ(q.m_vecStr[5].m_value.c_str(), "a text longer than the inline copy");
    EXPECT_STREQ(q.m_vecStr[2].m_value.c_str(), "a text longer than the inline copy");
}

TEST(SymQDataTest, shouldMergeWithTheSourceWinning) {
    SymQData a = Leg("A");
    a.SetFlid(short(0), 1.0);
    a.SetFlid(short(1), 2.0);
    SymQData b;
    b.SetFlid(short(1), 5.0);
    b.SetFlid(short(512), 9);
    SymQData::Merge(a, b);
    EXPECT_TRUE(a.m_bSorted);
    EXPECT_EQ(Ids(a), (std::vector<short>{0, 1, 512, 1024, 1074}));
    EXPECT_EQ(a.m_vecDbl[1].m_value, 5.0);

    SymQData c;
    c.m_nSeqNum = 9;
    c.Copy(a);
    EXPECT_EQ(c.m_nSeqNum, a.m_nSeqNum);
    EXPECT_EQ(Ids(c), Ids(a));
    EXPECT_STREQ(c.m_vecStr[0].m_value.c_str(), "A");
}

TEST(SymQDataTest, shouldEncodeNothingForSymbolAndTopicAloneAndCountThemOtherwise) {
    SymQData q = Leg("IBM");
    EXPECT_TRUE(EncodeQ(q).empty());
    q.SetFlid(short(0), 10.5);
    const Bytes body = EncodeQ(q);
    ASSERT_GE(body.size(), 2u);
    EXPECT_EQ(body[0], 0);
    EXPECT_EQ(body[1], 3);

    // The body is a record body: the record decoder reads it whole.
    CSymData d;
    Input in(body);
    ASSERT_TRUE(CSymDataAux::SerializeSymIn(d, in.strm));
    EXPECT_EQ(in.strm.GetRemaining(), 0);
    EXPECT_STREQ(d.m_symbol.c_str(), "IBM");
    EXPECT_EQ(d.m_bid, 10.5);
}

TEST(SymQDataTest, shouldCountOnlyWhatItWritesWhenSymbolOrTopicIsMissing) {
    SymQData q;
    q.SetFlid(short(0), 1.0);
    q.SetFlid(short(1), 2.0);
    const Bytes body = EncodeQ(q);
    EXPECT_EQ(body, (Bytes{0x00, 0x02, 0x00, 0x03, 0x40, 0, 0, 0, 0, 0,
                           0,    0,    0x3F, 0xF0, 0,    0, 0, 0, 0, 0}));
    SymQData back;
    Input in(body);
    EXPECT_TRUE(CSymDataAux::SerializeSymIn(back, in.strm, nullptr, false, nullptr));
    EXPECT_EQ(back.Size(), 2u);
}

TEST(SymQDataTest, shouldWriteAReadableBodyWhateverTheSortedFlagClaims) {
    // Entries appended out of order, then declared sorted.
    SymQData q = Leg("IBM");
    SymQData::AppendFld(q.m_vecDbl, short(1), 2.0);
    SymQData::AppendFld(q.m_vecDbl, short(9), 3.0);
    SymQData::AppendFld(q.m_vecDbl, short(0), 1.0);
    SymQData::AppendFld(q.m_vecInt, short(513), 7);
    SymQData::AppendFld(q.m_vecInt, short(512), 6);
    q.SetSort(true);
    const Bytes body = EncodeQ(q);
    CSymData d;
    Input in(body);
    ASSERT_TRUE(CSymDataAux::SerializeSymIn(d, in.strm));
    EXPECT_EQ(in.strm.GetRemaining(), 0);
    EXPECT_EQ(d.m_bid, 1.0);
    EXPECT_EQ(d.m_ask, 2.0);
    EXPECT_EQ(d.GetFlidDoubleOrDefault(9, 0.0), 3.0);
    EXPECT_EQ(d.m_bid_size, 6);
    EXPECT_EQ(d.m_ask_size, 7);
    EXPECT_STREQ(d.m_symbol.c_str(), "IBM");
    // Groups in increasing order: group 0, group 1, then the ints' group 64.
    ASSERT_GE(body.size(), 4u);
    EXPECT_EQ(body[1], 7);
    EXPECT_EQ(body[2], 0);
    EXPECT_EQ(body[3], 0x03);

    // Every id of one group twice, in falling order: one value per id (the first
    // appended), and no group holds more than its eight entries.
    SymQData r = Leg("IBM");
    for (int round = 0; round < 2; ++round) {
        for (short id = 7; id >= 0; --id) {
            SymQData::AppendFld(r.m_vecDbl, id, double(id + 100 * round));
        }
    }
    r.SetSort(true);
    const Bytes twice = EncodeQ(r);
    ASSERT_GE(twice.size(), 4u);
    EXPECT_EQ(twice[1], 8 + 2);
    EXPECT_EQ(twice[2], 0);
    EXPECT_EQ(twice[3], 0xFF);
    SymQData back;
    Input in2(twice);
    ASSERT_TRUE(CSymDataAux::SerializeSymIn(back, in2.strm, nullptr, false, nullptr));
    EXPECT_EQ(in2.strm.GetRemaining(), 0);
    ASSERT_EQ(back.m_vecDbl.Size(), 8u);
    for (short id = 0; id < 8; ++id) {
        EXPECT_EQ(back.m_vecDbl[size_t(id)].m_flid, id);
        EXPECT_EQ(back.m_vecDbl[size_t(id)].m_value, double(id));
    }
}

TEST(SymQDataTest, shouldLeaveOutTextsTooLongForAPeerToRead) {
    SymQData q = Leg("IBM");
    q.SetFlid(short(0), 1.5);
    const std::string longest(CSymDataAux::MAX_BODY_STRING, 'a');
    q.SetFlid(short(1100), longest.c_str());
    q.SetFlid(short(1101), (longest + "b").c_str());
    const Bytes body = EncodeQ(q);
    ASSERT_GE(body.size(), 2u);
    EXPECT_EQ(body[1], 4);  // bid, the longest text, symbol and topic
    SymQData back;
    Input in(body);
    ASSERT_TRUE(CSymDataAux::SerializeSymIn(back, in.strm, nullptr, false, nullptr));
    EXPECT_EQ(in.strm.GetRemaining(), 0);
    EXPECT_EQ(Ids(back), (std::vector<short>{0, 1024, 1074, 1100}));
    EXPECT_EQ(back.m_vecStr[2].m_value.length(), CSymDataAux::MAX_BODY_STRING);

    // With nothing else to send, nothing is written at all.
    SymQData alone = Leg("IBM");
    alone.SetFlid(short(1101), (longest + "b").c_str());
    EXPECT_TRUE(EncodeQ(alone).empty());
    EXPECT_FALSE(CSymDataAux::HasSymBody(alone));
}

TEST(SymQDataTest, shouldFilterOnEncodingButAlwaysSendSymbolAndTopic) {
    SymQData q = Leg("X");
    q.SetFlid(short(0), 1.0);
    q.SetFlid(short(1), 2.0);
    q.SetFlid(short(520), 4);
    std::set<short> deny = {0, 1024};
    std::set<short> allow = {1, 520};
    std::set<short> none = {7};
    SymQData back;
    {
        Input in(EncodeQ(q, nullptr, &deny));
        ASSERT_TRUE(CSymDataAux::SerializeSymIn(back, in.strm, nullptr, false, nullptr));
        EXPECT_EQ(Ids(back), (std::vector<short>{1, 520, 1024, 1074}));
    }
    {
        Input in(EncodeQ(q, &allow, &deny));
        ASSERT_TRUE(CSymDataAux::SerializeSymIn(back, in.strm, nullptr, false, nullptr));
        EXPECT_EQ(Ids(back), (std::vector<short>{1, 520, 1024, 1074}));
    }
    EXPECT_TRUE(EncodeQ(q, &none, nullptr).empty());
}

TEST(SymQDataTest, shouldDecodeWithDenyOrAllowListsAndTellWhetherAnythingPassed) {
    const Bytes body = BidAskBody();
    std::set<int> only0 = {0};
    std::set<int> only7 = {7};
    SymQData q;
    bool publish = false;
    {
        Input in(body);
        ASSERT_TRUE(CSymDataAux::SerializeSymIn(q, in.strm, &only0, false, &publish));
        EXPECT_EQ(Ids(q), (std::vector<short>{1}));
        EXPECT_TRUE(publish);
    }
    {
        Input in(body);
        ASSERT_TRUE(CSymDataAux::SerializeSymIn(q, in.strm, &only0, true, &publish));
        EXPECT_EQ(Ids(q), (std::vector<short>{0}));
        EXPECT_EQ(q.m_vecDbl[0].m_value, 10.5);
        EXPECT_TRUE(publish);
    }
    {
        Input in(body);
        ASSERT_TRUE(CSymDataAux::SerializeSymIn(q, in.strm, &only7, true, &publish));
        EXPECT_EQ(q.Size(), 0u);
        EXPECT_FALSE(publish);
        EXPECT_EQ(q.m_eTickType, SymQData::TK_TYPE_DEF);  // classified from every id seen
    }
}

TEST(SymQDataTest, shouldKeepSymbolAndTopicTextsEvenWhenFilteredOut) {
    CSymData d;
    d.SetFlidString(1024, GrowingStr("IBM"));
    d.SetFlidString(1074, GrowingStr("4\x06N\x06IBM"));
    d.SetFlidInt(512, 1);
    CNetStream out(true, 0, 0);
    CSymDataAux::SerializeSymOut(d, out);
    std::set<int> only512 = {512};
    SymQData q;
    Input in(Content(out));
    ASSERT_TRUE(CSymDataAux::SerializeSymIn(q, in.strm, &only512, true, nullptr));
    EXPECT_STREQ(q.m_topic.c_str(), "4\x06N\x06IBM");
    EXPECT_EQ(Ids(q), (std::vector<short>{512, 1024, 1074}));
    EXPECT_EQ(q.m_eTickType, SymQData::TK_TYPE_MKTSIZE_ONLY);
    EXPECT_TRUE(q.m_bSorted);
}

TEST(SymQDataTest, shouldFailOnCutOrLyingBodiesWithoutReadingPastThem) {
    Bytes body = BidAskBody();
    SymQData q;
    {
        Input in(Bytes(body.begin(), body.end() - 3));
        testing::internal::CaptureStderr();
        EXPECT_FALSE(CSymDataAux::SerializeSymIn(q, in.strm, nullptr, false, nullptr));
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "SerializeSymIn error reading double flid 0\n");
        EXPECT_EQ(Ids(q), (std::vector<short>{1}));
    }
    {
        body[1] = 1;  // count 1, two values in the group
        body.push_back(0x55);
        Input in(body);
        EXPECT_FALSE(CSymDataAux::SerializeSymIn(q, in.strm, nullptr, false, nullptr));
        EXPECT_EQ(in.strm.GetRemaining(), 1);
    }
    {
        Input in(Bytes{0x00});
        EXPECT_FALSE(CSymDataAux::SerializeSymIn(q, in.strm, nullptr, false, nullptr));
        Input empty(Bytes{0x00, 0x00});
        EXPECT_TRUE(CSymDataAux::SerializeSymIn(q, empty.strm, nullptr, false, nullptr));
        EXPECT_EQ(q.Size(), 0u);
    }
}

TEST(SymQDataTest, shouldClassifyUpdatesByTheirFields) {
    auto classify = [](std::vector<int> ids) {
        CSymData d;
        for (int id : ids) {
            switch (id >> 9) {
                case 0:
                    d.SetFlidDouble(id, 1.0);
                    break;
                case 1:
                    d.SetFlidInt(id, 1);
                    break;
                default:
                    d.SetFlidString(id, GrowingStr("S"));
                    break;
            }
        }
        SymQData q;
        CSymDataAux::Copy(d, q);
        return q.m_eTickType;
    };
    EXPECT_EQ(classify({0, 1}), SymQData::TK_TYPE_DEF);
    EXPECT_EQ(classify({512, 513, 1024}), SymQData::TK_TYPE_MKTSIZE_ONLY);
    EXPECT_EQ(classify({}), SymQData::TK_TYPE_MKTSIZE_ONLY);
    EXPECT_EQ(classify({0, 514}), SymQData::TK_TYPE_TRD_DATA);
    EXPECT_EQ(classify({18}), SymQData::TK_TYPE_TRD_DATA);
    EXPECT_EQ(classify({515, 1074, 1025}), SymQData::TK_TYPE_DEF);
}

TEST(SymQDataTest, shouldConvertToAndFromRecords) {
    CSymData d;
    d.SetFlidDouble(40, 1.0);
    d.SetFlidDouble(3, 2.0);
    d.SetFlidInt(600, 3);
    d.SetFlidString(1024, GrowingStr("IBM"));
    d.SetFlidString(1074, GrowingStr("0\x06IBM"));
    d.SetFlidChar(1551, 'Y');
    SymQData q;
    q.SetFlid(short(7), 9.0);  // emptied by the conversion
    CSymDataAux::Copy(d, q);
    EXPECT_EQ(Ids(q), (std::vector<short>{3, 40, 600, 1024, 1074, 1551}));
    EXPECT_STREQ(q.m_topic.c_str(), "0\x06IBM");
    EXPECT_EQ(q.m_eTickType, SymQData::TK_TYPE_TRD_DATA);

    CSymData back;
    EXPECT_TRUE(CSymDataAux::Copy(q, back));
    EXPECT_TRUE(CSymDataAux::AreEqual(back, d));

    q.m_vecInt[0].m_flid = 5;  // an int entry with a double id
    CSymData partial;
    EXPECT_FALSE(CSymDataAux::Copy(q, partial));
    EXPECT_EQ(partial.m_setFlids.size(), 2u);  // the doubles before it
    EXPECT_FALSE(partial.m_setFlids[1024]);
}

TEST(SymQDataTest, shouldPrintInBothForms) {
    SymQData q = Leg("IBM");
    q.SetFlid(short(0), 10.5);
    q.SetFlid(short(160), 1.25);
    q.SetFlid(short(1551), 'Y');
    q.m_topic = "T";
    q.Sort();
    std::ostringstream os;
    CSymDataAux::Print(os, q);
    EXPECT_EQ(os.str(), "TOPIC=T|bid=10.5|160=1.25|symbol=IBM|topic=0\x06IBM|sho_indicator=Y|\n");
    std::ostringstream ticks;
    ticks << q;
    EXPECT_EQ(ticks.str(),
              "Tick for : T\n Flid (0) = 10.5\n Flid (160) = 1.25\n Flid (1024) = IBM\n"
              " Flid (1074) = 0\x06IBM\n Flid (1551) = Y\n");
}
