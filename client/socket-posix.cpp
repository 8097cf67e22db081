// Socket calls of the library on POSIX systems.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "client/socket.h"
#include "wire/protocol.h"

namespace {

// One address of the host, within timeout_ms: the socket, or -1 with *error and *kind.
int connect_one(const addrinfo* address, int timeout_ms, std::string* error, CONNECT_ERROR* kind) {
    int fd = socket(address->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = std::strerror(errno);
        *kind = CONNECT_ERROR::other;
        return -1;
    }
    // A program that runs with standard input, output or error closed would otherwise have
    // its own output written into the connection: the link never takes descriptors 0 to 2.
    if (fd <= 2) {
        int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
        int saved_errno = errno;
        close(fd);
        if (moved < 0) {
            *error = std::strerror(saved_errno);
            *kind = CONNECT_ERROR::other;
            return -1;
        }
        fd = moved;
    }
    int rc;
    do {
        rc = connect(fd, address->ai_addr, address->ai_addrlen);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0 && errno == EINPROGRESS) {
        int so_error = ETIMEDOUT;
        socklen_t len = sizeof so_error;
        if (socket_wait(fd, true, timeout_ms))
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &len);
        rc = so_error == 0 ? 0 : -1;
        errno = so_error;
    }
    if (rc != 0) {
        *kind = errno == ECONNREFUSED ? CONNECT_ERROR::refused
                : errno == ETIMEDOUT  ? CONNECT_ERROR::timed_out
                                      : CONNECT_ERROR::other;
        *error = *kind == CONNECT_ERROR::timed_out ? "no answer in time" : std::strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}

bool loopback_address(const sockaddr* a) {
    bool v6 = a->sa_family == AF_INET6;
    const void* ip = v6 ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in6*>(a)->sin6_addr)
                        : static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(a)->sin_addr);
    return varnax::is_loopback(static_cast<const unsigned char*>(ip), v6 ? 16 : 4);
}

}  // namespace

int socket_connect(const std::string& host, std::uint16_t port, int timeout_ms, std::string* error,
                   CONNECT_ERROR* kind, bool* loopback) {
    CONNECT_ERROR ignored;
    if (kind == nullptr) kind = &ignored;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* list = nullptr;
    int found = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
    if (found != 0) {
        bool unknown = found == EAI_NONAME || found == EAI_NODATA || found == EAI_FAIL;
        *error = "the host \"" + host + (unknown ? "\" is not known (" : "\" cannot be looked up (") +
                 (found == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(found)) + ")";
        *kind = unknown ? CONNECT_ERROR::no_such_host : CONNECT_ERROR::other;
        return -1;
    }
    std::vector<const addrinfo*> addresses;
    for (const addrinfo* a = list; a != nullptr; a = a->ai_next) addresses.push_back(a);
    std::size_t which = 0;
    int fd = socket_try_in_turn(
        addresses.size(), timeout_ms,
        [&](std::size_t i, int ms) { return connect_one(addresses[i], ms, error, kind); }, &which);
    if (fd >= 0 && loopback != nullptr) *loopback = loopback_address(addresses[which]->ai_addr);
    freeaddrinfo(list);
    if (fd < 0) return -1;
    *kind = CONNECT_ERROR::none;
    int one = 1;  // keystrokes go out at once
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

long socket_send(int fd, const void* data, std::size_t size, std::string* error) {
    for (;;) {
        ssize_t n = send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) return static_cast<long>(n);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        *error = std::strerror(errno);
        return -1;
    }
}

long socket_receive(int fd, void* buffer, std::size_t size, std::string* error) {
    for (;;) {
        ssize_t n = recv(fd, buffer, size, MSG_DONTWAIT);
        if (n > 0) return static_cast<long>(n);
        if (n == 0) {
            *error = "the server closed the connection";
            return -1;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        *error = std::strerror(errno);
        return -1;
    }
}

bool socket_wait(int fd, bool for_writing, int timeout_ms) {
    pollfd p{fd, static_cast<short>(for_writing ? POLLOUT : POLLIN), 0};
    int rc;
    do {
        rc = poll(&p, 1, timeout_ms);
    } while (rc < 0 && errno == EINTR);
    return rc > 0;
}

void socket_close(int fd) {
    if (fd >= 0) close(fd);
}

std::uint32_t socket_process_id() {
    return static_cast<std::uint32_t>(getpid());
}
