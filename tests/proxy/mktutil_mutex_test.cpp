#include "qrx/proxy/mktutil_mutex.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

TEST(MktutilMutexTest, shouldRunUnguardedUntilInitAndExcludeThreadsAfterwards) {
    MKTUTIL::Mutex mutex;
    EXPECT_FALSE(mutex.IsInitialized());
    EXPECT_FALSE(mutex.Lock());
    EXPECT_FALSE(mutex.Unlock());

    ASSERT_TRUE(mutex.Init());
    ASSERT_TRUE(mutex.Init());  // keeps the mutex it has
    long counter = 0;           // plain: only the mutex keeps the increments whole
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 50000; ++i) {
                EXPECT_TRUE(mutex.Lock());
                ++counter;
                EXPECT_TRUE(mutex.Unlock());
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(counter, 4 * 50000);
}
