// The two ways the program's own logic gives up: internal_abort and a failed consistency check.
#include "base/internal-abort.h"

#include <cstdio>
#include <cstdlib>

#include "base/program-name.h"
#include "platform/console.h"

void internal_abort(ABORT_SITE site) {
    std::fprintf(stderr, "%s: %s:%d: abort\n", program_name, site.source, site.number);
    console_restore_on_exit();
    std::abort();
}

void assertion_failed(const char* expression, ABORT_SITE site) {
    std::fprintf(stderr, "Assertion failed: %s, file %s, line %d\n", expression, site.source,
                 site.number);
    console_restore_on_exit();
    std::abort();
}
