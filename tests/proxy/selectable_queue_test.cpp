#include "qrx/proxy/selectable_queue.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/select.h>

#include <chrono>
#include <thread>
#include <vector>

#include "proxy/proxy_test_util.h"

namespace {

struct Tick {
    int producer = 0;
    int seq = 0;
};

bool Readable(int fd) {
    pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

// Exposes the queue's mutex so that a test can hold it.
class HeldQueue : public CSelectableQueue<Tick> {
public:
    void HoldLock() { pthread_mutex_lock(m_pMutex); }
};

}  // namespace

TEST(SelectableQueueTest, shouldSignalPushesOnItsDescriptorAndHandThemOverInOrder) {
    CSelectableQueue<Tick> queue;
    ASSERT_TRUE(queue.Init());
    ASSERT_GE(queue.Fd(), 0);
    EXPECT_NE(fcntl(queue.Fd(), F_GETFL) & O_NONBLOCK, 0);
    EXPECT_FALSE(Readable(queue.Fd()));

    Tick a, b, c, earlier;
    EXPECT_TRUE(queue.Push(&a, true));
    EXPECT_TRUE(queue.Push(&b, true));
    EXPECT_TRUE(queue.Push(&c, true));
    EXPECT_FALSE(queue.Push(nullptr, true));
    EXPECT_TRUE(Readable(queue.Fd()));

    std::vector<Tick*> vec = {&earlier};
    EXPECT_EQ(queue.Pop(vec), 3);
    EXPECT_EQ(vec, (std::vector<Tick*>{&earlier, &a, &b, &c}));
    EXPECT_FALSE(Readable(queue.Fd()));
    EXPECT_EQ(queue.Pop(vec), 0);
    EXPECT_EQ(vec.size(), 4u);

    // A bare notification wakes the reader without queuing anything.
    queue.Notify();
    EXPECT_TRUE(Readable(queue.Fd()));
    EXPECT_EQ(queue.Pop(vec), 0);
    EXPECT_FALSE(Readable(queue.Fd()));

    // Pointers left queued at destruction are dropped, not destroyed (they live on the stack).
    queue.Push(&a, true);
}

TEST(SelectableQueueTest, shouldQueueNothingBeforeInit) {
    CSelectableQueue<Tick> queue;
    Tick a;
    EXPECT_EQ(queue.Fd(), -1);
    EXPECT_FALSE(queue.Push(&a, true));
    queue.Notify();
    std::vector<Tick*> vec;
    EXPECT_EQ(queue.Pop(vec), 0);
    EXPECT_TRUE(vec.empty());

    ASSERT_TRUE(queue.Init());
    EXPECT_TRUE(queue.Init());  // a second Init keeps the pipe and the lock
    EXPECT_FALSE(Readable(queue.Fd()));
    EXPECT_EQ(queue.Pop(vec), 0);
}

TEST(SelectableQueueTest, shouldNeverBlockAProducerOnAFullPipe) {
    CSelectableQueue<Tick> queue;
    ASSERT_TRUE(queue.Init());
    std::vector<Tick> ticks(200000);  // far more bytes than a pipe holds
    for (Tick& t : ticks) {
        ASSERT_TRUE(queue.Push(&t, true));
    }
    std::vector<Tick*> vec;
    ASSERT_EQ(queue.Pop(vec), 200000);
    for (size_t i = 0; i < ticks.size(); ++i) {
        ASSERT_EQ(vec[i], &ticks[i]) << i;
    }
    EXPECT_FALSE(Readable(queue.Fd()));
}

TEST(SelectableQueueTest, shouldDeliverEveryTickOnceInProducerOrderToASelectingConsumer) {
    constexpr int kProducers = 4;
    constexpr int kPerProducer = 20000;
    CSelectableQueue<Tick> queue;
    ASSERT_TRUE(queue.Init());
    std::vector<std::vector<Tick>> ticks(kProducers, std::vector<Tick>(kPerProducer));
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&queue, &ticks, p] {
            for (int i = 0; i < kPerProducer; ++i) {
                ticks[p][i] = Tick{p, i};
                queue.Push(&ticks[p][i], true);
            }
        });
    }

    std::vector<int> next(kProducers, 0);
    int received = 0;
    int emptyWakeUps = 0;
    int outOfOrder = 0;
    std::vector<Tick*> vec;
    vec.reserve(kProducers * kPerProducer);
    // The bound only guards against a hang; the wake-ups end the wait.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(50);
    while (received < kProducers * kPerProducer && std::chrono::steady_clock::now() < giveUp) {
        fd_set readSet;
        FD_ZERO(&readSet);
        FD_SET(queue.Fd(), &readSet);
        timeval period = {0, 200000};
        if (select(queue.Fd() + 1, &readSet, nullptr, nullptr, &period) <= 0) {
            continue;
        }
        vec.clear();
        const int n = queue.Pop(vec);
        // Bytes are written and drained under the queue's lock: a wake-up always finds ticks.
        if (n == 0) {
            ++emptyWakeUps;
        }
        for (Tick* t : vec) {
            if (t->seq != next[t->producer]) {
                ++outOfOrder;
            }
            next[t->producer] = t->seq + 1;
        }
        received += n;
    }
    for (auto& t : producers) {
        t.join();
    }
    EXPECT_EQ(received, kProducers * kPerProducer);
    EXPECT_EQ(outOfOrder, 0);
    EXPECT_EQ(emptyWakeUps, 0);
    for (int p = 0; p < kProducers; ++p) {
        EXPECT_EQ(next[p], kPerProducer) << p;
    }
    EXPECT_FALSE(Readable(queue.Fd()));
}

TEST(SelectableQueueTest, shouldNotAllocateOnceWarm) {
    if (!proxytest::AllocCounter::Available()) {
        GTEST_SKIP() << "the sanitizers own the allocator";
    }
    CSelectableQueue<Tick> queue;
    ASSERT_TRUE(queue.Init());
    std::vector<Tick> ticks(3000);
    std::vector<Tick*> vec;
    vec.reserve(ticks.size());
    for (Tick& t : ticks) {
        queue.Push(&t, true);
    }
    queue.Pop(vec);

    proxytest::AllocCounter counter;
    counter.Start();
    for (int round = 0; round < 50; ++round) {
        vec.clear();
        for (Tick& t : ticks) {
            queue.Push(&t, true);
        }
        queue.Pop(vec);
    }
    EXPECT_EQ(counter.Stop(), 0);
    EXPECT_EQ(vec.size(), ticks.size());
}

TEST(SelectableQueueDeathTest, shouldStopWhenDestroyedWhileItsMutexIsHeld) {
    ::testing::GTEST_FLAG(death_test_style) = "threadsafe";
    EXPECT_DEATH(
        {
            HeldQueue* queue = new HeldQueue;
            queue->Init();
            queue->HoldLock();
            delete queue;
        },
        "pthread_mutex_trylock\\(m_pMutex\\) != 16");
}
