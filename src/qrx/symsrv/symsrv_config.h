// CSymSrvConfig: what the symbol server is told to do, from a small text file and the command
// line. The file is "key = value" lines grouped by "[section]" headers; "#" starts a comment.
//
//   port = 7001                  # TCP port for clients (0: none)
//   bind = 127.0.0.1             # local address for clients (default: every address)
//   unix = /tmp/symsrv.sock      # a local socket for clients as well (optional)
//   metrics_port = 9101          # Prometheus text on GET /metrics (0: off)
//   high_water = 1048576         # bytes queued for a client past which it is conflated
//   limit = 16777216             # bytes queued for a client past which it is dropped (and for
//                                # a feed handler, past which it is connected afresh)
//   stall_timeout = 10           # seconds a conflated client may go without reading
//   logon_timeout = 10           # seconds a client may stay connected without logging on, and
//                                # a feed handler may take to connect and answer our logon
//   feed_stall_timeout = 60      # seconds a logged-on feed handler may leave a message
//                                # unfinished before it is connected afresh (0: no limit)
//   max_clients = 1024           # clients at once; connections past it are closed at once
//   summary_interval = 10        # seconds between the one-line summaries (0: none)
//   heartbeat_interval = 30      # seconds between heartbeats to clients (0: none)
//   reconnect_min = 0.2          # first back-off before connecting to a feed again, seconds
//   reconnect_max = 5            # longest back-off, seconds
//   max_topics = 1000000         # topics held at once (a topic nobody holds any more is given
//                                # up); subscriptions past it are refused
//
//   [users]                      # client logons; none listed: every logon is accepted
//   alice = secret
//
//   [feed nyse]                  # one section per feed handler, tried in file order
//   address = 127.0.0.1:7101     # host:port, or unix:/path
//   user = symsrv                # the server's own logon at the feed handler
//   password = pw
//   prefix = N                   # topics beginning with this go here (repeatable), or
//   regex = ^[A-M]               # topics matching this POSIX extended expression, or
//   all = yes                    # every topic (the default when no rule is given)
#pragma once

#include <map>
#include <string>
#include <vector>

struct CSymSrvFeedConfig {
    std::string m_strName;
    std::string m_strHost;  // empty with a local socket
    int m_nPort = 0;
    std::string m_strPath;  // local socket path, or empty
    std::string m_strUser;
    std::string m_strPassword;
    std::vector<std::string> m_vecPrefixes;
    std::vector<std::string> m_vecRegexes;
    bool m_bAll = false;
};

class CSymSrvConfig {
public:
    int m_nPort = 7001;
    std::string m_strBind;
    std::string m_strUnixPath;
    int m_nMetricsPort = 0;
    long m_nHighWater = 1L << 20;
    long m_nLimit = 16L << 20;
    double m_dblStallTimeout = 10.0;
    double m_dblLogonTimeout = 10.0;
    double m_dblFeedStallTimeout = 60.0;
    long m_nMaxClients = 1024;
    double m_dblSummaryInterval = 10.0;
    double m_dblHeartbeatInterval = 30.0;
    double m_dblReconnectMin = 0.2;
    double m_dblReconnectMax = 5.0;
    long m_nMaxTopics = 1000000;
    std::map<std::string, std::string> m_mUsers;
    std::vector<CSymSrvFeedConfig> m_vecFeeds;

    // Reads a file in the format above into this configuration (values it names replace
    // those held). False with the reason in strError ("FILE:LINE: what").
    bool ParseFile(const std::string& strPath, std::string& strError);
    // The same from text already read; szOrigin names it in errors.
    bool ParseText(const std::string& strText, const std::string& strOrigin, std::string& strError);

    // Command line: --config FILE is read first wherever it stands, then the other flags
    // override it. bHelp is set for --help (nothing else is checked then).
    bool ParseArgs(int argc, const char* const* argv, bool& bHelp, std::string& strError);

    // Checks what no single line can: limits in order, feeds with an address.
    bool Validate(std::string& strError) const;

    static const char* Usage();

    // "host:port", "unix:/path" or "/path" into a feed; false when it is neither.
    static bool ParseAddress(const std::string& strText, CSymSrvFeedConfig& feed);
    // A --feed argument: [NAME=]ADDRESS[,prefix:P|,regex:R|,all][,user:U][,password:W]...
    static bool ParseFeedArg(const std::string& strText, int nIndex, CSymSrvFeedConfig& feed,
                             std::string& strError);

private:
    bool SetGlobal(const std::string& strKey, const std::string& strValue, std::string& strError);
    static bool SetFeedKey(CSymSrvFeedConfig& feed, const std::string& strKey,
                           const std::string& strValue, std::string& strError);
};
