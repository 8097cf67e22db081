// Reading the JTAG server's address, without the operating system.
#include "client/server-address.h"

#include <cstdlib>

#include "text/text.h"
#include "wire/secret-file.h"

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

ADDRESS_ERROR address_parse(const std::string& text, std::string* host, std::uint16_t* port,
                            std::string* why) {
    const std::string quoted = "the server address \"" + text + "\"";
    HOST_PORT address;
    HOST_PORT_FAULT fault = text_host_port(text, 1, &address);
    std::string p = text.substr(text.rfind(':') + 1);
    switch (fault) {
        case HOST_PORT_FAULT::none:
            *host = address.host;
            *port = address.port;
            return ADDRESS_ERROR::none;
        case HOST_PORT_FAULT::no_colon:
            *why = quoted + " has no port: write it as HOST:PORT, for example " +
                   varnax_default_address;
            break;
        case HOST_PORT_FAULT::no_host:
            *why = quoted + " has no host before the colon";
            break;
        case HOST_PORT_FAULT::no_port:
            *why = quoted + " has no port after the colon";
            break;
        case HOST_PORT_FAULT::port_not_number:
            // Leading zeros are refused: some readers take such numbers for octal.
            *why = "the port \"" + p + "\" in " + quoted +
                   (p.find_first_not_of("0123456789") == std::string::npos
                        ? " is not a port number (it has a leading zero)"
                        : " is not a number");
            break;
        case HOST_PORT_FAULT::port_out_of_range:
            *why = "the port " + p + " in " + quoted + " is out of range (1 to 65535)";
            break;
        case HOST_PORT_FAULT::needs_brackets:
            *why = quoted + " has an IPv6 address without brackets: write it as [ADDRESS]:" + p;
            break;
        case HOST_PORT_FAULT::bad_host:
            *why = "the host \"" + address.host + "\" in " + quoted +
                   " is not a host name, a dotted IPv4 address or an IPv6 address in brackets";
            return ADDRESS_ERROR::unknown_host;
    }
    return ADDRESS_ERROR::malformed;
}
