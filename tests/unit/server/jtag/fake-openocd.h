// tests/unit/server/jtag/fake-openocd.h: a stand-in for OpenOCD's Tcl server in front of a chain
// of TAPs, some of them JTAG UART cores modelled in C++ by the rules of the Verilog core. It
// answers scan_chain, irscan and drscan (several joined by ';'), and can lose updates, garble
// answers and fail scans, as a bad cable does.
#pragma once
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

// One instance of a modelled core: its positions and its FIFOs, processor side included.
struct FAKE_CORE_INSTANCE {
    std::deque<std::uint8_t> in_fifo;   // host bytes the processor has not taken
    std::deque<std::uint8_t> out_fifo;  // processor bytes the host has not acknowledged
    std::uint16_t in_wr = 0;
    std::uint16_t out_commit = 0, out_spec = 0, out_shown = 0;
    std::uint16_t cap_pos = 0, shown_before = 0;
    unsigned cap_count = 0, free_cap = 0;
    std::string taken;  // everything the processor took, in order
    bool echo = false;  // the processor sends back what it takes
};

struct FAKE_TAP {
    std::string name;
    std::uint32_t idcode = 0;
    unsigned ir_length = 4;
    bool core = false;
    unsigned instances = 1, depth = 256, bytes_per_scan = 64;
    unsigned ir = 1;
    unsigned selected = 0;
    std::vector<FAKE_CORE_INSTANCE> uarts;
    std::vector<std::string> commands;  // every irscan and drscan it got
};

class FAKE_OPENOCD {
public:
    void add_core(const std::string& name, unsigned instances, std::uint32_t idcode = 0x156580FF);
    void add_foreign(const std::string& name, std::uint32_t idcode, unsigned ir_length);
    // Takes the bytes a client sent; the replies are then in output().
    void feed(const std::string& bytes);
    std::string take_output();

    FAKE_TAP& tap(const std::string& name);
    FAKE_CORE_INSTANCE& uart(const std::string& name, unsigned instance) {
        return tap(name).uarts[instance];
    }
    // The processors take what waits for them (and the echoing ones answer).
    void run_processors();

    // Faults: a data scan whose update is lost one time in n at random (0: never), every n-th
    // answer garbled, every drscan failing as with the cable gone.
    int lose_update_one_in = 0;
    int garble_every = 0;
    bool cable_gone = false;
    std::uint64_t data_scans = 0;

private:
    std::string run(const std::string& script);
    std::string run_one(const std::vector<std::string>& words);
    std::string data_scan(FAKE_TAP& tap, const std::vector<std::uint8_t>& in);

    std::vector<std::unique_ptr<FAKE_TAP>> m_taps;
    std::string m_partial;
    std::string m_output;
    std::uint32_t m_random = 12345;
};
