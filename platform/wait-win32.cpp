// Wakeable waits on Windows: an auto-reset event and a waitable timer, waited on together.
#include "platform/wait.h"

#include <windows.h>

struct WAITER {
    HANDLE hWake;   // auto-reset: a wait that sees it set also clears it
    HANDLE hTimer;  // manual-reset, set anew for each wait
};

WAITER* waiter_create() {
    HANDLE hWake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE hTimer = CreateWaitableTimerA(nullptr, TRUE, nullptr);
    if (hWake == nullptr || hTimer == nullptr) {
        if (hWake != nullptr) CloseHandle(hWake);
        if (hTimer != nullptr) CloseHandle(hTimer);
        return nullptr;
    }
    return new WAITER{hWake, hTimer};
}

void waiter_destroy(WAITER* waiter) {
    if (waiter == nullptr) return;
    CloseHandle(waiter->hWake);
    CloseHandle(waiter->hTimer);
    delete waiter;
}

void waiter_wake(WAITER* waiter) {
    if (waiter != nullptr) SetEvent(waiter->hWake);
}

// Standard output's room cannot be waited for on a console or a pipe (a write there blocks
// until it is taken), so stdout_writable is ready at once.
WAIT_END waiter_wait(WAITER* waiter, int64_t microseconds, WAIT_ALSO also) {
    if (WaitForSingleObject(waiter->hWake, 0) == WAIT_OBJECT_0) return WAIT_END::woken;
    if (also == WAIT_ALSO::stdout_writable) return WAIT_END::ready;
    if (microseconds <= 0) return WAIT_END::timed_out;
    LARGE_INTEGER due;
    due.QuadPart = -10 * microseconds;  // relative, in units of 100 ns
    if (!SetWaitableTimer(waiter->hTimer, &due, 0, nullptr, nullptr, FALSE)) {
        // Without a timer the event alone, with the time rounded up to whole milliseconds.
        DWORD ms = static_cast<DWORD>((microseconds + 999) / 1000);
        return WaitForSingleObject(waiter->hWake, ms) == WAIT_OBJECT_0 ? WAIT_END::woken
                                                                       : WAIT_END::timed_out;
    }
    const HANDLE handles[2] = {waiter->hWake, waiter->hTimer};
    DWORD which = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
    // The first handle wins when both are set: a wake is never lost to a timer running out.
    if (which == WAIT_OBJECT_0) {
        CancelWaitableTimer(waiter->hTimer);
        return WAIT_END::woken;
    }
    return WAIT_END::timed_out;
}
