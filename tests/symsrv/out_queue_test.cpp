// The client queue: records gathered into data messages of the stream form, closed by a
// change of sub-type, by a full message or by any other message, and kept in order while the
// front is written and the room reused.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qrx/symsrv/out_queue.h"
#include "qrx/wire/msg_hdr_stream.h"
#include "qrx/wire/sym_msgs.h"

namespace {

struct Msg {
    int nType;
    int nSub;
    std::string body;
};

// Frames and reads the queue's bytes as a client's connection does.
std::vector<Msg> Read(std::string bytes) {
    std::vector<Msg> out;
    size_t at = 0;
    std::vector<char> mem(MSG_MEM_LEN);
    while (at < bytes.size()) {
        CMsgHdrStream in(nullptr, 0, false);
        const int n = CMsgHdrStream::MakeStreamFromBuffer(&bytes[at],
                                                          static_cast<int>(bytes.size() - at), &in);
        EXPECT_GT(n, 0) << "an incomplete message at " << at;
        if (n <= 0) {
            break;
        }
        MsgHdrSym* h = reinterpret_cast<MsgHdrSym*>(mem.data());
        EXPECT_TRUE(in.SerializeSym(h));
        out.push_back(
            {h->mtyp, h->submtyp, std::string(MsgBody(h), static_cast<size_t>(MsgLen(h)))});
        at += static_cast<size_t>(n);
    }
    return out;
}

std::string Drain(COutQueue& q) {
    const size_t n = q.Pending();
    std::string s(q.Front(), n);
    q.Consume(n);
    return s;
}

}  // namespace

TEST(OutQueue, RecordsOfOneSubTypeTravelInOneDataMessageUntilAnotherMessageComes) {
    COutQueue q;
    ASSERT_TRUE(q.AppendRecord(SYM_DATA_UPDATE, "abc", 3));
    ASSERT_TRUE(q.AppendRecord(SYM_DATA_UPDATE, "defg", 4));
    ASSERT_TRUE(q.AppendRecord(SYM_DATA_SNAPSHOT, "hhhhh", 5));
    const char status[] = {0, 8, 0, 15, 0, 10, 0, 7};  // a logon verdict, header only
    ASSERT_TRUE(q.AppendMsg(status, 8));
    ASSERT_TRUE(q.AppendRecord(SYM_DATA_UPDATE, "ijklm", 5));
    const auto msgs = Read(Drain(q));
    ASSERT_EQ(msgs.size(), 4u);
    EXPECT_EQ(msgs[0].nType, CM_SYM_DATA);
    EXPECT_EQ(msgs[0].nSub, SYM_DATA_UPDATE);
    EXPECT_EQ(msgs[0].body, "abcdefg");
    EXPECT_EQ(msgs[1].nSub, SYM_DATA_SNAPSHOT);
    EXPECT_EQ(msgs[1].body, "hhhhh");
    EXPECT_EQ(msgs[2].nType, CM_SYM_STATUS);
    EXPECT_EQ(msgs[2].nSub, SYM_STATUS_LOGIN_ACCEPTED);
    EXPECT_EQ(msgs[3].body, "ijklm");
    EXPECT_TRUE(q.Empty());
}

TEST(OutQueue, AFullMessageIsClosedAtTheRecordCountOrTheBodySize) {
    COutQueue q;
    for (int i = 0; i < COutQueue::kMaxRecords + 10; ++i) {
        ASSERT_TRUE(q.AppendRecord(SYM_DATA_UPDATE, "r", 1));
    }
    auto msgs = Read(Drain(q));
    ASSERT_EQ(msgs.size(), 2u);
    EXPECT_EQ(msgs[0].body.size(), static_cast<size_t>(COutQueue::kMaxRecords));
    EXPECT_EQ(msgs[1].body.size(), 10u);

    const std::string big(3000, 'b');
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(q.AppendRecord(SYM_DATA_UPDATE, big.data(), big.size()));
    }
    msgs = Read(Drain(q));
    ASSERT_EQ(msgs.size(), 2u);  // cut once the body passed 8,192 bytes
    EXPECT_EQ(msgs[0].body.size(), 9000u);
    EXPECT_EQ(msgs[1].body.size(), 6000u);
    EXPECT_FALSE(q.AppendRecord(SYM_DATA_UPDATE, std::string(65530, 'x').data(), 65530))
        << "a record no message can carry";
}

TEST(OutQueue, BytesStayInOrderWhileTheFrontIsWrittenPieceByPiece) {
    COutQueue q;
    std::string expected;
    std::string written;
    int nNext = 0;
    // Append and write in uneven steps so that the room at the front is reused many times.
    for (int step = 0; step < 2000; ++step) {
        for (int k = 0; k < step % 7; ++k) {
            const std::string rec = "rec" + std::to_string(nNext++) + ";";
            ASSERT_TRUE(q.AppendRecord(SYM_DATA_UPDATE, rec.data(), rec.size()));
            expected += rec;
        }
        const size_t n = std::min(q.Pending(), static_cast<size_t>(37 + step % 101));
        written.append(q.Front(), n);
        q.Consume(n);
    }
    written += Drain(q);
    std::string bodies;
    for (const auto& m : Read(written)) {
        bodies += m.body;
    }
    EXPECT_EQ(bodies, expected);
    EXPECT_LE(q.Capacity(), 256u * 1024) << "the buffer grew although the queue stayed short";
}
