// Resolving, listening, accepting and connecting on POSIX systems.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "server/targets/net.h"
#include "text/text.h"
#include "wire/protocol.h"

namespace {

const sockaddr* as_sockaddr(const NET_ADDRESS& address) {
    return reinterpret_cast<const sockaddr*>(address.socket_address.data());
}

int open_socket(const NET_ADDRESS& address, std::string* error) {
    int fd = socket(as_sockaddr(address)->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) *error = std::strerror(errno);
    return fd;
}

int listen_on(const NET_ADDRESS& address, int buffer_size, std::uint16_t* bound,
              std::string* error) {
    int fd = open_socket(address, error);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (buffer_size > 0) {
        // Small buffers keep a socket target close behind its FIFO, like a real board.
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer_size, sizeof buffer_size);
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buffer_size, sizeof buffer_size);
    }
    sockaddr_storage name{};
    socklen_t len = sizeof name;
    if (bind(fd, as_sockaddr(address), socklen_t(address.socket_address.size())) != 0 ||
        listen(fd, SOMAXCONN) != 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&name), &len) != 0) {
        *error = std::strerror(errno);
        close(fd);
        return -1;
    }
    *bound = ntohs(name.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&name)->sin6_port
                                              : reinterpret_cast<sockaddr_in*>(&name)->sin_port);
    return fd;
}

}  // namespace

bool net_resolve(const std::string& host, std::uint16_t port, bool passive,
                 std::vector<NET_ADDRESS>* addresses, std::string* error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | (passive ? AI_PASSIVE : 0);
    addrinfo* list = nullptr;
    int found = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
    if (found != 0) {
        bool unknown = found == EAI_NONAME || found == EAI_NODATA || found == EAI_FAIL;
        *error = "the host \"" + text_escaped(host) +
                 (unknown ? "\" is not known (" : "\" cannot be looked up (") +
                 (found == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(found)) + ")";
        return false;
    }
    addresses->clear();
    for (const addrinfo* a = list; a != nullptr; a = a->ai_next)
        addresses->push_back(
            NET_ADDRESS{std::string(reinterpret_cast<const char*>(a->ai_addr), a->ai_addrlen)});
    freeaddrinfo(list);
    return true;
}

int net_listen(const std::string& host, std::uint16_t port, int buffer_size, std::uint16_t* bound,
               std::string* error) {
    std::vector<NET_ADDRESS> addresses;
    if (!net_resolve(host, port, true, &addresses, error)) return -1;
    for (const NET_ADDRESS& address : addresses) {
        int fd = listen_on(address, buffer_size, bound, error);
        if (fd >= 0) return fd;
    }
    return -1;
}

int net_accept(int listen_fd, std::string* peer, bool* loopback) {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    int fd;
    do {
        fd = accept4(listen_fd, reinterpret_cast<sockaddr*>(&addr), &len,
                     SOCK_NONBLOCK | SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;
    char host[INET6_ADDRSTRLEN] = "?";
    std::uint16_t port = 0;
    if (addr.ss_family == AF_INET6) {
        const sockaddr_in6* v6 = reinterpret_cast<const sockaddr_in6*>(&addr);
        inet_ntop(AF_INET6, &v6->sin6_addr, host, sizeof host);
        port = ntohs(v6->sin6_port);
        *loopback = varnax::is_loopback(v6->sin6_addr.s6_addr, 16);
    } else {
        const sockaddr_in* v4 = reinterpret_cast<const sockaddr_in*>(&addr);
        inet_ntop(AF_INET, &v4->sin_addr, host, sizeof host);
        port = ntohs(v4->sin_port);
        *loopback = varnax::is_loopback(reinterpret_cast<const unsigned char*>(&v4->sin_addr), 4);
    }
    *peer = text_host_port_join(host, port);
    return fd;
}

int net_start_connect(const NET_ADDRESS& address, std::string* error) {
    int fd = open_socket(address, error);
    if (fd < 0) return -1;
    // Keystrokes go out one by one, as they would on a serial line.
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    int r;
    do {
        r = connect(fd, as_sockaddr(address), socklen_t(address.socket_address.size()));
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
