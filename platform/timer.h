// Pauses of the main thread.
#pragma once
#include <cstdint>

// Sleeps on the monotonic clock for at least the given time.
void timer_sleep_us(int64_t microseconds);
