// Process-wide settings and the immediate end of the process on Windows.
#include "platform/process.h"

#include <windows.h>

#include "platform/console.h"

// A write to a closed pipe fails with an error on Windows; there is no signal to turn off.
void process_ignore_broken_pipe() {}

void process_exit_now(int status) {
    console_restore_on_exit();
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
    // TerminateProcess does not return for the calling process; this only satisfies noreturn.
    ExitProcess(static_cast<UINT>(status));
}
