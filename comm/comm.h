// COMM: the byte channel both ends of the terminal speak through.
#pragma once
#include <atomic>

class COMM {
public:
    virtual ~COMM() = default;
    // Called on the console after the banner; no channel does anything with it.
    virtual void ready() {}
    // Blocks until the channel's link is open.
    virtual void wait_open() {}
    // Places at most count bytes at the start of buffer, nothing after them. Returns how many
    // (0: nothing now), or a negative value on error. Never waits without bound.
    virtual int read(char* buffer, unsigned int count) = 0;
    // Takes the first bytes of data. Returns how many (fewer than count is normal: the caller
    // offers the rest again), or a negative value on error.
    virtual int write(const char* data, unsigned int count) = 0;
    // Once read has been called: a flag that is false while read would place nothing, so that
    // a caller polling read in a loop can skip the call. nullptr: always call read.
    virtual const std::atomic<bool>* input_news() const { return nullptr; }
};
