// The server, /proc figures and temporary files for the benchmarks that time the real programs.
// They run their children with CHILD_PROCESS (tests/support/process-harness.h).
#pragma once
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/process-harness.h"

// The terminal a benchmark runs: the one built with it (built), or the one named by the
// environment variable BENCH_TERMINAL, so that another version of the terminal is measured by
// the same benchmark in the same run.
std::string terminal_under_test(const char* built);
// The same for the server, named by BENCH_SERVER.
std::string server_under_test(const char* built);

// A varnax-server started on a free loopback port; it dies with the benchmark.
struct SERVER_CHILD {
    std::unique_ptr<CHILD_PROCESS> process;
    std::string address;  // "127.0.0.1:PORT"
    int pid() const { return process->pid(); }
};

// Starts the server with these options plus --listen 127.0.0.1:0 --quiet --no-commands, and
// waits for its "listening" line. False (with *error) when it does not come up. With a
// log_file the server logs there instead of running quiet.
bool server_start(const std::vector<std::string>& options, SERVER_CHILD* server,
                  std::string* error, const std::string& log_file = "");
// SIGTERM, then SIGKILL when it has not ended within two seconds; reaps it.
void server_stop(SERVER_CHILD* server);

// What the kernel counts for a process, summed over its threads.
struct PROC_FIGURES {
    double cpu_secs = 0;  // user + system time (/proc counts whole clock ticks, often 10 ms)
    double run_secs = 0;  // time on a CPU as the scheduler counts it, to the nanosecond
    long voluntary = 0;   // context switches the threads asked for (sleeps, blocking calls)
    long involuntary = 0;
};

// What a reaped child used over its whole life, as PROC_FIGURES.
PROC_FIGURES figures_of(const CHILD_USAGE& usage);

// The figures of a running process, read from /proc.
bool proc_figures(int pid, PROC_FIGURES* figures);

// A new file in a fresh temporary folder (removed by temp_cleanup) with this content.
std::string temp_file(const std::string& name, const std::string& content);
void temp_cleanup();

// The median of a few runs, and their range.
struct SPREAD {
    double median = 0, low = 0, high = 0;
};
SPREAD spread_of(std::vector<double> values);

// Milliseconds since start, and the time left until a deadline (never negative).
double ms_since(std::chrono::steady_clock::time_point start);
std::chrono::milliseconds left_until(std::chrono::steady_clock::time_point deadline);
// Waits until text has appeared on the screen after position from; false at the deadline.
bool wait_for_echo(CHILD_PROCESS& term, const std::string& text, std::size_t from,
                   std::chrono::steady_clock::time_point deadline);
// Types keys letters one at a time into a terminal whose target echoes them, each after the last
// one's echo and a random 50 to 350 ms, and prints the median, 90th percentile and maximum time
// from the key to its echo on the screen. False (said on standard error, after program's name)
// when an echo does not come within two seconds.
bool time_keys(CHILD_PROCESS& term, int keys, const char* program);
