// How the terminal feels to type into: the demo target echoes every byte; keys typed one at a
// time at random moments, then a paste, each timed until its echo is on the screen.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench-support.h"

namespace {

using clock_type = std::chrono::steady_clock;
using std::chrono::milliseconds;
constexpr int default_keys = 60;
constexpr long default_paste_kib = 64;
constexpr auto paste_limit = std::chrono::seconds(30);  // a slow terminal's paste is cut there
constexpr auto banner_limit = std::chrono::seconds(5);
const std::string banner_end = "Type help and press Enter.";  // the pty may add a CR

// A paste of letters (no Enter, so the target echoes them and nothing else) as a terminal
// window makes it: the whole text written into the pseudo-terminal at once, by a thread that
// waits for room whenever the pseudo-terminal is full, while this one reads the echo. Timed
// from the first byte typed to the last byte echoed. Returns false when the paste was cut
// before all of it came back.
bool time_paste(CHILD_PROCESS& term, long kib) {
    std::string paste;
    for (long i = 0; i < kib * 1024; ++i) paste += char('a' + i % 26);
    std::size_t from = term.out().size();
    std::atomic<bool> cut{false};
    auto start = clock_type::now();
    auto deadline = start + paste_limit;
    std::thread typist([&] {
        for (std::size_t typed = 0; typed < paste.size() && !cut.load();) {
            long n = term.write_some_input(paste.data() + typed, paste.size() - typed);
            if (n < 0) return;
            typed += std::size_t(n);
            if (n == 0) term.wait_for_input_room(milliseconds(100));
        }
    });
    while (term.out().size() - from < paste.size() && clock_type::now() < deadline)
        term.read_output(1 << 16, std::min(milliseconds(5), left_until(deadline)));
    double secs = ms_since(start) / 1000;
    cut.store(true);
    typist.join();
    std::size_t echoed = std::min(term.out().size() - from, paste.size());
    std::printf("a %ld KiB paste, written at once, echoed: %.1f KiB/s (%.2f s", kib,
                double(echoed) / secs / 1024, secs);
    if (echoed < paste.size())
        std::printf("; cut after %lld s with %.1f KiB echoed",
                    static_cast<long long>(paste_limit.count()), double(echoed) / 1024);
    std::printf(")\n");
    return echoed == paste.size();
}

}  // namespace

int main(int argc, char** argv) {
    int keys = argc > 1 ? std::atoi(argv[1]) : default_keys;
    long kib = argc > 2 ? std::atol(argv[2]) : default_paste_kib;
    if (keys <= 0 || keys > 10000 || kib < 0 || kib > 65536) {
        std::fprintf(stderr, "usage: echo-latency [KEYS (1..10000) [PASTE_KIB (0..65536)]]\n");
        return 2;
    }
    SERVER_CHILD server;
    std::string why;
    if (!server_start({"--demo"}, &server, &why)) {
        std::fprintf(stderr, "echo-latency: %s\n", why.c_str());
        return 1;
    }
    bool ok = false;
    {
        // The terminal's console is a pseudo-terminal, as at a keyboard.
        CHILD_PROCESS term(terminal_under_test(TARVIK_TERMINAL_PATH), {"-q"},
                           on_terminal({{"JTAG_VARNAX_SERVER", server.address}}));
        ok = term.started() && wait_for_echo(term, banner_end, 0, clock_type::now() + banner_limit);
        if (!ok) std::fprintf(stderr, "echo-latency: the demo target's banner did not come\n");
        ok = ok && time_keys(term, keys, "echo-latency");
        // A cut paste leaves keys queued in front of "bye": such a session is simply killed.
        if (ok && (kib == 0 || time_paste(term, kib))) {
            // Enter, then "bye": the target answers with Ctrl-D and the session ends by itself.
            term.write_input("\rbye\r", milliseconds(5000));
            if (term.wait_exit(milliseconds(5000)) != exited(0)) {
                std::fprintf(stderr, "echo-latency: the session did not end on bye\n");
                ok = false;
            }
        }
    }
    server_stop(&server);
    return ok ? 0 : 1;
}
