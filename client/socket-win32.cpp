// Socket calls of the library on Windows (Winsock 2).
#include "client/socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdlib>
#include <vector>

#include "wire/protocol.h"

namespace {

std::string winsock_text(int code) {
    char* text = nullptr;
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                       FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string result = text != nullptr ? text : "socket error " + std::to_string(code);
    if (text != nullptr) LocalFree(text);
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r')) result.pop_back();
    return result;
}

// Winsock needs starting once per process; it stays started until the process ends.
bool winsock_ready() {
    static const bool ready = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return ready;
}

SOCKET as_socket(int fd) { return static_cast<SOCKET>(fd); }


// One address of the host, within timeout_ms: the socket, or INVALID_SOCKET with *error and
// *kind.
SOCKET connect_one(const addrinfo* address, int timeout_ms, std::string* error,
                   CONNECT_ERROR* kind) {
    SOCKET s = socket(address->ai_family, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        *error = winsock_text(WSAGetLastError());
        *kind = CONNECT_ERROR::other;
        return s;
    }
    u_long non_blocking = 1;
    ioctlsocket(s, FIONBIO, &non_blocking);
    int rc = connect(s, address->ai_addr, int(address->ai_addrlen));
    if (rc != 0 && WSAGetLastError() == WSAEWOULDBLOCK) {
        int so_error = WSAETIMEDOUT;
        int len = sizeof so_error;
        if (socket_wait(int(s), true, timeout_ms))
            getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&so_error), &len);
        rc = so_error == 0 ? 0 : -1;
        WSASetLastError(so_error);
    }
    if (rc != 0) {
        int code = WSAGetLastError();
        *kind = code == WSAECONNREFUSED ? CONNECT_ERROR::refused
                : code == WSAETIMEDOUT  ? CONNECT_ERROR::timed_out
                                        : CONNECT_ERROR::other;
        *error = *kind == CONNECT_ERROR::timed_out ? "no answer in time" : winsock_text(code);
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
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
    if (!winsock_ready()) {
        *error = "Winsock does not start";
        *kind = CONNECT_ERROR::other;
        return -1;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* list = nullptr;
    int found = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
    if (found != 0) {
        bool unknown = found == WSAHOST_NOT_FOUND || found == WSANO_DATA;
        *error = "the host \"" + host + (unknown ? "\" is not known (" : "\" cannot be looked up (") +
                 winsock_text(found) + ")";
        *kind = unknown ? CONNECT_ERROR::no_such_host : CONNECT_ERROR::other;
        return -1;
    }
    std::vector<const addrinfo*> addresses;
    for (const addrinfo* a = list; a != nullptr; a = a->ai_next) addresses.push_back(a);
    std::size_t which = 0;
    int fd = socket_try_in_turn(
        addresses.size(), timeout_ms,
        [&](std::size_t i, int ms) {
            SOCKET s = connect_one(addresses[i], ms, error, kind);
            return s == INVALID_SOCKET ? -1 : static_cast<int>(s);
        },
        &which);
    if (fd >= 0 && loopback != nullptr) *loopback = loopback_address(addresses[which]->ai_addr);
    freeaddrinfo(list);
    if (fd < 0) return -1;
    SOCKET s = as_socket(fd);
    *kind = CONNECT_ERROR::none;
    BOOL one = TRUE;  // keystrokes go out at once
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    return static_cast<int>(s);
}

long socket_send(int fd, const void* data, std::size_t size, std::string* error) {
    int n = send(as_socket(fd), static_cast<const char*>(data), int(size > 65536 ? 65536 : size), 0);
    if (n >= 0) return n;
    int code = WSAGetLastError();
    if (code == WSAEWOULDBLOCK) return 0;
    *error = winsock_text(code);
    return -1;
}

long socket_receive(int fd, void* buffer, std::size_t size, std::string* error) {
    int n = recv(as_socket(fd), static_cast<char*>(buffer), int(size > 65536 ? 65536 : size), 0);
    if (n > 0) return n;
    if (n == 0) {
        *error = "the server closed the connection";
        return -1;
    }
    int code = WSAGetLastError();
    if (code == WSAEWOULDBLOCK) return 0;
    *error = winsock_text(code);
    return -1;
}

bool socket_wait(int fd, bool for_writing, int timeout_ms) {
    WSAPOLLFD p{};
    p.fd = as_socket(fd);
    p.events = for_writing ? POLLWRNORM : POLLRDNORM;
    return WSAPoll(&p, 1, timeout_ms) > 0;
}

void socket_close(int fd) {
    if (fd >= 0) closesocket(as_socket(fd));
}

std::uint32_t socket_process_id() { return static_cast<std::uint32_t>(GetCurrentProcessId()); }
