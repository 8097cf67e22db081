// Console mode and standard input/output on POSIX terminals.
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#if defined(HAVE_SYS_WRITE)
#include <sys/syscall.h>
#endif
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

#include "platform/console.h"

namespace {

enum : int { nothing_kept, mode_kept, mode_unreadable };

// The mode to give back sits in static storage so that signal handlers can reach it without
// locks or allocation. kept_state says whether saved_mode is valid and not given back yet.
// saved_mode is written only while nothing is kept, so it never changes under a reader.
termios saved_mode;
std::atomic<int> kept_state{nothing_kept};
static_assert(std::atomic<int>::is_always_lock_free, "kept_state is read in signal handlers");

bool set_mode(const termios& mode) {
    // TCSANOW: the mode changes without waiting for output to drain, also in a signal handler.
    while (tcsetattr(STDIN_FILENO, TCSANOW, &mode) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

// A termination request while the console is raw: give the mode back, then end the process as
// the signal would. SA_RESETHAND has put the default action back and SA_NODEFER leaves the
// signal unblocked, so raising it again ends the process at once.
void on_termination_signal(int signal_number) {
    int saved_errno = errno;
    console_restore_on_exit();
    raise(signal_number);
    errno = saved_errno;
}

// Every signal whose default action ends the process, but for the faults, which the
// fatal-error hooks report, SIGKILL, which cannot be caught, and SIGPIPE, which the session
// ignores. SIGABRT is here for an abort sent from outside; the program's own abort has given
// the mode back already and still ends by SIGABRT.
std::vector<int> terminating_signals() {
    std::vector<int> numbers = {SIGTERM, SIGHUP,  SIGINT,    SIGQUIT, SIGABRT, SIGUSR1,
                                SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ,
                                SIGSYS,  SIGTRAP, SIGIO};
#ifdef SIGSTKFLT
    numbers.push_back(SIGSTKFLT);
#endif
#ifdef SIGPWR
    numbers.push_back(SIGPWR);
#endif
    for (int number = SIGRTMIN; number <= SIGRTMAX; ++number) numbers.push_back(number);
    return numbers;
}

// Signals the program ignores or handles itself (the session's Ctrl-C, nohup's SIGHUP) keep
// their handling; only those that would end the process at once are taken over.
void hook_termination_signals() {
    static std::atomic<bool> hooked{false};
    if (hooked.exchange(true)) return;
    for (int signal_number : terminating_signals()) {
        struct sigaction current;
        if (sigaction(signal_number, nullptr, &current) != 0) continue;
        if ((current.sa_flags & SA_SIGINFO) != 0 || current.sa_handler != SIG_DFL) continue;
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        action.sa_handler = on_termination_signal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESETHAND | SA_NODEFER;
        sigaction(signal_number, &action, nullptr);
    }
}

// What a read that returned no byte means depends on what standard input is. A file, a pipe
// or socket whose writer has finished (`printf 'help\r' | tarvik-terminal`) and a device
// that is not a terminal simply end.
CONSOLE_READ end_of_input(std::string* error) {
    struct stat status;
    if (fstat(STDIN_FILENO, &status) == 0) {
        bool quiet_device = S_ISCHR(status.st_mode) && isatty(STDIN_FILENO) == 0;
        if (S_ISREG(status.st_mode) || S_ISBLK(status.st_mode) || S_ISFIFO(status.st_mode) ||
            S_ISSOCK(status.st_mode) || quiet_device) {
            return CONSOLE_READ::ended;
        }
    }
    // A raw terminal delivers no empty read unless it has hung up.
    *error = std::strerror(EIO);
    return CONSOLE_READ::failed;
}

// One write of standard output. Nothing here cancels threads, so the write need not be a
// cancellation point, which costs the C library's write a share of a small write's time.
ssize_t write_stdout_once(const char* data, size_t size) {
#if defined(HAVE_SYS_WRITE)
    return syscall(SYS_write, STDOUT_FILENO, data, size);
#else
    return ::write(STDOUT_FILENO, data, size);
#endif
}

}  // namespace

bool console_is_terminal() {
    return isatty(STDIN_FILENO) != 0;
}

// Standard input is descriptor 0, which can always be named; a closed one shows as a failed read.
bool console_input_open() {
    return true;
}

bool console_save_mode() {
    if (kept_state.load() == mode_kept) return true;
    termios mode;
    if (tcgetattr(STDIN_FILENO, &mode) != 0) {
        kept_state.store(mode_unreadable);
        return false;
    }
    hook_termination_signals();
    saved_mode = mode;
    kept_state.store(mode_kept);  // publishes saved_mode to the handlers
    return true;
}

bool console_mode_readable() {
    termios mode;
    return tcgetattr(STDIN_FILENO, &mode) == 0;
}

bool console_enter_raw() {
    termios mode;
    if (tcgetattr(STDIN_FILENO, &mode) != 0) return false;
    mode.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHONL | IEXTEN);  // ISIG stays
    mode.c_iflag &= ~static_cast<tcflag_t>(ICRNL | INLCR | IGNCR | IXON);     // keys as typed
    mode.c_cc[VQUIT] = _POSIX_VDISABLE;  // Ctrl-\ and Ctrl-Z reach the board as bytes
    mode.c_cc[VSUSP] = _POSIX_VDISABLE;
    mode.c_cc[VMIN] = 1;  // one byte at a time, no timer
    mode.c_cc[VTIME] = 0;
    return set_mode(mode);
}

bool console_restore_mode() {
    int state = kept_state.load();
    if (state == nothing_kept) return true;
    if (state == mode_unreadable) {
        kept_state.store(nothing_kept);
        return false;
    }
    // The mode is written before it stops counting as kept: a termination signal arriving in
    // between writes the same mode again rather than ending the process with the raw one.
    bool written = set_mode(saved_mode);
    kept_state.store(nothing_kept);
    return written;
}

void console_restore_on_exit() {
    if (kept_state.exchange(nothing_kept) == mode_kept) set_mode(saved_mode);
}

CONSOLE_READ console_read_some(char* buffer, size_t size, size_t* got, std::string* error) {
    *got = 0;
    for (;;) {
        ssize_t n = ::read(STDIN_FILENO, buffer, size);
        if (n > 0) {
            *got = static_cast<size_t>(n);
            return CONSOLE_READ::bytes;
        }
        if (n == 0) return end_of_input(error);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            // Someone sharing the descriptor made it non-blocking: wait for input instead.
            pollfd wanted = {STDIN_FILENO, POLLIN, 0};
            if (poll(&wanted, 1, -1) >= 0 || errno == EINTR) continue;
        }
        *error = std::strerror(errno);
        return CONSOLE_READ::failed;
    }
}

// How long a write waits for room in output that can stall before it returns 0.
constexpr int full_output_wait_ms = 100;

std::atomic<bool> output_cannot_stall{false};

void console_prepare_output() {
    struct stat status;
    bool settled = fstat(STDOUT_FILENO, &status) == 0 &&
                   (S_ISREG(status.st_mode) || S_ISBLK(status.st_mode) ||
                    (S_ISCHR(status.st_mode) && isatty(STDOUT_FILENO) == 0));
    output_cannot_stall.store(settled);
}

// Waits until standard output has room, at most full_output_wait_ms. False when the time ran
// out or a signal came first: the caller looks at its reasons to stop and offers the bytes
// again. An error or a hang-up counts as room: the write then reports it.
bool wait_for_room() {
    pollfd room{STDOUT_FILENO, POLLOUT, 0};
    return ::poll(&room, 1, full_output_wait_ms) > 0;
}

int console_write_stdout(const char* data, unsigned int count) {
    // The result must fit an int.
    size_t size = count > static_cast<unsigned int>(INT_MAX) ? INT_MAX : count;
    bool can_stall = !output_cannot_stall.load(std::memory_order_relaxed);
    if (can_stall) {
        if (!wait_for_room()) return 0;
        // Once a pipe reports room, a write of at most PIPE_BUF bytes does not block.
        size = std::min<size_t>(size, PIPE_BUF);
    }
    for (;;) {
        ssize_t written = write_stdout_once(data, size);
        if (written >= 0) return static_cast<int>(written);
        if (errno == EINTR) return 0;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            // A non-blocking descriptor that is full: wait a while for room, so that the
            // caller, which offers the bytes again at once, does not spin.
            if (!can_stall) wait_for_room();
            return 0;
        }
        return -1;
    }
}
