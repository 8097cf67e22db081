// The demo target's streams on POSIX systems.
#include <unistd.h>

#include <cerrno>

#include "server/demo-io.h"

long demo_read(char* buffer, std::size_t size) {
    for (;;) {
        ssize_t n = read(STDIN_FILENO, buffer, size);
        if (n < 0 && errno == EINTR) continue;
        return n > 0 ? long(n) : 0;
    }
}

long demo_write(const char* data, std::size_t size) {
    for (;;) {
        ssize_t n = write(STDOUT_FILENO, data, size);
        if (n < 0 && errno == EINTR) continue;
        return n > 0 ? long(n) : -1;
    }
}
