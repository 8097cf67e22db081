// The console: standard input's mode, its one-byte reads, and standard output.
#pragma once

// Gives standard input back the mode saved by the console channel, if it holds one and has
// not given it back yet. Safe to call from a signal handler, and any number of times.
void console_restore_on_exit();
