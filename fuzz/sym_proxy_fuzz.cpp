// Feeds the proxy's handling of client requests through its real entry
// points: a listening proxy (a concrete CSymProxy) accepts one end of a
// socketpair as its client, and the input (after one byte that sets how many
// bytes the client writes at a time) is the byte stream the client sends.
// CheckSocket reads it, Dispatch hands each request to HandleClientRequest,
// and the callbacks check what they get. The proxy lives across inputs, as it
// does across clients; each input is a new client.
#include <sys/select.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_util.h"
#include "qrx/proxy/sym_proxy.h"

namespace {

volatile size_t g_sink;

// A listening connection whose next accepted client is a prepared descriptor.
class CFuzzBindConn : public CAppConn {
public:
    explicit CFuzzBindConn(const char* path) : CAppConn("fuzz-bind", path) {}
    int Accept() override {
        const int fd = m_nNextClient;
        m_nNextClient = -1;
        return fd;
    }
    int m_nNextClient = -1;
};

class CFuzzProxy : public CSymProxy {
public:
    bool OnLogon(const char* szUserName, const char* szPassword) override {
        FUZZ_CHECK(szUserName != nullptr && szPassword != nullptr);
        g_sink = strlen(szUserName) + strlen(szPassword);
        return szUserName[0] != 'x';  // refuse some, accept most
    }
    void OnSubscribe(const char* szTopic) override {
        FUZZ_CHECK(szTopic != nullptr);
        g_sink = strlen(szTopic);
    }
    void OnUnsubscribe(const char* szTopic) override {
        g_sink = szTopic != nullptr ? strlen(szTopic) : 0;
    }
    void OnSubscribeWithSize(const char* szTopic, int nNear, int nFar, int nReqID) override {
        FUZZ_CHECK(szTopic != nullptr);
        g_sink = strlen(szTopic) + static_cast<size_t>(nNear) + static_cast<size_t>(nFar) +
                 static_cast<size_t>(nReqID);
    }
    void OnUnsubscribeWithSize(const char* szTopic, int nNear, int nFar, int nReqID) override {
        FUZZ_CHECK(szTopic != nullptr);
        g_sink = strlen(szTopic) + static_cast<size_t>(nNear) + static_cast<size_t>(nFar) +
                 static_cast<size_t>(nReqID);
    }
    void OnCommand(CCommand* pCommand) override {
        FUZZ_CHECK(pCommand != nullptr);
        g_sink = pCommand->IntParams().size() + pCommand->StringParams().size();
    }
};

std::string g_path;

void RemoveSocketFile() {
    unlink(g_path.c_str());
}

CFuzzProxy* Proxy(CFuzzBindConn*& pBind) {
    static CFuzzBindConn* s_pBind = nullptr;
    static CFuzzProxy* s_pProxy = [] {
        char path[64];
        snprintf(path, sizeof path, "/tmp/qrx_fuzz_proxy.%d", static_cast<int>(getpid()));
        g_path = path;
        atexit(RemoveSocketFile);
        CFuzzProxy* p = new CFuzzProxy();
        s_pBind = new CFuzzBindConn(path);
        if (!p->Initialize(s_pBind, false, true, true, false)) {
            fprintf(stderr, "sym_proxy_fuzz: cannot listen at %s\n", path);
            abort();
        }
        // Cached snapshots, so that subscriptions are answered with data.
        for (const char* topic : {"IBM", "MSFT", "4\006N\006IBM"}) {
            HTICK tick = p->CreateTick(topic);
            p->SetTickField(tick, 0, 181.25);
            p->SetTickField(tick, 600, 300);
            p->SetTickField(tick, 1100, "NYSE");
            p->PushbackTick(tick);
        }
        p->Flush(false, nullptr);
        return p;
    }();
    pBind = s_pBind;
    return s_pProxy;
}

bool Check(CSymProxy& proxy, bool bReadable) {
    fd_set readF;
    FD_ZERO(&readF);
    const int fd = proxy.GetFd();
    if (bReadable && fd >= 0) {
        FD_SET(fd, &readF);
    }
    return proxy.CheckSocket(readF);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CFuzzBindConn* pBind = nullptr;
    CFuzzProxy& proxy = *Proxy(pBind);
    qrxfuzz::Input input(data, size);
    const size_t chunk = 16 + static_cast<size_t>(input.Byte()) * 67;
    const std::string bytes = input.Rest();

    qrxfuzz::SocketPair pair;
    if (!pair.Ok()) {
        return 0;
    }
    pBind->m_nNextClient = pair.Release(0);
    const bool accepted = Check(proxy, true);
    FUZZ_CHECK(accepted);
    FUZZ_CHECK(proxy.GetClientFd() >= 0);

    size_t off = 0;
    bool connected = true;
    while (off < bytes.size() && connected) {
        const std::string piece = bytes.substr(off, chunk);
        size_t done = 0;
        qrxfuzz::WriteSome(pair.fd[1], piece, done);
        off += done;
        connected = Check(proxy, true);
        qrxfuzz::Drain(pair.fd[1]);  // replies and snapshots
        if (done == 0) {
            break;
        }
    }
    pair.CloseEnd(1);
    for (int i = 0; i < 4 && connected; ++i) {
        connected = Check(proxy, true);
    }
    if (proxy.GetClientFd() >= 0) {
        proxy.CloseClient();
    }
    // Listening again for the next client.
    FUZZ_CHECK(proxy.GetClientFd() < 0);
    FUZZ_CHECK(proxy.GetFd() >= 0);
    return 0;
}
