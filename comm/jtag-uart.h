// COMM_JTAG_UART: the channel to the target's JTAG UART, through the JTAG UART access library.
#pragma once
#include <cstdint>

#include "comm/comm.h"
#include "comm/pause.h"

struct JTAGVARNAX;

class COMM_JTAG_UART : public COMM {
public:
    // Opens the link from the settings and reports it, or explains the failure and ends the
    // process with status 1. Writes the cable, device and instance found back into settings.
    COMM_JTAG_UART();
    ~COMM_JTAG_UART() override;
    COMM_JTAG_UART(const COMM_JTAG_UART&) = delete;
    COMM_JTAG_UART& operator=(const COMM_JTAG_UART&) = delete;

    void wait_open() override;
    // When nothing came, pauses before it returns 0: at most 100 ms, ended early by a typed
    // key, and short while bytes are moving and on a link just opened (see
    // pause_after_empty_read). After a failed reopen it pauses 1 s, which only Ctrl-C ends.
    int read(char* buffer, unsigned int count) override;
    int write(const char* data, unsigned int count) override;
    // The drain of what the target queued before the session: like read, but when nothing has
    // come it waits the full 100 ms (keys do not end it) and looks again, so 0 means that
    // nothing came in all that time.
    int read_settled(char* buffer, unsigned int count);

private:
    // Reopens a lost link and reads it once, without the pause after an empty read.
    int take(char* buffer, unsigned int count);
    // Opens the link again with what the first open found; false (after the pause of a failed
    // reopen) when it cannot.
    bool reopen();
    void close_link();
    void pause_after_empty_read();

    JTAGVARNAX* m_handle = nullptr;  // null while no link is open (persistent mode only)
    // The pause after the next empty read; 0: none, a typed key is about to go out.
    int64_t m_next_pause_us;
};

// Seams for tests; they default to the process's pauses and the run-time lookup of the
// library's optional cable-warning function (which gives 1 when the library or the function is
// missing).
extern PAUSE_END (*jtag_uart_pause)(int64_t microseconds, bool keys_end_it);
extern int (*jtag_uart_cable_warning)(JTAGVARNAX* handle);
