// The server core: the board model, the clients' sessions and the targets joined together. It
// takes events (a client connected, bytes from a client, a client gone, news from a target, a
// fault command, time passing) and decides what moves where; the event loop owns the sockets
// and the targets, waits, and feeds it. Nothing here calls the operating system.
#pragma once
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "server/board/board.h"
#include "server/jtag-server.h"
#include "server/log.h"
#include "server/session/client-session.h"
#include "server/targets/target.h"

class SERVER_CORE {
public:
    // targets: one per JTAG UART, in the board's order (the loop makes them with make_target
    // and keeps them).
    SERVER_CORE(const BOARD_CONFIG& config, const SERVER_OPTIONS& options, SERVER_LOG& log);
    SERVER_CORE(const SERVER_CORE&) = delete;
    SERVER_CORE& operator=(const SERVER_CORE&) = delete;

    BOARD& board() { return m_board; }
    void attach_targets(std::vector<TARGET*> targets);
    // A JTAG UART the board added (found on a cable's chain) and its target.
    void add_uart(TARGET* target);
    // Starts the targets of the boards that are switched on.
    void start_targets();

    // How many descriptors the process may have open: connections that must prove the secret
    // stop well below it, so a client on this machine or a proven one still has room.
    void set_descriptor_limit(std::size_t limit);
    // A client connected (peer: "HOST:PORT"); remote: it is not on this machine (it may have
    // to prove the secret). Every accepted connection comes here, also one the server will
    // not serve: its session tells the client why and ends. Connections that have not proven
    // the secret are limited per address and overall; at a limit the oldest of them (of the
    // address, or of the address with the most) is cut short, and the next sweep closes it.
    CLIENT_SESSION* client_connected(const std::string& peer, bool remote, SERVER_TIME now);
    void client_bytes(CLIENT_SESSION* session, const char* data, std::size_t size, SERVER_TIME now);
    // The client's connection ended (logged) or a send to it failed (not logged); the next
    // sweep removes it.
    void client_gone(CLIENT_SESSION* session);
    void client_broken(CLIENT_SESSION* session);
    // What the target of one JTAG UART (by its index) reported.
    void target_news(std::size_t uart, const TARGET_NEWS& news, SERVER_TIME now);
    // Time-driven work of the targets (connection retries) and of proofs waiting for the
    // guessing limit.
    void tick(SERVER_TIME now);
    // Milliseconds until tick has work; -1 when nothing is pending.
    int due_ms(SERVER_TIME now) const;
    // Moves bytes between the holder, the FIFOs and the target as far as each side allows.
    void pump(std::size_t uart, SERVER_TIME now);
    void pump_all(SERVER_TIME now);
    // One line of the fault-command language; returns "ok" or "error: ...".
    std::string command(const std::string& line, SERVER_TIME now);
    // Removes the sessions that are done (gone, past their closing deadline, or connected too
    // long without asking for a JTAG UART); closing() is told of each before it goes.
    void sweep(SERVER_TIME now, const std::function<void(CLIENT_SESSION*)>& closing);

    const std::list<std::unique_ptr<CLIENT_SESSION>>& sessions() const { return m_sessions; }
    // The JTAG UART the session holds, or null.
    UART* uart_of(const CLIENT_SESSION* session) const;

private:
    bool make_room(CLIENT_SESSION* session, SERVER_TIME now);
    bool cut_oldest_untrusted(const std::string* address, SERVER_TIME now);
    void log_busy(const char* what, SERVER_TIME now);
    void open(CLIENT_SESSION* session, const varnax::OPEN_REQUEST& request);
    void list(CLIENT_SESSION* session);
    void answer_open(CLIENT_SESSION* session);
    void refuse_open(CLIENT_SESSION* session, int code, const std::string& text);
    void release(CLIENT_SESSION* session);
    void drop_link(CLIENT_SESSION* session, const std::string& why);
    void target_gone(UART* uart, const std::string& why);
    bool feed_target(UART* uart);
    bool drain_target(UART* uart);
    bool send_to_holder(UART* uart);

    SERVER_OPTIONS m_options;
    SESSION_RULES m_rules;
    SERVER_LOG& m_log;
    std::size_t m_connection_room = 0;  // client connections the descriptors allow; 0: no limit
    // The last "too busy" line, and the connections cut short or turned away since.
    bool m_busy_logged = false;
    SERVER_TIME m_busy_logged_at;
    unsigned m_busy_since_log = 0;
    BOARD m_board;
    GUESS_LIMIT m_guesses;
    std::vector<TARGET*> m_targets;          // by JTAG UART
    std::vector<CLIENT_SESSION*> m_holders;  // by JTAG UART: who has it open
    std::list<std::unique_ptr<CLIENT_SESSION>> m_sessions;
};
