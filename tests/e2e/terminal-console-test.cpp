// The real terminal's console: raw while the session runs, given back on every way out, and
// standard input that is a keyboard, a file, /dev/null or a pipe.
#include <gtest/gtest.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/process-harness.h"
#include "tests/support/terminal-mode.h"
#include "tests/e2e/terminal-texts.h"
#include "tests/support/sim-server.h"
#include "tests/support/temp-dir.h"

namespace {

using namespace std::chrono_literals;

const std::string terminal_path = TERMINAL_PATH;

// The session's mode: the terminal's own with line editing, echo, CR/NL translation, flow
// control and the quit and suspend keys off; signals and output as they were.
termios expected_raw(termios mode) {
    mode.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHONL | IEXTEN);
    mode.c_iflag &= ~static_cast<tcflag_t>(ICRNL | INLCR | IGNCR | IXON);
    mode.c_cc[VQUIT] = _POSIX_VDISABLE;
    mode.c_cc[VSUSP] = _POSIX_VDISABLE;
    mode.c_cc[VMIN] = 1;
    mode.c_cc[VTIME] = 0;
    return mode;
}

std::vector<std::pair<std::string, std::string>> on(const SIM_SERVER& server) {
    return {{"JTAG_VARNAX_SERVER", server.address()}};
}

TEST(TerminalConsole, IsRawDuringTheSessionAndComesBackOnEveryWayOut) {
    enum class Way { target_ctrl_d, typed_ctrl_c, sigterm, sighup, segv };
    const struct {
        const char* what;
        Way way;
        EXIT_STATUS status;
        std::string shows;  // the last thing the way out leaves on the screen
    } cases[] = {
        {"Ctrl-D from the target", Way::target_ctrl_d, exited(0), exit_line("^D on remote")},
        {"Ctrl-C typed", Way::typed_ctrl_c, exited(0), exit_line("^C on host")},
        {"SIGTERM", Way::sigterm, killed_by(SIGTERM), ""},
        {"SIGHUP", Way::sighup, killed_by(SIGHUP), ""},
        {"a fatal fault", Way::segv, exited(2),
         "Fatal error: SE -1073741819 thrown. The Ostrand software will now exit.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SIM_SERVER server;
        ASSERT_TRUE(server.start_with_target()) << server.error();
        CHILD_PROCESS screen(terminal_path, {}, on_terminal(on(server)));
        // Once the target's byte is shown, the relay runs and the banner's stdio writes are
        // over: a signal cannot land inside them.
        ASSERT_TRUE(server.send_to_host("x"));
        ASSERT_TRUE(screen.wait_for_output(on_screen(session_head) + "x", 30s));
        EXPECT_TRUE(same_mode(terminal_mode(screen), expected_raw(initial_terminal_mode(screen))))
            << "raw:      " << describe_mode(terminal_mode(screen))
            << "\nexpected: " << describe_mode(expected_raw(initial_terminal_mode(screen)));
        switch (c.way) {
            case Way::target_ctrl_d:
                ASSERT_TRUE(server.send_to_host("\004"));
                break;
            case Way::typed_ctrl_c:
                EXPECT_TRUE(screen.write_input("\x03", 5s));
                break;
            case Way::sigterm:
                screen.send_signal(SIGTERM);
                break;
            case Way::sighup:
                screen.send_signal(SIGHUP);
                break;
            case Way::segv:
                screen.send_signal(SIGSEGV);
                break;
        }
        EXPECT_EQ(screen.wait_exit(30s), c.status);
        EXPECT_EQ(screen.out(), on_screen(session_head + "x" + c.shows));
        EXPECT_TRUE(same_mode(terminal_mode(screen), initial_terminal_mode(screen)))
            << "after:  " << describe_mode(terminal_mode(screen))
            << "\nbefore: " << describe_mode(initial_terminal_mode(screen));
    }
}

TEST(TerminalConsole, KeysReachTheTargetAsTypedWithoutEcho) {
    SIM_SERVER server;
    ASSERT_TRUE(server.start_with_target()) << server.error();
    CHILD_PROCESS screen(terminal_path, {}, on_terminal(on(server)));
    ASSERT_TRUE(screen.wait_for_output(on_screen(session_head), 30s));
    // Enter, Ctrl-D, Ctrl-Z, Ctrl-\, Ctrl-S, Ctrl-Q, Ctrl-V, DEL and a byte after them: the
    // Ctrl-D is a key for the target, not the end of the session.
    const std::string keys = "ab\r\x04\x1a\x1c\x13\x11\x16\x7fz";
    EXPECT_TRUE(screen.write_input(keys, 5s));
    EXPECT_TRUE(server.wait_for_bytes(keys, 30s));
    EXPECT_TRUE(screen.write_input("\x03", 5s));
    EXPECT_EQ(screen.wait_exit(30s), exited(0));
    EXPECT_EQ(server.received(), keys);
    EXPECT_EQ(screen.out(), on_screen(session_head + exit_line("^C on host")));
}

TEST(TerminalConsole, InputThatEndsOrWaitsLeavesTheSessionRunningWithoutSpinning) {
    TEMP_DIR dir;
    std::ofstream(dir.file("keys"), std::ios::binary) << "from a file\r";
    // Only a read that fails is reported, once; every way of simply ending is quiet.
    const std::string read_failed =
        "Error occurred while reading with ReadFile: Is a directory\n"
        "tarvik-terminal: error: Gathering input from STDIO\n";
    const struct {
        const char* what;
        CHILD_SETUP::STREAM input;
        std::string file;   // read as standard input with STREAM::file
        std::string typed;  // written to the pipe, or what the file holds
        bool close_pipe;
        std::string err;
    } cases[] = {
        {"/dev/null", CHILD_SETUP::STREAM::null, "", "", false, ""},
        {"a file", CHILD_SETUP::STREAM::file, dir.file("keys"), "from a file\r", false, ""},
        {"a pipe that closes", CHILD_SETUP::STREAM::pipe, "", "piped\r", true, ""},
        {"a pipe that stays silent", CHILD_SETUP::STREAM::pipe, "", "", false, ""},
        {"a directory", CHILD_SETUP::STREAM::file, dir.path(), "", false, read_failed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SIM_SERVER server;
        ASSERT_TRUE(server.start_with_target()) << server.error();
        CHILD_SETUP setup;
        setup.input = c.input;
        setup.input_file = c.file;
        setup.environment = on(server);
        CHILD_PROCESS term(terminal_path, {"--quit-after", "4"}, setup);
        ASSERT_TRUE(term.wait_for_output(session_head, 30s));
        if (c.input == CHILD_SETUP::STREAM::pipe) {
            ASSERT_TRUE(term.write_input(c.typed, 30s));
        }
        if (c.close_pipe) term.close_input();
        EXPECT_TRUE(server.wait_for_bytes(c.typed, 30s));
        if (!c.err.empty()) {
            EXPECT_TRUE(term.wait_for_error(c.err, 30s));
        }
        // The target is still heard after the input has ended.
        ASSERT_TRUE(server.send_to_host("late"));
        ASSERT_TRUE(term.wait_for_output(session_head + "late", 30s));
        // An idle session waits: it does not poll at full speed.
        double before = term.cpu_seconds();
        std::this_thread::sleep_for(2s);
        EXPECT_LT(term.cpu_seconds() - before, 0.5);
        EXPECT_EQ(term.wait_exit(30s), exited(0));
        EXPECT_EQ(term.out(), session_head + "late" + exit_line("user timeout"));
        EXPECT_EQ(term.err(), c.err);
        EXPECT_EQ(server.received(), c.typed);
    }
}

}  // namespace
