// server/jtag/jtag-host.cpp: the engine wired to the Tcl socket and the OpenOCD child.
#include "server/jtag/jtag-host.h"

#include <algorithm>

#include "server/jtag/openocd-process.h"
#include "server/jtag/openocd-socket.h"

namespace {
using clock = std::chrono::steady_clock;
// While OpenOCD starts, its Tcl port refuses connections: try again this often.
constexpr std::chrono::milliseconds connect_retry{50};

bool split_address(const std::string& address, std::string* host, std::uint16_t* port) {
    std::size_t colon = address.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    std::string digits = address.substr(colon + 1);
    if (digits.empty() || digits.size() > 5 ||
        digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    unsigned long value = std::stoul(digits);
    if (value == 0 || value > 65535) return false;
    *host = address.substr(0, colon);
    *port = std::uint16_t(value);
    return true;
}
}  // namespace

JTAG_HOST::JTAG_HOST(JTAG_HOST_SETTINGS settings) : m_settings(std::move(settings)) {}

JTAG_HOST::~JTAG_HOST() {
    stop();
}

bool JTAG_HOST::start(std::string* error) {
    stop();
    m_lost_reason.clear();
    if (m_settings.tcl_address.empty()) {
        m_host = "127.0.0.1";
        m_port = openocd_free_port(error);
        if (m_port == 0) return false;
        // Our settings come first: a configuration that ends in "init" would be too late for
        // them. Loopback only, and no ports but the Tcl one. At its default level OpenOCD logs
        // the result of every command: only warnings and errors, which explain an ending.
        std::vector<std::string> args = {"-c", "debug_level 1",
                                         "-c", "bindto 127.0.0.1",
                                         "-c", "tcl_port " + std::to_string(m_port),
                                         "-c", "gdb_port disabled",
                                         "-c", "telnet_port disabled"};
        for (const std::string& file : m_settings.config_files) {
            args.push_back("-f");
            args.push_back(file);
        }
        m_process = openocd_process_start(m_settings.openocd_program, args, error);
        if (!m_process) return false;
    } else if (!split_address(m_settings.tcl_address, &m_host, &m_port)) {
        *error = "not a HOST:PORT address: " + m_settings.tcl_address;
        return false;
    }
    m_started = true;
    m_start_deadline = clock::now() + m_settings.start_limit;
    m_retry_at = clock::now();
    return true;
}

void JTAG_HOST::stop() {
    openocd_socket_close(m_fd);
    m_fd = -1;
    m_connecting = false;
    openocd_process_stop(m_process);
    m_process = nullptr;
    m_started = false;
    m_engine.reset();
}

JTAG_HOST::STATE JTAG_HOST::state() const {
    if (!m_started) return STATE::stopped;
    if (!m_lost_reason.empty()) return STATE::lost;
    if (m_fd < 0 || m_connecting) return STATE::starting;
    switch (m_engine.phase()) {
        case JTAG_ENGINE::PHASE::running:
            return STATE::ready;
        case JTAG_ENGINE::PHASE::lost:
            return STATE::lost;
        default:
            return STATE::discovering;
    }
}

void JTAG_HOST::fail(const std::string& reason) {
    if (m_lost_reason.empty()) m_lost_reason = reason;
    m_engine.lose(reason);
    openocd_socket_close(m_fd);
    m_fd = -1;
    m_connecting = false;
}

std::vector<JTAG_POLL_FD> JTAG_HOST::poll_fds() const {
    std::vector<JTAG_POLL_FD> fds;
    // After a loss nothing is waited for (the OpenOCD we started may still print): the caller
    // stops and starts again.
    if (state() == STATE::lost) return fds;
    if (m_fd >= 0)
        fds.push_back({m_fd, !m_connecting, m_connecting || !m_engine.tcl().output().empty()});
    int out = openocd_process_output_fd(m_process);
    if (out >= 0) fds.push_back({out, true, false});
    return fds;
}

int JTAG_HOST::timeout_ms() const {
    if (!m_started || state() == STATE::lost) return -1;
    // A reply read in with the bytes after the last scan was issued wakes nothing: it is
    // handled at once.
    if (m_engine.tcl().reply_ready()) return 0;
    clock::time_point due = m_engine.next_due();
    if (m_fd < 0) due = m_retry_at;
    // A child we started is looked at now and then even when it prints nothing.
    if (m_process) due = std::min(due, clock::now() + std::chrono::milliseconds(200));
    if (due == clock::time_point::max()) return -1;
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(due - clock::now()).count();
    return left <= 0 ? 0 : int((left + 999) / 1000);
}

bool JTAG_HOST::begin_connect(std::string* error) {
    m_fd = openocd_socket_connect(m_host, m_port, error);
    m_connecting = m_fd >= 0;
    return m_fd >= 0;
}

void JTAG_HOST::check_process() {
    if (!m_process) return;
    openocd_process_drain(m_process);
    std::string why;
    if (openocd_process_ended(m_process, &why)) fail(why);
}

void JTAG_HOST::process() {
    if (!m_started || state() == STATE::lost) return;
    check_process();
    if (state() == STATE::lost) return;
    clock::time_point now = clock::now();
    std::string error;
    if (m_fd < 0) {
        if (now < m_retry_at) return;
        if (!begin_connect(&error)) {
            fail(error);
            return;
        }
    }
    if (m_connecting) {
        // The connection is finished once the socket is writable; a refusal while the OpenOCD we
        // started comes up means "try again".
        int connected = openocd_socket_connected(m_fd, &error);
        if (connected == 0) return;
        if (connected < 0) {
            openocd_socket_close(m_fd);
            m_fd = -1;
            m_connecting = false;
            if (now > m_start_deadline ||
                (!m_process && error.find("refused") == std::string::npos))
                fail(error);
            m_retry_at = now + connect_retry;
            return;
        }
        m_connecting = false;
        m_engine.begin(now);
    }
    move_bytes();
    m_engine.step(clock::now());
    move_bytes();
    if (m_engine.phase() == JTAG_ENGINE::PHASE::lost) fail(m_engine.lost_reason());
}

void JTAG_HOST::move_bytes() {
    if (m_fd < 0) return;
    std::string error;
    OPENOCD_TCL& tcl = m_engine.tcl();
    while (!tcl.output().empty()) {
        long n = openocd_socket_send(m_fd, tcl.output().data(), tcl.output().size(), &error);
        if (n < 0) return fail(error);
        if (n == 0) break;
        tcl.sent(std::size_t(n));
    }
    char buffer[16384];
    for (;;) {
        long n = openocd_socket_receive(m_fd, buffer, sizeof buffer, &error);
        if (n < 0) return fail(error);
        if (n == 0) break;
        if (!tcl.received(buffer, std::size_t(n)))
            return fail("OpenOCD sent a reply nobody asked for");
    }
}
