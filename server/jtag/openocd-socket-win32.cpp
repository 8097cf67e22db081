// server/jtag/openocd-socket-win32.cpp: the Tcl connection on Winsock.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <string>

#include "server/jtag/openocd-socket.h"

namespace {

// The system's words for a Winsock error.
std::string socket_error_text(int code) {
    char text[256] = "";
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             DWORD(code), 0, text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == '.')) --n;
    return n > 0 ? std::string(text, n) : "error " + std::to_string(code);
}

std::string os_error(const char* what) {
    return std::string(what) + ": " + socket_error_text(WSAGetLastError());
}

// Winsock is started once for the process; the server's loop has usually started it already.
bool winsock_ready() {
    static const bool ready = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return ready;
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
    if (!winsock_ready()) {
        *error = "Winsock cannot be started";
        return -1;
    }
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        *error = os_error("socket");
        return -1;
    }
    u_long nonblocking = 1;
    ioctlsocket(s, FIONBIO, &nonblocking);
    // Each scan is a small command and a small reply: Nagle would hold them back.
    BOOL one = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    if (connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 &&
        WSAGetLastError() != WSAEWOULDBLOCK) {
        *error = "cannot connect to OpenOCD at " + host + ":" + std::to_string(port) + ": " +
                 socket_error_text(WSAGetLastError());
        closesocket(s);
        return -1;
    }
    return int(s);
}

int openocd_socket_connected(int fd, std::string* error) {
    WSAPOLLFD p{SOCKET(fd), POLLOUT, 0};
    int ready = WSAPoll(&p, 1, 0);
    if (ready == 0) return 0;
    int status = 0;
    int len = sizeof status;
    if (getsockopt(SOCKET(fd), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&status), &len) != 0)
        status = WSAGetLastError();
    if (status == 0 && (p.revents & (POLLERR | POLLHUP)) == 0) return 1;
    *error =
        "cannot connect to OpenOCD: " + socket_error_text(status != 0 ? status : WSAECONNREFUSED);
    return -1;
}

long openocd_socket_send(int fd, const char* data, std::size_t size, std::string* error) {
    int n = send(SOCKET(fd), data, int(size), 0);
    if (n >= 0) return long(n);
    if (WSAGetLastError() == WSAEWOULDBLOCK) return 0;
    *error = os_error("writing to OpenOCD");
    return -1;
}

long openocd_socket_receive(int fd, char* data, std::size_t size, std::string* error) {
    int n = recv(SOCKET(fd), data, int(size), 0);
    if (n > 0) return long(n);
    if (n == 0) {
        *error = "OpenOCD closed the connection";
        return -1;
    }
    if (WSAGetLastError() == WSAEWOULDBLOCK) return 0;
    *error = os_error("reading from OpenOCD");
    return -1;
}

void openocd_socket_close(int fd) {
    if (fd >= 0) closesocket(SOCKET(fd));
}

std::uint16_t openocd_free_port(std::string* error) {
    if (!winsock_ready()) {
        *error = "Winsock cannot be started";
        return 0;
    }
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        *error = os_error("socket");
        return 0;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof addr;
    if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        *error = os_error("finding a free port");
        closesocket(s);
        return 0;
    }
    closesocket(s);
    return ntohs(addr.sin_port);
}
