// How much CAppConn takes in: one read takes a bounded share of what the socket
// holds, and the receive buffer that grows for QUOR_FIX_LARGE_LIST stops at its
// limit. The peer is the other end of a Unix-domain socket pair, which queues far
// more than a loopback TCP window, so a read can find more than a buffer holds.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>

#include "common/scoped_env.h"
#include "net/net_test_helper.h"
#include "qrx/net/app_conn.h"
#include "qrx/wire/session_msgs.h"

using ::testing::HasSubstr;

namespace {

constexpr int kWait = 5000;
constexpr int kQueued = 200000;  // what the peer queues, beyond one read's share

int HeartbeatId(const char* msg) {
    const auto* hdr = reinterpret_cast<const MsgHdrPort*>(msg);
    stHeartBeat body;
    memcpy(&body, hdr->mstrt, sizeof body);
    return body.request_id;
}

bool Readable(int fd) {
    struct pollfd pfd = {fd, POLLIN, 0};
    return poll(&pfd, 1, 0) == 1 && (pfd.revents & POLLIN) != 0;
}

class AppConnRecvLimitTest : public ::testing::Test {
protected:
    void SetUp() override { MakeConn(); }
    void TearDown() override {
        if (m_peer >= 0) {
            close(m_peer);
        }
    }

    // A connection adopting one end of a fresh pair; environment as it is now.
    void MakeConn() {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        const int queue = 1 << 20;
        setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &queue, sizeof queue);
        m_conn = std::make_unique<CAppConn>("limit", CAppConn::SOCKET_UNSPEC, nullptr, nullptr, 0,
                                            nullptr);
        m_conn->SetFd(fds[0]);
        if (m_peer >= 0) {
            close(m_peer);
        }
        m_peer = fds[1];
    }

    void LargeList() { m_conn->m_buf_grow_size = CAppConn::LARGE_LIST_GROW_SIZE; }

    std::unique_ptr<CAppConn> m_conn;
    int m_peer = -1;
};

}  // namespace

TEST_F(AppConnRecvLimitTest, shouldHandOverAQueueLargerThanOneReadInSharesThatPollStillSees) {
    LargeList();
    m_conn->m_is_stream = 5;
    std::string queued;
    int sent = 0;
    while (queued.size() < static_cast<size_t>(kQueued)) {
        queued += StreamHeartbeat(sent++);
    }
    ASSERT_TRUE(WriteAllWithin(m_peer, queued, kWait));

    // As a dispatch loop does: take every complete message, stop at the first
    // null, wait for readability, go again.
    int next = 0;
    int rounds = 0;
    while (next < sent && rounds < 100) {
        ++rounds;
        ASSERT_TRUE(Readable(m_conn->GetFd())) << "messages left unread with nothing to wake on";
        int inRound = 0;
        for (;;) {
            char* msg = nullptr;
            ASSERT_EQ(m_conn->ReadCmsgNoblok(msg), 0);
            if (msg == nullptr) {
                break;
            }
            ASSERT_EQ(HeartbeatId(msg), next);
            ++next;
            ++inRound;
        }
        const int bytesInRound = inRound * static_cast<int>(StreamHeartbeat(0).size());
        // A round may also finish the message the previous read cut.
        EXPECT_LE(bytesInRound,
                  CAppConn::MAX_READ_PER_CALL + static_cast<int>(StreamHeartbeat(0).size()));
        EXPECT_LE(m_conn->maxRlen, CAppConn::MAX_READ_PER_CALL + CAppConn::LARGE_LIST_GROW_SIZE);
    }
    EXPECT_EQ(next, sent);
    EXPECT_GE(rounds, kQueued / CAppConn::MAX_READ_PER_CALL);
    EXPECT_FALSE(Readable(m_conn->GetFd()));
}

TEST_F(AppConnRecvLimitTest, shouldCloseWhenUnconsumedInputFillsTheBufferAtItsLimit) {
    {
        ScopedEnv unset("QUOR_MAX_RECV_BUFFER", nullptr);
        MakeConn();
        EXPECT_EQ(m_conn->GetRecvBufferLimit(), CAppConn::DEFAULT_RECV_BUFFER_LIMIT);
    }
    {
        ScopedEnv tiny("QUOR_MAX_RECV_BUFFER", "1000");
        MakeConn();
        EXPECT_EQ(m_conn->GetRecvBufferLimit(), CAppConn::DEFAULT_MAX_BUFFER_SIZE);
    }
    ScopedEnv limit("QUOR_MAX_RECV_BUFFER", "131072");
    MakeConn();
    ASSERT_EQ(m_conn->GetRecvBufferLimit(), 131072);
    LargeList();
    ASSERT_TRUE(WriteAllWithin(m_peer, Pattern(kQueued, 0), kWait));

    // Nothing is consumed, as while one long frame keeps arriving: each read
    // adds its share until the buffer is full at the limit.
    StderrCapture capture;
    int rc = 0;
    int calls = 0;
    while (rc == 0 && calls < 20) {
        int got = 0;
        rc = m_conn->ReadNoBlk(got);
        ++calls;
        EXPECT_LE(m_conn->maxRlen, 131072);
    }
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(m_conn->nbRLeft, 131072);
    EXPECT_THAT(capture.Take(),
                HasSubstr("CAppConn::ReadNoBlk():(limit) receive buffer limit of 131072 bytes"));
}

TEST_F(AppConnRecvLimitTest, shouldRefuseATextFrameLongerThanTheLimitOnceItsLengthIsKnown) {
    ScopedEnv limit("QUOR_MAX_RECV_BUFFER", "131072");
    MakeConn();
    LargeList();
    // A frame of 300,000 payload bytes announced, and more than the limit sent.
    ASSERT_TRUE(WriteAllWithin(m_peer, std::string(1, 2) + "6300000" + Pattern(kQueued, 0), kWait));
    StderrCapture capture;
    char* frame = nullptr;
    int len = 0;
    int rc = 0;
    for (int i = 0; i < 20 && rc == 0; ++i) {
        rc = m_conn->ReadStampMSG(frame, len);
        EXPECT_EQ(frame, nullptr);
    }
    EXPECT_EQ(rc, 1);
    EXPECT_LE(m_conn->maxRlen, 131072);
    EXPECT_THAT(capture.Take(), HasSubstr("exceeds the buffer limit of 131072"));

    // A frame within the limit still grows the buffer past its default size.
    MakeConn();
    LargeList();
    const std::string payload = Pattern(100000, 7);
    ASSERT_TRUE(WriteAllWithin(m_peer, std::string(1, 2) + "6100000" + payload + "\x03", kWait));
    rc = 0;
    frame = nullptr;
    for (int i = 0; i < 20 && rc == 0 && frame == nullptr; ++i) {
        rc = m_conn->ReadStampMSG(frame, len);
    }
    ASSERT_EQ(rc, 0);
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(std::string(frame, static_cast<size_t>(len)), payload);
}
