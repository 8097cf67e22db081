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

TEST(Pauses, AKeyTypedDuringAPauseEndsIt) {
    PAUSES pauses;
    std::atomic<bool> started{false};
    std::thread reader([&] {
        while (!started.load()) std::this_thread::yield();
        pauses.key_typed();
    });
    started.store(true);
    EXPECT_EQ(pauses.pause(deadline_us, true), PAUSE_END::key_typed);
    reader.join();
}

TEST(Pauses, AnInterruptEndsEveryPauseFromThenOn) {
    PAUSES pauses;
    std::atomic<bool> started{false};
    std::thread handler([&] {
        while (!started.load()) std::this_thread::yield();
        pauses.interrupt();
    });
    started.store(true);
    EXPECT_EQ(pauses.pause(deadline_us, false), PAUSE_END::interrupted);
    handler.join();
    pauses.key_typed();
    EXPECT_EQ(pauses.pause(deadline_us, true), PAUSE_END::interrupted);
}

}  // namespace
