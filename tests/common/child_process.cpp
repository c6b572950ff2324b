#include "common/child_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>

ChildResult RunInChild(const std::function<int()>& body) {
    ChildResult result;
    int fds[2];
    if (pipe(fds) != 0) {
        return result;
    }
    std::cerr.flush();
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        dup2(fds[1], 2);
        close(fds[1]);
        int rc = body();
        std::cerr.flush();
        fflush(stderr);
        _exit(rc);
    }
    close(fds[1]);
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof(buf))) > 0) {
        result.stderrText.append(buf, static_cast<size_t>(n));
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) {
        result.exitCode = WEXITSTATUS(status);
    }
    return result;
}

// The child is a fresh run of this test binary, filtered to the current test
// and told by QRX_TEST_CHILD which of the test's RunChildWithin calls to
// carry out; so no value cached by the parent reaches it.
ChildRun RunChildWithin(const std::function<int()>& body, int timeout_s) {
    static std::string s_test;
    static int s_call = 0;
    const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
    const std::string test =
        info ? std::string(info->test_suite_name()) + "." + info->name() : std::string();
    if (test != s_test) {
        s_test = test;
        s_call = 0;
    }
    const int call = s_call++;

    if (const char* target = getenv("QRX_TEST_CHILD")) {
        ChildRun skipped;
        if (atoi(target) != call) {
            skipped.exitCode = 0;
            return skipped;
        }
        const int rc = body();
        std::cerr.flush();
        fflush(stderr);
        _exit(rc);
    }

    ChildRun result;
    int fds[2];
    if (pipe(fds) != 0) {
        return result;
    }
    const std::string filter = "--gtest_filter=" + test;
    const std::string target = std::to_string(call);
    std::cerr.flush();
    fflush(stdout);
    fflush(stderr);
    const pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return result;
    }
    if (pid == 0) {
        close(fds[0]);
        dup2(fds[1], 2);
        close(fds[1]);
        const int devnull = open("/dev/null", O_WRONLY);
        if (devnull >= 0) {
            dup2(devnull, 1);
        }
        setenv("QRX_TEST_CHILD", target.c_str(), 1);
        execl("/proc/self/exe", "/proc/self/exe", filter.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
    char buf[4096];
    for (;;) {
        const long long left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                   deadline - std::chrono::steady_clock::now())
                                   .count();
        pollfd in = {fds[0], POLLIN, 0};
        if (left <= 0 || poll(&in, 1, static_cast<int>(left)) == 0) {
            result.timedOut = true;
            kill(pid, SIGKILL);
            break;
        }
        const ssize_t n = read(fds[0], buf, sizeof buf);
        if (n > 0) {
            result.err.append(buf, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) {
        result.exitCode = WEXITSTATUS(status);
    }
    return result;
}
