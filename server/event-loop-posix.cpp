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
#include <map>
#include <memory>
#include <vector>

#include "server/core/server-core.h"
#include "server/jtag-server.h"
#include "server/targets/jtag-cable.h"
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

// What one entry of the poll set belongs to.
enum class WATCH { listener, commands, signals, client, target, cable };

struct WATCHED {
    WATCH kind;
    CLIENT_SESSION* session = nullptr;
    std::size_t uart = 0;
    TARGET_WAIT wait;
};

class EVENT_LOOP {
public:
    EVENT_LOOP(const BOARD_CONFIG& config, const SERVER_OPTIONS& options);
    ~EVENT_LOOP();
    int run();

private:
    bool start_listening();
    void poll_once();
    void accept_client();
    void read_commands();
    void read_client(CLIENT_SESSION* session);
    void flush_client(CLIENT_SESSION* session);
    void reap_children();
    void stop_targets();
    void run_jtag_cables(SERVER_TIME now);

    SERVER_OPTIONS m_options;
    std::string m_config_file;  // names the lines of the JTAG UARTs in messages
    SERVER_LOG m_log;
    SERVER_CORE m_core;
    std::vector<std::unique_ptr<TARGET>> m_targets;  // by JTAG UART
    // The cables behind OpenOCD, with their place in the board model.
    std::vector<std::pair<CABLE_STATE*, std::unique_ptr<JTAG_CABLE>>> m_jtag_cables;
    std::map<CLIENT_SESSION*, int> m_sockets;
    int m_listen_fd = -1;
    std::string m_command_line;
    bool m_commands_open = true;
    SERVER_TIME m_accept_paused_until;
};

EVENT_LOOP::EVENT_LOOP(const BOARD_CONFIG& config, const SERVER_OPTIONS& options)
    : m_options(options),
      m_config_file(config.file_name),
      m_log(options.quiet),
      m_core(config, options, m_log) {
    std::vector<TARGET*> targets;
    for (auto& uart : m_core.board().uarts()) {
        m_targets.push_back(make_target(uart->cfg, uart->label(), m_log, &uart->out_fifo));
        targets.push_back(m_targets.back().get());
    }
    m_core.attach_targets(targets);
    for (std::size_t i = 0; i < config.cables.size(); ++i)
        if (config.cables[i].openocd.used)
            m_jtag_cables.emplace_back(m_core.board().cables()[i].get(),
                                       std::make_unique<JTAG_CABLE>(config.cables[i].openocd,
                                                                    config.cables[i].name, m_log));
}

EVENT_LOOP::~EVENT_LOOP() {
    for (auto& socket : m_sockets) close(socket.second);
    if (m_listen_fd >= 0) close(m_listen_fd);
}

bool EVENT_LOOP::start_listening() {
    std::string why;
    for (auto& uart : m_core.board().uarts()) {
        if (m_targets[uart->index]->prepare(&why)) continue;
        std::string where;
        if (!m_config_file.empty() && uart->cfg.line > 0)
            where = text_escaped(m_config_file) + ":" + std::to_string(uart->cfg.line) + ": ";
        std::fprintf(stderr, "varnax-server: %s%s\n", where.c_str(), why.c_str());
        return false;
    }
    std::uint16_t port = 0;
    m_listen_fd = net_listen(m_options.host, m_options.port, 0, &port, &why);
    if (m_listen_fd < 0) {
        std::fprintf(stderr, "varnax-server: cannot listen on %s: %s\n",
                     text_host_port_join(m_options.host, m_options.port).c_str(), why.c_str());
        return false;
    }
    // The targets run before anyone is told the server is there.
    m_core.start_targets();
    for (auto& cable : m_jtag_cables) cable.second->start(SERVER_CLOCK::now());
    for (auto& uart : m_core.board().uarts()) {
        std::uint16_t target_port = m_targets[uart->index]->listening_port();
        if (target_port != 0)
            std::printf("target %s 127.0.0.1:%u\n", uart->quoted_label().c_str(), target_port);
    }
    std::printf("listening %s\n", text_host_port_join(m_options.host, port).c_str());
    std::fflush(stdout);
    return true;
}

int EVENT_LOOP::run() {
    install_signals();
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY)
        m_core.set_descriptor_limit(std::size_t(files.rlim_cur));
    if (!start_listening()) return 1;
    while (!stop_requested) {
        poll_once();
        auto now = SERVER_CLOCK::now();
        run_jtag_cables(now);
        m_core.tick(now);
        m_core.pump_all(now);
        for (auto& session : m_core.sessions()) flush_client(session.get());
        m_core.sweep(SERVER_CLOCK::now(), [this](CLIENT_SESSION* session) {
            close(m_sockets[session]);
            m_sockets.erase(session);
        });
    }
    m_log.line("stopping");
    stop_targets();
    return 0;
}

// The cables behind OpenOCD move their bytes; a chain found brings its JTAG UARTs into the board
// (with a target each), a chain lost makes the cable unplugged until it is found again.
void EVENT_LOOP::run_jtag_cables(SERVER_TIME now) {
    for (auto& [state, cable] : m_jtag_cables) {
        JTAG_CABLE::CHANGE change = cable->process(now);
        if (change == JTAG_CABLE::CHANGE::lost) BOARD::chain_lost(state);
        if (change != JTAG_CABLE::CHANGE::found) continue;
        auto& uarts = m_core.board().uarts();
        std::size_t added = m_core.board().chain_found(state, cable->instances());
        for (std::size_t i = uarts.size() - added; i < uarts.size(); ++i) {
            m_targets.push_back(cable->make_target(uarts[i]->device, uarts[i]->cfg.instance));
            m_core.add_uart(m_targets.back().get());
        }
    }
}

// Ends every target program at once, so the slowest one sets how long a stop takes.
void EVENT_LOOP::stop_targets() {
    std::vector<int> pids;
    for (auto& target : m_targets) {
        int pid = target->detach_process();
        if (pid > 0) pids.push_back(pid);
        target->stop(0);
    }
    target_program_stop_all(pids, 1000);
}

void EVENT_LOOP::poll_once() {
    std::vector<pollfd> fds;
    std::vector<WATCHED> who;
    auto watch = [&](int fd, short events, WATCHED what) {
        fds.push_back(pollfd{fd, events, 0});
        who.push_back(what);
    };
    if (signal_pipe[0] >= 0) watch(signal_pipe[0], POLLIN, WATCHED{WATCH::signals, nullptr, 0, {}});
    // A job sent to the background leaves its terminal alone; the one-second cap below brings
    // the commands back soon after it returns to the front.
    if (m_options.commands && m_commands_open && !in_background_of_terminal())
        watch(STDIN_FILENO, POLLIN, WATCHED{WATCH::commands, nullptr, 0, {}});
    int timeout = -1;
    auto now = SERVER_CLOCK::now();
    if (now < m_accept_paused_until)
        timeout = 100;
    else
        watch(m_listen_fd, POLLIN, WATCHED{WATCH::listener, nullptr, 0, {}});
    for (auto& s : m_core.sessions()) {
        CLIENT_SESSION* session = s.get();
        short events = session->queued() > 0 && !session->held(now) ? POLLIN | POLLOUT : POLLIN;
        watch(m_sockets[session], events, WATCHED{WATCH::client, session, 0, {}});
        // Wake up in time for a closing client's deadline and for one that never opens.
        if (session->closing())
            timeout = 100;
        else if (!session->open_requested() && (timeout < 0 || timeout > 1000))
            timeout = 1000;
    }
    std::vector<TARGET_WAIT> waits;
    for (auto& uart : m_core.board().uarts()) {
        TARGET* target = m_targets[uart->index].get();
        bool want_read = uart->out_fifo.room() > 0, want_write = uart->in_fifo.size() > 0;
        waits.clear();
        target->waits(want_read, want_write, &waits);
        for (const TARGET_WAIT& wait : waits) {
            short events = short((wait.read ? POLLIN : 0) | (wait.write ? POLLOUT : 0));
            watch(int(wait.handle), events, WATCHED{WATCH::target, nullptr, uart->index, wait});
        }
        // A target already known to be ready is served without waiting.
        if (target->ready(want_read, want_write)) timeout = 0;
    }
    std::vector<TARGET_WAIT> cable_waits;
    for (auto& cable : m_jtag_cables) {
        cable_waits.clear();
        cable.second->waits(&cable_waits);
        for (const TARGET_WAIT& wait : cable_waits) {
            short events = short((wait.read ? POLLIN : 0) | (wait.write ? POLLOUT : 0));
            watch(int(wait.handle), events, WATCHED{WATCH::cable, nullptr, 0, wait});
        }
        int cable_due = cable.second->due_ms(now);
        if (cable_due >= 0 && (timeout < 0 || cable_due < timeout)) timeout = cable_due;
    }
    int due = m_core.due_ms(now);
    if (due >= 0 && (timeout < 0 || due < timeout)) timeout = due;
    // A signal is noticed through the self-pipe; the one-second cap also catches a wake-up
    // that a sanitizer's deferred signal delivery may hold back.
    if (timeout < 0) timeout = 1000;
    int n = poll(fds.data(), fds.size(), timeout);
    if (n <= 0) return;
    for (std::size_t i = 0; i < fds.size(); ++i) {
        if (fds[i].revents == 0) continue;
        const WATCHED& what = who[i];
        switch (what.kind) {
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
                read_client(what.session);
                break;
            case WATCH::cable:  // the cable runs after every wake
                break;
            case WATCH::target: {
                bool hangup = (fds[i].revents & (POLLHUP | POLLERR)) != 0;
                TARGET_NEWS news = m_targets[what.uart]->event(what.wait, hangup);
                m_core.target_news(what.uart, news, SERVER_CLOCK::now());
                break;
            }
        }
    }
}

// Takes what waits, a batch at a time: under a flood of connections one per pass of the loop
// would leave the others, a client with the secret among them, waiting in the backlog.
void EVENT_LOOP::accept_client() {
    constexpr int accept_batch = 64;
    for (int i = 0; i < accept_batch; ++i) {
        std::string peer;
        bool loopback = false;
        int fd = net_accept(m_listen_fd, &peer, &loopback);
        if (fd < 0 && (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)) {
            // Out of descriptors: the waiting connection stays readable, so pause instead of
            // spinning.
            m_log.line("cannot accept a connection: %s", std::strerror(errno));
            m_accept_paused_until = SERVER_CLOCK::now() + std::chrono::milliseconds(200);
        }
        if (fd < 0) return;
        bool remote = !loopback || m_options.loopback_is_remote;
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        m_sockets[m_core.client_connected(peer, remote, SERVER_CLOCK::now())] = fd;
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
    m_command_line.append(chunk, std::size_t(n));
    std::size_t eol;
    while ((eol = m_command_line.find('\n')) != std::string::npos) {
        std::string reply = m_core.command(m_command_line.substr(0, eol), SERVER_CLOCK::now());
        m_command_line.erase(0, eol + 1);
        std::printf("%s\n", reply.c_str());
        std::fflush(stdout);
    }
    if (m_command_line.size() > 4096) m_command_line.clear();  // no line is that long
}

void EVENT_LOOP::read_client(CLIENT_SESSION* session) {
    char chunk[16384];
    ssize_t n;
    do {
        n = recv(m_sockets[session], chunk, sizeof chunk, MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) {
        m_core.client_gone(session);
        return;
    }
    m_core.client_bytes(session, chunk, std::size_t(n), SERVER_CLOCK::now());
}

void EVENT_LOOP::flush_client(CLIENT_SESSION* session) {
    if (session->held(SERVER_CLOCK::now())) return;
    int fd = m_sockets[session];
    while (session->queued() > 0 && !session->finished()) {
        std::size_t size = 0;
        const char* data = session->pending(&size);
        ssize_t n = send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (n < 0) {
            m_core.client_broken(session);
            return;
        }
        session->sent(std::size_t(n));
    }
    // A closing client gets its last messages, then the end of the stream; the socket stays
    // open until the client closes too, so nothing it had not read yet is thrown away.
    if (session->closing() && !session->write_shut() && session->queued() == 0) {
        shutdown(fd, SHUT_WR);
        session->shut_write();
    }
}

void EVENT_LOOP::reap_children() {
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
