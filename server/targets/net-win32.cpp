// Listening, accepting and connecting on Windows (Winsock). Every socket is non-blocking and
// not inherited by the target programs.
#include <winsock2.h>
#include <windows.h>
#include <ws2tcpip.h>

#include "server/targets/net.h"
#include "server/targets/os-win32.h"

namespace {

bool ipv4_address(const std::string& host, std::uint16_t port, sockaddr_in* addr,
                  std::string* error) {
    addr->sin_family = AF_INET;
    addr->sin_port = htons(port);
    if (inet_pton(AF_INET, host.c_str(), &addr->sin_addr) == 1) return true;
    *error = "\"" + host + "\" is not an IPv4 address";
    return false;
}

SOCKET new_socket(std::string* error) {
    if (!os_winsock_ready()) {
        *error = "Winsock cannot start";
        return INVALID_SOCKET;
    }
    SOCKET s = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
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

}  // namespace

int net_listen(const std::string& host, std::uint16_t port, int buffer_size, std::uint16_t* bound,
               std::string* error) {
    sockaddr_in addr{};
    if (!ipv4_address(host, port, &addr, error)) return -1;
    SOCKET s = new_socket(error);
    if (s == INVALID_SOCKET) return -1;
    // SO_REUSEADDR would let another program take the same port here; this refuses it.
    set_option(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, 1);
    if (buffer_size > 0) {
        // Small buffers keep a socket target close behind its FIFO, like a real board.
        set_option(s, SOL_SOCKET, SO_RCVBUF, buffer_size);
        set_option(s, SOL_SOCKET, SO_SNDBUF, buffer_size);
    }
    int len = sizeof addr;
    if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(s, 64) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        *error = os_error_text(WSAGetLastError());
        closesocket(s);
        return -1;
    }
    *bound = ntohs(addr.sin_port);
    return int(s);
}

int net_accept(int listen_fd, std::string* peer, bool* loopback) {
    sockaddr_in addr{};
    int len = sizeof addr;
    SOCKET s = accept(SOCKET(listen_fd), reinterpret_cast<sockaddr*>(&addr), &len);
    if (s == INVALID_SOCKET) return -1;
    // An accepted socket takes the listening one's settings, but not its inheritance.
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    u_long non_blocking = 1;
    ioctlsocket(s, FIONBIO, &non_blocking);
    char host[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &addr.sin_addr, host, sizeof host);
    *peer = std::string(host) + ":" + std::to_string(ntohs(addr.sin_port));
    *loopback = (ntohl(addr.sin_addr.s_addr) >> 24) == 127;
    return int(s);
}

int net_start_connect(const std::string& host, std::uint16_t port, std::string* error) {
    sockaddr_in addr{};
    if (!ipv4_address(host, port, &addr, error)) return -1;
    SOCKET s = new_socket(error);
    if (s == INVALID_SOCKET) return -1;
    // Keystrokes go out one by one, as they would on a serial line.
    set_option(s, IPPROTO_TCP, TCP_NODELAY, 1);
    if (connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 &&
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
