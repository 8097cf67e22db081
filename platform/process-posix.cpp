// Process-wide settings and the immediate end of the process on POSIX.
#include "platform/process.h"

#include <signal.h>
#include <unistd.h>

#include <cstring>

#include "platform/console.h"

void process_ignore_broken_pipe() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    sigaction(SIGPIPE, &action, nullptr);
}

void process_exit_now(int status) {
    console_restore_on_exit();
    _exit(status);
}
