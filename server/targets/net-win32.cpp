// Resolving, listening, accepting and connecting on Windows (Winsock). Every socket is
// non-blocking and not inherited by the target programs.
#include <winsock2.h>
#include <windows.h>
#include <ws2tcpip.h>

#include "server/targets/net.h"
#include "server/targets/os-win32.h"
#include "text/text.h"
#include "wire/protocol.h"

namespace {

const sockaddr* as_sockaddr(const NET_ADDRESS& address) {
    return reinterpret_cast<const sockaddr*>(address.socket_address.data());
}

SOCKET new_socket(int family, std::string* error) {
    if (!os_winsock_ready()) {
        *error = "Winsock cannot start";
        return INVALID_SOCKET;
    }
    SOCKET s = WSASocketW(family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    u_long non_blocking = 1;
    if (s == INVALID_SOCKET || ioctlsocket(s, FIONBIO, &non_blocking) != 0) {
        *error = os_error_text(WSAGetLastError());
        if (s != INVALID_SOCKET) closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

void set_option(SOCKET s, int level, int name, int value) {
    setsockopt(s, level, name, reinterpret_cast<const char*>(&value), sizeof value);
}

int listen_on(const NET_ADDRESS& address, int buffer_size, std::uint16_t* bound,
              std::string* error) {
    SOCKET s = new_socket(as_sockaddr(address)->sa_family, error);
    if (s == INVALID_SOCKET) return -1;
    // SO_REUSEADDR would let another program take the same port here; this refuses it.
    set_option(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, 1);
    if (buffer_size > 0) {
        // Small buffers keep a socket target close behind its FIFO, like a real board.
        set_option(s, SOL_SOCKET, SO_RCVBUF, buffer_size);
        set_option(s, SOL_SOCKET, SO_SNDBUF, buffer_size);
    }
    sockaddr_storage name{};
    int len = sizeof name;
    if (bind(s, as_sockaddr(address), int(address.socket_address.size())) != 0 ||
        listen(s, SOMAXCONN) != 0 || getsockname(s, reinterpret_cast<sockaddr*>(&name), &len) != 0) {
        *error = os_error_text(WSAGetLastError());
        closesocket(s);
        return -1;
    }
    *bound = ntohs(name.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&name)->sin6_port
                                              : reinterpret_cast<sockaddr_in*>(&name)->sin_port);
    return int(s);
}

}  // namespace

bool net_resolve(const std::string& host, std::uint16_t port, bool passive,
                 std::vector<NET_ADDRESS>* addresses, std::string* error) {
    if (!os_winsock_ready()) {
        *error = "Winsock cannot start";
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | (passive ? AI_PASSIVE : 0);
    addrinfo* list = nullptr;
    int found = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
    if (found != 0) {
        bool unknown = found == WSAHOST_NOT_FOUND || found == WSANO_DATA;
        *error = "the host \"" + text_escaped(host) +
                 (unknown ? "\" is not known (" : "\" cannot be looked up (") +
                 os_error_text(DWORD(found)) + ")";
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
        int s = listen_on(address, buffer_size, bound, error);
        if (s >= 0) return s;
    }
    return -1;
}

int net_accept(int listen_fd, std::string* peer, bool* loopback) {
    sockaddr_storage addr{};
    int len = sizeof addr;
    SOCKET s = accept(SOCKET(listen_fd), reinterpret_cast<sockaddr*>(&addr), &len);
    if (s == INVALID_SOCKET) return -1;
    // An accepted socket takes the listening one's settings, but not its inheritance.
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    u_long non_blocking = 1;
    ioctlsocket(s, FIONBIO, &non_blocking);
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
    return int(s);
}

int net_start_connect(const NET_ADDRESS& address, std::string* error) {
    SOCKET s = new_socket(as_sockaddr(address)->sa_family, error);
    if (s == INVALID_SOCKET) return -1;
    // Keystrokes go out one by one, as they would on a serial line.
    set_option(s, IPPROTO_TCP, TCP_NODELAY, 1);
    if (connect(s, as_sockaddr(address), int(address.socket_address.size())) != 0 &&
        WSAGetLastError() != WSAEWOULDBLOCK) {
        *error = os_error_text(WSAGetLastError());
        closesocket(s);
        return -1;
    }
    return int(s);
}

bool net_finish_connect(int fd, std::string* error) {
    int why = 0;
    int len = sizeof why;
    if (getsockopt(SOCKET(fd), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&why), &len) != 0)
        why = WSAGetLastError();
    if (why == 0) return true;
    *error = os_error_text(DWORD(why));
    return false;
}
