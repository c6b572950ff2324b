// The bounds of a command put together from parts, and of the requests one
// Dispatch handles, against a scripted symbol-server client over loopback.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "proxy/sym_peer.h"
#include "qrx/wire/command_serialization.h"
#include "qrx/wire/sym_msgs.h"

using namespace proxytest;

namespace {

class BoundedProxy : public TestProxy {
public:
    static constexpr int kMaxParts = CommandIntake::kMaxParts;
    static constexpr size_t kMaxBytes = CommandIntake::kMaxBytes;
    static constexpr size_t kMaxHeldBytes = CommandIntake::kMaxHeldBytes;
    // The bytes of text parameter values held in commands not yet whole.
    size_t HeldTextBytes() const {
        size_t n = 0;
        for (const auto& entry : m_Commands) {
            for (const auto& param : entry.second.StringParams()) {
                n += static_cast<size_t>(param.second.length());
            }
        }
        return n;
    }
    // Serves a client on fd as an accepted one, its receive buffer growing for large lists.
    void AdoptClient(int fd) {
        CAppConn* pConn =
            new CAppConn("SYM-CONN", CAppConn::SOCKET_UNSPEC, nullptr, nullptr, 0, nullptr);
        pConn->SetFd(fd);
        pConn->m_is_stream = 5;
        pConn->m_buf_grow_size = CAppConn::LARGE_LIST_GROW_SIZE;
        delete m_pConn;
        m_pConn = pConn;
    }
};

// One part of command name/id holding a text parameter of n bytes.
CGrowingBuffer Part(const char* name, unsigned id, const std::string& param, size_t n) {
    CCommand c(name);
    c.SetCmdId(id);
    c.SetStringParam(param.c_str(), std::string(n, 'v').c_str());
    CCommandSerializationState state;
    CGrowingBuffer part;
    c.SerializeOut(part, state);
    return part;
}

bool SendPart(SymPeer& peer, const CGrowingBuffer& part, short sub) {
    return peer.SendCommandPart(part.GetData(), part.GetLength(), sub);
}

// Sends a whole command named "end" and pumps until the proxy has it: every part sent
// before it has been handled.
bool Settle(BoundedProxy& proxy, SymPeer& peer) {
    const size_t n = proxy.commands.size();
    CGrowingBuffer end = Part("end", 99999, "x", 1);
    if (!SendPart(peer, end, SYM_CMD_WHOLE)) {
        return false;
    }
    return Pump(proxy, [&] {
        return proxy.commands.size() > n && proxy.commands.back().GetCmdName() == "end";
    });
}

// An unsubscribe request in the stream form: the header, then the topic as a text field.
std::string UnsubscribeFrame(const std::string& topic) {
    std::string f;
    auto be16 = [&f](int v) {
        f.push_back(static_cast<char>((v >> 8) & 0xFF));
        f.push_back(static_cast<char>(v & 0xFF));
    };
    be16(static_cast<int>(8 + 2 + topic.size()));
    be16(MsgHdrSym::HDR_TYPE);
    be16(CM_SYM_UNSUBSCRIBE);
    be16(0);
    be16(static_cast<int>(topic.size()));
    return f + topic;
}

std::vector<std::string> Names(const BoundedProxy& proxy) {
    std::vector<std::string> out;
    for (const CCommand& c : proxy.commands) {
        out.push_back(c.GetCmdName());
    }
    return out;
}

}  // namespace

TEST(SymProxyCommandBoundsTest, shouldDropACommandPastItsPartOrByteBoundWithTheRestOfItsParts) {
    BoundedProxy proxy;
    ASSERT_TRUE(proxy.Listen());
    SymPeer peer;
    ASSERT_TRUE(ConnectAndLogon(proxy, peer));
    testing::internal::CaptureStdout();  // "Received command full" of each settling command
    testing::internal::CaptureStderr();

    // Too many parts: small ones, one more than the bound allows.
    ASSERT_TRUE(SendPart(peer, Part("many", 1, "p0", 1), SYM_CMD_FIRST));
    for (int i = 1; i < BoundedProxy::kMaxParts; ++i) {
        ASSERT_TRUE(SendPart(peer, Part("many", 1, "p" + std::to_string(i), 1), SYM_CMD_MIDDLE));
    }
    ASSERT_TRUE(SendPart(peer, Part("many", 1, "last", 1), SYM_CMD_LAST));

    // Too many bytes: few parts, each near the largest a client sends.
    const size_t nPartBytes = 15000;
    const int nBig = static_cast<int>(BoundedProxy::kMaxBytes / nPartBytes) + 1;
    ASSERT_TRUE(SendPart(peer, Part("huge", 2, "p0", nPartBytes), SYM_CMD_FIRST));
    for (int i = 1; i < nBig; ++i) {
        ASSERT_TRUE(
            SendPart(peer, Part("huge", 2, "p" + std::to_string(i), nPartBytes), SYM_CMD_MIDDLE));
    }
    // Parts of a dropped command that still come are dropped with it, up to its last.
    ASSERT_TRUE(SendPart(peer, Part("huge", 2, "more", 1), SYM_CMD_MIDDLE));
    ASSERT_TRUE(SendPart(peer, Part("huge", 2, "last", 1), SYM_CMD_LAST));
    ASSERT_TRUE(Settle(proxy, peer));
    const std::string err = testing::internal::GetCapturedStderr();

    EXPECT_EQ(Names(proxy), (std::vector<std::string>{"end"}));
    EXPECT_EQ(proxy.IncompleteCommands(), 0u);
    EXPECT_NE(err.find("CSymProxy::Command 1 dropped: more than 128 parts"), std::string::npos)
        << err;
    EXPECT_NE(err.find("CSymProxy::Command 2 dropped: more than 128 parts or 1048576 bytes"),
              std::string::npos)
        << err;

    // The same ids start afresh: a command right at the part bound is delivered whole.
    ASSERT_TRUE(SendPart(peer, Part("many", 1, "p0", 1), SYM_CMD_FIRST));
    for (int i = 1; i < BoundedProxy::kMaxParts - 1; ++i) {
        ASSERT_TRUE(SendPart(peer, Part("many", 1, "p" + std::to_string(i), 1), SYM_CMD_MIDDLE));
    }
    ASSERT_TRUE(SendPart(peer, Part("many", 1, "last", 1), SYM_CMD_LAST));
    ASSERT_TRUE(SendPart(peer, Part("huge", 2, "p0", nPartBytes), SYM_CMD_FIRST));
    ASSERT_TRUE(SendPart(peer, Part("huge", 2, "last", nPartBytes), SYM_CMD_LAST));
    ASSERT_TRUE(Settle(proxy, peer));
    testing::internal::GetCapturedStdout();

    EXPECT_EQ(Names(proxy), (std::vector<std::string>{"end", "many", "huge", "end"}));
    EXPECT_EQ(proxy.commands[1].GetAllStringParams().size(),
              static_cast<size_t>(BoundedProxy::kMaxParts));
    EXPECT_EQ(proxy.commands[2].GetStringParam("last"), std::string(nPartBytes, 'v'));
    EXPECT_EQ(proxy.IncompleteCommands(), 0u);
}

TEST(SymProxyCommandBoundsTest, shouldBoundWhatAllUnfinishedCommandsHoldTogetherDroppingTheOldest) {
    BoundedProxy proxy;
    ASSERT_TRUE(proxy.Listen());
    SymPeer peer;
    ASSERT_TRUE(ConnectAndLogon(proxy, peer));
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();

    // Commands each just below the bound of one command, started and never finished: a client
    // that goes on so would otherwise have the proxy hold all of them.
    const size_t nPartBytes = 15000;
    const int nParts = static_cast<int>(BoundedProxy::kMaxBytes / (nPartBytes + 64));
    const int nCommands =
        static_cast<int>(3 * BoundedProxy::kMaxHeldBytes / BoundedProxy::kMaxBytes);
    size_t nMostHeld = 0;
    for (int id = 1; id <= nCommands; ++id) {
        const std::string name = "big" + std::to_string(id);
        for (int i = 0; i < nParts; ++i) {
            ASSERT_TRUE(SendPart(peer, Part(name.c_str(), id, "p" + std::to_string(i), nPartBytes),
                                 i == 0 ? SYM_CMD_FIRST : SYM_CMD_MIDDLE));
        }
        ASSERT_TRUE(Settle(proxy, peer));
        nMostHeld = std::max(nMostHeld, proxy.HeldTextBytes());
    }
    EXPECT_LE(nMostHeld, BoundedProxy::kMaxHeldBytes);
    EXPECT_GT(nMostHeld, BoundedProxy::kMaxHeldBytes - 2 * BoundedProxy::kMaxBytes);

    // The newest are still being put together and arrive whole; the oldest were dropped with
    // the rest of their parts.
    for (int id : {1, nCommands}) {
        const std::string name = "big" + std::to_string(id);
        ASSERT_TRUE(SendPart(peer, Part(name.c_str(), id, "last", 1), SYM_CMD_LAST));
    }
    ASSERT_TRUE(Settle(proxy, peer));
    testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_GE(proxy.commands.size(), 2u);
    const CCommand& last = proxy.commands[proxy.commands.size() - 2];
    EXPECT_EQ(last.GetCmdName(), "big" + std::to_string(nCommands));
    EXPECT_EQ(last.GetAllStringParams().size(), static_cast<size_t>(nParts) + 1);
    for (const CCommand& c : proxy.commands) {
        EXPECT_NE(c.GetCmdName(), "big1");
    }
    EXPECT_NE(err.find("CSymProxy::Command 1 dropped: unfinished commands hold more than " +
                       std::to_string(BoundedProxy::kMaxHeldBytes) + " bytes"),
              std::string::npos)
        << err.substr(0, 2000);
}

TEST(SymProxyCommandBoundsTest, shouldHandleOneReadsShareOfRequestsPerDispatchAndStayReadable) {
    BoundedProxy proxy;
    ASSERT_TRUE(proxy.Listen());
    // The client on a Unix-domain pair, which queues far more than one read takes, with the
    // receive buffer growing as QUOR_FIX_LARGE_LIST makes it.
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    const int queue = 1 << 20;
    setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &queue, sizeof queue);
    proxy.AdoptClient(fds[0]);

    const int nRequests = 3000;  // about 400 KB in the stream form
    std::vector<std::string> topics;
    std::string wire;
    for (int i = 0; i < nRequests; ++i) {
        topics.push_back("T" + std::to_string(i) + std::string(120, 'x'));
        wire += UnsubscribeFrame(topics.back());
    }
    ASSERT_EQ(write(fds[1], wire.data(), wire.size()), static_cast<ssize_t>(wire.size()));

    ASSERT_TRUE(proxy.Dispatch());
    const size_t first = proxy.unsubscribed.size();
    EXPECT_GT(first, 0u);
    EXPECT_LE(first * UnsubscribeFrame(topics[0]).size(),
              static_cast<size_t>(CAppConn::MAX_READ_PER_CALL) + 2 * 140);
    // What is left waits in the socket, where a select sees it, and comes with later calls.
    int rounds = 1;
    while (proxy.unsubscribed.size() < topics.size() && rounds < 100) {
        struct pollfd pfd = {proxy.GetClientFd(), POLLIN, 0};
        ASSERT_EQ(poll(&pfd, 1, 0), 1) << "requests left unread with nothing to wake on";
        ASSERT_TRUE(proxy.Dispatch());
        ++rounds;
    }
    EXPECT_EQ(proxy.unsubscribed, topics);
    EXPECT_GE(rounds, static_cast<int>(wire.size()) / CAppConn::MAX_READ_PER_CALL);
    close(fds[1]);
}
