// FAKE_COMM: an in-memory COMM whose reads are scripted and whose writes are recorded.
#pragma once
#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "comm/comm.h"

class FAKE_COMM : public COMM {
public:
    // Scripts the next read: it hands out these bytes; "" makes it a read of nothing (0). A read
    // smaller than the bytes takes their start, and the rest comes first in the next read.
    void feed(const std::string& bytes);
    // Scripts a read that places nothing and returns result (negative: an error).
    void feed_result(int result);
    // What reads return once the script is used up; 0 (nothing yet) unless set.
    void when_drained(int result);

    // Every later write takes at most n bytes (0: none).
    void take_at_most(unsigned int n);
    // Scripts the result of the next write, in place of take_at_most for that call: n >= 0 takes
    // min(n, count) bytes, a negative n takes nothing and is returned as it is.
    void script_write(int result);

    // Runs at the start of every read and write, outside the fake's lock, with the number of
    // calls (reads and writes) made before this one. A test changes the world there: the
    // clock, interrupted, a script.
    void on_call(std::function<void(int calls_before)> hook);
    // Makes input_news hand out this flag (the fake's reads do not look at it).
    void report_news(const std::atomic<bool>* flag) { m_news = flag; }

    std::string written() const;              // every byte the writes took, in order
    std::vector<std::string> offers() const;  // what each write was offered, one per call
    int reads() const;
    int writes() const;
    int calls() const { return reads() + writes(); }

    int read(char* buffer, unsigned int count) override;
    int write(const char* data, unsigned int count) override;
    const std::atomic<bool>* input_news() const override { return m_news; }

private:
    struct SCRIPTED_READ {
        std::string bytes;
        int result;  // used when bytes is empty
    };
    void run_hook();

    mutable std::mutex m_mutex;  // guards every member below; the hook runs outside it
    std::deque<SCRIPTED_READ> m_reads;
    int m_drained_result = 0;
    unsigned int m_take_at_most = ~0u;
    std::deque<int> m_write_results;
    std::function<void(int)> m_hook;
    std::string m_written;
    std::vector<std::string> m_offers;
    int m_read_calls = 0;
    int m_write_calls = 0;
    const std::atomic<bool>* m_news = nullptr;
};
