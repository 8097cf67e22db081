// COMM_CONSOLE: the host side of the terminal, keys from standard input, output to standard output.
#pragma once
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>

#include "comm/comm.h"

// The reader stops reading while this much input waits to be taken, so input that never ends
// (/dev/zero, a huge file) cannot use up the memory; a keyboard never gets near it.
constexpr size_t reader_buffer_limit = 64 * 1024;

// What the reader thread shares with its channel. Both hold a reference; the last one to let
// go deletes it, so the thread, which usually still waits for a key when the channel goes,
// never touches released memory.
struct READER_SHARED {
    std::mutex m_mutex;              // guards m_input and m_input_ended
    std::condition_variable m_room;  // signalled when read has taken bytes out of m_input
    std::string m_input;             // bytes read and not yet taken by read, oldest first
    bool m_input_ended = false;      // the reader stopped after a failed read; never cleared
    // Set with m_mutex held whenever m_input or m_input_ended changes, cleared with it held
    // when read has taken everything: a read finds out without locking that nothing came,
    // which is what nearly every pass of the relay finds.
    std::atomic<bool> m_news{false};
    std::atomic<int> m_owners{1};
};

// While a console channel exists and standard input is a terminal, standard input is raw:
// every key is a byte, Ctrl-C is still the interrupt signal. The saved mode comes back when
// the channel is destroyed, at exit, and on every other way the process ends.
// The session creates one console channel per process: its reader thread, once started,
// waits on standard input for as long as the process lives.
class COMM_CONSOLE : public COMM {
public:
    // Makes standard output unbuffered and standard input raw. Ends the process when the
    // console refuses raw mode (status 1) or the reader block cannot be had (status 2).
    COMM_CONSOLE();
    ~COMM_CONSOLE() override;
    COMM_CONSOLE(const COMM_CONSOLE&) = delete;
    COMM_CONSOLE& operator=(const COMM_CONSOLE&) = delete;

    // Never waits: up to count bytes of what was typed, 0 when nothing has come, -1 once
    // input has failed and everything read before has been taken. The first call starts the
    // reader thread (status 3 when it cannot start).
    int read(char* buffer, unsigned int count) override;
    // Unbuffered write to standard output: bytes written, or -1.
    int write(const char* data, unsigned int count) override;
    // Set by the reader thread when it has added input or stopped, cleared by read once it
    // has taken everything: what nearly every pass of the relay finds is nothing.
    const std::atomic<bool>* input_news() const override { return &m_shared->m_news; }

    // Gives standard input its saved mode back, at most once.
    void restore_console_mode();
    // The at-exit hook: gives the mode back for the active console, if there is one.
    static void restore_at_exit();

private:
    bool m_mode_saved = false;
    bool m_opened = false;
    bool m_reader_started = false;  // a channel starts its reader once, never again
    bool m_end_reported = false;    // the end of input has been reported once
    READER_SHARED* m_shared = nullptr;
};

// The console whose mode the at-exit hook gives back; null when none needs it.
extern COMM_CONSOLE* active_console;
