#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <set>
#include <sstream>
#include <string>

#include "marketdata/md_test_util.h"
#include "qrx/marketdata/sym_data_aux.h"

using mdtest::Bytes;
using mdtest::Content;
using mdtest::Input;

namespace {

Bytes Encode(const CSymData& d) {
    CNetStream out(true, 0, 0);
    EXPECT_TRUE(CSymDataAux::SerializeSymOut(d, out));
    return Content(out);
}

CSymData ExampleRecord() {
    CSymData d;
    d.SetFlidDouble(CSymData::flid_bid, 10.5);
    d.SetFlidDouble(CSymData::flid_ask, 10.75);
    d.SetFlidInt(CSymData::flid_bid_size, 300);
    d.SetFlidString(CSymData::flid_symbol, GrowingStr("IBM"));
    return d;
}

const Bytes kExampleBody = {0x00, 0x04,                                      // count
                            0x00, 0x03,                                      // group 0
                            0x40, 0x25, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00,  // ask
                            0x40, 0x25, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // bid
                            0x40, 0x01, 0x00, 0x00, 0x01, 0x2C,              // group 64
                            0x80, 0x01, 0x00, 0x03, 'I',  'B',  'M'};        // group 128

// A record with fields of every type spread over shared and own blocks.
CSymData RandomRecord(std::mt19937& rng) {
    CSymData d;
    std::uniform_int_distribution<int> idDist(0, 2047);
    std::uniform_int_distribution<int> nDist(0, 60);
    const int n = nDist(rng);
    for (int i = 0; i < n; ++i) {
        const int id = idDist(rng);
        switch (id >> 9) {
            case 0:
                d.SetFlidDouble(id, std::ldexp(double(rng() % 100000), -(int(rng() % 20))));
                break;
            case 1:
                d.SetFlidInt(id, int(rng()));
                break;
            case 2:
                d.SetFlidString(
                    id, GrowingStr(std::string(rng() % 40, char('a' + rng() % 26)).c_str()));
                break;
            default:
                d.SetFlidChar(id, char(rng()));
                break;
        }
    }
    return d;
}

// The values of a well-formed body that lie whole within its first cut bytes,
// walked field by field.
size_t WholeValues(const Bytes& body, size_t cut) {
    Input in(Bytes(body.begin(), body.begin() + cut));
    short count = 0;
    char group = 0;
    char mask = 0;
    size_t n = 0;
    if (!in.strm.GetNextField(count)) {
        return 0;
    }
    while (in.strm.GetNextField(group) && in.strm.GetNextField(mask)) {
        for (int bit = 7; bit >= 0; --bit) {
            if (((mask >> bit) & 1) == 0) {
                continue;
            }
            double dv;
            int iv;
            GrowingStr sv;
            char cv;
            const int type = static_cast<unsigned char>(group) >> 6;
            const bool ok = type == 0   ? in.strm.GetNextField(dv)
                            : type == 1 ? in.strm.GetNextField(iv)
                            : type == 2 ? in.strm.GetNextField(sv, 0)
                                        : in.strm.GetNextField(cv);
            if (!ok) {
                return n;
            }
            ++n;
        }
    }
    return n;
}

}  // namespace

TEST(SymDataCodecTest, shouldEncodeTheExampleRecordToItsThirtyThreeBytes) {
    const Bytes body = Encode(ExampleRecord());
    EXPECT_EQ(body.size(), 33u);
    EXPECT_EQ(body, kExampleBody);

    CSymData back;
    Input in(body);
    EXPECT_TRUE(CSymDataAux::SerializeSymIn(back, in.strm));
    EXPECT_TRUE(CSymDataAux::AreEqual(back, ExampleRecord()));
    EXPECT_EQ(in.strm.GetRemaining(), 0);
}

TEST(SymDataCodecTest, shouldEncodeAnEmptyRecordAsCountZeroAndDecodeItToNothing) {
    CSymData empty;
    EXPECT_EQ(Encode(empty), (Bytes{0x00, 0x00}));
    CSymData d;
    Input in(Bytes{0x00, 0x00});
    EXPECT_TRUE(CSymDataAux::SerializeSymIn(d, in.strm));
    EXPECT_TRUE(d.m_setFlids.empty());
}

TEST(SymDataCodecTest, shouldSplitABlockIntoTwoGroupsAndPlaceCharsInTheTopGroups) {
    CSymData d;
    d.SetFlidDouble(0, 1.0);
    d.SetFlidDouble(15, 2.0);
    const Bytes body = Encode(d);
    const Bytes expected = {0x00, 0x02, 0x00, 0x01, 0x3F, 0xF0, 0, 0, 0, 0, 0,
                            0,    0x01, 0x80, 0x40, 0x00, 0,    0, 0, 0, 0, 0};
    EXPECT_EQ(body, expected);

    CSymData c;
    c.SetFlidChar(CSymData::flid_sho_indicator, 'Y');
    EXPECT_EQ(Encode(c), (Bytes{0x00, 0x01, 193, 0x80, 'Y'}));
}

TEST(SymDataCodecTest, shouldRoundTripRandomRecordsThroughStreamAndSerializedBuf) {
    std::mt19937 rng(12345);
    CSymData reused;
    for (int i = 0; i < 200; ++i) {
        const CSymData d = RandomRecord(rng);
        const Bytes body = Encode(d);
        Input in(body);
        reused.clear();
        ASSERT_TRUE(CSymDataAux::SerializeSymIn(reused, in.strm)) << i;
        ASSERT_TRUE(CSymDataAux::AreEqual(reused, d)) << i;

        SerializedBuf sb;
        CSymData src(d);
        ASSERT_TRUE(CSymDataAux::SerializeSymOut(src, sb));
        ASSERT_EQ(Bytes(sb.m_SerializedBuffer.GetData(),
                        sb.m_SerializedBuffer.GetData() + sb.m_SerializedBuffer.GetLength()),
                  body);
        CSymData fromBuf;
        ASSERT_TRUE(CSymDataAux::SerializeSymIn(fromBuf, sb, nullptr));
        ASSERT_TRUE(CSymDataAux::AreEqual(fromBuf, d));
    }
}

TEST(SymDataCodecTest, shouldDecodeSeveralBodiesFromOneStreamIntoAnUncleardRecord) {
    CSymData a;
    a.SetFlidDouble(0, 1.0);
    a.SetFlidInt(512, 5);
    CSymData b;
    b.SetFlidDouble(0, 2.0);
    CNetStream out(true, 0, 0);
    CSymDataAux::SerializeSymOut(a, out);
    CSymDataAux::SerializeSymOut(b, out);
    Input in(Content(out));
    CSymData d;
    ASSERT_TRUE(CSymDataAux::SerializeSymIn(d, in.strm));
    ASSERT_TRUE(CSymDataAux::SerializeSymIn(d, in.strm));
    EXPECT_EQ(d.GetFlidDoubleOrDefault(0, 0), 2.0);  // overwritten
    EXPECT_EQ(d.GetFlidIntOrDefault(512, 0), 5);     // kept: the record is not cleared
    EXPECT_EQ(in.strm.GetRemaining(), 0);
}

TEST(SymDataCodecTest, shouldFailWithTheErrorLineOnABodyCutInsideAGroup) {
    // count 2, group 0 mask 0x03, the first double whole, the second cut.
    const Bytes body = {0x00, 0x02, 0x00, 0x03, 0x40, 0x25, 0x80, 0, 0, 0, 0, 0, 0x40, 0x25};
    CSymData d;
    Input in(body);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(CSymDataAux::SerializeSymIn(d, in.strm));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "SerializeSymIn error reading flid double 0\n");
    EXPECT_EQ(d.GetFlidDoubleOrDefault(1, 0), 10.75);  // stored before the failure
    EXPECT_FALSE(d.m_setFlids[0]);

    const Bytes noMask = {0x00, 0x01, 0x40};
    Input in2(noMask);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(CSymDataAux::SerializeSymIn(d, in2.strm));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "SerializeSymIn error reading record mask \n");

    const Bytes longString = {0x00, 0x01, 0x80, 0x01, 0x40, 0x01};  // 16385 characters
    Bytes big = longString;
    big.resize(big.size() + 0x4001, 'x');
    Input in3(big);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(CSymDataAux::SerializeSymIn(d, in3.strm));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "SerializeSymIn error reading flid string 1024\n");
    EXPECT_FALSE(d.m_setFlids[1024]);
}

TEST(SymDataCodecTest, shouldStopAtTheEndOfAGroupThatOverrunsTheCount) {
    // The count says 2 but the group carries three values; a second body follows.
    Bytes body = {0x00, 0x02, 0x40, 0x07, 0, 0, 0, 3, 0, 0, 0, 2, 0, 0, 0, 1};
    const Bytes next = Encode(ExampleRecord());
    body.insert(body.end(), next.begin(), next.end());
    CSymData d;
    Input in(body);
    EXPECT_FALSE(CSymDataAux::SerializeSymIn(d, in.strm));
    EXPECT_EQ(d.GetFlidIntOrDefault(514, 0), 3);  // the whole group was read
    EXPECT_EQ(d.GetFlidIntOrDefault(512, 0), 1);
    EXPECT_EQ(in.strm.GetRemaining(), int(next.size()));  // nothing of the next body

    const Bytes negative = {0xFF, 0xFE, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0, 0};
    Input in2(negative);
    EXPECT_FALSE(CSymDataAux::SerializeSymIn(d, in2.strm));
    EXPECT_EQ(in2.strm.GetRemaining(), int(negative.size()) - 2);
}

TEST(SymDataCodecTest, shouldFailWhenTheCountClaimsMoreThanTheBodyHolds) {
    const Bytes body = {0x7F, 0xFF, 0xC0, 0x01, 'A'};
    CSymData d;
    Input in(body);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(CSymDataAux::SerializeSymIn(d, in.strm));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "SerializeSymIn error reading record number \n");
    EXPECT_EQ(d.GetFlidCharOrDefault(1536, 0), 'A');
}

TEST(SymDataCodecTest, shouldClassifyAndCarryTheTopicInASerializedBuf) {
    CSymData d = ExampleRecord();
    d.SetFlidString(CSymData::flid_topic, GrowingStr("0\x06IBM"));
    SerializedBuf sb;
    ASSERT_TRUE(CSymDataAux::SerializeSymOut(d, sb));
    EXPECT_STREQ(sb.m_topic.c_str(), "0\x06IBM");
    EXPECT_EQ(sb.m_eTickType, SerializedBuf::TK_TYPE_DEF);

    CSymData sizes;
    sizes.SetFlidInt(512, 1);
    sizes.SetFlidInt(513, 2);
    sizes.SetFlidString(1024, GrowingStr("X"));
    CSymDataAux::SerializeSymOut(sizes, sb);
    EXPECT_EQ(sb.m_eTickType, SerializedBuf::TK_TYPE_MKTSIZE_ONLY);
    EXPECT_STREQ(sb.m_topic.c_str(), "");  // the topic reference of a record without one

    sizes.SetFlidInt(514, 100);
    CSymDataAux::SerializeSymOut(sizes, sb);
    EXPECT_EQ(sb.m_eTickType, SerializedBuf::TK_TYPE_TRD_DATA);

    // Every subset of the ids that matter to the rule, and one that does not.
    const int ids[] = {2, 3, 7, 18, 21, 512, 513, 514, 516, 517, 1024, 1074, 1536, 100};
    const int n = sizeof ids / sizeof ids[0];
    std::mt19937 rng(3);
    for (int i = 0; i < 2000; ++i) {
        CSymData r;
        CTickClassifier expected;
        for (int k = 0; k < n; ++k) {
            if (rng() % 4 == 0) {
                const int id = ids[k];
                (id < 512)    ? r.SetFlidDouble(id, 1.0)
                : (id < 1024) ? r.SetFlidInt(id, 1)
                : (id < 1536) ? r.SetFlidString(id, GrowingStr("x"))
                              : r.SetFlidChar(id, 'x');
                expected.Add(id);
            }
        }
        SerializedBuf each;
        CSymDataAux::SerializeSymOut(r, each);
        ASSERT_EQ(each.m_eTickType, expected.Result()) << i;
    }

    SerializedBuf copy;
    copy.Copy(sb);
    EXPECT_EQ(copy.m_SerializedBuffer.GetLength(), sb.m_SerializedBuffer.GetLength());
    EXPECT_EQ(copy.m_eTickType, SerializedBuf::TK_TYPE_TRD_DATA);
}

TEST(SymDataCodecTest, shouldSkipExcludedIdsAndGoOnDecoding) {
    CSymData src = ExampleRecord();
    src.SetFlidString(1030, GrowingStr("skip me"));
    src.SetFlidChar(1540, 'L');
    SerializedBuf sb;
    CSymDataAux::SerializeSymOut(src, sb);
    std::set<int> excluded = {0, 1030};
    CSymData d;
    EXPECT_TRUE(CSymDataAux::SerializeSymIn(d, sb, &excluded));
    EXPECT_FALSE(d.m_setFlids[0]);
    EXPECT_FALSE(d.m_setFlids[1030]);
    EXPECT_EQ(d.GetFlidDoubleOrDefault(1, 0), 10.75);
    EXPECT_EQ(d.GetFlidCharOrDefault(1540, 0), 'L');
    EXPECT_EQ(d.m_setFlids.size(), 4u);

    // A cut buffer fails with the buffer decoder's own error text.
    sb.m_SerializedBuffer.SetLength(sb.m_SerializedBuffer.GetLength() - 1);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(CSymDataAux::SerializeSymIn(d, sb, nullptr));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "SerializeSymIn error reading char flid 1540\n");
}

TEST(SymDataCodecTest, shouldEncodeAndDecodeWithoutAllocatingOnceWarm) {
    if (!mdtest::AllocCounter::Available()) {
        GTEST_SKIP() << "allocation counting is off under the sanitizers";
    }
    std::mt19937 rng(7);
    CSymData src = RandomRecord(rng);
    src.SetFlidString(1024, GrowingStr("SYMBOL.X"));
    src.SetFlidString(1074, GrowingStr("0\x06SYMBOL.X"));
    src.SetFlidDouble(40, 1.0);
    src.SetFlidDouble(56, 2.0);
    CNetStream out(true, 0, 0);
    CSymData dst;
    SerializedBuf sb;
    auto round = [&]() {
        out.SeekBegin();
        CSymDataAux::SerializeSymOut(src, out);
        char* p = nullptr;
        int n = 0;
        out.GetBuf(p, n);
        CNetStream in(p, n, false);
        dst.clear();
        EXPECT_TRUE(CSymDataAux::SerializeSymIn(dst, in));
        CSymDataAux::SerializeSymOut(src, sb);
        dst.clear();
        EXPECT_TRUE(CSymDataAux::SerializeSymIn(dst, sb, nullptr));
    };
    round();  // warms the stream, the buffer and the record's blocks and strings
    mdtest::AllocCounter counter;
    counter.Start();
    { CSymData fresh; }  // the counter does see allocations
    ASSERT_GT(counter.Stop(), 0);
    counter.Start();
    for (int i = 0; i < 10; ++i) {
        round();
    }
    EXPECT_EQ(counter.Stop(), 0);
    EXPECT_TRUE(CSymDataAux::AreEqual(dst, src));
}

TEST(SymDataCodecTest, shouldPrintNamesOrIdsInIdOrder) {
    CSymData d;
    d.SetFlidDouble(150, 1.5);
    d.SetFlidDouble(0, 2.0);
    d.SetFlidInt(512, 300);
    d.SetFlidString(1024, GrowingStr("IBM"));
    d.SetFlidChar(1536, 'Y');
    std::ostringstream os;
    CSymDataAux::Print(os, d);
    EXPECT_EQ(os.str(),
              "TOPIC=|SYMBOL=IBM|bid=2|150=1.5|bid_size=300|symbol=IBM|fx_is_inverse=Y|\n");
}

TEST(SymDataCodecTest, shouldWriteTheWholeBodyIntoAnAttachedBufferOrNothing) {
    const CSymData d = ExampleRecord();
    char exact[33];
    CNetStream fits(exact, sizeof exact, true);
    ASSERT_TRUE(CSymDataAux::SerializeSymOut(d, fits));
    EXPECT_EQ(Content(fits), kExampleBody);

    char shortBuf[32];
    CNetStream tooSmall(shortBuf, sizeof shortBuf, true);
    EXPECT_FALSE(CSymDataAux::SerializeSymOut(d, tooSmall));
    EXPECT_EQ(tooSmall.GetWriteOffset(), 0);  // no partial body left behind

    Input in(kExampleBody);
    EXPECT_FALSE(CSymDataAux::SerializeSymOut(d, in.strm));  // an input stream takes nothing
}

TEST(SymDataCodecTest, shouldKeepOnlyWholeValuesOfABodyCutAnywhere) {
    CSymData src;
    for (int id = 0; id < 10; ++id) {  // a full group and a partial one
        src.SetFlidDouble(id, 0.5 + id);
    }
    for (int id = 512; id < 516; ++id) {
        src.SetFlidInt(id, -id);
    }
    src.SetFlidString(1024, GrowingStr("VOD.L"));
    src.SetFlidString(1030, GrowingStr(""));
    src.SetFlidString(1074, GrowingStr("a topic longer than sixteen bytes"));
    src.SetFlidChar(1536, 'A');
    src.SetFlidChar(1543, 'B');
    const Bytes body = Encode(src);

    for (size_t cut = 0; cut < body.size(); ++cut) {
        CSymData d;
        Input in(Bytes(body.begin(), body.begin() + cut));  // exactly sized: overreads show
        testing::internal::CaptureStderr();
        EXPECT_FALSE(CSymDataAux::SerializeSymIn(d, in.strm)) << cut;
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_TRUE(err.empty() || err.rfind("SerializeSymIn error", 0) == 0) << cut << err;
        for (auto it = d.m_setFlids.begin(); it != d.m_setFlids.end(); ++it) {
            ASSERT_TRUE(src.m_setFlids[*it]) << cut;
        }
        CSymData common(src);
        common.insert(d);  // d's values over src's: equal only if d's are src's
        EXPECT_TRUE(CSymDataAux::AreEqual(common, src)) << cut;
        EXPECT_EQ(d.m_setFlids.size(), WholeValues(body, cut)) << cut;
    }
    CSymData whole;
    Input in(body);
    EXPECT_TRUE(CSymDataAux::SerializeSymIn(whole, in.strm));
    EXPECT_TRUE(CSymDataAux::AreEqual(whole, src));
}

TEST(SymDataCodecTest, shouldGiveADecodedBlockItsOwnStorageWhenItsSharedSlotIsTaken) {
    // Double blocks 2 and 3 and string blocks 4 and 5 start out on their
    // map's shared block; ids 32/48 and 1088/1104 land on the same shared slot.
    CSymData d;
    d.SetFlidDouble(32, 1.0);
    d.SetFlidString(1088, GrowingStr("keep"));
    CSymData upd;
    upd.SetFlidDouble(48, 2.0);
    upd.SetFlidDouble(33, 3.0);
    upd.SetFlidString(1104, GrowingStr("new"));
    const Bytes body = Encode(upd);

    Input in(body);
    ASSERT_TRUE(CSymDataAux::SerializeSymIn(d, in.strm));
    EXPECT_EQ(d.GetFlidDoubleOrDefault(32, 0), 1.0);
    EXPECT_EQ(d.GetFlidDoubleOrDefault(33, 0), 3.0);
    EXPECT_EQ(d.GetFlidDoubleOrDefault(48, 0), 2.0);
    EXPECT_STREQ(d.GetFlidStringOrDefault(1088, GrowingStr()).c_str(), "keep");
    EXPECT_STREQ(d.GetFlidStringOrDefault(1104, GrowingStr()).c_str(), "new");
    EXPECT_EQ(d.m_setFlids.size(), 5u);
    EXPECT_FALSE(d.m_map_flid_2_double.IsSharedBlock(3));
    EXPECT_FALSE(d.m_map_flid_2_GrowingStr.IsSharedBlock(5));

    d.clear();
    Input again(body);
    ASSERT_TRUE(CSymDataAux::SerializeSymIn(d, again.strm));
    EXPECT_TRUE(CSymDataAux::AreEqual(d, upd));
}
