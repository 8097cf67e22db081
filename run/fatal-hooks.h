// The fatal-error and termination hooks: a fault, an uncaught exception or a call of
// std::terminate ends the process with one line on standard error and status 2.
#pragma once
#include "main-globals/zell_main_globals.h"

// The code an uncaught C++ exception carries in the fatal-error line.
constexpr int fatal_code_cxx_exception = -529697949;  // 0xE06D7363

// Installs the hooks for the whole process, if main_eh_enabled(). Runs during static
// initialisation, before main, followed by install_thread_hooks for the main thread.
void install_process_hooks();

// Installs the calling thread's part of the hooks (its own stack for the fault handler), if
// main_eh_enabled(). Every thread the program starts calls it before its own code.
void install_thread_hooks();

// Whether the hooks were installed before main. Naming it from main keeps the static
// initialiser that installs them in a program linked from the core library.
bool fatal_hooks_in_place();

// The unhandled-exception filter. record is null when there is no fault to describe. Returns
// only when main_seh_callback is set: its result (-1: go on at the fault; anything else: end
// as the system would). Otherwise prints the fatal-error line and ends the process.
int on_unhandled_exception(FATAL_SIGNAL_RECORD* record);

// The terminate handler: prints the termination line and ends the process, or calls
// main_terminator_callback instead and returns.
void on_terminate();
