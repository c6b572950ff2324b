// The metrics port facing scrapers that ask and then read slowly or not at all.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "symsrv/symsrv_peers.h"

using symsrvtest::CRig;

namespace {

// A scraper that asks for the metrics and then reads nothing: its receive buffer is small, so
// the server keeps most of the answer waiting for it.
int StalledScrape(int nPort) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return -1;
    }
    const int nSmall = 4096;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &nSmall, sizeof nSmall);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(nPort));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::string get = "GET /metrics HTTP/1.0\r\n\r\n";
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        send(fd, get.data(), get.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(get.size())) {
        close(fd);
        return -1;
    }
    return fd;
}

// Reads the whole answer of a connection until the server closes it.
std::string ReadAll(CRig& rig, int fd) {
    std::string answer;
    rig.Until([&] {
        char buf[65536];
        for (;;) {
            const ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) {
                answer.append(buf, static_cast<size_t>(n));
                continue;
            }
            return n == 0;
        }
    });
    return answer;
}

}  // namespace

TEST(SymServerMetrics, ScrapersThatDoNotReadShareAnswersInsteadOfHoldingACopyEach) {
    CSymSrvConfig cfg;
    cfg.m_nMetricsPort = FreeLoopbackPort();
    CRig rig(cfg, 1);
    ASSERT_TRUE(rig.bStarted);
    ASSERT_TRUE(rig.Until([&] { return rig.clients[0]->LoggedOn(); }));
    // Enough topics for an answer of several megabytes, more than a socket takes at once.
    const int nTopics = 16000;
    for (int i = 0; i < nTopics; ++i) {
        rig.clients[0]->m_conn.Subscribe(("METRICS.TOPIC." + std::to_string(i)).c_str());
        if (i % 100 == 99) {
            // The server reads them as they come: one thread plays every part.
            ASSERT_TRUE(rig.Until([&] { return rig.server->TopicCount() == size_t(i + 1); }));
        }
    }
    ASSERT_TRUE(rig.Until([&] { return rig.server->TopicCount() == size_t(nTopics); }));
    const size_t nText = rig.server->MetricsText().size();
    ASSERT_GT(nText, 6000000u);

    std::vector<int> stalled;
    for (int i = 0; i < 24; ++i) {
        stalled.push_back(StalledScrape(rig.server->MetricsPort()));
        ASSERT_GE(stalled.back(), 0);
        // Some turns between them, as scrapes seconds apart would have.
        for (int t = 0; t < 20; ++t) {
            rig.Turn();
        }
    }
    ASSERT_TRUE(rig.Until([&] { return rig.server->MetricsConnections() == stalled.size(); }));
    ASSERT_TRUE(rig.Until([&] { return rig.server->MetricsBytesHeld() > 0; }));
    for (int t = 0; t < 100; ++t) {
        rig.Turn();
    }
    // At most two answers, however many scrapers wait.
    EXPECT_LE(rig.server->MetricsBytesHeld(), 2 * (nText + 1024));

    // A scraper that reads gets the whole text, which the shared answer still is.
    const std::string answer = ReadAll(rig, stalled.front());
    const size_t nBody = answer.find("\r\n\r\n");
    ASSERT_NE(nBody, std::string::npos);
    EXPECT_EQ(answer.compare(0, 15, "HTTP/1.0 200 OK"), 0);
    EXPECT_NE(answer.find("Content-Length: " + std::to_string(answer.size() - nBody - 4)),
              std::string::npos);
    EXPECT_NE(answer.find("qrx_symsrv_topic_subscribers{topic=\"METRICS.TOPIC.15999\"} 1"),
              std::string::npos);
    for (int fd : stalled) {
        close(fd);
    }
    // Once they are gone the server keeps no answer.
    ASSERT_TRUE(rig.Until([&] { return rig.server->MetricsConnections() == 0; }));
    EXPECT_EQ(rig.server->MetricsBytesHeld(), 0u);
}

TEST(SymServerMetrics, TopicLabelsAreUtf8WhateverBytesTheTopicsHold) {
    CRig rig(CSymSrvConfig(), 1);
    ASSERT_TRUE(rig.Until([&] {
        return !rig.clients[0]->m_vecStatus.empty() &&
               rig.server->Feed(0)->m_eState == CFeedLink::STATE_UP;
    }));
    // A scraper refuses a text that is not UTF-8 whole: one topic's bytes would cost all of it.
    for (const char* szTopic : {"caf\xC3\xA9", "bad\xFFname", "cut\xE2\x82", "over\xC0\xAFlong"}) {
        rig.clients[0]->m_conn.Subscribe(szTopic);
    }
    ASSERT_TRUE(rig.Until([&] { return rig.feed->m_vecSubs.size() == 4; }));
    const std::string strText = rig.server->MetricsText();
    EXPECT_NE(strText.find("topic=\"caf\xC3\xA9\""), std::string::npos);
    EXPECT_NE(strText.find("topic=\"bad?name\""), std::string::npos);
    EXPECT_NE(strText.find("topic=\"cut??\""), std::string::npos);
    EXPECT_NE(strText.find("topic=\"over??long\""), std::string::npos);
    EXPECT_EQ(strText.find('\xFF'), std::string::npos);
}

TEST(SymServerMetrics, TopicsWhoseLabelsWouldBeTheSameAreStillSeriesOfTheirOwn) {
    CRig rig(CSymSrvConfig(), 1);
    ASSERT_TRUE(rig.Until([&] {
        return !rig.clients[0]->m_vecStatus.empty() &&
               rig.server->Feed(0)->m_eState == CFeedLink::STATE_UP;
    }));
    // Control bytes and bytes that are not UTF-8 are written alike in a label: these topics
    // would be one series written three times, which a scraper takes for a broken page.
    const std::vector<std::string> vecTopics = {"bad\xFF", "bad\xFE", "bad?",
                                                "ctl\x01", "ctl\x02", "ctl "};
    for (const std::string& t : vecTopics) {
        rig.clients[0]->m_conn.Subscribe(t.c_str());
    }
    ASSERT_TRUE(rig.Until([&] { return rig.feed->m_vecSubs.size() == vecTopics.size(); }));
    const std::string strText = rig.server->MetricsText();
    std::vector<std::string> vecSeries;
    for (size_t at = 0, nEnd = 0; at < strText.size(); at = nEnd + 1) {
        nEnd = strText.find('\n', at);
        const std::string strLine = strText.substr(at, nEnd - at);
        if (strLine.rfind("qrx_symsrv_topic_subscribers{", 0) == 0) {
            vecSeries.push_back(strLine.substr(0, strLine.rfind(' ')));
        }
    }
    std::sort(vecSeries.begin(), vecSeries.end());
    EXPECT_EQ(vecSeries.size(), vecTopics.size());
    EXPECT_EQ(std::adjacent_find(vecSeries.begin(), vecSeries.end()), vecSeries.end());
    // A topic written faithfully keeps its plain label.
    EXPECT_NE(strText.find("qrx_symsrv_topic_subscribers{topic=\"bad?\"} 1"), std::string::npos);
    EXPECT_NE(strText.find("qrx_symsrv_topic_subscribers{topic=\"ctl \"} 1"), std::string::npos);
}
