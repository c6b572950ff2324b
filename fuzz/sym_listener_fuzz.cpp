// Feeds the listener's input path through its real entry point: the input
// (after one byte that sets how many bytes the peer writes at a time) is the
// byte stream a symbol server sends, written into a socketpair whose other end
// is the socket of a CSymConnection; DispatchEvents reads, deserializes and
// hands each message to a CSymListener, whose callbacks check what they get.
#include <sys/socket.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_util.h"
#include "qrx/client/sym_connection.h"
#include "qrx/client/sym_listener.h"
#include "qrx/marketdata/cob_msg.h"
#include "qrx/marketdata/cob_request.h"
#include "qrx/marketdata/cob_status.h"
#include "qrx/marketdata/sym_data.h"
#include "qrx/marketdata/sym_topic.h"
#include "qrx/net/app_conn.h"
#include "qrx/wire/response.h"

namespace {

volatile size_t g_sink;

class CFuzzListener : public CSymListener {
public:
    void OnData(const char* topic, const CSymData* data) override { Check(topic, data); }
    void OnData(const CSymTopic* topic, const CSymData* data) override { Check(topic, data); }
    void OnSnapshotData(const char* topic, const CSymData* data) override { Check(topic, data); }
    void OnSnapshotData(const CSymTopic* topic, const CSymData* data) override {
        Check(topic, data);
    }
    void OnSymbolStatus(const char* topic, const char* message, enSymStatusCode code) override {
        FUZZ_CHECK(topic != nullptr && message != nullptr);
        g_sink = strlen(topic) + strlen(message) + static_cast<size_t>(code);
    }
    void OnStatus(enSymStatusCode code, const char* text) override {
        FUZZ_CHECK(text != nullptr);
        g_sink = strlen(text) + static_cast<size_t>(code);
    }
    void OnResponse(CResponse* response) override {
        FUZZ_CHECK(response != nullptr);
        g_sink = response->IntParams().size() + response->StringParams().size();
    }
    void OnCOBMsg(QuorCOB::CCOBMsg* msg) override {
        FUZZ_CHECK(msg != nullptr);
        g_sink = msg->m_mapInfo.size() + msg->m_mapData.size();
    }
    void OnCOBStatus(QuorCOB::CCOBStatus* status) override {
        FUZZ_CHECK(status != nullptr);
        g_sink = status->m_sStatus.length();
    }
    void OnCreateCOBRequest(QuorCOB::CCOBRequest* request) override {
        FUZZ_CHECK(request != nullptr);
        g_sink = request->m_vecFilters.size();
    }

private:
    static void Check(const char* topic, const CSymData* data) {
        FUZZ_CHECK(topic != nullptr && data != nullptr);
        g_sink = strlen(topic);
    }
    static void Check(const CSymTopic* topic, const CSymData* data) {
        FUZZ_CHECK(topic != nullptr && data != nullptr);
        char buf[128];
        topic->Symbol(buf, sizeof buf);
        g_sink = strlen(buf);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qrxfuzz::Input input(data, size);
    const size_t chunk = 16 + static_cast<size_t>(input.Byte()) * 67;
    const std::string bytes = input.Rest();

    qrxfuzz::SocketPair pair;
    if (!pair.Ok()) {
        return 0;
    }
    CSymConnection conn;
    CFuzzListener listener;
    conn.AddClient(&listener);
    // The connection's socket, in the stream form, as Connect would leave it.
    CAppConn* sock =
        new CAppConn(conn.GetDescription(), CAppConn::SOCKET_UNSPEC, nullptr, nullptr, 0, nullptr);
    sock->SetFd(pair.Release(0));
    sock->m_is_stream = 5;
    sock->RegisterCloseCallBack(CApiConnection::SocketCloseCallback, &conn);
    conn.SetSocket(sock);

    size_t off = 0;
    bool lost = false;
    while (off < bytes.size() && !lost) {
        const std::string piece = bytes.substr(off, chunk);
        size_t done = 0;
        qrxfuzz::WriteSome(pair.fd[1], piece, done);
        off += done;
        lost = conn.DispatchEvents() < 0;
        qrxfuzz::Drain(pair.fd[1]);  // heartbeat echoes
        if (done == 0) {
            break;
        }
    }
    pair.CloseEnd(1);
    for (int i = 0; i < 4 && !lost; ++i) {
        lost = conn.DispatchEvents() < 0;
    }
    conn.RemoveClient(&listener);
    conn.SetSocket(nullptr);
    return 0;
}
