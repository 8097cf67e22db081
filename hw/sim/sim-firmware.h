// hw/sim/sim-firmware.h: the software of the simulated chip, one per instance, as the demo
// target behaves: a banner, echo, help, gmon, flood N, bye (Ctrl-D), and raw N.
#pragma once
#include <cstdint>
#include <string>

#include "sim-chip.h"

class SIM_FIRMWARE {
public:
    SIM_FIRMWARE(int device, int instance);
    // Takes what the host sent, answers it, and tops up the bytes on offer. Keeps at most a
    // few KiB waiting, so a long flood costs no memory.
    void run(SIM_PORT& port);
    // Whether a call to run would offer or take anything.
    bool has_work(const SIM_PORT& port) const;

private:
    void take(std::uint8_t c);
    void command(const std::string& line);
    void put(const std::string& text);
    void refill();

    SIM_PORT* m_port = nullptr;
    std::string m_banner;
    std::string m_line;
    std::uint64_t m_raw_left = 0;    // bytes still to send back unchanged
    std::uint64_t m_flood_left = 0;  // lines still to send
    std::uint64_t m_flood_line = 0;
};
