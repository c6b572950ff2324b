#include "qrx/proxy/data_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "proxy/proxy_test_util.h"

namespace {

struct Item {
    long n = 0;
    std::atomic<bool> out{false};
};

// An element whose construction fails once s_nAllowed objects were built.
struct Fragile {
    static int s_nAttempts;
    static int s_nBuilt;
    static int s_nAllowed;
    Fragile() {
        ++s_nAttempts;
        if (s_nBuilt >= s_nAllowed) {
            throw std::runtime_error("no room");
        }
        ++s_nBuilt;
    }
};
int Fragile::s_nAttempts = 0;
int Fragile::s_nBuilt = 0;
int Fragile::s_nAllowed = 1 << 30;

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) {
        ++n;
    }
    return n;
}

template <class Pool, class T>
void ReleaseAll(Pool& pool, std::vector<T*>& out) {
    pool.Release(out.data(), static_cast<int>(out.size()));
    out.clear();
}

}  // namespace

TEST(DataPoolTest, shouldCreateNothingUntilTheFreeListRunsDryAndThenGrowOneStep) {
    CDataPool<Item> pool(100, "_UNNAMED_");
    ASSERT_TRUE(pool.Init());
    EXPECT_EQ(pool.GetTotalCreated(), 100);
    EXPECT_EQ(pool.GetNumFree(), 100);

    std::vector<Item*> out;
    std::set<Item*> distinct;
    for (int i = 0; i < 100; ++i) {
        out.push_back(pool.Get());
        distinct.insert(out.back());
    }
    EXPECT_EQ(pool.GetTotalCreated(), 100);
    EXPECT_EQ(pool.GetNumFree(), 0);

    out.push_back(pool.Get());
    distinct.insert(out.back());
    EXPECT_EQ(pool.GetTotalCreated(), 200);
    EXPECT_EQ(pool.GetNumFree(), 99);
    EXPECT_EQ(distinct.size(), 101u);
    EXPECT_EQ(distinct.count(nullptr), 0u);
    ReleaseAll(pool, out);
    EXPECT_EQ(pool.GetNumFree(), 200);
}

TEST(DataPoolTest, shouldRecycleLastInFirstOutAndKeepBatchOrder) {
    CDataPool<Item> pool(100, "_UNNAMED_");
    ASSERT_TRUE(pool.Init());
    Item* a = pool.Get();
    Item* b = pool.Get();
    Item* batch[3] = {a, nullptr, b};
    pool.Release(batch, 3);
    EXPECT_EQ(pool.GetNumFree(), 100);
    EXPECT_EQ(pool.Get(), b);
    EXPECT_EQ(pool.Get(), a);

    // A batch takes the top nSize entries, the top one last.
    pool.Release(a);
    pool.Release(b);
    Item* two[2] = {nullptr, nullptr};
    ASSERT_EQ(pool.Get(two, 2), 2);
    EXPECT_EQ(two[0], a);
    EXPECT_EQ(two[1], b);
    pool.Release(two, 2);

    // Growing twice for one batch.
    std::vector<Item*> many(250, nullptr);
    ASSERT_EQ(pool.Get(many.data(), 250), 250);
    EXPECT_EQ(pool.GetTotalCreated(), 300);
    EXPECT_EQ(pool.GetNumFree(), 50);
    EXPECT_EQ(std::set<Item*>(many.begin(), many.end()).size(), 250u);
    EXPECT_EQ(pool.Get(many.data(), 0), 0);
    EXPECT_EQ(pool.Get(many.data(), -3), 0);
    pool.Release(many.data(), -1);
    EXPECT_EQ(pool.GetNumFree(), 50);
    ReleaseAll(pool, many);
}

TEST(DataPoolTest, shouldStayInertWithoutInit) {
    CDataPool<Item> pool(100, "_UNNAMED_");
    EXPECT_FALSE(pool.IsInitialized());
    EXPECT_EQ(pool.Get(), nullptr);
    Item* arr[5] = {};
    EXPECT_EQ(pool.Get(arr, 5), 0);
    Item* foreign = new Item;
    pool.Release(foreign);  // ignored: the object stays the caller's
    pool.Release(&foreign, 1);
    EXPECT_EQ(pool.GetNumFree(), 100);
    EXPECT_EQ(pool.GetTotalCreated(), 100);
    delete foreign;
}

TEST(DataPoolTest, shouldReportGrowthOncePerTenThousandObjectsWhateverTheStep) {
    {
        CDataPool<Item> pool(100, "_UNNAMED_");
        pool.SetDPoolName("PROXY_SDP");
        ASSERT_TRUE(pool.Init());
        std::vector<Item*> out;
        testing::internal::CaptureStderr();
        for (int i = 0; i < 9900; ++i) {
            out.push_back(pool.Get());
        }
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        ASSERT_EQ(pool.GetTotalCreated(), 9900);

        testing::internal::CaptureStderr();
        for (int i = 0; i < 10000; ++i) {  // totals 10000 .. 19900
            out.push_back(pool.Get());
        }
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "PROXY_SDP: Created 10000 more Objects. Total = 10000\n");

        testing::internal::CaptureStderr();
        out.push_back(pool.Get());
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "PROXY_SDP: Created 10000 more Objects. Total = 20000\n");
        ReleaseAll(pool, out);
    }
    {
        // Steps of 3000 pass 10000 at 12000 and 20000 at 21000; the initial batch never counts.
        CDataPool<Item> pool(3000, "_UNNAMED_");
        pool.SetDPoolName(std::string(300, 'P').c_str());  // cut to 255 characters
        ASSERT_TRUE(pool.Init());
        EXPECT_EQ(std::string(pool.GetDPoolName()), std::string(255, 'P'));
        pool.SetDPoolName("STEP");
        std::vector<Item*> out(21000, nullptr);
        testing::internal::CaptureStderr();
        ASSERT_EQ(pool.Get(out.data(), 11000), 11000);
        ASSERT_EQ(pool.Get(out.data() + 11000, 10000), 10000);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "STEP: Created 10000 more Objects. Total = 12000\n"
                  "STEP: Created 10000 more Objects. Total = 21000\n");
        ReleaseAll(pool, out);
    }
}

TEST(DataPoolTest, shouldGiveUpAGrowthStepAfterAHundredFailedCreations) {
    Fragile::s_nAllowed = 1 << 30;
    CDataPool<Fragile> pool(4, "_UNNAMED_");
    pool.SetDPoolName("FRAGILE");
    ASSERT_TRUE(pool.Init());
    std::vector<Fragile*> out;
    for (int i = 0; i < 4; ++i) {
        out.push_back(pool.Get());
    }

    // Single Get: 101 tries at once, then both messages.
    Fragile::s_nAllowed = Fragile::s_nBuilt;
    int attempts = Fragile::s_nAttempts;
    testing::internal::CaptureStderr();
    EXPECT_EQ(pool.Get(), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "no room: Exception occured while allocating new memory.\n"
              "FRAGILE: Data Pool Unable to obtain new Memory.\n");
    EXPECT_EQ(Fragile::s_nAttempts - attempts, 101);
    EXPECT_EQ(pool.GetTotalCreated(), 4);

    // A step that built some objects before failing still serves the caller.
    Fragile::s_nAllowed = Fragile::s_nBuilt + 2;
    testing::internal::CaptureStderr();
    out.push_back(pool.Get());
    testing::internal::GetCapturedStderr();
    EXPECT_NE(out.back(), nullptr);
    EXPECT_EQ(pool.GetTotalCreated(), 6);
    EXPECT_EQ(pool.GetNumFree(), 1);

    // Batch Get: a message per failure, then the array comes back zeroed.
    attempts = Fragile::s_nAttempts;
    Fragile* arr[3] = {out[0], out[1], out[2]};
    testing::internal::CaptureStderr();
    EXPECT_EQ(pool.Get(arr, 3), 0);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(Count(err, "no room: Exception occured while allocating new memory.\n"), 101u);
    EXPECT_EQ(Count(err, "FRAGILE: Data Pool Unable to obtain new Memory.\n"), 1u);
    EXPECT_EQ(Fragile::s_nAttempts - attempts, 101);
    EXPECT_EQ(arr[0], nullptr);
    EXPECT_EQ(arr[1], nullptr);
    EXPECT_EQ(arr[2], nullptr);
    EXPECT_EQ(pool.GetNumFree(), 1);
    ReleaseAll(pool, out);
    Fragile::s_nAllowed = 1 << 30;
}

TEST(DataPoolTest, shouldNeverHandOneObjectToTwoThreads) {
    CDataPool<Item> pool(100, "_UNNAMED_");
    ASSERT_TRUE(pool.Init());
    std::atomic<int> faults{0};  // objects handed out twice, or not at all
    auto worker = [&](int seed) {
        Item* batch[8];
        for (int i = 0; i < 3000; ++i) {
            const int n = 1 + (i + seed) % 7;
            if (pool.Get(batch, n) != n) {
                ++faults;
                continue;
            }
            batch[n] = pool.Get();
            if (batch[n] == nullptr) {
                ++faults;
                pool.Release(batch, n);
                continue;
            }
            for (int k = 0; k <= n; ++k) {
                if (batch[k]->out.exchange(true)) {
                    ++faults;
                }
            }
            for (int k = 0; k <= n; ++k) {
                batch[k]->out = false;
            }
            pool.Release(batch, n);
            pool.Release(batch[n]);
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back(worker, t);
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(faults.load(), 0);
    EXPECT_EQ(pool.GetNumFree(), pool.GetTotalCreated());
}

TEST(DataPoolTest, shouldNotAllocateOnceWarm) {
    if (!proxytest::AllocCounter::Available()) {
        GTEST_SKIP() << "the sanitizers own the allocator";
    }
    CDataPool<Item> pool(100, "_UNNAMED_");
    ASSERT_TRUE(pool.Init());
    std::vector<Item*> batch(150, nullptr);
    ASSERT_EQ(pool.Get(batch.data(), 150), 150);
    pool.Release(batch.data(), 150);

    proxytest::AllocCounter counter;
    counter.Start();
    for (int i = 0; i < 1000; ++i) {
        pool.Get(batch.data(), 150);
        Item* p = pool.Get();
        pool.Release(batch.data(), 150);
        pool.Release(p);
    }
    EXPECT_EQ(counter.Stop(), 0);
}
