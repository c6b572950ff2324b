// Runs a function in a child process with its standard error captured, so that
// process-wide state (cached environment switches, the logger) starts fresh.
#pragma once

#include <functional>
#include <string>

struct ChildResult {
    int exitCode = -1;  // -1 when the child did not exit normally
    std::string stderrText;
};

ChildResult RunInChild(const std::function<int()>& body);

// A body run in a fresh process (a new run of this test binary, so values the
// library caches per process start fresh), its standard error captured; killed
// when it outlives timeout_s. The child runs the calling test from its start up
// to the matching call: keep set-up and clean-up inside the body.
struct ChildRun {
    int exitCode = -1;  // -1: no normal exit
    bool timedOut = false;
    std::string err;
};
ChildRun RunChildWithin(const std::function<int()>& body, int timeout_s);
