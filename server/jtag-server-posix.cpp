// The server's poll loop on POSIX systems: clients, JTAG UART FIFOs, targets, fault commands.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <list>
#include <memory>
#include <vector>

#include "client/protocol.h"
#include "server/jtag-server.h"
#include "server/ring-buffer.h"
#include "server/server-state.h"
#include "server/target-program.h"

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

bool is_loopback(const sockaddr_in& addr) {
    return (ntohl(addr.sin_addr.s_addr) >> 24) == 127;
}

std::string address_text(const sockaddr_in& addr) {
    char host[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &addr.sin_addr, host, sizeof host);
    return std::string(host) + ":" + std::to_string(ntohs(addr.sin_port));
}

// A listening socket on host:port (port 0: any free one); *bound gets the port chosen.
int listen_on(const std::string& host, std::uint16_t port, int buffer_size, std::uint16_t* bound,
              std::string* error) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) {
        *error = "\"" + host + "\" is not an IPv4 address";
        return -1;
    }
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

int accept_from(int listen_fd, sockaddr_in* peer) {
    socklen_t len = sizeof *peer;
    int fd;
    do {
        fd = accept4(listen_fd, reinterpret_cast<sockaddr*>(peer), &len,
                     SOCK_NONBLOCK | SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// What one entry of the poll set belongs to.
enum class WATCH {
    listener,
    commands,
    signals,
    client,
    target_in,
    target_out,
    target_listener,
    target_connect,
    target_hangup
};

}  // namespace

class JTAG_SERVER : public SERVER_STATE {
public:
    JTAG_SERVER(const BOARD_CONFIG& config, const SERVER_OPTIONS& options)
        : SERVER_STATE(config, options), m_config_file(config.file_name) {}
    ~JTAG_SERVER();
    int run();

private:
    bool start_listening();
    void poll_once();
    void accept_client();
    void accept_target(UART* uart);
    void read_commands();
    void read_client(CLIENT* client);
    void flush_client(CLIENT* client);
    void reap_children();

    std::string m_config_file;  // names the lines of the JTAG UARTs in messages
    int m_listen_fd = -1;
    std::string m_command_line;
    bool m_commands_open = true;
    std::chrono::steady_clock::time_point m_accept_paused_until;
};

JTAG_SERVER::~JTAG_SERVER() {
    if (m_listen_fd >= 0) close(m_listen_fd);
}

bool JTAG_SERVER::start_listening() {
    std::string why;
    for (auto& uart : m_uarts) {
        if (uart->cfg.kind != TARGET_KIND::listen) continue;
        uart->listen_fd = listen_on("127.0.0.1", uart->cfg.port, 8192, &uart->port, &why);
        if (uart->listen_fd < 0) {
            std::string where;
            if (!m_config_file.empty() && uart->cfg.line > 0)
                where =
                    config_printable(m_config_file) + ":" + std::to_string(uart->cfg.line) + ": ";
            std::fprintf(stderr,
                         "varnax-server: %scannot listen for the target of %s on port %u: %s\n",
                         where.c_str(), uart->label().c_str(), uart->cfg.port, why.c_str());
            return false;
        }
    }
    std::uint16_t port = 0;
    m_listen_fd = listen_on(m_options.host, m_options.port, 0, &port, &why);
    if (m_listen_fd < 0) {
        std::fprintf(stderr, "varnax-server: cannot listen on %s:%u: %s\n", m_options.host.c_str(),
                     m_options.port, why.c_str());
        return false;
    }
    // The targets run before anyone is told the server is there.
    for (auto& uart : m_uarts)
        if (uart->cable->powered) start_target(uart.get());
    for (auto& uart : m_uarts)
        if (uart->listen_fd >= 0)
            std::printf("target %s 127.0.0.1:%u\n", uart->quoted_label().c_str(), uart->port);
    std::printf("listening %s:%u\n", m_options.host.c_str(), port);
    std::fflush(stdout);
    return true;
}

int JTAG_SERVER::run() {
    install_signals();
    if (!start_listening()) return 1;
    while (!stop_requested) {
        poll_once();
        retry_targets();
        for (auto& uart : m_uarts) pump(uart.get());
        for (auto& client : m_clients) flush_client(client.get());
        sweep_clients(std::chrono::steady_clock::now());
    }
    log("stopping");
    stop_all_targets(1000);
    return 0;
}

void JTAG_SERVER::poll_once() {
    std::vector<pollfd> fds;
    std::vector<std::pair<WATCH, void*>> who;
    auto watch = [&](int fd, short events, WATCH kind, void* what) {
        fds.push_back(pollfd{fd, events, 0});
        who.emplace_back(kind, what);
    };
    if (signal_pipe[0] >= 0) watch(signal_pipe[0], POLLIN, WATCH::signals, nullptr);
    // A job sent to the background leaves its terminal alone; the one-second cap below brings
    // the commands back soon after it returns to the front.
    if (m_options.commands && m_commands_open && !in_background_of_terminal())
        watch(STDIN_FILENO, POLLIN, WATCH::commands, nullptr);
    int timeout = -1;
    auto now = std::chrono::steady_clock::now();
    if (now < m_accept_paused_until)
        timeout = 100;
    else
        watch(m_listen_fd, POLLIN, WATCH::listener, nullptr);
    for (auto& c : m_clients) {
        short events = c->queued() > 0 && !c->held(now) ? POLLIN | POLLOUT : POLLIN;
        watch(c->fd, events, WATCH::client, c.get());
        // Wake up in time for a closing client's deadline and for one that never opens.
        if (c->closing)
            timeout = 100;
        else if (!c->open_requested && (timeout < 0 || timeout > 1000))
            timeout = 1000;
    }
    for (auto& u : m_uarts) {
        if (u->listen_fd >= 0) watch(u->listen_fd, POLLIN, WATCH::target_listener, u.get());
        if (u->connect_fd >= 0) watch(u->connect_fd, POLLOUT, WATCH::target_connect, u.get());
        if (u->read_fd >= 0 && u->out_fifo.room() > 0 && !u->readable)
            watch(u->read_fd, POLLIN, WATCH::target_in, u.get());
        // An unplugged serial device is noticed even while its output waits for FIFO room,
        // so the next open finds the device plugged in by then, not the one that went away.
        else if (u->read_fd >= 0 && u->cfg.kind == TARGET_KIND::serial)
            watch(u->read_fd, 0, WATCH::target_hangup, u.get());
        if (u->write_fd >= 0 && u->in_fifo.size() > 0 && !u->writable)
            watch(u->write_fd, POLLOUT, WATCH::target_out, u.get());
        // A target already known to be ready is served without waiting.
        if ((u->read_fd >= 0 && u->readable && u->out_fifo.room() > 0) ||
            (u->write_fd >= 0 && u->writable && u->in_fifo.size() > 0))
            timeout = 0;
    }
    int retry = retry_wait_ms();
    if (retry >= 0 && (timeout < 0 || retry < timeout)) timeout = retry;
    // A signal is noticed through the self-pipe; the one-second cap also catches a wake-up
    // that a sanitizer's deferred signal delivery may hold back.
    if (timeout < 0) timeout = 1000;
    int n = poll(fds.data(), fds.size(), timeout);
    if (n <= 0) return;
    for (std::size_t i = 0; i < fds.size(); ++i) {
        if (fds[i].revents == 0) continue;
        void* what = who[i].second;
        switch (who[i].first) {
            case WATCH::listener:
                accept_client();
                break;
            case WATCH::signals:
                reap_children();
                break;
            case WATCH::commands:
                read_commands();
                break;
            case WATCH::client:
                read_client(static_cast<CLIENT*>(what));
                break;
            case WATCH::target_in:
                static_cast<UART*>(what)->readable = true;
                break;
            case WATCH::target_out:
                static_cast<UART*>(what)->writable = true;
                break;
            case WATCH::target_listener:
                accept_target(static_cast<UART*>(what));
                break;
            case WATCH::target_connect:
                finish_connect(static_cast<UART*>(what));
                break;
            case WATCH::target_hangup:
                if (fds[i].revents & (POLLHUP | POLLERR)) port_hung_up(static_cast<UART*>(what));
                break;
        }
    }
}

void JTAG_SERVER::accept_client() {
    sockaddr_in peer{};
    int fd = accept_from(m_listen_fd, &peer);
    if (fd < 0 && (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)) {
        // Out of descriptors: the waiting connection stays readable, so pause instead of spinning.
        log("cannot accept a connection: %s", std::strerror(errno));
        m_accept_paused_until = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
    }
    if (fd < 0) return;
    bool remote = !is_loopback(peer) || m_options.loopback_is_remote;
    if (!m_options.allow_remote && remote) {
        log("refused a connection from %s (not this machine)", address_text(peer).c_str());
        close(fd);
        return;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto client = std::make_unique<CLIENT>();
    client->fd = fd;
    client->peer = address_text(peer);
    varnax::encode_greeting(&client->out, m_options.protocol_version);
    ask_for_proof(client.get(), remote);
    m_clients.push_back(std::move(client));
}

void JTAG_SERVER::accept_target(UART* uart) {
    sockaddr_in peer{};
    int fd = accept_from(uart->listen_fd, &peer);
    if (fd < 0) return;
    if (!is_loopback(peer) || uart->read_fd >= 0 || !uart->cable->powered) {
        log("%s: refused a target connection from %s", uart->label().c_str(),
            address_text(peer).c_str());
        close(fd);
        return;
    }
    log("%s: target connected from %s", uart->label().c_str(), address_text(peer).c_str());
    uart->read_fd = uart->write_fd = fd;
    uart->readable = uart->writable = false;
}

void JTAG_SERVER::read_commands() {
    char chunk[1024];
    ssize_t n = read(STDIN_FILENO, chunk, sizeof chunk);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    // Sent to the background between the check and the read.
    if (n < 0 && errno == EIO && in_background_of_terminal()) return;
    if (n <= 0) {
        m_commands_open = false;  // no more commands; the server goes on
        return;
    }
    m_command_line.append(chunk, std::size_t(n));
    std::size_t eol;
    while ((eol = m_command_line.find('\n')) != std::string::npos) {
        std::string reply = command(m_command_line.substr(0, eol));
        m_command_line.erase(0, eol + 1);
        std::printf("%s\n", reply.c_str());
        std::fflush(stdout);
    }
    if (m_command_line.size() > 4096) m_command_line.clear();  // no line is that long
}

void JTAG_SERVER::read_client(CLIENT* client) {
    char chunk[16384];
    ssize_t n;
    do {
        n = recv(client->fd, chunk, sizeof chunk, MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) {
        client_gone(client);
        return;
    }
    if (!client->closing) take_bytes(client, chunk, std::size_t(n));
}

void JTAG_SERVER::flush_client(CLIENT* client) {
    if (client->held(std::chrono::steady_clock::now())) return;
    while (client->queued() > 0 && !client->finished) {
        ssize_t n = send(client->fd, client->out.data() + client->out_start, client->queued(),
                         MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (n < 0) {
            release(client);
            client->finished = true;
            return;
        }
        client->sent(std::size_t(n));
    }
    // A closing client gets its last messages, then the end of the stream; the socket stays
    // open until the client closes too, so nothing it had not read yet is thrown away.
    if (client->closing && !client->write_shut && client->queued() == 0) {
        shutdown(client->fd, SHUT_WR);
        client->write_shut = true;
    }
}

void JTAG_SERVER::reap_children() {
    char drain[64];
    while (read(signal_pipe[0], drain, sizeof drain) > 0) {
    }
    int pid;
    while ((pid = target_program_reap()) > 0) child_ended(pid);
}

int server_run(const BOARD_CONFIG& config, const SERVER_OPTIONS& options) {
    JTAG_SERVER server(config, options);
    return server.run();
}
