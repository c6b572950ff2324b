#include "qrx/wire/session_msgs.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qrx/wire/msg_hdr_stream.h"
#include "wire/wire_test_util.h"

using testing::HasSubstr;
using wiretest::Bytes;
using wiretest::Content;
using wiretest::ExpectWholeOrNothing;
using wiretest::MsgMem;
using wiretest::Received;
using wiretest::Write;

namespace {

// A stream-form message built field by field, as a peer would send it.
struct PeerMsg {
    PeerMsg(short hdrType, short mtyp, short submtyp) {
        out.SetHdrType(hdrType);
        out.SetMsgType(mtyp);
        out.SetSubMsgType(submtyp);
    }
    PeerMsg& PortHeader(int n1 = 0) {
        out << n1 << ""
            << "" << 0 << 0;
        return *this;
    }
    Bytes Done() {
        out.Flush();
        return Content(out);
    }
    CMsgHdrStream out{true, 0, 0};
};

void FillLogin(stLogin& l) {
    l.protocol_version = 1202000;
    l.mode = 2;
    strcpy(l.username, "trader");
    strcpy(l.password, "secret");
    l.status = LOGIN_BAD_PASSWORD;
    l.int_value = -17;
    strcpy(l.group, "desk");
    strcpy(l.text_value, "wrong password");
    strcpy(l.curr_local_time, "10:11:12");
    strcpy(l.curr_local_date, "20240102");
    strcpy(l.curr_gmt_time, "09:11:12");
    strcpy(l.curr_gmt_date, "20240102");
    strcpy(l.UserLoginName, "TRADER");
}

std::string Captured() {
    return testing::internal::GetCapturedStderr();
}

}  // namespace

TEST(SessionMsgsTest, shouldWriteAPortLogonFieldByField) {
    MsgMem m;
    MsgHdrPort* p = m.As<MsgHdrPort>();
    p->hdr_typ = 4;
    p->mtyp = CM_LOGIN;
    p->submtyp = CM_LOGIN;
    stLogin* l = reinterpret_cast<stLogin*>(MsgBody(p));
    l->protocol_version = 3;
    strcpy(l->username, "bob");
    strcpy(l->password, "pw");
    bool ok = false;
    const Bytes b = Write(p, &ok);
    EXPECT_TRUE(ok);
    const Bytes expected{
        0, 63, 0,   4,   0x27, 0x10, 0x27, 0x10,  // stream header
        0, 0,  0,   0,   0,    0,    0,    0,    0,   0, 0, 0, 0, 0,
        0, 0,                                          // n1, two empty texts, pside, session_id
        0, 0,  0,   3,   0,    0,    0,    0,          // protocol_version, mode
        0, 3,  'b', 'o', 'b',  0,    2,    'p',  'w',  // user name, password
        0, 0,  0,   0,   0,    0,    0,    0,          // status, int_value
        0, 0,  0,   0,   0,    0,    0,    0,    0,   0, 0, 0, 0, 0,  // seven empty texts
    };
    EXPECT_EQ(b, expected);
}

TEST(SessionMsgsTest, shouldCarryEveryLogonFieldInBothSessionFamilies) {
    for (short hdrType : {MsgHdrPort::HDR_TYPE, MsgHdrOrdSrv::HDR_TYPE}) {
        MsgMem src;
        MsgHdrCmn* p = src.As<MsgHdrCmn>();
        p->hdr_typ = hdrType;
        p->mtyp = CM_LOGIN;
        p->submtyp = CM_LOGIN;
        char* body = hdrType == 4 ? MsgBody(src.As<MsgHdrPort>()) : MsgBody(src.As<MsgHdrOrdSrv>());
        if (hdrType == 4) {
            src.As<MsgHdrPort>()->n1 = 5;
            strcpy(src.As<MsgHdrPort>()->por_nam, "book");
            src.As<MsgHdrPort>()->pside = PS_S;
            src.As<MsgHdrPort>()->session_id = 77;
        }
        FillLogin(*reinterpret_cast<stLogin*>(body));

        Received r(Write(p));
        MsgMem dst;
        memset(dst.Raw(), 0x5A, 1024);
        ASSERT_TRUE(r.Read(dst.As<MsgHdrCmn>()));
        const MsgHdrCmn* q = dst.As<MsgHdrCmn>();
        EXPECT_EQ(q->hdr_typ, hdrType);
        EXPECT_EQ(q->mtyp, CM_LOGIN);
        EXPECT_EQ(q->submtyp, CM_LOGIN);
        const int offset = hdrType == 4 ? 72 : 8;
        EXPECT_EQ(q->msglen, offset + 320);
        // The whole record, padding of the texts included, matches the original.
        EXPECT_EQ(memcmp(dst.Raw() + offset, body, sizeof(stLogin)), 0);
        if (hdrType == 4) {
            const MsgHdrPort* h = dst.As<MsgHdrPort>();
            EXPECT_EQ(h->n1, 5);
            EXPECT_STREQ(h->por_nam, "book");
            EXPECT_EQ(h->pside, PS_S);
            EXPECT_EQ(h->session_id, 77);
        }
    }
}

TEST(SessionMsgsTest, shouldCutReceivedTextsToTheirFields) {
    const std::string longName(40, 'u');
    PeerMsg peer(5, CM_LOGIN, CM_LOGIN);
    peer.out << 3 << 0 << longName.c_str() << "pw" << 0 << 9;
    Received r(peer.Done());
    MsgMem m;
    ASSERT_TRUE(r.Read(m.As<MsgHdrCmn>()));
    const stLogin* l = reinterpret_cast<const stLogin*>(MsgBody(m.As<MsgHdrOrdSrv>()));
    EXPECT_EQ(std::string(l->username), std::string(31, 'u'));
    EXPECT_STREQ(l->password, "pw");  // the fields after it are still in step
    EXPECT_EQ(l->int_value, 9);
    // Fields the message no longer carries are cleared, not left over.
    EXPECT_STREQ(l->group, "");
    EXPECT_EQ(m.As<MsgHdrCmn>()->msglen, 328);
}

TEST(SessionMsgsTest, shouldReadHeartbeatsWithAOneSlotBody) {
    MsgMem m;
    MsgHdrOrdSrv* p = m.As<MsgHdrOrdSrv>();
    p->hdr_typ = 5;
    p->mtyp = CM_HEARTBEAT;
    p->submtyp = 0;  // not examined in this family
    reinterpret_cast<stHeartBeat*>(MsgBody(p))->request_id = 7;
    const Bytes b = Write(p);
    EXPECT_EQ(b, (Bytes{0, 12, 0, 5, 0x27, 0x11, 0, 0, 0, 0, 0, 7}));
    Received r(b);
    MsgMem dst;
    ASSERT_TRUE(r.Read(dst.As<MsgHdrCmn>()));
    EXPECT_EQ(dst.As<MsgHdrCmn>()->msglen, 16);
    EXPECT_EQ(reinterpret_cast<stHeartBeat*>(MsgBody(dst.As<MsgHdrOrdSrv>()))->request_id, 7);

    // A heartbeat cut short keeps the preset 0.
    Received shortHb(PeerMsg(5, CM_HEARTBEAT, CM_HEARTBEAT).Done());
    ASSERT_TRUE(shortHb.Read(dst.As<MsgHdrCmn>()));
    EXPECT_EQ(reinterpret_cast<stHeartBeat*>(MsgBody(dst.As<MsgHdrOrdSrv>()))->request_id, 0);
}

TEST(SessionMsgsTest, shouldRefuseUnknownOrderServerMessages) {
    Received r(PeerMsg(5, 7, 0).Done());
    MsgMem m;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(r.Read(m.As<MsgHdrCmn>()));
    EXPECT_THAT(Captured(), HasSubstr("~WARNING~\t:SerializeOrdSrvUnhandled Msg Type:7\n"));
    EXPECT_EQ(m.As<MsgHdrCmn>()->msglen, 16);
}

TEST(SessionMsgsTest, shouldRefuseSessionMessagesWithMismatchedSubTypes) {
    const struct {
        short mtyp;
        short sub;
        const char* line;
    } cases[] = {
        {CM_LOGIN, CM_HEARTBEAT,
         "~WARNING~\t:SerializePortUnhandled SubMsg Type:10001 for Msg: CM_LOGIN.\n"},
        {CM_HEARTBEAT, 1,
         "~WARNING~\t:SerializePortUnhandled SubMsg Type:1 for Msg: CM_HEARTBEAT.\n"},
        {CM_PASSWD, 1003,
         "~WARNING~\t:SerializePortUnhandled SubMsg Type:1003 for Msg: CM_PASSWD.\n"},
        {99, 0, "~WARNING~\t:SerializePortUnhandled Msg Type:99\n"},
        {CM_PORT, 214, "**ERROR**\t:SerializePortUnhandled SubMsg Type:214 for Msg: CM_PORT.\n"},
    };
    for (const auto& c : cases) {
        Received r(PeerMsg(4, c.mtyp, c.sub).PortHeader().Done());
        MsgMem m;
        testing::internal::CaptureStderr();
        EXPECT_FALSE(r.Read(m.As<MsgHdrCmn>())) << c.mtyp << "/" << c.sub;
        EXPECT_THAT(Captured(), HasSubstr(c.line));
        EXPECT_EQ(m.As<MsgHdrCmn>()->msglen, 80);
    }
}

TEST(SessionMsgsTest, shouldAcceptUnknownPortSubTypesWithAnEmptyBody) {
    Received r(PeerMsg(4, CM_PORT, 210).PortHeader(3).Done());
    MsgMem m;
    testing::internal::CaptureStderr();
    EXPECT_TRUE(r.Read(m.As<MsgHdrCmn>()));
    EXPECT_THAT(
        Captured(),
        HasSubstr("**ERROR**\t:SerializePortUnhandled SubMsg Type:210 for Msg: CM_PORT.\n"));
    EXPECT_EQ(m.As<MsgHdrPort>()->n1, 3);
    EXPECT_EQ(m.As<MsgHdrCmn>()->msglen, 80);
}

TEST(SessionMsgsTest, shouldCarryTextBodiesWithTheirTerminator) {
    MsgMem m;
    MsgHdrPort* p = m.As<MsgHdrPort>();
    p->mtyp = CM_PASSWD;
    p->submtyp = 1018;
    strcpy(MsgBody(p), "new-password");
    SetMsgLen(p, 13);
    const Bytes b = Write(p);
    ASSERT_EQ(b.size(), 8u + 16 + 2 + 12);
    Received r(b);
    MsgMem dst;
    ASSERT_TRUE(r.Read(dst.As<MsgHdrCmn>()));
    EXPECT_STREQ(MsgBody(dst.As<MsgHdrPort>()), "new-password");
    EXPECT_EQ(MsgLen(dst.As<MsgHdrPort>()), 16);  // 12 + 1, rounded

    // On output a text never runs past the message's own length.
    memset(MsgBody(p), 'z', 64);
    SetMsgLen(p, 8);
    EXPECT_EQ(Write(p).size(), 8u + 16 + 2 + 8);

    // The whole-body text of sub-type 218 takes the body length from msglen.
    p->mtyp = CM_PORT;
    p->submtyp = 218;
    memcpy(MsgBody(p), "ab\0cd", 5);
    SetMsgLen(p, 5);  // rounded to 8
    Received whole(Write(p));
    ASSERT_TRUE(whole.Read(dst.As<MsgHdrCmn>()));
    EXPECT_EQ(memcmp(MsgBody(dst.As<MsgHdrPort>()), "ab\0cd", 5), 0);
    EXPECT_EQ(dst.As<MsgHdrCmn>()->msglen, 80);
}

TEST(SessionMsgsTest, shouldKeepTheLongestReceivedTextInsideMessageMemory) {
    const std::string huge(65500, 'h');
    PeerMsg peer(4, 4, 0);
    peer.PortHeader();
    peer.out.AppendText(huge.data(), int(huge.size()));
    peer.out << 1234;
    Received r(peer.Done());
    MsgMem m;  // exactly MSG_MEM_LEN bytes: the sanitizers catch any overrun
    ASSERT_TRUE(r.Read(m.As<MsgHdrCmn>()));
    const char* body = MsgBody(m.As<MsgHdrPort>());
    EXPECT_EQ(strlen(body), 65459u);
    EXPECT_EQ(m.As<MsgHdrCmn>()->msglen, 65532);

    PeerMsg whole(4, CM_PORT, 218);
    whole.PortHeader();
    whole.out.AppendText(huge.data(), int(huge.size()));
    Received rw(whole.Done());
    ASSERT_TRUE(rw.Read(m.As<MsgHdrCmn>()));
    EXPECT_EQ(m.As<MsgHdrCmn>()->msglen, 65532);
}

TEST(SessionMsgsTest, shouldCarryPortRequestRecords) {
    MsgMem m;
    MsgHdrPort* p = m.As<MsgHdrPort>();
    p->hdr_typ = MsgHdrPort::HDR_TYPE;
    p->mtyp = CM_PORT;
    p->submtyp = 201;
    stAddSubsPort* a = reinterpret_cast<stAddSubsPort*>(MsgBody(p));
    strcpy(a->por, "PORT1");
    memset(a->por_fil, 'f', sizeof a->por_fil);  // full array, no NUL
    a->porsid = PS_ALL;
    a->flag = enADD_POR_MON;
    a->bIsGTC = 1;
    strcpy(a->gtcExpiryTime, "20241231");
    Received r(Write(p));
    MsgMem dst;
    ASSERT_TRUE(r.Read(dst.As<MsgHdrCmn>()));
    const stAddSubsPort* b = reinterpret_cast<const stAddSubsPort*>(MsgBody(dst.As<MsgHdrPort>()));
    EXPECT_STREQ(b->por, "PORT1");
    EXPECT_EQ(std::string(b->por_fil), std::string(29, 'f'));
    EXPECT_EQ(b->porsid, PS_ALL);
    EXPECT_EQ(b->flag, enADD_POR_MON);
    EXPECT_EQ(b->bIsGTC, 1);
    EXPECT_STREQ(b->gtcExpiryTime, "20241231");
    EXPECT_EQ(MsgLen(dst.As<MsgHdrPort>()), 92);

    p->submtyp = 207;
    SMAddFileStruct* f = reinterpret_cast<SMAddFileStruct*>(MsgBody(p));
    memset(f, 0, sizeof *f);
    strcpy(f->fileName, "/data/file");
    f->bIsGTC = true;
    Received rf(Write(p));
    ASSERT_TRUE(rf.Read(dst.As<MsgHdrCmn>()));
    const SMAddFileStruct* g =
        reinterpret_cast<const SMAddFileStruct*>(MsgBody(dst.As<MsgHdrPort>()));
    EXPECT_STREQ(g->fileName, "/data/file");
    EXPECT_TRUE(g->bIsGTC);
    EXPECT_EQ(dst.As<MsgHdrCmn>()->msglen, 72 + 84);
}

TEST(SessionMsgsTest, shouldCarryPortfolioFileListsBoundedByTheMessage) {
    MsgMem m;
    MsgHdrPort* p = m.As<MsgHdrPort>();
    p->mtyp = CM_PORT;
    p->submtyp = 204;
    p->n1 = 2;
    stGetPorFile* e = reinterpret_cast<stGetPorFile*>(MsgBody(p));
    strcpy(e[0].por_fil, "one");
    strcpy(e[1].usr, "two");
    e[1].bIsGTC = 1;
    SetMsgLen(p, 2 * 104 + 1);
    Received r(Write(p));
    MsgMem dst;
    ASSERT_TRUE(r.Read(dst.As<MsgHdrCmn>()));
    const stGetPorFile* d = reinterpret_cast<const stGetPorFile*>(MsgBody(dst.As<MsgHdrPort>()));
    EXPECT_STREQ(d[0].por_fil, "one");
    EXPECT_STREQ(d[1].usr, "two");
    EXPECT_EQ(d[1].bIsGTC, 1);
    EXPECT_EQ(MsgLen(dst.As<MsgHdrPort>()), 2 * 104 + 1 + 3);

    // More entries announced than the message holds: nothing is read beyond it.
    p->n1 = 3;
    bool ok = true;
    Write(p, &ok);
    EXPECT_FALSE(ok);

    // A received count that cannot fit the message memory is refused.
    Received hostile(PeerMsg(4, CM_PORT, 204).PortHeader(1000000).Done());
    testing::internal::CaptureStderr();
    EXPECT_FALSE(hostile.Read(dst.As<MsgHdrCmn>()));
    EXPECT_THAT(Captured(), HasSubstr("SerializePortEntry count out of range:1000000"));
}

TEST(SessionMsgsTest, shouldCarryUserQueriesWithTheirEntriesInline) {
    MsgMem m;
    MsgHdrPort* p = m.As<MsgHdrPort>();
    p->mtyp = CM_PASSWD;
    p->submtyp = 1017;
    stUserInfoQuery* q = reinterpret_cast<stUserInfoQuery*>(MsgBody(p));
    q->protocol_version = 3;
    strcpy(q->UserName, "alice");
    q->UserInitialCount = 2;
    strcpy(q->Entries()[0].szUserInitials, "AB");
    strcpy(q->Entries()[1].szGroup, "grp");
    SetMsgLen(p, stUserInfoQuery::BodyLen(2));
    Received r(Write(p));
    MsgMem dst;
    ASSERT_TRUE(r.Read(dst.As<MsgHdrCmn>()));
    stUserInfoQuery* d = reinterpret_cast<stUserInfoQuery*>(MsgBody(dst.As<MsgHdrPort>()));
    EXPECT_EQ(d->protocol_version, 3);
    EXPECT_STREQ(d->UserName, "alice");
    EXPECT_EQ(d->UserInitialCount, 2);
    EXPECT_STREQ(d->Entries()[0].szUserInitials, "AB");
    EXPECT_STREQ(d->Entries()[1].szGroup, "grp");
    EXPECT_EQ(MsgLen(dst.As<MsgHdrPort>()), 108);  // 40 + 68

    q->UserInitialCount = 0;
    Received none(Write(p));
    ASSERT_TRUE(none.Read(dst.As<MsgHdrCmn>()));
    EXPECT_EQ(MsgLen(dst.As<MsgHdrPort>()), 48);

    PeerMsg peer(4, CM_PASSWD, 1017);
    peer.PortHeader();
    peer.out << 3 << "x" << 5000;
    Received hostile(peer.Done());
    testing::internal::CaptureStderr();
    EXPECT_FALSE(hostile.Read(dst.As<MsgHdrCmn>()));
    EXPECT_THAT(Captured(), HasSubstr("Entry count out of range:5000"));
}

TEST(SessionMsgsTest, shouldRefuseAMessageWhoseFieldsTheBufferCannotTakeWhole) {
    // Each message in its own memory, kept to be written again.
    std::vector<MsgMem> mems(8);
    size_t next = 0;
    auto New = [&](short hdrType, short mtyp, short submtyp, int bodyLen) {
        MsgHdrPort* p = mems.at(next++).As<MsgHdrPort>();
        p->hdr_typ = hdrType;
        p->mtyp = mtyp;
        p->submtyp = submtyp;
        p->n1 = 0;
        strcpy(p->por_nam, "PORT1");
        p->session_id = 7;
        SetMsgLen(p, bodyLen);
        return p;
    };
    MsgHdrPort* p = New(MsgHdrPort::HDR_TYPE, CM_PORT, 201, sizeof(stAddSubsPort));
    strcpy(reinterpret_cast<stAddSubsPort*>(MsgBody(p))->gtcExpiryTime, "20241231");
    p = New(MsgHdrPort::HDR_TYPE, CM_PORT, 207, sizeof(SMAddFileStruct));
    strcpy(reinterpret_cast<SMAddFileStruct*>(MsgBody(p))->fileName, "/data/file");
    p = New(MsgHdrPort::HDR_TYPE, CM_PORT, 203, 16);
    strcpy(MsgBody(p), "some text");
    p = New(MsgHdrPort::HDR_TYPE, CM_PORT, 204, 2 * 104 + 1);
    p->n1 = 2;
    strcpy(reinterpret_cast<stGetPorFile*>(MsgBody(p))[1].usr, "two");
    p = New(MsgHdrPort::HDR_TYPE, CM_PASSWD, 1017, stUserInfoQuery::BodyLen(2));
    stUserInfoQuery* q = reinterpret_cast<stUserInfoQuery*>(MsgBody(p));
    strcpy(q->UserName, "alice");
    q->UserInitialCount = 2;
    strcpy(q->Entries()[1].szGroup, "grp");
    FillLogin(
        *reinterpret_cast<stLogin*>(MsgBody(New(MsgHdrPort::HDR_TYPE, CM_LOGIN, CM_LOGIN, 320))));
    // The order server's logon and heartbeat.
    for (short mtyp : {CM_LOGIN, CM_HEARTBEAT}) {
        MsgHdrOrdSrv* o = mems.at(next++).As<MsgHdrOrdSrv>();
        o->hdr_typ = MsgHdrOrdSrv::HDR_TYPE;
        o->mtyp = mtyp;
        o->submtyp = mtyp;
        if (mtyp == CM_LOGIN) {
            FillLogin(*reinterpret_cast<stLogin*>(MsgBody(o)));
        } else {
            reinterpret_cast<stHeartBeat*>(MsgBody(o))->request_id = 3;
        }
    }

    ASSERT_EQ(next, mems.size());
    for (size_t i = 0; i < mems.size(); ++i) {
        ExpectWholeOrNothing(mems[i].As<MsgHdrCmn>(), i);
    }
}
