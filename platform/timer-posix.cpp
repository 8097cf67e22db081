// Pauses on POSIX: nanosleep on the monotonic clock, resumed after signals.
#include "platform/timer.h"

#include <cerrno>
#include <ctime>

void timer_sleep_us(int64_t microseconds) {
    if (microseconds <= 0) return;
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += static_cast<time_t>(microseconds / 1000000);
    deadline.tv_nsec += static_cast<long>(microseconds % 1000000) * 1000;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    // An absolute deadline: a signal (Ctrl-C) does not shorten the pause or restart it from zero.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}
