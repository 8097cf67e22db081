// Trying a host's addresses in turn, the same on every system.
#include <chrono>

#include "client/socket.h"

int socket_try_in_turn(std::size_t count, int timeout_ms,
                       const std::function<int(std::size_t index, int ms)>& attempt,
                       std::size_t* which) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (std::size_t i = 0; i < count; ++i) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        int fd = attempt(i, left > 0 ? int(left / long(count - i)) : 0);
        if (fd >= 0) {
            *which = i;
            return fd;
        }
    }
    return -1;
}
