// The console channel on a real terminal: raw while it exists, given back exactly on every way out.
#include <signal.h>
#include <termios.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>

#include "tests/support/process-harness.h"
#include "tests/support/terminal-mode.h"

namespace {

using namespace std::chrono_literals;

// The mode the channel is to set: the terminal's own mode with line editing, echo, CR/NL
// translation, flow control and the quit and suspend keys off; signals and output alone.
termios expected_raw(termios mode) {
    mode.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHONL | IEXTEN);
    mode.c_iflag &= ~static_cast<tcflag_t>(ICRNL | INLCR | IGNCR | IXON);
    mode.c_cc[VQUIT] = _POSIX_VDISABLE;
    mode.c_cc[VSUSP] = _POSIX_VDISABLE;
    mode.c_cc[VMIN] = 1;
    mode.c_cc[VTIME] = 0;
    return mode;
}

TEST(ConsoleMode, IsRawWhileTheChannelLivesAndComesBackOnEveryWayOut) {
    enum class Trigger { key_q, sigterm, sighup, ctrl_c };
    struct CASE {
        const char* way;
        Trigger trigger;
        EXIT_STATUS status;
        const char* shows;  // a text the way out leaves on the screen
    } cases[] = {
        {"destroy", Trigger::key_q, exited(0), "destroyed"},
        {"exit", Trigger::key_q, exited(0), "[71]"},
        {"abort", Trigger::key_q, killed_by(SIGABRT), "tarvik-terminal: console-probe:7: abort\r\n"},
        {"segv", Trigger::key_q, exited(2),
         "Fatal error: SE -1073741819 thrown. The Ostrand software will now exit.\r\n"},
        {"wait", Trigger::sigterm, killed_by(SIGTERM), "ready"},
        {"wait", Trigger::sighup, killed_by(SIGHUP), "ready"},
        {"wait", Trigger::ctrl_c, killed_by(SIGINT), "ready"},
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE(std::string(c.way) + " " + std::to_string(static_cast<int>(c.trigger)));
        CHILD_PROCESS probe(CONSOLE_PROBE_PATH, {c.way}, on_terminal());
        ASSERT_TRUE(probe.wait_for_output("ready\r\n", 10s));
        EXPECT_TRUE(same_mode(terminal_mode(probe), expected_raw(initial_terminal_mode(probe))))
            << "raw:      " << describe_mode(terminal_mode(probe))
            << "\nexpected: " << describe_mode(expected_raw(initial_terminal_mode(probe)));
        switch (c.trigger) {
            case Trigger::key_q:
                EXPECT_TRUE(probe.write_input("q", 5s));
                break;
            case Trigger::sigterm:
                probe.send_signal(SIGTERM);
                break;
            case Trigger::sighup:
                probe.send_signal(SIGHUP);
                break;
            case Trigger::ctrl_c:
                EXPECT_TRUE(probe.write_input("\x03", 5s));
                break;
        }
        EXPECT_EQ(probe.wait_exit(10s), c.status) << probe.out();
        EXPECT_NE(probe.out().find(c.shows), std::string::npos) << probe.out();
        EXPECT_TRUE(same_mode(terminal_mode(probe), initial_terminal_mode(probe)))
            << "after:  " << describe_mode(terminal_mode(probe))
            << "\nbefore: " << describe_mode(initial_terminal_mode(probe));
    }
}

// Whatever signal ends the program, the terminal is left as it was found, and the program
// still ends as that signal would.
TEST(ConsoleMode, EveryTerminatingSignalGivesTheModeBack) {
    for (int number : {SIGABRT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ,
                       SIGSYS, SIGTRAP, SIGIO, SIGPWR, SIGSTKFLT, SIGRTMIN, SIGRTMAX}) {
        SCOPED_TRACE(strsignal(number));
        CHILD_PROCESS probe(CONSOLE_PROBE_PATH, {"wait"}, on_terminal());
        ASSERT_TRUE(probe.wait_for_output("ready\r\n", 10s));
        probe.send_signal(number);
        EXPECT_EQ(probe.wait_exit(10s), killed_by(number)) << probe.out();
        EXPECT_TRUE(same_mode(terminal_mode(probe), initial_terminal_mode(probe)))
            << "after:  " << describe_mode(terminal_mode(probe))
            << "\nbefore: " << describe_mode(initial_terminal_mode(probe));
    }
}

TEST(ConsoleMode, ReportsAModeThatCannotBeGivenBackAndGoesOn) {
    CHILD_PROCESS probe(CONSOLE_PROBE_PATH, {"lose-input"}, on_terminal());
    ASSERT_TRUE(probe.wait_for_output("ready\r\n", 10s));
    EXPECT_TRUE(probe.write_input("q", 5s));
    EXPECT_EQ(probe.wait_exit(10s), exited(0));
    EXPECT_EQ(probe.out(),
              "ready\r\n[71]tarvik-terminal: fatal error: restoring console attributes failed\r\n"
              "destroyed\r\n");
}

TEST(ConsoleMode, EveryKeyArrivesAsTyped) {
    CHILD_PROCESS probe(CONSOLE_PROBE_PATH, {"destroy"}, on_terminal());
    ASSERT_TRUE(probe.wait_for_output("ready\r\n", 10s));
    // Enter, Ctrl-D, Ctrl-Z, Ctrl-\, Ctrl-S, Ctrl-Q, LF, DEL, Ctrl-V, then a byte after them.
    EXPECT_TRUE(probe.write_input("\r\x04\x1a\x1c\x13\x11\n\x7f\x16z", 5s));
    EXPECT_TRUE(probe.wait_for_output("[0d][04][1a][1c][13][11][0a][7f][16][7a]", 10s));
    EXPECT_TRUE(probe.write_input("q", 5s));
    EXPECT_EQ(probe.wait_exit(10s), exited(0));
    // No echo by the terminal itself: only the probe's own echo of each key.
    EXPECT_EQ(probe.out(), "ready\r\n[0d][04][1a][1c][13][11][0a][7f][16][7a][71]destroyed\r\n");
}

TEST(ConsoleMode, AnnouncesTheSwitchWithTheISwitch) {
    for (bool announce : {false, true}) {
        SCOPED_TRACE(announce ? "with i" : "without i");
        CHILD_PROCESS probe(CONSOLE_PROBE_PATH,
                            announce ? std::vector<std::string>{"destroy", "-i"}
                                     : std::vector<std::string>{"destroy"},
                            on_terminal());
        ASSERT_TRUE(probe.wait_for_output("ready\r\n", 10s));
        std::string expected =
            announce ? "changing terminal state of stdin to be non-canonical\r\n" : "";
        EXPECT_EQ(probe.out(), expected + "ready\r\n");
        EXPECT_TRUE(probe.write_input("q", 5s));
        EXPECT_EQ(probe.wait_exit(10s), exited(0));
    }
}

}  // namespace
