#include "qrx/runtime/mutex_lock.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace {

// Whether another thread could take the lock at this moment.
int TryLockFromOtherThread(const KoMutexLock& lock) {
    int rc = -1;
    std::thread t([&] {
        rc = lock.trylock();
        if (rc == 0) {
            lock.unlock();
        }
    });
    t.join();
    return rc;
}

// Holds a lock on its own thread until released.
class Holder {
public:
    explicit Holder(const KoMutexLock& lock)
        : m_thread([this, &lock] {
              lock.lock();
              std::unique_lock<std::mutex> g(m_m);
              m_bHeld = true;
              m_cv.notify_all();
              m_cv.wait(g, [this] { return m_bRelease; });
              lock.unlock();
          }) {
        std::unique_lock<std::mutex> g(m_m);
        m_cv.wait_for(g, std::chrono::seconds(30), [this] { return m_bHeld; });
    }
    bool Held() {
        std::lock_guard<std::mutex> g(m_m);
        return m_bHeld;
    }
    ~Holder() {
        {
            std::lock_guard<std::mutex> g(m_m);
            m_bRelease = true;
        }
        m_cv.notify_all();
        m_thread.join();
    }

private:
    std::mutex m_m;
    std::condition_variable m_cv;
    bool m_bHeld = false;
    bool m_bRelease = false;
    std::thread m_thread;
};

}  // namespace

TEST(MutexLockTest, shouldInitialiseAndReportSuccessWhenUnlockingAnUnusedLock) {
    KoMutexLock lock;
    EXPECT_EQ(lock.destroy(), 0);
    EXPECT_EQ(lock.destroy(), 0);
    // Never initialised since: unlock only initialises it.
    EXPECT_EQ(lock.unlock(), 0);
    EXPECT_EQ(lock.init(), 0);
    EXPECT_EQ(TryLockFromOtherThread(lock), 0);

    // A destroyed lock initialises itself again when locked.
    EXPECT_EQ(lock.destroy(), 0);
    EXPECT_EQ(lock.lock(), 0);
    EXPECT_EQ(TryLockFromOtherThread(lock), EBUSY);
    EXPECT_EQ(lock.unlock(), 0);
}

TEST(MutexLockTest, shouldReleaseTheLockWhenTheGuardLeavesItsScope) {
    const KoMutexLock lock;
    {
        KoGuard guard(lock);
        EXPECT_TRUE(guard.IsLocked());
        EXPECT_EQ(TryLockFromOtherThread(lock), EBUSY);
    }
    EXPECT_EQ(TryLockFromOtherThread(lock), 0);
    // A second guard in the same thread can be taken afterwards.
    KoGuard second(lock);
    EXPECT_EQ(TryLockFromOtherThread(lock), EBUSY);
}

TEST(MutexLockTest, shouldNotUnlockAgainAfterAnEarlyUnlock) {
    KoMutexLock lock;
    auto guard = std::make_unique<KoGuard>(lock);
    guard->unlock();
    EXPECT_FALSE(guard->IsLocked());
    guard->unlock();  // a second early unlock does nothing either
    {
        Holder other(lock);
        ASSERT_TRUE(other.Held());
        // The guard ends while another thread holds the lock: that hold must stay.
        guard.reset();
        EXPECT_EQ(lock.trylock(), EBUSY);
    }
    EXPECT_EQ(TryLockFromOtherThread(lock), 0);
}

TEST(MutexLockTest, shouldHoldTheLockAgainAfterRelock) {
    KoMutexLock lock;
    {
        KoGuard guard(lock);
        guard.unlock();
        EXPECT_EQ(TryLockFromOtherThread(lock), 0);
        guard.relock();
        guard.relock();  // already held: must not deadlock on the non-recursive lock
        EXPECT_TRUE(guard.IsLocked());
        EXPECT_EQ(TryLockFromOtherThread(lock), EBUSY);
    }
    EXPECT_EQ(TryLockFromOtherThread(lock), 0);
}

namespace {

void* LockAndExitThroughCleanup(void* arg) {
    pthread_mutex_t* m = static_cast<pthread_mutex_t*>(arg);
    pthread_mutex_lock(m);
    pthread_cleanup_push(ko_unlockOnExit, m);
    pthread_exit(nullptr);
    pthread_cleanup_pop(0);
    return nullptr;
}

}  // namespace

TEST(MutexLockTest, shouldUnlockThroughTheCleanupHandlerWhenAThreadExits) {
    pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, nullptr, LockAndExitThroughCleanup, &m), 0);
    ASSERT_EQ(pthread_join(thread, nullptr), 0);
    EXPECT_EQ(pthread_mutex_trylock(&m), 0);
    pthread_mutex_unlock(&m);
    ko_unlockOnExit(nullptr);  // ignored
    pthread_mutex_destroy(&m);
}
