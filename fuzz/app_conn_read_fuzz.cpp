// Feeds a connection's non-blocking reading over a socketpair: one byte picks
// the form (stream messages, raw messages, text-framed messages or unframed
// bytes) and how many bytes the peer writes at a time; the rest is what the
// peer sends before it closes. Every message handed out must be readable for
// its whole length.
#include <sys/socket.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_util.h"
#include "qrx/net/app_conn.h"

namespace {

volatile char g_sink;

void Touch(const char* p, int n) {
    char x = 0;
    for (int i = 0; i < n; ++i) {
        x = static_cast<char>(x ^ p[i]);
    }
    g_sink = x;
}

// One read in the chosen form: 1 when the connection failed, else 0; got
// tells whether something was handed out.
int ReadOne(CAppConn& conn, int form, bool& got) {
    char* p = nullptr;
    int rc;
    switch (form) {
        case 0:
        case 1: {
            rc = conn.ReadMsgNoblok(p, nullptr);
            if (rc == 0 && p != nullptr) {
                // A raw message lies in place, at whatever offset the one
                // before it left: its header is copied out, not cast.
                MsgHdrCmn hdr;
                memcpy(&hdr, p, sizeof hdr);
                // The stream form decodes into MSG_MEM_LEN bytes; the raw form
                // hands out the message in place.
                FUZZ_CHECK(hdr.msglen >= CAppConn::MIN_MSG_LEN || form == 0);
                Touch(p, hdr.msglen);
            }
            break;
        }
        case 2: {
            int len = 0;
            rc = conn.ReadStampMSG(p, len);
            if (rc == 0 && p != nullptr) {
                FUZZ_CHECK(len >= 0);
                Touch(p, len);
            }
            break;
        }
        default: {
            int len = 0;
            rc = conn.ReadRawMsgNoblok(p, &len);
            if (rc == 0 && p != nullptr) {
                FUZZ_CHECK(len > 0);
                Touch(p, len);
            }
            break;
        }
    }
    got = p != nullptr;
    return rc;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qrxfuzz::Input input(data, size);
    const uint8_t sel = input.Byte();
    const int form = sel & 3;
    const size_t chunk = 1 + static_cast<size_t>(sel >> 2) * 61;
    const std::string bytes = input.Rest();

    qrxfuzz::SocketPair pair;
    if (!pair.Ok()) {
        return 0;
    }
    CAppConn conn("fuzz", CAppConn::SOCKET_UNSPEC, nullptr, nullptr, 0, nullptr);
    conn.SetFd(pair.Release(0));
    conn.m_is_stream = form == 0 ? 5 : 0;

    size_t off = 0;
    bool failed = false;
    while (off < bytes.size() && !failed) {
        std::string piece = bytes.substr(off, chunk);
        size_t done = 0;
        qrxfuzz::WriteSome(pair.fd[1], piece, done);
        off += done;
        for (int i = 0; i < 4096; ++i) {
            bool got = false;
            if (ReadOne(conn, form, got) != 0) {
                failed = true;
                break;
            }
            if (!got) {
                break;
            }
        }
        if (done == 0 && !failed) {
            break;  // the connection takes nothing more and hands nothing out
        }
    }
    pair.CloseEnd(1);
    // What is left after the peer's close: read until the connection fails
    // or hands out nothing twice running (an incomplete message stays).
    int idle = 0;
    for (int i = 0; i < 70000 && !failed && idle < 2; ++i) {
        bool got = false;
        if (ReadOne(conn, form, got) != 0) {
            failed = true;
        }
        idle = got ? 0 : idle + 1;
    }
    conn.Close(false);
    return 0;
}
