// A scripted symbol server for the listener tests: a loopback peer on its own
// thread that accepts one client, reads its logon and writes a script of
// stream-form frames, then closes or waits for the client to go away. Also the
// builders of the frames and the bounded pump that dispatches on the client's
// side. Every wait here is bounded.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "qrx/wire/session_msgs.h"

class CSymData;
class CSymConnection;
class CResponse;
class CNetStream;

namespace listenertest {

using Bytes = std::string;

// ---- frames in stream form ----
// The 8-byte stream header (length, header type, type, sub-type, big-endian)
// followed by the given field bytes; the length covers both.
Bytes Frame(short hdrType, short mtyp, short submtyp, const Bytes& fields);
// A Sym message with a raw body: the body as one text field.
Bytes RawFrame(short mtyp, short submtyp, const Bytes& body);
// A status (type 10) or subscription status (type 7) message.
Bytes StatusFrame(short submtyp, const char* text);
Bytes SubStatusFrame(short submtyp, const char* topic, const char* message);
// The client id message (type 16).
Bytes ClientIdFrame(unsigned short id);
// The messages of a response, split into parts as a feed handler sends them.
std::vector<Bytes> ResponseFrames(const CResponse& rsp);

// ---- bodies ----
// The record body of a record.
Bytes RecordBody(const CSymData& data);
// The bytes written to an output stream.
Bytes StreamBytes(const CNetStream& strm);
// A record with the given topic (none when null) and symbol (none when null)
// and the double bid.
CSymData MakeRecord(const char* topic, const char* symbol, double bid);

class ScriptedSymServer {
public:
    // Starts listening on 127.0.0.1 at an ephemeral port; the thread accepts
    // one client, reads its logon, writes every frame of script in order and
    // then closes the connection (bCloseAfter) or waits until the client
    // closes or the server is destroyed.
    explicit ScriptedSymServer(std::vector<Bytes> script, bool bCloseAfter = false);
    ~ScriptedSymServer();
    ScriptedSymServer(const ScriptedSymServer&) = delete;
    ScriptedSymServer& operator=(const ScriptedSymServer&) = delete;

    bool Ok() const { return m_listenFd >= 0; }
    int Port() const { return m_port; }
    // Waits until the whole script was written; false after a failure or on
    // time-out.
    bool WaitScriptWritten(int timeout_ms);
    // The logon the client sent (valid once the script has been written).
    const stLogin& Logon() const { return m_logon; }
    bool GotLogon() const { return m_bGotLogon; }

private:
    void Run();

    std::vector<Bytes> m_script;
    bool m_bCloseAfter;
    int m_listenFd = -1;
    int m_port = 0;
    stLogin m_logon{};
    bool m_bGotLogon = false;
    std::atomic<int> m_state{0};  // 0 running, 1 script written, -1 failed
    std::atomic<bool> m_bStop{false};
    std::thread m_thread;
};

// Dispatches the connection's messages until done() holds, the connection is
// lost or timeout_ms pass; true when done() held.
bool PumpUntil(CSymConnection& conn, const std::function<bool()>& done, int timeout_ms = 10000);

}  // namespace listenertest
