// What scanwell prints: where it looked for the JTAG server, why it could not use it, or every
// cable, device and JTAG UART it found, each in the terminal's option form.
#pragma once
#include <string>

#include "client/varnax-scan.h"

struct SCAN_REPORT {
    std::string out;  // standard output: the address tried and the inventory
    std::string err;  // standard error: why the server could not be used
    int status = 1;   // 0 when at least one JTAG UART was found
};

// address: what was tried; from_environment: it came from JTAG_VARNAX_SERVER.
SCAN_REPORT scan_report(const std::string& address, bool from_environment,
                        const SCAN_RESULT& result);

// The text as one argument of a shell command line: in double quotes, with \, ", $ and `
// escaped.
std::string shell_quote(const std::string& text);
