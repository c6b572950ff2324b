#include "qrx/net/socks5_client.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "qrx/net/fd_wait.h"
#include "qrx/runtime/stdio_logger.h"

namespace {

constexpr uint8_t kSocksVersion = 5;
constexpr uint8_t kNoAuthentication = 0;
constexpr uint8_t kNoAcceptableMethod = 255;

// Waits for fd within the deadline (without limit when there is none).
int socks_wait(int fd, short events, CConnectDeadline* deadline) {
    if (deadline != nullptr) {
        return deadline->Wait(fd, events);
    }
    CConnectDeadline unlimited(0);
    return unlimited.Wait(fd, events);
}

// Writes all n bytes. False on failure or when the deadline passes.
bool socks_write_all(int fd, const char* buf, int n, CConnectDeadline* deadline) {
    int done = 0;
    while (done < n) {
        if (socks_wait(fd, POLLOUT, deadline) <= 0) {
            return false;
        }
        const ssize_t w = send(fd, buf + done, static_cast<size_t>(n - done), MSG_NOSIGNAL);
        if (w > 0) {
            done += static_cast<int>(w);
        } else if (w < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            return false;
        }
    }
    return true;
}

// Reads exactly n bytes into buf, across partial reads. got receives the bytes
// read. Returns true when all n arrived; false when the peer closed first, on
// failure or when the deadline passes.
bool socks_read_all(int fd, char* buf, int n, int& got, CConnectDeadline* deadline) {
    got = 0;
    while (got < n) {
        if (socks_wait(fd, POLLIN, deadline) <= 0) {
            return false;
        }
        const ssize_t r = read(fd, buf + got, static_cast<size_t>(n - got));
        if (r > 0) {
            got += static_cast<int>(r);
        } else if (r == 0) {
            return false;
        } else if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            return false;
        }
    }
    return true;
}

}  // namespace

const char* RspErrorCodeToText(int code) {
    switch (code) {
        case 0:
            return "Succeeded";
        case 1:
            return "General SOCKS server failure.";
        case 2:
            return "Connection not allowed by ruleset.";
        case 3:
            return "Network unreachable.";
        case 4:
            return "Host unreachable.";
        case 5:
            return "Connection refused.";
        case 6:
            return "TTL expired.";
        case 7:
            return "Command not supported.";
        case 8:
            return "Address type not supported.";
        case 9:
            return "to X'FF' unassigned";
        default:
            return "Unknown error.";
    }
}

ConnectBase::ConnectBase(int fd, enCommands command, enAddressType addressType,
                         CConnectDeadline* deadline)
    : m_fd(fd), m_pDeadline(deadline) {
    m_common.version = kSocksVersion;
    m_common.command = static_cast<uint8_t>(command);
    m_common.reserved = 0;
    m_common.addressType = static_cast<uint8_t>(addressType);
}

char* ConnectBase::GetData(char* buf) {
    memcpy(buf, &m_common, sizeof m_common);
    return buf;
}

bool ConnectBase::ReadResponseMsg() {
    QRX_LOG_ERROR_AT("Not Implemented");
    return false;
}

ConnectIpv4::ConnectIpv4(int fd, enCommands command, const uint8_t (&addr)[4], unsigned short port,
                         CConnectDeadline* deadline)
    : ConnectBase(fd, command, eIPV4, deadline) {
    memcpy(m_ipv4Part.destAddress, addr, sizeof m_ipv4Part.destAddress);
    m_ipv4Part.destPort = htons(port);
}

char* ConnectIpv4::GetData(char* buf) {
    ConnectBase::GetData(buf);
    memcpy(buf + sizeof m_common, &m_ipv4Part, sizeof m_ipv4Part);
    return buf;
}

bool ConnectIpv4::ReadResponseMsg() {
    ConnectRspMsgIpv4 rsp;
    memset(&rsp, 0, sizeof rsp);
    rsp.common.version = 255;
    int got = 0;
    const bool whole = socks_read_all(m_fd, reinterpret_cast<char*>(&rsp.common),
                                      static_cast<int>(sizeof rsp.common), got, m_pDeadline);
    const int version = rsp.common.version;
    if (version == 255 || (version == kSocksVersion && got < 2)) {
        QRX_LOG_ERROR_AT("Connect refused");
        return false;
    }
    if (version != kSocksVersion) {
        QRX_LOG_ERROR_AT("Connect Socks version " << version << " wrong");
        return false;
    }
    const int reply = rsp.common.command;
    if (reply != 0) {
        QRX_LOG_ERROR_AT("Connect reply failed with error code "
                         << reply << " (" << RspErrorCodeToText(reply) << ")");
        return false;
    }
    if (!whole) {
        QRX_LOG_ERROR_AT("Connect refused");
        return false;
    }
    // The rest of a successful reply, the proxy's bound address and port, is
    // read whole so that none of it is taken for the destination's data.
    char rest[1 + 255 + 2];
    int restLen = 0;
    switch (rsp.common.addressType) {
        case eIPV4:
            restLen = 4 + 2;
            break;
        case eIPV6:
            restLen = 16 + 2;
            break;
        case eDomainName: {
            unsigned char nameLen = 0;
            if (!socks_read_all(m_fd, reinterpret_cast<char*>(&nameLen), 1, got, m_pDeadline)) {
                QRX_LOG_ERROR_AT("Connect refused");
                return false;
            }
            restLen = nameLen + 2;
            break;
        }
        default:
            QRX_LOG_ERROR_AT("Connect reply address type "
                             << static_cast<int>(rsp.common.addressType) << " unknown");
            return false;
    }
    if (!socks_read_all(m_fd, rest, restLen, got, m_pDeadline)) {
        QRX_LOG_ERROR_AT("Connect refused");
        return false;
    }
    return true;
}

ConnectIp6::ConnectIp6(int fd, enCommands command, CConnectDeadline* deadline)
    : ConnectBase(fd, command, eIPV6, deadline) {
    memset(&m_ipv6Part, 0, sizeof m_ipv6Part);
    QRX_LOG_ERROR_AT("Not implemented");
}

char* ConnectIp6::GetData(char* buf) {
    ConnectBase::GetData(buf);
    memcpy(buf + sizeof m_common, &m_ipv6Part, sizeof m_ipv6Part);
    return buf;
}

SocksProxy::SocksProxy(int fd, CConnectDeadline* deadline) : m_fd(fd), m_pDeadline(deadline) {}

bool SocksProxy::LoginAndConnect(int fd, const char* dest, unsigned short port,
                                 CConnectDeadline* deadline) {
    SocksProxy proxy(fd, deadline);
    return proxy.Login() && proxy.Connect(dest, port);
}

bool SocksProxy::Login() {
    const LoginMsg msg = {kSocksVersion, 1, kNoAuthentication};
    if (!socks_write_all(m_fd, reinterpret_cast<const char*>(&msg), sizeof msg, m_pDeadline)) {
        QRX_LOG_ERROR_AT("Login write failed");
        return false;
    }
    LoginRspMsg rsp = {0, kNoAcceptableMethod};
    int got = 0;
    if (!socks_read_all(m_fd, reinterpret_cast<char*>(&rsp), sizeof rsp, got, m_pDeadline)) {
        QRX_LOG_ERROR_AT("Login read failed");
        return false;
    }
    if (rsp.version != kSocksVersion) {
        QRX_LOG_ERROR_AT("Login Socks version " << static_cast<int>(rsp.version) << " wrong");
        return false;
    }
    if (rsp.method == kNoAcceptableMethod) {
        QRX_LOG_ERROR_AT("Login Socks method not accepted");
        return false;
    }
    return true;
}

std::unique_ptr<ConnectBase> SocksProxy::CreateConnectMsg(const char* dest, unsigned short port) {
    if (m_addressType == eIPV6) {
        return std::make_unique<ConnectIp6>(m_fd, m_command, m_pDeadline);
    }
    uint8_t addr[4];
    if (dest == nullptr || inet_pton(AF_INET, dest, addr) != 1) {
        QRX_LOG_ERROR_AT("Invalid IPv4 destination " << (dest ? dest : "NULL"));
        return nullptr;
    }
    return std::make_unique<ConnectIpv4>(m_fd, m_command, addr, port, m_pDeadline);
}

bool SocksProxy::Connect(const char* dest, unsigned short port) {
    std::unique_ptr<ConnectBase> request = CreateConnectMsg(dest, port);
    if (!request) {
        return false;
    }
    char buf[sizeof(ConnectMsgCommon) + sizeof(ConnectMsgIpv6)];
    request->GetData(buf);
    if (!socks_write_all(m_fd, buf, request->Length(), m_pDeadline)) {
        QRX_LOG_ERROR_AT("Connect write failed to " << dest << " " << port);
        return false;
    }
    if (!request->ReadResponseMsg()) {
        QRX_LOG_ERROR_AT("Connect read failed to " << dest << " " << port);
        return false;
    }
    return true;
}
