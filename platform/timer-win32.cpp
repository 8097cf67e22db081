// Pauses on Windows: a waitable timer, due after a relative time.
#include "platform/timer.h"

#include <windows.h>

void timer_sleep_us(int64_t microseconds) {
    if (microseconds <= 0) return;
    HANDLE timer = CreateWaitableTimerA(nullptr, TRUE, nullptr);
    if (timer == nullptr) {
        // No timer to be had: a coarser pause still keeps the caller from spinning.
        Sleep(static_cast<DWORD>((microseconds + 999) / 1000));
        return;
    }
    LARGE_INTEGER due;
    due.QuadPart = -10 * microseconds;  // 100-ns units; negative: relative to now
    if (SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE) != 0) {
        WaitForSingleObject(timer, INFINITE);
    } else {
        Sleep(static_cast<DWORD>((microseconds + 999) / 1000));
    }
    CloseHandle(timer);
}
