// server/jtag/jtag-chain.cpp: reading OpenOCD's "scan_chain" table.
#include "server/jtag/jtag-chain.h"

#include <cstdlib>
#include <sstream>

namespace {
constexpr std::uint32_t core_idcode = 0x056580FF;  // part 0x5658, manufacturer 0x7F
constexpr std::uint32_t idcode_mask = 0x0FFFFFFF;  // the version is free
}  // namespace

// A row: " 0 auto0.tap              Y     0x256580ff 0x00000000     4 0x01  0x03".
bool jtag_parse_scan_chain(const std::string& text, std::vector<JTAG_TAP>* taps) {
    taps->clear();
    std::istringstream lines(text);
    std::string line;
    bool header = false;
    while (std::getline(lines, line)) {
        if (line.find("TapName") != std::string::npos) {
            header = true;
            continue;
        }
        std::istringstream row(line);
        JTAG_TAP tap;
        std::string enabled, idcode, expected;
        if (!(row >> tap.position >> tap.name >> enabled >> idcode >> expected >> tap.ir_length))
            continue;  // the rule under the header, an expected-id continuation line
        tap.enabled = enabled == "Y";
        char* end = nullptr;
        tap.idcode = std::uint32_t(std::strtoul(idcode.c_str(), &end, 16));
        taps->push_back(tap);
    }
    return header;
}

bool jtag_may_be_core(const JTAG_TAP& tap) {
    return tap.enabled && tap.ir_length == 4 && (tap.idcode & idcode_mask) == core_idcode;
}
