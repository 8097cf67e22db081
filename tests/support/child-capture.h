// Runs a piece of test code in a forked child and captures how it ends and what it printed.
#pragma once
#include <functional>
#include <string>

struct CHILD_RESULT {
    int status = -1;  // exit status, or -signal when a signal ended the child
    std::string out;  // standard output
    std::string err;  // standard error
};

// The child runs body, flushes stdio and exits 0 if body returns. Gives up (killing the
// child) after timeout_ms.
CHILD_RESULT run_in_child(const std::function<void()>& body, int timeout_ms = 10000);
