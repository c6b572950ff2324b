// A scripted symbol-server client for the proxy tests: a real socket to the proxy, requests
// written in the stream form, and a reader thread that frames whatever the proxy sends.
// Also a test proxy that records its callbacks, and a pump that drives the proxy's
// CheckSocket for a bounded number of rounds.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/free_port.h"
#include "qrx/marketdata/sym_data.h"
#include "qrx/proxy/sym_proxy.h"
#include "qrx/wire/command.h"

namespace proxytest {

// One message as received: the stream header and, for bodies that travel as one text field
// (data, status, heartbeat, response), that text.
struct PeerMsg {
    int len = 0;
    short hdr = 0;
    short mtyp = 0;
    short sub = 0;
    std::string text;
    std::vector<uint8_t> wire;  // the whole message as it came
};

class SymPeer {
public:
    SymPeer() = default;
    ~SymPeer();
    SymPeer(const SymPeer&) = delete;
    SymPeer& operator=(const SymPeer&) = delete;

    // Connects to 127.0.0.1:port (or a local socket) and starts reading. nRcvBuf > 0 makes the
    // receive buffer that small, so that a paused peer fills quickly.
    bool Connect(int port, int nRcvBuf = 0);
    bool ConnectUnix(const std::string& path);
    void Close();

    // While paused the reader reads nothing.
    void Pause(bool bPause);

    bool SendBytes(const std::vector<char>& bytes);
    bool SendLogin(const char* user, const char* password);
    bool SendTopicMsg(short mtyp, const char* topic);  // 3, 4, 8
    bool SendBare(short mtyp, short sub = 0);          // 5, 6, 9 and unhandled types
    bool SendList(short mtyp, const std::vector<std::string>& topics);
    bool SendSizes(short mtyp, const char* topic, int nNear, int nFar, int nReqId);
    bool SendCommandPart(const char* body, int len, short sub);
    // Splits the command as a client does and sends every part; the number of parts.
    int SendCommand(const CCommand& cmd);

    // Waits (bounded) until pred holds for the messages received so far.
    bool WaitFor(const std::function<bool(const std::vector<PeerMsg>&)>& pred,
                 int timeoutMs = 20000);
    // Waits until n messages other than status and heartbeat notices arrived; returns them.
    std::vector<PeerMsg> WaitData(size_t n, int timeoutMs = 20000);
    // Waits until the proxy closed the connection.
    bool WaitClosed(int timeoutMs = 20000);
    std::vector<PeerMsg> All();

private:
    bool SendSym(void* pMsg);
    void ReadLoop();

    int m_fd = -1;
    std::thread m_reader;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<PeerMsg> m_msgs;
    bool m_bClosed = false;
    bool m_bPaused = false;
    bool m_bStop = false;
};

// The records of a data message (type 2), decoded.
std::vector<CSymData> Records(const PeerMsg& msg);
std::string TopicOf(const CSymData& data);
// Data messages of a type and sub-type.
std::vector<PeerMsg> Select(const std::vector<PeerMsg>& msgs, short mtyp, short sub);

class TestProxy : public CSymProxy {
public:
    bool OnLogon(const char* user, const char* password) override;
    void OnSubscribe(const char* topic) override;
    void OnUnsubscribe(const char* topic) override;
    void OnSubscribeWithSize(const char* topic, int nNear, int nFar, int nReqId) override;
    void OnUnsubscribeWithSize(const char* topic, int nNear, int nFar, int nReqId) override;
    void OnCommand(CCommand* pCommand) override;

    // A free loopback port is taken (retrying a few times should another process win it).
    bool Listen(bool bQueue = false, bool bKeepSnapShot = true);
    int Port() const { return m_nPort; }

    size_t IncompleteCommands() const { return m_Commands.size(); }
    bool HasIncompleteCommand(unsigned id) const { return m_Commands.count(id) != 0; }
    ProxyDataPools* Pools() { return m_pPools; }
    bool IsListening() const { return m_pBindConn != nullptr && m_pBindConn->GetFd() >= 0; }

    bool acceptLogon = true;
    std::function<void(const char*)> onSubscribeHook;
    std::vector<std::string> logons;
    std::vector<std::string> subscribed;
    std::vector<std::string> unsubscribed;
    int lostClient = 0;              // OnUnsubscribe(nullptr)
    std::vector<std::string> sizes;  // "+topic near far id" or "-topic ..."
    std::vector<CCommand> commands;

private:
    int m_nPort = 0;
};

// Runs CheckSocket after each select on GetFd() (25 ms at most) until done() holds; bounded.
// pLast receives the result of the last CheckSocket.
bool Pump(CSymProxy& proxy, const std::function<bool()>& done, int maxRounds = 800,
          bool* pLast = nullptr);
// Connects the peer, logs on as trader/secret and waits for the logon answer.
bool ConnectAndLogon(TestProxy& proxy, SymPeer& peer, int nRcvBuf = 0);

}  // namespace proxytest
