// PTY_CHILD: a program run on a pseudo-terminal, for the terminal's end-to-end tests (POSIX).
//
// The child runs with the pty's slave as its controlling terminal and as standard input,
// output and error, so it sees a real terminal: raw mode, echo and Ctrl-C (typed as 0x03,
// it becomes SIGINT) behave as at a keyboard. The parent types into the master, collects
// everything the child writes, and keeps the slave open so that it can read the terminal's
// mode while the child runs and after it has ended.
//
//     PTY_CHILD term(TERMINAL_PATH, {"--cable", "sim"});
//     ASSERT_TRUE(term.wait_for_output("ready", std::chrono::seconds(5)));
//     term.type("ab\r");
//     EXPECT_EQ(term.wait_exit(std::chrono::seconds(5)), 0);
//
// Every wait takes a deadline. When a wait runs out, the harness prints what the child wrote;
// wait_exit then kills the child. The destructor kills and reaps a child that still runs.
#pragma once
#include <sys/types.h>
#include <termios.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

class PTY_CHILD {
public:
    // wait_exit's result when the child did not end in time (it has been killed).
    static constexpr int timed_out = -1000;

    // Starts path with the given arguments (argv[0] is path) and the parent's environment
    // plus extra_environment ("NAME", "value"). Fails the current test when it cannot.
    PTY_CHILD(const std::string& path, const std::vector<std::string>& arguments,
              const std::vector<std::pair<std::string, std::string>>& extra_environment = {});
    ~PTY_CHILD();
    PTY_CHILD(const PTY_CHILD&) = delete;
    PTY_CHILD& operator=(const PTY_CHILD&) = delete;

    pid_t pid() const { return m_pid; }

    // Writes bytes to the terminal as if typed.
    void type(const std::string& bytes);
    // Waits until text has appeared anywhere in the output. False when the deadline passed.
    bool wait_for_output(const std::string& text, std::chrono::milliseconds deadline);
    // Everything the child has written so far (what has reached the parent).
    const std::string& output();
    // Waits for the child to end: its exit status, -signal when a signal ended it, or
    // timed_out. Collects the output written up to the end.
    int wait_exit(std::chrono::milliseconds deadline);

    // The terminal's mode now, and the mode it had when the child started.
    termios mode() const;
    const termios& initial_mode() const { return m_initial_mode; }

private:
    // Moves what the child wrote into m_output, waiting at most timeout_ms for the first byte.
    void collect(int timeout_ms);
    void report(const char* what);

    int m_master = -1;
    int m_slave = -1;
    pid_t m_pid = -1;
    bool m_reaped = false;
    int m_status = 0;
    std::string m_output;
    termios m_initial_mode{};
};

// Whether two terminal modes are the same in every flag and control character.
bool same_mode(const termios& a, const termios& b);
// The flags and control characters of a mode, for failure messages.
std::string describe_mode(const termios& mode);
