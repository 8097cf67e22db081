// Ends the process when the program's own logic reaches a state it cannot go on from.
#pragma once
#include "base/abort-sites.h"

// Prints "<program>: <source>:<number>: abort" on standard error, gives the console mode back
// and aborts.
[[noreturn]] void internal_abort(ABORT_SITE site);

// A consistency check that failed: prints "Assertion failed: <expression>, file <source>,
// line <number>" on standard error, gives the console mode back and aborts.
[[noreturn]] void assertion_failed(const char* expression, ABORT_SITE site);

// The expression text is given explicitly: it is part of the message users see.
#define CONSISTENCY_CHECK(condition, text, site) \
    ((condition) ? (void)0 : assertion_failed(text, site))
