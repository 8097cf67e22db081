// The console: standard input's mode, its one-byte reads, and standard output.
#pragma once
#include <cstddef>
#include <string>

// Whether standard input is a terminal (a console on systems that have one).
bool console_is_terminal();

// Whether the system can name the process's standard input. A missing input is still named:
// reading it fails.
bool console_input_open();

// Reads standard input's mode and keeps it, process-wide, as the mode to give back. While a
// mode is kept, another call keeps the first one, so a second console cannot save the raw
// mode of the first. Returns false when the mode cannot be read; the later give-back then
// reports a failure. From here on a termination request (SIGTERM, SIGHUP, and SIGINT or
// SIGQUIT while they would end the process) gives the mode back before the process ends.
bool console_save_mode();

// Whether standard input's mode can be read right now.
bool console_mode_readable();

// Switches standard input to raw mode: no line editing, no echo, no translation of CR or
// NL, no flow control, no quit or suspend key; Ctrl-C still raises the interrupt signal.
// Output processing stays as it was. Returns false when the system refuses.
bool console_enter_raw();

// Gives standard input back the kept mode, once. Returns true when it was given back or there
// was nothing left to give back; false when the system refused or the saved mode could not
// be read in the first place.
bool console_restore_mode();

// Gives standard input back the kept mode, if one is kept and has not been given back yet.
// Safe to call from a signal handler, and any number of times.
void console_restore_on_exit();

// How a read of standard input ended.
enum class CONSOLE_READ {
    bytes,  // at least one byte was read
    ended,  // a file, a pipe, a socket or a non-terminal device reached its end: input stops
            // quietly
    failed  // the read failed (an I/O error, a directory): *error says why
};

// Reads what standard input has now, at least one byte and at most size, waiting for the first:
// a key is handed on as soon as it is typed, and a paste takes one call per size bytes rather
// than one per byte. Sets *got; retries when a signal interrupts it.
CONSOLE_READ console_read_some(char* buffer, size_t size, size_t* got, std::string* error);

// Looks at what standard output is, once it is settled for the session: a pipe, a socket or a
// terminal can stall a write for as long as its reader pleases, a file or a null device
// cannot. Until this is called every write is treated as one that can stall.
void console_prepare_output();

// Writes to standard output without any buffering. Output that can stall is first given at
// most about 100 ms to make room, so the caller can look at its reasons to stop between
// tries however long the reader sleeps; a signal also ends that wait. Returns how many bytes
// were written (possibly fewer than count, 0 when there was no room), or -1 on error.
int console_write_stdout(const char* data, unsigned int count);
