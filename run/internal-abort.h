// Ends the process when the program's own logic reaches a state it cannot go on from.
#pragma once

// Prints "<program>: <file>:<line>: abort" on standard error, gives the console mode back
// and aborts. The file and line are the caller's fixed identifiers, not __FILE__/__LINE__.
[[noreturn]] void internal_abort(const char* file, int line);

// A consistency check that failed: prints "Assertion failed: <expression>, file <file>,
// line <line>" on standard error, gives the console mode back and aborts.
[[noreturn]] void assertion_failed(const char* expression, const char* file, int line);

// The expression text is given explicitly: it is part of the message users see.
#define CONSISTENCY_CHECK(condition, text, file, line) \
    ((condition) ? (void)0 : assertion_failed(text, file, line))
