// The resolver's worker against lookups that hang until released, and the system's own.
#include "qrx/symsrv/host_resolver.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// Lookups that wait for Release; shared with the worker, which may outlive a test.
struct Gate {
    std::mutex mutex;
    std::condition_variable open;
    bool bOpen = false;
    std::vector<std::string> asked;

    void Release() {
        std::lock_guard<std::mutex> lock(mutex);
        bOpen = true;
        open.notify_all();
    }
    size_t Asked() {
        std::lock_guard<std::mutex> lock(mutex);
        return asked.size();
    }
};

CHostResolver::Lookup Through(const std::shared_ptr<Gate>& gate) {
    return [gate](const std::string& strHost, int nPort, sockaddr_in& addr) {
        std::unique_lock<std::mutex> lock(gate->mutex);
        gate->asked.push_back(strHost);
        gate->open.wait(lock, [&] { return gate->bOpen; });
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(nPort));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return strHost != "missing";
    };
}

bool Readable(int fd, int nWaitMs) {
    pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, nWaitMs) == 1;
}

// Waits (bounded) until n answers have been taken.
std::vector<CHostResolver::Answer> TakeAll(CHostResolver& r, size_t n) {
    std::vector<CHostResolver::Answer> all;
    std::vector<CHostResolver::Answer> some;
    for (int i = 0; i < 100 && all.size() < n; ++i) {
        if (Readable(r.Fd(), 100)) {
            r.Take(some);
            all.insert(all.end(), some.begin(), some.end());
        }
    }
    return all;
}

}  // namespace

TEST(HostResolver, AnswersComeThroughItsDescriptorAndQuestionsWaitingBehindASlowOneAreReplaced) {
    auto gate = std::make_shared<Gate>();
    CHostResolver r;
    r.SetLookup(Through(gate));
    EXPECT_EQ(r.Fd(), -1);
    ASSERT_TRUE(r.Ask(0, 1, "slow", 7001));
    ASSERT_GE(r.Fd(), 0);
    for (int i = 0; i < 1000 && gate->Asked() == 0; ++i) {
        Readable(r.Fd(), 1);
    }
    ASSERT_EQ(gate->Asked(), 1u);
    // Asked again and again while the first lookup hangs: one question per key waits.
    for (unsigned long seq = 1; seq <= 50; ++seq) {
        ASSERT_TRUE(r.Ask(1, seq, seq == 50 ? "missing" : "other", 7002));
    }
    EXPECT_FALSE(Readable(r.Fd(), 0));
    gate->Release();
    const std::vector<CHostResolver::Answer> answers = TakeAll(r, 2);
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(answers[0].nKey, 0);
    EXPECT_EQ(answers[0].nSeq, 1u);
    EXPECT_TRUE(answers[0].bFound);
    EXPECT_EQ(ntohs(answers[0].addr.sin_port), 7001);
    EXPECT_EQ(answers[1].nKey, 1);
    EXPECT_EQ(answers[1].nSeq, 50u);
    EXPECT_FALSE(answers[1].bFound);
    EXPECT_EQ(gate->Asked(), 2u);
}

TEST(HostResolver, GoingAwayDoesNotWaitForALookupUnderWay) {
    auto gate = std::make_shared<Gate>();
    {
        CHostResolver r;
        r.SetLookup(Through(gate));
        ASSERT_TRUE(r.Ask(0, 1, "slow", 7001));
        ASSERT_TRUE(r.Ask(1, 1, "next", 7001));
        for (int i = 0; i < 1000 && gate->Asked() == 0; ++i) {
            Readable(r.Fd(), 1);
        }
    }  // a destructor that waited for the worker would hang here
    gate->Release();
    // The worker finishes its lookup and ends without asking the next.
    for (int i = 0; i < 20 && gate.use_count() > 1; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(gate.use_count(), 1);
    EXPECT_EQ(gate->Asked(), 1u);
}

TEST(HostResolver, TheSystemsResolverAnswersForAnAddressAndRefusesANameThatCannotBe) {
    CHostResolver r;
    ASSERT_TRUE(r.Ask(0, 1, "127.0.0.1", 7001));
    ASSERT_TRUE(r.Ask(1, 1, "", 7001));
    const std::vector<CHostResolver::Answer> answers = TakeAll(r, 2);
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_TRUE(answers[0].bFound);
    EXPECT_EQ(answers[0].addr.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(ntohs(answers[0].addr.sin_port), 7001);
    EXPECT_FALSE(answers[1].bFound);
}
