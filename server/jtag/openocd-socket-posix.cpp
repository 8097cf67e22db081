// server/jtag/openocd-socket-posix.cpp: the Tcl connection on POSIX sockets.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "server/jtag/openocd-socket.h"

namespace {
std::string os_error(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}
}  // namespace

int openocd_socket_connect(const std::string& host, std::uint16_t port, std::string* error) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    std::string numeric = host == "localhost" ? "127.0.0.1" : host;
    if (inet_pton(AF_INET, numeric.c_str(), &addr.sin_addr) != 1) {
        *error = "not an IPv4 address: " + host;
        return -1;
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = os_error("socket");
        return -1;
    }
    // Each scan is a small command and a small reply: Nagle would hold them back.
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 && errno != EINPROGRESS) {
        *error = "cannot connect to OpenOCD at " + host + ":" + std::to_string(port) + ": " +
                 std::strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}

int openocd_socket_connected(int fd, std::string* error) {
    pollfd p{fd, POLLOUT, 0};
    int ready = poll(&p, 1, 0);
    if (ready == 0 || (ready < 0 && errno == EINTR)) return 0;
    int status = 0;
    socklen_t len = sizeof status;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &status, &len) != 0) status = errno;
    if (status == 0) return 1;
    *error = std::string("cannot connect to OpenOCD: ") + std::strerror(status);
    return -1;
}

long openocd_socket_send(int fd, const char* data, std::size_t size, std::string* error) {
    for (;;) {
        ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n >= 0) return long(n);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        *error = os_error("writing to OpenOCD");
        return -1;
    }
}

long openocd_socket_receive(int fd, char* data, std::size_t size, std::string* error) {
    for (;;) {
        ssize_t n = recv(fd, data, size, 0);
        if (n > 0) return long(n);
        if (n == 0) {
            *error = "OpenOCD closed the connection";
            return -1;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        *error = os_error("reading from OpenOCD");
        return -1;
    }
}

void openocd_socket_close(int fd) {
    if (fd >= 0) close(fd);
}

std::uint16_t openocd_free_port(std::string* error) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = os_error("socket");
        return 0;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        *error = os_error("finding a free port");
        close(fd);
        return 0;
    }
    close(fd);
    return ntohs(addr.sin_port);
}
