// CAppConn::WriteMsgsNoblok, the batched non-blocking write, over a loopback TCP connection
// whose other end is a plain socket driven by the test.
#include <errno.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/net_test_helper.h"
#include "qrx/net/app_conn.h"
#include "qrx/wire/msg_hdr_stream.h"
#include "qrx/wire/sym_msgs.h"

using ::testing::HasSubstr;

namespace {

constexpr int kWait = 5000;

// Counts the gathering writes that reach the socket.
class CountingConn : public CAppConn {
public:
    using CAppConn::CAppConn;
    ssize_t WriteVec(const struct iovec* iov, int cnt) override {
        ++m_nWriteVecs;
        return CAppConn::WriteVec(iov, cnt);
    }
    int m_nWriteVecs = 0;
};

// Sym update messages in memory, with bodies of a pattern that shows order and loss, and the
// bytes that writing them one by one puts on the wire.
struct Batch {
    std::vector<std::vector<double>> mem;
    std::vector<MsgHdrCmn*> msgs;
    std::vector<size_t> wireLen;
    std::string wire;

    void Add(int bodyLen) {
        mem.emplace_back(static_cast<size_t>(bodyLen) / 8 + 8, 0.0);
        auto* m = reinterpret_cast<MsgHdrSym*>(mem.back().data());
        m->hdr_typ = MsgHdrSym::HDR_TYPE;
        m->mtyp = CM_SYM_DATA;
        m->submtyp = SYM_DATA_UPDATE;
        const std::string body = Pattern(static_cast<size_t>(bodyLen), wire.size());
        memcpy(m->mstrt, body.data(), body.size());
        SetMsgLen(m, bodyLen);
        msgs.push_back(m);
        CMsgHdrStream out(true, 1024, 1024);
        char* p = nullptr;
        int len = 0;
        if (out.SerializeAll(m, nullptr)) {
            out.GetBuf(p, len);
        }
        wireLen.push_back(static_cast<size_t>(len));
        wire.append(p, static_cast<size_t>(len));
    }
};

class AppConnBatchWriteTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_listener.Ok());
        m_conn = std::make_unique<CountingConn>("io", 1, nullptr, "127.0.0.1", m_listener.Port(),
                                                nullptr);
        {
            StderrCapture quiet;
            ASSERT_GE(m_conn->Conn(), 0);
        }
        m_peer = m_listener.AcceptWithin(kWait);
        ASSERT_GE(m_peer, 0);
        // A small fixed window: a peer that does not read stops the writer soon.
        const int window = 16384;
        setsockopt(m_peer, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
        m_conn->m_is_stream = 5;
    }
    void TearDown() override {
        if (m_peer >= 0) {
            close(m_peer);
        }
    }

    LoopbackListener m_listener;
    std::unique_ptr<CountingConn> m_conn;
    int m_peer = -1;
};

}  // namespace

TEST_F(AppConnBatchWriteTest, shouldHandEveryMessageOfABatchToTheSocketInOneCall) {
    Batch batch;
    for (int len : {4100, 8, 300, 4096, 1}) {
        batch.Add(len);
    }
    int nWritten = -1;
    ASSERT_EQ(m_conn->WriteMsgsNoblok(batch.msgs.data(), 5, nWritten), 0);
    EXPECT_EQ(nWritten, 5);
    EXPECT_EQ(m_conn->nbWLeft, 0);
    EXPECT_EQ(m_conn->m_nWriteVecs, 1);
    std::string got(batch.wire.size(), '\0');
    ASSERT_TRUE(ReadExactWithin(m_peer, &got[0], got.size(), kWait));
    EXPECT_EQ(got, batch.wire) << "the bytes of five single writes, in order";

    // The raw form writes the messages as they lie in memory.
    m_conn->m_is_stream = 0;
    std::vector<std::vector<double>> raw;
    std::vector<MsgHdrCmn*> rawMsgs;
    std::string rawWire;
    for (const char* body : {"one!", "two and more", ""}) {
        const std::string msg = RawMessage(2, body);
        raw.emplace_back(msg.size() / 8 + 1, 0.0);
        memcpy(raw.back().data(), msg.data(), msg.size());
        rawMsgs.push_back(reinterpret_cast<MsgHdrCmn*>(raw.back().data()));
        rawWire += msg;
    }
    ASSERT_EQ(m_conn->WriteMsgsNoblok(rawMsgs.data(), 3, nWritten), 0);
    EXPECT_EQ(nWritten, 3);
    EXPECT_EQ(m_conn->m_nWriteVecs, 2);
    std::string rawGot(rawWire.size(), '\0');
    ASSERT_TRUE(ReadExactWithin(m_peer, &rawGot[0], rawGot.size(), kWait));
    EXPECT_EQ(rawGot, rawWire);
}

TEST_F(AppConnBatchWriteTest, shouldKeepTheRestOfTheMessageItStoppedInAndLeaveTheOthersInOrder) {
    // Far more than the two socket buffers hold, in many batches.
    Batch batch;
    for (int i = 0; i < 400; ++i) {
        batch.Add(500 + (i * 977) % 3000);
    }
    const int nMsgs = static_cast<int>(batch.msgs.size());
    int nDone = 0;
    errno = 0;
    ASSERT_EQ(m_conn->WriteMsgsNoblok(batch.msgs.data(), nMsgs, nDone), 0);
    EXPECT_EQ(errno, EAGAIN) << "callers learn from errno that the socket is full";
    ASSERT_GT(nDone, 0);
    ASSERT_LT(nDone, nMsgs);
    // The last message counted is the one the socket stopped in: its rest waits.
    ASSERT_GT(m_conn->nbWLeft, 0);
    EXPECT_LE(static_cast<size_t>(m_conn->nbWLeft), batch.wireLen[static_cast<size_t>(nDone - 1)]);
    EXPECT_GT(m_conn->m_nWriteVecs, 1);

    {
        StderrCapture capture;
        int nLate = -1;
        const int waiting = m_conn->nbWLeft;
        EXPECT_EQ(m_conn->WriteMsgsNoblok(batch.msgs.data() + nDone, 1, nLate), 1);
        EXPECT_EQ(nLate, 0);
        EXPECT_EQ(m_conn->nbWLeft, waiting);
        EXPECT_THAT(capture.Take(),
                    HasSubstr("CAppConn::WriteMsgsNoblok():(io) Unwritten data exists"));
    }

    // The peer reads while the writer goes on as a publisher does: the rest first, then the
    // messages not yet counted.
    std::string got(batch.wire.size(), '\0');
    bool ok = false;
    std::thread reader([&] { ok = ReadExactWithin(m_peer, &got[0], got.size(), 20000); });
    for (int i = 0; i < 4000 && (nDone < nMsgs || m_conn->nbWLeft > 0); ++i) {
        ASSERT_EQ(m_conn->WriteRemainsNoblok(), 0);
        if (m_conn->nbWLeft == 0 && nDone < nMsgs) {
            int n = 0;
            ASSERT_EQ(m_conn->WriteMsgsNoblok(batch.msgs.data() + nDone, nMsgs - nDone, n), 0);
            ASSERT_GT(n, 0);
            nDone += n;
        }
        struct pollfd pfd = {m_conn->GetFd(), POLLOUT, 0};
        poll(&pfd, 1, 10);
    }
    reader.join();
    EXPECT_EQ(nDone, nMsgs);
    EXPECT_EQ(m_conn->nbWLeft, 0);
    ASSERT_TRUE(ok);
    EXPECT_TRUE(got == batch.wire) << "every byte once, in order";
}

TEST_F(AppConnBatchWriteTest, shouldWriteWhatIsAheadOfAMessageThatCannotBeWrittenAndStopThere) {
    Batch batch;
    for (int i = 0; i < 4; ++i) {
        batch.Add(100 + i);
    }
    batch.msgs[2]->hdr_typ = 11;  // a family without a stream form
    StderrCapture capture;
    int nWritten = -1;
    errno = EINTR;
    EXPECT_EQ(m_conn->WriteMsgsNoblok(batch.msgs.data(), 4, nWritten), 1);
    EXPECT_EQ(nWritten, 2);
    EXPECT_EQ(errno, 0) << "not the socket's fault";
    EXPECT_EQ(m_conn->nbWLeft, 0);
    const size_t nAhead = batch.wireLen[0] + batch.wireLen[1];
    std::string got(nAhead, '\0');
    ASSERT_TRUE(ReadExactWithin(m_peer, &got[0], nAhead, kWait));
    EXPECT_EQ(got, batch.wire.substr(0, nAhead));

    // Called at the bad message again it fails at once; a null message fails alike.
    EXPECT_EQ(m_conn->WriteMsgsNoblok(batch.msgs.data() + 2, 2, nWritten), 1);
    EXPECT_EQ(nWritten, 0);
    MsgHdrCmn* none[1] = {nullptr};
    EXPECT_EQ(m_conn->WriteMsgsNoblok(none, 1, nWritten), 1);
    EXPECT_EQ(nWritten, 0);
    EXPECT_EQ(m_conn->WriteMsgsNoblok(batch.msgs.data() + 3, 1, nWritten), 0);
    EXPECT_EQ(nWritten, 1);
    std::string last(batch.wireLen[3], '\0');
    ASSERT_TRUE(ReadExactWithin(m_peer, &last[0], last.size(), kWait));
    EXPECT_EQ(last, batch.wire.substr(batch.wire.size() - batch.wireLen[3]));
    struct pollfd pfd = {m_peer, POLLIN, 0};
    EXPECT_EQ(poll(&pfd, 1, 50), 0) << "nothing of the bad messages went out";

    const std::string log = capture.Take();
    EXPECT_THAT(log, HasSubstr("WriteMsgsNoblok: Outgoing message has not been written.\n"));
}
