// The server's event loop on Windows: it owns the listening socket, the clients' sockets and
// the targets, waits on all of them with WSAPoll, and feeds what happens to the server core.
// Pipes, COM ports and standard input reach it as sockets (server/targets/os-win32.h); the
// console's control handler wakes it through a socket of its own.
#include <winsock2.h>
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <cstdio>
#include <vector>

#include "server/event-loop.h"
#include "server/jtag-server.h"
#include "server/targets/net.h"
#include "server/targets/os-win32.h"
#include "server/targets/target-program.h"

namespace {

// The server's own lines end in LF as on other systems, whatever reads them: its standard
// output and error are binary before main runs.
const struct BINARY_STREAMS {
    BINARY_STREAMS() {
        _setmode(_fileno(stdout), _O_BINARY);
        _setmode(_fileno(stderr), _O_BINARY);
    }
} binary_streams;

std::atomic<bool> stop_requested{false};
std::atomic<int> wake_socket{-1};  // a byte sent here ends the loop's wait
HANDLE loop_done = nullptr;        // set once the targets have been ended

// Runs on a thread of the system's. Ctrl-C and Ctrl-Break stop the server; closing the console,
// logoff and shutdown end the process as soon as this returns, so it first waits (the system
// allows about five seconds) until the loop has ended the target programs.
BOOL WINAPI on_console_event(DWORD event) {
    stop_requested = true;
    char c = 0;
    int socket = wake_socket;
    if (socket >= 0) send(SOCKET(socket), &c, 1, 0);
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && loop_done != nullptr)
        WaitForSingleObject(loop_done, 4000);
    return TRUE;
}

class EVENT_LOOP : public LOOP_BASE {
public:
    EVENT_LOOP(const BOARD_CONFIG& config, const SERVER_OPTIONS& options)
        : LOOP_BASE(config, options) {}
    ~EVENT_LOOP() override;
    int run();

private:
    long send_to_client(std::intptr_t socket, const char* data, std::size_t size) override;
    void shut_client_write(std::intptr_t socket) override { shutdown(SOCKET(socket), SD_SEND); }
    void close_client(std::intptr_t socket) override { closesocket(SOCKET(socket)); }
    void accept_client() override;
    void read_commands() override;
    void read_client(CLIENT_SESSION* session) override;
    void woken() override;
    // Standard input, bridged, when the server reads fault commands.
    void start_commands();
    bool start_waking(std::string* why);
    void poll_once();
    void reap_children();

    int m_wake[2] = {-1, -1};  // the control handler sends on [1], the loop waits on [0]
    int m_commands = -1;       // standard input, bridged
};

EVENT_LOOP::~EVENT_LOOP() {
    wake_socket = -1;
    for (auto& socket : m_sockets) closesocket(SOCKET(socket.second));
    for (int s : {m_listen, m_wake[0], m_wake[1], m_commands})
        if (s >= 0) closesocket(SOCKET(s));
}

bool EVENT_LOOP::start_waking(std::string* why) {
    if (!os_socket_pair(m_wake, 0, why)) return false;
    u_long non_blocking = 1;
    ioctlsocket(SOCKET(m_wake[0]), FIONBIO, &non_blocking);
    ioctlsocket(SOCKET(m_wake[1]), FIONBIO, &non_blocking);
    wake_socket = m_wake[1];
    loop_done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(on_console_event, TRUE);
    return true;
}

void EVENT_LOOP::start_commands() {
    std::string why;
    if (m_options.commands) {
        HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
        HANDLE copy = nullptr;
        // The bridge closes what it reads from: it gets a copy of standard input.
        if (input != nullptr && input != INVALID_HANDLE_VALUE &&
            DuplicateHandle(GetCurrentProcess(), input, GetCurrentProcess(), &copy, 0, FALSE,
                            DUPLICATE_SAME_ACCESS)) {
            m_commands = os_bridge(reinterpret_cast<std::intptr_t>(copy), 0, false, &why);
            if (m_commands < 0) CloseHandle(copy);
        }
    }
}

int EVENT_LOOP::run() {
    std::string why;
    if (!start_waking(&why)) {
        std::fprintf(stderr, "varnax-server: cannot set up its wake-up socket: %s\n", why.c_str());
        return 1;
    }
    start_commands();
    if (!start_serving()) return 1;
    while (!stop_requested && !unused()) {
        poll_once();
        reap_children();
        after_wait();
    }
    m_log.line("stopping");
    stop_targets();
    SetEvent(loop_done);
    return 0;
}

void EVENT_LOOP::poll_once() {
    std::vector<LOOP_WAIT> waits;
    waits.push_back(LOOP_WAIT{LOOP_WAIT::KIND::wake, m_wake[0], true, false, nullptr, 0, {}});
    if (m_commands >= 0)
        waits.push_back(LOOP_WAIT{LOOP_WAIT::KIND::commands, m_commands, true, false, nullptr, 0, {}});
    int timeout = collect_waits(m_listen, &waits);
    std::vector<WSAPOLLFD> fds;
    std::vector<const LOOP_WAIT*> who;
    for (const LOOP_WAIT& wait : waits) {
        // A wait for a hang-up alone is left out: asked for no event, WSAPoll stalled the other
        // sockets under wine. A device that goes away is then noticed at the next read.
        if (!wait.read && !wait.write) continue;
        fds.push_back(WSAPOLLFD{SOCKET(wait.handle),
                                short((wait.read ? POLLRDNORM : 0) | (wait.write ? POLLWRNORM : 0)),
                                0});
        who.push_back(&wait);
    }
    int n = WSAPoll(fds.data(), ULONG(fds.size()), timeout);
    if (n <= 0) {
        // A failed wait must not become a busy loop.
        if (n < 0) Sleep(10);
        return;
    }
    for (std::size_t i = 0; i < fds.size(); ++i)
        if (fds[i].revents != 0) dispatch(*who[i], (fds[i].revents & (POLLHUP | POLLERR)) != 0);
}

// The control handler asked for a stop; the loop's condition sees it.
void EVENT_LOOP::woken() {
    char drain[64];
    while (recv(SOCKET(m_wake[0]), drain, sizeof drain, 0) > 0) {
    }
}

// Takes what waits, a batch at a time, as the POSIX loop does.
void EVENT_LOOP::accept_client() {
    for (int i = 0; i < accept_batch; ++i) {
        std::string peer;
        bool loopback = false;
        int socket = net_accept(m_listen, &peer, &loopback);
        if (socket < 0) {
            int why = WSAGetLastError();
            if (why == WSAEMFILE || why == WSAENOBUFS) pause_accepting(os_error_text(DWORD(why)));
            return;
        }
        BOOL one = TRUE;
        setsockopt(SOCKET(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one),
                   sizeof one);
        client_accepted(socket, peer, loopback);
    }
}

void EVENT_LOOP::read_commands() {
    char chunk[1024];
    int n = recv(SOCKET(m_commands), chunk, sizeof chunk, 0);
    if (n < 0 && WSAGetLastError() == WSAEWOULDBLOCK) return;
    if (n <= 0) {
        // No more commands; the server goes on.
        closesocket(SOCKET(m_commands));
        m_commands = -1;
        return;
    }
    command_bytes(chunk, std::size_t(n));
}

void EVENT_LOOP::read_client(CLIENT_SESSION* session) {
    char chunk[16384];
    int n = recv(SOCKET(m_sockets[session]), chunk, sizeof chunk, 0);
    if (n < 0 && WSAGetLastError() == WSAEWOULDBLOCK) return;
    if (n <= 0) {
        m_core.client_gone(session);
        return;
    }
    m_core.client_bytes(session, chunk, std::size_t(n), SERVER_CLOCK::now());
}

long EVENT_LOOP::send_to_client(std::intptr_t socket, const char* data, std::size_t size) {
    int n = send(SOCKET(socket), data, int(size), 0);
    if (n >= 0) return n;
    return WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
}

// A program that ended is noticed when its output ends; this forgets its process.
void EVENT_LOOP::reap_children() {
    for (auto& target : m_targets) target->children_ended();
}

}  // namespace

int server_run(const BOARD_CONFIG& config, const SERVER_OPTIONS& options) {
    EVENT_LOOP loop(config, options);
    return loop.run();
}
