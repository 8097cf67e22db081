// Wakeable waits on POSIX: an eventfd polled with the time left on the monotonic clock.
#include "platform/wait.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>

struct WAITER {
    int m_event;  // readable while a wake has not been consumed
};

namespace {

constexpr int64_t ns_per_s = 1000000000;

int64_t monotonic_ns() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * ns_per_s + now.tv_nsec;
}

void consume_wake(int event) {
    uint64_t count;
    // Non-blocking: a second waiter-side read after the count was taken just finds nothing.
    while (::read(event, &count, sizeof count) < 0 && errno == EINTR) {
    }
}

}  // namespace

WAITER* waiter_create() {
    int event = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (event < 0) return nullptr;
    return new WAITER{event};
}

void waiter_destroy(WAITER* waiter) {
    if (waiter == nullptr) return;
    close(waiter->m_event);
    delete waiter;
}

void waiter_wake(WAITER* waiter) {
    if (waiter == nullptr) return;
    int saved_errno = errno;  // signal handlers must leave errno as they found it
    uint64_t one = 1;
    // Only fails when the counter would overflow, and then a wake is pending anyway.
    while (::write(waiter->m_event, &one, sizeof one) < 0 && errno == EINTR) {
    }
    errno = saved_errno;
}

WAIT_END waiter_wait(WAITER* waiter, int64_t microseconds, WAIT_ALSO also) {
    const int64_t deadline = monotonic_ns() + (microseconds > 0 ? microseconds * 1000 : 0);
    pollfd wanted[2] = {{waiter->m_event, POLLIN, 0}, {STDOUT_FILENO, POLLOUT, 0}};
    nfds_t count = also == WAIT_ALSO::stdout_writable ? 2 : 1;
    for (;;) {
        int64_t left = deadline - monotonic_ns();
        if (left < 0) left = 0;
        timespec timeout = {time_t(left / ns_per_s), long(left % ns_per_s)};
        int ready = ppoll(wanted, count, &timeout, nullptr);
        if (ready < 0) {
            // A signal: its handler has woken the waiter if the wait is to end.
            if (errno == EINTR) continue;
            // Still a pause, so that a caller that waits again does not spin.
            timespec until = {time_t(deadline / ns_per_s), long(deadline % ns_per_s)};
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
            }
            return WAIT_END::timed_out;
        }
        if (wanted[0].revents != 0) {
            consume_wake(waiter->m_event);
            return WAIT_END::woken;
        }
        // An error or a hang-up counts too: the write that follows reports it.
        if (count == 2 && wanted[1].revents != 0) return WAIT_END::ready;
        if (ready == 0) return WAIT_END::timed_out;
    }
}
