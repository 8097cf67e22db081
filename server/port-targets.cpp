// Targets that are ports of real boards and emulators: serial devices and TCP serial ports.
// Neither is retried in a tight loop: a serial device is opened again only when a client
// opens its JTAG UART, and a connect target is tried at most once a second while it is down.
#include "server/server-state.h"
#include "server/target-port.h"
#include "server/target-program.h"

namespace {

// A connect target that is down is tried again this long after the last attempt began.
constexpr auto retry_interval = std::chrono::seconds(1);
// An attempt that has not been answered by then has failed (a host that drops the request).
constexpr auto connect_timeout = std::chrono::seconds(3);

std::string endpoint(const UART_CONFIG& cfg) {
    return cfg.host + ":" + std::to_string(cfg.port);
}

}  // namespace

std::string SERVER_STATE::lost_text(const UART* uart) const {
    switch (uart->cfg.kind) {
        case TARGET_KIND::program:
            return "the target program ended";
        case TARGET_KIND::serial:
            return "the serial device " + uart->cfg.device + " went away";
        case TARGET_KIND::connect:
            return endpoint(uart->cfg) + " closed the connection";
        default:
            return "the target disconnected";
    }
}

bool SERVER_STATE::open_port(UART* uart, std::string* why) {
    if (uart->read_fd >= 0 || uart->connect_fd >= 0) return true;
    if (uart->cfg.kind == TARGET_KIND::connect) {
        // An open tries at once rather than waiting for the next retry: the emulator may
        // have just come up. The client's own connection paces these attempts.
        start_connect(uart);
        *why = uart->down_why;
        return uart->connect_fd >= 0 || uart->read_fd >= 0;
    }
    int fd = port_open_serial(uart->cfg.device, uart->cfg.baud, why);
    if (fd < 0) {
        if (*why != uart->down_why) log("%s: %s", uart->label().c_str(), why->c_str());
        uart->down_why = *why;
        return false;
    }
    if (!uart->down_why.empty())
        log("%s: %s is back", uart->label().c_str(), uart->cfg.device.c_str());
    uart->down_why.clear();
    uart->read_fd = uart->write_fd = fd;
    uart->readable = uart->writable = false;
    return true;
}

void SERVER_STATE::start_connect(UART* uart) {
    uart->attempt_started = std::chrono::steady_clock::now();
    std::string why;
    uart->connect_fd = port_start_connect(uart->cfg.host, uart->cfg.port, &why);
    if (uart->connect_fd < 0) connect_failed(uart, why);
}

void SERVER_STATE::connect_failed(UART* uart, const std::string& why) {
    target_close(uart->connect_fd);
    uart->connect_fd = -1;
    std::string text = "cannot connect to " + endpoint(uart->cfg) + ": " + why;
    // One line per change, not one per attempt while the other side stays down.
    if (text != uart->down_why) log("%s: %s", uart->label().c_str(), text.c_str());
    uart->down_why = text;
    CLIENT* client = uart->owner;
    if (client != nullptr && client->awaiting_target) refuse_open(client, -5, text);
}

void SERVER_STATE::finish_connect(UART* uart) {
    std::string why;
    if (!port_finish_connect(uart->connect_fd, &why)) {
        connect_failed(uart, why);
        return;
    }
    log("%s: connected to %s", uart->label().c_str(), endpoint(uart->cfg).c_str());
    uart->down_why.clear();
    uart->read_fd = uart->write_fd = uart->connect_fd;
    uart->connect_fd = -1;
    uart->readable = uart->writable = false;
    CLIENT* client = uart->owner;
    if (client != nullptr && client->awaiting_target) answer_open(client);
}

void SERVER_STATE::port_hung_up(UART* uart) {
    if (uart->read_fd >= 0) target_gone(uart, lost_text(uart));
}

void SERVER_STATE::retry_targets() {
    auto now = std::chrono::steady_clock::now();
    for (auto& u : m_uarts) {
        if (u->cfg.kind != TARGET_KIND::connect || !u->cable->powered) continue;
        if (u->connect_fd >= 0 && now - u->attempt_started >= connect_timeout)
            connect_failed(u.get(), "no answer in time");
        else if (u->connect_fd < 0 && u->read_fd < 0 && now - u->attempt_started >= retry_interval)
            start_connect(u.get());
    }
}

int SERVER_STATE::retry_wait_ms() const {
    auto now = std::chrono::steady_clock::now();
    long wait = -1;
    for (const auto& u : m_uarts) {
        if (u->cfg.kind != TARGET_KIND::connect || !u->cable->powered) continue;
        if (u->read_fd >= 0 && u->connect_fd < 0) continue;
        auto due = u->attempt_started + (u->connect_fd >= 0 ? connect_timeout : retry_interval);
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(due - now).count();
        long ms = due <= now ? 0 : long(left) + 1;  // rounded up: never woken a moment early
        if (wait < 0 || ms < wait) wait = ms;
    }
    return int(wait);
}
