// Faults on POSIX: SIGSEGV, SIGBUS, SIGILL and SIGFPE, caught on a per-thread signal stack.
#include "platform/fatal.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <initializer_list>

namespace {

std::atomic<FATAL_HANDLER> installed_handler{nullptr};

int code_of(int signal_number) {
    switch (signal_number) {
        case SIGILL:
            return fatal_code_illegal_instruction;
        case SIGFPE:
            return fatal_code_divide_by_zero;
        default:
            return fatal_code_access_violation;  // SIGSEGV, SIGBUS
    }
}

void on_fault(int signal_number, siginfo_t* details, void* context) {
    int saved_errno = errno;
    FATAL_HANDLER handler = installed_handler.load();
    FATAL_ACTION action = FATAL_ACTION::default_action;
    if (handler != nullptr) action = handler(code_of(signal_number), details, context);
    if (action == FATAL_ACTION::retry) {
        errno = saved_errno;
        return;
    }
    // The system's own handling: with the default action back, raising the signal again ends
    // the process as the fault would have (SA_NODEFER leaves it unblocked here).
    struct sigaction default_action;
    std::memset(&default_action, 0, sizeof default_action);
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    sigaction(signal_number, &default_action, nullptr);
    raise(signal_number);
}

// The handler stack of one thread, released when the thread ends.
struct THREAD_STACK {
    void* m_memory = nullptr;
    size_t m_size = 0;
    ~THREAD_STACK() {
        if (m_memory == nullptr) return;
        stack_t current;
        if (sigaltstack(nullptr, &current) == 0 && current.ss_sp == m_memory) {
            stack_t off;
            std::memset(&off, 0, sizeof off);
            off.ss_flags = SS_DISABLE;
            sigaltstack(&off, nullptr);
        }
        munmap(m_memory, m_size);
    }
};
thread_local THREAD_STACK thread_stack;

// Room for the handler's formatted output on top of what the system asks for.
constexpr size_t min_stack_size = 64 * 1024;

}  // namespace

bool fatal_install_handler(FATAL_HANDLER handler) {
    installed_handler.store(handler);
    bool all = true;
    for (int signal_number : {SIGSEGV, SIGBUS, SIGILL, SIGFPE}) {
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        action.sa_sigaction = on_fault;
        sigemptyset(&action.sa_mask);
        // SA_NODEFER: a fault inside the handler comes back to it instead of killing the
        // process silently, so the handler can still report it.
        action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
        if (sigaction(signal_number, &action, nullptr) != 0) all = false;
    }
    return all;
}

bool fatal_prepare_thread() {
    stack_t current;
    if (sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0) return true;
    size_t size = static_cast<size_t>(SIGSTKSZ);
    if (size < min_stack_size) size = min_stack_size;
    void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) return false;
    stack_t stack;
    std::memset(&stack, 0, sizeof stack);
    stack.ss_sp = memory;
    stack.ss_size = size;
    if (sigaltstack(&stack, nullptr) != 0) {
        munmap(memory, size);
        return false;
    }
    thread_stack.m_memory = memory;
    thread_stack.m_size = size;
    return true;
}
