// qrx-symsrv: the symbol server program. Reads its configuration, then serves until SIGINT or
// SIGTERM.
#include <csignal>
#include <cstdio>
#include <string>

#include "qrx/runtime/stdio_logger.h"
#include "qrx/symsrv/sym_server.h"
#include "qrx/symsrv/symsrv_config.h"

namespace {

CSymServer* g_pServer = nullptr;

void OnSignal(int) {
    if (g_pServer != nullptr) {
        g_pServer->Stop();
    }
}

}  // namespace

int main(int argc, char** argv) {
    CSymSrvConfig cfg;
    bool bHelp = false;
    std::string strError;
    if (!cfg.ParseArgs(argc, argv, bHelp, strError)) {
        fprintf(stderr, "qrx-symsrv: %s\n(qrx-symsrv --help tells the options)\n",
                strError.c_str());
        return 2;
    }
    if (bHelp) {
        fputs(CSymSrvConfig::Usage(), stdout);
        return 0;
    }
    signal(SIGPIPE, SIG_IGN);
    CSymServer server(cfg);
    // Set before Start, so that a signal while it starts is a stop request that Run takes at
    // once rather than the end of the process.
    g_pServer = &server;
    struct sigaction sa = {};
    sa.sa_handler = OnSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    if (!server.Start()) {
        g_pServer = nullptr;
        return 1;
    }
    server.Run();
    g_pServer = nullptr;
    QRX_LOG_INFO("qrx-symsrv: stopping");
    return 0;
}
