// The main thread's pauses: which wakes end which pause. The long pauses are deadlines that
// only a lost wake reaches; no test depends on how long a pause takes.
#include "comm/pause.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

constexpr int64_t deadline_us = 30 * 1000000;

TEST(Pauses, AKeyEndsOnlyThePausesThatKeysMayEnd) {
    PAUSES pauses;
    pauses.key_typed();
    // The reconnection pause goes on; the key still waits for the next pause.
    EXPECT_EQ(pauses.pause(1000, false), PAUSE_END::elapsed);
    EXPECT_EQ(pauses.pause(deadline_us, true), PAUSE_END::key_typed);
    // Taken once: the next pause runs its time.
    EXPECT_EQ(pauses.pause(1000, true), PAUSE_END::elapsed);
}

// A long pause, and what another thread does once it is under way.
PAUSE_END pause_while(PAUSES& pauses, bool keys_end_it, void (PAUSES::*other_thread)()) {
    std::atomic<bool> started{false};
    std::thread other([&] {
        while (!started.load()) std::this_thread::yield();
        (pauses.*other_thread)();
    });
    started.store(true);
    PAUSE_END end = pauses.pause(deadline_us, keys_end_it);
    other.join();
    return end;
}

TEST(Pauses, AKeyTypedDuringAPauseEndsIt) {
    PAUSES pauses;
    EXPECT_EQ(pause_while(pauses, true, &PAUSES::key_typed), PAUSE_END::key_typed);
}

TEST(Pauses, AnInterruptEndsEveryPauseFromThenOn) {
    PAUSES pauses;
    EXPECT_EQ(pause_while(pauses, false, &PAUSES::interrupt), PAUSE_END::interrupted);
    pauses.key_typed();
    EXPECT_EQ(pauses.pause(deadline_us, true), PAUSE_END::interrupted);
}

}  // namespace
