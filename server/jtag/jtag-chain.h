// server/jtag/jtag-chain.h: the TAPs OpenOCD knows on its chain, read from "scan_chain", and
// which of them may be JTAG UART cores.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct JTAG_TAP {
    int position = 0;  // OpenOCD's chain position: 0 is the TAP nearest TDO
    std::string name;  // as "irscan" and "drscan" take it, e.g. "auto0.tap" or "chip.tap"
    bool enabled = false;
    std::uint32_t idcode = 0;
    unsigned ir_length = 0;
};

// Reads the table "scan_chain" prints. False when the text is not that table.
bool jtag_parse_scan_chain(const std::string& text, std::vector<JTAG_TAP>* taps);
// Whether the host may send the core's instructions to this TAP: enabled, a 4-bit IR, and the
// core's IDCODE part and manufacturer (0x5658, 0x7F), whatever the version. Any other TAP may
// give our instruction codes a meaning of its own, so it is never probed.
bool jtag_may_be_core(const JTAG_TAP& tap);
