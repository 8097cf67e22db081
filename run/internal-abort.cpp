// The two ways the program's own logic gives up: internal_abort and a failed consistency check.
#include "run/internal-abort.h"

#include <cstdio>
#include <cstdlib>

#include "args/process-args.h"
#include "platform/console.h"

void internal_abort(const char* file, int line) {
    std::fprintf(stderr, "%s: %s:%d: abort\n", program_name, file, line);
    console_restore_on_exit();
    std::abort();
}

void assertion_failed(const char* expression, const char* file, int line) {
    std::fprintf(stderr, "Assertion failed: %s, file %s, line %d\n", expression, file, line);
    console_restore_on_exit();
    std::abort();
}
