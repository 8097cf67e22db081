// Where the JTAG server is and where the secret it may ask for is kept: the rules shared by the
// library and the scanwell utility, and the reading of "host:port" with a reason for each way
// it can be wrong.
#pragma once
#include <cstdint>
#include <string>

#include "wire/protocol.h"

// Where clients look for the server unless JTAG_VARNAX_SERVER names another address.
constexpr const char* varnax_default_address = varnax::default_address;

// The address to use: JTAG_VARNAX_SERVER when it is set and not empty, else the default.
// *from_environment (may be null) says which.
std::string varnax_server_address(bool* from_environment);

// The shared secret's file, read only when a server asks for the secret:
// JTAG_VARNAX_SECRET_FILE when it is set and not empty, else this user's default file.
std::string varnax_secret_path();

enum class ADDRESS_ERROR {
    none,
    malformed,     // not host:port, or the port is not a number from 1 to 65535
    unknown_host,  // well formed, but the host cannot be a host name or an address
};

// Splits "host:port" (text_host_port: a host name, a dotted IPv4 address or an IPv6 address
// in brackets; "localhost" is given back as 127.0.0.1). On failure *why says what is wrong, in
// words a user can act on.
ADDRESS_ERROR address_parse(const std::string& text, std::string* host, std::uint16_t* port,
                            std::string* why);
