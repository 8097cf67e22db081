// The real terminal against the real server: where it connects, and each refusal as a user sees it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/e2e/terminal-texts.h"
#include "tests/support/process-harness.h"
#include "tests/support/terminal-mode.h"
#include "tests/support/sim-server.h"

namespace {

using namespace std::chrono_literals;

const std::string terminal_path = TERMINAL_PATH;

// What a terminal shows: its line feeds become CR LF on the way out.
std::string on_screen(const std::string& text) {
    std::string shown;
    for (char c : text) shown += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return shown;
}

std::string report(const std::string& name, const std::string& where) {
    return name + ": connected to hardware target using JTAG UART on cable\n" + name + ": " +
           where + "\n";
}

std::string banner(const std::string& name) {
    return name + ": (Use the IDE stop button or Ctrl-C to terminate)\n\n";
}

// A refused connection: the reason on standard error, nothing on standard output, status 1,
// and on a terminal the console mode exactly as it was.
void expect_refused(const std::string& server_address, const std::vector<std::string>& options,
                    const std::string& expected_err) {
    CHILD_SETUP setup;
    setup.environment = {{"JTAG_VARNAX_SERVER", server_address}};
    CHILD_PROCESS term(terminal_path, options, setup);
    EXPECT_EQ(term.wait_exit(30s), exited(1));
    EXPECT_EQ(term.out(), "");
    EXPECT_EQ(term.err(), expected_err);

    CHILD_PROCESS screen(terminal_path, options, on_terminal(setup.environment));
    EXPECT_EQ(screen.wait_exit(30s), exited(1));
    EXPECT_EQ(screen.out(), on_screen(expected_err));
    EXPECT_TRUE(same_mode(terminal_mode(screen), initial_terminal_mode(screen)))
        << "after:  " << describe_mode(terminal_mode(screen))
        << "\nbefore: " << describe_mode(initial_terminal_mode(screen));
}

TEST(TerminalConnect, ReportsWhereItConnectedAndWarnsAboutTheCable) {
    const struct {
        const char* what;
        std::string config;
        std::string argv0;
        std::vector<std::string> options;
        std::string out;
        std::string err;
    } cases[] = {
        {"chosen automatically",
         "cable \"Bench cable [USB-0]\"\n device 3\n  uart 2 echo\n",
         "tarvik-terminal",
         {"--quit-after=1"},
         report("tarvik-terminal", "\"Bench cable [USB-0]\", device 3, instance 2") +
             banner("tarvik-terminal") + "\n\ntarvik-terminal: exiting due to user timeout\n",
         ""},
        {"chosen by the options, secondary name",
         two_cables,
         "pelk-terminal",
         {"-c", "c2", "--device=2", "-i", "1", "-o", "1"},
         report("pelk-terminal", "\"c2\", device 2, instance 1") + banner("pelk-terminal") +
             "\n\npelk-terminal: exiting due to user timeout\n",
         ""},
        {"warning A, quiet",
         "cable c1 warning=1\n device 1\n  uart 0 echo\n",
         "tarvik-terminal",
         {"-q", "--quit-after=1"},
         "",
         warning_a},
        {"warning B, quiet",
         "cable c1 warning=2\n device 1\n  uart 0 echo\n",
         "tarvik-terminal",
         {"-q", "--quit-after=1"},
         "",
         warning_b},
        {"warning B, verbose",
         "cable c1 warning=2\n device 1\n  uart 0 echo\n",
         "tarvik-terminal",
         {"--quit-after=1"},
         report("tarvik-terminal", "\"c1\", device 1, instance 0") + banner("tarvik-terminal") +
             "\n\ntarvik-terminal: exiting due to user timeout\n",
         warning_b},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SIM_SERVER server;
        ASSERT_TRUE(server.start(c.config)) << server.error();
        CHILD_SETUP setup;
        setup.argv0 = c.argv0;
        setup.environment = {{"JTAG_VARNAX_SERVER", server.address()}};
        CHILD_PROCESS term(terminal_path, c.options, setup);
        EXPECT_EQ(term.wait_exit(30s), exited(0));
        EXPECT_EQ(term.out(), c.out);
        EXPECT_EQ(term.err(), c.err);
    }
}

TEST(TerminalConnect, ExplainsEachRefusalAndLeavesTheConsoleAlone) {
    const struct {
        const char* what;
        std::string config;  // empty: no server at all
        std::vector<std::string> server_options;
        std::vector<std::string> options;
        std::string err;
    } cases[] = {
        {"no server",
         "",
         {},
         {},
         no_server_lines},
        {"two cables, none chosen",
         two_cables,
         {},
         {},
         several_cables_lines +
             "tarvik-terminal: No --cable option was provided (or you selected Automatic)\n"},
        {"two cables match the text",
         two_cables,
         {},
         {"--cable", "c"},
         several_cables_lines +
             "tarvik-terminal: Two or more cables match the --cable option you provided\n"
             "tarvik-terminal: (c) - please be more specific.\n"},
        {"no cable matches",
         two_cables,
         {},
         {"--cable=USB"},
         "tarvik-terminal: There are no JTAG cables available on your system which match\n"
         "tarvik-terminal: the --cable option you provided (USB).\n"},
        {"unplugged",
         "cable c1 plugged=no\n device 1\n  uart 0 echo\n",
         {},
         {},
         "tarvik-terminal: The selected JTAG cable is not plugged into your PC.\n"},
        {"powered off",
         "cable c1 powered=no\n device 1\n  uart 0 echo\n",
         {},
         {},
         "tarvik-terminal: The selected JTAG cable is either not connected to a board, or\n"
         "tarvik-terminal: the board is not switched on.\n"},
        {"several JTAG UARTs",
         two_cables,
         {},
         {"-c", "c2"},
         "tarvik-terminal: More than one JTAG UART is available.  Please specify\n"
         "tarvik-terminal: --device and/or --instance options to select one.\n"},
        {"no JTAG UART matches",
         two_cables,
         {},
         {"-c", "c2", "--device=1", "--instance=1"},
         "tarvik-terminal: There are no JTAG UARTs available which match the --device and\n"
         "tarvik-terminal: --instance options you provided.\n"},
        {"another protocol version",
         "cable c1\n device 1\n  uart 0 echo\n",
         {"--protocol-version", "2"},
         {},
         "tarvik-terminal: The JTAG UART selected is not compatible with this version\n"
         "tarvik-terminal: of the software.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SIM_SERVER server;
        std::string address = closed_loopback_address();
        if (!c.config.empty()) {
            ASSERT_TRUE(server.start(c.config, c.server_options)) << server.error();
            address = server.address();
        }
        expect_refused(address, c.options, c.err);
    }
}

TEST(TerminalConnect, NamesTheTerminalThatHoldsTheJtagUart) {
    SIM_SERVER server;
    ASSERT_TRUE(server.start("cable c1\n device 1\n  uart 0 echo\n")) << server.error();
    CHILD_SETUP setup;
    setup.argv0 = "pelk-terminal";  // the holder opens under the name it was started with
    setup.environment = {{"JTAG_VARNAX_SERVER", server.address()}};
    CHILD_PROCESS holder(terminal_path, {}, setup);
    ASSERT_TRUE(holder.wait_for_output("Ctrl-C to terminate", 30s));
    expect_refused(server.address(), {},
                   "tarvik-terminal: Unable to connect to JTAG UART because another application\n"
                   "tarvik-terminal: (pelk-terminal, process " +
                       std::to_string(holder.pid()) +
                       ")\n"
                       "tarvik-terminal: is using it (or is using something else which "
                       "clashes). Please close\n"
                       "tarvik-terminal: the other application and try again.\n");
    // Once the holder has gone, the JTAG UART is free again.
    holder.send_signal(SIGINT);
    EXPECT_EQ(holder.wait_exit(30s), exited(0));
    CHILD_SETUP next;
    next.environment = setup.environment;
    CHILD_PROCESS term(terminal_path, {"-q", "--quit-after=1"}, next);
    EXPECT_EQ(term.wait_exit(30s), exited(0));
    EXPECT_EQ(term.err(), "");
}

}  // namespace
