// What the terminal guarantees about its own descriptors and standard output: a closed stream
// never receives the link, output nobody reads never holds the session, and a session lasts
// at least the time asked for.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>
#include <thread>

#include "tests/e2e/terminal-texts.h"
#include "tests/support/process-harness.h"
#include "tests/support/sim-server.h"

namespace {

using namespace std::chrono_literals;

const std::string terminal_path = TERMINAL_PATH;

CHILD_SETUP on(const SIM_SERVER& server) {
    CHILD_SETUP setup;
    setup.environment = {{"JTAG_VARNAX_SERVER", server.address()}};
    return setup;
}

// Printable text without a Ctrl-D, numbered so that a lost or repeated piece shows.
std::string numbered_text(std::size_t size) {
    std::string text;
    for (int line = 0; text.size() < size; ++line) text += "line " + std::to_string(line) + "\n";
    text.resize(size);
    return text;
}

TEST(TerminalOutput, AClosedStandardOutputNeverReceivesTheLink) {
    SIM_SERVER server;
    ASSERT_TRUE(server.start_with_target()) << server.error();
    // The shell closes standard output and starts the terminal in its place.
    CHILD_PROCESS term("/bin/sh",
                       {"-c", "exec \"$0\" \"$@\" >&-", terminal_path, "--quit-after=3"},
                       on(server));
    ASSERT_TRUE(term.write_input("typed\r", 30s));
    EXPECT_TRUE(server.wait_for_bytes("typed\r", 30s)) << server.log();
    ASSERT_TRUE(server.send_to_host("shown nowhere"));
    EXPECT_EQ(term.wait_exit(30s), exited(0));
    EXPECT_EQ(term.err(), "");
    EXPECT_EQ(server.received(), "typed\r");
}

// Output that nobody reads fills its pipe; Ctrl-C and the quit time still end the session, and
// what did reach the pipe is the target's text, each byte once and in order.
TEST(TerminalOutput, OutputNobodyReadsDoesNotHoldTheSession) {
    const std::string text = numbered_text(128 * 1024);  // twice what a pipe holds
    for (bool ctrl_c : {true, false}) {
        SCOPED_TRACE(ctrl_c ? "Ctrl-C" : "quit time");
        SIM_SERVER server;
        ASSERT_TRUE(server.start_with_target({}, "in=64 out=4096")) << server.error();
        CHILD_PROCESS term(terminal_path,
                           ctrl_c ? std::vector<std::string>{} : std::vector<std::string>{"-o", "3"},
                           on(server));
        ASSERT_TRUE(term.wait_for_output(session_head, 30s));
        ASSERT_TRUE(server.send_to_host(text, 30s));
        std::this_thread::sleep_for(500ms);  // the terminal fills the pipe meanwhile
        if (ctrl_c) term.send_signal(SIGINT);
        EXPECT_TRUE(term.ends_within(20s)) << "the terminal still waits for its reader";
        EXPECT_EQ(term.wait_exit(30s), exited(0));
        const std::string& out = term.out();
        ASSERT_GE(out.size(), session_head.size());
        std::string shown = out.substr(session_head.size());
        std::string reason = exit_line(ctrl_c ? "^C on host" : "user timeout");
        if (shown.size() >= reason.size() &&
            shown.compare(shown.size() - reason.size(), reason.size(), reason) == 0) {
            shown.resize(shown.size() - reason.size());
        }
        EXPECT_GT(shown.size(), 32u * 1024);
        EXPECT_EQ(shown, text.substr(0, shown.size()));
        EXPECT_EQ(term.err(), "");
    }
}

// The session is timed on a clock of milliseconds: it never ends before the time asked for.
TEST(TerminalOutput, QuitAfterLastsAtLeastTheTimeAskedFor) {
    SIM_SERVER server;
    ASSERT_TRUE(server.start_with_target()) << server.error();
    for (int seconds : {1, 2}) {
        auto started = std::chrono::steady_clock::now();
        CHILD_PROCESS term(terminal_path, {"-q", "--quit-after=" + std::to_string(seconds)},
                           on(server));
        EXPECT_EQ(term.wait_exit(30s), exited(0));
        auto lasted = std::chrono::steady_clock::now() - started;
        EXPECT_GE(lasted, std::chrono::seconds(seconds));
    }
}

}  // namespace
