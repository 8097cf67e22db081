// The real terminal capturing the demo target's profiling stream into gmon.out, or refusing to.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/process-harness.h"
#include "tests/support/terminal-mode.h"
#include "tests/support/sim-server.h"
#include "tests/support/temp-dir.h"

namespace {

using namespace std::chrono_literals;

const std::string terminal_path = TERMINAL_PATH;

const std::string demo_banner = "Varnax demo target ready.\r\nType help and press Enter.\r\n";
const std::string marker = "**gmon.out data follows**\n";
const std::string after_stream = "\r\nprofiling data sent\r\n";

// What the demo target sends after the marker: the length 1000, little-endian, then the data.
std::string length_field() {
    return std::string("\xe8\x03\x00\x00", 4);
}
std::string profile_data() {
    std::string data;
    for (int i = 0; i < 1000; ++i) data += static_cast<char>((i * 7 + 3) & 0xFF);
    return data;
}

std::string read_file(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

bool exists(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0;
}

// A quiet terminal on the demo board, working in its own folder, asked for the profile.
class TerminalGmon : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_server.start_demo()) << m_server.error(); }

    std::unique_ptr<CHILD_PROCESS> ask_for_profile(const std::vector<std::string>& options) {
        CHILD_SETUP setup;
        setup.directory = m_dir.path();
        setup.environment = {{"JTAG_VARNAX_SERVER", m_server.address()}};
        auto term = std::make_unique<CHILD_PROCESS>(terminal_path, options, setup);
        EXPECT_TRUE(term->wait_for_output(demo_banner, 30s));
        EXPECT_TRUE(term->write_input("gmon\r", 30s));
        return term;
    }

    SIM_SERVER m_server;
    TEMP_DIR m_dir;
};

TEST_F(TerminalGmon, DemoHelpSaysThatGmonWantsTheOption) {
    CHILD_SETUP setup;
    setup.environment = {{"JTAG_VARNAX_SERVER", m_server.address()}};
    CHILD_PROCESS term(terminal_path, {"-q"}, setup);
    ASSERT_TRUE(term.wait_for_output(demo_banner, 30s));
    ASSERT_TRUE(term.write_input("help\r", 30s));
    EXPECT_TRUE(term.wait_for_output(
        "gmon wants the terminal's --gmon: without it the profiling bytes, which hold a\r\n"
        "Ctrl-D, end the session.\r\n",
        30s));
    term.send_signal(SIGINT);
    EXPECT_EQ(term.wait_exit(30s), exited(0));
}

TEST_F(TerminalGmon, CapturesTheStreamAndShowsOnlyTheMarker) {
    // The data holds a byte 4; captured, it does not end the session.
    auto term = ask_for_profile({"-q", "--gmon"});
    const std::string shown = demo_banner + "gmon\r\n" + marker + after_stream;
    ASSERT_TRUE(term->wait_for_output(shown, 30s));
    EXPECT_TRUE(read_file(m_dir.file("gmon.out")) == profile_data());
    // A second stream replaces the file of the first.
    ASSERT_TRUE(term->write_input("gmon\r", 30s));
    ASSERT_TRUE(term->wait_for_output(shown + "gmon\r\n" + marker + after_stream, 30s));
    term->send_signal(SIGINT);
    EXPECT_EQ(term->wait_exit(30s), exited(0));
    EXPECT_EQ(term->out(), shown + "gmon\r\n" + marker + after_stream);
    EXPECT_EQ(term->err(), "");
    EXPECT_TRUE(read_file(m_dir.file("gmon.out")) == profile_data());
}

TEST_F(TerminalGmon, WithoutCaptureTheStreamIsShownUpToItsCtrlD) {
    // Byte 183 of the data is 4: shown as it comes, the stream ends the session there.
    auto term = ask_for_profile({"-q"});
    EXPECT_EQ(term->wait_exit(30s), exited(0));
    EXPECT_TRUE(term->out() ==
                demo_banner + "gmon\r\n" + marker + length_field() + profile_data().substr(0, 183));
    EXPECT_EQ(term->err(), "");
    EXPECT_FALSE(exists(m_dir.file("gmon.out")));
}

TEST_F(TerminalGmon, AnUnwritableFileEndsTheTerminalThroughAbort) {
    ASSERT_EQ(mkdir(m_dir.file("gmon.out").c_str(), 0700), 0);
    auto term = ask_for_profile({"-q", "--gmon"});
    EXPECT_EQ(term->wait_exit(30s), killed_by(SIGABRT));
    // The block that holds the length is never shown: the terminal ends while it filters it.
    // What came in earlier blocks was shown.
    const std::string refusal = "Error: unable to open gmon.out file for writing\n";
    const std::string& out = term->out();
    ASSERT_GE(out.size(), demo_banner.size() + refusal.size()) << out;
    EXPECT_EQ(out.substr(0, demo_banner.size()), demo_banner);
    EXPECT_EQ(out.substr(out.size() - refusal.size()), refusal);
    std::string shown =
        out.substr(demo_banner.size(), out.size() - demo_banner.size() - refusal.size());
    EXPECT_EQ(std::string("gmon\r\n" + marker).substr(0, shown.size()), shown);
    EXPECT_EQ(term->err(), "tarvik-terminal: write-gmon:112: abort\n");
}

TEST(TerminalGmonOnAConsole, AnUnwritableFileGivesTheConsoleModeBackBeforeTheAbort) {
    SIM_SERVER server;
    ASSERT_TRUE(server.start_demo()) << server.error();
    TEMP_DIR dir;
    ASSERT_EQ(mkdir(dir.file("gmon.out").c_str(), 0700), 0);
    CHILD_SETUP setup = on_terminal({{"JTAG_VARNAX_SERVER", server.address()}});
    setup.directory = dir.path();
    CHILD_PROCESS screen(terminal_path, {"--gmon"}, setup);
    ASSERT_TRUE(screen.wait_for_output("Type help and press Enter.", 30s));
    EXPECT_TRUE(screen.write_input("gmon\r", 5s));
    EXPECT_EQ(screen.wait_exit(30s), killed_by(SIGABRT));
    EXPECT_NE(screen.out().find("Error: unable to open gmon.out file for writing\r\n"
                                   "tarvik-terminal: write-gmon:112: abort\r\n"),
              std::string::npos)
        << screen.out();
    EXPECT_TRUE(same_mode(terminal_mode(screen), initial_terminal_mode(screen)))
        << "after:  " << describe_mode(terminal_mode(screen))
        << "\nbefore: " << describe_mode(initial_terminal_mode(screen));
}

}  // namespace
