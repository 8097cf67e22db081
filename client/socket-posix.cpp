// Socket calls of the library on POSIX systems.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "client/socket.h"

int socket_connect(const std::string& host, std::uint16_t port, int timeout_ms, std::string* error,
                   CONNECT_ERROR* kind) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    inet_pton(AF_INET, host.c_str(), &addr.sin_addr);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = std::strerror(errno);
        if (kind != nullptr) *kind = CONNECT_ERROR::other;
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
            return -1;
        }
        fd = moved;
    }
    int rc;
    do {
        rc = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
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
        *error = std::strerror(errno);
        if (kind != nullptr)
            *kind = errno == ECONNREFUSED ? CONNECT_ERROR::refused
                    : errno == ETIMEDOUT  ? CONNECT_ERROR::timed_out
                                          : CONNECT_ERROR::other;
        close(fd);
        return -1;
    }
    if (kind != nullptr) *kind = CONNECT_ERROR::none;
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
