// The server core: open requests, the FIFO model with its back-pressure, fault commands.
#include "server/core/server-core.h"

#include <algorithm>
#include <unordered_map>

#include "text/text.h"

namespace {

// A pump moves about this many bytes each way at a time (and at least a few rounds), so one
// busy JTAG UART cannot starve the others, while one with small FIFOs still moves a good
// share of a socket's worth per wake-up.
constexpr std::size_t pump_bytes = 65536;
constexpr std::size_t pump_rounds_least = 64;

// Descriptors the server keeps for itself: standard streams, the listening socket, the signal
// pipe, and a few for each JTAG UART's target.
constexpr std::size_t own_descriptors = 16;
constexpr std::size_t descriptors_per_uart = 4;

const char* const remote_refused =
    "clients from other machines are not accepted here (the server runs without "
    "--allow-remote)";
const char* const too_busy = "the server is too busy (too many connections); try again later";

}  // namespace

SERVER_CORE::SERVER_CORE(const BOARD_CONFIG& config, const SERVER_OPTIONS& options, SERVER_LOG& log)
    : m_options(options), m_log(log), m_board(config), m_guesses(options.door, log) {
    m_rules.protocol_version = options.protocol_version;
    m_rules.secret = options.secret;
    m_rules.guesses = &m_guesses;
    m_rules.proof_time = options.door.proof_time;
    m_holders.assign(m_board.uarts().size(), nullptr);
}

void SERVER_CORE::set_descriptor_limit(std::size_t limit) {
    std::size_t own = own_descriptors + descriptors_per_uart * m_board.uarts().size();
    m_connection_room = limit > own + 1 ? limit - own : 1;
}

void SERVER_CORE::attach_targets(std::vector<TARGET*> targets) {
    m_targets = std::move(targets);
}

void SERVER_CORE::add_uart(TARGET* target) {
    m_targets.push_back(target);
    m_holders.push_back(nullptr);
}

void SERVER_CORE::start_targets() {
    for (auto& uart : m_board.uarts()) {
        TARGET* target = m_targets[uart->index];
        target->power(uart->cable->powered);
        if (uart->cable->powered) target->start(nullptr);
    }
}

CLIENT_SESSION* SERVER_CORE::client_connected(const std::string& peer, bool remote,
                                              SERVER_TIME now) {
    m_sessions.push_back(std::make_unique<CLIENT_SESSION>(peer, m_rules, m_log, now));
    CLIENT_SESSION* session = m_sessions.back().get();
    if (remote && !m_options.allow_remote) {
        session->turn_away(remote_refused);
        // Such connections wait for nobody: they give way first when room runs short.
        make_room(nullptr, now);
        return session;
    }
    bool asked = !m_options.secret.empty() && (remote || m_options.secret_for_local);
    if (!make_room(asked ? session : nullptr, now)) {
        log_busy("turned a connection away: the descriptors are nearly all in use", now);
        session->turn_away(too_busy);
        return session;
    }
    if (asked) session->ask_for_proof();
    return session;
}

// Room for one more connection. Those that have not proven the secret (or are turned away
// already) are cut short oldest first: beyond their limit per address and overall, and when
// the descriptors run low, where a quarter of them stays for clients on this machine and
// proven ones. newcomer: a connection that will be asked for the proof (null for one that
// will not). False when a client on this machine or a proven one finds no room left at all.
bool SERVER_CORE::make_room(CLIENT_SESSION* newcomer, SERVER_TIME now) {
    const DOOR_LIMITS& limits = m_options.door;
    if (newcomer != nullptr) {
        std::size_t from_address = 0, untrusted = 0;
        for (auto& s : m_sessions) {
            if (s.get() == newcomer || s->trusted() || s->leaving()) continue;
            ++untrusted;
            if (s->address() == newcomer->address()) ++from_address;
        }
        if (from_address >= limits.unproven_per_address &&
            cut_oldest_untrusted(&newcomer->address(), now))
            --untrusted;
        if (untrusted >= limits.unproven_overall) cut_oldest_untrusted(nullptr, now);
    }
    if (m_connection_room == 0) return true;
    std::size_t open = 0;
    for (auto& s : m_sessions) open += s->leaving() ? 0 : 1;
    std::size_t room = newcomer != nullptr ? m_connection_room * 3 / 4 : m_connection_room;
    while (open > room && cut_oldest_untrusted(nullptr, now)) --open;
    return open <= room;
}

// Cuts the oldest untrusted connection of address, or (null) of the address that has the most
// of them: a flood from a few addresses then costs those addresses their connections, not a
// client elsewhere that is about to prove the secret.
bool SERVER_CORE::cut_oldest_untrusted(const std::string* address, SERVER_TIME now) {
    std::unordered_map<std::string, std::size_t> per_address;
    std::string busiest;
    if (address == nullptr) {
        std::size_t most = 0;
        for (auto& s : m_sessions) {
            if (s->trusted() || s->leaving()) continue;
            std::size_t n = ++per_address[s->address()];
            if (n > most) {
                most = n;
                busiest = s->address();
            }
        }
        if (most == 0) return false;
        address = &busiest;
    }
    CLIENT_SESSION* oldest = nullptr;
    // The connection that just came is the last in the list, so it goes only when it is the
    // only one left to go.
    for (auto& s : m_sessions) {
        if (s->trusted() || s->leaving() || s->address() != *address) continue;
        if (oldest == nullptr || s->accepted_at() < oldest->accepted_at()) oldest = s.get();
    }
    if (oldest == nullptr) return false;
    oldest->set_now(now);
    oldest->cut_short(too_busy);
    log_busy("closed the oldest connection that has not proven the shared secret", now);
    return true;
}

// One line a second at most: a flood of connections must not become a flood of log lines.
void SERVER_CORE::log_busy(const char* what, SERVER_TIME now) {
    ++m_busy_since_log;
    if (m_busy_logged && now - m_busy_logged_at < std::chrono::seconds(1)) return;
    m_log.line("too busy: %s (%u times since the last such line)", what, m_busy_since_log);
    m_busy_logged = true;
    m_busy_logged_at = now;
    m_busy_since_log = 0;
}

void SERVER_CORE::client_bytes(CLIENT_SESSION* session, const char* data, std::size_t size,
                               SERVER_TIME now) {
    if (session->closing()) return;
    session->set_now(now);
    if (size > 0) session->append(data, size);
    varnax::OPEN_REQUEST request;
    const unsigned char* bytes = nullptr;
    std::size_t count = 0;
    for (;;) {
        switch (session->next(&request, &bytes, &count)) {
            case CLIENT_ASK::nothing:
                return;
            case CLIENT_ASK::open:
                open(session, request);
                break;
            case CLIENT_ASK::list:
                list(session);
                break;
            case CLIENT_ASK::data:
                uart_of(session)->in_fifo.push(reinterpret_cast<const char*>(bytes), count);
                break;
            case CLIENT_ASK::ended:
                release(session);
                return;
        }
    }
}

void SERVER_CORE::client_gone(CLIENT_SESSION* session) {
    session->gone();
    release(session);
}

void SERVER_CORE::client_broken(CLIENT_SESSION* session) {
    release(session);
    session->broken();
}

UART* SERVER_CORE::uart_of(const CLIENT_SESSION* session) const {
    for (std::size_t i = 0; i < m_holders.size(); ++i)
        if (m_holders[i] == session) return m_board.uarts()[i].get();
    return nullptr;
}

void SERVER_CORE::open(CLIENT_SESSION* session, const varnax::OPEN_REQUEST& request) {
    varnax::OPEN_FAILURE failure;
    UART* uart = m_board.choose(request, &failure);
    if (uart == nullptr) {
        refuse_open(session, failure.code, failure.text);
        return;
    }
    uart->held = true;
    uart->holder = UART_HOLDER{session->app_name(), session->pid()};
    m_holders[uart->index] = session;
    session->hold_uart(true);
    std::string why;
    // A board whose port cannot be reached, or whose program cannot start, is to the client a
    // board that is not there; the text says why.
    switch (m_targets[uart->index]->start(&why)) {
        case TARGET::START::failed:
            refuse_open(session, varnax::open_board_unpowered, why);
            return;
        case TARGET::START::pending:
            session->await_target(true);  // answered when the connection is made or fails
            return;
        case TARGET::START::up:
            answer_open(session);
            return;
    }
}

void SERVER_CORE::answer_open(CLIENT_SESSION* session) {
    UART* uart = uart_of(session);
    uart->credit_owed = 0;
    uart->drop_when_drained = false;
    session->set_granted(uart->in_fifo.room());
    varnax::OPEN_REPLY reply;
    reply.cable = uart->cable->name;
    reply.device = uart->device;
    reply.instance = uart->cfg.instance;
    reply.warning = static_cast<std::uint8_t>(uart->cable->warning);
    reply.write_credit = static_cast<std::uint32_t>(session->granted());
    session->open_accepted(reply);
    m_log.line("%s: %s, process %u opened %s", session->peer().c_str(),
               text_escaped(session->app_name()).c_str(), session->pid(), uart->label().c_str());
}

void SERVER_CORE::list(CLIENT_SESSION* session) {
    std::string frames;
    m_board.inventory(&frames);
    m_log.line("%s: listed the cables", session->peer().c_str());
    session->listed(frames);
}

void SERVER_CORE::refuse_open(CLIENT_SESSION* session, int code, const std::string& text) {
    // The names came from the client: escaped before they are formatted, so a NUL byte cannot
    // cut the line short.
    m_log.line("%s: open refused (%d) for %s, process %u%s%s", session->peer().c_str(), code,
               text_escaped(session->app_name()).c_str(), session->pid(), text.empty() ? "" : ": ",
               text_escaped(text).c_str());
    release(session);
    session->open_refused(varnax::OPEN_FAILURE{code, text});
}

void SERVER_CORE::release(CLIENT_SESSION* session) {
    UART* uart = uart_of(session);
    session->hold_uart(false);
    if (uart == nullptr) return;
    uart->held = false;
    uart->holder = UART_HOLDER{};
    uart->interrupt_pending = false;
    m_holders[uart->index] = nullptr;
    m_targets[uart->index]->released();
}

void SERVER_CORE::drop_link(CLIENT_SESSION* session, const std::string& why) {
    if (session->awaiting_target()) {  // the link never came up: the open fails instead
        refuse_open(session, varnax::open_board_unpowered, why);
        return;
    }
    m_log.line("%s: link dropped: %s", session->peer().c_str(), why.c_str());
    release(session);
    session->link_lost(why);
}

void SERVER_CORE::target_gone(UART* uart, const std::string& why) {
    m_log.line("%s: %s", uart->label().c_str(), why.c_str());
    if (uart->held) {
        uart->drop_when_drained = true;
        uart->drop_why = why;
    }
}

void SERVER_CORE::target_news(std::size_t index, const TARGET_NEWS& news, SERVER_TIME now) {
    UART* uart = m_board.uarts()[index].get();
    CLIENT_SESSION* holder = m_holders[index];
    if (holder != nullptr) holder->set_now(now);
    switch (news.kind) {
        case TARGET_NEWS::KIND::none:
            break;
        case TARGET_NEWS::KIND::connected:
            if (holder != nullptr && holder->awaiting_target()) answer_open(holder);
            break;
        case TARGET_NEWS::KIND::failed:
            if (holder != nullptr && holder->awaiting_target())
                refuse_open(holder, varnax::open_board_unpowered, news.why);
            break;
        case TARGET_NEWS::KIND::lost:
            target_gone(uart, news.why);
            break;
    }
}

void SERVER_CORE::tick(SERVER_TIME now) {
    for (std::size_t i = 0; i < m_targets.size(); ++i) target_news(i, m_targets[i]->tick(now), now);
    // Oldest first, so proofs that waited longest are checked first.
    for (auto& session : m_sessions)
        if (session->proof_waiting()) client_bytes(session.get(), nullptr, 0, now);
}

int SERVER_CORE::due_ms(SERVER_TIME now) const {
    // The guessing limit earns a proof its turn a second or sooner after it came.
    constexpr int proof_retry_ms = 100;
    int wait = -1;
    for (auto& session : m_sessions)
        if (session->proof_waiting()) wait = proof_retry_ms;
    for (const TARGET* target : m_targets) {
        int ms = target->due_ms(now);
        if (ms >= 0 && (wait < 0 || ms < wait)) wait = ms;
    }
    return wait;
}

// Host bytes leave the input FIFO for the target; the freed room goes back to the holder.
bool SERVER_CORE::feed_target(UART* uart) {
    std::size_t run = 0;
    const char* data = uart->in_fifo.front(&run);
    if (run == 0) return false;
    TARGET* target = m_targets[uart->index];
    long n = target->write(data, run);
    if (n < 0) {
        target_gone(uart, target->lost_text());
        return false;
    }
    uart->in_fifo.consumed(std::size_t(n));
    uart->credit_owed += std::size_t(n);
    return n > 0;
}

// Target output enters the output FIFO only as far as the FIFO has room.
bool SERVER_CORE::drain_target(UART* uart) {
    if (uart->out_fifo.room() == 0) return false;
    std::size_t run = 0;
    char* at = uart->out_fifo.back(&run);
    TARGET* target = m_targets[uart->index];
    long n = target->read(at, run);
    if (n < 0) {
        target_gone(uart, target->lost_text());
        return false;
    }
    uart->out_fifo.produced(std::size_t(n));
    return n > 0;
}

bool SERVER_CORE::send_to_holder(UART* uart) {
    CLIENT_SESSION* holder = m_holders[uart->index];
    if (holder == nullptr || holder->awaiting_target() || holder->queue_full()) return false;
    if (uart->interrupt_pending && holder->send_interrupt()) uart->interrupt_pending = false;
    std::size_t run = 0;
    const char* data = uart->out_fifo.front(&run);
    if (run > holder->credit()) run = std::size_t(holder->credit());
    if (run == 0) return false;
    uart->out_fifo.consumed(holder->send_data(data, run));
    return true;
}

void SERVER_CORE::pump(std::size_t index, SERVER_TIME now) {
    UART* uart = m_board.uarts()[index].get();
    std::size_t fifo = std::min(uart->in_fifo.capacity(), uart->out_fifo.capacity());
    std::size_t rounds = std::max(pump_rounds_least, pump_bytes / std::max<std::size_t>(fifo, 1));
    for (std::size_t round = 0; round < rounds; ++round) {
        bool moved = feed_target(uart);
        moved = drain_target(uart) || moved;
        moved = send_to_holder(uart) || moved;
        if (!moved) break;
    }
    CLIENT_SESSION* holder = m_holders[index];
    // A client whose open is not answered yet gets nothing else before the answer.
    if (holder == nullptr || holder->awaiting_target()) return;
    holder->set_now(now);
    if (uart->credit_owed > 0) {
        holder->send_credit(uart->credit_owed);
        uart->credit_owed = 0;
    }
    if (uart->drop_when_drained && uart->out_fifo.size() == 0 && !uart->interrupt_pending) {
        uart->drop_when_drained = false;
        drop_link(holder, uart->drop_why);
    }
}

void SERVER_CORE::pump_all(SERVER_TIME now) {
    for (std::size_t i = 0; i < m_board.uarts().size(); ++i) pump(i, now);
}

std::string SERVER_CORE::command(const std::string& line, SERVER_TIME now) {
    FAULT fault;
    std::string reply = m_board.command(line, &fault);
    if (fault.kind == FAULT::KIND::none) return reply;
    m_log.line("command: %s", line.c_str());
    for (CLIENT_SESSION* holder : m_holders)
        if (holder != nullptr) holder->set_now(now);
    if (fault.kind == FAULT::KIND::drop) {
        drop_link(m_holders[fault.uart->index], "the link was dropped");
        return reply;
    }
    if (fault.kind == FAULT::KIND::interrupt) {
        fault.uart->interrupt_pending = true;
        return reply;
    }
    for (auto& uart : m_board.uarts()) {
        if (uart->cable != fault.cable) continue;
        TARGET* target = m_targets[uart->index];
        CLIENT_SESSION* holder = m_holders[uart->index];
        if (!fault.on && holder != nullptr)
            drop_link(holder,
                      fault.power ? "the board was powered off" : "the cable was unplugged");
        if (fault.power && fault.on) {
            target->power(true);
            target->start(nullptr);
        }
        if (fault.power && !fault.on) {
            // Switching off resets the board: its programs end and its FIFOs empty.
            target->stop(200);
            target->power(false);
            BOARD::reset(uart.get());
        }
    }
    return reply;
}

void SERVER_CORE::sweep(SERVER_TIME now, const std::function<void(CLIENT_SESSION*)>& closing) {
    for (auto it = m_sessions.begin(); it != m_sessions.end();) {
        CLIENT_SESSION* session = it->get();
        bool late = false;
        const char* why = "";
        bool done = session->done(now, &late, &why);
        if (late) m_log.line("%s: dropped: %s", session->peer().c_str(), why);
        if (done) {
            release(session);
            closing(session);
            it = m_sessions.erase(it);
        } else {
            ++it;
        }
    }
}
