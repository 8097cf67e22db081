// The local JTAG server: serves the simulated boards' JTAG UARTs to library clients.
#pragma once
#include <cstdint>
#include <string>

#include "server/board-config.h"
#include "server/session/guess-limit.h"
#include "wire/protocol.h"

struct SERVER_OPTIONS {
    std::string host = "127.0.0.1";
    std::uint16_t port = varnax::default_port;
    bool allow_remote = false;        // accept clients that are not on this machine
    std::string secret;               // the shared secret; empty: no client is asked for it
    bool secret_for_local = false;    // clients on this machine must prove the secret too
    bool loopback_is_remote = false;  // for tests: a loopback client counts as another machine
    bool quiet = false;               // no log lines on standard error
    bool commands = true;             // read fault commands from standard input
    bool stop_when_unused = false;    // stop once a client has come and every client has gone
    std::uint32_t protocol_version = varnax::protocol_version;
    DOOR_LIMITS door;  // guessing and connections that have not proven the secret
};

// Runs until SIGINT or SIGTERM; prints "listening HOST:PORT" on standard output once it
// accepts connections. Returns the exit status (errors are printed here).
int server_run(const BOARD_CONFIG& config, const SERVER_OPTIONS& options);
