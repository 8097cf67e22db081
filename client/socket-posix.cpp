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

#include "client/socket.h"
#include "wire/protocol.h"

bool socket_resolve(const std::string& host, std::uint16_t port,
                    std::vector<HOST_ADDRESS>* addresses, bool* unknown, std::string* reason) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* list = nullptr;
    int found = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
    if (found != 0) {
        *unknown = found == EAI_NONAME || found == EAI_NODATA || found == EAI_FAIL;
        *reason = found == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(found);
        return false;
    }
    for (const addrinfo* a = list; a != nullptr; a = a->ai_next) {
        bool v6 = a->ai_family == AF_INET6;
        const unsigned char* ip =
            v6 ? reinterpret_cast<const sockaddr_in6*>(a->ai_addr)->sin6_addr.s6_addr
               : reinterpret_cast<const unsigned char*>(
                     &reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr);
        addresses->push_back(HOST_ADDRESS{
            std::string(reinterpret_cast<const char*>(a->ai_addr), a->ai_addrlen),
            varnax::is_loopback(ip, v6 ? 16 : 4)});
    }
    freeaddrinfo(list);
    return true;
}

int socket_connect_address(const HOST_ADDRESS& address, int timeout_ms, std::string* error,
                           CONNECT_ERROR* kind) {
    const sockaddr* to = reinterpret_cast<const sockaddr*>(address.raw.data());
    int fd = socket(to->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
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
        rc = connect(fd, to, socklen_t(address.raw.size()));
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
