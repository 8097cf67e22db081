// The local JTAG server: serves the simulated boards' JTAG UARTs to library clients.
#pragma once
#include <cstdint>
#include <string>

#include "server/board-config.h"

struct SERVER_OPTIONS {
    std::string host = "127.0.0.1";
    std::uint16_t port = 47011;
    bool allow_remote = false;  // accept clients that are not on this machine
    bool quiet = false;         // no log lines on standard error
    bool commands = true;       // read fault commands from standard input
    std::uint32_t protocol_version = 1;
};

// Runs until SIGINT or SIGTERM; prints "listening HOST:PORT" on standard output once it
// accepts connections. Returns the exit status (errors are printed here).
int server_run(const BOARD_CONFIG& config, const SERVER_OPTIONS& options);
