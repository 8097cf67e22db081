// Target programs on POSIX systems: fork, exec, pipes, reaping.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "server/targets/target-program.h"

namespace {

void close_pair(int fds[2]) {
    for (int i = 0; i < 2; ++i)
        if (fds[i] >= 0) close(fds[i]);
}

[[noreturn]] void run_child(const std::vector<std::string>& argv, int in, int out, int report) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGCHLD, SIGCONT, SIGTTIN}) signal(sig, SIG_DFL);
    dup2(in, STDIN_FILENO);
    dup2(out, STDOUT_FILENO);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    int why = errno;
    (void)!write(report, &why, sizeof why);
    _exit(127);
}

}  // namespace

bool target_program_start(const std::vector<std::string>& argv, TARGET_PROGRAM* child,
                          std::string* error) {
    int in[2] = {-1, -1}, out[2] = {-1, -1}, report[2] = {-1, -1};
    if (argv.empty() || pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 ||
        pipe2(report, O_CLOEXEC) != 0) {
        *error = argv.empty() ? "no command" : std::strerror(errno);
        close_pair(in), close_pair(out), close_pair(report);
        return false;
    }
    pid_t pid = fork();
    if (pid == 0) run_child(argv, in[0], out[1], report[1]);
    int fork_errno = errno;
    close(in[0]), close(out[1]), close(report[1]);
    int why = 0;
    // The report pipe closes on a successful exec; otherwise it carries exec's errno.
    ssize_t n = pid > 0 ? read(report[0], &why, sizeof why) : -1;
    close(report[0]);
    if (pid < 0 || n > 0) {
        *error = std::strerror(pid < 0 ? fork_errno : why);
        if (pid > 0) waitpid(pid, nullptr, 0);
        close(in[1]), close(out[0]);
        return false;
    }
    fcntl(in[1], F_SETFL, O_NONBLOCK);
    fcntl(out[0], F_SETFL, O_NONBLOCK);
    // A small pipe keeps a fast target close behind the FIFO when the host stops reading.
    fcntl(out[0], F_SETPIPE_SZ, 4096);
    child->pid = pid;
    child->to_child = in[1];
    child->from_child = out[0];
    return true;
}

void target_program_stop(int pid, int grace_ms) {
    target_program_stop_all({pid}, grace_ms);
}

void target_program_stop_all(const std::vector<int>& pids, int grace_ms) {
    std::vector<int> left;
    for (int pid : pids)
        if (pid > 0 && kill(pid, SIGTERM) == 0) left.push_back(pid);
    for (int waited = 0;; waited += 10) {
        for (std::size_t i = 0; i < left.size();)
            if (waitpid(left[i], nullptr, WNOHANG) != 0)
                left.erase(left.begin() + long(i));
            else
                ++i;
        if (left.empty() || waited >= grace_ms) break;
        usleep(10000);
    }
    for (int pid : left) {
        kill(pid, SIGKILL);
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
}

bool target_program_reaped(int pid) {
    int status = 0;
    return pid > 0 && waitpid(pid, &status, WNOHANG) == pid;
}

std::string target_program_self_directory() {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return ".";
    std::string p(path, std::size_t(n));
    std::size_t slash = p.rfind('/');
    return slash == std::string::npos ? "." : p.substr(0, slash);
}

long target_read(int fd, char* buffer, std::size_t size) {
    for (;;) {
        ssize_t n = read(fd, buffer, size);
        if (n > 0) return long(n);
        if (n == 0) return -1;
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
}

long target_write(int fd, const char* data, std::size_t size) {
    for (;;) {
        // send() on sockets would avoid SIGPIPE too, but the server ignores SIGPIPE anyway.
        ssize_t n = write(fd, data, size);
        if (n >= 0) return long(n);
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
}

void target_close(int fd) {
    if (fd >= 0) close(fd);
}
