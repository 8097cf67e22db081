// The part of the event loop that is the same on every system.
#include "server/event-loop.h"

#include <cstdio>

#include "server/targets/net.h"
#include "server/targets/target-program.h"
#include "text/text.h"

LOOP_BASE::LOOP_BASE(const BOARD_CONFIG& config, const SERVER_OPTIONS& options)
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

bool LOOP_BASE::start_serving() {
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
    m_listen = net_listen(m_options.host, m_options.port, 0, &port, &why);
    if (m_listen < 0) {
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

int LOOP_BASE::collect_waits(std::intptr_t listener, std::vector<LOOP_WAIT>* out) {
    int timeout = -1;
    auto now = SERVER_CLOCK::now();
    if (now < m_accept_paused_until)
        timeout = 100;
    else
        out->push_back(LOOP_WAIT{LOOP_WAIT::KIND::listener, listener, true, false, nullptr, 0, {}});
    for (auto& s : m_core.sessions()) {
        CLIENT_SESSION* session = s.get();
        bool sending = session->queued() > 0 && !session->held(now);
        out->push_back(LOOP_WAIT{LOOP_WAIT::KIND::client, m_sockets[session], true, sending,
                                 session, 0, {}});
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
        for (const TARGET_WAIT& wait : waits)
            out->push_back(LOOP_WAIT{LOOP_WAIT::KIND::target, wait.handle, wait.read, wait.write,
                                     nullptr, uart->index, wait});
        // A target already known to be ready is served without waiting.
        if (target->ready(want_read, want_write)) timeout = 0;
    }
    waits.clear();
    for (auto& cable : m_jtag_cables) {
        cable.second->waits(&waits);
        int cable_due = cable.second->due_ms(now);
        if (cable_due >= 0 && (timeout < 0 || cable_due < timeout)) timeout = cable_due;
    }
    for (const TARGET_WAIT& wait : waits)
        out->push_back(LOOP_WAIT{LOOP_WAIT::KIND::cable, wait.handle, wait.read, wait.write,
                                 nullptr, 0, wait});
    int due = m_core.due_ms(now);
    if (due >= 0 && (timeout < 0 || due < timeout)) timeout = due;
    // A stop request wakes the loop through its own handle; the one-second cap also catches a
    // wake-up that a sanitizer's deferred signal delivery may hold back.
    return timeout < 0 ? 1000 : timeout;
}

void LOOP_BASE::dispatch(const LOOP_WAIT& wait, bool hangup) {
    switch (wait.kind) {
        case LOOP_WAIT::KIND::listener:
            accept_client();
            break;
        case LOOP_WAIT::KIND::wake:
            woken();
            break;
        case LOOP_WAIT::KIND::commands:
            read_commands();
            break;
        case LOOP_WAIT::KIND::client:
            read_client(wait.session);
            break;
        case LOOP_WAIT::KIND::cable:  // the cables run after every wait
            break;
        case LOOP_WAIT::KIND::target: {
            TARGET_NEWS news = m_targets[wait.uart]->event(wait.target_wait, hangup);
            m_core.target_news(wait.uart, news, SERVER_CLOCK::now());
            break;
        }
    }
}

void LOOP_BASE::pause_accepting(const std::string& why) {
    m_log.line("cannot accept a connection: %s", why.c_str());
    m_accept_paused_until = SERVER_CLOCK::now() + std::chrono::milliseconds(200);
}

// The core decides whether to serve the client, and tells one it turns away why.
void LOOP_BASE::client_accepted(std::intptr_t socket, const std::string& peer, bool loopback) {
    bool remote = !loopback || m_options.loopback_is_remote;
    m_sockets[m_core.client_connected(peer, remote, SERVER_CLOCK::now())] = socket;
    m_had_client = true;
}

void LOOP_BASE::command_bytes(const char* data, std::size_t size) {
    m_command_line.append(data, size);
    std::size_t eol;
    while ((eol = m_command_line.find('\n')) != std::string::npos) {
        std::string line = m_command_line.substr(0, eol);
        // A command typed at a Windows console ends in CR LF.
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::string reply = m_core.command(line, SERVER_CLOCK::now());
        m_command_line.erase(0, eol + 1);
        std::printf("%s\n", reply.c_str());
        std::fflush(stdout);
    }
    if (m_command_line.size() > 4096) m_command_line.clear();  // no line is that long
}

void LOOP_BASE::after_wait() {
    auto now = SERVER_CLOCK::now();
    run_jtag_cables(now);
    m_core.tick(now);
    m_core.pump_all(now);
    for (auto& session : m_core.sessions()) flush_client(session.get());
    m_core.sweep(SERVER_CLOCK::now(), [this](CLIENT_SESSION* session) {
        close_client(m_sockets[session]);
        m_sockets.erase(session);
    });
}

void LOOP_BASE::run_jtag_cables(SERVER_TIME now) {
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

void LOOP_BASE::stop_targets() {
    std::vector<int> pids;
    for (auto& target : m_targets) {
        int pid = target->detach_process();
        if (pid > 0) pids.push_back(pid);
        target->stop(0);
    }
    target_program_stop_all(pids, 1000);
}

void LOOP_BASE::flush_client(CLIENT_SESSION* session) {
    if (session->held(SERVER_CLOCK::now())) return;
    std::intptr_t socket = m_sockets[session];
    while (session->queued() > 0 && !session->finished()) {
        std::size_t size = 0;
        const char* data = session->pending(&size);
        long n = send_to_client(socket, data, size);
        if (n == 0) return;
        if (n < 0) {
            m_core.client_broken(session);
            return;
        }
        session->sent(std::size_t(n));
    }
    // A closing client gets its last messages, then the end of the stream; the socket stays
    // open until the client closes too, so nothing it had not read yet is thrown away.
    if (session->closing() && !session->write_shut() && session->queued() == 0) {
        shut_client_write(socket);
        session->shut_write();
    }
}
