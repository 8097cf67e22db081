// Socket calls of the library on Windows (Winsock 2).
#include "client/socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdlib>

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

}  // namespace

bool socket_resolve(const std::string& host, std::uint16_t port,
                    std::vector<HOST_ADDRESS>* addresses, bool* unknown, std::string* reason) {
    if (!winsock_ready()) {
        *unknown = false;
        *reason = "Winsock does not start";
        return false;
    }
    ADDRINFOA hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    ADDRINFOA* list = nullptr;
    int found = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
    if (found != 0) {
        *unknown = found == WSAHOST_NOT_FOUND || found == WSANO_DATA;
        *reason = winsock_text(found);
        return false;
    }
    for (const ADDRINFOA* a = list; a != nullptr; a = a->ai_next) {
        const unsigned char* ip =
            a->ai_family == AF_INET6
                ? reinterpret_cast<const unsigned char*>(
                      &reinterpret_cast<const sockaddr_in6*>(a->ai_addr)->sin6_addr)
                : reinterpret_cast<const unsigned char*>(
                      &reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr);
        std::string raw(reinterpret_cast<const char*>(a->ai_addr), a->ai_addrlen);
        addresses->push_back(
            HOST_ADDRESS{raw, varnax::is_loopback(ip, a->ai_family == AF_INET6 ? 16 : 4)});
    }
    freeaddrinfo(list);
    return true;
}

int socket_connect_address(const HOST_ADDRESS& address, int timeout_ms, std::string* error,
                           CONNECT_ERROR* kind) {
    const sockaddr* to = reinterpret_cast<const sockaddr*>(address.raw.data());
    SOCKET s = socket(to->sa_family, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        *error = winsock_text(WSAGetLastError());
        *kind = CONNECT_ERROR::other;
        return -1;
    }
    u_long non_blocking = 1;
    ioctlsocket(s, FIONBIO, &non_blocking);
    int rc = connect(s, to, int(address.raw.size()));
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
        return -1;
    }
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
