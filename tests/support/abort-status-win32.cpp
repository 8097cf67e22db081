// abort() ends a Windows process with exit status 3.
#include "tests/support/abort-status.h"

bool died_of_abort(int exit_status) {
    return exit_status == 3;
}
