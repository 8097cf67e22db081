// Process-wide settings and the immediate end of the process on Windows.
#include "platform/process.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cstdint>

#include "platform/console.h"

// A write to a closed pipe fails with an error on Windows; there is no signal to turn off.
void process_ignore_broken_pipe() {}

void process_exit_now(int status) {
    console_restore_on_exit();
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
    // TerminateProcess does not return for the calling process; this only satisfies noreturn.
    ExitProcess(static_cast<UINT>(status));
}

void process_open_standard_descriptors() {
    const DWORD std_handles[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    for (int fd = 0; fd <= 2; ++fd) {
        intptr_t handle = _get_osfhandle(fd);
        if (handle != -1 && handle != -2) continue;
        int opened = _open("NUL", fd == 0 ? _O_RDONLY | _O_BINARY : _O_WRONLY | _O_BINARY);
        if (opened < 0) continue;
        if (opened != fd) {
            _dup2(opened, fd);
            _close(opened);
        }
        // The system's standard handle too: the console's reads and writes go through it.
        SetStdHandle(std_handles[fd], reinterpret_cast<HANDLE>(_get_osfhandle(fd)));
    }
}
