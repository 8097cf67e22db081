// The console channel on a real terminal: raw while it exists, given back exactly on every way out.
#include <signal.h>
#include <termios.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>

#include "tests/support/pty-harness.h"

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
        int status;
        const char* shows;  // a text the way out leaves on the screen
    } cases[] = {
        {"destroy", Trigger::key_q, 0, "destroyed"},
        {"exit", Trigger::key_q, 0, "[71]"},
        {"abort", Trigger::key_q, -SIGABRT, "tarvik-terminal: console-probe:7: abort\r\n"},
        {"segv", Trigger::key_q, 2,
         "Fatal error: SE -1073741819 thrown. The Ostrand software will now exit.\r\n"},
        {"wait", Trigger::sigterm, -SIGTERM, "ready"},
        {"wait", Trigger::sighup, -SIGHUP, "ready"},
        {"wait", Trigger::ctrl_c, -SIGINT, "ready"},
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE(std::string(c.way) + " " + std::to_string(static_cast<int>(c.trigger)));
        PTY_CHILD probe(CONSOLE_PROBE_PATH, {c.way});
        ASSERT_TRUE(probe.wait_for_output("ready\r\n", 10s));
        EXPECT_TRUE(same_mode(probe.mode(), expected_raw(probe.initial_mode())))
            << "raw:      " << describe_mode(probe.mode())
            << "\nexpected: " << describe_mode(expected_raw(probe.initial_mode()));
        switch (c.trigger) {
            case Trigger::key_q:
                probe.type("q");
                break;
            case Trigger::sigterm:
                kill(probe.pid(), SIGTERM);
                break;
            case Trigger::sighup:
                kill(probe.pid(), SIGHUP);
                break;
            case Trigger::ctrl_c:
                probe.type("\x03");
                break;
        }
        EXPECT_EQ(probe.wait_exit(10s), c.status) << probe.output();
        EXPECT_NE(probe.output().find(c.shows), std::string::npos) << probe.output();
        EXPECT_TRUE(same_mode(probe.mode(), probe.initial_mode()))
            << "after:  " << describe_mode(probe.mode())
            << "\nbefore: " << describe_mode(probe.initial_mode());
    }
}

// Whatever signal ends the program, the terminal is left as it was found, and the program
// still ends as that signal would.
TEST(ConsoleMode, EveryTerminatingSignalGivesTheModeBack) {
    for (int number : {SIGABRT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ,
                       SIGSYS, SIGTRAP, SIGIO, SIGPWR, SIGSTKFLT, SIGRTMIN, SIGRTMAX}) {
        SCOPED_TRACE(strsignal(number));
        PTY_CHILD probe(CONSOLE_PROBE_PATH, {"wait"});
        ASSERT_TRUE(probe.wait_for_output("ready\r\n", 10s));
        kill(probe.pid(), number);
        EXPECT_EQ(probe.wait_exit(10s), -number) << probe.output();
        EXPECT_TRUE(same_mode(probe.mode(), probe.initial_mode()))
            << "after:  " << describe_mode(probe.mode())
            << "\nbefore: " << describe_mode(probe.initial_mode());
    }
}

TEST(ConsoleMode, ReportsAModeThatCannotBeGivenBackAndGoesOn) {
    PTY_CHILD probe(CONSOLE_PROBE_PATH, {"lose-input"});
    ASSERT_TRUE(probe.wait_for_output("ready\r\n", 10s));
    probe.type("q");
    EXPECT_EQ(probe.wait_exit(10s), 0);
    EXPECT_EQ(probe.output(),
              "ready\r\n[71]tarvik-terminal: fatal error: restoring console attributes failed\r\n"
              "destroyed\r\n");
}

TEST(ConsoleMode, EveryKeyArrivesAsTyped) {
    PTY_CHILD probe(CONSOLE_PROBE_PATH, {"destroy"});
    ASSERT_TRUE(probe.wait_for_output("ready\r\n", 10s));
    // Enter, Ctrl-D, Ctrl-Z, Ctrl-\, Ctrl-S, Ctrl-Q, LF, DEL, Ctrl-V, then a byte after them.
    probe.type("\r\x04\x1a\x1c\x13\x11\n\x7f\x16z");
    EXPECT_TRUE(probe.wait_for_output("[0d][04][1a][1c][13][11][0a][7f][16][7a]", 10s));
    probe.type("q");
    EXPECT_EQ(probe.wait_exit(10s), 0);
    // No echo by the terminal itself: only the probe's own echo of each key.
    EXPECT_EQ(probe.output(), "ready\r\n[0d][04][1a][1c][13][11][0a][7f][16][7a][71]destroyed\r\n");
}

TEST(ConsoleMode, AnnouncesTheSwitchWithTheISwitch) {
    for (bool announce : {false, true}) {
        SCOPED_TRACE(announce ? "with i" : "without i");
        PTY_CHILD probe(CONSOLE_PROBE_PATH, announce ? std::vector<std::string>{"destroy", "-i"}
                                                     : std::vector<std::string>{"destroy"});
        ASSERT_TRUE(probe.wait_for_output("ready\r\n", 10s));
        std::string expected =
            announce ? "changing terminal state of stdin to be non-canonical\r\n" : "";
        EXPECT_EQ(probe.output(), expected + "ready\r\n");
        probe.type("q");
        EXPECT_EQ(probe.wait_exit(10s), 0);
    }
}

}  // namespace
