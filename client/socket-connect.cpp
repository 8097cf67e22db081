// Connecting to a host by name or address, the same on every system: its addresses are tried
// in turn, each with its share of the time left, so one that does not answer leaves the others
// time.
#include <chrono>

#include "client/socket.h"

int socket_connect(const std::string& host, std::uint16_t port, int timeout_ms, std::string* error,
                   CONNECT_ERROR* kind, bool* loopback) {
    CONNECT_ERROR ignored;
    if (kind == nullptr) kind = &ignored;
    std::vector<HOST_ADDRESS> addresses;
    bool unknown = false;
    std::string reason;
    if (!socket_resolve(host, port, &addresses, &unknown, &reason)) {
        *error = "the host \"" + host + (unknown ? "\" is not known (" : "\" cannot be looked up (") +
                 reason + ")";
        *kind = unknown ? CONNECT_ERROR::no_such_host : CONNECT_ERROR::other;
        return -1;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        long share = left > 0 ? left / long(addresses.size() - i) : 0;
        int fd = socket_connect_address(addresses[i], int(share), error, kind);
        if (fd >= 0) {
            if (loopback != nullptr) *loopback = addresses[i].loopback;
            *kind = CONNECT_ERROR::none;
            return fd;
        }
    }
    return -1;
}
