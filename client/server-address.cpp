// Reading the JTAG server's address, without the operating system.
#include "client/server-address.h"

#include <cstdlib>

#include "client/secret-file.h"

namespace {

bool all_digits(const std::string& text) {
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

// Four decimal numbers from 0 to 255, separated by dots, each of at most three digits and
// without leading zeros.
bool is_dotted_ipv4(const std::string& text) {
    std::size_t start = 0;
    for (int part = 0; part < 4; ++part) {
        std::size_t dot = text.find('.', start);
        if ((part < 3) == (dot == std::string::npos)) return false;
        std::string digits = text.substr(start, dot == std::string::npos ? dot : dot - start);
        // The system's own parser refuses leading zeros (some readers take them for octal);
        // an address it refuses would be connected to as 0.0.0.0, this machine.
        if (!all_digits(digits) || digits.size() > 3 || std::atoi(digits.c_str()) > 255 ||
            (digits.size() > 1 && digits[0] == '0'))
            return false;
        start = dot + 1;
    }
    return true;
}

}  // namespace

std::string varnax_server_address(bool* from_environment) {
    const char* env = std::getenv("JTAG_VARNAX_SERVER");
    bool set = env != nullptr && *env != '\0';
    if (from_environment != nullptr) *from_environment = set;
    return set ? env : varnax_default_address;
}

std::string varnax_secret_path() {
    const char* env = std::getenv("JTAG_VARNAX_SECRET_FILE");
    return env != nullptr && *env != '\0' ? env : secret_file_default_path();
}

bool address_is_loopback(const std::string& host) {
    return host.compare(0, 4, "127.") == 0;
}

ADDRESS_ERROR address_parse(const std::string& text, std::string* host, std::uint16_t* port,
                            std::string* why) {
    const std::string quoted = "the server address \"" + text + "\"";
    std::size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
        *why =
            quoted + " has no port: write it as HOST:PORT, for example " + varnax_default_address;
        return ADDRESS_ERROR::malformed;
    }
    std::string h = text.substr(0, colon);
    std::string p = text.substr(colon + 1);
    if (h.empty()) {
        *why = quoted + " has no host before the colon";
        return ADDRESS_ERROR::malformed;
    }
    if (p.empty()) {
        *why = quoted + " has no port after the colon";
        return ADDRESS_ERROR::malformed;
    }
    if (!all_digits(p)) {
        *why = "the port \"" + p + "\" in " + quoted + " is not a number";
        return ADDRESS_ERROR::malformed;
    }
    if (p.size() > 5 || std::atol(p.c_str()) < 1 || std::atol(p.c_str()) > 65535) {
        *why = "the port " + p + " in " + quoted + " is out of range (1 to 65535)";
        return ADDRESS_ERROR::malformed;
    }
    if (h == "localhost") h = "127.0.0.1";
    if (!is_dotted_ipv4(h)) {
        *why = "the host \"" + h + "\" in " + quoted +
               " is neither a dotted IPv4 address nor localhost";
        return ADDRESS_ERROR::unknown_host;
    }
    *host = h;
    *port = static_cast<std::uint16_t>(std::atol(p.c_str()));
    return ADDRESS_ERROR::none;
}
