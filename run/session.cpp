// One terminal session: countdown, both channels, the optional drain, banner, relay, teardown.
#include "run/session.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>

#include "args/process-args.h"
#include "base/program-name.h"
#include "comm/console-io.h"
#include "comm/jtag-uart.h"
#include "comm/pause.h"
#include "platform/console.h"
#include "platform/process.h"
#include "run/relay-loop.h"

namespace {

constexpr int64_t tick_us = 100000;  // one countdown tick
constexpr int ticks_per_second = 10;
constexpr unsigned int flush_block_size = 64;
// The drain gives up after this long: a target that never pauses must not stall the start.
constexpr auto flush_limit = std::chrono::seconds(1);
// How long the closing lines may wait for room in output that nobody reads.
constexpr auto closing_wait = std::chrono::milliseconds(200);

// Counts down wait_secs on one line, a field of three characters updated once per tick.
void count_down() {
    std::printf("%s: Waiting to allow other programs to start:    ", program_name);
    // 64 bits: wait_secs * 10 does not fit 32 bits for the largest waits.
    int64_t ticks = static_cast<int64_t>(settings.wait_secs) * ticks_per_second;
    while (ticks > 0) {
        if (interrupted.load()) break;
        std::printf("\b\b\b%2llds", static_cast<long long>((ticks + 9) / ticks_per_second));
        std::fflush(stdout);
        pause_us(tick_us, false);  // plain ticks: only Ctrl-C ends one early
        --ticks;
    }
    std::printf("\b\b\bdone\n");
}

// Throws away what the target had queued before the session: not shown, not captured. It ends
// on the first read that finds nothing after a full pause.
void drain_target(COMM_JTAG_UART* link) {
    link->wait_open();
    char scratch[flush_block_size];
    const auto deadline = std::chrono::steady_clock::now() + flush_limit;
    while (link->read_settled(scratch, flush_block_size) > 0) {
        if (interrupted.load() || std::chrono::steady_clock::now() >= deadline) break;
    }
}

const char* reason_text(RELAY_RESULT result) {
    switch (result) {
        case RELAY_RESULT::user_timeout:
            return "user timeout\n";
        case RELAY_RESULT::ctrl_d_on_remote:
            return "^D on remote\n";
        case RELAY_RESULT::io_error:
            return "I/O error communicating with target\n";
        case RELAY_RESULT::ctrl_c_on_host:
            return "^C on host\n";
    }
    return "\n";
}

// The closing lines go out through the console's own write, which gives output that can stall
// a short while to take them: a reader that has stopped reading must not keep the program
// from ending after its session.
void say_at_end(const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + closing_wait;
    size_t done = 0;
    while (done < text.size()) {
        int n =
            console_write_stdout(text.data() + done, static_cast<unsigned int>(text.size() - done));
        if (n < 0) return;
        done += static_cast<size_t>(n);
        if (n == 0 && std::chrono::steady_clock::now() >= deadline) return;
    }
}

}  // namespace

void on_interrupt(int signal_number) {
    interrupted.store(1);
    pause_interrupt();
    std::signal(signal_number, on_interrupt);
}

void run_session() {
    // Before the handler: Ctrl-C ends whatever pause is in progress.
    pauses_start();
    std::signal(SIGINT, on_interrupt);
    // A closed standard output shows as a failed write, which ends the relay.
    process_ignore_broken_pipe();

    if (settings.wait_secs > 0) count_down();
    if (interrupted.load()) return;

    COMM_JTAG_UART* link = new COMM_JTAG_UART();
    jtag_channel = link;
    console_channel = new COMM_CONSOLE();
    session_start = relay_clock();

    if (settings.flush_first) drain_target(link);
    if (settings.verbose) {
        std::printf("%s: (Use the IDE stop button or Ctrl-C to terminate)\n", program_name);
        console_channel->ready();
        std::printf("\n");
    }

    RELAY_RESULT result = relay();

    // The link closes before the console mode comes back.
    delete jtag_channel;
    jtag_channel = nullptr;
    delete console_channel;
    console_channel = nullptr;

    if (settings.verbose) {
        say_at_end(std::string("\n\n") + program_name + ": exiting due to " + reason_text(result));
    }
}
