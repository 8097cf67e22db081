// CHILD_PROCESS: the one way tests and benchmarks run a child process. It starts a program (or a
// piece of the test itself, in a copy of the test process), feeds its standard input, collects
// standard output and standard error apart, and tells how the child ended: an exit status or
// the signal that ended it, never one encoded as the other.
//
//     CHILD_SETUP setup;
//     setup.environment = {{"JTAG_VARNAX_SERVER", address}};
//     CHILD_PROCESS term(TERMINAL_PATH, {"-q"}, setup);
//     ASSERT_TRUE(term.write_input("ab\r", 5s));
//     term.send_signal(SIGINT);
//     EXPECT_EQ(term.wait_exit(20s), exited(0));
//     EXPECT_EQ(term.out(), "...");
//
// With setup.terminal the child runs on a pseudo-terminal instead: it is the child's
// controlling terminal and all three standard streams, so raw mode, echo and Ctrl-C (typed as
// 0x03, it becomes SIGINT) behave as at a keyboard; what it writes is in out().
//
// Every wait takes a deadline. When one runs out, the harness prints what the child wrote on
// standard error; wait_exit then kills the child. The destructor kills and reaps a child that
// still runs, and a child dies with the process that started it. The operating system's part
// lives in process-harness-posix.cpp; this header stays free of system headers.
#pragma once
#include <chrono>
#include <cstddef>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// How a child ended. A child that never started, or that the harness killed when a deadline
// passed, ended neither way: not_ended.
struct EXIT_STATUS {
    bool signalled = false;  // code is then the number of the signal that ended the child
    int code = -1;           // the exit status; -1 (not signalled) when it did not end

    bool operator==(const EXIT_STATUS& other) const {
        return signalled == other.signalled && code == other.code;
    }
    bool operator!=(const EXIT_STATUS& other) const { return !(*this == other); }
};

inline EXIT_STATUS exited(int code) { return {false, code}; }
inline EXIT_STATUS killed_by(int signal) { return {true, signal}; }
const EXIT_STATUS not_ended{false, -1};

// "exited with 0", "killed by signal 15", "did not end": for messages, and for GoogleTest.
std::string describe(const EXIT_STATUS& status);
std::ostream& operator<<(std::ostream& out, const EXIT_STATUS& status);

struct CHILD_SETUP {
    // pipe: written by write_input (input), collected into out()/err() (output and error).
    // null: the null device. file: the named file (an output file is replaced, or added to
    // with append). inherit: the parent's own stream. descriptor: input from this descriptor
    // of the parent (a socket, a pipe whose writer the test holds).
    enum class STREAM { pipe, null, file, inherit, descriptor };
    STREAM input = STREAM::pipe;
    STREAM output = STREAM::pipe;
    STREAM error = STREAM::pipe;
    std::string input_file;
    std::string output_file;
    std::string error_file;
    bool append = false;
    int input_descriptor = -1;

    // A pseudo-terminal for all three streams (the settings above are then not used).
    bool terminal = false;

    std::string directory;  // the child's working directory; empty: the parent's own
    std::optional<std::string> argv0;  // argv[0] (may be empty); none: the path
    std::vector<std::pair<std::string, std::string>> environment;  // set on top of the parent's
};

// The setup of the pseudo-terminal variant, with these variables in the environment.
CHILD_SETUP on_terminal(std::vector<std::pair<std::string, std::string>> environment = {});

// What a child used over its whole life, known once it has been reaped.
struct CHILD_USAGE {
    double cpu_secs = 0;  // user + system time
    long voluntary = 0;   // context switches it asked for (sleeps, blocking calls)
    long involuntary = 0;
};

class CHILD_PROCESS {
public:
    // Starts path (a name without a slash is looked up in PATH) with the arguments (argv[0]
    // apart). Says why on standard error when it cannot;
    // wait_exit then returns not_ended.
    CHILD_PROCESS(const std::string& path, const std::vector<std::string>& arguments,
                  const CHILD_SETUP& setup = {});
    // Runs body in a copy of this process; what body returned is report(). For code that ends
    // or takes over the process (exit paths, the process's own descriptors). When body returns,
    // the copy exits 0 at once: what stdio still buffers is not written.
    explicit CHILD_PROCESS(const std::function<std::string()>& body,
                           const CHILD_SETUP& setup = {});
    ~CHILD_PROCESS();
    CHILD_PROCESS(const CHILD_PROCESS&) = delete;
    CHILD_PROCESS& operator=(const CHILD_PROCESS&) = delete;

    bool started() const { return m_pid > 0; }
    int pid() const { return m_pid; }
    // Sends the signal to a child that has not been reaped yet.
    bool send_signal(int signal);

    // Writes all bytes to standard input (or types them on the terminal); false when the
    // deadline passes or the child has closed it. Output is collected meanwhile, so a child
    // that writes is never stuck.
    bool write_input(const std::string& bytes, std::chrono::milliseconds deadline);
    // Writes what standard input takes now: bytes taken, -1 when the child has closed it.
    long write_some_input(const char* data, std::size_t size);
    // Waits at most timeout until standard input has room, without reading any output, so
    // that a second thread can type while the first reads. False when the time ran out.
    bool wait_for_input_room(std::chrono::milliseconds timeout);
    // Closes standard input (not on a terminal: there it is also where the output comes from).
    void close_input();

    // Reads at most max_bytes of standard output (and whatever standard error has), waiting at
    // most timeout for the first byte. Returns the bytes read from standard output.
    std::size_t read_output(std::size_t max_bytes, std::chrono::milliseconds timeout);
    // Waits until text has appeared on standard output (or standard error).
    bool wait_for_output(const std::string& text, std::chrono::milliseconds deadline);
    bool wait_for_error(const std::string& text, std::chrono::milliseconds deadline);
    // The next whole line of standard output that next_line has not returned yet, without its
    // newline. False when the deadline passes or the output ends first.
    bool next_line(std::string* line, std::chrono::milliseconds deadline);
    // Everything collected so far.
    const std::string& out() const { return m_out; }
    const std::string& err() const { return m_err; }
    const std::string& report() const { return m_report; }
    // Forgets the standard output collected so far (a long transfer is checked piece by piece).
    void clear_output();

    // Waits for the child to end and collects its output to the end; not_ended when the
    // deadline passed (the child has then been killed).
    EXIT_STATUS wait_exit(std::chrono::milliseconds deadline);
    // Whether the child ends within the deadline, looked at without reaping it and without
    // reading its output (a test of a child whose output nobody reads).
    bool ends_within(std::chrono::milliseconds deadline);
    // What the child used over its life; zeros before wait_exit.
    const CHILD_USAGE& usage() const { return m_usage; }
    // The processor time the running child has used so far (user and system), in seconds.
    double cpu_seconds() const;

    // The system's part: descriptors and the terminal (process-harness-posix.cpp).
    struct SYSTEM;
    const SYSTEM& system() const { return *m_system; }

private:
    void start(const std::string& path, const std::vector<std::string>& arguments,
               const std::function<std::string()>* body, const CHILD_SETUP& setup);
    // Moves what the child wrote into m_out, m_err and m_report: at most max_out bytes of
    // standard output, waiting at most timeout_ms for something to come.
    std::size_t collect(int timeout_ms, std::size_t max_out);
    // Whether standard output (and error) can still bring something.
    bool output_open() const;
    // Reaps the child if it has ended (without waiting); true once it has been reaped.
    bool reaped();
    void kill_and_reap();
    bool wait_for(const std::string& text, const std::string& stream,
                  std::chrono::milliseconds deadline);
    void tell(const std::string& what) const;

    std::unique_ptr<SYSTEM> m_system;
    int m_pid = -1;
    bool m_reaped = false;
    EXIT_STATUS m_status = not_ended;
    CHILD_USAGE m_usage;
    std::string m_out;
    std::string m_err;
    std::string m_report;
    std::size_t m_line_start = 0;  // where next_line goes on in m_out
};

// The pids of a running process's own children (the target programs a server started, say).
std::vector<int> children_of(int pid);
