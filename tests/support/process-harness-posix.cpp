// CHILD_PROCESS on POSIX systems: fork and exec, pipes or a pseudo-terminal, waitpid.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "tests/support/process-harness.h"
#include "tests/support/terminal-mode.h"

extern char** environ;

struct CHILD_PROCESS::SYSTEM {
    int input = -1;   // the parent's end of standard input (the terminal's master with a pty)
    int output = -1;  // standard output (the master again with a pty)
    int error = -1;
    int report = -1;  // what a body run in a copy of this process returns
    int slave = -1;   // kept open, so the terminal's mode can be read after the child ended
    termios initial_mode{};
};

namespace {

void close_fd(int* fd) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
}

// The child's end of one standard stream, or -1 for the parent's own; *parent_end gets the
// parent's end of a pipe. For the input, pipe ends are (read, write); else (write, read).
bool open_stream(CHILD_SETUP::STREAM how, const std::string& file, bool is_input, bool append,
                 int descriptor, int* child_end, int* parent_end) {
    *child_end = -1;
    switch (how) {
    case CHILD_SETUP::STREAM::inherit:
        return true;
    case CHILD_SETUP::STREAM::descriptor:
        *child_end = fcntl(descriptor, F_DUPFD_CLOEXEC, 3);
        return *child_end >= 0;
    case CHILD_SETUP::STREAM::pipe: {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) return false;
        *child_end = ends[is_input ? 0 : 1];
        *parent_end = ends[is_input ? 1 : 0];
        if (is_input) fcntl(*parent_end, F_SETFL, O_NONBLOCK);
        return true;
    }
    case CHILD_SETUP::STREAM::null:
        *child_end = open("/dev/null", (is_input ? O_RDONLY : O_WRONLY) | O_CLOEXEC);
        return *child_end >= 0;
    case CHILD_SETUP::STREAM::file:
        *child_end = is_input ? open(file.c_str(), O_RDONLY | O_CLOEXEC)
                              : open(file.c_str(),
                                     O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC),
                                     0644);
        return *child_end >= 0;
    }
    return false;
}

// Between fork and exec (or the body): only calls that are safe there.
void become_child(pid_t parent, int slave, const int streams[3], const std::string& directory) {
    // A test or benchmark that dies leaves no child behind.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    signal(SIGPIPE, SIG_DFL);  // the parent ignores it for its own sake; the child starts plain
    if (slave >= 0) {
        setsid();
        ioctl(slave, TIOCSCTTY, 0);
        for (int fd = 0; fd < 3; ++fd) dup2(slave, fd);
    } else {
        for (int fd = 0; fd < 3; ++fd) {
            if (streams[fd] >= 0) dup2(streams[fd], fd);
        }
    }
    if (!directory.empty() && chdir(directory.c_str()) != 0) _exit(127);
}

}  // namespace

CHILD_PROCESS::CHILD_PROCESS(const std::string& path, const std::vector<std::string>& arguments,
                             const CHILD_SETUP& setup) {
    start(path, arguments, nullptr, setup);
}

CHILD_PROCESS::CHILD_PROCESS(const std::function<std::string()>& body, const CHILD_SETUP& setup) {
    start("", {}, &body, setup);
}

void CHILD_PROCESS::start(const std::string& path, const std::vector<std::string>& arguments,
                          const std::function<std::string()>* body, const CHILD_SETUP& setup) {
    m_system = std::make_unique<SYSTEM>();
    SYSTEM& sys = *m_system;
    int streams[3] = {-1, -1, -1};
    int report_end = -1;
    bool ready = true;
    if (setup.terminal) {
        ready = openpty(&sys.input, &sys.slave, nullptr, nullptr, nullptr) == 0;
        if (ready) {
            fcntl(sys.input, F_SETFD, FD_CLOEXEC);
            fcntl(sys.input, F_SETFL, O_NONBLOCK);
            fcntl(sys.slave, F_SETFD, FD_CLOEXEC);
            tcgetattr(sys.slave, &sys.initial_mode);
            sys.output = dup(sys.input);
            fcntl(sys.output, F_SETFD, FD_CLOEXEC);
        }
    } else {
        ready = open_stream(setup.input, setup.input_file, true, false, setup.input_descriptor,
                            &streams[0], &sys.input) &&
                open_stream(setup.output, setup.output_file, false, setup.append, -1,
                            &streams[1], &sys.output) &&
                open_stream(setup.error, setup.error_file, false, setup.append, -1, &streams[2],
                            &sys.error);
    }
    if (ready && body != nullptr) {
        int ends[2];
        ready = pipe2(ends, O_CLOEXEC) == 0;
        if (ready) {
            sys.report = ends[0];
            report_end = ends[1];
        }
    }
    if (!ready) {
        std::fprintf(stderr, "process-harness: cannot set up the streams of %s: %s\n",
                     body != nullptr ? "a child" : path.c_str(), std::strerror(errno));
        for (int& fd : streams) close_fd(&fd);
        return;
    }

    // Everything the child needs is built before fork: the child only calls exec.
    std::vector<std::string> strings{setup.argv0.value_or(path)};
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

    signal(SIGPIPE, SIG_IGN);  // input to a child that has ended must not end the parent
    std::fflush(nullptr);      // a copy of this process must not write the parent's buffers again
    pid_t parent = getpid();
    m_pid = fork();
    if (m_pid == 0) {
        become_child(parent, sys.slave, streams, setup.directory);
        if (body == nullptr) {
            // A bare name is looked up in PATH, as a shell would.
            execvpe(path.c_str(), argv.data(), envp.data());
            const char message[] = "process-harness: exec failed\n";
            ssize_t ignored = write(2, message, sizeof message - 1);
            static_cast<void>(ignored);
            _exit(127);
        }
        // The parent's ends are not the copy's: a closed input must reach it as an end.
        for (int fd : {sys.input, sys.output, sys.error, sys.report}) {
            if (fd >= 0) close(fd);
        }
        for (const auto& [name, value] : setup.environment) setenv(name.c_str(), value.c_str(), 1);
        std::string result = (*body)();
        for (std::size_t sent = 0; sent < result.size();) {
            ssize_t n = write(report_end, result.data() + sent, result.size() - sent);
            if (n <= 0) break;
            sent += static_cast<std::size_t>(n);
        }
        _exit(0);  // no at-exit handlers or stdio flushing: they belong to the parent
    }
    for (int& fd : streams) close_fd(&fd);
    close_fd(&report_end);
    if (m_pid < 0) std::fprintf(stderr, "process-harness: fork: %s\n", std::strerror(errno));
}

CHILD_PROCESS::~CHILD_PROCESS() {
    if (m_pid > 0 && !m_reaped) kill_and_reap();
    if (m_system == nullptr) return;
    for (int* fd : {&m_system->input, &m_system->output, &m_system->error, &m_system->report,
                    &m_system->slave}) {
        close_fd(fd);
    }
}

bool CHILD_PROCESS::send_signal(int signal) {
    return m_pid > 0 && !m_reaped && kill(m_pid, signal) == 0;
}

long CHILD_PROCESS::write_some_input(const char* data, std::size_t size) {
    if (m_system == nullptr || m_system->input < 0) return -1;
    for (;;) {
        ssize_t n = ::write(m_system->input, data, size);
        if (n >= 0) return static_cast<long>(n);
        if (errno == EINTR) continue;
        return errno == EAGAIN ? 0 : -1;
    }
}

bool CHILD_PROCESS::wait_for_input_room(std::chrono::milliseconds timeout) {
    if (m_system == nullptr || m_system->input < 0) return false;
    pollfd room{m_system->input, POLLOUT, 0};
    int ready = poll(&room, 1, static_cast<int>(timeout.count()));
    return ready > 0 || (ready < 0 && errno == EINTR);
}

void CHILD_PROCESS::close_input() {
    // On a terminal the master is also where the output comes from: it stays.
    if (m_system != nullptr && m_system->slave < 0) close_fd(&m_system->input);
}

bool CHILD_PROCESS::output_open() const {
    return m_system != nullptr &&
           (m_system->output >= 0 || m_system->error >= 0 || m_system->report >= 0);
}

std::size_t CHILD_PROCESS::collect(int timeout_ms, std::size_t max_out) {
    if (m_system == nullptr) return 0;
    SYSTEM& sys = *m_system;
    std::size_t taken = 0;
    // A bound per call, so a child that never stops writing cannot hold a wait past its deadline.
    for (int round = 0; round < 64; ++round) {
        int* fds[3] = {&sys.output, &sys.error, &sys.report};
        std::string* texts[3] = {&m_out, &m_err, &m_report};
        pollfd wanted[3] = {{max_out > taken ? sys.output : -1, POLLIN, 0},
                            {sys.error, POLLIN, 0},
                            {sys.report, POLLIN, 0}};
        int ready = poll(wanted, 3, timeout_ms);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return taken;
        timeout_ms = 0;  // take what else is there, but wait no more
        bool got = false;
        for (int i = 0; i < 3; ++i) {
            if (wanted[i].revents == 0) continue;
            char block[65536];
            std::size_t want = i == 0 ? std::min(sizeof block, max_out - taken) : sizeof block;
            ssize_t n = ::read(*fds[i], block, want);
            if (n > 0) {
                texts[i]->append(block, static_cast<std::size_t>(n));
                if (i == 0) taken += static_cast<std::size_t>(n);
                got = true;
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                close_fd(fds[i]);  // the end (on a terminal, EIO once nobody holds the slave)
            }
        }
        if (!got && !output_open()) return taken;
    }
    return taken;
}

bool CHILD_PROCESS::reaped() {
    if (m_pid <= 0 || m_reaped) return true;
    int status = 0;
    rusage used{};
    pid_t done = wait4(m_pid, &status, WNOHANG, &used);
    if (done != m_pid) return false;
    m_reaped = true;
    if (WIFEXITED(status)) m_status = exited(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) m_status = killed_by(WTERMSIG(status));
    m_usage.cpu_secs = double(used.ru_utime.tv_sec + used.ru_stime.tv_sec) +
                       double(used.ru_utime.tv_usec + used.ru_stime.tv_usec) / 1e6;
    m_usage.voluntary = used.ru_nvcsw;
    m_usage.involuntary = used.ru_nivcsw;
    return true;
}

bool CHILD_PROCESS::ends_within(std::chrono::milliseconds deadline) {
    if (m_pid <= 0) return false;
    const auto until = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        siginfo_t info{};
        if (m_reaped || (waitid(P_PID, static_cast<id_t>(m_pid), &info,
                                WEXITED | WNOHANG | WNOWAIT) == 0 &&
                         info.si_pid == m_pid)) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= until) return false;
        usleep(10000);
    }
}

void CHILD_PROCESS::kill_and_reap() {
    kill(m_pid, SIGKILL);
    while (waitpid(m_pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    m_reaped = true;
    m_status = not_ended;
}

double CHILD_PROCESS::cpu_seconds() const {
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

std::vector<int> children_of(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    std::vector<int> pids;
    for (int child; in >> child;) pids.push_back(child);
    return pids;
}

termios terminal_mode(const CHILD_PROCESS& child) {
    termios now{};
    tcgetattr(child.system().slave, &now);
    return now;
}

termios initial_terminal_mode(const CHILD_PROCESS& child) {
    return child.system().initial_mode;
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
