// A program that meets the fatal-error hooks in the way its argument names. It first leaves
// "before" in the standard output buffer, to show that the hooks write it out.
#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <thread>

#include "run/fatal-hooks.h"
#include "tests/support/fault-trigger.h"

namespace {

void fault() {
    trigger_access_violation();
}

int overflow(int depth) {
    volatile char pad[1024];
    pad[0] = static_cast<char>(depth);
    return depth == 0 ? 0 : overflow(depth + 1) + pad[0];
}

void throw_something() {
    throw std::runtime_error("nobody catches this");
}

// A thread as the program starts them: hooks first.
void on_thread(void (*work)()) {
    std::thread worker([work] {
        install_thread_hooks();
        work();
    });
    worker.join();
}

void terminator_throws() {
    throw std::runtime_error("from the terminator");
}
void terminator_terminates() {
    std::terminate();
}
void terminator_faults() {
    fault();
}
void terminator_returns() {
    std::fputs("terminator returns\n", stderr);
}
void terminator_starts_faulting_thread() {
    on_thread(fault);
}

int seh_retries(FATAL_SIGNAL_RECORD* record) {
    std::fprintf(stderr, "callback %d %s\n", record->code,
                 record->siginfo != nullptr ? "with details" : "without details");
    return -1;  // go on at the fault, which happens again
}
int seh_searches(FATAL_SIGNAL_RECORD*) {
    return 0;
}

void stack_overflow() {
    overflow(1);
}
void fault_on_thread() {
    on_thread(fault);
}
void throw_on_thread() {
    on_thread(throw_something);
}
void terminate_now() {
    std::terminate();
}
void filter_without_record() {
    on_unhandled_exception(nullptr);
}

struct SCENARIO {
    const char* name;
    void (*act)();
    void (*terminator)();  // null: none set
    FATAL_FILTER_CALLBACK filter;
};

const SCENARIO scenarios[] = {
    {"segv-main", fault, nullptr, nullptr},
    {"segv-thread", fault_on_thread, nullptr, nullptr},
    {"overflow", stack_overflow, nullptr, nullptr},
    {"ill", trigger_illegal_instruction, nullptr, nullptr},
    {"fpe", trigger_divide_by_zero, nullptr, nullptr},
    {"bus", trigger_bus_error, nullptr, nullptr},
    {"throw-main", throw_something, nullptr, nullptr},
    {"throw-thread", throw_on_thread, nullptr, nullptr},
    {"terminate", terminate_now, nullptr, nullptr},
    {"null-record", filter_without_record, nullptr, nullptr},
    {"terminator-throws", terminate_now, terminator_throws, nullptr},
    {"terminator-recurses", terminate_now, terminator_terminates, nullptr},
    {"terminator-faults", terminate_now, terminator_faults, nullptr},
    {"terminator-returns", terminate_now, terminator_returns, nullptr},
    {"fault-while-terminating", terminate_now, terminator_starts_faulting_thread, nullptr},
    {"seh-retry", fault, nullptr, seh_retries},
    {"seh-search", fault, nullptr, seh_searches},
};

}  // namespace

int main(int argc, char** argv) {
    static_cast<void>(fatal_hooks_in_place());
    std::fputs("before", stdout);
    for (const SCENARIO& scenario : scenarios) {
        if (argc < 2 || std::strcmp(argv[1], scenario.name) != 0) continue;
        main_terminator_callback = scenario.terminator;
        main_seh_callback = scenario.filter;
        scenario.act();
        std::fputs("survived\n", stderr);
        return 0;
    }
    std::fprintf(stderr, "fatal-probe: unknown scenario\n");
    return 64;
}
