// Parsing of the server address, without the socket library: one rule on every system.
#include "client/address.h"

namespace {

// A decimal of at most max_digits digits, no sign, no leading zero unless it is "0" itself.
bool parse_decimal(const std::string& text, std::size_t max_digits, unsigned long limit,
                   unsigned long* value) {
    if (text.empty() || text.size() > max_digits) return false;
    if (text.size() > 1 && text[0] == '0') return false;
    unsigned long result = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        result = result * 10 + static_cast<unsigned long>(c - '0');
    }
    if (result > limit) return false;
    *value = result;
    return true;
}

// Exactly four octets separated by dots, as the systems' own address parsers accept them.
bool is_dotted_ipv4(const std::string& text) {
    std::size_t start = 0;
    for (int octet = 0; octet < 4; ++octet) {
        std::size_t dot = text.find('.', start);
        bool last = octet == 3;
        if (last != (dot == std::string::npos)) return false;
        std::string part = text.substr(start, last ? std::string::npos : dot - start);
        unsigned long value;
        if (!parse_decimal(part, 3, 255, &value)) return false;
        start = dot + 1;
    }
    return true;
}

}  // namespace

bool address_parse(const std::string& text, std::string* host, std::uint16_t* port) {
    std::size_t colon = text.rfind(':');
    if (colon == std::string::npos) return false;
    std::string name = text.substr(0, colon);
    if (name == "localhost") name = "127.0.0.1";
    if (!is_dotted_ipv4(name)) return false;
    unsigned long number = 0;
    std::string digits = text.substr(colon + 1);
    // Leading zeros are allowed in the port, as before.
    while (digits.size() > 1 && digits[0] == '0') digits.erase(0, 1);
    if (!parse_decimal(digits, 5, 65535, &number) || number == 0) return false;
    *host = name;
    *port = static_cast<std::uint16_t>(number);
    return true;
}
