// Faults (bad memory access, illegal instruction, arithmetic fault) caught for the whole
// process, with the code the same fault carries on every platform the program runs on.
#pragma once

// Codes of the faults, as signed 32-bit values.
constexpr int fatal_code_access_violation = -1073741819;     // 0xC0000005
constexpr int fatal_code_illegal_instruction = -1073741795;  // 0xC000001D
constexpr int fatal_code_divide_by_zero = -1073741676;       // 0xC0000094

// What the process does after the fault handler returns.
enum class FATAL_ACTION {
    retry,          // go on at the faulting point (a second fault comes back to the handler)
    default_action  // let the system end the process as it would without the handler
};

// The handler gets the fault's code, the system's description of the fault and the machine
// context (opaque here; null when the system gives none). It runs on the faulting thread,
// on that thread's own handler stack when it has one, and may be entered again from itself.
using FATAL_HANDLER = FATAL_ACTION (*)(int code, void* details, void* context);

// Sends the faults of every thread to handler. Returns false when the system refuses.
bool fatal_install_handler(FATAL_HANDLER handler);

// Gives the calling thread a stack of its own for the fault handler, so that a stack
// overflow can still be reported. Keeps a stack the thread already has. Returns false when
// none could be set up. The stack is released when the thread ends.
bool fatal_prepare_thread();
