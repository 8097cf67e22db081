// The terminal talking to real firmware: U-Boot on an emulated arm64 board, the emulator run
// by the server as a program target, exactly as docs/server.md shows it.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "tests/support/process-harness.h"
#include "tests/support/sim-server.h"

namespace {

using namespace std::chrono_literals;

const std::string emulator = "qemu-system-aarch64";
const std::string firmware = "/usr/lib/u-boot/qemu_arm64/u-boot.bin";

bool in_path(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "");
    std::string dir;
    while (std::getline(dirs, dir, ':'))
        if (!dir.empty() && access((dir + "/" + program).c_str(), X_OK) == 0) return true;
    return false;
}

TEST(Firmware, TerminalReachesTheUBootPromptAndGetsAnswers) {
    if (!in_path(emulator))
        GTEST_SKIP() << emulator << " is not installed (Debian package qemu-system-arm)";
    if (access(firmware.c_str(), R_OK) != 0)
        GTEST_SKIP() << firmware << " is not installed (Debian package u-boot-qemu)";
    // The emulator starts with the server.
    auto start = std::chrono::steady_clock::now();
    SIM_SERVER server;
    std::string config = "cable \"QEMU virt\"\n  device 0\n    uart 0 out=4096 program " +
                         emulator +
                         " -M virt -cpu cortex-a57 -m 128 -nodefaults -display none"
                         " -serial stdio -monitor none -bios " +
                         firmware + "\n";
    ASSERT_TRUE(server.start(config, {"--quiet"})) << server.error();
    CHILD_SETUP setup;
    setup.environment = {{"JTAG_VARNAX_SERVER", server.address()}};
    CHILD_PROCESS term(TERMINAL_PATH, {}, setup);
    // A key during the countdown stops the boot; the firmware's prompt follows.
    ASSERT_TRUE(term.wait_for_output("Hit any key to stop autoboot", 30s));
    ASSERT_TRUE(term.write_input(" ", 5s));
    ASSERT_TRUE(term.wait_for_output("\n=> ", 30s));
    double prompt = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_TRUE(term.write_input("setenv tv 42; printenv tv\r", 5s));
    EXPECT_TRUE(term.wait_for_output("\r\ntv=42\r\n=> ", 10s));
    std::printf("U-Boot prompt %.2f s after the server started the emulator\n", prompt);
    term.send_signal(SIGINT);
    EXPECT_EQ(term.wait_exit(10s), exited(0));
}

}  // namespace
