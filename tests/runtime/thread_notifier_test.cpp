#include "qrx/runtime/thread_notifier.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/select.h>

#include <cerrno>
#include <thread>

namespace {

// Whether the read end is readable, waiting at most timeoutMs.
int Readable(int fd, int timeoutMs) {
    pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, timeoutMs);
}

bool IsClosed(int fd) {
    return fcntl(fd, F_GETFD) == -1 && errno == EBADF;
}

}  // namespace

TEST(ThreadNotifierTest, shouldWakeASelectFromAnotherThread) {
    ThreadNotifier notifier;
    ASSERT_TRUE(notifier.Init());
    std::thread waker([&] { EXPECT_TRUE(notifier.Notify()); });
    fd_set readSet;
    FD_ZERO(&readSet);
    FD_SET(notifier.Fd(), &readSet);
    timeval bound = {30, 0};  // only a bound: the wake-up ends the wait
    int ready = select(notifier.Fd() + 1, &readSet, nullptr, nullptr, &bound);
    waker.join();
    ASSERT_EQ(ready, 1);
    EXPECT_TRUE(FD_ISSET(notifier.Fd(), &readSet));

    notifier.Clear();
    EXPECT_EQ(Readable(notifier.Fd(), 0), 0);
}

TEST(ThreadNotifierTest, shouldNeitherBlockOnAFullPipeNorOnAnEmptyOne) {
    ThreadNotifier notifier;
    ASSERT_TRUE(notifier.Init());
    EXPECT_NE(fcntl(notifier.Fd(), F_GETFL) & O_NONBLOCK, 0);
    EXPECT_NE(fcntl(notifier.WriteFd(), F_GETFL) & O_NONBLOCK, 0);

    notifier.Clear();  // empty: returns at once
    // Far more bytes than a pipe holds.
    for (int i = 0; i < 200000; ++i) {
        ASSERT_TRUE(notifier.Notify()) << i;
    }
    EXPECT_EQ(Readable(notifier.Fd(), 0), 1);
    notifier.Clear();
    EXPECT_EQ(Readable(notifier.Fd(), 0), 0);
    EXPECT_TRUE(notifier.Notify());
    EXPECT_EQ(Readable(notifier.Fd(), 0), 1);
}

TEST(ThreadNotifierTest, shouldDoNothingHarmfulBeforeInitOrAfterClose) {
    ThreadNotifier notifier;
    EXPECT_EQ(notifier.Fd(), -1);
    EXPECT_FALSE(notifier.IsOpen());
    EXPECT_FALSE(notifier.Notify());
    notifier.Clear();
    notifier.Close();

    ASSERT_TRUE(notifier.Init());
    const int readFd = notifier.Fd();
    const int writeFd = notifier.WriteFd();
    ASSERT_TRUE(notifier.Init());  // open already: the same pipe stays
    EXPECT_EQ(notifier.Fd(), readFd);
    EXPECT_EQ(notifier.WriteFd(), writeFd);

    notifier.Close();
    EXPECT_TRUE(IsClosed(readFd));
    EXPECT_TRUE(IsClosed(writeFd));
    EXPECT_EQ(notifier.Fd(), -1);
    EXPECT_FALSE(notifier.Notify());
    notifier.Close();

    ASSERT_TRUE(notifier.Init());  // can be opened again
    EXPECT_TRUE(notifier.Notify());
    EXPECT_EQ(Readable(notifier.Fd(), 0), 1);
}

TEST(ThreadNotifierTest, shouldCloseBothEndsWhenDestroyed) {
    int readFd = -1;
    int writeFd = -1;
    {
        ThreadNotifier notifier;
        ASSERT_TRUE(notifier.Init());
        readFd = notifier.Fd();
        writeFd = notifier.WriteFd();
        EXPECT_FALSE(IsClosed(readFd));
    }
    EXPECT_TRUE(IsClosed(readFd));
    EXPECT_TRUE(IsClosed(writeFd));
}
