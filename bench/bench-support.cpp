// The server, /proc figures, temporary files and medians for the benchmarks.
#include "bench/bench-support.h"

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

std::string temp_dir;

}  // namespace

std::string terminal_under_test(const char* built) {
    const char* chosen = std::getenv("BENCH_TERMINAL");
    return chosen != nullptr && *chosen != '\0' ? chosen : built;
}

std::string server_under_test(const char* built) {
    const char* chosen = std::getenv("BENCH_SERVER");
    return chosen != nullptr && *chosen != '\0' ? chosen : built;
}

bool server_start(const std::vector<std::string>& options, SERVER_CHILD* server,
                  std::string* error, const std::string& log_file) {
    std::vector<std::string> arguments = options;
    for (const char* option : {"--listen", "127.0.0.1:0", "--no-commands"})
        arguments.push_back(option);
    if (log_file.empty()) arguments.push_back("--quiet");
    CHILD_SETUP setup;
    setup.input = CHILD_SETUP::STREAM::inherit;
    setup.error = log_file.empty() ? CHILD_SETUP::STREAM::inherit : CHILD_SETUP::STREAM::file;
    setup.error_file = log_file;
    server->process =
        std::make_unique<CHILD_PROCESS>(server_under_test(VARNAX_SERVER_PATH), arguments, setup);
    std::string line;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (server->process->next_line(&line, std::chrono::duration_cast<std::chrono::milliseconds>(
                                                 deadline - std::chrono::steady_clock::now()))) {
        if (line.rfind("listening ", 0) == 0) {
            server->address = line.substr(10);
            return true;
        }
    }
    *error = "varnax-server did not say where it listens";
    server_stop(server);
    return false;
}

void server_stop(SERVER_CHILD* server) {
    if (server->process == nullptr) return;
    server->process->send_signal(SIGTERM);
    server->process->wait_exit(std::chrono::seconds(2));  // kills it when SIGTERM was not enough
    server->process.reset();
}

PROC_FIGURES figures_of(const CHILD_USAGE& usage) {
    PROC_FIGURES figures;
    figures.cpu_secs = usage.cpu_secs;
    figures.run_secs = usage.cpu_secs;
    figures.voluntary = usage.voluntary;
    figures.involuntary = usage.involuntary;
    return figures;
}

bool proc_figures(int pid, PROC_FIGURES* figures) {
    std::string base = "/proc/" + std::to_string(pid);
    std::ifstream stat(base + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // The command name may hold blanks: the fields that follow start after its ')'.
    std::size_t close_paren = text.rfind(')');
    if (close_paren == std::string::npos) return false;
    std::istringstream fields(text.substr(close_paren + 2));
    std::string field;
    long utime = 0, stime = 0;
    // State is field 3; utime and stime are fields 14 and 15.
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) utime = std::atol(field.c_str());
        if (i == 15) stime = std::atol(field.c_str());
    }
    *figures = PROC_FIGURES{};
    figures->cpu_secs = double(utime + stime) / double(sysconf(_SC_CLK_TCK));
    DIR* tasks = opendir((base + "/task").c_str());
    if (tasks == nullptr) return false;
    while (dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] == '.') continue;
        std::string task = base + "/task/" + entry->d_name;
        std::ifstream status(task + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
                figures->voluntary += std::atol(line.c_str() + 24);
            if (line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
                figures->involuntary += std::atol(line.c_str() + 27);
        }
        std::ifstream schedstat(task + "/schedstat");
        double run_ns = 0;
        if (schedstat >> run_ns) figures->run_secs += run_ns / 1e9;
    }
    closedir(tasks);
    return true;
}

std::string temp_file(const std::string& name, const std::string& content) {
    if (temp_dir.empty()) {
        char pattern[] = "/tmp/tarvik-bench-XXXXXX";
        if (mkdtemp(pattern) == nullptr) return "";
        temp_dir = pattern;
    }
    std::string path = temp_dir + "/" + name;
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    return path;
}

void temp_cleanup() {
    if (temp_dir.empty()) return;
    DIR* dir = opendir(temp_dir.c_str());
    while (dir != nullptr) {
        dirent* entry = readdir(dir);
        if (entry == nullptr) break;
        if (entry->d_name[0] != '.') unlink((temp_dir + "/" + entry->d_name).c_str());
    }
    if (dir != nullptr) closedir(dir);
    rmdir(temp_dir.c_str());
    temp_dir.clear();
}

SPREAD spread_of(std::vector<double> values) {
    SPREAD s;
    if (values.empty()) return s;
    std::sort(values.begin(), values.end());
    std::size_t mid = values.size() / 2;
    s.median = values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
    s.low = values.front();
    s.high = values.back();
    return s;
}

double ms_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

std::chrono::milliseconds left_until(std::chrono::steady_clock::time_point deadline) {
    return std::max(std::chrono::milliseconds(0),
                    std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now()));
}

bool wait_for_echo(CHILD_PROCESS& term, const std::string& text, std::size_t from,
                   std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        if (term.out().find(text, from) != std::string::npos) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        term.read_output(1 << 16, left_until(deadline));
    }
}

namespace {
double percentile(std::vector<double> values, double share) {
    std::sort(values.begin(), values.end());
    std::size_t at = std::size_t(share * double(values.size() - 1) + 0.5);
    return values[at];
}
}  // namespace

bool time_keys(CHILD_PROCESS& term, int keys, const char* program) {
    using clock_type = std::chrono::steady_clock;
    constexpr auto echo_limit = std::chrono::seconds(2);  // one key's echo, at most
    std::mt19937 random(20261208);
    std::uniform_int_distribution<int> gap_ms(50, 350);
    std::vector<double> echo_ms;
    for (int i = 0; i < keys; ++i) {
        auto typed_at = clock_type::now() + std::chrono::milliseconds(gap_ms(random));
        while (clock_type::now() < typed_at) term.read_output(1 << 16, left_until(typed_at));
        // Letters, so that what comes back is exactly the key.
        std::string key(1, char('a' + i % 26));
        std::size_t from = term.out().size();
        auto start = clock_type::now();
        if (term.write_some_input(key.data(), 1) != 1) return false;
        if (!wait_for_echo(term, key, from, start + echo_limit)) {
            std::fprintf(stderr, "%s: no echo of key %d within %lld s\n", program, i,
                         static_cast<long long>(echo_limit.count()));
            return false;
        }
        echo_ms.push_back(ms_since(start));
    }
    std::printf(
        "%d keys typed 50 to 350 ms apart, echo on the screen: median %.2f ms, "
        "90th percentile %.2f ms, max %.2f ms\n",
        keys, percentile(echo_ms, 0.5), percentile(echo_ms, 0.9),
        *std::max_element(echo_ms.begin(), echo_ms.end()));
    return true;
}
