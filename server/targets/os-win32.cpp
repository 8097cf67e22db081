// Winsock, error texts, socket pairs and the bridges of pipes and COM ports to sockets.
#include "server/targets/os-win32.h"

#include <winsock2.h>
#include <windows.h>
#include <ws2tcpip.h>

#include <atomic>
#include <memory>
#include <thread>

namespace {

SOCKET loopback_socket() {
    return WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
}

// The bridge's state, shared by its two threads; the last one out closes everything.
struct BRIDGE {
    SOCKET socket = INVALID_SOCKET;  // the bridge's end of the pair, blocking
    HANDLE from = nullptr;
    HANDLE to = nullptr;
    bool device = false;  // a COM port: overlapped, and a read of no bytes timed out
    std::atomic<bool> loop_gone{false};  // the loop closed its end: nothing more to read for it

    ~BRIDGE() {
        closesocket(socket);
        if (from != nullptr) CloseHandle(from);
        if (to != nullptr && to != from) CloseHandle(to);
    }
};

// One read or write to completion. A COM port is opened for overlapped I/O, so that its read
// (which waits for bytes) and its write run at the same time; synchronous calls on one handle
// would take turns.
bool transfer(const BRIDGE& bridge, HANDLE handle, bool reading, char* data, DWORD size, DWORD* n) {
    *n = 0;
    if (!bridge.device)
        return (reading ? ReadFile(handle, data, size, n, nullptr)
                        : WriteFile(handle, data, size, n, nullptr)) != 0;
    OVERLAPPED io{};
    io.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (io.hEvent == nullptr) return false;
    BOOL ok = reading ? ReadFile(handle, data, size, nullptr, &io)
                      : WriteFile(handle, data, size, nullptr, &io);
    if (ok || GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(handle, &io, n, TRUE);
    DWORD why = GetLastError();
    CloseHandle(io.hEvent);
    // A transfer that timed out moved what *n says and is no failure, however the driver words
    // it; the caller goes on.
    if (!ok && (why == ERROR_TIMEOUT || why == WAIT_TIMEOUT)) return true;
    return ok != 0;
}

bool send_all(SOCKET socket, const char* data, DWORD size) {
    while (size > 0) {
        int n = send(socket, data, int(size), 0);
        if (n <= 0) return false;
        data += n;
        size -= DWORD(n);
    }
    return true;
}

// Handle to socket. A blocking send is the back-pressure: the loop reads only what its FIFO
// has room for, and the handle's writer waits meanwhile.
void read_side(std::shared_ptr<BRIDGE> bridge) {
    char chunk[4096];
    for (;;) {
        DWORD n = 0;
        if (!transfer(*bridge, bridge->from, true, chunk, sizeof chunk, &n)) break;
        if (n == 0 && (!bridge->device || bridge->loop_gone)) break;
        if (n > 0 && !send_all(bridge->socket, chunk, n)) break;
    }
    shutdown(bridge->socket, SD_SEND);
}

// Socket to handle. When the loop closes its end, the handle is closed at once: a program
// then sees the end of its input, as with a pipe on POSIX systems.
void write_side(std::shared_ptr<BRIDGE> bridge) {
    char chunk[4096];
    for (;;) {
        int n = recv(bridge->socket, chunk, sizeof chunk, 0);
        if (n <= 0) break;
        DWORD done = 0;
        bool ok = true;
        for (DWORD written = 0; ok && done < DWORD(n); done += written)
            ok = transfer(*bridge, bridge->to, false, chunk + done, DWORD(n) - done, &written);
        if (!ok) break;
    }
    bridge->loop_gone = true;
    if (bridge->to != bridge->from) {
        CloseHandle(bridge->to);
        bridge->to = nullptr;
    }
}

}  // namespace

bool os_winsock_ready() {
    static const bool ready = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return ready;
}

std::string os_error_text(unsigned long code) {
    // The sockets' common failures in the words of other systems, the same in every log; the
    // system has no text for some of them under wine.
    static const struct {
        unsigned long code;
        const char* text;
    } socket_texts[] = {
        {WSAEADDRINUSE, "Address already in use"},
        {WSAEADDRNOTAVAIL, "Cannot assign requested address"},
        {WSAECONNREFUSED, "Connection refused"},
        {WSAECONNRESET, "Connection reset by peer"},
        {WSAETIMEDOUT, "Connection timed out"},
        {WSAENETUNREACH, "Network is unreachable"},
        {WSAEHOSTUNREACH, "No route to host"},
        {WSAEACCES, "Permission denied"},
    };
    for (const auto& known : socket_texts)
        if (known.code == code) return known.text;
    char* text = nullptr;
    DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                 FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, DWORD(code), 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string result = n > 0 && text != nullptr ? std::string(text, n)
                                                  : "error " + std::to_string(code);
    if (text != nullptr) LocalFree(text);
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r' ||
                               result.back() == ' ' || result.back() == '.'))
        result.pop_back();
    return result;
}

std::string os_command_line(const std::vector<std::string>& argv) {
    std::string line;
    for (const std::string& argument : argv) {
        if (!line.empty()) line += ' ';
        if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) {
            line += argument;
            continue;
        }
        line += '"';
        std::size_t backslashes = 0;
        for (char c : argument) {
            if (c == '\\') {
                ++backslashes;
                continue;
            }
            // Backslashes count only before a quote: there each stands for half of itself.
            line.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
            backslashes = 0;
            line += c;
        }
        line.append(2 * backslashes, '\\');
        line += '"';
    }
    return line;
}

bool os_socket_pair(int ends[2], int buffer_size, std::string* error) {
    if (!os_winsock_ready()) return *error = "Winsock cannot start", false;
    SOCKET listener = loopback_socket(), one = loopback_socket(), other = INVALID_SOCKET;
    sockaddr_in addr{}, mine{}, peer{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof addr, mine_len = sizeof mine, peer_len = sizeof peer;
    bool ok = listener != INVALID_SOCKET && one != INVALID_SOCKET &&
              bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
              listen(listener, 1) == 0 &&
              getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) == 0 &&
              connect(one, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
              getsockname(one, reinterpret_cast<sockaddr*>(&mine), &mine_len) == 0;
    if (ok) other = accept(listener, reinterpret_cast<sockaddr*>(&peer), &peer_len);
    // Another program may connect to the port in between: only our own socket is taken.
    ok = ok && other != INVALID_SOCKET && peer.sin_port == mine.sin_port &&
         peer.sin_addr.s_addr == mine.sin_addr.s_addr;
    if (!ok) *error = os_error_text(WSAGetLastError());
    closesocket(listener);
    if (ok) SetHandleInformation(reinterpret_cast<HANDLE>(other), HANDLE_FLAG_INHERIT, 0);
    if (ok && buffer_size > 0) {
        for (SOCKET s : {one, other}) {
            setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&buffer_size),
                       sizeof buffer_size);
            setsockopt(s, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&buffer_size),
                       sizeof buffer_size);
        }
    }
    if (!ok) {
        if (one != INVALID_SOCKET) closesocket(one);
        if (other != INVALID_SOCKET) closesocket(other);
        return false;
    }
    ends[0] = int(one);
    ends[1] = int(other);
    return true;
}

int os_bridge(std::intptr_t read_from, std::intptr_t write_to, bool device, std::string* error) {
    int ends[2];
    // Small buffers keep the program or the device close behind the FIFO, like a real board.
    if (!os_socket_pair(ends, 4096, error)) return -1;
    auto bridge = std::make_shared<BRIDGE>();
    bridge->socket = SOCKET(ends[1]);
    bridge->from = reinterpret_cast<HANDLE>(read_from);
    bridge->to = reinterpret_cast<HANDLE>(write_to);
    bridge->device = device;
    u_long non_blocking = 1;
    ioctlsocket(SOCKET(ends[0]), FIONBIO, &non_blocking);
    if (bridge->from != nullptr) std::thread(read_side, bridge).detach();
    if (bridge->to != nullptr) std::thread(write_side, bridge).detach();
    return ends[0];
}
