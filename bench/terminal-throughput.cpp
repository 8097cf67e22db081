// Target-to-screen throughput of the whole terminal: the demo target floods, the terminal relays
// to a file, next to the floor of writing the same bytes to a file in 64-byte writes; and the
// terminal's own cost per block, against a library that always has 64 bytes ready.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "bench/bench-support.h"

namespace {

using clock_type = std::chrono::steady_clock;
constexpr long default_kib = 1024;
constexpr int default_runs = 3;
constexpr auto session_limit = std::chrono::seconds(120);
constexpr long long ready_bytes = 256LL << 20;  // what the always-ready library sends

struct SESSION {
    double secs = 0;
    long bytes = 0;
    bool ok = false;
    PROC_FIGURES used;  // by the terminal, over the whole session
    double floor_secs = 0;  // the floor of the same bytes, timed right after the session
};

// One session from start to exit: "flood KIB" and "bye" are on standard input from the start,
// and the session ends on the Ctrl-D that follows the demo target's "bye".
SESSION run_session(const SERVER_CHILD& server, long kib, const std::string& out_path) {
    std::string keys = kib > 0 ? "flood " + std::to_string(kib) + "\rbye\r" : "bye\r";
    // A file rather than a pipe: its end is not an input error.
    std::string keys_path = temp_file("keys", keys);
    CHILD_SETUP setup;
    setup.input = CHILD_SETUP::STREAM::file;
    setup.input_file = keys_path;
    setup.output = CHILD_SETUP::STREAM::file;
    setup.output_file = out_path;
    setup.error = CHILD_SETUP::STREAM::inherit;
    setup.environment = {{"JTAG_VARNAX_SERVER", server.address}};
    SESSION s;
    auto start = clock_type::now();
    CHILD_PROCESS terminal(terminal_under_test(TARVIK_TERMINAL_PATH), {"-q"}, setup);
    EXIT_STATUS status = terminal.wait_exit(session_limit);
    s.secs = std::chrono::duration<double>(clock_type::now() - start).count();
    s.used = figures_of(terminal.usage());
    struct stat info;
    s.bytes = stat(out_path.c_str(), &info) == 0 ? long(info.st_size) : 0;
    s.ok = status == exited(0) && s.bytes >= kib * 1024;
    if (!s.ok)
        std::fprintf(stderr, "terminal-throughput: the session %s after %ld bytes\n",
                     describe(status).c_str(), s.bytes);
    return s;
}

// The floor of a relay that moves 64-byte blocks to a file: the writes alone.
double floor_secs(const std::string& bytes, const std::string& path) {
    auto start = clock_type::now();
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return 0;
    for (std::size_t done = 0; done < bytes.size();) {
        std::size_t block = bytes.size() - done < 64 ? bytes.size() - done : 64;
        ssize_t n = write(fd, bytes.data() + done, block);
        if (n <= 0) break;
        done += std::size_t(n);
    }
    close(fd);
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

void print_rate(const char* what, const std::vector<double>& mib_per_sec) {
    SPREAD s = spread_of(mib_per_sec);
    std::printf("%-40s %7.2f MiB/s (range %.2f to %.2f)\n", what, s.median, s.low, s.high);
}

// The rate with what the terminal used: its CPU time, and its voluntary context switches,
// which are mostly the pauses after empty reads.
// Then each session against the floor run right after it: the machine's speed drifts over
// seconds, so a ratio of neighbours holds up better than one of two medians.
void print_sessions(const char* what, const std::vector<SESSION>& sessions) {
    std::vector<double> rates, cpu_ms, switches, shares;
    for (const SESSION& s : sessions) {
        rates.push_back(double(s.bytes) / s.secs / (1 << 20));
        cpu_ms.push_back(s.used.cpu_secs * 1000);
        switches.push_back(double(s.used.voluntary));
        if (s.floor_secs > 0) shares.push_back(s.floor_secs / s.secs);
    }
    SPREAD r = spread_of(rates), c = spread_of(cpu_ms), v = spread_of(switches);
    std::printf(
        "%-40s %7.2f MiB/s (range %.2f to %.2f); terminal CPU %.0f ms (%.0f to %.0f), "
        "%.0f voluntary switches (%.0f to %.0f)\n",
        what, r.median, r.low, r.high, c.median, c.low, c.high, v.median, v.low, v.high);
    if (shares.empty()) return;
    SPREAD f = spread_of(shares);
    std::printf("%-40s %7.2f       (range %.2f to %.2f)\n", "  against its floor run", f.median,
                f.low, f.high);
}

// Runs the sessions against one server; returns false when one of them failed.
bool bench_terminal(const char* what, const std::vector<std::string>& server_options, long kib,
                    int runs, std::string* output) {
    SERVER_CHILD server;
    std::string why;
    if (!server_start(server_options, &server, &why)) {
        std::fprintf(stderr, "terminal-throughput: %s\n", why.c_str());
        return false;
    }
    std::string out_path = temp_file("screen", "");
    std::string floor_path = temp_file("floor", "");
    std::vector<SESSION> sessions;
    bool ok = true;
    for (int i = 0; i < runs && ok; ++i) {
        sessions.push_back(run_session(server, kib, out_path));
        ok = sessions.back().ok;
        std::ifstream in(out_path, std::ios::binary);
        output->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (ok) sessions.back().floor_secs = floor_secs(*output, floor_path);
    }
    server_stop(&server);
    if (!ok) return false;
    print_sessions(what, sessions);
    return true;
}

// The fixed cost of a session: start, open the link, banner, "bye", Ctrl-D, exit.
void bench_empty_session(int runs) {
    SERVER_CHILD server;
    std::string why;
    if (!server_start({"--demo"}, &server, &why)) return;
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        SESSION s = run_session(server, 0, temp_file("screen", ""));
        if (!s.ok) break;
        ms.push_back(s.secs * 1000);
    }
    server_stop(&server);
    SPREAD s = spread_of(ms);
    std::printf("%-40s %7.0f ms    (range %.0f to %.0f)\n", "terminal session without a flood",
                s.median, s.low, s.high);
}

// Wall and CPU time of one measurement.
struct TIMES {
    double wall = 0;
    double cpu = 0;
};

double process_cpu_secs() {
    timespec now;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// 64-byte writes to /dev/null: what a relay of 64-byte blocks pays at least, with the cost of
// the output itself as small as it gets.
TIMES null_loop(long long bytes) {
    char block[64];
    std::memset(block, 'x', sizeof block);
    TIMES t;
    int fd = open("/dev/null", O_WRONLY);
    if (fd < 0) return t;
    auto start = clock_type::now();
    double cpu_start = process_cpu_secs();
    for (long long done = 0; done < bytes;) {
        ssize_t n = write(fd, block, sizeof block);
        if (n <= 0) break;
        done += n;
    }
    t.cpu = process_cpu_secs() - cpu_start;
    t.wall = std::chrono::duration<double>(clock_type::now() - start).count();
    close(fd);
    return t;
}

// The terminal against the always-ready library, standard input and output on /dev/null, from
// start to exit; zeros when the session failed.
TIMES ready_session() {
    CHILD_SETUP setup;
    setup.input = CHILD_SETUP::STREAM::null;
    setup.output = CHILD_SETUP::STREAM::null;
    setup.error = CHILD_SETUP::STREAM::inherit;
    setup.environment = {{"LD_LIBRARY_PATH", READY_LIBRARY_DIR},
                         {"JTAG_VARNAX_READY_BYTES", std::to_string(ready_bytes)}};
    TIMES t;
    auto start = clock_type::now();
    CHILD_PROCESS terminal(terminal_under_test(TARVIK_TERMINAL_PATH), {"-q"}, setup);
    EXIT_STATUS status = terminal.wait_exit(session_limit);
    if (status != exited(0)) {
        std::fprintf(stderr, "terminal-throughput: the always-ready session %s\n",
                     describe(status).c_str());
        return t;
    }
    t.wall = std::chrono::duration<double>(clock_type::now() - start).count();
    t.cpu = terminal.usage().cpu_secs;
    return t;
}

// The terminal's cost per block as a share of the bare writes, each run timing both. The
// share of CPU times holds up better than that of wall times on a busy machine.
bool bench_block_cost(int runs) {
    std::vector<double> terminal, loop, share, cpu_share;
    const double mib = double(ready_bytes) / (1 << 20);
    for (int i = 0; i < runs; ++i) {
        TIMES t = ready_session();
        TIMES l = null_loop(ready_bytes);
        if (t.wall <= 0 || l.wall <= 0) return false;
        terminal.push_back(mib / t.wall);
        loop.push_back(mib / l.wall);
        share.push_back(l.wall / t.wall);
        if (t.cpu > 0) cpu_share.push_back(l.cpu / t.cpu);
    }
    std::printf("%lld MiB from a library that always has 64 bytes ready, to /dev/null:\n",
                ready_bytes >> 20);
    print_rate("terminal, start to exit", terminal);
    print_rate("plain loop of 64-byte writes", loop);
    SPREAD s = spread_of(share), c = spread_of(cpu_share);
    std::printf("%-40s %7.2f         (range %.2f to %.2f)\n", "terminal / plain loop, wall time",
                s.median, s.low, s.high);
    std::printf("%-40s %7.2f         (range %.2f to %.2f)\n", "terminal / plain loop, CPU time",
                c.median, c.low, c.high);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    // "blocks [RUNS]": only the cost per block.
    if (argc > 1 && std::strcmp(argv[1], "blocks") == 0) {
        int runs = argc > 2 ? std::atoi(argv[2]) : default_runs;
        if (runs <= 0 || runs > 20) {
            std::fprintf(stderr, "usage: terminal-throughput blocks [RUNS (1..20)]\n");
            return 2;
        }
        return bench_block_cost(runs) ? 0 : 1;
    }
    long kib = argc > 1 ? std::atol(argv[1]) : default_kib;
    int runs = argc > 2 ? std::atoi(argv[2]) : default_runs;
    if (kib <= 0 || kib > 65536 || runs <= 0 || runs > 20) {
        std::fprintf(stderr, "usage: terminal-throughput [KIB (1..65536) [RUNS (1..20)]] | blocks [RUNS]\n");
        return 2;
    }
    std::printf("demo target flood of %ld KiB to a file, start to exit, %d runs: median (range)\n",
                kib, runs);
    std::string shown;
    std::string big_fifo = temp_file("big-fifo.conf",
                                     "cable \"Varnax demo cable [USB-0]\"\n"
                                     "device 1\n"
                                     "uart 0 out=1048576 demo\n");
    bool ok =
        bench_terminal("terminal, output FIFO 64 bytes (--demo)", {"--demo"}, kib, runs, &shown) &&
        bench_terminal("terminal, output FIFO 1 MiB", {"--config", big_fifo}, kib, runs, &shown);
    if (ok) {
        std::vector<double> rates;
        std::string path = temp_file("floor", "");
        for (int i = 0; i < runs; ++i)
            rates.push_back(double(shown.size()) / floor_secs(shown, path) / (1 << 20));
        print_rate("floor: the same bytes in 64-byte writes", rates);
        bench_empty_session(runs);
        ok = bench_block_cost(runs);
    }
    temp_cleanup();
    return ok ? 0 : 1;
}
