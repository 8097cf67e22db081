// abort() ends a POSIX process with SIGABRT.
#include "tests/support/abort-status.h"

#include <sys/wait.h>

#include <csignal>

bool died_of_abort(int exit_status) {
    return WIFSIGNALED(exit_status) && WTERMSIG(exit_status) == SIGABRT;
}
