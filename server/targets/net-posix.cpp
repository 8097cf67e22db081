// Listening and accepting on POSIX systems.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "server/targets/net.h"

namespace {

bool ipv4_address(const std::string& host, std::uint16_t port, sockaddr_in* addr,
                  std::string* error) {
    addr->sin_family = AF_INET;
    addr->sin_port = htons(port);
    if (inet_pton(AF_INET, host.c_str(), &addr->sin_addr) == 1) return true;
    *error = "\"" + host + "\" is not an IPv4 address";
    return false;
}

}  // namespace

int net_listen(const std::string& host, std::uint16_t port, int buffer_size, std::uint16_t* bound,
               std::string* error) {
    sockaddr_in addr{};
    if (!ipv4_address(host, port, &addr, error)) return -1;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int one = 1;
    if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (fd >= 0 && buffer_size > 0) {
        // Small buffers keep a socket target close behind its FIFO, like a real board.
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer_size, sizeof buffer_size);
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buffer_size, sizeof buffer_size);
    }
    socklen_t len = sizeof addr;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(fd, 64) != 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        *error = std::strerror(errno);
        if (fd >= 0) close(fd);
        return -1;
    }
    *bound = ntohs(addr.sin_port);
    return fd;
}

int net_accept(int listen_fd, std::string* peer, bool* loopback) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    int fd;
    do {
        fd = accept4(listen_fd, reinterpret_cast<sockaddr*>(&addr), &len,
                     SOCK_NONBLOCK | SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;
    char host[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &addr.sin_addr, host, sizeof host);
    *peer = std::string(host) + ":" + std::to_string(ntohs(addr.sin_port));
    *loopback = (ntohl(addr.sin_addr.s_addr) >> 24) == 127;
    return fd;
}

int net_start_connect(const std::string& host, std::uint16_t port, std::string* error) {
    sockaddr_in addr{};
    if (!ipv4_address(host, port, &addr, error)) return -1;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = std::strerror(errno);
        return -1;
    }
    // Keystrokes go out one by one, as they would on a serial line.
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    int r;
    do {
        r = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    } while (r != 0 && errno == EINTR);
    if (r != 0 && errno != EINPROGRESS) {
        *error = std::strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}

bool net_finish_connect(int fd, std::string* error) {
    int why = 0;
    socklen_t len = sizeof why;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &why, &len) != 0) why = errno;
    if (why == 0) return true;
    *error = std::strerror(why);
    return false;
}
