// The console: standard input's mode, its one-byte reads, and standard output.
#pragma once
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

// How a one-byte read of standard input ended.
enum class CONSOLE_READ {
    byte,   // one byte was read
    ended,  // a file or a non-terminal device reached its end: input stops quietly
    failed  // the read failed, or a pipe or socket was closed by its writer: *error says why
};

// Reads one byte of standard input, waiting for it; retries when a signal interrupts it.
CONSOLE_READ console_read_byte(char* byte, std::string* error);

// Writes to standard output without any buffering, retrying when a signal interrupts it.
// Returns how many bytes were written (possibly fewer than count), or -1 on error.
int console_write_stdout(const char* data, unsigned int count);
