// The mode of a child's pseudo-terminal (CHILD_SETUP::terminal), for tests of raw mode and of
// its restoring. POSIX terminals only.
#pragma once
#include <termios.h>

#include <string>

class CHILD_PROCESS;

// The terminal's mode now (also after the child has ended), and the mode it had when the
// child started.
termios terminal_mode(const CHILD_PROCESS& child);
termios initial_terminal_mode(const CHILD_PROCESS& child);

// Whether two terminal modes are the same in every flag and control character.
bool same_mode(const termios& a, const termios& b);
// The flags and control characters of a mode, for failure messages.
std::string describe_mode(const termios& mode);
