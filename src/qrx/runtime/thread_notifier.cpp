#include "qrx/runtime/thread_notifier.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace {

bool SetNonBlocking(int fd) {
    int flags = fcntl(fd, F_GETFL, 0);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool SetCloseOnExec(int fd) {
    int flags = fcntl(fd, F_GETFD, 0);
    return flags >= 0 && fcntl(fd, F_SETFD, flags | FD_CLOEXEC) == 0;
}

}  // namespace

ThreadNotifier::ThreadNotifier() : m_arrFds{-1, -1} {}

ThreadNotifier::~ThreadNotifier() {
    Close();
}

bool ThreadNotifier::Init() {
    if (IsOpen()) {
        return true;
    }
    Close();
    int fds[2] = {-1, -1};
    if (pipe(fds) != 0) {
        std::fprintf(stderr, "Error:%d Could not initialize pipe\n", errno);
        return false;
    }
    for (int fd : fds) {
        if (!SetNonBlocking(fd) || !SetCloseOnExec(fd)) {
            int err = errno;
            close(fds[0]);
            close(fds[1]);
            std::fprintf(stderr, "Error:%d Could not initialize pipe\n", err);
            return false;
        }
    }
    m_arrFds[0] = fds[0];
    m_arrFds[1] = fds[1];
    return true;
}

void ThreadNotifier::Close() {
    for (int& fd : m_arrFds) {
        if (fd >= 0) {
            close(fd);
            fd = -1;
        }
    }
}

bool ThreadNotifier::Notify() {
    if (m_arrFds[1] < 0) {
        return false;
    }
    for (;;) {
        ssize_t n = write(m_arrFds[1], "1", 1);
        if (n == 1) {
            return true;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
}

void ThreadNotifier::Clear() {
    if (m_arrFds[0] < 0) {
        return;
    }
    char chunk[1024];
    for (;;) {
        ssize_t n = read(m_arrFds[0], chunk, sizeof(chunk));
        if (n > 0) {
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return;
    }
}
