// The demo target's streams on Windows: the handles themselves, so nothing is translated.
#include <windows.h>

#include "server/demo-io.h"

long demo_read(char* buffer, std::size_t size) {
    DWORD n = 0;
    // A pipe's end is ERROR_BROKEN_PIPE (a read of no bytes under wine): the end either way.
    if (!ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, DWORD(size), &n, nullptr)) return 0;
    return long(n);
}

long demo_write(const char* data, std::size_t size) {
    DWORD n = 0;
    if (!WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), data, DWORD(size), &n, nullptr) || n == 0)
        return -1;
    return long(n);
}
