// The server's logic: open requests, the FIFO model with its back-pressure, fault commands.
#include "server/server-state.h"

#include <cstdarg>
#include <cstdio>

#include "server/target-program.h"

namespace {

// A client's unsent frames stay below this before more target output is framed for it.
constexpr std::size_t client_queue_limit = 65536;
constexpr std::size_t interrupt_size = 10;  // the pattern the client delivers: ten 0xFF bytes
constexpr auto close_grace = std::chrono::seconds(2);
// A connection must have asked for a JTAG UART by then, or it is dropped.
constexpr auto open_timeout = std::chrono::seconds(10);

}  // namespace

void CLIENT::sent(std::size_t n) {
    out_start += n;
    if (out_start == out.size()) {
        out.clear();
        out_start = 0;
        last_data = std::string::npos;
    }
}

std::string UART::label() const {
    return "cable \"" + cable->name + "\" device " + std::to_string(device) + " instance " +
           std::to_string(cfg.instance);
}

std::string UART::quoted_label() const {
    return "\"" + cable->name + "\" " + std::to_string(device) + " " + std::to_string(cfg.instance);
}

SERVER_STATE::SERVER_STATE(const BOARD_CONFIG& config, const SERVER_OPTIONS& options)
    : m_options(options) {
    for (const CABLE_CONFIG& c : config.cables) {
        m_cables.push_back(std::make_unique<CABLE_STATE>(
            CABLE_STATE{c.name, c.plugged, c.powered, c.warning, {}}));
        for (const DEVICE_CONFIG& d : c.devices) {
            m_cables.back()->devices.push_back(d.index);
            for (const UART_CONFIG& u : d.uarts)
                m_uarts.push_back(std::make_unique<UART>(m_cables.back().get(), d.index, u));
        }
    }
}

SERVER_STATE::~SERVER_STATE() {
    for (auto& uart : m_uarts) {
        stop_target(uart.get(), 0);
        target_close(uart->listen_fd);
    }
    for (auto& client : m_clients) target_close(client->fd);
}

void SERVER_STATE::log(const char* format, ...) {
    if (m_options.quiet) return;
    char line[2048];
    std::va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    write_log(config_printable(line));
}

void SERVER_STATE::write_log(const std::string& line) {
    std::fprintf(stderr, "varnax-server: %s\n", line.c_str());
}

void SERVER_STATE::client_gone(CLIENT* client) {
    if (!client->closing && !client->finished) log("%s: disconnected", client->peer.c_str());
    release(client);
    client->finished = true;
}

void SERVER_STATE::sweep_clients(std::chrono::steady_clock::time_point now) {
    for (auto it = m_clients.begin(); it != m_clients.end();) {
        CLIENT* c = it->get();
        // Only a connection that is still there and has never asked can be late asking.
        bool late = !c->finished && !c->closing && !c->open_requested &&
                    now - c->accepted_at > open_timeout;
        if (late) log("%s: dropped: no open request in time", c->peer.c_str());
        if (c->finished || late || (c->closing && now >= c->close_deadline)) {
            release(c);
            target_close(c->fd);
            it = m_clients.erase(it);
        } else {
            ++it;
        }
    }
}

void SERVER_STATE::take_bytes(CLIENT* client, const char* data, std::size_t size) {
    client->decoder.append(data, size);
    std::uint32_t version = 0;
    varnax::FRAME frame;
    while (!client->closing && !client->finished) {
        switch (client->decoder.next(&version, &frame)) {
            case varnax::DECODE::need_more:
                return;
            case varnax::DECODE::error:
                close_client(client, client->decoder.error().c_str());
                return;
            case varnax::DECODE::greeting:
                client->greeted = true;
                // The client learns of the mismatch from our greeting and gives up.
                if (version != m_options.protocol_version)
                    close_client(client, "speaks another protocol version");
                break;
            case varnax::DECODE::frame:
                take_frame(client, frame);
                break;
        }
    }
}

void SERVER_STATE::take_frame(CLIENT* client, const varnax::FRAME& frame) {
    // Credit means the same before the proof of the shared secret as after it.
    if (client->auth.state == CLIENT_AUTH::STATE::asked && frame.type != varnax::msg_credit)
        return take_unproven_frame(client, frame);
    varnax::OPEN_REQUEST request;
    std::uint32_t credit = 0;
    switch (frame.type) {
        case varnax::msg_open:
            if (client->open_requested || !varnax::parse_open(frame, &request)) break;
            client->open_requested = true;
            open(client, request);
            return;
        case varnax::msg_list:
            if (client->uart != nullptr) break;
            list(client);
            return;
        case varnax::msg_credit:
            if (!varnax::parse_credit(frame, &credit)) break;
            client->send_credit += credit;
            if (client->send_credit > 0xFFFFFFFFu) break;
            return;
        case varnax::msg_data:
            // Room for these bytes was promised; more than that is a faulty client.
            if (client->uart == nullptr || frame.size > client->granted) break;
            client->granted -= frame.size;
            client->uart->in_fifo.push(reinterpret_cast<const char*>(frame.payload), frame.size);
            return;
    }
    close_client(client, "sent a message out of place");
}

void SERVER_STATE::close_client(CLIENT* client, const char* why) {
    log("%s: dropped: %s", client->peer.c_str(), why);
    release(client);
    client->closing = true;
    client->close_deadline = std::chrono::steady_clock::now() + close_grace;
}

UART* SERVER_STATE::choose(const varnax::OPEN_REQUEST& request, int* code, std::string* text) {
    std::vector<CABLE_STATE*> cables;
    for (auto& c : m_cables)
        if (!request.has_cable || c->name == request.cable) cables.push_back(c.get());
    if (request.has_cable && cables.empty())
        for (auto& c : m_cables)
            if (c->name.find(request.cable) != std::string::npos) cables.push_back(c.get());
    if (cables.size() != 1) {
        *code = cables.empty() ? -3 : -2;
        for (CABLE_STATE* c : cables) *text += (text->empty() ? "" : ", ") + c->name;
        return nullptr;
    }
    CABLE_STATE* cable = cables[0];
    if (!cable->plugged || !cable->powered) {
        *code = !cable->plugged ? -4 : -5;
        *text = cable->name;
        return nullptr;
    }
    std::vector<UART*> uarts;
    for (auto& u : m_uarts)
        if (u->cable == cable && (request.device < 0 || u->device == request.device) &&
            (request.instance < 0 || u->cfg.instance == request.instance))
            uarts.push_back(u.get());
    if (uarts.size() != 1) {
        *code = uarts.empty() ? -8 : -7;
        return nullptr;
    }
    return uarts[0];
}

void SERVER_STATE::open(CLIENT* client, const varnax::OPEN_REQUEST& request) {
    varnax::OPEN_FAILURE failure;
    UART* uart = choose(request, &failure.code, &failure.text);
    if (uart != nullptr && uart->owner != nullptr) {
        failure.code = -6;
        failure.text = uart->owner->app_name + ", process " + std::to_string(uart->owner->pid);
        uart = nullptr;
    }
    client->app_name = request.app_name;
    client->pid = request.pid;
    if (uart == nullptr) {
        refuse_open(client, failure.code, failure.text);
        return;
    }
    uart->owner = client;
    client->uart = uart;
    std::string why;
    // A board whose port cannot be reached, or whose program cannot start, is to the client a
    // board that is not there; the text says why.
    if (!start_target(uart, &why)) {
        refuse_open(client, -5, why);
        return;
    }
    if (uart->connect_fd >= 0) {
        client->awaiting_target = true;  // answered when the connection is made or fails
        return;
    }
    answer_open(client);
}

void SERVER_STATE::answer_open(CLIENT* client) {
    UART* uart = client->uart;
    client->awaiting_target = false;
    uart->credit_owed = 0;
    uart->drop_when_drained = false;
    client->granted = uart->in_fifo.room();
    varnax::OPEN_REPLY reply;
    reply.cable = uart->cable->name;
    reply.device = uart->device;
    reply.instance = uart->cfg.instance;
    reply.warning = static_cast<std::uint8_t>(uart->cable->warning);
    reply.write_credit = static_cast<std::uint32_t>(client->granted);
    varnax::encode_open_ok(&client->out, reply);
    log("%s: %s, process %u opened %s", client->peer.c_str(),
        config_printable(client->app_name).c_str(), client->pid, uart->label().c_str());
}

// The inventory, as far as a real server could see it: the devices of a cable that is unplugged
// or whose board is off cannot be scanned.
void SERVER_STATE::list(CLIENT* client) {
    for (auto& cable : m_cables) {
        varnax::LIST_CABLE c{cable->name, cable->plugged, cable->powered,
                             static_cast<std::uint8_t>(cable->warning)};
        varnax::encode_list_cable(&client->out, c);
        if (!cable->plugged || !cable->powered) continue;
        for (int device : cable->devices) {
            varnax::encode_list_device(&client->out, device);
            for (auto& u : m_uarts) {
                if (u->cable != cable.get() || u->device != device) continue;
                varnax::LIST_UART entry;
                entry.instance = u->cfg.instance;
                entry.in_use = u->owner != nullptr;
                entry.pid = entry.in_use ? u->owner->pid : 0;
                entry.app_name = entry.in_use ? u->owner->app_name : "";
                varnax::encode_list_uart(&client->out, entry);
            }
        }
    }
    varnax::encode_list_end(&client->out);
    log("%s: listed the cables", client->peer.c_str());
    client->closing = true;
    client->close_deadline = std::chrono::steady_clock::now() + close_grace;
}

void SERVER_STATE::refuse_open(CLIENT* client, int code, const std::string& text) {
    log("%s: open refused (%d) for %s, process %u%s%s", client->peer.c_str(), code,
        config_printable(client->app_name).c_str(), client->pid, text.empty() ? "" : ": ",
        text.c_str());
    release(client);
    client->awaiting_target = false;
    varnax::encode_open_fail(&client->out, varnax::OPEN_FAILURE{code, text});
    client->closing = true;
    client->close_deadline = std::chrono::steady_clock::now() + close_grace;
}

void SERVER_STATE::release(CLIENT* client) {
    if (client->uart == nullptr) return;
    client->uart->owner = nullptr;
    client->uart->interrupt_pending = false;
    client->uart = nullptr;
}

void SERVER_STATE::drop_link(CLIENT* client, const std::string& why) {
    if (client->awaiting_target) {  // the link never came up: the open fails instead
        refuse_open(client, -5, why);
        return;
    }
    log("%s: link dropped: %s", client->peer.c_str(), why.c_str());
    release(client);
    varnax::encode_link_lost(&client->out, why);
    client->closing = true;
    client->close_deadline = std::chrono::steady_clock::now() + close_grace;
}

bool SERVER_STATE::start_target(UART* uart, std::string* why) {
    if (uart->cfg.kind == TARGET_KIND::serial || uart->cfg.kind == TARGET_KIND::connect) {
        std::string ignored;
        return open_port(uart, why != nullptr ? why : &ignored);
    }
    if (uart->cfg.kind != TARGET_KIND::program || uart->read_fd >= 0) return true;
    if (uart->pid > 0) stop_target(uart, 0);  // ended its output but not yet reaped
    TARGET_PROGRAM child;
    std::string failure;
    if (!target_program_start(uart->cfg.argv, &child, &failure)) {
        failure = "cannot start " + uart->cfg.argv[0] + ": " + failure;
        log("%s: %s", uart->label().c_str(), failure.c_str());
        if (why != nullptr) *why = failure;
        return false;
    }
    uart->pid = child.pid;
    uart->read_fd = child.from_child;
    uart->write_fd = child.to_child;
    uart->readable = uart->writable = false;
    return true;
}

void SERVER_STATE::stop_target(UART* uart, int grace_ms) {
    target_close(uart->read_fd);
    if (uart->write_fd != uart->read_fd) target_close(uart->write_fd);
    uart->read_fd = uart->write_fd = -1;
    uart->readable = uart->writable = false;
    target_close(uart->connect_fd);
    uart->connect_fd = -1;
    if (uart->pid > 0) target_program_stop(uart->pid, grace_ms);
    uart->pid = -1;
}

void SERVER_STATE::stop_all_targets(int grace_ms) {
    std::vector<int> pids;
    for (auto& uart : m_uarts) {
        if (uart->pid > 0) pids.push_back(uart->pid);
        uart->pid = -1;
        stop_target(uart.get(), 0);
    }
    target_program_stop_all(pids, grace_ms);
}

void SERVER_STATE::child_ended(int pid) {
    for (auto& uart : m_uarts)
        if (uart->pid == pid) uart->pid = -1;
}

void SERVER_STATE::target_gone(UART* uart, const std::string& why) {
    log("%s: %s", uart->label().c_str(), why.c_str());
    target_close(uart->read_fd);
    if (uart->write_fd != uart->read_fd) target_close(uart->write_fd);
    uart->read_fd = uart->write_fd = -1;
    // Nothing is left to read or write: the loop must not keep coming back for it.
    uart->readable = uart->writable = false;
    if (uart->owner != nullptr) {
        uart->drop_when_drained = true;
        uart->drop_why = why;
    }
}

// Host bytes leave the input FIFO for the target; the freed room goes back to the owner.
bool SERVER_STATE::feed_target(UART* uart) {
    std::size_t run = 0;
    const char* data = uart->in_fifo.front(&run);
    if (run == 0) return false;
    long n = 0;
    if (uart->cfg.kind == TARGET_KIND::echo) {
        n = long(run < uart->out_fifo.room() ? run : uart->out_fifo.room());
        uart->out_fifo.push(data, std::size_t(n));
    } else if (uart->write_fd >= 0 && uart->writable) {
        n = target_write(uart->write_fd, data, run);
        if (n == 0) uart->writable = false;
        if (n < 0) {
            target_gone(uart, lost_text(uart));
            return false;
        }
    }
    uart->in_fifo.consumed(std::size_t(n));
    uart->credit_owed += std::size_t(n);
    return n > 0;
}

// Target output enters the output FIFO only as far as the FIFO has room.
bool SERVER_STATE::drain_target(UART* uart) {
    if (uart->read_fd < 0 || !uart->readable || uart->out_fifo.room() == 0) return false;
    std::size_t run = 0;
    char* at = uart->out_fifo.back(&run);
    long n = target_read(uart->read_fd, at, run);
    if (n == 0) uart->readable = false;
    if (n < 0) {
        target_gone(uart, lost_text(uart));
        return false;
    }
    uart->out_fifo.produced(std::size_t(n));
    return n > 0;
}

bool SERVER_STATE::send_to_owner(UART* uart) {
    CLIENT* client = uart->owner;
    if (client == nullptr || client->awaiting_target || client->queued() >= client_queue_limit)
        return false;
    if (uart->interrupt_pending && client->send_credit >= interrupt_size) {
        varnax::encode_interrupt(&client->out);
        client->last_data = std::string::npos;
        client->send_credit -= interrupt_size;
        uart->interrupt_pending = false;
    }
    std::size_t run = 0;
    const char* data = uart->out_fifo.front(&run);
    if (run > client->send_credit) run = std::size_t(client->send_credit);
    if (run == 0) return false;
    append_data(client, data, run);
    client->send_credit -= run;
    uart->out_fifo.consumed(run);
    return true;
}

// Adds to the last queued data frame while it has room, so a fast target costs few frames.
void SERVER_STATE::append_data(CLIENT* client, const char* data, std::size_t size) {
    if (client->last_data != std::string::npos && client->last_data >= client->out_start) {
        unsigned char* header = reinterpret_cast<unsigned char*>(&client->out[client->last_data]);
        std::size_t have = std::size_t(header[2]) | std::size_t(header[3]) << 8;
        std::size_t add = varnax::max_payload - have < size ? varnax::max_payload - have : size;
        if (add > 0 && client->last_data + varnax::header_size + have == client->out.size()) {
            header[2] = static_cast<unsigned char>((have + add) & 0xFF);
            header[3] = static_cast<unsigned char>((have + add) >> 8);
            client->out.append(data, add);
            data += add;
            size -= add;
        }
    }
    // The rest goes into new frames, none longer than the client accepts.
    while (size > 0) {
        std::size_t chunk = size < varnax::max_payload ? size : varnax::max_payload;
        client->last_data = client->out.size();
        varnax::encode_data(&client->out, data, chunk);
        data += chunk;
        size -= chunk;
    }
}

void SERVER_STATE::pump(UART* uart) {
    for (int round = 0; round < 64; ++round) {
        bool moved = feed_target(uart);
        moved = drain_target(uart) || moved;
        moved = send_to_owner(uart) || moved;
        if (!moved) break;
    }
    CLIENT* owner = uart->owner;
    // A client whose open is not answered yet gets nothing else before the answer.
    if (owner == nullptr || owner->awaiting_target) return;
    if (uart->credit_owed > 0) {
        varnax::encode_credit(&owner->out, static_cast<std::uint32_t>(uart->credit_owed));
        owner->last_data = std::string::npos;
        owner->granted += uart->credit_owed;
        uart->credit_owed = 0;
    }
    if (uart->drop_when_drained && uart->out_fifo.size() == 0 && !uart->interrupt_pending) {
        uart->drop_when_drained = false;
        drop_link(owner, uart->drop_why);
    }
}
