// Faults on POSIX: a store to a page without access, and the signals of the other faults (the
// sanitizers would stop a real illegal instruction or division by zero before the hooks).
#include "tests/support/fault-trigger.h"

#include <sys/mman.h>

#include <csignal>

void trigger_access_violation() {
    // A real fault, which the sanitizers let through (a null store they would report).
    void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    *static_cast<volatile int*>(page) = 1;
}

void trigger_illegal_instruction() {
    std::raise(SIGILL);
}

void trigger_divide_by_zero() {
    std::raise(SIGFPE);
}

void trigger_bus_error() {
    std::raise(SIGBUS);
}
