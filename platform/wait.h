// Waits of the main thread that a timer, another thread or a signal handler can end early.
#pragma once
#include <cstdint>

// What one thread waits on and others wake. On POSIX an eventfd, polled together with the time
// left on the monotonic clock (and, when asked, standard output); on Windows an auto-reset
// event and a waitable timer, waited on together with WaitForMultipleObjects.
struct WAITER;

// A new waiter, not woken. nullptr when the system has no handle to spare.
WAITER* waiter_create();
// Accepts nullptr. Nobody may wait on it or wake it any more.
void waiter_destroy(WAITER* waiter);

// Ends the wait in progress, or else the next one. Wakes do not add up: any number of them
// before a wait end that one wait only. Safe from any thread and from a signal handler (on
// Windows: from the console control handler's thread); accepts nullptr.
void waiter_wake(WAITER* waiter);

// What may end a wait besides its time and a wake.
enum class WAIT_ALSO {
    nothing,
    stdout_writable  // standard output has room (where the system cannot tell: at once)
};

enum class WAIT_END { timed_out, woken, ready };

// Waits at most the given time (0: only looks). Returns woken when a wake came before or
// during the wait, and consumes it; ready when what `also` names happened first. A signal
// that interrupts the wait does not end it: the handler wakes the waiter if it should.
WAIT_END waiter_wait(WAITER* waiter, int64_t microseconds, WAIT_ALSO also = WAIT_ALSO::nothing);
