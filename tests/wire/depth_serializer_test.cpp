#include "qrx/wire/depth_msgs.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "qrx/wire/msg_hdr_stream.h"
#include "qrx/wire/session_msgs.h"
#include "wire/wire_test_util.h"

using testing::HasSubstr;
using wiretest::Bytes;
using wiretest::Content;
using wiretest::ExpectWholeOrNothing;
using wiretest::MsgMem;
using wiretest::Received;
using wiretest::Write;

namespace {

MsgHdrRtpDepth* NewDepth(MsgMem& m, short submtyp, int bodyLen, short mtyp = CM_DEPTH) {
    MsgHdrRtpDepth* p = m.As<MsgHdrRtpDepth>();
    p->hdr_typ = MsgHdrRtpDepth::HDR_TYPE;
    p->mtyp = mtyp;
    p->submtyp = submtyp;
    p->msglen = static_cast<unsigned short>(MsgHdrRtpDepth::BODY_OFFSET + bodyLen);
    strcpy(p->m_szSymbol, "EUR/USD");
    p->m_cSource = 'X';
    return p;
}

// Reads the bytes as a received message into back, with what it logs.
bool ReadBack(const Bytes& wire, MsgMem& back, CMsgMemAllocator* pAlloc = nullptr,
              std::string* pLog = nullptr) {
    Received r(wire);
    testing::internal::CaptureStderr();
    const bool ok = r.Read(back.As<MsgHdrCmn>(), pAlloc);
    const std::string log = testing::internal::GetCapturedStderr();
    if (pLog != nullptr) {
        *pLog = log;
    }
    return ok;
}

template <typename T>
T* Body(MsgHdrRtpDepth* p) {
    return reinterpret_cast<T*>(MsgBody(p));
}
template <typename T>
T* Body(MsgMem& m) {
    return Body<T>(m.As<MsgHdrRtpDepth>());
}

// A message of type CM_DEPTH built field by field as a peer would send it,
// from its symbol and source on.
struct PeerMsg {
    explicit PeerMsg(short submtyp) {
        out.SetHdrType(MsgHdrRtpDepth::HDR_TYPE);
        out.SetMsgType(CM_DEPTH);
        out.SetSubMsgType(submtyp);
        out << "SYM" << 'S';
    }
    PeerMsg& Text(const char* s) {
        out << s;
        return *this;
    }
    PeerMsg& Char(char c) {
        out << c;
        return *this;
    }
    PeerMsg& Int(int v) {
        out << v;
        return *this;
    }
    PeerMsg& Entry(double v, int size) {
        out << v << size << 'B' << short(1);
        return *this;
    }
    Bytes Done() {
        out.Flush();
        return Content(out);
    }
    CMsgHdrStream out{true, 0, 0};
};

// A message with one fixed record, filled with values that survive the trip.
struct RecordCase {
    short submtyp;
    int recSize;
    bool carriesSymbol;
    std::function<void(MsgHdrRtpDepth*)> fill;
};

std::vector<RecordCase> RecordCases() {
    std::vector<RecordCase> c;
    auto none = [](MsgHdrRtpDepth*) {};
    for (short sub : {108, 109, 118, 119}) {
        c.push_back({sub, 0, true, none});
    }
    for (short sub : {111, 112, 121}) {
        c.push_back({sub, 0, false, none});
    }
    c.push_back({116, 64, false, [](MsgHdrRtpDepth* p) {
                     strcpy(Body<stTerminalInfo>(p)->m_szSerialNo, "SN-0042");
                     strcpy(Body<stTerminalInfo>(p)->m_szTerminal, "desk 7");
                 }});
    c.push_back({117, 64, false, [](MsgHdrRtpDepth* p) { strcpy(MsgBody(p), "ended"); }});
    c.push_back({120, 32, false, [](MsgHdrRtpDepth* p) {
                     strcpy(Body<stLoginInfo>(p)->m_szUsername, "trader");
                     strcpy(Body<stLoginInfo>(p)->m_szPassword, "secret");
                 }});
    c.push_back({122, 32, true, [](MsgHdrRtpDepth* p) {
                     stDepthSummary* s = Body<stDepthSummary>(p);  // padding stays zero
                     s->m_bIsBid = true;
                     s->m_nVolume = -5000;
                     s->m_dblHigh = 1.2345;
                     s->m_dblVwap = 1.17;
                 }});
    c.push_back({123, 64, true, [](MsgHdrRtpDepth* p) {
                     strcpy(Body<stDepthParamStr>(p)->m_szName, "levels");
                     strcpy(Body<stDepthParamStr>(p)->m_szValue, "10");
                 }});
    c.push_back({125, 64, true, [](MsgHdrRtpDepth* p) { memset(MsgBody(p), 'r', 63); }});
    for (short sub : {126, 127, 128, 131}) {
        c.push_back({sub, 32, true, [](MsgHdrRtpDepth* p) {
                         stFXRFQ* r = Body<stFXRFQ>(p);
                         strcpy(r->m_szSender, "bank");
                         r->m_cType = 'S';
                         r->m_nSize = 1000000;
                         r->m_nFarSize = -1;
                         r->m_nReqID = 77;
                     }});
    }
    c.push_back({130, 26, false, [](MsgHdrRtpDepth* p) {
                     *Body<stDepthConnStatus>(p) = {'E', true, "restored"};
                 }});
    c.push_back({134, 8, true, [](MsgHdrRtpDepth* p) { strcpy(MsgBody(p), "ABCDEFG"); }});
    c.push_back({135, 1, true, [](MsgHdrRtpDepth* p) { MsgBody(p)[0] = true; }});
    return c;
}

void FillEntry(stMktDepth& e, int i) {
    e = {char('A' + i), short(i), uint32_t(100 * (i + 1)), 1.25 + i, 99, 9.5};
}

}  // namespace

TEST(DepthSerializerTest, shouldCountEntriesFromTheMessageLengthBothWays) {
    MsgMem m, back;
    MsgHdrRtpDepth* p = NewDepth(m, DEPTH_MKT_DEPTH, 64);
    strcpy(p->m_szSymbol, "AB");
    p->m_cSource = 'N';
    FillEntry(Body<stMktDepth>(p)[0], 0);
    FillEntry(Body<stMktDepth>(p)[1], 1);
    const Bytes wire = Write(p);
    const Bytes expected = {0x00, 0x2F, 0x00, 0x0A, 0x00, 0x01, 0x00, 0x6E,        // header
                            0x00, 0x02, 'A',  'B',  'N',  0x00, 0x00, 0x00, 0x02,  // count 2
                            0x3F, 0xF4, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,        // 1.25
                            0x00, 0x00, 0x00, 0x64, 'A',  0x00, 0x00,              // 100 A 0
                            0x40, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,        // 2.25
                            0x00, 0x00, 0x00, 0xC8, 'B',  0x00, 0x01};             // 200 B 1
    EXPECT_EQ(wire, expected);
    ASSERT_TRUE(ReadBack(wire, back));
    MsgHdrRtpDepth* b = back.As<MsgHdrRtpDepth>();
    EXPECT_EQ(b->msglen, 112);
    EXPECT_STREQ(b->m_szSymbol, "AB");
    const stMktDepth& e1 = Body<stMktDepth>(b)[1];
    EXPECT_EQ(e1.nSize, 200u);
    EXPECT_EQ(e1.dblValue, 2.25);
    EXPECT_EQ(e1.nRawSize, 0u);  // not carried

    ASSERT_TRUE(ReadBack(Write(NewDepth(m, DEPTH_MKT_DEPTH, 8)), back));
    EXPECT_EQ(b->msglen, 56);

    // Quotes carry their texts, cut to their fields when they fill them.
    p = NewDepth(m, DEPTH_FX_QUOTE, 2 * sizeof(stFXQuote));
    memset(Body<stFXQuote>(p)[1].szQuoteId, 'q', 256);
    memcpy(Body<stFXQuote>(p)[1].szMMId, "12345678", 8);
    ASSERT_TRUE(ReadBack(Write(p), back));
    EXPECT_EQ(b->msglen, 48 + 2 * 296);
    EXPECT_EQ(std::string(Body<stFXQuote>(b)[1].szQuoteId), std::string(255, 'q'));
    EXPECT_STREQ(Body<stFXQuote>(b)[1].szMMId, "1234567");
}

TEST(DepthSerializerTest, shouldCarryEveryFixedRecordAndClearWhatAMessageDoesNotCarry) {
    for (const RecordCase& c : RecordCases()) {
        MsgMem m, back;
        MsgHdrRtpDepth* p = NewDepth(m, c.submtyp, c.recSize);
        c.fill(p);
        memset(back.Raw(), 0x5A, 512);
        ASSERT_TRUE(ReadBack(Write(p), back)) << c.submtyp;
        MsgHdrRtpDepth* b = back.As<MsgHdrRtpDepth>();
        EXPECT_EQ(b->msglen, 48 + std::max(c.recSize, 8)) << c.submtyp;
        EXPECT_STREQ(b->m_szSymbol, c.carriesSymbol ? "EUR/USD" : "") << c.submtyp;
        const bool source = c.carriesSymbol || c.submtyp == DEPTH_TERMINAL_INFO;
        EXPECT_EQ(b->m_cSource, source ? 'X' : '\0') << c.submtyp;
        EXPECT_EQ(memcmp(MsgBody(b), MsgBody(p), size_t(c.recSize)), 0) << c.submtyp;
    }
    // The short text goes out with at most 7 characters.
    MsgMem m, back;
    strcpy(MsgBody(NewDepth(m, DEPTH_SHORT_TEXT, 16)), "ABCDEFGHIJ");
    ASSERT_TRUE(ReadBack(Write(m.As<MsgHdrCmn>()), back));
    EXPECT_EQ(std::string(Body<char>(back), 8), std::string("ABCDEFG\0", 8));
}

TEST(DepthSerializerTest, shouldReadAllocationsIntoAllocatorMemory) {
    MsgMem m, back;
    MsgHdrRtpDepth* p = NewDepth(m, DEPTH_FX_ALLOC_RFQ_137, sizeof(stFXAllocRFQ));
    stAlloc allocs[3] = {{"ACCT-0", 1000, 0}, {"ACCT-1", 2000, 1}, {"", 3000, 2}};
    memset(allocs[2].m_szAccount, 'a', 30);
    *Body<stFXAllocRFQ>(p) = {"bank", 'B', 5000000, 0, 9, 3, allocs};
    CMsgMemAllocator alloc;
    ASSERT_TRUE(ReadBack(Write(p), back, &alloc));
    const stFXAllocRFQ* got = Body<stFXAllocRFQ>(back);
    EXPECT_EQ(back.As<MsgHdrRtpDepth>()->msglen, 96);
    EXPECT_EQ(got->m_nReqID, 9);
    ASSERT_EQ(got->m_nAllocs, 3);
    ASSERT_NE(got->m_pAllocs, nullptr);
    EXPECT_EQ(alloc.GetCount(), 1u);
    EXPECT_STREQ(got->m_pAllocs[1].m_szAccount, "ACCT-1");
    EXPECT_EQ(got->m_pAllocs[1].m_nShare, 2000u);
    EXPECT_EQ(std::string(got->m_pAllocs[2].m_szAccount), std::string(29, 'a'));

    EXPECT_FALSE(ReadBack(Write(p), back, nullptr));  // nowhere to put them

    // Counts the message cannot hold are refused before any allocation; a
    // negative one reads nothing.
    for (int count : {1000000, 2, -1}) {
        PeerMsg peer(DEPTH_FX_ALLOC_RFQ_136);
        peer.Text("sender").Char('S').Int(0).Int(0).Int(0).Int(count).Text("ONE").Int(1).Int(1);
        CMsgMemAllocator a;
        std::string log;
        EXPECT_EQ(ReadBack(peer.Done(), back, &a, &log), count < 0) << count;
        EXPECT_EQ(a.GetCount(), 0u);
        EXPECT_EQ(got->m_pAllocs, nullptr);
        if (count > 0) {
            EXPECT_THAT(log, HasSubstr("Entry count out of range:" + std::to_string(count)));
        }
    }

    Body<stFXAllocRFQ>(p)->m_pAllocs = nullptr;  // a count without entries is not sent
    bool ok = true;
    Write(p, &ok);
    EXPECT_FALSE(ok);

    // More allocations than a message can carry are refused before any is written, as the
    // reader refuses them.
    std::vector<stAlloc> many(6554, stAlloc{"", 1, 2});
    Body<stFXAllocRFQ>(p)->m_pAllocs = many.data();
    for (int count : {6000, 6554}) {
        Body<stFXAllocRFQ>(p)->m_nAllocs = count;
        testing::internal::CaptureStderr();
        ok = true;
        const Bytes wire = Write(p, &ok);
        const std::string log = testing::internal::GetCapturedStderr();
        EXPECT_EQ(ok, count == 6000) << count;
        if (count == 6000) {
            CMsgMemAllocator a;
            ASSERT_TRUE(ReadBack(wire, back, &a));
            EXPECT_EQ(got->m_nAllocs, 6000);
        } else {
            EXPECT_THAT(log, HasSubstr("SerializeDepth.cppEntry count out of range:6554"));
            EXPECT_EQ(log.find("Message too big"), std::string::npos);
        }
    }
}

TEST(DepthSerializerTest, shouldReadTheOptionAttributesIntoAllocatorMemory) {
    MsgMem m, back;
    char attrs[] = "strike=1.1;exp=3M";
    *Body<stFXOptRFQ>(NewDepth(m, DEPTH_FX_OPT_RFQ, 32)) = {"desk", 31, int(sizeof attrs), attrs};
    CMsgMemAllocator alloc;
    ASSERT_TRUE(ReadBack(Write(m.As<MsgHdrCmn>()), back, &alloc));
    const stFXOptRFQ* got = Body<stFXOptRFQ>(back);
    EXPECT_EQ(back.As<MsgHdrRtpDepth>()->msglen, 80);
    EXPECT_EQ(got->m_nLength, int(sizeof attrs));
    ASSERT_NE(got->m_szSubAttributesStr, nullptr);
    EXPECT_STREQ(got->m_szSubAttributesStr, attrs);
    EXPECT_EQ(alloc.GetCount(), 1u);

    // A length below the text cuts it, the last character being the NUL.
    ASSERT_TRUE(ReadBack(PeerMsg(DEPTH_FX_OPT_RFQ).Text("s").Int(1).Int(4).Text("abcdef").Done(),
                         back, &alloc));
    EXPECT_EQ(std::string(got->m_szSubAttributesStr, 4), std::string("abc\0", 4));

    // A length beyond any message is refused before allocating; a negative one reads nothing.
    CMsgMemAllocator none;
    EXPECT_FALSE(ReadBack(PeerMsg(DEPTH_FX_OPT_RFQ).Text("s").Int(1).Int(1 << 30).Text("a").Done(),
                          back, &none));
    EXPECT_EQ(got->m_szSubAttributesStr, nullptr);
    EXPECT_TRUE(
        ReadBack(PeerMsg(DEPTH_FX_OPT_RFQ).Text("s").Int(1).Int(-8).Text("a").Done(), back, &none));
    EXPECT_EQ(got->m_szSubAttributesStr, nullptr);
    EXPECT_EQ(none.GetCount(), 0u);
}

TEST(DepthSerializerTest, shouldReadTheOptionAttributesBackAsTheWriterSentThem) {
    struct Case {
        int length;
        const char* text;  // what the buffer holds, NUL-terminated or not
        const char* readBack;
    };
    // A buffer larger than its text keeps its length; a text filling its whole buffer goes
    // out without the character whose place the NUL takes.
    for (const Case& c : {Case{100, "abc", "abc"}, Case{4, "abcd", "abc"}, Case{4, "ab", "ab"},
                          Case{1, "z", ""}, Case{65535, "x=1", "x=1"}}) {
        MsgMem m, back;
        std::vector<char> attrs(size_t(c.length), '\0');
        memcpy(attrs.data(), c.text, std::min(strlen(c.text), attrs.size()));
        *Body<stFXOptRFQ>(NewDepth(m, DEPTH_FX_OPT_RFQ, 32)) = {"desk", 31, c.length, attrs.data()};
        bool ok = false;
        const Bytes wire = Write(m.As<MsgHdrCmn>(), &ok);
        ASSERT_TRUE(ok) << c.length;
        CMsgMemAllocator alloc;
        ASSERT_TRUE(ReadBack(wire, back, &alloc)) << c.length;
        const stFXOptRFQ* got = Body<stFXOptRFQ>(back);
        EXPECT_EQ(got->m_nLength, c.length);
        ASSERT_NE(got->m_szSubAttributesStr, nullptr);
        EXPECT_STREQ(got->m_szSubAttributesStr, c.readBack);
        EXPECT_EQ(got->m_szSubAttributesStr[c.length - 1], '\0');
        EXPECT_EQ(Write(back.As<MsgHdrCmn>()), wire) << c.length;  // the same bytes again
    }

    // Longer than any message: not written, and refused from a peer before allocating.
    MsgMem m, back;
    char attrs[] = "abc";
    *Body<stFXOptRFQ>(NewDepth(m, DEPTH_FX_OPT_RFQ, 32)) = {"desk", 31, 65536, attrs};
    bool ok = true;
    Write(m.As<MsgHdrCmn>(), &ok);
    EXPECT_FALSE(ok);
    CMsgMemAllocator none;
    std::string log;
    EXPECT_FALSE(ReadBack(PeerMsg(DEPTH_FX_OPT_RFQ).Text("s").Int(1).Int(65536).Text("a").Done(),
                          back, &none, &log));
    EXPECT_EQ(none.GetCount(), 0u);
    EXPECT_EQ(Body<stFXOptRFQ>(back)->m_szSubAttributesStr, nullptr);
    EXPECT_THAT(log, HasSubstr("65536"));
}

TEST(DepthSerializerTest, shouldBoundEntryCountsByTheMessageMemoryAndTheBytesPresent) {
    // 2,046 entries of 32 bytes make a message of 65,520 bytes; one more does not fit.
    for (int n : {2046, 2047}) {
        PeerMsg peer(DEPTH_MKT_DEPTH);
        peer.Int(n);
        for (int i = 0; i < n; ++i) {
            peer.Entry(double(i), i);
        }
        MsgMem back;
        std::string log;
        EXPECT_EQ(ReadBack(peer.Done(), back, nullptr, &log), n == 2046);
        if (n == 2046) {
            EXPECT_EQ(back.As<MsgHdrRtpDepth>()->msglen, 65520);
            EXPECT_EQ(Body<stMktDepth>(back)[2045].nSize, 2045u);
        } else {
            EXPECT_THAT(log, HasSubstr("Entry count out of range:2047"));
        }
    }
    MsgMem back;
    std::string log;
    EXPECT_FALSE(ReadBack(PeerMsg(DEPTH_MKT_DEPTH_EX).Int(3).Entry(1, 1).Text("MM").Done(), back,
                          nullptr, &log));
    EXPECT_THAT(log, HasSubstr("Entry count out of range:3"));
}

TEST(DepthSerializerTest, shouldWarnAndRefuseUnhandledTypes) {
    struct Case {
        short mtyp, submtyp;
        const char* line;
    };
    for (const Case& c : {Case{CM_DEPTH, 113, "SerializeDepth.cppUnhandled SubMsg Type:113"},
                          Case{CM_DEPTH, 139, "SerializeDepth.cppUnhandled SubMsg Type:139"},
                          Case{CM_LOGIN, 1, "SerializeDepth.cppUnhandled SubMsg Type:1"},
                          Case{7, 110, "SerializeDepth.cppUnhandled Msg Type:7"}}) {
        MsgMem m, back;
        testing::internal::CaptureStderr();
        bool ok = true;
        const Bytes wire = Write(NewDepth(m, c.submtyp, 8, c.mtyp), &ok);
        EXPECT_THAT(testing::internal::GetCapturedStderr(),
                    HasSubstr(std::string("~WARNING~\t:") + c.line + "\n"));
        EXPECT_FALSE(ok);
        EXPECT_EQ(wire, Bytes({0x00, 0x08, 0x00, 0x0A, uint8_t(c.mtyp >> 8), uint8_t(c.mtyp), 0x00,
                               uint8_t(c.submtyp)}));  // flushed all the same
        std::string log;
        EXPECT_FALSE(ReadBack(wire, back, nullptr, &log));
        EXPECT_THAT(log, HasSubstr(c.line));
    }
}

TEST(DepthSerializerTest, shouldFailCleanlyOnMessagesCutAtEveryLength) {
    std::vector<Bytes> messages;
    MsgMem m;
    for (const RecordCase& c : RecordCases()) {
        c.fill(NewDepth(m, c.submtyp, c.recSize));
        messages.push_back(Write(m.As<MsgHdrCmn>()));
    }
    messages.push_back(Write(NewDepth(m, DEPTH_MKT_DEPTH, 64)));
    strcpy(Body<stMktDepthEx>(NewDepth(m, DEPTH_MKT_DEPTH_EX, 80))[1].szMMId, "MM");
    messages.push_back(Write(m.As<MsgHdrCmn>()));
    strcpy(Body<stLogin>(NewDepth(m, CM_LOGIN, 320, CM_LOGIN))->UserLoginName, "X");
    messages.push_back(Write(m.As<MsgHdrCmn>()));
    messages.push_back(Write(NewDepth(m, CM_HEARTBEAT, 4, CM_HEARTBEAT)));
    messages.push_back(PeerMsg(DEPTH_FX_ALLOC_RFQ_136)
                           .Text("snd")
                           .Char('T')
                           .Int(0)
                           .Int(2)
                           .Int(3)
                           .Int(2)
                           .Text("A1")
                           .Int(5)
                           .Int(6)
                           .Text("A2")
                           .Int(7)
                           .Int(8)
                           .Done());
    messages.push_back(PeerMsg(DEPTH_FX_OPT_RFQ).Text("snd").Int(4).Int(4).Text("x=1").Done());

    for (const Bytes& full : messages) {
        MsgMem whole;
        CMsgMemAllocator wholeAlloc;
        ASSERT_TRUE(ReadBack(full, whole, &wholeAlloc)) << (full[6] << 8 | full[7]);
        for (size_t k = 8; k < full.size(); ++k) {
            Bytes cut(full.begin(), full.begin() + k);
            cut[0] = uint8_t(k >> 8);
            cut[1] = uint8_t(k);
            MsgMem back;
            CMsgMemAllocator alloc;
            EXPECT_FALSE(ReadBack(cut, back, &alloc))
                << "sub-type " << (full[6] << 8 | full[7]) << " cut at " << k;
            EXPECT_LT(strnlen(back.As<MsgHdrRtpDepth>()->m_szSymbol, 30), 30u);
        }
    }
}

TEST(DepthSerializerTest, shouldRefuseAMessageWhoseFieldsTheBufferCannotTakeWhole) {
    // Each message in its own memory, kept to be written again.
    std::vector<MsgMem> mems;
    mems.reserve(64);
    for (const RecordCase& c : RecordCases()) {
        mems.emplace_back();
        c.fill(NewDepth(mems.back(), c.submtyp, c.recSize));
    }
    mems.emplace_back();
    MsgHdrRtpDepth* p = NewDepth(mems.back(), DEPTH_FX_QUOTE, 2 * sizeof(stFXQuote));
    strcpy(Body<stFXQuote>(p)[1].szQuoteId, "Q-1");
    stAlloc allocs[2] = {{"ACCT-0", 1000, 0}, {"ACCT-1", 2000, 1}};
    mems.emplace_back();
    *Body<stFXAllocRFQ>(NewDepth(mems.back(), DEPTH_FX_ALLOC_RFQ_136, 48)) = {"bank", 'B', 5,     0,
                                                                              9,      2,   allocs};
    char attrs[] = "x=1";
    mems.emplace_back();
    *Body<stFXOptRFQ>(NewDepth(mems.back(), DEPTH_FX_OPT_RFQ, 32)) = {"desk", 31, 16, attrs};
    mems.emplace_back();
    strcpy(Body<stLogin>(NewDepth(mems.back(), CM_LOGIN, 320, CM_LOGIN))->UserLoginName, "X");
    mems.emplace_back();
    NewDepth(mems.back(), CM_HEARTBEAT, 4, CM_HEARTBEAT);

    for (size_t i = 0; i < mems.size(); ++i) {
        ExpectWholeOrNothing(mems[i].As<MsgHdrCmn>(), i);
    }
}
