// The fatal-error hooks in a real process: the line on standard error, what standard output
// held before it, and the exit status.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

namespace {

using namespace std::chrono_literals;

struct RUN {
    std::string out;
    std::string errors;
    int status = -1000;  // exit status, or -signal
};

// Runs the probe with its standard output and error on pipes (standard output is then fully
// buffered in the probe). A probe that outlives the deadline is killed and what it wrote shown.
RUN run_probe(const std::string& scenario) {
    RUN run;
    int out_pipe[2], error_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(error_pipe) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return run;
    }
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out_pipe[1], 1);
        dup2(error_pipe[1], 2);
        close(out_pipe[0]);
        close(error_pipe[0]);
        execl(FATAL_PROBE_PATH, FATAL_PROBE_PATH, scenario.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out_pipe[1]);
    close(error_pipe[1]);
    pollfd wanted[2] = {{out_pipe[0], POLLIN, 0}, {error_pipe[0], POLLIN, 0}};
    std::string* texts[2] = {&run.out, &run.errors};
    auto end = std::chrono::steady_clock::now() + 20s;
    int open_count = 2;
    while (open_count > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(pid, SIGKILL);
            ADD_FAILURE() << "the probe did not end; stdout: " << run.out
                          << "\nstderr: " << run.errors;
            break;
        }
        if (poll(wanted, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (wanted[i].fd < 0 || wanted[i].revents == 0) continue;
            char block[4096];
            ssize_t n = read(wanted[i].fd, block, sizeof block);
            if (n > 0) {
                texts[i]->append(block, static_cast<size_t>(n));
            } else {
                close(wanted[i].fd);
                wanted[i].fd = -1;
                --open_count;
            }
        }
    }
    for (const pollfd& p : wanted) {
        if (p.fd >= 0) close(p.fd);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
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
        EXPECT_EQ(run.status, 2);
    }
}

TEST(FatalHooks, LeaveTheEndToTheSystemWhenACallbackDecides) {
    // A terminator callback that returns: the runtime aborts.
    RUN run = run_probe("terminator-returns");
    EXPECT_EQ(run.errors, "terminator returns\n");
    EXPECT_EQ(run.status, -SIGABRT);
    // A filter callback that passes the fault on: the fault ends the process as usual.
    run = run_probe("seh-search");
    EXPECT_EQ(run.errors, "");
    EXPECT_EQ(run.status, -SIGSEGV);
}

}  // namespace
