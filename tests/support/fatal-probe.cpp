// A program that meets the fatal-error hooks in the way its argument names. It first leaves
// "before" in the standard output buffer, to show that the hooks write it out.
#include <sys/mman.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <thread>

#include "run/fatal-hooks.h"

namespace {

// A store to a page that allows no access: a real fault, which the sanitizers let through.
void fault() {
    void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    *static_cast<volatile int*>(page) = 1;
}

int overflow(int depth) {
    volatile char pad[1024];
    pad[0] = static_cast<char>(depth);
    return depth == 0 ? 0 : overflow(depth + 1) + pad[0];
}

void throw_something() { throw std::runtime_error("nobody catches this"); }

// A thread as the program starts them: hooks first.
void on_thread(void (*work)()) {
    std::thread worker([work] {
        install_thread_hooks();
        work();
    });
    worker.join();
}

void terminator_throws() { throw std::runtime_error("from the terminator"); }
void terminator_terminates() { std::terminate(); }
void terminator_faults() { fault(); }
void terminator_returns() { std::fputs("terminator returns\n", stderr); }
void terminator_starts_faulting_thread() { on_thread(fault); }

int seh_retries(FATAL_SIGNAL_RECORD* record) {
    std::fprintf(stderr, "callback %d %s\n", record->code,
                 record->siginfo != nullptr ? "with details" : "without details");
    return -1;  // go on at the fault, which happens again
}
int seh_searches(FATAL_SIGNAL_RECORD*) { return 0; }

bool run(const std::string& scenario) {
    if (scenario == "segv-main") fault();
    else if (scenario == "segv-thread") on_thread(fault);
    else if (scenario == "overflow") overflow(1);
    else if (scenario == "ill") std::raise(SIGILL);
    else if (scenario == "fpe") std::raise(SIGFPE);
    else if (scenario == "bus") std::raise(SIGBUS);
    else if (scenario == "throw-main") throw_something();
    else if (scenario == "throw-thread") on_thread(throw_something);
    else if (scenario == "terminate") std::terminate();
    else if (scenario == "null-record") on_unhandled_exception(nullptr);
    else if (scenario == "terminator-throws") {
        main_terminator_callback = terminator_throws;
        std::terminate();
    } else if (scenario == "terminator-recurses") {
        main_terminator_callback = terminator_terminates;
        std::terminate();
    } else if (scenario == "terminator-faults") {
        main_terminator_callback = terminator_faults;
        std::terminate();
    } else if (scenario == "terminator-returns") {
        main_terminator_callback = terminator_returns;
        std::terminate();
    } else if (scenario == "fault-while-terminating") {
        main_terminator_callback = terminator_starts_faulting_thread;
        std::terminate();
    } else if (scenario == "seh-retry") {
        main_seh_callback = seh_retries;
        fault();
    } else if (scenario == "seh-search") {
        main_seh_callback = seh_searches;
        fault();
    } else {
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    static_cast<void>(fatal_hooks_in_place());
    std::fputs("before", stdout);
    if (argc < 2 || !run(argv[1])) {
        std::fprintf(stderr, "fatal-probe: unknown scenario\n");
        return 64;
    }
    std::fputs("survived\n", stderr);
    return 0;
}
