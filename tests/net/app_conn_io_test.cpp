// CAppConn reading and writing over a loopback TCP connection whose other end
// is a plain socket driven by the test (or a thread of it).
#include <errno.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/net_test_helper.h"
#include "qrx/net/app_conn.h"
#include "qrx/wire/session_msgs.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

constexpr int kWait = 5000;

int HeartbeatId(const char* msg) {
    const auto* hdr = reinterpret_cast<const MsgHdrPort*>(msg);
    if (hdr->hdr_typ != MsgHdrPort::HDR_TYPE || hdr->mtyp != CM_HEARTBEAT) {
        return -1;
    }
    stHeartBeat body;
    memcpy(&body, hdr->mstrt, sizeof body);
    return body.request_id;
}

std::string Bytes(std::initializer_list<int> bytes) {
    std::string s;
    for (int b : bytes) {
        s.push_back(static_cast<char>(b));
    }
    return s;
}

// A connection under test and the raw socket of its peer.
class AppConnIoTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_listener.Ok());
        Connect();
    }
    void TearDown() override {
        if (m_peer >= 0) {
            close(m_peer);
        }
    }

    void Connect() {
        if (m_peer >= 0) {
            close(m_peer);
        }
        m_conn =
            std::make_unique<CAppConn>("io", 1, nullptr, "127.0.0.1", m_listener.Port(), nullptr);
        {
            StderrCapture quiet;
            ASSERT_GE(m_conn->Conn(), 0);
        }
        m_peer = m_listener.AcceptWithin(kWait);
        ASSERT_GE(m_peer, 0);
        // A small fixed window: a peer that does not read stops the writer soon.
        const int window = 16384;
        setsockopt(m_peer, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
    }

    // The peer sends bytes; returns once all of them wait at the connection.
    void PeerSends(const std::string& bytes) {
        const int before = PendingBytes(m_conn->GetFd());
        ASSERT_TRUE(WriteAllWithin(m_peer, bytes, kWait));
        ASSERT_TRUE(
            WaitPendingBytes(m_conn->GetFd(), before + static_cast<int>(bytes.size()), kWait));
    }

    // Fills the socket until a non-blocking write keeps a rest: the bytes
    // written or kept, in order. lastErrno: errno right after that write.
    std::string FillUntilBlocked(int chunk, int& lastErrno) {
        std::string sent;
        lastErrno = 0;
        for (size_t i = 0; i < 400 && m_conn->nbWLeft == 0; ++i) {
            const std::string data = Pattern(static_cast<size_t>(chunk), sent.size());
            const int rc = m_conn->WriteBufNoblok(data.data(), chunk);
            lastErrno = errno;
            if (rc != 0) {
                ADD_FAILURE() << "write failed";
                break;
            }
            sent += data;
        }
        return sent;
    }

    // The peer reads n bytes on a thread while the connection flushes.
    std::string FlushTo(size_t n) {
        std::string got(n, '\0');
        bool ok = false;
        std::thread reader([&] { ok = ReadExactWithin(m_peer, &got[0], n, 20000); });
        for (int i = 0; i < 4000 && m_conn->nbWLeft > 0; ++i) {
            EXPECT_EQ(m_conn->WriteRemainsNoblok(), 0);
            struct pollfd pfd = {m_conn->GetFd(), POLLOUT, 0};
            poll(&pfd, 1, 10);
        }
        reader.join();
        EXPECT_TRUE(ok);
        return got;
    }

    LoopbackListener m_listener;
    std::unique_ptr<CAppConn> m_conn;
    int m_peer = -1;
};

}  // namespace

TEST_F(AppConnIoTest, shouldReturnTwoStreamMessagesOfOneReadThenCompactThenSeeThePeerClose) {
    m_conn->m_is_stream = 5;
    PeerSends(StreamHeartbeat(1) + StreamHeartbeat(2));
    close(m_peer);
    m_peer = -1;

    char* msg = nullptr;
    char user = 'x';
    ASSERT_EQ(m_conn->ReadMsgNoblok(msg, &user), 0);
    EXPECT_EQ(user, 0);
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(HeartbeatId(msg), 1);
    // The second comes from the buffer: a read now would have met the close.
    ASSERT_EQ(m_conn->ReadCmsgNoblok(msg), 0);
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(HeartbeatId(msg), 2);
    ASSERT_EQ(m_conn->ReadCmsgNoblok(msg), 0);
    EXPECT_EQ(msg, nullptr);
    EXPECT_EQ(m_conn->nbRUsed, 0);

    StderrCapture capture;
    EXPECT_EQ(m_conn->ReadCmsgNoblok(msg), 1);
    EXPECT_EQ(msg, nullptr);
    const std::string log = capture.Take();
    EXPECT_THAT(log, HasSubstr("~WARNING~\t:app_conn_io.cpp:"));
    EXPECT_THAT(log, HasSubstr("CAppConn::ReadNoBlk():(io) read returned 0.\n"));
}

TEST_F(AppConnIoTest, shouldHandOverTheLastMessagesOfAPeerThatClosedWhenTheyFillTheBuffer) {
    // Messages that fill the receive buffer exactly, then the close: the read
    // that took them goes on into a larger buffer and meets the end of stream.
    const size_t header = RawMessage(3, std::string(8, 'a')).size() - 8;
    std::vector<std::string> sent;
    std::string all;
    for (int i = 0; i < 4; ++i) {
        sent.push_back(RawMessage(static_cast<short>(10 + i),
                                  Pattern(CAppConn::DEFAULT_BUF_SIZE / 4 - header, 0)));
        ASSERT_EQ(sent.back().size(), static_cast<size_t>(CAppConn::DEFAULT_BUF_SIZE / 4));
        all += sent.back();
    }
    ASSERT_EQ(m_conn->maxRlen, CAppConn::DEFAULT_BUF_SIZE);
    PeerSends(all);
    close(m_peer);
    m_peer = -1;
    struct pollfd pfd = {m_conn->GetFd(), POLLRDHUP, 0};
    ASSERT_EQ(poll(&pfd, 1, kWait), 1);

    for (const std::string& expected : sent) {
        char* msg = nullptr;
        StderrCapture quiet;
        ASSERT_EQ(m_conn->ReadCmsgNoblok(msg), 0) << quiet.Take();
        ASSERT_NE(msg, nullptr);
        EXPECT_EQ(std::string(msg, expected.size()), expected);
    }
    char* msg = nullptr;
    StderrCapture capture;
    EXPECT_EQ(m_conn->ReadCmsgNoblok(msg), 0);  // compacts
    EXPECT_EQ(m_conn->ReadCmsgNoblok(msg), 1);
    EXPECT_EQ(msg, nullptr);
    EXPECT_THAT(capture.Take(), HasSubstr("CAppConn::ReadNoBlk():(io) read returned 0.\n"));
}

TEST_F(AppConnIoTest, shouldReturnSplitMessageWithTheReadThatCompletesIt) {
    m_conn->m_is_stream = 5;
    const std::string whole = StreamHeartbeat(77);
    char* msg = nullptr;

    PeerSends(whole.substr(0, 1));  // not even the length is complete
    ASSERT_EQ(m_conn->ReadCmsgNoblok(msg), 0);
    EXPECT_EQ(msg, nullptr);
    PeerSends(whole.substr(1, 10));
    ASSERT_EQ(m_conn->ReadCmsgNoblok(msg), 0);
    EXPECT_EQ(msg, nullptr);
    ASSERT_EQ(m_conn->ReadCmsgNoblok(msg), 0);  // nothing new: still nothing
    EXPECT_EQ(msg, nullptr);
    PeerSends(whole.substr(11));
    ASSERT_EQ(m_conn->ReadCmsgNoblok(msg), 0);
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(HeartbeatId(msg), 77);
}

TEST_F(AppConnIoTest, shouldFailOnStreamLengthsShorterThanTheHeader) {
    for (int len : {0, 1, 5, 7}) {
        Connect();
        m_conn->m_is_stream = 5;
        PeerSends(Bytes({0, len, 0, 4, 0x27, 0x11, 0x27, 0x11}) + StreamHeartbeat(1));
        StderrCapture capture;
        char* msg = nullptr;
        int mlen = -1;
        EXPECT_EQ(m_conn->ReadCmsgNoblok(msg), 1) << len;
        EXPECT_EQ(msg, nullptr);
        EXPECT_TRUE(m_conn->IsReadDataAvailable(mlen));
        EXPECT_EQ(mlen, len);
        EXPECT_EQ(m_conn->ReadCmsgNoblok(msg), 1) << "never skips past it";
        EXPECT_THAT(capture.Take(), HasSubstr("**ERROR**\t:CAppConn::ReadMsgNoblok():(io) "
                                              "malformed message length " +
                                              std::to_string(len) + "\n"));
    }
}

TEST_F(AppConnIoTest, shouldConsumeAndFailMessageThatCannotBeDeserialized) {
    m_conn->m_is_stream = 5;
    PeerSends(Bytes({0, 8, 0, 11, 0, 1, 0, 0}) + StreamHeartbeat(5));
    StderrCapture capture;
    char* msg = nullptr;
    EXPECT_EQ(m_conn->ReadCmsgNoblok(msg), 1);
    EXPECT_THAT(capture.Take(), HasSubstr("Unhandled Header Type: 11"));
    ASSERT_EQ(m_conn->ReadCmsgNoblok(msg), 0);
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(HeartbeatId(msg), 5);
}

TEST_F(AppConnIoTest, shouldHandRawMessagesOverInPlaceOnceComplete) {
    const std::string first = RawMessage(3, "hello world!");
    const std::string second = RawMessage(4, std::string(40000, 'z'));  // grows the buffer
    char* msg = nullptr;

    PeerSends(first.substr(0, 10));
    ASSERT_EQ(m_conn->ReadCmsgNoblok(msg), 0);
    EXPECT_EQ(msg, nullptr);
    PeerSends(first.substr(10) + second);
    ASSERT_EQ(m_conn->ReadCmsgNoblok(msg), 0);
    ASSERT_NE(msg, nullptr);
    EXPECT_GE(msg, m_conn->pRdata);
    EXPECT_LT(msg, m_conn->pRdata + m_conn->maxRlen);
    EXPECT_EQ(std::string(msg, first.size()), first);
    ASSERT_EQ(m_conn->ReadCmsgNoblok(msg), 0);
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(std::string(msg, second.size()), second);
    EXPECT_EQ(m_conn->maxRlen, 49152);

    // A length below the header fails.
    PeerSends(Bytes({1, 0, 3, 0, 0, 0, 4, 0}));
    StderrCapture capture;
    EXPECT_EQ(m_conn->ReadCmsgNoblok(msg), 0);  // compacts first
    EXPECT_EQ(msg, nullptr);
    EXPECT_EQ(m_conn->ReadCmsgNoblok(msg), 1);
    EXPECT_THAT(capture.Take(), HasSubstr("malformed message length 4"));
}

TEST_F(AppConnIoTest, shouldHandOverRawMessagesBehindAnOddLengthOneAligned) {
    // A peer may send a message of 13 bytes (its length field says so): the one behind it
    // starts at an odd offset.
    std::string odd = RawMessage(3, "hello");
    odd.resize(13, 'x');
    const unsigned short nLen = 13;
    memcpy(&odd[offsetof(MsgHdrCmn, msglen)], &nLen, sizeof nLen);
    const std::string next = RawMessage(4, "0123456789abcdef");
    PeerSends(odd + next + odd + next);
    for (const std::string* expected : std::vector<const std::string*>{&odd, &next, &odd, &next}) {
        char* msg = nullptr;
        ASSERT_EQ(m_conn->ReadCmsgNoblok(msg), 0);
        ASSERT_NE(msg, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(msg) % alignof(double), 0u);
        EXPECT_EQ(std::string(msg, expected->size()), *expected);
    }
}

TEST_F(AppConnIoTest, shouldHandOverAllUnconsumedBytesAsOneRawRun) {
    PeerSends("abcdefgh");
    char* data = nullptr;
    int len = 0;
    ASSERT_EQ(m_conn->ReadRawMsgNoblok(data, &len), 0);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(std::string(data, static_cast<size_t>(len)), "abcdefgh");
    ASSERT_EQ(m_conn->ReadRawMsgNoblok(data, &len), 0);
    EXPECT_EQ(data, nullptr);
    PeerSends("ij");
    ASSERT_EQ(m_conn->ReadRawMsgNoblok(data, nullptr), 0);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(std::string(data, 2), "ij");
}

TEST_F(AppConnIoTest, shouldExtractTextFramesAndResumeAfterDamagedOnes) {
    const char STX = 2;
    const char ETX = 3;
    std::string bytes;
    bytes += std::string("xx") + STX + "15hello" + ETX;          // junk before the frame
    bytes += std::string(1, STX) + "205hello" + ETX;             // two length digits
    bytes += std::string(1, STX) + "A" + STX + "12hi" + ETX;     // missing LOL
    bytes += std::string(1, STX) + "12hiX" + STX + "11z" + ETX;  // missing TTC
    bytes += std::string(1, STX) + "0" + ETX;                    // empty frame
    bytes += std::string(1, STX) + "11q" + ETX;
    bytes += std::string(1, STX) + "13ab";  // incomplete
    PeerSends(bytes);

    StderrCapture capture;
    std::vector<std::string> got;
    char* frame = nullptr;
    int len = 0;
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(m_conn->ReadStampMSG(frame, len), 0);
        if (frame == nullptr) {
            break;
        }
        got.emplace_back(frame, static_cast<size_t>(len));
    }
    EXPECT_EQ(got, (std::vector<std::string>{"hello", "hello", "hi", "z", "q"}));
    PeerSends(std::string("c") + ETX);
    ASSERT_EQ(m_conn->ReadStampMSG(frame, len), 0);
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(std::string(frame, static_cast<size_t>(len)), "abc");

    const std::string log = capture.Take();
    EXPECT_THAT(log, HasSubstr("**ERROR**\t:Error In Stamp Transport Layer, Missing LOL\n"));
    EXPECT_THAT(log, HasSubstr("**ERROR**\t:Error In Stamp Transport Layer, Missing TTC!!\n"));
}

TEST_F(AppConnIoTest, shouldFailTextFrameThatTheBufferCanNeverHold) {
    PeerSends(std::string(1, 2) + "9000070000" + std::string(100, 'p'));
    StderrCapture capture;
    char* frame = nullptr;
    int len = 0;
    EXPECT_EQ(m_conn->ReadStampMSG(frame, len), 1);
    EXPECT_EQ(frame, nullptr);
    EXPECT_THAT(capture.Take(), HasSubstr("Error In Stamp Transport Layer"));
}

TEST_F(AppConnIoTest, shouldKeepTheRestOfBlockedWriteInOrderAndRefuseNewOutputMeanwhile) {
    StderrCapture capture;
    int savedErrno = 0;
    const std::string sent = FillUntilBlocked(60000, savedErrno);
    ASSERT_GT(m_conn->nbWLeft, 0);
    EXPECT_EQ(savedErrno, EAGAIN) << "callers learn from errno that the socket is full";
    if (m_conn->nbWLeft > 16384) {
        EXPECT_EQ(m_conn->maxWlen, m_conn->nbWLeft + 16384);
    } else {
        EXPECT_EQ(m_conn->maxWlen, 16384);
    }

    const int waiting = m_conn->nbWLeft;
    EXPECT_EQ(m_conn->WriteBufNoblok("late", 4), 1);
    EXPECT_EQ(m_conn->WriteBlock("late", 4), 1);
    EXPECT_EQ(m_conn->nbWLeft, waiting);
    const std::string log = capture.Take();
    EXPECT_THAT(log, HasSubstr("CAppConn::WriteBufNoblok():(io) Unwritten data exists"));
    EXPECT_THAT(log, HasSubstr("CAppConn::WriteBlock():(io) Unwritten data exists"));

    EXPECT_EQ(FlushTo(sent.size()), sent);
    EXPECT_EQ(m_conn->nbWLeft, 0);
    EXPECT_EQ(m_conn->WriteBufNoblok("next", 4), 0);
    char tail[4];
    ASSERT_TRUE(ReadExactWithin(m_peer, tail, 4, kWait));
    EXPECT_EQ(std::string(tail, 4), "next");
}

TEST_F(AppConnIoTest, shouldAppendBehindWaitingOutputUntilTheBufferLimit) {
    StderrCapture capture;
    std::string kept;
    int refused = 0;
    for (int i = 0; i < 400 && refused == 0; ++i) {
        const std::string data = Pattern(30000, kept.size());
        if (m_conn->WriteBufNoblok1(data.data(), 30000) == 0) {
            kept += data;
        } else {
            ++refused;
        }
    }
    ASSERT_EQ(refused, 1);
    EXPECT_GE(m_conn->maxWlen, m_conn->GetMaxBufferSize());
    const std::string log = capture.Take();
    EXPECT_THAT(log, HasSubstr("io realloc(W) "));
    EXPECT_THAT(log, HasSubstr("**ERROR**\t:CAppConn::WriteBufNoblok1():(io) MaxBufLen exceeded"));

    // Everything accepted arrives in order, the refused chunk nowhere.
    EXPECT_EQ(FlushTo(kept.size()), kept);
    struct pollfd pfd = {m_peer, POLLIN, 0};
    EXPECT_EQ(poll(&pfd, 1, 50), 0);
}

TEST_F(AppConnIoTest, shouldRefuseEveryWriteOf65536BytesOrMore) {
    const std::string big(65536, 'b');
    StderrCapture capture;
    EXPECT_EQ(m_conn->WriteBufNoblok(big.data(), 65536), 1);
    EXPECT_EQ(m_conn->WriteBufNoblok1(big.data(), 65536), 1);
    EXPECT_EQ(m_conn->WriteBlock(big.data(), 65536), 1);
    EXPECT_EQ(m_conn->nbWLeft, 0);
    const std::string log = capture.Take();
    for (const char* where : {"WriteBufNoblok: ", "WriteBufNoblok1: ", "WriteBlock: "}) {
        EXPECT_THAT(log, HasSubstr(std::string(where) + "Message too big! >= 65536\n"));
    }

    const std::string largest = Pattern(65535, 0);
    std::string got(65535, '\0');
    bool ok = false;
    std::thread reader([&] { ok = ReadExactWithin(m_peer, &got[0], got.size(), 20000); });
    EXPECT_EQ(m_conn->WriteBlock(largest.data(), 65535), 0);
    reader.join();
    EXPECT_TRUE(ok);
    EXPECT_EQ(got, largest) << "nothing of the refused writes went out";
}

TEST_F(AppConnIoTest, shouldWriteBlockingUntilASlowPeerHasReadEverything) {
    std::string sent;
    for (int i = 0; i < 20; ++i) {
        sent += Pattern(60000, sent.size());
    }
    std::string got(sent.size(), '\0');
    bool ok = false;
    std::thread reader([&] {
        size_t done = 0;
        ok = true;
        while (ok && done < got.size()) {
            const size_t n = std::min<size_t>(7000, got.size() - done);
            ok = ReadExactWithin(m_peer, &got[done], n, 20000);
            done += n;
        }
    });
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(m_conn->WriteBlock(sent.data() + i * 60000, 60000), 0);
    }
    EXPECT_EQ(m_conn->WriteBlock(nullptr, 0), 0);
    reader.join();
    EXPECT_TRUE(ok);
    EXPECT_EQ(got, sent);
}

TEST_F(AppConnIoTest, shouldSerializeMessagesInStreamFormAndRefuseUnwritableOnes) {
    m_conn->m_is_stream = 5;
    std::vector<double> mem(16, 0.0);
    auto* hb = reinterpret_cast<MsgHdrPort*>(mem.data());
    hb->mtyp = CM_HEARTBEAT;
    hb->submtyp = CM_HEARTBEAT;
    const stHeartBeat body = {9};
    memcpy(hb->mstrt, &body, sizeof body);
    SetMsgLen(hb, sizeof body);
    const std::string expected = StreamHeartbeat(9);

    ASSERT_EQ(m_conn->WriteMsgNoblok(hb), 0);
    ASSERT_EQ(m_conn->WriteMsgBlock(hb), 0);
    std::string got(expected.size() * 2, '\0');
    ASSERT_TRUE(ReadExactWithin(m_peer, &got[0], got.size(), kWait));
    EXPECT_EQ(got, expected + expected);

    StderrCapture capture;
    hb->hdr_typ = 11;
    EXPECT_EQ(m_conn->WriteMsgNoblok(hb), 1);
    EXPECT_EQ(m_conn->WriteMsgBlock(hb), 1);
    EXPECT_EQ(m_conn->WriteMsgNoblok(nullptr), 1);
    const std::string log = capture.Take();
    EXPECT_THAT(log, HasSubstr("WriteMsgNoblok: Outgoing message has not been written.\n"));
    EXPECT_THAT(log, HasSubstr("WriteMsgBlock: Outgoing message has NOT been written.\n"));
    struct pollfd pfd = {m_peer, POLLIN, 0};
    EXPECT_EQ(poll(&pfd, 1, 50), 0);

    // The raw form writes the message as it lies in memory.
    m_conn->m_is_stream = 0;
    const std::string raw = RawMessage(2, "raw!");
    std::vector<double> rawMem(8, 0.0);
    memcpy(rawMem.data(), raw.data(), raw.size());
    ASSERT_EQ(m_conn->WriteMsgNoblok(reinterpret_cast<MsgHdrCmn*>(rawMem.data())), 0);
    std::string rawGot(raw.size(), '\0');
    ASSERT_TRUE(ReadExactWithin(m_peer, &rawGot[0], rawGot.size(), kWait));
    EXPECT_EQ(rawGot, raw);
}

TEST_F(AppConnIoTest, shouldFailWritesToAClosedPeerWithoutRaisingSigpipe) {
    const struct linger reset = {1, 0};
    setsockopt(m_peer, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close(m_peer);
    m_peer = -1;
    StderrCapture capture;
    const std::string data(1000, 'd');
    int blockRc = 0;
    int noblkRc = 0;
    for (int i = 0; i < 100 && blockRc == 0; ++i) {
        blockRc = m_conn->WriteBlock(data.data(), 1000);
    }
    for (int i = 0; i < 100 && noblkRc == 0; ++i) {
        noblkRc = m_conn->WriteBufNoblok(data.data(), 1000);
    }
    EXPECT_EQ(blockRc, 1);
    EXPECT_EQ(noblkRc, 1);
    const std::string log = capture.Take();
    EXPECT_THAT(log, HasSubstr("CAppConn::WriteBlock():(io) write() returned errno = "));
    EXPECT_THAT(log, HasSubstr("**ERROR**\t:In io: WriteNoBlock: write("));
}

TEST_F(AppConnIoTest, shouldWaitForMessagesOnlyInAcknowledgementMode) {
    m_conn->m_is_stream = 5;
    char* msg = nullptr;
    EXPECT_EQ(get_msg_AppORC(m_conn.get(), msg, false), 0);
    EXPECT_EQ(msg, nullptr);

    std::thread later([&] {
        struct timespec pause = {0, 200 * 1000 * 1000};
        nanosleep(&pause, nullptr);
        WriteAllWithin(m_peer, StreamHeartbeat(11) + StreamHeartbeat(12), kWait);
    });
    EXPECT_EQ(get_msg_AppORC(m_conn.get(), msg, true), 0);
    later.join();
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(HeartbeatId(msg), 11);
    // Already buffered: no wait needed, not even in the member.
    EXPECT_EQ(m_conn->get_msg_AppORC(msg, false), 0);
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(HeartbeatId(msg), 12);

    close(m_peer);
    m_peer = -1;
    StderrCapture capture;
    EXPECT_EQ(get_msg_AppORC(m_conn.get(), msg, true), 1);
    m_conn->Close(false);
    EXPECT_EQ(m_conn->get_msg_AppORC(msg, true), 1);
    EXPECT_EQ(get_msg_AppORC(nullptr, msg, true), 1);
    EXPECT_THAT(capture.Take(), HasSubstr("get_msg_AppORC(): invalid pconn\n"));
}

TEST_F(AppConnIoTest, shouldReadAndWriteAgainAfterCloseAndReconnect) {
    m_conn->m_is_stream = 5;
    PeerSends(StreamHeartbeat(1));
    char* msg = nullptr;
    ASSERT_EQ(m_conn->ReadCmsgNoblok(msg), 0);
    ASSERT_NE(msg, nullptr);
    m_conn->Close(true);
    EXPECT_EQ(m_conn->maxRlen, 0);
    EXPECT_EQ(HeartbeatId(msg), 1) << "the last message stays readable after Close";
    close(m_peer);

    {
        StderrCapture quiet;
        ASSERT_GE(m_conn->Conn(), 0);
    }
    m_peer = m_listener.AcceptWithin(kWait);
    ASSERT_GE(m_peer, 0);
    PeerSends(StreamHeartbeat(2));
    ASSERT_EQ(m_conn->ReadCmsgNoblok(msg), 0);
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(HeartbeatId(msg), 2);
    EXPECT_EQ(m_conn->maxRlen, 16384);
    ASSERT_EQ(m_conn->WriteBufNoblok1("ok", 2), 0);
    char back[2];
    ASSERT_TRUE(ReadExactWithin(m_peer, back, 2, kWait));
    EXPECT_EQ(std::string(back, 2), "ok");
}
