// SOCKS5 client (connect command, IPv4 destinations, no authentication): takes
// a socket that is connected to a SOCKS5 proxy through the greeting and the
// connect request, after which the socket carries the destination's traffic.
#pragma once

#include <cstdint>
#include <memory>

class CConnectDeadline;

enum enCommands { eConnect = 1, eBind = 2, eUDP = 3 };
enum enAddressType { eIPV4 = 1, eDomainName = 3, eIPV6 = 4 };

// The records as they travel, byte for byte; multi-byte numbers in network order.
#pragma pack(push, 1)
struct LoginMsg {
    uint8_t version;
    uint8_t nMethods;
    uint8_t method;
};
struct LoginRspMsg {
    uint8_t version;
    uint8_t method;
};
struct ConnectMsgCommon {
    uint8_t version;
    uint8_t command;  // in a reply: the reply code
    uint8_t reserved;
    uint8_t addressType;
};
struct ConnectMsgIpv4 {
    uint8_t destAddress[4];
    uint16_t destPort;
};
struct ConnectMsgIpv6 {
    uint8_t destAddress[16];
    uint16_t destPort;
};
struct ConnectRspMsgIpv4 {
    ConnectMsgCommon common;
    uint8_t destAddress[4];
    uint16_t destPort;
};
#pragma pack(pop)

static_assert(sizeof(ConnectRspMsgIpv4) == 10, "an IPv4 reply is 10 bytes on the wire");

// The text of a reply code.
const char* RspErrorCodeToText(int code);

// A connect request and the reading of its reply.
class ConnectBase {
public:
    ConnectBase(int fd, enCommands command, enAddressType addressType, CConnectDeadline* deadline);
    virtual ~ConnectBase() = default;

    virtual int Length() const { return static_cast<int>(sizeof(ConnectMsgCommon)); }
    // Copies the request into buf (Length() bytes) and returns buf.
    virtual char* GetData(char* buf);
    // Reads and checks the proxy's reply; the base has no reply to read.
    virtual bool ReadResponseMsg();

protected:
    int m_fd;
    ConnectMsgCommon m_common;
    CConnectDeadline* m_pDeadline;
};

class ConnectIpv4 : public ConnectBase {
public:
    ConnectIpv4(int fd, enCommands command, const uint8_t (&addr)[4], unsigned short port,
                CConnectDeadline* deadline);

    int Length() const override {
        return static_cast<int>(sizeof(ConnectMsgCommon) + sizeof(ConnectMsgIpv4));
    }
    char* GetData(char* buf) override;
    // Reads the whole reply: its 4-byte head, then the bound address and port
    // (6 bytes for IPv4, 18 for IPv6, a counted name for a domain name).
    bool ReadResponseMsg() override;

private:
    ConnectMsgIpv4 m_ipv4Part;
};

// IPv6 destinations are not supported: a request built for one always fails.
class ConnectIp6 : public ConnectBase {
public:
    ConnectIp6(int fd, enCommands command, CConnectDeadline* deadline);

    int Length() const override {
        return static_cast<int>(sizeof(ConnectMsgCommon) + sizeof(ConnectMsgIpv6));
    }
    char* GetData(char* buf) override;

private:
    ConnectMsgIpv6 m_ipv6Part;
};

class SocksProxy {
public:
    // deadline bounds every wait of the exchange; null: no limit. The socket
    // may be blocking or not; it is not owned.
    explicit SocksProxy(int fd, CConnectDeadline* deadline = nullptr);
    virtual ~SocksProxy() = default;

    // Login() && Connect(dest, port) on fd. dest is a dotted IPv4 address.
    static bool LoginAndConnect(int fd, const char* dest, unsigned short port,
                                CConnectDeadline* deadline = nullptr);

    // Greeting 05 01 00 (one method: no authentication); the 2-byte answer
    // must be version 5 with a method other than FF.
    bool Login();
    // Connect request to dest:port and its reply; true when the proxy reports
    // success.
    bool Connect(const char* dest, unsigned short port);
    // The request for the configured address type; null when dest is no valid
    // address of that type.
    std::unique_ptr<ConnectBase> CreateConnectMsg(const char* dest, unsigned short port);

private:
    int m_fd;
    enCommands m_command = eConnect;
    enAddressType m_addressType = eIPV4;
    CConnectDeadline* m_pDeadline;
};
