// A scripted server peer for the connection tests: a real listening socket on
// loopback (TCP or Unix-domain) that accepts one client and reads and writes
// stream-form frames on the test's command, from whichever thread drives it.
// Every wait is bounded. Also small byte builders and a frame decoder.
#pragma once

#include <string>
#include <vector>

#include "qrx/wire/msg_hdr.h"

namespace clienttest {

using Bytes = std::string;

// Big-endian numbers and a 16-bit-length-prefixed text, as on the wire.
Bytes BE16(int v);
Bytes BE32(int v);
Bytes Text(const std::string& s);
// The 8-byte stream header (length, header type, type, sub-type) and fields.
Bytes Frame(short hdrType, short mtyp, short submtyp, const Bytes& fields);

// A received frame turned back into its in-memory form by the wire layer.
struct Msg {
    std::vector<double> mem;  // MSG_MEM_LEN bytes, 8-aligned
    const MsgHdrCmn& Hdr() const { return *reinterpret_cast<const MsgHdrCmn*>(mem.data()); }
    char* Body() { return reinterpret_cast<char*>(mem.data()) + 8; }
    int BodyLen() const { return Hdr().msglen - 8; }
};
bool Decode(const Bytes& frame, Msg& out);

class ScriptedPeer {
public:
    // Listens on 127.0.0.1 at an ephemeral port.
    ScriptedPeer();
    // Listens on a Unix-domain socket at path (removed on destruction).
    explicit ScriptedPeer(const std::string& unixPath);
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    bool Ok() const { return m_listenFd >= 0; }
    int Port() const { return m_port; }
    bool Accept(int timeoutMs = 5000);
    // One whole frame as sent; false on time-out or end of stream.
    bool ReadFrame(Bytes& frame, int timeoutMs = 5000);
    // Reads and decodes one frame.
    bool ReadMsg(Msg& msg, int timeoutMs = 5000);
    bool Write(const Bytes& bytes);
    void CloseClient();
    // Discards input until the client closes; false on time-out.
    bool WaitClientClosed(int timeoutMs = 5000);

private:
    bool Fill(size_t need, int timeoutMs);

    int m_listenFd = -1;
    int m_fd = -1;
    int m_port = 0;
    std::string m_unixPath;
    Bytes m_in;
};

}  // namespace clienttest
