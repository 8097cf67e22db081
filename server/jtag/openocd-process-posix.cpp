// server/jtag/openocd-process-posix.cpp: OpenOCD as a child process on POSIX.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "server/jtag/openocd-process.h"

namespace {
constexpr std::size_t kept_output = 4096;  // the tail of what OpenOCD printed
}

struct OPENOCD_PROCESS {
    pid_t pid = -1;
    int output = -1;
    std::string tail;
    bool ended = false;
    int status = 0;
};

OPENOCD_PROCESS* openocd_process_start(const std::string& program,
                                       const std::vector<std::string>& args, std::string* error) {
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
        *error = std::string("pipe: ") + std::strerror(errno);
        return nullptr;
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        *error = std::string("fork: ") + std::strerror(errno);
        close(pipe_fds[0]);
        close(pipe_fds[1]);
        return nullptr;
    }
    if (pid == 0) {
        // Its own process group: a Ctrl-C at the server's terminal is the server's to handle.
        setpgid(0, 0);
        dup2(pipe_fds[1], STDOUT_FILENO);
        dup2(pipe_fds[1], STDERR_FILENO);
        int null_fd = open("/dev/null", O_RDONLY);
        if (null_fd >= 0) dup2(null_fd, STDIN_FILENO);
        signal(SIGPIPE, SIG_DFL);
        execvp(program.c_str(), argv.data());
        const char text[] = "cannot start OpenOCD: ";
        (void)!write(STDERR_FILENO, text, sizeof text - 1);
        (void)!write(STDERR_FILENO, std::strerror(errno), std::strlen(std::strerror(errno)));
        _exit(127);
    }
    close(pipe_fds[1]);
    fcntl(pipe_fds[0], F_SETFL, fcntl(pipe_fds[0], F_GETFL) | O_NONBLOCK);
    OPENOCD_PROCESS* process = new OPENOCD_PROCESS;
    process->pid = pid;
    process->output = pipe_fds[0];
    return process;
}

int openocd_process_output_fd(const OPENOCD_PROCESS* process) {
    return process ? process->output : -1;
}

void openocd_process_drain(OPENOCD_PROCESS* process) {
    if (!process || process->output < 0) return;
    char buffer[4096];
    for (;;) {
        ssize_t n = read(process->output, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) {  // the end of its output: it is ending
                close(process->output);
                process->output = -1;
            }
            return;
        }
        process->tail.append(buffer, std::size_t(n));
        if (process->tail.size() > kept_output)
            process->tail.erase(0, process->tail.size() - kept_output);
    }
}

bool openocd_process_ended(OPENOCD_PROCESS* process, std::string* why) {
    if (!process) return true;
    if (!process->ended) {
        pid_t r = waitpid(process->pid, &process->status, WNOHANG);
        if (r != process->pid) return false;
        process->ended = true;
    }
    openocd_process_drain(process);
    int s = process->status;
    std::string how = WIFEXITED(s) ? "with status " + std::to_string(WEXITSTATUS(s))
                                   : std::string("by signal ") + std::to_string(WTERMSIG(s));
    *why = "OpenOCD ended " + how;
    std::string line = openocd_last_error_line(process->tail);
    if (!line.empty()) *why += ": " + line;
    return true;
}

void openocd_process_stop(OPENOCD_PROCESS* process) {
    if (!process) return;
    if (!process->ended) {
        kill(process->pid, SIGTERM);
        for (int i = 0; i < 100 && waitpid(process->pid, &process->status, WNOHANG) == 0; ++i)
            poll(nullptr, 0, 10);
        if (waitpid(process->pid, &process->status, WNOHANG) == 0) {
            kill(process->pid, SIGKILL);
            waitpid(process->pid, &process->status, 0);
        }
    }
    if (process->output >= 0) close(process->output);
    delete process;
}
