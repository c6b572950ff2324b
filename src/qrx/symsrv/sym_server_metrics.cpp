// CSymServer: counters as Prometheus text over plain HTTP (GET /metrics), and the summary line.
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <sstream>
#include <unordered_set>
#include <utility>
#include <vector>

#include "qrx/runtime/stdio_logger.h"
#include "qrx/symsrv/sym_server.h"

namespace {

constexpr size_t kMaxMetricsConns = 32;
constexpr double kMetricsConnSeconds = 10;  // a scrape that takes longer is given up
// Scrapes within this many seconds of an answer get that answer again.
constexpr double kMetricsAnswerSeconds = 1;
// Distinct answers held at once: when a new one would pass this, scrapes share the newest
// whatever its age, so slow scrapers cannot make the server hold a copy each.
constexpr size_t kMaxMetricsAnswers = 2;

std::shared_ptr<const std::string> HttpAnswer(const char* szStatus, const std::string& strBody) {
    try {
        return std::make_shared<const std::string>(
            std::string("HTTP/1.0 ") + szStatus +
            "\r\nContent-Type: text/plain; version=0.0.4\r\nContent-Length: " +
            std::to_string(strBody.size()) + "\r\nConnection: close\r\n\r\n" + strBody);
    } catch (...) {
        return nullptr;
    }
}

// The length of the well-formed UTF-8 sequence at s[i], 0 when there is none.
size_t Utf8Length(const std::string& s, size_t i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n = 0;
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;  // the range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        lo = c == 0xE0 ? 0xA0 : 0x80;
        hi = c == 0xED ? 0x9F : 0xBF;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        lo = c == 0xF0 ? 0x90 : 0x80;
        hi = c == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (s.size() - i < n) {
        return 0;
    }
    for (size_t k = 1; k < n; ++k) {
        const unsigned char b = static_cast<unsigned char>(s[i + k]);
        if (b < (k == 1 ? lo : 0x80) || b > (k == 1 ? hi : 0xBF)) {
            return 0;
        }
    }
    return n;
}

// Label values: backslash, quote and line end escaped, and any byte that is not part of
// UTF-8 made '?' (a scraper refuses the whole text otherwise, and topics are any bytes).
// pLossy, when given, is set when a byte was replaced: the value may then be another's.
std::string Label(const std::string& s, bool* pLossy = nullptr) {
    std::string out;
    out.reserve(s.size());
    bool bLossy = false;
    for (size_t i = 0; i < s.size(); ++i) {
        const char ch = s[i];
        if (ch == '\\' || ch == '"') {
            out += '\\';
            out += ch;
        } else if (ch == '\n') {
            out += "\\n";
        } else if (static_cast<unsigned char>(ch) < 0x20) {
            out += ' ';  // topics may hold the field separator
            bLossy = true;
        } else if (static_cast<unsigned char>(ch) < 0x80) {
            out += ch;
        } else if (const size_t n = Utf8Length(s, i)) {
            out.append(s, i, n);
            i += n - 1;
        } else {
            out += '?';
            bLossy = true;
        }
    }
    if (pLossy != nullptr) {
        *pLossy = bLossy;
    }
    return out;
}

}  // namespace

const CTopicEntry* CSymServer::FindTopic(const char* szTopic) const {
    auto it = m_mTopicIndex.find(szTopic);
    return it == m_mTopicIndex.end() ? nullptr : m_vecTopics[it->second].get();
}

std::string CSymServer::MetricsText() const {
    std::ostringstream o;
    auto head = [&](const char* name, const char* type, const char* help) {
        o << "# HELP " << name << ' ' << help << "\n# TYPE " << name << ' ' << type << '\n';
    };
    head("qrx_symsrv_clients", "gauge", "Clients connected.");
    o << "qrx_symsrv_clients " << m_vecClients.size() << '\n';
    head("qrx_symsrv_clients_accepted_total", "counter", "Client connections accepted.");
    o << "qrx_symsrv_clients_accepted_total " << m_nClientsAccepted << '\n';
    head("qrx_symsrv_clients_dropped_total", "counter",
         "Clients dropped for not reading their updates.");
    o << "qrx_symsrv_clients_dropped_total " << m_nClientsDropped << '\n';
    head("qrx_symsrv_clients_refused_total", "counter",
         "Connections closed at once for passing max_clients.");
    o << "qrx_symsrv_clients_refused_total " << m_nClientsRefused << '\n';
    head("qrx_symsrv_logons_refused_total", "counter", "Client logons refused.");
    o << "qrx_symsrv_logons_refused_total " << m_nLogonsRefused << '\n';
    head("qrx_symsrv_malformed_total", "counter", "Connections closed for malformed input.");
    o << "qrx_symsrv_malformed_total " << m_nMalformed << '\n';
    head("qrx_symsrv_topics", "gauge", "Topics known.");
    o << "qrx_symsrv_topics " << TopicCount() << '\n';
    head("qrx_symsrv_updates_in_total", "counter", "Records received from feed handlers.");
    o << "qrx_symsrv_updates_in_total " << m_nUpdatesIn << '\n';
    head("qrx_symsrv_updates_out_total", "counter", "Records queued for clients.");
    o << "qrx_symsrv_updates_out_total " << m_nUpdatesOut << '\n';
    head("qrx_symsrv_conflated_total", "counter", "Updates conflated for slow clients.");
    o << "qrx_symsrv_conflated_total " << m_nConflatedUpdates << '\n';

    head("qrx_symsrv_feed_up", "gauge", "1 while the feed handler is logged on.");
    for (const auto& f : m_vecFeeds) {
        o << "qrx_symsrv_feed_up{feed=\"" << Label(f->m_cfg.m_strName) << "\",state=\""
          << CFeedLink::StateName(f->m_eState) << "\"} "
          << (f->m_eState == CFeedLink::STATE_UP ? 1 : 0) << '\n';
    }
    head("qrx_symsrv_feed_connects_total", "counter", "Connections made to the feed handler.");
    for (const auto& f : m_vecFeeds) {
        o << "qrx_symsrv_feed_connects_total{feed=\"" << Label(f->m_cfg.m_strName) << "\"} "
          << f->m_nConnects << '\n';
    }
    head("qrx_symsrv_feed_losses_total", "counter", "Times the feed handler was lost.");
    for (const auto& f : m_vecFeeds) {
        o << "qrx_symsrv_feed_losses_total{feed=\"" << Label(f->m_cfg.m_strName) << "\"} "
          << f->m_nLosses << '\n';
    }
    head("qrx_symsrv_feed_updates_in_total", "counter", "Records received from the feed handler.");
    for (const auto& f : m_vecFeeds) {
        o << "qrx_symsrv_feed_updates_in_total{feed=\"" << Label(f->m_cfg.m_strName) << "\"} "
          << f->m_nUpdatesIn << '\n';
    }
    head("qrx_symsrv_feed_bytes_in_total", "counter",
         "Record bytes received from the feed handler.");
    for (const auto& f : m_vecFeeds) {
        o << "qrx_symsrv_feed_bytes_in_total{feed=\"" << Label(f->m_cfg.m_strName) << "\"} "
          << f->m_nBytesIn << '\n';
    }

    struct ClientMetric {
        const char* name;
        const char* type;
        const char* help;
        uint64_t (*get)(const CClientSession&);
    };
    static const ClientMetric kClient[] = {
        {"qrx_symsrv_client_updates_out_total", "counter", "Records queued for the client.",
         [](const CClientSession& c) { return c.m_nUpdatesOut; }},
        {"qrx_symsrv_client_bytes_out_total", "counter", "Bytes written to the client.",
         [](const CClientSession& c) { return c.m_nBytesOut; }},
        {"qrx_symsrv_client_conflated_total", "counter", "Updates conflated for the client.",
         [](const CClientSession& c) { return c.m_nConflated; }},
        {"qrx_symsrv_client_queue_bytes", "gauge", "Bytes queued for the client.",
         [](const CClientSession& c) { return static_cast<uint64_t>(c.m_out.Pending()); }},
        {"qrx_symsrv_client_topics", "gauge", "Topics the client holds.",
         [](const CClientSession& c) { return static_cast<uint64_t>(c.m_nTopics); }},
        {"qrx_symsrv_client_messages_in_total", "counter",
         "Messages received from the client (requests and heartbeat answers).",
         [](const CClientSession& c) { return c.m_nRequests; }},
        {"qrx_symsrv_client_conflations_total", "counter",
         "Times the client fell behind and was conflated.",
         [](const CClientSession& c) { return c.m_nConflations; }},
    };
    for (const auto& m : kClient) {
        head(m.name, m.type, m.help);
        for (const CClientSession* c : m_vecClients) {
            o << m.name << "{client=\"" << c->m_nId << "\",user=\"" << Label(c->m_strUser)
              << "\",peer=\"" << Label(c->m_strPeer) << "\"} " << m.get(*c) << '\n';
        }
    }

    struct TopicMetric {
        const char* name;
        const char* help;
        uint64_t CTopicEntry::*field;
    };
    static const TopicMetric kTopic[] = {
        {"qrx_symsrv_topic_updates_in_total", "Records received for the topic.",
         &CTopicEntry::m_nUpdatesIn},
        {"qrx_symsrv_topic_bytes_in_total", "Record bytes received for the topic.",
         &CTopicEntry::m_nBytesIn},
        {"qrx_symsrv_topic_updates_out_total", "Records of the topic queued for clients.",
         &CTopicEntry::m_nUpdatesOut},
        {"qrx_symsrv_topic_bytes_out_total", "Record bytes of the topic queued for clients.",
         &CTopicEntry::m_nBytesOut},
        {"qrx_symsrv_topic_conflated_total", "Updates of the topic conflated.",
         &CTopicEntry::m_nConflated},
    };
    // Each topic's label is made once, for the six lines that name the topic. Topics written
    // faithfully cannot share a label; one whose bytes were replaced may have another's, and
    // then its slot is added to it, since a page naming one series twice is a broken page.
    std::vector<std::pair<const CTopicEntry*, std::string>> vecLabels;
    vecLabels.reserve(TopicCount());
    std::vector<const CTopicEntry*> vecLossy;
    for (const auto& t : m_vecTopics) {
        if (t->m_bFree) {
            continue;
        }
        bool bLossy = false;
        std::string strValue = Label(t->m_strTopic, &bLossy);
        if (bLossy) {
            vecLossy.push_back(t.get());
            continue;
        }
        vecLabels.emplace_back(t.get(), "{topic=\"" + strValue + "\"} ");
    }
    if (!vecLossy.empty()) {
        // The labels in use are gathered only when some may collide with them.
        std::unordered_set<std::string> setLabels;
        for (const auto& entry : vecLabels) {
            setLabels.insert(entry.second);
        }
        for (const CTopicEntry* t : vecLossy) {
            std::string strValue = Label(t->m_strTopic);
            std::string strLabel = "{topic=\"" + strValue + "\"} ";
            while (!setLabels.insert(strLabel).second) {
                strValue += " #" + std::to_string(t->m_nIndex);
                strLabel = "{topic=\"" + strValue + "\"} ";
            }
            vecLabels.emplace_back(t, std::move(strLabel));
        }
    }
    for (const auto& m : kTopic) {
        head(m.name, "counter", m.help);
        for (const auto& [t, strLabel] : vecLabels) {
            o << m.name << strLabel << (*t).*(m.field) << '\n';
        }
    }
    head("qrx_symsrv_topic_subscribers", "gauge", "Clients holding the topic.");
    for (const auto& [t, strLabel] : vecLabels) {
        o << "qrx_symsrv_topic_subscribers" << strLabel << t->m_nRefs << '\n';
    }
    return o.str();
}

std::string CSymServer::SummaryLine() {
    const double tNow = Now();
    const double dt = std::max(tNow - m_tLastSummary, 1e-3);
    int nUp = 0;
    for (const auto& f : m_vecFeeds) {
        nUp += f->m_eState == CFeedLink::STATE_UP ? 1 : 0;
    }
    int nConflating = 0;
    size_t nQueued = 0;
    for (const CClientSession* c : m_vecClients) {
        nConflating += c->m_bConflating ? 1 : 0;
        nQueued += c->m_out.Pending();
    }
    std::ostringstream o;
    o.setf(std::ios::fixed);
    o.precision(0);
    o << "qrx-symsrv: clients=" << m_vecClients.size() << " feeds_up=" << nUp << "/"
      << m_vecFeeds.size() << " topics=" << TopicCount() << " updates_in=" << m_nUpdatesIn << " ("
      << static_cast<double>(m_nUpdatesIn - m_nSummaryUpdatesIn) / dt
      << "/s) updates_out=" << m_nUpdatesOut << " ("
      << static_cast<double>(m_nUpdatesOut - m_nSummaryUpdatesOut) / dt
      << "/s) queued_bytes=" << nQueued << " conflating=" << nConflating
      << " conflated=" << m_nConflatedUpdates << " dropped=" << m_nClientsDropped
      << " malformed=" << m_nMalformed;
    m_nSummaryUpdatesIn = m_nUpdatesIn;
    m_nSummaryUpdatesOut = m_nUpdatesOut;
    m_tLastSummary = tNow;
    return o.str();
}

void CSymServer::AcceptMetrics() {
    for (int i = 0; i < 16; ++i) {
        const int fd =
            accept4(m_pListenMetrics->m_nFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if ((errno == EMFILE || errno == ENFILE) && ShedConnection(m_pListenMetrics->m_nFd)) {
                continue;
            }
            return;
        }
        // A scrape takes a moment: more connections than this at once are not scrapers.
        if (m_vecMetricsConns.size() >= kMaxMetricsConns) {
            close(fd);
            continue;
        }
        CMetricsConn* m = new (std::nothrow) CMetricsConn(fd);
        if (m == nullptr) {
            close(fd);
            continue;
        }
        m->m_tAccepted = Now();
        m_vecMetricsConns.push_back(m);
        SetEvents(m, EPOLLIN);
    }
}

void CSymServer::OnMetricsConn(CMetricsConn* m, uint32_t nEvents) {
    bool bClose = false;
    if (!m->m_bAnswered && (nEvents & (EPOLLIN | EPOLLHUP | EPOLLERR))) {
        char buf[2048];
        const ssize_t n = read(m->m_nFd, buf, sizeof buf);
        if (n <= 0 && !(n < 0 && (errno == EAGAIN || errno == EINTR))) {
            bClose = true;
        } else if (n > 0) {
            m->m_strIn.append(buf, static_cast<size_t>(n));
            if (m->m_strIn.size() > 16384) {
                bClose = true;
            } else if (m->m_strIn.find("\r\n\r\n") != std::string::npos ||
                       m->m_strIn.find("\n\n") != std::string::npos) {
                m->m_pOut = m->m_strIn.rfind("GET /metrics", 0) == 0
                                ? MetricsAnswer()
                                : HttpAnswer("404 Not Found", "GET /metrics\n");
                m->m_strIn = std::string();
                if (m->m_pOut == nullptr) {
                    bClose = true;  // no memory for it
                }
                m->m_bAnswered = true;
            }
        }
    }
    if (!bClose && m->m_bAnswered) {
        const std::string& out = *m->m_pOut;
        while (m->m_nSent < out.size()) {
            const ssize_t n =
                send(m->m_nFd, out.data() + m->m_nSent, out.size() - m->m_nSent, MSG_NOSIGNAL);
            if (n > 0) {
                m->m_nSent += static_cast<size_t>(n);
            } else if (n < 0 && errno == EAGAIN) {
                SetEvents(m, EPOLLOUT);
                return;
            } else {
                break;
            }
        }
        bClose = true;
    }
    if (bClose) {
        CloseMetricsConn(m);
    }
}

std::shared_ptr<const std::string> CSymServer::MetricsAnswer() {
    const double tNow = Now();
    if (m_pMetricsAnswer != nullptr) {
        // The answers that would be held once a new one replaced the newest: those the
        // connections hold (the newest too, if one holds it) and the new one.
        std::vector<const std::string*> held;
        for (const CMetricsConn* m : m_vecMetricsConns) {
            if (m->m_pOut != nullptr &&
                std::find(held.begin(), held.end(), m->m_pOut.get()) == held.end()) {
                held.push_back(m->m_pOut.get());
            }
        }
        if (tNow - m_tMetricsAnswer < kMetricsAnswerSeconds ||
            held.size() + 1 > kMaxMetricsAnswers) {
            return m_pMetricsAnswer;
        }
    }
    std::shared_ptr<const std::string> pAnswer;
    try {
        pAnswer = HttpAnswer("200 OK", MetricsText());
    } catch (...) {
    }
    if (pAnswer != nullptr) {
        m_pMetricsAnswer = pAnswer;
        m_tMetricsAnswer = tNow;
    }
    return pAnswer;
}

size_t CSymServer::MetricsBytesHeld() const {
    std::vector<const std::string*> held;
    size_t nBytes = 0;
    for (const CMetricsConn* m : m_vecMetricsConns) {
        if (m->m_pOut != nullptr &&
            std::find(held.begin(), held.end(), m->m_pOut.get()) == held.end()) {
            held.push_back(m->m_pOut.get());
            nBytes += m->m_pOut->size();
        }
    }
    return nBytes;
}

void CSymServer::CloseIdleMetricsConns(double tNow) {
    for (size_t i = 0; i < m_vecMetricsConns.size();) {
        CMetricsConn* m = m_vecMetricsConns[i];
        if (tNow - m->m_tAccepted > kMetricsConnSeconds) {
            CloseMetricsConn(m);  // takes it out of the list
        } else {
            ++i;
        }
    }
}

void CSymServer::CloseMetricsConn(CMetricsConn* m) {
    SetEvents(m, 0);
    close(m->m_nFd);
    m_vecMetricsConns.erase(std::find(m_vecMetricsConns.begin(), m_vecMetricsConns.end(), m));
    delete m;
    if (m_pMetricsAnswer != nullptr && m_pMetricsAnswer.use_count() == 1 &&
        m_vecMetricsConns.empty()) {
        m_pMetricsAnswer.reset();  // nobody is reading it: an idle server keeps no copy
    }
}
