// Child processes and /proc figures for the benchmarks that time the real programs.
#include "bench/bench-process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

std::string temp_dir;

[[noreturn]] void exec_child(const std::vector<std::string>& argv, int in, int out) {
    // A benchmark that dies leaves nothing running behind it.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (in >= 0) dup2(in, STDIN_FILENO);
    if (out >= 0) dup2(out, STDOUT_FILENO);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    std::fprintf(stderr, "bench: cannot run %s: %s\n", args[0], std::strerror(errno));
    _exit(127);
}

// Reads the server's standard output up to its "listening" line, with a deadline.
bool read_address(int fd, std::string* address) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    std::string line;
    char c;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd wanted = {fd, POLLIN, 0};
        if (left.count() <= 0) return false;
        int ready = poll(&wanted, 1, int(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        ssize_t n = read(fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        if (c != '\n') {
            line += c;
        } else if (line.rfind("listening ", 0) == 0) {
            *address = line.substr(10);
            return true;
        } else {
            line.clear();
        }
    }
}

}  // namespace

bool server_start(const std::vector<std::string>& options, SERVER_CHILD* server,
                  std::string* error) {
    std::vector<std::string> argv = {VARNAX_SERVER_PATH};
    argv.insert(argv.end(), options.begin(), options.end());
    for (const char* option : {"--listen", "127.0.0.1:0", "--quiet", "--no-commands"})
        argv.push_back(option);
    int out[2];
    if (pipe(out) != 0) {
        *error = std::strerror(errno);
        return false;
    }
    int pid = fork();
    if (pid == 0) {
        close(out[0]);
        exec_child(argv, -1, out[1]);
    }
    close(out[1]);
    server->pid = pid;
    bool up = pid > 0 && read_address(out[0], &server->address);
    close(out[0]);
    if (!up) {
        *error = "varnax-server did not say where it listens";
        server_stop(server);
    }
    return up;
}

void server_stop(SERVER_CHILD* server) {
    if (server->pid <= 0) return;
    kill(server->pid, SIGTERM);
    child_wait(server->pid, std::chrono::seconds(2));  // kills it when SIGTERM was not enough
    server->pid = -1;
}

int child_start(const std::vector<std::string>& argv, const std::string& env, int stdin_fd,
                int stdout_fd) {
    int pid = fork();
    if (pid == 0) {
        putenv(const_cast<char*>(env.c_str()));
        exec_child(argv, stdin_fd, stdout_fd);
    }
    return pid;
}

int child_wait(int pid, std::chrono::milliseconds limit, PROC_FIGURES* used) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    rusage usage{};
    for (;;) {
        int done = wait4(pid, &status, WNOHANG, &usage);
        if (done == pid) break;
        if (done < 0) return -1;
        if (std::chrono::steady_clock::now() >= deadline) {
            std::fprintf(stderr, "bench: process %d did not end in time; killing it\n", pid);
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (used != nullptr) {
        *used = PROC_FIGURES{};
        used->cpu_secs = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
        used->run_secs = used->cpu_secs;
        used->voluntary = usage.ru_nvcsw;
        used->involuntary = usage.ru_nivcsw;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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
