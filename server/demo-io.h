// The demo target's standard input and output, unbuffered and byte for byte (on Windows the
// handles themselves: the C runtime's text mode would add a CR to every LF).
#pragma once
#include <cstddef>

// Reads what standard input has, waiting for at least one byte: the count, 0 at its end or when
// it fails.
long demo_read(char* buffer, std::size_t size);
// Writes some of the bytes: the count taken, or -1 when standard output is gone.
long demo_write(const char* data, std::size_t size);
