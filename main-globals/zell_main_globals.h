// Process-wide state of the fatal-error hooks, shared by every module of a process.
#pragma once
#include <atomic>

#if defined(_WIN32)
#if defined(ZELL_MAIN_GLOBALS_BUILDING)
#define ZELL_MAIN_GLOBALS_API __declspec(dllexport)
#else
#define ZELL_MAIN_GLOBALS_API __declspec(dllimport)
#endif
#else
#define ZELL_MAIN_GLOBALS_API __attribute__((visibility("default")))
#endif

// What the hooks know of a fault: its code as Windows numbers it, the system's description (the
// siginfo_t on POSIX, the EXCEPTION_POINTERS on Windows) and the machine context (ucontext_t,
// CONTEXT); both null when not from a fault.
struct FATAL_SIGNAL_RECORD {
    int code;
    void* siginfo;
    void* context;
};
using FATAL_FILTER_CALLBACK = int (*)(FATAL_SIGNAL_RECORD*);

// Whether the fatal hooks are to be installed.
ZELL_MAIN_GLOBALS_API bool main_eh_enabled();
// With true: marks termination as begun; returns whether it had begun before.
// With false: returns whether termination has begun, changing nothing.
ZELL_MAIN_GLOBALS_API bool main_terminate_called(bool);
// Null: default handling.
ZELL_MAIN_GLOBALS_API extern std::atomic<FATAL_FILTER_CALLBACK> main_seh_callback;
ZELL_MAIN_GLOBALS_API extern std::atomic<void (*)()> main_terminator_callback;
