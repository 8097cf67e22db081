// The main thread's pauses: a platform waiter, and why it was woken.
#include "comm/pause.h"

#include <atomic>
#include <chrono>

#include "platform/timer.h"

static_assert(std::atomic<bool>::is_always_lock_free, "PAUSES::interrupt runs in a signal handler");

namespace {

// Never deleted: the Ctrl-C handler and the console reader may use it until the process ends.
std::atomic<PAUSES*> process_pauses{nullptr};

}  // namespace

PAUSES::PAUSES() : m_waiter(waiter_create()) {}

PAUSES::~PAUSES() {
    waiter_destroy(m_waiter);
}

void PAUSES::key_typed() {
    // One wake per pause is enough: a paste does not turn into a system call per byte.
    if (!m_key_waiting.exchange(true)) waiter_wake(m_waiter);
}

void PAUSES::interrupt() {
    m_interrupted.store(true);
    waiter_wake(m_waiter);
}

PAUSE_END PAUSES::pause(int64_t microseconds, bool keys_end_it, WAIT_ALSO also) {
    if (m_waiter == nullptr) {
        timer_sleep_us(microseconds);
        return PAUSE_END::elapsed;
    }
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::microseconds(microseconds);
    for (;;) {
        if (m_interrupted.load()) return PAUSE_END::interrupted;
        if (keys_end_it && m_key_waiting.exchange(false)) return PAUSE_END::key_typed;
        auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - clock::now());
        if (left.count() <= 0) return PAUSE_END::elapsed;
        // A wake for a key that does not end this pause only costs another round.
        switch (waiter_wait(m_waiter, left.count(), also)) {
            case WAIT_END::timed_out:
                return PAUSE_END::elapsed;
            case WAIT_END::ready:
                return PAUSE_END::output_room;
            case WAIT_END::woken:
                break;
        }
    }
}

void pauses_start() {
    if (process_pauses.load() == nullptr) process_pauses.store(new PAUSES);
}

void pause_key_typed() {
    if (PAUSES* pauses = process_pauses.load()) pauses->key_typed();
}

void pause_interrupt() {
    if (PAUSES* pauses = process_pauses.load()) pauses->interrupt();
}

PAUSE_END pause_us(int64_t microseconds, bool keys_end_it) {
    if (PAUSES* pauses = process_pauses.load()) return pauses->pause(microseconds, keys_end_it);
    timer_sleep_us(microseconds);
    return PAUSE_END::elapsed;
}
