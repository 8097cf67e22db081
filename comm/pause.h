// The main thread's pauses, which a typed key or Ctrl-C can end before their time.
#pragma once
#include <atomic>
#include <cstdint>

#include "platform/wait.h"

enum class PAUSE_END { elapsed, key_typed, interrupted, output_room };

// One waiter that the console reader (a key has come) and the Ctrl-C handler wake.
class PAUSES {
public:
    PAUSES();
    ~PAUSES();
    PAUSES(const PAUSES&) = delete;
    PAUSES& operator=(const PAUSES&) = delete;

    // A key waits in the console channel. Any thread.
    void key_typed();
    // Ctrl-C: the pause in progress ends, and every later one at once. Safe in a signal handler.
    void interrupt();

    // Pauses up to the given time. A key typed before or during it ends it only when
    // keys_end_it; an interrupt always does; standard output's room when `also` asks for it.
    // Without a waiter (the system had no handle to spare) it is a plain sleep.
    PAUSE_END pause(int64_t microseconds, bool keys_end_it, WAIT_ALSO also = WAIT_ALSO::nothing);

private:
    WAITER* m_waiter;
    std::atomic<bool> m_key_waiting{false};  // set by key_typed, cleared by the pause it ends
    std::atomic<bool> m_interrupted{false};  // never cleared
};

// The process's pauses, made by pauses_start before the Ctrl-C handler and the console reader
// exist; until then the functions below work without them (a pause is then a plain sleep).
void pauses_start();
void pause_key_typed();
void pause_interrupt();
PAUSE_END pause_us(int64_t microseconds, bool keys_end_it);
