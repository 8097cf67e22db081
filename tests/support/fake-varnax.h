// A scripted stand-in for the JTAG UART access library, linked into tests instead of it.
#pragma once
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "client/jtag_varnax.h"

struct FAKE_VARNAX_OPEN {
    std::optional<std::string> cable;  // none when the caller passed null
    int device;
    int instance;
    std::string app_name;
};

// One scripted jtagvarnax_read result: bytes, or (when failure is set) a negative count.
struct FAKE_VARNAX_READ {
    std::string bytes;
    int failure = 0;
};

struct FAKE_VARNAX {
    std::deque<JTAGVARNAX_ERROR> open_results;  // what the next opens give; empty: success
    std::string error_text;                      // what jtagvarnax_get_error hands out
    std::optional<JTAGVARNAX_ERROR> reported_error;  // set: get_error reports this instead
    std::string info_cable = "USB-Cable [1-1]";
    int info_device = 1;
    int info_instance = 0;
    std::deque<FAKE_VARNAX_READ> reads;  // empty: reads return 0
    int write_limit = -1;                // most bytes one write takes; -1: all
    int write_failure = 0;               // non-zero: writes return it
    std::string written;

    std::vector<FAKE_VARNAX_OPEN> opens;
    int open_links = 0;
    int closes = 0;
    int wait_opens = 0;
};

// The library's state; reset it in each test's SetUp.
extern FAKE_VARNAX fake_varnax;
