// Child processes and /proc figures for the benchmarks that time the real programs.
#pragma once
#include <chrono>
#include <string>
#include <vector>

// A varnax-server started on a free loopback port; it dies with the benchmark.
struct SERVER_CHILD {
    int pid = -1;
    std::string address;  // "127.0.0.1:PORT"
};

// Starts the server with these options plus --listen 127.0.0.1:0 --quiet --no-commands, and
// waits for its "listening" line. False (with *error) when it does not come up.
bool server_start(const std::vector<std::string>& options, SERVER_CHILD* server,
                  std::string* error);
// SIGTERM, then SIGKILL when it has not ended within two seconds; reaps it.
void server_stop(SERVER_CHILD* server);

// Starts argv[0] with standard input from stdin_fd, standard output to stdout_fd and one more
// "NAME=VALUE" in its environment. Returns the pid, or -1.
int child_start(const std::vector<std::string>& argv, const std::string& env, int stdin_fd,
                int stdout_fd);

// What the kernel counts for a process, summed over its threads.
struct PROC_FIGURES {
    double cpu_secs = 0;  // user + system time (/proc counts whole clock ticks, often 10 ms)
    double run_secs = 0;  // time on a CPU as the scheduler counts it, to the nanosecond
    long voluntary = 0;   // context switches the threads asked for (sleeps, blocking calls)
    long involuntary = 0;
};

// Waits for the child to end; kills it when it is still running after limit. Returns its exit
// status, or -1 when it had to be killed or was ended by a signal. *used (when given) gets what
// the child used over its whole life.
int child_wait(int pid, std::chrono::milliseconds limit, PROC_FIGURES* used = nullptr);

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
