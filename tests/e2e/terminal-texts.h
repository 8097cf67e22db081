// Texts the terminal shows: around a verbose session on the test server's "sim-cable", and
// about the cable and the connection.
#pragma once
#include <string>

// The connection report and the banner, up to the first relayed byte.
inline const std::string session_head =
    "tarvik-terminal: connected to hardware target using JTAG UART on cable\n"
    "tarvik-terminal: \"sim-cable\", device 1, instance 0\n"
    "tarvik-terminal: (Use the IDE stop button or Ctrl-C to terminate)\n"
    "\n";

// What a terminal shows: its line feeds become CR LF on the way out.
inline std::string on_screen(const std::string& text) {
    std::string shown;
    for (char c : text) shown += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return shown;
}

// What follows the relay when the session ends for this reason.
inline std::string exit_line(const std::string& reason) {
    return "\n\ntarvik-terminal: exiting due to " + reason + "\n";
}

// The refusal when no local JTAG server answers.
inline const std::string no_server_lines =
    "tarvik-terminal: Unable to connect to local JTAG server.  Please check that\n"
    "tarvik-terminal: Ostrand is correctly installed on your machine and use the\n"
    "tarvik-terminal: `scanwell` utility to diagnose further.\n";

// The cable warnings: support unknown (A) and not supported (B).
inline const std::string warning_a =
    "\n"
    "tarvik-terminal: Warning: Unable to verify whether your download cable is\n"
    "tarvik-terminal: supported for Tarvik systems.  If you use an unsupported cable\n"
    "tarvik-terminal: you may experience intermittent JTAG communication failures.\n"
    "tarvik-terminal: Please refer to the file errata.txt included in the Tarvik\n"
    "tarvik-terminal: development kit documents directory for information on how to\n"
    "tarvik-terminal: update your system.\n"
    "\n";

inline const std::string warning_b =
    "\n"
    "tarvik-terminal: Warning: The JTAG cable you are using is not supported for Tarvik\n"
    "tarvik-terminal: systems.  You may experience intermittent JTAG communication\n"
    "tarvik-terminal: failures with this cable.  Please use a USB Corvel revision B\n"
    "tarvik-terminal: cable or another supported cable.  Please refer to the file\n"
    "tarvik-terminal: errata.txt included in the Tarvik development kit documents\n"
    "tarvik-terminal: directory for more information.\n"
    "\n";

inline const std::string two_cables =
    "cable c1\n device 1\n  uart 0 echo\n"
    "cable c2\n device 1\n  uart 0 echo\n device 2\n  uart 0 echo\n  uart 1 echo\n";

inline const std::string several_cables_lines =
    "tarvik-terminal: You have more than one JTAG cable available so you must use the\n"
    "tarvik-terminal: --cable option to choose between them (or set up a cable from\n"
    "tarvik-terminal: the launch configuration window).\n";
