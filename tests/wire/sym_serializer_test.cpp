#include "qrx/wire/sym_msgs.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "qrx/wire/msg_hdr_stream.h"
#include "qrx/wire/session_msgs.h"
#include "wire/wire_test_util.h"

using wiretest::Bytes;
using wiretest::Content;
using wiretest::ExpectWholeOrNothing;
using wiretest::MsgMem;
using wiretest::Received;
using wiretest::Write;

namespace {

MsgHdrSym* NewSym(MsgMem& m, short mtyp, short submtyp, int bodyLen) {
    MsgHdrSym* p = m.As<MsgHdrSym>();
    p->mtyp = mtyp;
    p->submtyp = submtyp;
    SetMsgLen(p, bodyLen);
    return p;
}

// Reads the bytes as a received message into back; false when refused.
bool ReadBack(const Bytes& wire, MsgMem& back) {
    Received r(wire);
    return r.Read(back.As<MsgHdrCmn>());
}

// A stream-form message built field by field, as a peer would send it.
struct PeerMsg {
    PeerMsg(short mtyp, short submtyp) {
        out.SetHdrType(MsgHdrSym::HDR_TYPE);
        out.SetMsgType(mtyp);
        out.SetSubMsgType(submtyp);
    }
    PeerMsg& Text(const std::string& s) {
        out.AppendText(s.data(), int(s.size()));
        return *this;
    }
    PeerMsg& Int(int v) {
        out << v;
        return *this;
    }
    Bytes Done() {
        out.Flush();
        return Content(out);
    }
    CMsgHdrStream out{true, 0, 0};
};

// The record body of one market-data record (bid, ask, bid size, symbol).
const Bytes kRecord = {0x00, 0x04, 0x00, 0x03, 0x40, 0x25, 0x80, 0x00, 0x00, 0x00, 0x00,
                       0x00, 0x40, 0x25, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40, 0x01,
                       0x00, 0x00, 0x01, 0x2C, 0x80, 0x01, 0x00, 0x03, 'I',  'B',  'M'};

Bytes Concat(const Bytes& a, const Bytes& b) {
    Bytes all = a;
    all.insert(all.end(), b.begin(), b.end());
    return all;
}

std::string Topic(int i) {
    return "TOPIC." + std::to_string(i);
}

const char* kOutLine =
    "Unable to serialize out the whole subscribe by list msg : 150 exceeding symbol number "
    "limit! will take the first 100\n";
const char* kInLine =
    "Unable to serialize in the whole subscribe by list msg : 150 exceeding symbol number "
    "limit! will take only 100\n";

}  // namespace

TEST(SymSerializerTest, shouldWriteATopicAsOneTextAndReadItIntoAZeroPaddedField) {
    MsgMem m, back;
    MsgHdrSym* p = NewSym(m, CM_SYM_SUBSCRIBE, 0, sizeof(stTopicInfo));
    strcpy(MsgBody(p), "ABCDEFGHIJ");
    const Bytes wire = Write(p);
    EXPECT_EQ(wire, Bytes({0x00, 0x14, 0x00, 0x0F, 0x00, 0x03, 0x00, 0x00, 0x00, 0x0A,
                           'A',  'B',  'C',  'D',  'E',  'F',  'G',  'H',  'I',  'J'}));
    memset(back.Raw(), 0x5A, 512);
    ASSERT_TRUE(ReadBack(wire, back));
    const MsgHdrSym* b = back.As<MsgHdrSym>();
    EXPECT_EQ(b->hdr_typ, 15);
    EXPECT_EQ(b->mtyp, CM_SYM_SUBSCRIBE);
    EXPECT_EQ(b->msglen, 136);
    EXPECT_EQ(std::string(MsgBody(b), 10), "ABCDEFGHIJ");
    EXPECT_EQ(std::vector<char>(MsgBody(b) + 10, MsgBody(b) + 128), std::vector<char>(118, 0));
}

TEST(SymSerializerTest, shouldCarryMarketDataAsARawBodyAndSnapshotMarkersWithoutOne) {
    MsgMem m, back;
    MsgHdrSym* p = NewSym(m, CM_SYM_DATA, SYM_DATA_UPDATE, int(kRecord.size()));
    memcpy(MsgBody(p), kRecord.data(), kRecord.size());
    const Bytes wire = Write(p);
    EXPECT_EQ(wire, Concat({0x00, 0x2B, 0x00, 0x0F, 0x00, 0x02, 0x00, 0x00, 0x00, 0x21}, kRecord));
    ASSERT_TRUE(ReadBack(wire, back));
    EXPECT_EQ(back.As<MsgHdrSym>()->msglen, 8 + 33);
    EXPECT_EQ(Bytes(MsgBody(back.As<MsgHdrSym>()), MsgBody(back.As<MsgHdrSym>()) + 33), kRecord);

    const Bytes two = Concat(kRecord, kRecord);
    p = NewSym(m, CM_SYM_DATA, SYM_DATA_SNAPSHOT, int(two.size()));
    memcpy(MsgBody(p), two.data(), two.size());
    EXPECT_EQ(Write(p), Concat({0x00, 0x4C, 0x00, 0x0F, 0x00, 0x02, 0x00, 0x02, 0x00, 0x42}, two));

    p = NewSym(m, CM_SYM_DATA, SYM_DATA_SNAPSHOT_START, 0);
    const Bytes marker = Write(p);
    EXPECT_EQ(marker, Bytes({0x00, 0x08, 0x00, 0x0F, 0x00, 0x02, 0x00, 0x03}));
    ASSERT_TRUE(ReadBack(marker, back));
    EXPECT_EQ(back.As<MsgHdrSym>()->msglen, 16);
}

TEST(SymSerializerTest, shouldLimitListsToAHundredTopicsInBothDirections) {
    MsgMem m, back;
    MsgHdrSym* p = NewSym(m, CM_SYM_SUBSCRIBE_LIST, 0, stTopicList::BodyLen(150));
    stTopicList* list = reinterpret_cast<stTopicList*>(MsgBody(p));
    list->m_nCount = 150;
    // The memory holds 150 topics, beyond the 100 slots the record declares.
    char(*topics)[SYM_TOPIC_LEN] = list->m_szTopics;
    for (int i = 0; i < 150; ++i) {
        strcpy(topics[i], Topic(i).c_str());
    }
    testing::internal::CaptureStderr();
    Bytes wire = Write(p);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), kOutLine);
    EXPECT_EQ(list->m_nCount, 100);
    CNetStream in(reinterpret_cast<char*>(wire.data()) + 8, int(wire.size()) - 8, false);
    int count = 0;
    ASSERT_TRUE(in.GetNextField(count));
    EXPECT_EQ(count, 100);
    for (int i = 0; i < 100; ++i) {
        char text[SYM_TOPIC_LEN];
        ASSERT_TRUE(read_fixed_text(in, text));
        EXPECT_EQ(text, Topic(i));
    }
    EXPECT_EQ(in.GetRemaining(), 0);

    PeerMsg peer(CM_SYM_UNSUBSCRIBE_LIST, 0);
    peer.Int(150);
    for (int i = 0; i < 150; ++i) {
        peer.Text(Topic(i));
    }
    memset(back.Raw(), 0x5A, 20000);
    testing::internal::CaptureStderr();
    ASSERT_TRUE(ReadBack(peer.Done(), back));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), kInLine);
    const stTopicList* got = reinterpret_cast<const stTopicList*>(MsgBody(back.As<MsgHdrSym>()));
    EXPECT_EQ(back.As<MsgHdrSym>()->msglen, 8 + 12804);
    EXPECT_EQ(got->m_nCount, 100);
    EXPECT_EQ(std::string(got->m_szTopics[99]), Topic(99));
    EXPECT_EQ(uint8_t(MsgBody(back.As<MsgHdrSym>())[12804]), 0x5A);  // nothing dropped lands
}

TEST(SymSerializerTest, shouldRefuseAListCountTheMessageCannotHoldAndReadNothingForANegativeOne) {
    MsgMem back;
    const stTopicList* got = reinterpret_cast<const stTopicList*>(MsgBody(back.As<MsgHdrSym>()));
    EXPECT_FALSE(ReadBack(PeerMsg(CM_SYM_SUBSCRIBE_LIST, 0).Int(0x7FFFFFFF).Done(), back));
    EXPECT_EQ(got->m_nCount, 0);
    // Three announced, two present: the two are kept, the read fails.
    EXPECT_FALSE(
        ReadBack(PeerMsg(CM_SYM_SUBSCRIBE_LIST, 0).Int(3).Text("A").Text("B").Done(), back));
    EXPECT_EQ(got->m_nCount, 2);
    EXPECT_EQ(std::string(got->m_szTopics[1]), "B");
    EXPECT_TRUE(ReadBack(PeerMsg(CM_SYM_SUBSCRIBE_LIST, 0).Int(-3).Text("A").Done(), back));
    EXPECT_EQ(got->m_nCount, -3);
    EXPECT_EQ(back.As<MsgHdrSym>()->msglen, 16);
}

TEST(SymSerializerTest, shouldCutReceivedStatusTextsToTheirFields) {
    MsgMem back;
    PeerMsg peer(CM_SYM_SUB_STATUS, SYM_SUB_STATUS_PENDING);
    ASSERT_TRUE(
        ReadBack(peer.Text(std::string(200, 't')).Text(std::string(2000, 'm')).Done(), back));
    const stSymSubStatus* b =
        reinterpret_cast<const stSymSubStatus*>(MsgBody(back.As<MsgHdrSym>()));
    EXPECT_EQ(std::string(b->m_szTopic), std::string(127, 't'));
    EXPECT_EQ(std::string(b->m_szMessage), std::string(1055, 'm'));
    EXPECT_EQ(back.As<MsgHdrSym>()->msglen, 8 + 128 + 1056);
}

TEST(SymSerializerTest, shouldReadSizedTopicsBackWithSymbolTypeZero) {
    for (short mtyp : {CM_SYM_SUBSCRIBE_SIZE, CM_SYM_UNSUBSCRIBE_SIZE}) {
        MsgMem m, back;
        MsgHdrSym* p = NewSym(m, mtyp, 0, sizeof(stTopicInfoSize));
        stTopicInfoSize* t = reinterpret_cast<stTopicInfoSize*>(MsgBody(p));
        strcpy(t->m_szTopic, "EUR/USD");
        t->m_SymbolType = 9;
        t->m_nNearSize = 1000000;
        t->m_nFarSize = -5;
        t->m_nReqID = 42;
        const Bytes wire = Write(p);
        EXPECT_EQ(wire.size(), 8u + 2 + 7 + 12);
        memset(back.Raw(), 0x5A, 256);
        ASSERT_TRUE(ReadBack(wire, back));
        const stTopicInfoSize* b =
            reinterpret_cast<const stTopicInfoSize*>(MsgBody(back.As<MsgHdrSym>()));
        EXPECT_EQ(std::string(b->m_szTopic), "EUR/USD");
        EXPECT_EQ(b->m_SymbolType, 0);
        EXPECT_EQ(b->m_nNearSize, 1000000);
        EXPECT_EQ(b->m_nFarSize, -5);
        EXPECT_EQ(b->m_nReqID, 42);
        EXPECT_EQ(back.As<MsgHdrSym>()->msglen, 152);
    }
}

TEST(SymSerializerTest, shouldKeepTextsAndBodiesWithinTheirMessages) {
    // A status with nothing behind its header: no byte beyond it is looked at.
    std::vector<MsgHdrCmn> hdrOnly(1, MsgHdrCmn{15, CM_SYM_STATUS, SYM_STATUS_LOGIN_ACCEPTED, 8});
    EXPECT_EQ(Write(&hdrOnly[0]),
              Bytes({0x00, 0x0A, 0x00, 0x0F, 0x00, 0x0A, 0x00, 0x07, 0x00, 0x00}));

    // The longest stream-form bodies (65,525 bytes) fit the message memory.
    const std::string body(65525, 'z');
    for (short mtyp : {CM_SYM_DATA, CM_SYM_STATUS}) {
        MsgMem back;
        ASSERT_TRUE(ReadBack(PeerMsg(mtyp, 0).Text(body).Done(), back));
        EXPECT_EQ(back.As<MsgHdrSym>()->msglen, mtyp == CM_SYM_DATA ? 8 + 65525 : 16);
        EXPECT_EQ(std::string(MsgBody(back.As<MsgHdrSym>()), body.size()), body);
    }

    // A body whose text field would pass 65,535 bytes is not written.
    MsgMem m;
    bool ok = true;
    testing::internal::CaptureStderr();
    Write(NewSym(m, CM_SYM_COMMAND, 11, 65535 - 8), &ok);
    EXPECT_FALSE(ok);
    EXPECT_NE(testing::internal::GetCapturedStderr().find(
                  "A message has not been serialized because: Message too big: 65537\n"),
              std::string::npos);
}

TEST(SymSerializerTest, shouldStayWithinTheBufferForMessagesCutAtEveryLength) {
    std::vector<Bytes> messages;
    MsgMem m;
    strcpy(MsgBody(NewSym(m, CM_SYM_SNAPSHOT, 0, 128)), "ABCDEFGHIJ");
    messages.push_back(Write(m.As<MsgHdrCmn>()));
    memcpy(MsgBody(NewSym(m, CM_SYM_DATA, 0, 33)), kRecord.data(), 33);
    messages.push_back(Write(m.As<MsgHdrCmn>()));
    strcpy(MsgBody(NewSym(m, CM_SYM_SUB_STATUS, 1, sizeof(stSymSubStatus))) + 128, "refused");
    messages.push_back(Write(m.As<MsgHdrCmn>()));
    strcpy(MsgBody(NewSym(m, CM_SYM_UNSUBSCRIBE_SIZE, 0, sizeof(stTopicInfoSize))), "EUR/USD");
    messages.push_back(Write(m.As<MsgHdrCmn>()));
    strcpy(MsgBody(NewSym(m, CM_LOGIN, CM_LOGIN, 320)) + 8, "someone");
    messages.push_back(Write(m.As<MsgHdrCmn>()));
    const Bytes list =
        PeerMsg(CM_SYM_SUBSCRIBE_LIST, 0).Int(3).Text("AA").Text("B").Text("C").Done();
    messages.push_back(list);

    for (const Bytes& full : messages) {
        for (size_t k = 8; k < full.size(); ++k) {
            Bytes cut(full.begin(), full.begin() + k);
            cut[0] = uint8_t(k >> 8);
            cut[1] = uint8_t(k);
            MsgMem back;
            // Short fields stay empty and the message is delivered, but a list
            // is refused.
            EXPECT_EQ(ReadBack(cut, back), &full != &messages.back()) << k;
            EXPECT_EQ(back.As<MsgHdrSym>()->mtyp, short(full[4] << 8 | full[5]));
            EXPECT_LT(strnlen(MsgBody(back.As<MsgHdrSym>()), 128), 128u);
        }
    }
}

TEST(SymSerializerTest, shouldRefuseAMessageWhoseFieldsTheBufferCannotTakeWhole) {
    // Each message in its own memory, kept to be written again.
    std::vector<MsgMem> mems(10);
    size_t next = 0;
    auto New = [&](short mtyp, short submtyp, int bodyLen) {
        return NewSym(mems.at(next++), mtyp, submtyp, bodyLen);
    };
    strcpy(MsgBody(New(CM_SYM_SUBSCRIBE, 0, 128)), "ABCDEFGHIJ");
    memcpy(MsgBody(New(CM_SYM_DATA, 0, 33)), kRecord.data(), 33);
    stSymSubStatus* status =
        reinterpret_cast<stSymSubStatus*>(MsgBody(New(CM_SYM_SUB_STATUS, 1, 1184)));
    strcpy(status->m_szTopic, "IBM");
    strcpy(status->m_szMessage, "refused");
    strcpy(MsgBody(New(CM_SYM_HEARTBEAT_NOTICE, 10, 20)), "Heart Beat Message.");
    stTopicList* list = reinterpret_cast<stTopicList*>(
        MsgBody(New(CM_SYM_SUBSCRIBE_LIST, 0, stTopicList::BodyLen(3))));
    list->m_nCount = 3;
    strcpy(list->m_szTopics[0], "AA");
    strcpy(list->m_szTopics[1], "B");
    strcpy(list->m_szTopics[2], "C");
    *reinterpret_cast<short*>(MsgBody(New(CM_SYM_CMD_CLIENT_ID, 0, 2))) = 12;
    stTopicInfoSize* sized = reinterpret_cast<stTopicInfoSize*>(
        MsgBody(New(CM_SYM_SUBSCRIBE_SIZE, 0, sizeof(stTopicInfoSize))));
    strcpy(sized->m_szTopic, "EUR/USD");
    sized->m_nNearSize = 1000000;
    sized->m_nFarSize = 2000000;
    sized->m_nReqID = 5;
    strcpy(MsgBody(New(CM_SYM_SUBSCRIBE_TYPE, 13, sizeof(stTopicInfoType))), "XYZ");
    stLogin* login = reinterpret_cast<stLogin*>(MsgBody(New(CM_LOGIN, CM_LOGIN, 320)));
    strcpy(login->username, "someone");
    strcpy(login->UserLoginName, "someone");
    *reinterpret_cast<int*>(MsgBody(New(CM_HEARTBEAT, CM_HEARTBEAT, 4))) = 3;

    ASSERT_EQ(next, mems.size());
    for (size_t i = 0; i < mems.size(); ++i) {
        ExpectWholeOrNothing(mems[i].As<MsgHdrCmn>(), i);
    }
}
