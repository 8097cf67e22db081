// The whole path to the JTAG UART core: scanwell and the terminal, through varnax-server and the
// OpenOCD it starts, to the simulated chip (two cores on one chain, three instances).
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/jtag/jtag-sim-rig.h"
#include "tests/e2e/terminal-texts.h"
#include "tests/support/process-harness.h"
#include "tests/support/sim-server.h"

namespace {

using namespace std::chrono_literals;

const std::string cable = "Sim chain";
const std::string chain_found = "cable \"Sim chain\": 2 devices with 3 JTAG UARTs on the chain";
const std::string help_answer =
    "commands: help, gmon (profiling data), flood N (N KiB of text), raw N (the next N\r\n"
    "bytes come back unchanged), bye\r\n"
    "gmon wants the terminal's --gmon: without it the profiling bytes, which hold a\r\n"
    "Ctrl-D, end the session.\r\n";
const std::string retrying = "tarvik-terminal: I/O error communicating with client - trying again";
const std::string reconnected = "\nConnected!\n";

std::string banner(int device, int instance) {
    return "Varnax JTAG UART simulation ready (device " + std::to_string(device) + ", instance " +
           std::to_string(instance) + ").\r\nType help and press Enter.\r\n";
}

// What a terminal that is not quiet says before the first byte.
std::string head(int device, int instance) {
    return "tarvik-terminal: connected to hardware target using JTAG UART on cable\n"
           "tarvik-terminal: \"Sim chain\", device " +
           std::to_string(device) + ", instance " + std::to_string(instance) +
           "\n"
           "tarvik-terminal: (Use the IDE stop button or Ctrl-C to terminate)\n"
           "\n";
}

std::string read_file(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// The simulated chip, and varnax-server with one cable whose OpenOCD it starts on the chip.
class JtagTerminal : public ::testing::Test {
protected:
    void SetUp() override {
        std::string missing = JTAG_SIM_RIG::missing();
        if (!missing.empty()) GTEST_SKIP() << missing;
        m_rig = std::make_unique<JTAG_SIM_RIG>();
        ASSERT_TRUE(m_rig->sim_running());
        std::string reach = openocd_line();
        ASSERT_FALSE(reach.empty());
        ASSERT_TRUE(m_server.start("cable \"" + cable + "\"\n" + reach + "\n")) << m_server.error();
        ASSERT_TRUE(m_server.wait_for_log(chain_found)) << m_server.log();
    }

    // How the server reaches OpenOCD: it starts one on the rig's configuration.
    virtual std::string openocd_line() { return "openocd config " + m_rig->config_path(); }

    // A terminal on one instance of the chain, in the rig's folder.
    std::unique_ptr<CHILD_PROCESS> terminal(int device, int instance,
                                            std::vector<std::string> options,
                                            bool on_a_terminal = false) {
        std::vector<std::pair<std::string, std::string>> environment = {
            {"JTAG_VARNAX_SERVER", m_server.address()}};
        CHILD_SETUP setup = on_a_terminal ? on_terminal(environment) : CHILD_SETUP{};
        if (!on_a_terminal) setup.environment = environment;
        setup.directory = m_rig->dir().path();
        options.insert(options.end(), {"--cable", cable, "--device", std::to_string(device),
                                       "--instance", std::to_string(instance)});
        return std::make_unique<CHILD_PROCESS>(TERMINAL_PATH, options, setup);
    }

    // raw: every byte value, in an order that changes from one block of 256 to the next, sent
    // back unchanged (a Ctrl-D among them ends nothing here).
    void expect_raw_round_trip(int device, int instance, std::size_t size) {
        std::string sent(size, '\0');
        for (std::size_t i = 0; i < size; ++i) sent[i] = char((i * 7 + i / 256) & 0xFF);
        auto raw = terminal(device, instance, {"-q", "--no-quit-on-ctrl-d"});
        const std::string command = "raw " + std::to_string(size) + "\r";
        const std::string echo = banner(device, instance) + command + "\n" + command + "\n";
        ASSERT_TRUE(raw->write_input(command, 30s));
        ASSERT_TRUE(raw->wait_for_output(echo, 30s)) << raw->out();
        ASSERT_TRUE(raw->write_input(sent, 120s));
        auto deadline = std::chrono::steady_clock::now() + 120s;
        while (raw->out().size() < echo.size() + size &&
               std::chrono::steady_clock::now() < deadline)
            raw->read_output(size, 1s);
        raw->send_signal(SIGINT);
        EXPECT_EQ(raw->wait_exit(30s), exited(0));
        EXPECT_TRUE(raw->out() == echo + sent)
            << raw->out().size() << " bytes shown, " << echo.size() + size << " expected";
    }

    std::unique_ptr<JTAG_SIM_RIG> m_rig;
    SIM_SERVER m_server;
};

// The same chip behind an OpenOCD the user runs, which the server reaches at its Tcl port (the
// one way a Windows server reaches it in these tests: there is no OpenOCD for wine to start).
class JtagTerminalOwnOpenOcd : public JtagTerminal {
protected:
    std::string openocd_line() override {
        std::string address, error;
        m_openocd = m_rig->start_openocd(&address, &error);
        EXPECT_TRUE(m_openocd) << error;
        return m_openocd ? "openocd tcl " + address : "";
    }
    std::unique_ptr<CHILD_PROCESS> m_openocd;
};

// Every instance is listed and opened by cable, device and instance; two terminals run at
// once, one at a console, one capturing a profile; each ends on the target's Ctrl-D; and a
// quarter of a mebibyte of every byte value goes each way unchanged.
TEST_F(JtagTerminal, ServesEveryInstanceOfTheChain) {
    CHILD_SETUP setup;
    setup.input = CHILD_SETUP::STREAM::null;
    setup.environment = {{"JTAG_VARNAX_SERVER", m_server.address()}};
    CHILD_PROCESS scanwell(SCANWELL_PATH, {}, setup);
    EXPECT_EQ(scanwell.wait_exit(30s), exited(0));
    EXPECT_EQ(scanwell.out(), "Server: " + m_server.address() +
                                  " (from JTAG_VARNAX_SERVER)\n"
                                  "Connected: the server speaks protocol version 1.\n"
                                  "\n"
                                  "Cable \"Sim chain\":\n"
                                  "  Device 0:\n"
                                  "    JTAG UART instance 0, free\n"
                                  "      --cable \"Sim chain\" --device 0 --instance 0\n"
                                  "    JTAG UART instance 1, free\n"
                                  "      --cable \"Sim chain\" --device 0 --instance 1\n"
                                  "  Device 1:\n"
                                  "    JTAG UART instance 0, free\n"
                                  "      --cable \"Sim chain\" --device 1 --instance 0\n"
                                  "\n"
                                  "Found 3 JTAG UARTs (3 free, 0 in use) on 1 cable.\n");
    EXPECT_EQ(scanwell.err(), "");

    // At a console on instance 0 of device 0, and capturing on instance 1, at the same time.
    auto console = terminal(0, 0, {}, true);
    auto capture = terminal(0, 1, {"-q", "--gmon"});
    ASSERT_TRUE(console->wait_for_output(on_screen(head(0, 0) + banner(0, 0)), 30s));
    ASSERT_TRUE(capture->wait_for_output(banner(0, 1), 30s));
    ASSERT_TRUE(capture->write_input("gmon\r", 30s));
    ASSERT_TRUE(console->write_input("help\r", 30s));
    const std::string profile = "gmon\r\n**gmon.out data follows**\n\r\nprofiling data sent\r\n";
    ASSERT_TRUE(capture->wait_for_output(banner(0, 1) + profile, 30s)) << capture->out();
    ASSERT_TRUE(console->wait_for_output(
        on_screen(head(0, 0) + banner(0, 0) + "help\r\n" + help_answer), 30s))
        << console->out();
    std::string data;
    for (int i = 0; i < 1000; ++i) data += char((i * 7 + 3) & 0xFF);
    EXPECT_TRUE(read_file(m_rig->dir().file("gmon.out")) == data);
    ASSERT_TRUE(capture->write_input("bye\r", 30s));
    ASSERT_TRUE(console->write_input("bye\r", 30s));
    EXPECT_EQ(capture->wait_exit(30s), exited(0));
    EXPECT_EQ(console->wait_exit(30s), exited(0));
    EXPECT_EQ(capture->out(), banner(0, 1) + profile + "bye\r\nbye\r\n");
    EXPECT_EQ(capture->err(), "");
    EXPECT_EQ(console->out(), on_screen(head(0, 0) + banner(0, 0) + "help\r\n" + help_answer +
                                        "bye\r\nbye\r\n" + exit_line("^D on remote")));

    expect_raw_round_trip(1, 0, 256 * 1024);
}

// OpenOCD killed mid-session: a terminal shows the lost link and ends; a persistent one tries
// again and is back on its instance once the server has started OpenOCD anew.
TEST_F(JtagTerminal, LosingOpenOcdLosesTheLinkAndPersistentComesBack) {
    auto plain = terminal(0, 0, {});
    auto persistent = terminal(1, 0, {"--persistent"});
    ASSERT_TRUE(plain->wait_for_output(banner(0, 0), 30s));
    ASSERT_TRUE(persistent->wait_for_output(banner(1, 0), 30s));
    std::vector<int> openocd = children_of(m_server.pid());
    ASSERT_EQ(openocd.size(), 1u);
    ASSERT_EQ(kill(openocd[0], SIGKILL), 0);

    EXPECT_EQ(plain->wait_exit(30s), exited(0));
    EXPECT_EQ(plain->out(),
              head(0, 0) + banner(0, 0) + exit_line("I/O error communicating with target"));
    std::string expected = head(1, 0) + banner(1, 0) + retrying + reconnected;
    ASSERT_TRUE(persistent->wait_for_output(expected, 60s)) << persistent->out();
    ASSERT_TRUE(persistent->write_input("help\r", 30s));
    expected += "help\r\n" + help_answer;
    ASSERT_TRUE(persistent->wait_for_output(expected, 30s)) << persistent->out();
    persistent->send_signal(SIGINT);
    EXPECT_EQ(persistent->wait_exit(30s), exited(0));
    EXPECT_EQ(persistent->out(), expected + exit_line("^C on host"));
    EXPECT_EQ(persistent->err(), "");
}

TEST_F(JtagTerminalOwnOpenOcd, MovesEveryByteValueThroughItsTclPort) {
    expect_raw_round_trip(1, 0, 64 * 1024);
}

}  // namespace
