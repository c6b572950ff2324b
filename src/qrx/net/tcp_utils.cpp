#include "qrx/net/tcp_utils.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "qrx/net/sock_utils.h"
#include "qrx/runtime/environment.h"

int CTcpUtils::GetServiceFromEnv(const char* service) {
    if (service == nullptr) {
        return -1;
    }
    const std::string name = std::string("KO_PORT_") + service;
    if (getenv(name.c_str()) == nullptr) {
        return -1;
    }
    const int value = quor_getenv(name.c_str(), 0);
    if (value == 0) {
        return -1;
    }
    const int port = value & 0xFFFF;
    return port != 0 ? port : -1;
}

int CTcpUtils::GetServicePort(const char* service, bool isTcp) {
    if (service == nullptr || *service == '\0') {
        return -1;
    }
    const int envPort = GetServiceFromEnv(service);
    if (envPort > 0) {
        return envPort;
    }
    struct servent entry;
    struct servent* found = nullptr;
    char buf[1024];
    if (getservbyname_r(service, isTcp ? "tcp" : "udp", &entry, buf, sizeof buf, &found) != 0 ||
        found == nullptr) {
        return -1;
    }
    return ntohs(static_cast<uint16_t>(found->s_port));
}

int CTcpUtils::PortFromDigits(const char* digits) {
    // At most five digits can name a port; longer texts are out of range.
    const long port = strlen(digits) <= 5 ? strtol(digits, nullptr, 10) : -1;
    return port <= 0xFFFF ? static_cast<int>(port) : -1;
}

const char* CTcpUtils::GetTerminalIP() {
    static char addr[QRX_ADDR_TEXT_LEN];
    char host[QRX_HOST_NAME_LEN];
    const char* display = quor_display();
    if (display != nullptr) {
        const char* colon = strchr(display, ':');
        if (colon == nullptr) {
            return nullptr;
        }
        const size_t n = static_cast<size_t>(colon - display);
        if (n >= sizeof host) {
            return nullptr;
        }
        memcpy(host, display, n);
        host[n] = '\0';
    } else {
        if (gethostname(host, sizeof host) != 0) {
            return nullptr;
        }
        host[sizeof host - 1] = '\0';
    }
    return resolve_dotted(host, addr) ? addr : nullptr;
}
