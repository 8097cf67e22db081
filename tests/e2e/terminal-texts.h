// Texts a verbose terminal session on the test server's "sim-cable" shows around the relay.
#pragma once
#include <string>

// The connection report and the banner, up to the first relayed byte.
inline const std::string session_head =
    "tarvik-terminal: connected to hardware target using JTAG UART on cable\n"
    "tarvik-terminal: \"sim-cable\", device 1, instance 0\n"
    "tarvik-terminal: (Use the IDE stop button or Ctrl-C to terminate)\n"
    "\n";

// What follows the relay when the session ends for this reason.
inline std::string exit_line(const std::string& reason) {
    return "\n\ntarvik-terminal: exiting due to " + reason + "\n";
}
