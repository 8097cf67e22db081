// What an idle session costs: a terminal connected to a silent target with nobody typing, and
// the server behind it. Wake-ups are context switches summed over each process's threads.
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench-support.h"

namespace {

constexpr int default_secs = 5;
constexpr int default_runs = 3;
// Connecting, the demo target's banner and the pauses' growth back to 100 ms after it are
// over by then: what follows is a second of silence and more.
constexpr auto settle = std::chrono::milliseconds(1000);

// Per second of the measured span, for one process.
struct IDLE_RATES {
    double wakeups = 0, voluntary = 0, involuntary = 0;
    double cpu_ms = 0;  // from utime + stime, in clock ticks
    double run_ms = 0;  // from the scheduler's run time
};

IDLE_RATES rates_between(const PROC_FIGURES& a, const PROC_FIGURES& b, double secs) {
    IDLE_RATES r;
    r.voluntary = double(b.voluntary - a.voluntary) / secs;
    r.involuntary = double(b.involuntary - a.involuntary) / secs;
    r.wakeups = r.voluntary + r.involuntary;
    r.cpu_ms = (b.cpu_secs - a.cpu_secs) * 1000 / secs;
    r.run_ms = (b.run_secs - a.run_secs) * 1000 / secs;
    return r;
}

// One idle session: returns false when something did not start or went away early.
bool run_idle(const std::string& config, int secs, IDLE_RATES* terminal, IDLE_RATES* server) {
    SERVER_CHILD srv;
    std::string why;
    if (!server_start({"--config", config}, &srv, &why)) {
        std::fprintf(stderr, "idle-session: %s\n", why.c_str());
        return false;
    }
    // Standard input stays an open and silent pipe, like a console nobody types at.
    CHILD_SETUP setup;
    setup.output = CHILD_SETUP::STREAM::null;
    setup.error = CHILD_SETUP::STREAM::inherit;
    setup.environment = {{"JTAG_VARNAX_SERVER", srv.address}};
    std::string limit = std::to_string(secs + 30);  // the session ends by itself in any case
    CHILD_PROCESS term(terminal_under_test(TARVIK_TERMINAL_PATH), {"-q", "--quit-after", limit},
                       setup);
    std::this_thread::sleep_for(settle);
    PROC_FIGURES t0, t1, s0, s1;
    bool ok = term.started() && proc_figures(term.pid(), &t0) && proc_figures(srv.pid(), &s0);
    auto start = std::chrono::steady_clock::now();
    if (ok) std::this_thread::sleep_for(std::chrono::seconds(secs));
    ok = ok && proc_figures(term.pid(), &t1) && proc_figures(srv.pid(), &s1);
    double span = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (ok) {
        *terminal = rates_between(t0, t1, span);
        *server = rates_between(s0, s1, span);
    }
    term.send_signal(SIGINT);  // Ctrl-C: the session ends the ordinary way
    term.wait_exit(std::chrono::seconds(5));
    server_stop(&srv);
    if (!ok) std::fprintf(stderr, "idle-session: the terminal or the server went away\n");
    return ok;
}

void print_process(const char* who, const std::vector<IDLE_RATES>& runs) {
    std::vector<double> wakeups, voluntary, involuntary, cpu, run;
    for (const IDLE_RATES& r : runs) {
        wakeups.push_back(r.wakeups);
        voluntary.push_back(r.voluntary);
        involuntary.push_back(r.involuntary);
        cpu.push_back(r.cpu_ms);
        run.push_back(r.run_ms);
    }
    SPREAD w = spread_of(wakeups), v = spread_of(voluntary), i = spread_of(involuntary);
    SPREAD c = spread_of(cpu), r = spread_of(run);
    std::printf("%s wake-ups: %.1f /s (range %.1f to %.1f; voluntary %.1f, involuntary %.1f)\n",
                who, w.median, w.low, w.high, v.median, i.median);
    std::printf(
        "%s CPU: %.1f ms/s from utime+stime (range %.1f to %.1f), %.3f ms/s on a CPU "
        "(range %.3f to %.3f)\n",
        who, c.median, c.low, c.high, r.median, r.low, r.high);
}

}  // namespace

int main(int argc, char** argv) {
    int secs = argc > 1 ? std::atoi(argv[1]) : default_secs;
    int runs = argc > 2 ? std::atoi(argv[2]) : default_runs;
    if (secs <= 0 || secs > 600 || runs <= 0 || runs > 20) {
        std::fprintf(stderr, "usage: idle-session [SECONDS (1..600) [RUNS (1..20)]]\n");
        return 2;
    }
    struct CONFIG {
        const char* what;
        std::string text;
    } configs[] = {
        // A JTAG UART whose target socket nobody connects to: the target never says anything.
        {"silent target (listen, nobody connected)", "cable idle\ndevice 1\nuart 0 listen\n"},
        // The demo board's program after its banner, waiting for keys.
        {"demo target after its banner", "cable idle\ndevice 1\nuart 0 demo\n"},
    };
    bool ok = true;
    for (const CONFIG& c : configs) {
        std::string path = temp_file("idle.conf", c.text);
        std::vector<IDLE_RATES> terminal, server;
        for (int i = 0; i < runs && ok; ++i) {
            IDLE_RATES t, s;
            ok = run_idle(path, secs, &t, &s);
            terminal.push_back(t);
            server.push_back(s);
        }
        if (!ok) break;
        std::printf("idle session, %s, no input, %d s, %d runs: median (range)\n", c.what, secs,
                    runs);
        print_process("  terminal", terminal);
        print_process("  server", server);
    }
    temp_cleanup();
    return ok ? 0 : 1;
}
