// The relay loop and the process-wide state a terminal session shares with it.
#pragma once
#include <atomic>
#include <cstdint>

class COMM;

enum class RELAY_RESULT : int { user_timeout = 0, ctrl_d_on_remote = 1, io_error = 2, ctrl_c_on_host = 3 };

// Set to 1 by the Ctrl-C handler, never cleared.
extern std::atomic<int> interrupted;
static_assert(std::atomic<int>::is_always_lock_free, "interrupted is set from a signal handler");
// When the session began, in milliseconds of relay_clock.
extern int64_t session_start;
// The session's two channels; empty outside a session.
extern COMM* jtag_channel;
extern COMM* console_channel;

// Moves bytes both ways between jtag_channel and console_channel until a reason to stop.
RELAY_RESULT relay();

// The clock of the session time: milliseconds on the monotonic clock, which a change of the
// wall clock does not move. Tests put a fake clock here so that no test waits for real time.
int64_t monotonic_milliseconds();
extern int64_t (*relay_clock)();
