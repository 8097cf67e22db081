// Asks the JTAG server for its whole inventory (cables, devices, JTAG UARTs and who holds
// them) without opening anything, and says in plain categories why that failed.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "wire/protocol.h"

struct SCAN_DEVICE {
    std::int32_t index = 0;
    std::vector<varnax::LIST_UART> uarts;
};

struct SCAN_CABLE {
    varnax::LIST_CABLE cable;
    std::vector<SCAN_DEVICE> devices;
};

enum class SCAN_ERROR {
    none,
    malformed_address,  // not host:port with a port from 1 to 65535
    no_such_host,       // the host is not one the library can reach
    refused,            // nothing listens at that port
    timed_out,          // no answer to the connection request
    unreachable,        // another reason the connection failed (in *why)
    not_a_server,       // something answered, but not with this protocol's greeting
    other_version,      // a JTAG server of another protocol version
    secret,             // the proof of the shared secret failed, either way (in *why)
    broken,             // the server greeted, then hung up or sent something out of place
    turned_away,        // the server will not serve this client, and said why (in *why)
    too_large,          // the inventory has more entries or bytes than a scan takes
};

// The most a scan takes from a server: cables, devices and JTAG UARTs together, and bytes.
constexpr std::size_t scan_max_entries = 4096;
constexpr std::size_t scan_max_bytes = 1 << 20;

struct SCAN_RESULT {
    SCAN_ERROR error = SCAN_ERROR::none;
    std::string why;                   // the details, when error is not none
    std::uint32_t server_version = 0;  // known once the server has greeted
    std::vector<SCAN_CABLE> cables;
};

// Connects to address ("host:port"), proves the shared secret from secret_path when the server
// asks for it, asks for the inventory and waits at most timeout_ms for all of it.
SCAN_RESULT varnax_scan(const std::string& address, const std::string& secret_path, int timeout_ms);
