// PTY_CHILD: openpty, fork and exec, then typing, reading and waiting with deadlines.
#include "tests/support/pty-harness.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using clock_type = std::chrono::steady_clock;

int ms_left(clock_type::time_point end) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - clock_type::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// In the child, between fork and exec: only calls that are safe there.
[[noreturn]] void exec_child(int slave, const std::vector<char*>& argv,
                             const std::vector<char*>& envp) {
    setsid();
    ioctl(slave, TIOCSCTTY, 0);
    dup2(slave, 0);
    dup2(slave, 1);
    dup2(slave, 2);
    if (slave > 2) close(slave);
    execve(argv[0], argv.data(), envp.data());
    const char message[] = "pty-harness: exec failed\n";
    ssize_t ignored = write(2, message, sizeof message - 1);
    static_cast<void>(ignored);
    _exit(127);
}

}  // namespace

PTY_CHILD::PTY_CHILD(const std::string& path, const std::vector<std::string>& arguments,
                     const std::vector<std::pair<std::string, std::string>>& extra_environment) {
    if (openpty(&m_master, &m_slave, nullptr, nullptr, nullptr) != 0) {
        ADD_FAILURE() << "openpty: " << std::strerror(errno);
        return;
    }
    fcntl(m_master, F_SETFD, FD_CLOEXEC);
    fcntl(m_slave, F_SETFD, FD_CLOEXEC);
    tcgetattr(m_slave, &m_initial_mode);

    // Everything the child needs is built before fork: the child only calls exec.
    std::vector<std::string> strings{path};
    strings.insert(strings.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& s : strings) argv.push_back(s.data());
    argv.push_back(nullptr);
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) environment.emplace_back(*entry);
    for (const auto& [name, value] : extra_environment) environment.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (std::string& s : environment) envp.push_back(s.data());
    envp.push_back(nullptr);

    m_pid = fork();
    if (m_pid == 0) {
        fcntl(m_slave, F_SETFD, 0);
        exec_child(m_slave, argv, envp);
    }
    if (m_pid < 0) ADD_FAILURE() << "fork: " << std::strerror(errno);
}

PTY_CHILD::~PTY_CHILD() {
    if (m_pid > 0 && !m_reaped) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
    if (m_master >= 0) close(m_master);
    if (m_slave >= 0) close(m_slave);
}

void PTY_CHILD::type(const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = ::write(m_master, bytes.data() + sent, bytes.size() - sent);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ADD_FAILURE() << "typing into the terminal: " << std::strerror(errno);
            return;
        }
        sent += static_cast<size_t>(n);
    }
}

void PTY_CHILD::collect(int timeout_ms) {
    pollfd ready = {m_master, POLLIN, 0};
    while (poll(&ready, 1, timeout_ms) > 0 && (ready.revents & POLLIN) != 0) {
        char block[4096];
        ssize_t n = ::read(m_master, block, sizeof block);
        if (n <= 0) return;
        m_output.append(block, static_cast<size_t>(n));
        timeout_ms = 0;  // take what else is there, but wait no more
    }
}

const std::string& PTY_CHILD::output() {
    collect(0);
    return m_output;
}

bool PTY_CHILD::wait_for_output(const std::string& text, std::chrono::milliseconds deadline) {
    auto end = clock_type::now() + deadline;
    for (;;) {
        collect(0);
        if (m_output.find(text) != std::string::npos) return true;
        int left = ms_left(end);
        if (left == 0) break;
        collect(left < 50 ? left : 50);
    }
    report(("waiting for \"" + text + "\"").c_str());
    return false;
}

int PTY_CHILD::wait_exit(std::chrono::milliseconds deadline) {
    if (m_pid <= 0) return timed_out;
    auto end = clock_type::now() + deadline;
    while (!m_reaped) {
        pid_t done = waitpid(m_pid, &m_status, WNOHANG);
        if (done == m_pid) {
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
        collect(left < 20 ? left : 20);
    }
    collect(0);
    if (WIFEXITED(m_status)) return WEXITSTATUS(m_status);
    if (WIFSIGNALED(m_status)) return -WTERMSIG(m_status);
    return timed_out;
}

termios PTY_CHILD::mode() const {
    termios now{};
    tcgetattr(m_slave, &now);
    return now;
}

void PTY_CHILD::report(const char* what) {
    std::fprintf(stderr, "pty-harness: deadline passed %s; the child wrote:\n---\n%s\n---\n", what,
                 m_output.c_str());
}

bool same_mode(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

std::string describe_mode(const termios& mode) {
    char text[128];
    std::snprintf(
        text, sizeof text,
        "iflag=%#lo oflag=%#lo cflag=%#lo lflag=%#lo cc=", static_cast<unsigned long>(mode.c_iflag),
        static_cast<unsigned long>(mode.c_oflag), static_cast<unsigned long>(mode.c_cflag),
        static_cast<unsigned long>(mode.c_lflag));
    std::string result = text;
    for (cc_t c : mode.c_cc) result += std::to_string(static_cast<unsigned>(c)) + ",";
    return result;
}
