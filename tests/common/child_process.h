// Runs a function in a forked child with its standard error captured, so that
// process-wide state (cached environment switches, the logger) starts fresh.
#pragma once

#include <functional>
#include <string>

struct ChildResult {
    int exitCode = -1;  // -1 when the child did not exit normally
    std::string stderrText;
};

ChildResult RunInChild(const std::function<int()>& body);
