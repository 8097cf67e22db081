// The Windows terminal under wine, driven from Linux against the native server over pipes.
//
// Run by scripts/test-windows.sh, which names the launchers of the Windows build's programs in
// WINDOWS_TERMINAL and WINDOWS_FATAL_PROBE (each runs its .exe under wine with the launcher's
// process id, so SIGINT reaches the program as Ctrl-C). Without them every test is skipped.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/random-bytes.h"
#include "tests/e2e/terminal-texts.h"
#include "tests/support/process-harness.h"
#include "tests/support/sim-server.h"
#include "tests/support/temp-dir.h"

namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

std::string launcher(const char* variable) {
    const char* path = std::getenv(variable);
    return path != nullptr ? path : "";
}

const std::string terminal = launcher("WINDOWS_TERMINAL");
const std::string fatal_probe = launcher("WINDOWS_FATAL_PROBE");


std::string read_file(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

class WindowsTerminal : public ::testing::Test {
protected:
    void SetUp() override {
        if (terminal.empty()) GTEST_SKIP() << "WINDOWS_TERMINAL names no Windows terminal";
    }

    // The terminal on this server, its input on a pipe unless the setup says otherwise.
    std::unique_ptr<CHILD_PROCESS> start(const SIM_SERVER& server,
                                       const std::vector<std::string>& options,
                                       CHILD_SETUP setup = {}) {
        setup.environment.push_back({"JTAG_VARNAX_SERVER", server.address()});
        return std::make_unique<CHILD_PROCESS>(terminal, options, setup);
    }

    // Ctrl-C: wine turns SIGINT into the console's Ctrl-C event.
    void end_with_ctrl_c(CHILD_PROCESS& term, const std::string& expected_out) {
        term.send_signal(SIGINT);
        EXPECT_EQ(term.wait_exit(30s), exited(0));
        EXPECT_EQ(term.out(), expected_out);
        EXPECT_EQ(term.err(), "");
    }
};

// The copy named pelk-terminal.exe answers under its own name (its launcher sits next to the
// terminal's).
TEST_F(WindowsTerminal, TheCopysNameChoosesThePersonality) {
    const std::string pelk = terminal.substr(0, terminal.rfind('/') + 1) + "pelk-terminal";
    for (const std::string& name : {std::string("tarvik-terminal"), std::string("pelk-terminal")}) {
        CHILD_PROCESS term(name == "pelk-terminal" ? pelk : terminal, {"--version"});
        EXPECT_EQ(term.wait_exit(30s), exited(0));
        EXPECT_EQ(term.out(), name + ": Version (wombat)\n");
    }
}

TEST_F(WindowsTerminal, ExplainsRefusalsAndWarnsThroughTheDecoratedName) {
    const struct {
        const char* what;
        std::string config;  // empty: no server listens
        std::vector<std::string> options;
        int status;
        std::string err;
    } cases[] = {
        {"no server",
         "",
         {},
         1,
         no_server_lines},
        {"two cables",
         two_cables,
         {},
         1,
         several_cables_lines +
             "tarvik-terminal: No --cable option was provided (or you selected Automatic)\n"},
        {"no cable matches",
         two_cables,
         {"--cable=USB"},
         1,
         "tarvik-terminal: There are no JTAG cables available on your system which match\n"
         "tarvik-terminal: the --cable option you provided (USB).\n"},
        // The library's cable check is found at run time under its decorated name only.
        {"cable supported", "cable c1 warning=0\n device 1\n  uart 0 echo\n", {}, 0, ""},
        {"support unknown", "cable c1 warning=1\n device 1\n  uart 0 echo\n", {}, 0, warning_a},
        {"not supported", "cable c1 warning=2\n device 1\n  uart 0 echo\n", {}, 0, warning_b},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SIM_SERVER server;
        CHILD_SETUP setup;
        if (c.config.empty()) {
            // The port of a server that has gone: nothing listens there any more.
            ASSERT_TRUE(server.start_with_target()) << server.error();
            server.kill_now();
        } else {
            ASSERT_TRUE(server.start(c.config)) << server.error();
        }
        std::vector<std::string> options = c.options;
        options.insert(options.end(), {"-q", "--quit-after=1"});
        auto term = start(server, options);
        EXPECT_EQ(term->wait_exit(30s), exited(c.status));
        EXPECT_EQ(term->out(), "");
        EXPECT_EQ(term->err(), c.err);
    }
}

TEST_F(WindowsTerminal, RelaysMegabytesBothWaysExactly) {
    SIM_SERVER server;
    ASSERT_TRUE(server.start("cable sim-cable\n device 1\n  uart 0 in=4096 out=65536 listen\n"))
        << server.error();
    SIM_TARGET target;
    ASSERT_TRUE(target.connect(server.target_address("sim-cable", 1, 0)));
    auto term = start(server, {"-q", "--no-quit-on-ctrl-d"});
    // Every byte value both ways: in binary mode no LF gains a CR and no byte 26 ends input.
    const std::string shown = random_bytes(2 << 20, 1);
    const std::string typed = random_bytes(256 << 10, 2, 255);
    std::size_t shown_sent = 0;
    std::size_t typed_sent = 0;
    std::string received;
    auto deadline = clock_type::now() + 120s;
    while ((term->out().size() < shown.size() || received.size() < typed.size()) &&
           clock_type::now() < deadline) {
        // Never far ahead of the screen, so the output does not pile up in the socket.
        std::size_t ahead = shown_sent - term->out().size();
        long n = target.send_some(shown.data() + shown_sent,
                                  ahead < 65536 ? std::min<std::size_t>(16384, shown.size() - shown_sent) : 0);
        ASSERT_GE(n, 0) << "the server hung up on the target";
        shown_sent += static_cast<std::size_t>(n);
        long k = term->write_some_input(typed.data() + typed_sent, typed.size() - typed_sent);
        ASSERT_GE(k, 0) << "the terminal closed its input";
        typed_sent += static_cast<std::size_t>(k);
        term->read_output(1 << 20, 2ms);
        received += target.receive(65536, 1ms);
    }
    ASSERT_EQ(term->out().size(), shown.size());
    EXPECT_TRUE(term->out() == shown) << "the output differs";
    ASSERT_EQ(received.size(), typed.size());
    EXPECT_TRUE(received == typed) << "the keystrokes differ";
    term->clear_output();
    end_with_ctrl_c(*term, "");
}

TEST_F(WindowsTerminal, EndsForEachReasonWithItsText) {
    enum class THEN { nothing, ctrl_c };
    const struct {
        const char* what;
        std::vector<std::string> options;
        std::string sent;
        std::string shown;
        THEN then;
        std::string tail;
    } cases[] = {
        {"Ctrl-D from the target", {}, "abc\004def", "abc", THEN::nothing, exit_line("^D on remote")},
        {"time is up", {"--quit-after", "1"}, "", "", THEN::nothing, exit_line("user timeout")},
        {"Ctrl-C", {}, "xyz", "xyz", THEN::ctrl_c, exit_line("^C on host")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SIM_SERVER server;
        ASSERT_TRUE(server.start_with_target()) << server.error();
        auto term = start(server, c.options);
        ASSERT_TRUE(term->wait_for_output(session_head, 30s));
        ASSERT_TRUE(server.send_to_host(c.sent));
        ASSERT_TRUE(term->wait_for_output(session_head + c.shown, 30s));
        if (c.then == THEN::ctrl_c) term->send_signal(SIGINT);
        EXPECT_EQ(term->wait_exit(30s), exited(0));
        EXPECT_EQ(term->out(), session_head + c.shown + c.tail);
        EXPECT_EQ(term->err(), "");
    }
}

// Output that nobody reads blocks a pipe's write for good: Ctrl-C still ends the session, and
// what did reach the pipe is the target's text in order.
TEST_F(WindowsTerminal, OutputNobodyReadsDoesNotHoldTheSession) {
    std::string text;
    for (int line = 0; text.size() < 256 * 1024; ++line) text += "line " + std::to_string(line) + "\n";
    SIM_SERVER server;
    ASSERT_TRUE(server.start_with_target({}, "in=64 out=4096")) << server.error();
    auto term = start(server, {});
    ASSERT_TRUE(term->wait_for_output(session_head, 30s));
    ASSERT_TRUE(server.send_to_host(text, 30s));
    std::this_thread::sleep_for(1s);  // the terminal fills the pipe meanwhile
    term->send_signal(SIGINT);
    EXPECT_TRUE(term->ends_within(20s)) << "the terminal still waits for its reader";
    EXPECT_EQ(term->wait_exit(30s), exited(0));
    std::string shown = term->out().substr(session_head.size());
    const std::string reason = exit_line("^C on host");
    if (shown.size() >= reason.size() && shown.substr(shown.size() - reason.size()) == reason) {
        shown.resize(shown.size() - reason.size());
    }
    EXPECT_GT(shown.size(), 4096u);
    EXPECT_TRUE(shown == text.substr(0, shown.size())) << "the output differs";
    EXPECT_EQ(term->err(), "");
}

TEST_F(WindowsTerminal, PersistentSessionReconnectsAfterTheServerRestarts) {
    SIM_SERVER server;
    ASSERT_TRUE(server.start_with_target()) << server.error();
    auto term = start(server, {"--persistent"});
    ASSERT_TRUE(term->wait_for_output(session_head, 30s));
    ASSERT_TRUE(server.send_to_host("one"));
    std::string expected = session_head + "one";
    ASSERT_TRUE(term->wait_for_output(expected, 30s));
    server.kill_now();
    expected += "tarvik-terminal: I/O error communicating with client - trying again";
    ASSERT_TRUE(term->wait_for_output(expected, 30s));
    ASSERT_TRUE(server.restart()) << server.error();
    expected += "\nConnected!\n";
    ASSERT_TRUE(term->wait_for_output(expected, 30s));
    ASSERT_TRUE(server.send_to_host("two"));
    expected += "two";
    ASSERT_TRUE(term->wait_for_output(expected, 30s));
    end_with_ctrl_c(*term, expected + exit_line("^C on host"));
}

TEST_F(WindowsTerminal, EndOfInputIsQuietAndAFailedReadIsToldOnce) {
    TEMP_DIR dir;
    std::ofstream(dir.file("keys"), std::ios::binary) << "from a file\r";
    const struct {
        const char* what;
        CHILD_SETUP::STREAM input;
        std::string file;
        std::string typed;
        bool read_fails;
    } cases[] = {
        // Wine ends a pipe with a read of no bytes, Windows with ERROR_BROKEN_PIPE: both quiet.
        {"a pipe that closes", CHILD_SETUP::STREAM::pipe, "", "piped\r", false},
        {"a file", CHILD_SETUP::STREAM::file, dir.file("keys"), "from a file\r", false},
        {"/dev/null", CHILD_SETUP::STREAM::null, "", "", false},
        {"a directory", CHILD_SETUP::STREAM::file, dir.path(), "", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SIM_SERVER server;
        ASSERT_TRUE(server.start_with_target()) << server.error();
        CHILD_SETUP setup;
        setup.input = c.input;
        setup.input_file = c.file;
        auto term = start(server, {"--quit-after", "3"}, setup);
        ASSERT_TRUE(term->wait_for_output(session_head, 30s));
        if (c.input == CHILD_SETUP::STREAM::pipe) {
            ASSERT_TRUE(term->write_input(c.typed, 30s));
            term->close_input();
        }
        EXPECT_TRUE(server.wait_for_bytes(c.typed, 30s));
        ASSERT_TRUE(server.send_to_host("late"));
        ASSERT_TRUE(term->wait_for_output(session_head + "late", 30s));
        // An idle session after the end of input waits rather than spins.
        double before = term->cpu_seconds();
        std::this_thread::sleep_for(1s);
        EXPECT_LT(term->cpu_seconds() - before, 0.5);
        EXPECT_EQ(term->wait_exit(30s), exited(0));
        EXPECT_EQ(term->out(), session_head + "late" + exit_line("user timeout"));
        EXPECT_EQ(server.received(), c.typed);
        if (!c.read_fails) {
            EXPECT_EQ(term->err(), "");
            continue;
        }
        // The system's own text, with its line break, then the end of input, each once.
        const std::string head = "Error occurred while reading with ReadFile: ";
        const std::string tail = "\r\n\ntarvik-terminal: error: Gathering input from STDIO\n";
        const std::string& err = term->err();
        ASSERT_GT(err.size(), head.size() + tail.size()) << err;
        EXPECT_EQ(err.substr(0, head.size()), head);
        EXPECT_EQ(err.substr(err.size() - tail.size()), tail);
        EXPECT_EQ(err.find('\n'), err.size() - tail.size() + 1) << err;
    }
}

TEST_F(WindowsTerminal, CapturesTheProfileInBinary) {
    SIM_SERVER server;
    ASSERT_TRUE(server.start_demo()) << server.error();
    TEMP_DIR dir;
    CHILD_SETUP setup;
    setup.directory = dir.path();
    auto term = start(server, {"-q", "--gmon"}, setup);
    const std::string banner = "Varnax demo target ready.\r\nType help and press Enter.\r\n";
    ASSERT_TRUE(term->wait_for_output(banner, 30s));
    ASSERT_TRUE(term->write_input("gmon\r", 30s));
    const std::string shown =
        banner + "gmon\r\n**gmon.out data follows**\n\r\nprofiling data sent\r\n";
    ASSERT_TRUE(term->wait_for_output(shown, 30s));
    std::string data;
    for (int i = 0; i < 1000; ++i) data += static_cast<char>((i * 7 + 3) & 0xFF);
    EXPECT_TRUE(read_file(dir.file("gmon.out")) == data);
    end_with_ctrl_c(*term, shown);
}

// The library in the Windows terminal proves the secret from a file only its owner may read,
// and refuses one that others may read (wine builds the file's access list from its mode).
TEST_F(WindowsTerminal, ProvesTheSecretFromAPrivateFileOnly) {
    TEMP_DIR dir;
    const std::string secret = "the lab's boards: 2f9c41d07e3b58a6";
    std::ofstream(dir.file("private")) << secret;
    std::ofstream(dir.file("open")) << secret;
    std::filesystem::permissions(dir.file("private"), std::filesystem::perms::owner_read |
                                                          std::filesystem::perms::owner_write);
    std::filesystem::permissions(dir.file("open"), std::filesystem::perms::owner_read |
                                                       std::filesystem::perms::owner_write |
                                                       std::filesystem::perms::others_read);
    SIM_SERVER server;
    ASSERT_TRUE(server.start_with_target({"--secret-for-local", "--secret-file", dir.file("private")}))
        << server.error();
    for (const std::string& file : {dir.file("private"), dir.file("open")}) {
        SCOPED_TRACE(file);
        CHILD_SETUP setup;
        setup.environment = {{"JTAG_VARNAX_SECRET_FILE", file}};
        auto term = start(server, {"--quit-after=1"}, setup);
        EXPECT_EQ(term->wait_exit(30s), exited(file == dir.file("private") ? 0 : 1));
        // The only difference is who may read the file: the open one is never used.
        if (file == dir.file("private"))
            EXPECT_EQ(term->out(), session_head + exit_line("user timeout"));
        else
            EXPECT_EQ(term->err(), no_server_lines);
    }
}

// scanwell.exe tells what the Linux scanwell tells, in the lines of its system.
TEST_F(WindowsTerminal, ScanwellFindsWhatTheLinuxOneFinds) {
    SIM_SERVER server;
    ASSERT_TRUE(server.start(two_cables + "cable \"Bench cable\" powered=no\n device 1\n  uart 0 echo\n"))
        << server.error();
    CHILD_SETUP setup;
    setup.environment = {{"JTAG_VARNAX_SERVER", server.address()}};
    CHILD_PROCESS linux_scan(SCANWELL_PATH, {}, setup);
    EXPECT_EQ(linux_scan.wait_exit(30s), exited(0));
    const std::string launcher_folder = terminal.substr(0, terminal.rfind('/') + 1);
    CHILD_PROCESS windows_scan(launcher_folder + "scanwell", {}, setup);
    EXPECT_EQ(windows_scan.wait_exit(30s), exited(0));
    std::string shown = windows_scan.out();
    for (std::size_t at; (at = shown.find("\r\n")) != std::string::npos;) shown.erase(at, 1);
    EXPECT_EQ(shown, linux_scan.out());
    EXPECT_NE(shown.find("Bench cable"), std::string::npos) << shown;
}

// demo.cmd of the unpacked zip (WINDOWS_DEMO) under wine's cmd in the prefix WINDOWS_PREFIX:
// the banner, an answer, and at "bye" the terminal's end, the script's and the server's.
TEST(WindowsDemo, ReachesTheBannerAndEndsWithTheTerminal) {
    const std::string demo = launcher("WINDOWS_DEMO"), prefix = launcher("WINDOWS_PREFIX");
    if (demo.empty() || prefix.empty()) GTEST_SKIP() << "WINDOWS_DEMO names no demo.cmd";
    CHILD_SETUP setup;
    setup.directory = demo.substr(0, demo.rfind('/'));
    CHILD_PROCESS cmd("bash", {WINE_RUN_PATH, prefix, "cmd", "/c", "demo.cmd"}, setup);
    const std::string banner = "Varnax demo target ready.\r\nType help and press Enter.\r\n";
    ASSERT_TRUE(cmd.wait_for_output(banner, 60s));
    ASSERT_TRUE(cmd.write_input("help\r", 30s));
    ASSERT_TRUE(cmd.wait_for_output("help\r\ncommands: help,", 30s));
    ASSERT_TRUE(cmd.write_input("bye\r", 30s));
    EXPECT_EQ(cmd.wait_exit(60s), exited(0));
    const std::string& out = cmd.out();
    EXPECT_EQ(out.rfind("demo: simulated board at 127.0.0.1:", 0), 0u) << out;
    const std::string tail = "bye\r\nbye\r\n" + exit_line("^D on remote");
    ASSERT_GE(out.size(), tail.size());
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
    EXPECT_EQ(cmd.err(), "");
    // The server stopped by itself once the terminal had gone, and took the demo target along.
    auto deadline = clock_type::now() + 20s;
    while (!wine_programs(prefix).empty() && clock_type::now() < deadline)
        std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(wine_programs(prefix).empty()) << "a program of the demo is still running";
}

std::string se_line(int code) {
    return "Fatal error: SE " + std::to_string(code) +
           " thrown. The Ostrand software will now exit.\n";
}

// A stack overflow is left out: wine cannot raise its exception on the exhausted stack and ends
// the process with status 1 before any handler runs.
TEST(WindowsFatalHooks, EndWithTheRealCodeAndStatusTwo) {
    if (fatal_probe.empty()) GTEST_SKIP() << "WINDOWS_FATAL_PROBE names no Windows probe";
    const struct {
        const char* scenario;
        std::string errors;
    } cases[] = {
        {"segv-main", se_line(-1073741819)},
        {"segv-thread", se_line(-1073741819)},
        {"ill", se_line(-1073741795)},
        {"fpe", se_line(-1073741676)},
        {"throw-main", se_line(-529697949)},
        {"throw-thread", se_line(-529697949)},
        {"null-record", se_line(-1)},
        {"terminate",
         "Fatal error: Program termination requested. The Ostrand software will now exit.\n"},
        {"terminator-throws", "\n*** Fatal Error: Failed to complete termination procedures\n"},
        {"terminator-faults", "\n*** Fatal Error: Failed to complete termination procedures\n"},
        {"terminator-recurses", "\n*** Internal Error: Recursive termination requested.\n"},
        {"seh-retry", "callback -1073741819 with details\n"
                      "\n*** Internal Error: Recursive termination requested.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.scenario);
        CHILD_SETUP setup;
        setup.input = CHILD_SETUP::STREAM::null;
        CHILD_PROCESS probe(fatal_probe, {c.scenario}, setup);
        EXPECT_EQ(probe.wait_exit(30s), exited(2));
        EXPECT_EQ(probe.err(), c.errors);
        // What standard output held is written before the line.
        EXPECT_EQ(probe.out(), "before");
    }
}

}  // namespace
