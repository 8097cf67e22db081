// Tests of the two ways the program's own logic gives up.
#include "base/internal-abort.h"

#include <gtest/gtest.h>

#include "base/program-name.h"
#include "tests/support/abort-status.h"

namespace {

TEST(InternalAbortDeathTest, NamesTheCallerAndAborts) {
    EXPECT_EXIT(internal_abort(abort_site::gmon_open), died_of_abort,
                "^tarvik-terminal: write-gmon:112: abort\n$");
    EXPECT_EXIT(
        {
            program_name = secondary_name;
            internal_abort(ABORT_SITE{"process-args", 7});
        },
        died_of_abort, "^pelk-terminal: process-args:7: abort\n$");
    EXPECT_EXIT(CONSISTENCY_CHECK(1 + 1 == 3, "sum == 3", (ABORT_SITE{"console-io", 42})),
                died_of_abort,
                "^Assertion failed: sum == 3, file console-io, line 42\n$");
}

}  // namespace
