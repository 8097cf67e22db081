// PIPED_CHILD: a program run with pipes for its standard streams, for end-to-end tests (POSIX).
//
// Standard output and standard error are captured apart, byte for byte; standard input is a
// pipe the test writes to and may close, /dev/null, or a file. The test can read standard
// output slowly (read_output with a limit) to hold the child back.
//
//     PIPED_CHILD term(TERMINAL_PATH, {"-q"}, {{"JTAG_VARNAX_SERVER", address}});
//     ASSERT_TRUE(term.write_input("ab\r", 5s));
//     kill(term.pid(), SIGINT);
//     EXPECT_EQ(term.wait_exit(20s), 0);
//     EXPECT_EQ(term.out(), "...");
//
// Every wait takes a deadline. When one runs out, the harness prints what the child wrote;
// wait_exit then kills the child. The destructor kills and reaps a child that still runs.
#pragma once
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

struct CHILD_SETUP {
    enum class Input { pipe, null, file };
    Input input = Input::pipe;
    std::string input_file;  // read as standard input with Input::file
    std::string directory;   // the child's working directory; empty: the test's own
    std::string argv0;       // argv[0]; empty: the path
    std::vector<std::pair<std::string, std::string>> environment;  // added to the test's own
};

class PIPED_CHILD {
public:
    // wait_exit's result when the child did not end in time (it has been killed).
    static constexpr int timed_out = -1000;

    // Starts path with the arguments (argv[0] apart). Fails the current test when it cannot.
    PIPED_CHILD(const std::string& path, const std::vector<std::string>& arguments,
                const CHILD_SETUP& setup = {});
    ~PIPED_CHILD();
    PIPED_CHILD(const PIPED_CHILD&) = delete;
    PIPED_CHILD& operator=(const PIPED_CHILD&) = delete;

    pid_t pid() const { return m_pid; }

    // Writes all bytes to standard input; false when the deadline passes or the child has
    // closed it. Output is collected meanwhile, so a child that writes is never stuck.
    bool write_input(const std::string& bytes, std::chrono::milliseconds deadline);
    // Writes what the pipe takes now: bytes taken, -1 when the child has closed it.
    long write_some_input(const char* data, std::size_t size);
    void close_input();

    // Reads at most max_bytes of standard output (and whatever standard error has), waiting at
    // most timeout for the first byte. Returns the bytes read from standard output.
    std::size_t read_output(std::size_t max_bytes, std::chrono::milliseconds timeout);
    // Waits until text has appeared on standard output (or standard error).
    bool wait_for_output(const std::string& text, std::chrono::milliseconds deadline);
    bool wait_for_error(const std::string& text, std::chrono::milliseconds deadline);
    const std::string& out() const { return m_out; }
    const std::string& err() const { return m_err; }
    // Forgets the standard output collected so far (a long transfer is checked piece by piece).
    void clear_output() { m_out.clear(); }

    // Waits for the child to end: its exit status, -signal when a signal ended it, or
    // timed_out. Collects both streams to their end.
    int wait_exit(std::chrono::milliseconds deadline);
    // The processor time the child has used so far (user and system), in seconds.
    double cpu_seconds() const;

private:
    // Moves what the child wrote into m_out and m_err: at most max_out bytes of standard
    // output, waiting at most timeout_ms for something to come.
    std::size_t collect(int timeout_ms, std::size_t max_out);
    bool wait_for(const std::string& text, const std::string& stream,
                  std::chrono::milliseconds deadline);
    void report(const std::string& what) const;

    pid_t m_pid = -1;
    bool m_reaped = false;
    int m_status = 0;
    int m_input = -1;
    int m_output = -1;
    int m_error = -1;
    std::string m_out;
    std::string m_err;
};
