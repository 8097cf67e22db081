// COMM_JTAG_UART: the channel to the target's JTAG UART, through the JTAG UART access library.
#pragma once
#include <cstdint>

#include "comm/comm.h"

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
    // Pauses 100 ms when nothing came and 1 s after a failed reopen, then returns 0.
    int read(char* buffer, unsigned int count) override;
    int write(const char* data, unsigned int count) override;

private:
    JTAGVARNAX* m_handle = nullptr;  // null while no link is open (persistent mode only)
};

// Seams for tests; they default to the real pause and the run-time lookup of the library's
// optional cable-warning function (which gives 1 when the library or the function is missing).
extern void (*jtag_uart_pause_us)(int64_t microseconds);
extern int (*jtag_uart_cable_warning)(JTAGVARNAX* handle);
