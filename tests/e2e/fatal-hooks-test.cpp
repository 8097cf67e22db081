// The fatal-error hooks in a real process: the line on standard error, what standard output
// held before it, and the exit status.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>

#include "tests/support/process-harness.h"

namespace {

using namespace std::chrono_literals;

struct RUN {
    std::string out;
    std::string errors;
    EXIT_STATUS status;
};

// Runs the probe with its standard output and error on pipes (standard output is then fully
// buffered in the probe).
RUN run_probe(const std::string& scenario) {
    CHILD_SETUP setup;
    setup.input = CHILD_SETUP::STREAM::null;
    CHILD_PROCESS probe(FATAL_PROBE_PATH, {scenario}, setup);
    RUN run;
    run.status = probe.wait_exit(20s);
    run.out = probe.out();
    run.errors = probe.err();
    return run;
}

std::string se_line(int code) {
    return "Fatal error: SE " + std::to_string(code) +
           " thrown. The Ostrand software will now exit.\n";
}
const std::string terminate_line =
    "Fatal error: Program termination requested. The Ostrand software will now exit.\n";
const std::string recursion_line = "\n*** Internal Error: Recursive termination requested.\n";
const std::string incomplete_line =
    "\n*** Fatal Error: Failed to complete termination procedures\n";

TEST(FatalHooks, EndWithOneLineAndStatusTwo) {
    struct CASE {
        const char* scenario;
        std::string errors;
    } cases[] = {
        {"segv-main", se_line(-1073741819)},
        {"segv-thread", se_line(-1073741819)},
        {"overflow", se_line(-1073741819)},  // reported from the thread's own signal stack
        {"bus", se_line(-1073741819)},
        {"ill", se_line(-1073741795)},
        {"fpe", se_line(-1073741676)},
        {"throw-main", se_line(-529697949)},
        {"throw-thread", se_line(-529697949)},
        {"null-record", se_line(-1)},
        {"terminate", terminate_line},
        {"terminator-throws", incomplete_line},
        {"terminator-faults", incomplete_line},
        {"terminator-recurses", recursion_line},
        {"fault-while-terminating", recursion_line},
        {"seh-retry", "callback -1073741819 with details\n" + recursion_line},
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.scenario);
        RUN run = run_probe(c.scenario);
        EXPECT_EQ(run.errors, c.errors);
        // What standard output held is written before the process ends.
        EXPECT_EQ(run.out, "before");
        EXPECT_EQ(run.status, exited(2));
    }
}

TEST(FatalHooks, LeaveTheEndToTheSystemWhenACallbackDecides) {
    // A terminator callback that returns: the runtime aborts.
    RUN run = run_probe("terminator-returns");
    EXPECT_EQ(run.errors, "terminator returns\n");
    EXPECT_EQ(run.status, killed_by(SIGABRT));
    // A filter callback that passes the fault on: the fault ends the process as usual.
    run = run_probe("seh-search");
    EXPECT_EQ(run.errors, "");
    EXPECT_EQ(run.status, killed_by(SIGSEGV));
}

}  // namespace
