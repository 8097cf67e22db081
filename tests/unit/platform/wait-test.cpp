// The platform waiter: a wake from before the wait or from a signal handler ends it (the pause
// tests wake it from another thread); wakes do not add up. No test depends on how long anything
// takes: the long waits are deadlines that only a broken waiter reaches.
#include "platform/wait.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <thread>

namespace {

constexpr int64_t deadline_us = 30 * 1000000;  // never reached unless a wake is lost

class Waiter : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(m_waiter = waiter_create(), nullptr); }
    void TearDown() override { waiter_destroy(m_waiter); }
    WAITER* m_waiter = nullptr;
};

TEST_F(Waiter, AWakeBeforeTheWaitEndsItOnceHoweverManyCame) {
    EXPECT_EQ(waiter_wait(m_waiter, 0), WAIT_END::timed_out);
    waiter_wake(m_waiter);
    waiter_wake(m_waiter);
    EXPECT_EQ(waiter_wait(m_waiter, deadline_us), WAIT_END::woken);
    EXPECT_EQ(waiter_wait(m_waiter, 1000), WAIT_END::timed_out);
    waiter_wake(nullptr);  // accepted, does nothing
}

WAITER* signalled_waiter = nullptr;
void wake_from_handler(int) {
    waiter_wake(signalled_waiter);
}

// A signal interrupts the wait without ending it; its handler's wake does.
TEST_F(Waiter, ASignalHandlerEndsAWaitInProgress) {
    signalled_waiter = m_waiter;
    struct sigaction action {};
    action.sa_handler = wake_from_handler;
    sigemptyset(&action.sa_mask);
    struct sigaction before {};
    ASSERT_EQ(sigaction(SIGUSR1, &action, &before), 0);
    std::thread sender([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        kill(getpid(), SIGUSR1);
    });
    EXPECT_EQ(waiter_wait(m_waiter, deadline_us), WAIT_END::woken);
    sender.join();
    sigaction(SIGUSR1, &before, nullptr);
}

TEST_F(Waiter, RoomOnStandardOutputEndsAWaitThatAsksForIt) {
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    int saved_stdout = dup(STDOUT_FILENO);
    dup2(pipe_ends[1], STDOUT_FILENO);
    WAIT_END with_room = waiter_wait(m_waiter, deadline_us, WAIT_ALSO::stdout_writable);
    WAIT_END without = waiter_wait(m_waiter, 0);
    dup2(saved_stdout, STDOUT_FILENO);
    close(saved_stdout);
    close(pipe_ends[0]);
    close(pipe_ends[1]);
    EXPECT_EQ(with_room, WAIT_END::ready);
    EXPECT_EQ(without, WAIT_END::timed_out);
}

}  // namespace
