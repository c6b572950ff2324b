// Peers of the symbol server for its tests, all driven from the test's thread: a feed
// handler (the library's CSymProxy), clients (CSymConnection with a recording listener), and
// a loop that turns the server, the feed handler and the clients until a condition holds.
#pragma once

#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/free_port.h"
#include "qrx/client/sym_connection.h"
#include "qrx/client/sym_listener.h"
#include "qrx/proxy/sym_proxy.h"
#include "qrx/symsrv/sym_server.h"
#include "qrx/wire/command.h"
#include "qrx/wire/response.h"

namespace symsrvtest {

constexpr int kSeq = 600;
constexpr int kPad = 1100;

class CTestFeed : public CSymProxy {
public:
    explicit CTestFeed(int nPort) : m_nPort(nPort) {
        m_bOk = Initialize(nPort, false, true, true, false);
    }
    void OnSubscribe(const char* szTopic) override { m_vecSubs.push_back(szTopic); }
    void OnUnsubscribe(const char* szTopic) override {
        m_vecUnsubs.push_back(szTopic != nullptr ? szTopic : "<gone>");
    }
    // One step of the proxy's connection cycle, without waiting.
    void Poll() {
        const int fd = GetFd();
        if (fd < 0) {
            return;
        }
        fd_set rs;
        FD_ZERO(&rs);
        FD_SET(fd, &rs);
        timeval tv = {0, 0};
        if (select(fd + 1, &rs, nullptr, nullptr, &tv) < 0) {
            FD_ZERO(&rs);
        }
        CheckSocket(rs);
    }
    void Publish(const char* szTopic, int nSeq, int nPad = 0) {
        HTICK t = CreateTick(szTopic);
        SetTickField(t, kSeq, nSeq);
        if (nPad > 0) {
            SetTickField(t, kPad, std::string(static_cast<size_t>(nPad), 'p').c_str());
        }
    }
    // Answers every command with its name, its "topic" and this feed's tag, at once.
    void OnCommand(CCommand* pCommand) override {
        m_vecCommands.push_back(pCommand->GetCmdName());
        CResponse resp(*pCommand);
        resp.SetStatus(2);
        resp.SetStringParam("feed", m_strTag.c_str());
        resp.SetStringParam("topic", pCommand->GetStringParam("topic").c_str());
        resp.SetIntParam("params", static_cast<int>(pCommand->GetAllIntParams().size()));
        SendResponse(&resp);
        Flush(false, nullptr);
    }
    int m_nPort;
    bool m_bOk;
    std::string m_strTag = "main";
    std::vector<std::string> m_vecCommands;
    std::vector<std::string> m_vecSubs;
    std::vector<std::string> m_vecUnsubs;
};

class CTestClient : public CSymListener {
public:
    bool Connect(int nPort, const char* szUser = "user", const char* szPassword = "pw") {
        m_conn.AddClient(this);
        return m_conn.Connect("127.0.0.1", nPort, szUser, szPassword);
    }
    void OnData(const char* topic, const CSymData* data) override {
        int n = -1;
        data->GetFlidInt(kSeq, n);
        m_mUpdates[topic].push_back(n);
        ++m_nUpdates;
    }
    void OnSnapshotData(const char* topic, const CSymData* data) override {
        int n = -1;
        data->GetFlidInt(kSeq, n);
        m_mSnapshots[topic].push_back(n);
    }
    void OnStatus(enSymStatusCode code, const char* text) override {
        m_vecStatus.emplace_back(code, text != nullptr ? text : "");
    }
    void OnSymbolStatus(const char* topic, const char*, enSymStatusCode code) override {
        m_vecSymStatus.emplace_back(code, topic);
    }
    void OnResponse(CResponse* response) override { m_vecResponses.push_back(*response); }
    void Poll() {
        if (m_bPaused || m_conn.GetFd() < 0) {
            return;
        }
        // Everything that has arrived: one dispatch reads at most 64 KiB.
        for (int i = 0; i < 256 && m_conn.GetFd() >= 0; ++i) {
            fd_set rs;
            FD_ZERO(&rs);
            FD_SET(m_conn.GetFd(), &rs);
            timeval tv = {0, 0};
            if (select(m_conn.GetFd() + 1, &rs, nullptr, nullptr, &tv) <= 0) {
                break;
            }
            m_conn.DispatchEvents();
        }
    }
    bool LoggedOn() const {
        for (const auto& s : m_vecStatus) {
            if (s.first == SYM_LOGIN_SUCCESS) {
                return true;
            }
        }
        return false;
    }
    CSymConnection m_conn{nullptr};
    bool m_bPaused = false;
    long m_nUpdates = 0;
    std::map<std::string, std::vector<int>> m_mUpdates;
    std::map<std::string, std::vector<int>> m_mSnapshots;
    std::vector<std::pair<enSymStatusCode, std::string>> m_vecStatus;
    std::vector<std::pair<enSymStatusCode, std::string>> m_vecSymStatus;
    std::vector<CResponse> m_vecResponses;
};

// A server, a feed handler and clients turned together from the test's thread.
struct CRig {
    // prepare, when given, sees the server before it starts.
    explicit CRig(CSymSrvConfig cfg = CSymSrvConfig(), int nClients = 0,
                  const std::function<void(CSymServer&)>& prepare = nullptr) {
        feed = std::make_unique<CTestFeed>(FreeLoopbackPort());
        cfg.m_nPort = FreeLoopbackPort();
        if (cfg.m_vecFeeds.empty()) {
            CSymSrvFeedConfig f;
            f.m_strName = "main";
            f.m_strHost = "127.0.0.1";
            f.m_nPort = feed->m_nPort;
            cfg.m_vecFeeds.push_back(f);
        }
        cfg.m_dblSummaryInterval = 0;
        server = std::make_unique<CSymServer>(cfg);
        if (prepare) {
            prepare(*server);
        }
        bStarted = server->Start();
        for (int i = 0; i < nClients; ++i) {
            clients.push_back(std::make_unique<CTestClient>());
            clients.back()->Connect(server->Port());
        }
    }
    // One turn of everyone; the server's own turn is bracketed by the optional hooks.
    void Turn(int nServerWaitMs = 1) {
        if (feed) {
            feed->Poll();
        }
        server->RunOnce(nServerWaitMs);
        for (auto& c : clients) {
            c->Poll();
        }
    }
    // Turns until done() holds; false after nMaxTurns.
    bool Until(const std::function<bool()>& done, int nMaxTurns = 20000) {
        for (int i = 0; i < nMaxTurns; ++i) {
            if (done()) {
                return true;
            }
            Turn();
        }
        return done();
    }
    std::unique_ptr<CTestFeed> feed;
    std::unique_ptr<CSymServer> server;
    std::vector<std::unique_ptr<CTestClient>> clients;
    bool bStarted = false;
};

}  // namespace symsrvtest
