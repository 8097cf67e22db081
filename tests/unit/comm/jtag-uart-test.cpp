// The JTAG UART channel against a scripted library: reports, errors, warnings, reconnection.
#include "comm/jtag-uart.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "args/process-args.h"
#include "base/program-name.h"
#include "run/relay-loop.h"
#include "tests/support/fake-comm.h"
#include "tests/support/fake-varnax.h"
#include "tests/support/process-harness.h"

namespace {

std::vector<int64_t> pauses;
std::vector<bool> pauses_keys_end;  // whether a typed key could end each pause
int64_t fake_now_us = 0;            // advanced by every pause
PAUSE_END next_pause_end = PAUSE_END::elapsed;
int cable_warning_result = 0;

// Each pause takes its full time on the fake clock, unless the test makes a key end it.
PAUSE_END record_pause(int64_t microseconds, bool keys_end_it) {
    pauses.push_back(microseconds);
    pauses_keys_end.push_back(keys_end_it);
    PAUSE_END end = keys_end_it ? next_pause_end : PAUSE_END::elapsed;
    next_pause_end = PAUSE_END::elapsed;
    if (end == PAUSE_END::elapsed) fake_now_us += microseconds;
    return end;
}
int scripted_cable_warning(JTAGVARNAX*) { return cable_warning_result; }

std::string lines(std::initializer_list<const char*> texts) {
    std::string joined;
    for (const char* text : texts) joined += std::string("tarvik-terminal: ") + text + "\n";
    return joined;
}

class JtagUart : public ::testing::Test {
protected:
    void SetUp() override {
        fake_varnax = FAKE_VARNAX();
        settings = SETTINGS();
        program_name = primary_name;
        pauses.clear();
        pauses_keys_end.clear();
        fake_now_us = 0;
        next_pause_end = PAUSE_END::elapsed;
        cable_warning_result = 0;
        jtag_uart_pause = record_pause;
        jtag_uart_cable_warning = scripted_cable_warning;
    }
};

TEST_F(JtagUart, ReportsWhereItConnectedAndKeepsIt) {
    settings.cable = "USB";
    fake_varnax.info_cable = "USB-Cable [2-1]";
    fake_varnax.info_device = 2;
    fake_varnax.info_instance = 3;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    {
        COMM_JTAG_UART link;
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "tarvik-terminal: connected to hardware target using JTAG UART on cable\n"
              "tarvik-terminal: \"USB-Cable [2-1]\", device 2, instance 3\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    ASSERT_EQ(fake_varnax.opens.size(), 1u);
    EXPECT_EQ(fake_varnax.opens[0].cable, std::optional<std::string>("USB"));
    EXPECT_EQ(fake_varnax.opens[0].device, -1);
    EXPECT_EQ(fake_varnax.opens[0].app_name, "tarvik-terminal");
    EXPECT_EQ(settings.cable, std::optional<std::string>("USB-Cable [2-1]"));
    EXPECT_EQ(settings.device, 2);
    EXPECT_EQ(settings.instance, 3);
    EXPECT_EQ(fake_varnax.closes, 1);
}

TEST_F(JtagUart, CableWarningsGoToStandardErrorWhateverVerboseSays) {
    const std::string warning_a =
        "\n" +
        lines({"Warning: Unable to verify whether your download cable is",
               "supported for Tarvik systems.  If you use an unsupported cable",
               "you may experience intermittent JTAG communication failures.",
               "Please refer to the file errata.txt included in the Tarvik",
               "development kit documents directory for information on how to",
               "update your system."}) +
        "\n";
    const std::string warning_b =
        "\n" +
        lines({"Warning: The JTAG cable you are using is not supported for Tarvik",
               "systems.  You may experience intermittent JTAG communication",
               "failures with this cable.  Please use a USB Corvel revision B",
               "cable or another supported cable.  Please refer to the file",
               "errata.txt included in the Tarvik development kit documents",
               "directory for more information."}) +
        "\n";
    struct {
        int result;
        std::string expected;
    } cases[] = {{0, ""}, {1, warning_a}, {2, warning_b}, {-1, warning_b}};
    for (const auto& c : cases) {
        settings.verbose = 0;
        cable_warning_result = c.result;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        { COMM_JTAG_UART link; }
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << c.result;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.expected) << c.result;
    }
}

TEST_F(JtagUart, ExplainsEachOpenFailureAndExitsWithStatusOne) {
    const std::string several_cables = lines(
        {"You have more than one JTAG cable available so you must use the",
         "--cable option to choose between them (or set up a cable from",
         "the launch configuration window)."});
    const std::string in_use_head =
        lines({"Unable to connect to JTAG UART because another application"});
    const std::string in_use_tail =
        lines({"is using it (or is using something else which clashes). Please close",
               "the other application and try again."});
    struct {
        JTAGVARNAX_ERROR code;
        const char* cable;  // the --cable setting, or null
        const char* text;   // the library's error text
        std::string expected;
    } cases[] = {
        {JTAGVARNAX_NO_SERVER, nullptr, "",
         lines({"Unable to connect to local JTAG server.  Please check that",
                "Ostrand is correctly installed on your machine and use the",
                "`scanwell` utility to diagnose further."})},
        {JTAGVARNAX_SEVERAL_CABLES, nullptr, "",
         several_cables + lines({"No --cable option was provided (or you selected Automatic)"})},
        {JTAGVARNAX_SEVERAL_CABLES, "USB", "",
         several_cables + lines({"Two or more cables match the --cable option you provided",
                                 "(USB) - please be more specific."})},
        {JTAGVARNAX_NO_CABLE, nullptr, "",
         lines({"There are no JTAG cables available on your system."})},
        {JTAGVARNAX_NO_CABLE, "", "",
         lines({"There are no JTAG cables available on your system which match",
                "the --cable option you provided ()."})},
        {JTAGVARNAX_CABLE_UNPLUGGED, nullptr, "ignored",
         lines({"The selected JTAG cable is not plugged into your PC."})},
        {JTAGVARNAX_BOARD_UNPOWERED, nullptr, "",
         lines({"The selected JTAG cable is either not connected to a board, or",
                "the board is not switched on."})},
        {JTAGVARNAX_IN_USE, nullptr, "tarvik-terminal, process 42",
         in_use_head + lines({"(tarvik-terminal, process 42)"}) + in_use_tail},
        {JTAGVARNAX_IN_USE, nullptr, "", in_use_head + in_use_tail},
        {JTAGVARNAX_SEVERAL_UARTS, nullptr, "",
         lines({"More than one JTAG UART is available.  Please specify",
                "--device and/or --instance options to select one."})},
        {JTAGVARNAX_NO_UART, nullptr, "",
         lines({"There are no JTAG UARTs available which match the --device and",
                "--instance options you provided."})},
        {JTAGVARNAX_INCOMPATIBLE, nullptr, "",
         lines({"The JTAG UART selected is not compatible with this version",
                "of the software."})},
        {static_cast<JTAGVARNAX_ERROR>(-12), nullptr, "",
         lines({"An internal error (-12) is preventing connection to the", "JTAG UART."})},
        {JTAGVARNAX_OK, nullptr, "",
         lines({"An internal error (0) is preventing connection to the", "JTAG UART."})},
    };
    for (const auto& c : cases) {
        CHILD_SETUP setup;
        setup.input = CHILD_SETUP::STREAM::null;
        CHILD_PROCESS child(
            [&] {
                if (c.cable != nullptr) settings.cable = c.cable;
                fake_varnax.open_results = {c.code};
                fake_varnax.error_text = c.text;
                // A null handle with no error claimed: still reported, with the code.
                if (c.code == JTAGVARNAX_OK) {
                    fake_varnax.open_results = {JTAGVARNAX_NO_SERVER};
                    fake_varnax.reported_error = JTAGVARNAX_OK;
                }
                COMM_JTAG_UART link;
                return std::string();
            },
            setup);
        EXPECT_EQ(child.wait_exit(std::chrono::seconds(10)), exited(1)) << c.code;
        EXPECT_EQ(child.out(), "") << c.code;
        EXPECT_EQ(child.err(), c.expected) << c.code;
    }
}

TEST_F(JtagUart, UsesTheStartNameFirstAndThePrimaryNameToReconnect) {
    program_name = secondary_name;
    settings.persistent = 1;
    settings.verbose = 0;
    COMM_JTAG_UART link;
    fake_varnax.reads = {{std::string(10, '\xff') + "tail", 0}, {"again", 0}};
    char block[64];
    testing::internal::CaptureStdout();
    EXPECT_EQ(link.read(block, 64), -1);
    EXPECT_EQ(fake_varnax.closes, 1);
    EXPECT_EQ(link.read(block, 64), 5);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\nJTAG connection interrupted!\n\nConnected!\n");
    ASSERT_EQ(fake_varnax.opens.size(), 2u);
    EXPECT_EQ(fake_varnax.opens[0].app_name, "pelk-terminal");
    EXPECT_EQ(fake_varnax.opens[1].app_name, "tarvik-terminal");
    // The reopen asks for exactly what the first open found.
    EXPECT_EQ(fake_varnax.opens[1].cable, std::optional<std::string>("USB-Cable [1-1]"));
    EXPECT_EQ(fake_varnax.opens[1].device, 1);
    EXPECT_EQ(fake_varnax.opens[1].instance, 0);
    EXPECT_TRUE(pauses.empty());
}

TEST_F(JtagUart, TellsInterruptionFromDataOfTheSameBytes) {
    settings.verbose = 0;
    COMM_JTAG_UART link;
    char block[65];
    block[9] = 'x';
    fake_varnax.reads = {{std::string(9, '\xff'), 0}};
    EXPECT_EQ(link.read(block, 64), 9);  // nine are data
    fake_varnax.reads = {{"a" + std::string(10, '\xff'), 0}};
    EXPECT_EQ(link.read(block, 64), 11);  // not at the block's start
    EXPECT_EQ(fake_varnax.closes, 0);

    fake_varnax.reads = {{std::string(64, '\xff') + "more", 0}};
    block[64] = 'z';
    testing::internal::CaptureStdout();
    EXPECT_EQ(link.read(block, 64), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\nJTAG connection interrupted!\n");
    EXPECT_EQ(block[64], 'z');
    EXPECT_EQ(fake_varnax.closes, 1);
    EXPECT_EQ(fake_varnax.open_links, 0);
}

TEST_F(JtagUart, PausesOnlyWhenNothingCame) {
    settings.verbose = 0;
    settings.persistent = 1;
    COMM_JTAG_UART link;
    char block[64];
    EXPECT_EQ(link.read(block, 64), 0);
    EXPECT_EQ(pauses, std::vector<int64_t>({50}));

    // A lost link in persistent mode: closed at once, reopened on the next read.
    fake_varnax.reads = {{"", -3}};
    EXPECT_EQ(link.read(block, 64), -3);
    EXPECT_EQ(fake_varnax.closes, 1);
    fake_varnax.open_results = {JTAGVARNAX_NO_SERVER};
    pauses.clear();
    pauses_keys_end.clear();
    EXPECT_EQ(link.read(block, 64), 0);
    EXPECT_EQ(pauses, std::vector<int64_t>({1000000}));  // no 100 ms on top
    EXPECT_EQ(pauses_keys_end, std::vector<bool>({false}));  // keys do not shorten it
    EXPECT_EQ(link.write("abc", 3), 0);                   // no link: nothing taken
    link.wait_open();
    EXPECT_EQ(fake_varnax.wait_opens, 0);
}

TEST_F(JtagUart, WriteFailuresKeepTheBytesOnlyInPersistentMode) {
    settings.verbose = 0;
    COMM_JTAG_UART link;
    fake_varnax.write_limit = 2;
    EXPECT_EQ(link.write("abcd", 4), 2);
    EXPECT_EQ(fake_varnax.written, "ab");
    fake_varnax.write_failure = -4;
    EXPECT_EQ(link.write("cd", 2), -4);
    settings.persistent = 1;
    EXPECT_EQ(link.write("cd", 2), 0);
    // Without persistence a failed read leaves the link open for the caller to give up on.
    settings.persistent = 0;
    fake_varnax.reads = {{"", -1}};
    char block[64];
    EXPECT_EQ(link.read(block, 64), -1);
    EXPECT_EQ(fake_varnax.closes, 0);
}

// The pause after an empty read: short on a new link and once bytes move, growing back to the
// idle pause; none right after a key ended one, and short again after a write.
TEST_F(JtagUart, PausesShortWhileBytesMoveAndInFullWhenIdle) {
    settings.verbose = 0;
    settings.persistent = 1;
    COMM_JTAG_UART link;
    char block[64];
    auto empty_reads = [&](int n) {
        for (int i = 0; i < n; ++i) EXPECT_EQ(link.read(block, 64), 0);
    };
    const std::vector<int64_t> ramp = {50,   100,  200,   400,   800,   1600,
                                       3200, 6400, 12800, 25600, 51200, 100000};
    empty_reads(2);  // a new link: nothing queued is waited for here, that is the drain's job
    fake_varnax.reads = {{"ab", 0}};
    EXPECT_EQ(link.read(block, 64), 2);
    empty_reads(13);
    std::vector<int64_t> expected = {50, 100};
    expected.insert(expected.end(), ramp.begin(), ramp.end());
    expected.push_back(100000);
    EXPECT_EQ(pauses, expected);
    EXPECT_EQ(pauses_keys_end, std::vector<bool>(expected.size(), true));

    pauses.clear();
    next_pause_end = PAUSE_END::key_typed;
    empty_reads(2);  // a key ends the idle pause; the read before it goes out pauses not at all
    EXPECT_EQ(link.write("k", 1), 1);
    empty_reads(2);
    EXPECT_EQ(link.write("k", 0), 0);  // a write that moved nothing changes nothing
    empty_reads(1);
    EXPECT_EQ(pauses, std::vector<int64_t>({100000, 50, 100, 200}));

    // After a reconnection the first empty read is short too.
    fake_varnax.reads = {{"", -1}};
    EXPECT_EQ(link.read(block, 64), -1);
    pauses.clear();
    pauses_keys_end.clear();
    empty_reads(2);
    EXPECT_EQ(fake_varnax.opens.size(), 2u);
    EXPECT_EQ(pauses, std::vector<int64_t>({50, 100}));
    EXPECT_EQ(pauses_keys_end, std::vector<bool>({true, true}));
}

// The drain of stale output waits in full for what the target queued: an answer that comes
// 80 ms into that pause is drained, and the drain ends only after a full pause with nothing.
TEST_F(JtagUart, DrainWaitsItsFullPauseForQueuedOutput) {
    settings.verbose = 0;
    COMM_JTAG_UART link;
    jtag_uart_pause = [](int64_t microseconds, bool keys_end_it) {
        int64_t before = fake_now_us;
        PAUSE_END end = record_pause(microseconds, keys_end_it);
        if (before < 80000 && fake_now_us >= 80000) fake_varnax.reads.push_back({"stale", 0});
        return end;
    };
    char block[64];
    EXPECT_EQ(link.read_settled(block, 64), 5);
    EXPECT_EQ(std::string(block, 5), "stale");
    EXPECT_EQ(link.read_settled(block, 64), 0);
    EXPECT_EQ(pauses, std::vector<int64_t>({100000, 100000}));
    EXPECT_EQ(pauses_keys_end, std::vector<bool>({false, false}));
    // The relay that follows pauses short, as on any link where bytes just moved.
    EXPECT_EQ(link.read(block, 64), 0);
    EXPECT_EQ(pauses.back(), 50);
}

// A relay with a silent target reads it about ten times a second, whatever keys come by.
TEST_F(JtagUart, IdleRelayDoesNotSpin) {
    settings.verbose = 0;
    settings.quit_after_secs = 60;
    COMM_JTAG_UART link;
    FAKE_COMM screen;
    jtag_channel = &link;
    console_channel = &screen;
    session_start = 0;
    relay_clock = [] { return fake_now_us / 1000; };
    // A key now and then: each one makes a few short pauses, then the link is idle again.
    jtag_uart_pause = [](int64_t microseconds, bool keys_end_it) {
        if (keys_end_it && pauses.size() % 100 == 99) next_pause_end = PAUSE_END::key_typed;
        return record_pause(microseconds, keys_end_it);
    };
    EXPECT_EQ(relay(), RELAY_RESULT::user_timeout);
    int keys = static_cast<int>(pauses.size() / 100);
    EXPECT_GE(fake_now_us, 60 * 1000000);
    // 600 idle pauses, and at the start and for each key at most the eleven of the ramp to
    // 100 ms.
    EXPECT_LE(pauses.size(), static_cast<size_t>(600 + 12 * (keys + 1)));
    EXPECT_GT(keys, 3);
    jtag_channel = console_channel = nullptr;
    relay_clock = monotonic_milliseconds;
}

}  // namespace
