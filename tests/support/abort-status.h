// How a death test recognises a process that abort() ended, on every system.
#pragma once

// A predicate for EXPECT_EXIT: the process ended through abort().
bool died_of_abort(int exit_status);
