// The server address the library is given: "host:port", parsed the same way on every system.
#pragma once
#include <cstdint>
#include <string>

// Parses "host:port", where host is a dotted IPv4 address or "localhost" (taken as 127.0.0.1)
// and port a decimal from 1 to 65535. *host receives the dotted address. False when malformed.
bool address_parse(const std::string& text, std::string* host, std::uint16_t* port);
