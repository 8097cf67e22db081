// server/jtag/jtag-engine.cpp: discovery, the transfer steps and the polling policy.
#include "server/jtag/jtag-engine.h"

#include <algorithm>

namespace {
// A few bad answers in a row mean the cable or the core is gone, not a glitch.
constexpr int bad_answer_limit = 3;

std::string first_line(const std::string& text) {
    std::string line = text.substr(0, text.find('\n'));
    return line.size() > 200 ? line.substr(0, 200) : line;
}
}  // namespace

constexpr std::chrono::milliseconds JTAG_ENGINE::first_pause;
constexpr std::chrono::milliseconds JTAG_ENGINE::idle_pause;
constexpr std::chrono::milliseconds JTAG_ENGINE::presence_pause;
constexpr std::chrono::milliseconds JTAG_ENGINE::reply_limit;

struct JTAG_ENGINE::INSTANCE {
    INSTANCE(int device_, int instance_, unsigned bytes_per_scan)
        : device(device_), instance(instance_), stream(unsigned(instance_), bytes_per_scan) {}
    int device;
    int instance;
    JTAG_UART_STREAM stream;
    bool held = false;
};

JTAG_ENGINE::JTAG_ENGINE() = default;
JTAG_ENGINE::~JTAG_ENGINE() = default;

void JTAG_ENGINE::reset() {
    m_tcl.reset();
    m_devices.clear();
    m_instances.clear();
    m_lost_reason.clear();
    m_bad_answers = 0;
    m_asked = ASKED::nothing;
    m_pause = std::chrono::microseconds(0);
    m_last_scan = time_point();
    m_phase = PHASE::idle;
}

void JTAG_ENGINE::begin(time_point now) {
    reset();
    m_phase = PHASE::discovering;
    m_asked_at = now;
    ask(ASKED::chain, "scan_chain");
}

void JTAG_ENGINE::lose(const std::string& reason) {
    if (m_phase == PHASE::lost) return;
    m_phase = PHASE::lost;
    m_lost_reason = reason;
    m_asked = ASKED::nothing;
}

void JTAG_ENGINE::ask(ASKED what, const std::string& command) {
    m_asked = what;
    m_tcl.send(command);
}

void JTAG_ENGINE::step(time_point now) {
    while (m_phase != PHASE::lost && m_tcl.reply_ready()) handle_reply(m_tcl.take_reply(), now);
    if (m_phase == PHASE::lost) return;
    if (m_asked != ASKED::nothing) {
        if (now - m_asked_at > reply_limit) lose("OpenOCD does not answer");
        return;
    }
    if (m_phase == PHASE::running && now >= next_due()) issue(now);
}

JTAG_ENGINE::time_point JTAG_ENGINE::next_due() const {
    if (m_phase == PHASE::lost || m_phase == PHASE::idle) return time_point::max();
    if (m_asked != ASKED::nothing) return m_asked_at + reply_limit;
    if (m_phase != PHASE::running) return time_point::max();
    if (pick_instance() < 0) return m_last_scan + presence_pause;
    auto pause = std::chrono::duration_cast<clock::duration>(m_pause);
    return m_last_scan + pause;
}

void JTAG_ENGINE::handle_reply(const std::string& reply, time_point now) {
    ASKED asked = m_asked;
    m_asked = ASKED::nothing;
    switch (asked) {
        case ASKED::chain:
            handle_chain(reply);
            break;
        case ASKED::info:
            handle_info(reply);
            break;
        case ASKED::data:
            handle_data(reply);
            break;
        case ASKED::presence:
            handle_presence(reply);
            break;
        case ASKED::nothing:
            lose("OpenOCD sent a reply nobody asked for");
            return;
    }
    if (m_asked != ASKED::nothing) m_asked_at = now;
    if (asked == ASKED::data || asked == ASKED::presence) m_last_scan = now;
}

void JTAG_ENGINE::handle_chain(const std::string& reply) {
    if (!jtag_parse_scan_chain(reply, &m_taps)) {
        lose("OpenOCD did not list its JTAG chain: " + first_line(reply));
        return;
    }
    m_next_tap = 0;
    ask_next_info();
}

// Identifies the cores one TAP at a time. OpenOCD must see an irscan before any drscan.
void JTAG_ENGINE::ask_next_info() {
    while (m_next_tap < m_taps.size() && !jtag_may_be_core(m_taps[m_next_tap])) ++m_next_tap;
    if (m_next_tap == m_taps.size()) {
        m_phase = PHASE::running;
        return;
    }
    const std::string& tap = m_taps[m_next_tap].name;
    ask(ASKED::info, "irscan " + tap + " " + std::to_string(jtag_core_ir_info) + "; drscan " + tap +
                         " " + std::to_string(jtag_core_info_bits) + " 0");
}

void JTAG_ENGINE::handle_info(const std::string& reply) {
    const JTAG_TAP& tap = m_taps[m_next_tap++];
    JTAG_DEVICE device;
    if (jtag_parse_core_info(reply, &device.info)) {
        device.position = tap.position;
        device.tap = tap.name;
        m_devices.push_back(device);
        for (unsigned k = 0; k < device.info.instances; ++k)
            m_instances.emplace_back(
                new INSTANCE(device.position, int(k), device.info.bytes_per_scan));
    }
    ask_next_info();
}

int JTAG_ENGINE::pick_instance() const {
    // Held instances that want a scan come first, in turn; then any held one, in turn.
    std::size_t n = m_instances.size();
    for (int pass = 0; pass < 2; ++pass) {
        for (std::size_t i = 0; i < n; ++i) {
            std::size_t k = (m_round_robin + i) % n;
            const INSTANCE& in = *m_instances[k];
            if (in.held && (pass == 1 || in.stream.wants_scan())) return int(k);
        }
    }
    return -1;
}

void JTAG_ENGINE::issue(time_point now) {
    m_asked_at = now;
    int k = pick_instance();
    if (k < 0) {
        // Nothing held: only check that the chain is still there.
        if (m_devices.empty()) {
            ask(ASKED::chain, "scan_chain");
            m_phase = PHASE::discovering;
            m_devices.clear();
            m_instances.clear();
            return;
        }
        const std::string& tap = m_devices[0].tap;
        ask(ASKED::presence, "irscan " + tap + " " + std::to_string(jtag_core_ir_info) +
                                 "; drscan " + tap + " " + std::to_string(jtag_core_info_bits) +
                                 " 0");
        return;
    }
    INSTANCE& in = *m_instances[std::size_t(k)];
    m_round_robin = std::size_t(k) + 1;
    const JTAG_DEVICE* device = nullptr;
    for (const JTAG_DEVICE& d : m_devices)
        if (d.position == in.device) device = &d;
    std::string command;
    const std::string& tap = device->tap;
    if (device->info.instances > 1)
        command = "irscan " + tap + " " + std::to_string(jtag_core_ir_select) + "; drscan " + tap +
                  " 8 " + std::to_string(in.instance) + "; ";
    command += "irscan " + tap + " " + std::to_string(jtag_core_ir_data) + "; drscan " + tap + " " +
               std::to_string(in.stream.data_bits()) + " " + in.stream.next_scan();
    m_asked_instance = k;
    ask(ASKED::data, command);
    ++m_scans;
}

void JTAG_ENGINE::handle_data(const std::string& reply) {
    INSTANCE& in = *m_instances[std::size_t(m_asked_instance)];
    std::string error;
    if (!in.stream.take_capture(reply, &error)) {
        if (++m_bad_answers >= bad_answer_limit)
            lose("the JTAG cable or the core stopped answering: " + first_line(reply));
        m_pause = std::chrono::microseconds(0);
        return;
    }
    m_bad_answers = 0;
    bool busy = false;
    for (const auto& other : m_instances)
        busy = busy || (other->held && other->stream.wants_scan());
    if (in.stream.moved() || busy) {
        m_pause = std::chrono::microseconds(0);
    } else {
        auto doubled = std::max<std::chrono::microseconds>(m_pause * 2, first_pause);
        m_pause = std::min<std::chrono::microseconds>(doubled, idle_pause);
    }
}

void JTAG_ENGINE::handle_presence(const std::string& reply) {
    JTAG_CORE_INFO info;
    if (!jtag_parse_core_info(reply, &info))
        lose("the JTAG chain no longer answers: " + first_line(reply));
}

JTAG_ENGINE::INSTANCE* JTAG_ENGINE::find(int device, int instance) const {
    for (const auto& in : m_instances)
        if (in->device == device && in->instance == instance) return in.get();
    return nullptr;
}

bool JTAG_ENGINE::hold(int device, int instance, bool held) {
    INSTANCE* in = find(device, instance);
    if (!in) return false;
    in->held = held;
    m_pause = std::chrono::microseconds(0);
    return true;
}

std::size_t JTAG_ENGINE::write(int device, int instance, const char* data, std::size_t size) {
    INSTANCE* in = find(device, instance);
    if (!in) return 0;
    std::size_t n = in->stream.write(data, size);
    if (n > 0) m_pause = std::chrono::microseconds(0);  // a typed key goes out at once
    return n;
}

std::size_t JTAG_ENGINE::write_room(int device, int instance) const {
    INSTANCE* in = find(device, instance);
    return in ? in->stream.write_room() : 0;
}

std::size_t JTAG_ENGINE::read(int device, int instance, char* data, std::size_t size) {
    INSTANCE* in = find(device, instance);
    if (!in) return 0;
    bool was_full = in->stream.readable() == JTAG_UART_STREAM::receive_buffer;
    std::size_t n = in->stream.read(data, size);
    if (was_full && n > 0) m_pause = std::chrono::microseconds(0);
    return n;
}

std::size_t JTAG_ENGINE::readable(int device, int instance) const {
    INSTANCE* in = find(device, instance);
    return in ? in->stream.readable() : 0;
}
