#include "qrx/symsrv/symsrv_config.h"

#include <regex.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>

#include "qrx/runtime/input_file.h"

namespace {

// A logon's user name and password fields: 32 bytes each.
constexpr size_t kLogonField = 32;
constexpr const char* kLogonTooLong =
    "a logon carries at most 32 bytes of user name and of password";

// Whether a client could give this user name and password at all.
bool LogonCarries(const std::string& strUser, const std::string& strPassword) {
    return strUser.size() <= kLogonField && strPassword.size() <= kLogonField;
}

std::string Trim(const std::string& s) {
    size_t b = 0;
    size_t e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r')) {
        ++b;
    }
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) {
        --e;
    }
    return s.substr(b, e - b);
}

bool ToLong(const std::string& s, long nMin, long& nOut) {
    if (s.empty()) {
        return false;
    }
    errno = 0;
    char* pEnd = nullptr;
    const long n = strtol(s.c_str(), &pEnd, 10);
    if (errno != 0 || *pEnd != '\0' || n < nMin) {
        return false;
    }
    nOut = n;
    return true;
}

bool ToDouble(const std::string& s, double& dOut) {
    if (s.empty()) {
        return false;
    }
    errno = 0;
    char* pEnd = nullptr;
    const double d = strtod(s.c_str(), &pEnd);
    if (errno != 0 || *pEnd != '\0' || !(d >= 0)) {
        return false;
    }
    dOut = d;
    return true;
}

bool ToBool(const std::string& s, bool& bOut) {
    if (s == "yes" || s == "true" || s == "1" || s == "on") {
        bOut = true;
    } else if (s == "no" || s == "false" || s == "0" || s == "off") {
        bOut = false;
    } else {
        return false;
    }
    return true;
}

}  // namespace

const char* CSymSrvConfig::Usage() {
    return "Usage: qrx-symsrv [--config FILE] [options]\n"
           "A symbol server for one machine: clients (Symlistener) connect to it and log on;\n"
           "it connects out to feed handlers (Symproxy), keeps one upstream subscription per\n"
           "topic however many clients want it, and fans each update out to them.\n"
           "\n"
           "Options (each overrides the same key of the config file):\n"
           "  --config FILE          read the key = value / [section] file described below\n"
           "  --port P               TCP port for clients (default 7001; 0: none)\n"
           "  --bind ADDR            local address for clients (default: all)\n"
           "  --unix PATH            also listen on a local socket\n"
           "  --feed FEED            a feed handler: [NAME=]HOST:PORT or [NAME=]unix:PATH, then\n"
           "                         optional ,prefix:P ,regex:R ,all ,user:U ,password:W\n"
           "                         (repeatable; topics go to the first feed that matches)\n"
           "  --user NAME:PASSWORD   a client logon (repeatable; none: accept every logon)\n"
           "  --metrics-port P       Prometheus text on http://HOST:P/metrics\n"
           "  --high-water BYTES     queued bytes past which a client is conflated\n"
           "  --limit BYTES          queued bytes past which a client is dropped\n"
           "  --stall-timeout S      seconds a conflated client may go without reading\n"
           "  --logon-timeout S      seconds a client may stay without logging on, and a feed\n"
           "                         handler may take to answer the logon (0: no limit)\n"
           "  --feed-stall-timeout S seconds a logged-on feed handler may leave a message\n"
           "                         unfinished before it is connected afresh (0: no limit)\n"
           "  --max-clients N        clients served at once; more are closed at once\n"
           "  --summary-interval S   seconds between summary lines in the log (0: none)\n"
           "  --heartbeat-interval S seconds between heartbeats to clients (0: none)\n"
           "  --max-topics N         topics the server keeps; subscriptions past it are refused\n"
           "  --help                 this text\n"
           "\n"
           "Config file:\n"
           "  port = 7001\n"
           "  unix = /tmp/symsrv.sock\n"
           "  metrics_port = 9101\n"
           "  high_water = 1048576\n"
           "  limit = 16777216\n"
           "  stall_timeout = 10\n"
           "  logon_timeout = 10\n"
           "  feed_stall_timeout = 60\n"
           "  max_clients = 1024\n"
           "  summary_interval = 10\n"
           "  heartbeat_interval = 30\n"
           "  reconnect_min = 0.2\n"
           "  reconnect_max = 5\n"
           "  max_topics = 1000000\n"
           "  [users]\n"
           "  alice = secret\n"
           "  [feed nyse]\n"
           "  address = 127.0.0.1:7101      (or unix:/path)\n"
           "  user = symsrv\n"
           "  password = pw\n"
           "  prefix = N                    (repeatable; or regex = ^[A-M], or all = yes)\n"
           "Lines starting with # are comments. Logging goes to standard error\n"
           "(QUOR_PRINT_DBGMSG=YES adds debug lines).\n";
}

bool CSymSrvConfig::ParseAddress(const std::string& strText, CSymSrvFeedConfig& feed) {
    if (strText.rfind("unix:", 0) == 0 || (!strText.empty() && strText[0] == '/')) {
        feed.m_strPath = strText[0] == '/' ? strText : strText.substr(5);
        feed.m_strHost.clear();
        return !feed.m_strPath.empty();
    }
    const size_t nColon = strText.rfind(':');
    if (nColon == std::string::npos || nColon == 0) {
        return false;
    }
    long nPort = 0;
    if (!ToLong(strText.substr(nColon + 1), 1, nPort) || nPort > 65535) {
        return false;
    }
    feed.m_strHost = strText.substr(0, nColon);
    feed.m_nPort = static_cast<int>(nPort);
    feed.m_strPath.clear();
    return true;
}

bool CSymSrvConfig::SetFeedKey(CSymSrvFeedConfig& feed, const std::string& strKey,
                               const std::string& strValue, std::string& strError) {
    if (strKey == "address") {
        if (!ParseAddress(strValue, feed)) {
            strError = "bad feed address '" + strValue + "' (host:port or unix:/path)";
            return false;
        }
    } else if (strKey == "user") {
        feed.m_strUser = strValue;
    } else if (strKey == "password") {
        feed.m_strPassword = strValue;
    } else if (strKey == "prefix") {
        feed.m_vecPrefixes.push_back(strValue);
    } else if (strKey == "regex") {
        regex_t re;
        if (regcomp(&re, strValue.c_str(), REG_EXTENDED | REG_NOSUB) != 0) {
            strError = "bad regular expression '" + strValue + "'";
            return false;
        }
        regfree(&re);
        feed.m_vecRegexes.push_back(strValue);
    } else if (strKey == "all") {
        if (!ToBool(strValue, feed.m_bAll)) {
            strError = "all takes yes or no";
            return false;
        }
    } else {
        strError = "unknown feed key '" + strKey + "'";
        return false;
    }
    return true;
}

bool CSymSrvConfig::SetGlobal(const std::string& strKey, const std::string& strValue,
                              std::string& strError) {
    long n = 0;
    double d = 0;
    auto bad = [&](const char* what) {
        strError = strKey + " takes " + what + ", not '" + strValue + "'";
        return false;
    };
    if (strKey == "port" || strKey == "metrics_port") {
        if (!ToLong(strValue, 0, n) || n > 65535) {
            return bad("a port number");
        }
        (strKey == "port" ? m_nPort : m_nMetricsPort) = static_cast<int>(n);
    } else if (strKey == "bind") {
        m_strBind = strValue;
    } else if (strKey == "unix") {
        m_strUnixPath = strValue;
    } else if (strKey == "high_water") {
        if (!ToLong(strValue, 1, m_nHighWater)) {
            return bad("a positive number of bytes");
        }
    } else if (strKey == "max_topics") {
        if (!ToLong(strValue, 1, m_nMaxTopics)) {
            return bad("a positive number of topics");
        }
    } else if (strKey == "limit") {
        if (!ToLong(strValue, 1, m_nLimit)) {
            return bad("a positive number of bytes");
        }
    } else if (strKey == "max_clients") {
        if (!ToLong(strValue, 1, m_nMaxClients)) {
            return bad("a positive number of clients");
        }
    } else if (strKey == "stall_timeout" || strKey == "logon_timeout" ||
               strKey == "feed_stall_timeout" || strKey == "summary_interval" ||
               strKey == "heartbeat_interval" || strKey == "reconnect_min" ||
               strKey == "reconnect_max") {
        if (!ToDouble(strValue, d)) {
            return bad("a number of seconds");
        }
        if (strKey == "stall_timeout") {
            m_dblStallTimeout = d;
        } else if (strKey == "logon_timeout") {
            m_dblLogonTimeout = d;
        } else if (strKey == "feed_stall_timeout") {
            m_dblFeedStallTimeout = d;
        } else if (strKey == "summary_interval") {
            m_dblSummaryInterval = d;
        } else if (strKey == "heartbeat_interval") {
            m_dblHeartbeatInterval = d;
        } else if (strKey == "reconnect_min") {
            m_dblReconnectMin = d;
        } else {
            m_dblReconnectMax = d;
        }
    } else {
        strError = "unknown key '" + strKey + "'";
        return false;
    }
    return true;
}

bool CSymSrvConfig::ParseText(const std::string& strText, const std::string& strOrigin,
                              std::string& strError) {
    // A byte order mark before the first line (as some editors save a file) is no part of it.
    const bool bMarked = strText.compare(0, 3, "\xEF\xBB\xBF") == 0;
    std::istringstream in(bMarked ? strText.substr(3) : strText);
    std::string strLine;
    int nLine = 0;
    enum { GLOBAL, USERS, FEED } section = GLOBAL;
    CSymSrvFeedConfig* pFeed = nullptr;
    auto fail = [&](const std::string& what) {
        strError = strOrigin + ":" + std::to_string(nLine) + ": " + what;
        return false;
    };
    while (std::getline(in, strLine)) {
        ++nLine;
        // Kept, it would cut the error naming the line short, or make a value nobody can give.
        if (strLine.find('\0') != std::string::npos) {
            return fail("the line holds a NUL byte");
        }
        const size_t nHash = strLine.find('#');
        if (nHash != std::string::npos) {
            strLine.erase(nHash);
        }
        strLine = Trim(strLine);
        if (strLine.empty()) {
            continue;
        }
        if (strLine[0] == '[') {
            if (strLine.back() != ']') {
                return fail("section header without ']'");
            }
            const std::string strHead = Trim(strLine.substr(1, strLine.size() - 2));
            if (strHead == "users") {
                section = USERS;
            } else if (strHead.rfind("feed", 0) == 0 &&
                       (strHead.size() == 4 || strHead[4] == ' ' || strHead[4] == '\t')) {
                section = FEED;
                m_vecFeeds.emplace_back();
                pFeed = &m_vecFeeds.back();
                pFeed->m_strName = Trim(strHead.substr(4));
                if (pFeed->m_strName.empty()) {
                    pFeed->m_strName = "feed" + std::to_string(m_vecFeeds.size());
                }
            } else {
                return fail("unknown section '" + strHead + "'");
            }
            continue;
        }
        const size_t nEq = strLine.find('=');
        if (nEq == std::string::npos) {
            return fail("expected key = value");
        }
        const std::string strKey = Trim(strLine.substr(0, nEq));
        const std::string strValue = Trim(strLine.substr(nEq + 1));
        if (strKey.empty()) {
            return fail("empty key");
        }
        std::string strWhat;
        if (section == USERS) {
            if (!LogonCarries(strKey, strValue)) {
                return fail(kLogonTooLong);
            }
            m_mUsers[strKey] = strValue;
        } else if (section == FEED) {
            if (!SetFeedKey(*pFeed, strKey, strValue, strWhat)) {
                return fail(strWhat);
            }
        } else if (!SetGlobal(strKey, strValue, strWhat)) {
            return fail(strWhat);
        }
    }
    return true;
}

bool CSymSrvConfig::ParseFile(const std::string& strPath, std::string& strError) {
    // A directory read as nothing, and a device without end (/dev/zero) as more than any memory.
    const int fd = open_input_file(strPath.c_str());
    if (fd < 0) {
        strError = strPath + ": " + (errno == ENODEV ? "a device, not a file" : strerror(errno));
        return false;
    }
    std::string strText;
    char buf[65536];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            strError = strPath + ": " + strerror(errno);
            close(fd);
            return false;
        }
        if (n == 0) {
            break;
        }
        strText.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return ParseText(strText, strPath, strError);
}

bool CSymSrvConfig::ParseFeedArg(const std::string& strText, int nIndex, CSymSrvFeedConfig& feed,
                                 std::string& strError) {
    std::vector<std::string> parts;
    size_t nStart = 0;
    while (true) {
        const size_t nComma = strText.find(',', nStart);
        parts.push_back(strText.substr(nStart, nComma - nStart));
        if (nComma == std::string::npos) {
            break;
        }
        nStart = nComma + 1;
    }
    std::string strAddr = parts[0];
    const size_t nEq = strAddr.find('=');
    if (nEq != std::string::npos) {
        feed.m_strName = strAddr.substr(0, nEq);
        strAddr = strAddr.substr(nEq + 1);
    }
    if (feed.m_strName.empty()) {
        feed.m_strName = "feed" + std::to_string(nIndex);
    }
    if (!ParseAddress(strAddr, feed)) {
        strError = "bad feed address '" + strAddr + "' (host:port or unix:/path)";
        return false;
    }
    for (size_t i = 1; i < parts.size(); ++i) {
        if (parts[i] == "all") {
            feed.m_bAll = true;
            continue;
        }
        const size_t nColon = parts[i].find(':');
        if (nColon == std::string::npos) {
            strError = "bad feed option '" + parts[i] + "'";
            return false;
        }
        if (!SetFeedKey(feed, parts[i].substr(0, nColon), parts[i].substr(nColon + 1), strError)) {
            return false;
        }
    }
    return true;
}

bool CSymSrvConfig::ParseArgs(int argc, const char* const* argv, bool& bHelp,
                              std::string& strError) {
    bHelp = false;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            bHelp = true;
            return true;
        }
    }
    for (int i = 1; i + 1 < argc; ++i) {
        if (strcmp(argv[i], "--config") == 0 && !ParseFile(argv[i + 1], strError)) {
            return false;
        }
    }
    // Feeds given on the command line come after those of the file.
    int nFeedIndex = static_cast<int>(m_vecFeeds.size());
    for (int i = 1; i < argc; ++i) {
        const std::string strFlag = argv[i];
        if (strFlag.rfind("--", 0) != 0) {
            strError = "unexpected argument '" + strFlag + "'";
            return false;
        }
        if (i + 1 >= argc) {
            strError = strFlag + " needs a value";
            return false;
        }
        const std::string strValue = argv[++i];
        if (strFlag == "--config") {
            continue;
        }
        if (strFlag == "--feed") {
            CSymSrvFeedConfig feed;
            if (!ParseFeedArg(strValue, ++nFeedIndex, feed, strError)) {
                return false;
            }
            m_vecFeeds.push_back(feed);
        } else if (strFlag == "--user") {
            const size_t nColon = strValue.find(':');
            if (nColon == std::string::npos || nColon == 0) {
                strError = "--user takes NAME:PASSWORD";
                return false;
            }
            if (!LogonCarries(strValue.substr(0, nColon), strValue.substr(nColon + 1))) {
                strError = std::string("--user: ") + kLogonTooLong;
                return false;
            }
            m_mUsers[strValue.substr(0, nColon)] = strValue.substr(nColon + 1);
        } else {
            std::string strKey = strFlag.substr(2);
            for (char& c : strKey) {
                if (c == '-') {
                    c = '_';
                }
            }
            if (!SetGlobal(strKey, strValue, strError)) {
                // Told in the words of the command line: the flag as typed.
                strError = strError.rfind("unknown key", 0) == 0
                               ? "unknown option " + strFlag
                               : strFlag + strError.substr(strKey.size());
                return false;
            }
        }
    }
    return Validate(strError);
}

bool CSymSrvConfig::Validate(std::string& strError) const {
    if (m_nHighWater > m_nLimit) {
        strError = "high_water (" + std::to_string(m_nHighWater) + ") is above limit (" +
                   std::to_string(m_nLimit) + ")";
        return false;
    }
    if (m_nPort == 0 && m_strUnixPath.empty()) {
        strError = "no port and no local socket for clients";
        return false;
    }
    std::set<std::string> setNames;
    for (const auto& feed : m_vecFeeds) {
        if (feed.m_strPath.empty() && (feed.m_strHost.empty() || feed.m_nPort <= 0)) {
            strError = "feed " + feed.m_strName + " has no address";
            return false;
        }
        // The name tells clients which source was lost, and keeps apart the metrics of each.
        if (!setNames.insert(feed.m_strName).second) {
            strError = "two feeds are named '" + feed.m_strName + "'";
            return false;
        }
    }
    if (m_dblReconnectMin <= 0 || m_dblReconnectMax < m_dblReconnectMin) {
        strError = "reconnect_min must be above 0 and at most reconnect_max";
        return false;
    }
    return true;
}
