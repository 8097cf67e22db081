// The real terminal's session from start to end: each reason to stop, the countdown, reconnection.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/process-harness.h"
#include "tests/e2e/terminal-texts.h"
#include "tests/support/sim-server.h"

namespace {

using namespace std::chrono_literals;

const std::string terminal_path = TERMINAL_PATH;

const std::string retrying = "tarvik-terminal: I/O error communicating with client - trying again";
const std::string reconnected = "\nConnected!\n";
const std::string interrupted_link = "\nJTAG connection interrupted!\n";

// A terminal on the server's one JTAG UART, whose target is the test.
CHILD_SETUP on(const SIM_SERVER& server) {
    CHILD_SETUP setup;
    setup.environment = {{"JTAG_VARNAX_SERVER", server.address()}};
    return setup;
}

TEST(TerminalSession, EndsForEachReasonWithItsText) {
    enum class Then { nothing, ctrl_c, server_dies, interrupt };
    const struct {
        const char* what;
        std::vector<std::string> options;
        std::string sent;   // what the target sends once the session runs
        std::string shown;  // what the terminal shows of it before it stops
        Then then;
        std::string out_tail;
    } cases[] = {
        {"Ctrl-D from the target",
         {},
         "abc\004def",
         "abc",
         Then::nothing,
         exit_line("^D on remote")},
        {"Ctrl-D relayed as a byte",
         {"--no-quit-on-ctrl-d"},
         "a\004b",
         "a\004b",
         Then::ctrl_c,
         exit_line("^C on host")},
        {"time is up", {"--quit-after", "1"}, "", "", Then::nothing, exit_line("user timeout")},
        {"Ctrl-C", {}, "xyz", "xyz", Then::ctrl_c, exit_line("^C on host")},
        {"the server dies",
         {},
         "before",
         "before",
         Then::server_dies,
         exit_line("I/O error communicating with target")},
        {"the link is interrupted",
         {},
         "q",
         "q",
         Then::interrupt,
         interrupted_link + exit_line("I/O error communicating with target")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SIM_SERVER server;
        ASSERT_TRUE(server.start_with_target()) << server.error();
        CHILD_PROCESS term(terminal_path, c.options, on(server));
        ASSERT_TRUE(term.wait_for_output(session_head, 30s));
        ASSERT_TRUE(server.send_to_host(c.sent));
        EXPECT_TRUE(term.wait_for_output(session_head + c.shown, 30s));
        switch (c.then) {
            case Then::nothing:
                break;
            case Then::ctrl_c:
                term.send_signal(SIGINT);
                break;
            case Then::server_dies:
                server.kill_now();
                break;
            case Then::interrupt:
                EXPECT_EQ(server.command("interrupt sim-cable 1 0"), "ok");
                break;
        }
        EXPECT_EQ(term.wait_exit(30s), exited(0));
        EXPECT_EQ(term.out(), session_head + c.shown + c.out_tail);
        EXPECT_EQ(term.err(), "");
    }
}

TEST(TerminalSession, CtrlCDuringTheCountdownConnectsNothing) {
    SIM_SERVER server;
    ASSERT_TRUE(server.start_with_target()) << server.error();
    CHILD_PROCESS term(terminal_path, {"--wait", "5"}, on(server));
    const std::string start = "tarvik-terminal: Waiting to allow other programs to start:    ";
    ASSERT_TRUE(term.wait_for_output(start + "\b\b\b 5s", 30s));
    term.send_signal(SIGINT);
    EXPECT_EQ(term.wait_exit(30s), exited(0));
    EXPECT_EQ(term.err(), "");
    // One field update per tick, seconds left rounded up, then done on the same line.
    const std::string& out = term.out();
    ASSERT_GE(out.size(), start.size() + 8);
    EXPECT_EQ(out.substr(0, start.size()), start);
    EXPECT_EQ(out.substr(out.size() - 8), "\b\b\bdone\n");
    std::string ticks = out.substr(start.size(), out.size() - start.size() - 8);
    ASSERT_EQ(ticks.size() % 6, 0u) << ticks;
    for (std::size_t i = 0; i < ticks.size(); i += 6) {
        std::string tick = ticks.substr(i, 6);
        EXPECT_TRUE(tick == "\b\b\b 5s" || tick == "\b\b\b 4s" || tick == "\b\b\b 3s") << tick;
    }
    // The countdown ended long before its five seconds: nothing was opened.
    EXPECT_EQ(server.log().find("opened"), std::string::npos) << server.log();
}

TEST(TerminalSession, CountdownRunsItsTicksEvenWhenQuiet) {
    SIM_SERVER server;
    ASSERT_TRUE(server.start_with_target()) << server.error();
    CHILD_PROCESS term(terminal_path, {"--wait=1", "-q", "--quit-after=1"}, on(server));
    EXPECT_EQ(term.wait_exit(30s), exited(0));
    std::string ticks;
    for (int i = 0; i < 10; ++i) ticks += "\b\b\b 1s";
    EXPECT_EQ(term.out(), "tarvik-terminal: Waiting to allow other programs to start:    " + ticks +
                              "\b\b\bdone\n");
    EXPECT_EQ(term.err(), "");
}

TEST(TerminalSession, PersistentSessionReconnectsAfterAnInterruptionAndAServerRestart) {
    SIM_SERVER server;
    ASSERT_TRUE(server.start_with_target()) << server.error();
    CHILD_PROCESS term(terminal_path, {"--persistent"}, on(server));
    ASSERT_TRUE(term.wait_for_output(session_head, 30s));
    ASSERT_TRUE(server.send_to_host("one"));
    ASSERT_TRUE(term.wait_for_output(session_head + "one", 30s));

    std::string expected = session_head + "one" + interrupted_link + retrying + reconnected;
    EXPECT_EQ(server.command("interrupt sim-cable 1 0"), "ok");
    ASSERT_TRUE(term.wait_for_output(expected, 30s));
    ASSERT_TRUE(server.send_to_host("two"));
    expected += "two";
    ASSERT_TRUE(term.wait_for_output(expected, 30s));

    // The terminal keeps trying, once a second and silently, until the server is back.
    server.kill_now();
    expected += retrying;
    ASSERT_TRUE(term.wait_for_output(expected, 30s));
    // Keys typed while the link is down wait for it and go out once it is back.
    ASSERT_TRUE(term.write_input("typed meanwhile", 30s));
    ASSERT_TRUE(server.restart()) << server.error();
    expected += reconnected;
    ASSERT_TRUE(term.wait_for_output(expected, 30s));
    EXPECT_TRUE(server.wait_for_bytes("typed meanwhile", 30s)) << server.received();
    ASSERT_TRUE(server.send_to_host("three"));
    expected += "three";
    ASSERT_TRUE(term.wait_for_output(expected, 30s));

    term.send_signal(SIGINT);
    EXPECT_EQ(term.wait_exit(30s), exited(0));
    EXPECT_EQ(term.out(), expected + exit_line("^C on host"));
    EXPECT_EQ(term.err(), "");
}

TEST(TerminalSession, PersistentSessionShowsAllOfAnEndingTargetAndMeetsItsSuccessor) {
    // The demo board's program says bye, sends Ctrl-D and ends; the next open starts it again.
    SIM_SERVER server;
    ASSERT_TRUE(server.start_demo()) << server.error();
    CHILD_PROCESS term(terminal_path, {"--persistent", "--no-quit-on-ctrl-d"}, on(server));
    const std::string demo_head =
        "tarvik-terminal: connected to hardware target using JTAG UART on cable\n"
        "tarvik-terminal: \"Varnax demo cable [USB-0]\", device 1, instance 0\n"
        "tarvik-terminal: (Use the IDE stop button or Ctrl-C to terminate)\n"
        "\n";
    const std::string demo_banner = "Varnax demo target ready.\r\nType help and press Enter.\r\n";
    std::string expected = demo_head + demo_banner;
    ASSERT_TRUE(term.wait_for_output(expected, 30s));
    ASSERT_TRUE(term.write_input("bye\r", 30s));
    // Everything the program wrote before it ended comes before the lost link.
    expected += "bye\r\nbye\r\n\004" + retrying + reconnected + demo_banner;
    ASSERT_TRUE(term.wait_for_output(expected, 30s));
    term.send_signal(SIGINT);
    EXPECT_EQ(term.wait_exit(30s), exited(0));
    EXPECT_EQ(term.out(), expected + exit_line("^C on host"));
    EXPECT_EQ(term.err(), "");
}

}  // namespace

TEST(TerminalSession, FlushDropsWhatWaitedBeforeTheSession) {
    SIM_SERVER server;
    ASSERT_TRUE(server.start_with_target()) << server.error();
    ASSERT_TRUE(server.send_to_host("stale"));
    // Nothing tells when the server has taken the bytes into its FIFO; it takes them at
    // once, and this leaves a loaded machine ample time.
    std::this_thread::sleep_for(300ms);
    CHILD_PROCESS term(terminal_path, {"--flush"}, on(server));
    // The banner comes after the drain: what the target sends from now on is shown.
    ASSERT_TRUE(term.wait_for_output(session_head, 30s));
    ASSERT_TRUE(server.send_to_host("fresh"));
    ASSERT_TRUE(term.wait_for_output("fresh", 30s));
    term.send_signal(SIGINT);
    EXPECT_EQ(term.wait_exit(30s), exited(0));
    EXPECT_EQ(term.out(), session_head + "fresh" + exit_line("^C on host"));
    EXPECT_EQ(term.err(), "");
}
