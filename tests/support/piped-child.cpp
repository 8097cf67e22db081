// PIPED_CHILD: fork and exec with piped standard streams, then writing, reading and waiting.
#include "tests/support/piped-child.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

extern char** environ;

namespace {

using clock_type = std::chrono::steady_clock;

int ms_left(clock_type::time_point end) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - clock_type::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

int open_input(const CHILD_SETUP& setup, int* parent_end) {
    if (setup.input == CHILD_SETUP::Input::pipe) {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) return -1;
        *parent_end = ends[1];
        fcntl(ends[1], F_SETFL, O_NONBLOCK);
        return ends[0];
    }
    const char* path =
        setup.input == CHILD_SETUP::Input::null ? "/dev/null" : setup.input_file.c_str();
    return open(path, O_RDONLY | O_CLOEXEC);
}

}  // namespace

PIPED_CHILD::PIPED_CHILD(const std::string& path, const std::vector<std::string>& arguments,
                         const CHILD_SETUP& setup) {
    int child_input = open_input(setup, &m_input);
    int out_ends[2];
    int err_ends[2];
    if (child_input < 0 || pipe2(out_ends, O_CLOEXEC) != 0 || pipe2(err_ends, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "setting up the child's streams: " << std::strerror(errno);
        return;
    }
    // Everything the child needs is built before fork: the child only calls exec.
    std::vector<std::string> strings{setup.argv0.empty() ? path : setup.argv0};
    strings.insert(strings.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& s : strings) argv.push_back(s.data());
    argv.push_back(nullptr);
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        bool replaced = false;
        for (const auto& extra : setup.environment) {
            replaced = replaced || std::strncmp(*entry, (extra.first + "=").c_str(),
                                                extra.first.size() + 1) == 0;
        }
        if (!replaced) environment.emplace_back(*entry);
    }
    for (const auto& [name, value] : setup.environment) environment.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (std::string& s : environment) envp.push_back(s.data());
    envp.push_back(nullptr);
    const char* directory = setup.directory.empty() ? nullptr : setup.directory.c_str();

    signal(SIGPIPE, SIG_IGN);  // input to a child that has ended must not end the test
    pid_t parent = getpid();
    m_pid = fork();
    if (m_pid == 0) {
        // Between fork and exec: only calls that are safe there. A crashed test leaves no
        // child behind.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        dup2(child_input, 0);
        dup2(out_ends[1], 1);
        dup2(err_ends[1], 2);
        if (directory != nullptr && chdir(directory) != 0) _exit(127);
        execve(path.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(child_input);
    close(out_ends[1]);
    close(err_ends[1]);
    m_output = out_ends[0];
    m_error = err_ends[0];
    if (m_pid < 0) ADD_FAILURE() << "fork: " << std::strerror(errno);
}

PIPED_CHILD::~PIPED_CHILD() {
    if (m_pid > 0 && !m_reaped) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
    for (int fd : {m_input, m_output, m_error}) {
        if (fd >= 0) close(fd);
    }
}

long PIPED_CHILD::write_some_input(const char* data, std::size_t size) {
    if (m_input < 0) return -1;
    for (;;) {
        ssize_t n = ::write(m_input, data, size);
        if (n >= 0) return static_cast<long>(n);
        if (errno == EINTR) continue;
        return errno == EAGAIN ? 0 : -1;
    }
}

bool PIPED_CHILD::write_input(const std::string& bytes, std::chrono::milliseconds deadline) {
    auto end = clock_type::now() + deadline;
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        long n = write_some_input(bytes.data() + sent, bytes.size() - sent);
        if (n < 0) return false;
        sent += static_cast<std::size_t>(n);
        if (sent == bytes.size()) break;
        if (ms_left(end) == 0) {
            report("writing to standard input");
            return false;
        }
        collect(10, static_cast<std::size_t>(-1));
    }
    return true;
}

void PIPED_CHILD::close_input() {
    if (m_input >= 0) close(m_input);
    m_input = -1;
}

std::size_t PIPED_CHILD::collect(int timeout_ms, std::size_t max_out) {
    std::size_t taken = 0;
    // A bound per call, so a child that never stops writing cannot hold a wait past its deadline.
    for (int round = 0; round < 64; ++round) {
        pollfd fds[2] = {{max_out > taken ? m_output : -1, POLLIN, 0}, {m_error, POLLIN, 0}};
        int ready = poll(fds, 2, timeout_ms);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return taken;
        timeout_ms = 0;  // take what else is there, but wait no more
        bool got = false;
        char block[65536];
        if (fds[0].revents != 0) {
            std::size_t want = std::min(sizeof block, max_out - taken);
            ssize_t n = ::read(m_output, block, want);
            if (n > 0) {
                m_out.append(block, static_cast<std::size_t>(n));
                taken += static_cast<std::size_t>(n);
                got = true;
            } else if (n == 0) {
                close(m_output);
                m_output = -1;
            }
        }
        if (fds[1].revents != 0) {
            ssize_t n = ::read(m_error, block, sizeof block);
            if (n > 0) {
                m_err.append(block, static_cast<std::size_t>(n));
                got = true;
            } else if (n == 0) {
                close(m_error);
                m_error = -1;
            }
        }
        if (!got && m_output < 0 && m_error < 0) return taken;
    }
    return taken;
}

std::size_t PIPED_CHILD::read_output(std::size_t max_bytes, std::chrono::milliseconds timeout) {
    return collect(static_cast<int>(timeout.count()), max_bytes);
}

bool PIPED_CHILD::wait_for(const std::string& text, const std::string& stream,
                           std::chrono::milliseconds deadline) {
    auto end = clock_type::now() + deadline;
    for (;;) {
        if (stream.find(text) != std::string::npos) return true;
        int left = ms_left(end);
        if (left == 0 || (m_output < 0 && m_error < 0)) break;
        collect(left < 50 ? left : 50, static_cast<std::size_t>(-1));
    }
    report("waiting for \"" + text + "\"");
    return false;
}

bool PIPED_CHILD::wait_for_output(const std::string& text, std::chrono::milliseconds deadline) {
    return wait_for(text, m_out, deadline);
}

bool PIPED_CHILD::wait_for_error(const std::string& text, std::chrono::milliseconds deadline) {
    return wait_for(text, m_err, deadline);
}

int PIPED_CHILD::wait_exit(std::chrono::milliseconds deadline) {
    if (m_pid <= 0) return timed_out;
    auto end = clock_type::now() + deadline;
    while (!m_reaped) {
        if (waitpid(m_pid, &m_status, WNOHANG) == m_pid) {
            m_reaped = true;
            break;
        }
        int left = ms_left(end);
        if (left == 0) {
            report("waiting for the child to end");
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
            m_reaped = true;
            return timed_out;
        }
        // The output is drained meanwhile, so a child writing a lot is never stuck.
        collect(left < 20 ? left : 20, static_cast<std::size_t>(-1));
    }
    // A grandchild may hold the pipes open: take what is there, but wait no longer.
    collect(0, static_cast<std::size_t>(-1));
    if (WIFEXITED(m_status)) return WEXITSTATUS(m_status);
    if (WIFSIGNALED(m_status)) return -WTERMSIG(m_status);
    return timed_out;
}

double PIPED_CHILD::cpu_seconds() const {
    std::ifstream file("/proc/" + std::to_string(m_pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    // The command name in parentheses may hold blanks; the fields after it are plain.
    std::size_t close_paren = text.rfind(')');
    if (close_paren == std::string::npos) return -1;
    std::istringstream fields(text.substr(close_paren + 2));
    std::string field;
    unsigned long long utime = 0;
    unsigned long long stime = 0;
    // After the name: state is field 3, utime field 14, stime field 15.
    for (int number = 3; number <= 15 && fields >> field; ++number) {
        if (number == 14) utime = std::stoull(field);
        if (number == 15) stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

void PIPED_CHILD::report(const std::string& what) const {
    std::fprintf(stderr,
                 "piped-child: deadline passed %s; the child wrote:\n--- stdout (%zu bytes, "
                 "last 2000 shown)\n%s\n--- stderr\n%s\n---\n",
                 what.c_str(), m_out.size(),
                 m_out.substr(m_out.size() > 2000 ? m_out.size() - 2000 : 0).c_str(),
                 m_err.c_str());
}
