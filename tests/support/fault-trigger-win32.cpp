// Faults on Windows, as the processor raises them: the exception codes are the real ones.
#include "tests/support/fault-trigger.h"

#include <windows.h>

void trigger_access_violation() {
    void* page = VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_NOACCESS);
    *static_cast<volatile int*>(page) = 1;
}

void trigger_illegal_instruction() {
    __builtin_trap();  // ud2
}

void trigger_divide_by_zero() {
    // Both operands unknown to the compiler, so a real division runs.
    volatile int dividend = 1;
    volatile int zero = 0;
    volatile int result = dividend / zero;
    static_cast<void>(result);
}

// Windows has no bus error of its own.
void trigger_bus_error() {
    trigger_access_violation();
}
