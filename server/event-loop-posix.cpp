// The server's event loop on POSIX systems: it owns the listening socket, the clients' sockets
// and the targets, waits on all of them with poll, and feeds what happens to the server core.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "server/event-loop.h"
#include "server/jtag-server.h"
#include "server/targets/net.h"
#include "server/targets/target-program.h"
#include "server/targets/target.h"
#include "text/text.h"

namespace {

int signal_pipe[2] = {-1, -1};
volatile sig_atomic_t stop_requested = 0;

void on_signal(int sig) {
    int saved = errno;
    if (sig == SIGINT || sig == SIGTERM) stop_requested = 1;
    char c = 0;
    (void)!write(signal_pipe[1], &c, 1);
    errno = saved;
}

void install_signals() {
    if (pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    // A stop request interrupts whatever call the server is in, a read of the terminal too;
    // an ended child or a job brought to the front only wakes the loop.
    for (int sig : {SIGINT, SIGTERM}) sigaction(sig, &sa, nullptr);
    sa.sa_flags = SA_RESTART;
    for (int sig : {SIGCHLD, SIGCONT}) sigaction(sig, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    // A read of the terminal from the background fails instead of stopping the server.
    signal(SIGTTIN, SIG_IGN);
}

// Standard input is the terminal of a job that is not in front: reading it is not ours.
bool in_background_of_terminal() {
    pid_t front = tcgetpgrp(STDIN_FILENO);
    return front >= 0 && front != getpgrp();
}

class EVENT_LOOP : public LOOP_BASE {
public:
    EVENT_LOOP(const BOARD_CONFIG& config, const SERVER_OPTIONS& options)
        : LOOP_BASE(config, options) {}
    ~EVENT_LOOP() override;
    int run();

private:
    long send_to_client(std::intptr_t socket, const char* data, std::size_t size) override;
    void shut_client_write(std::intptr_t socket) override { shutdown(int(socket), SHUT_WR); }
    void close_client(std::intptr_t socket) override { close(int(socket)); }
    void accept_client() override;
    void read_commands() override;
    void read_client(CLIENT_SESSION* session) override;
    // The self-pipe woke the loop: a signal came, perhaps a child's end.
    void woken() override;
    void poll_once();

    bool m_commands_open = true;
};

EVENT_LOOP::~EVENT_LOOP() {
    for (auto& socket : m_sockets) close(int(socket.second));
    if (m_listen >= 0) close(m_listen);
}

int EVENT_LOOP::run() {
    install_signals();
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY)
        m_core.set_descriptor_limit(std::size_t(files.rlim_cur));
    if (!start_serving()) return 1;
    while (!stop_requested && !unused()) {
        poll_once();
        after_wait();
    }
    m_log.line("stopping");
    stop_targets();
    return 0;
}

void EVENT_LOOP::poll_once() {
    std::vector<LOOP_WAIT> waits;
    if (signal_pipe[0] >= 0)
        waits.push_back(LOOP_WAIT{LOOP_WAIT::KIND::wake, signal_pipe[0], true, false, nullptr, 0, {}});
    // A job sent to the background leaves its terminal alone; the one-second cap of the wait
    // brings the commands back soon after it returns to the front.
    if (m_options.commands && m_commands_open && !in_background_of_terminal())
        waits.push_back(
            LOOP_WAIT{LOOP_WAIT::KIND::commands, STDIN_FILENO, true, false, nullptr, 0, {}});
    int timeout = collect_waits(m_listen, &waits);
    std::vector<pollfd> fds;
    for (const LOOP_WAIT& wait : waits)
        fds.push_back(pollfd{int(wait.handle),
                             short((wait.read ? POLLIN : 0) | (wait.write ? POLLOUT : 0)), 0});
    int n = poll(fds.data(), fds.size(), timeout);
    if (n <= 0) return;
    for (std::size_t i = 0; i < fds.size(); ++i)
        if (fds[i].revents != 0) dispatch(waits[i], (fds[i].revents & (POLLHUP | POLLERR)) != 0);
}

// Takes what waits, a batch at a time: under a flood of connections one per pass of the loop
// would leave the others, a client with the secret among them, waiting in the backlog.
void EVENT_LOOP::accept_client() {
    for (int i = 0; i < accept_batch; ++i) {
        std::string peer;
        bool loopback = false;
        int fd = net_accept(m_listen, &peer, &loopback);
        if (fd < 0 && (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM))
            pause_accepting(std::strerror(errno));
        if (fd < 0) return;
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        client_accepted(fd, peer, loopback);
    }
}

void EVENT_LOOP::read_commands() {
    char chunk[1024];
    ssize_t n = read(STDIN_FILENO, chunk, sizeof chunk);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    // Sent to the background between the check and the read.
    if (n < 0 && errno == EIO && in_background_of_terminal()) return;
    if (n <= 0) {
        m_commands_open = false;  // no more commands; the server goes on
        return;
    }
    command_bytes(chunk, std::size_t(n));
}

void EVENT_LOOP::read_client(CLIENT_SESSION* session) {
    char chunk[16384];
    ssize_t n;
    do {
        n = recv(int(m_sockets[session]), chunk, sizeof chunk, MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) {
        m_core.client_gone(session);
        return;
    }
    m_core.client_bytes(session, chunk, std::size_t(n), SERVER_CLOCK::now());
}

long EVENT_LOOP::send_to_client(std::intptr_t socket, const char* data, std::size_t size) {
    for (;;) {
        ssize_t n = send(int(socket), data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) return long(n);
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
}

void EVENT_LOOP::woken() {
    char drain[64];
    while (read(signal_pipe[0], drain, sizeof drain) > 0) {
    }
    for (auto& target : m_targets) target->children_ended();
}

}  // namespace

int server_run(const BOARD_CONFIG& config, const SERVER_OPTIONS& options) {
    EVENT_LOOP loop(config, options);
    return loop.run();
}
