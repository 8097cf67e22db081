// Forked children for tests whose code ends the process: statuses and both output streams.
#include "tests/support/child-capture.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace {
// Appends what is readable on fd; returns false once it reached its end.
bool drain(int fd, std::string& into) {
    char buffer[4096];
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) into.append(buffer, static_cast<size_t>(n));
    return n > 0 || (n < 0 && errno == EINTR);
}
}  // namespace

CHILD_RESULT run_in_child(const std::function<void()>& body, int timeout_ms) {
    CHILD_RESULT result;
    int out_pipe[2];
    int err_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) return result;
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        int null_fd = open("/dev/null", O_RDONLY);
        dup2(null_fd, 0);
        close(out_pipe[0]);
        close(err_pipe[0]);
        body();
        std::fflush(stdout);
        std::fflush(stderr);
        std::_Exit(0);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    int open_streams = 2;
    while (open_streams > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
            kill(pid, SIGKILL);
            break;
        }
        if (poll(fds, 2, static_cast<int>(left)) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP))) {
                if (!drain(fds[i].fd, i == 0 ? result.out : result.err)) {
                    close(fds[i].fd);
                    fds[i].fd = -1;
                    --open_streams;
                }
            }
        }
    }
    for (auto& fd : fds) {
        if (fd.fd >= 0) close(fd.fd);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.status = -WTERMSIG(status);
    return result;
}
