// The texts every part reads or shows the same way: decimal numbers, a HOST:PORT address,
// words of a line, bytes made safe to show, and the serial speeds there are.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// A decimal number of digits only (no sign, no spaces) from low to high into *value.
bool text_decimal(std::string_view text, std::uint64_t low, std::uint64_t high,
                  std::uint64_t* value);
// The same for the int-sized settings of the configuration and the commands.
bool text_decimal_int(std::string_view text, long low, long high, long* value);

// A dotted IPv4 address: four numbers from 0 to 255 of at most three digits, without leading
// zeros (which some readers take for octal).
bool text_is_ipv4(std::string_view text);

// What is wrong with a HOST:PORT text, in the order it is checked.
enum class HOST_PORT_FAULT {
    none,
    no_colon,
    no_host,           // nothing before the colon (or between the brackets)
    no_port,           // nothing after the colon
    port_not_number,   // not digits, or digits with a leading zero
    port_out_of_range, // below lowest_port or above 65535
    needs_brackets,    // an IPv6 address without its brackets
    bad_host,          // not a host name, a dotted IPv4 address or an IPv6 address
};

struct HOST_PORT {
    std::string host;  // as written, without brackets; localhost becomes 127.0.0.1
    std::uint16_t port = 0;
};

// Splits HOST:PORT at its last colon. HOST is a host name (letters, digits, '-', '_' and dots
// between names), a dotted IPv4 address (a host of digits and dots must be one), or an IPv6
// address in brackets ("[::1]:47011"); the port a decimal number from lowest_port to 65535
// without leading zeros. *address holds what was read as far as it went (the host is kept as
// written when it is the only fault).
HOST_PORT_FAULT text_host_port(std::string_view text, unsigned lowest_port, HOST_PORT* address);
// The other way: "HOST:PORT", with brackets around an IPv6 address.
std::string text_host_port_join(const std::string& host, std::uint16_t port);

// Splits a line into words; "double quotes" keep spaces, \" and \\ escape inside them.
// A # outside quotes starts a comment. False (with *error) for an unclosed quote or another
// escape.
bool text_split_words(const std::string& line, std::vector<std::string>* words, std::string* error);

// The text with control bytes, and bytes that are not printable UTF-8, written as \xHH, so it
// neither ends at a NUL byte nor sends escape sequences to the terminal that shows it.
std::string text_escaped(std::string_view text);

// The standard serial speeds, 50 to 4000000, in increasing order.
extern const long text_baud_rates[30];
constexpr std::size_t text_baud_count = 30;
bool text_baud_supported(long baud);
