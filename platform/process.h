// Process-wide settings and the immediate end of the process.
#pragma once

// Gives each of standard input, output and error that is closed the null device, so that no
// file or socket opened later takes its number: the program's output would go into it.
void process_open_standard_descriptors();

// Makes a write to a closed pipe or socket fail with an error instead of ending the process.
void process_ignore_broken_pipe();

// Ends the process at once with the given status: no at-exit handlers, no stream flushing.
// The console mode is given back first.
[[noreturn]] void process_exit_now(int status);
