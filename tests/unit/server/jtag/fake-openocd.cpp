// tests/unit/server/jtag/fake-openocd.cpp: OpenOCD's Tcl server and a modelled chain.
#include "tests/unit/server/jtag/fake-openocd.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "server/jtag/jtag-uart-stream.h"

void FAKE_OPENOCD::add_core(const std::string& name, unsigned instances, std::uint32_t idcode) {
    auto t = std::make_unique<FAKE_TAP>();
    t->name = name;
    t->idcode = idcode;
    t->core = true;
    t->instances = instances;
    t->uarts.resize(instances);
    m_taps.push_back(std::move(t));
}

void FAKE_OPENOCD::add_foreign(const std::string& name, std::uint32_t idcode, unsigned ir_length) {
    auto t = std::make_unique<FAKE_TAP>();
    t->name = name;
    t->idcode = idcode;
    t->ir_length = ir_length;
    m_taps.push_back(std::move(t));
}

FAKE_TAP& FAKE_OPENOCD::tap(const std::string& name) {
    for (auto& t : m_taps)
        if (t->name == name) return *t;
    return *m_taps.front();
}

void FAKE_OPENOCD::feed(const std::string& bytes) {
    for (char c : bytes) {
        if (c != '\x1a') {
            m_partial += c;
            continue;
        }
        m_output += run(m_partial);
        m_output += '\x1a';
        m_partial.clear();
    }
}

std::string FAKE_OPENOCD::take_output() {
    std::string out;
    out.swap(m_output);
    return out;
}

void FAKE_OPENOCD::run_processors() {
    for (auto& t : m_taps)
        for (FAKE_CORE_INSTANCE& u : t->uarts)
            while (!u.in_fifo.empty() && (!u.echo || u.out_fifo.size() < t->depth)) {
                u.taken += char(u.in_fifo.front());
                if (u.echo) u.out_fifo.push_back(u.in_fifo.front());
                u.in_fifo.pop_front();
            }
}

std::string FAKE_OPENOCD::run(const std::string& script) {
    std::string result;
    std::istringstream commands(script);
    std::string command;
    while (std::getline(commands, command, ';')) {
        std::istringstream in(command);
        std::vector<std::string> words;
        std::string w;
        while (in >> w) words.push_back(w);
        if (!words.empty()) result = run_one(words);
    }
    return result;
}

std::string FAKE_OPENOCD::run_one(const std::vector<std::string>& words) {
    if (words[0] == "scan_chain") {
        std::string table =
            "   TapName             Enabled  IdCode     Expected   IrLen IrCap IrMask\n"
            "-- ------------------- -------- ---------- ---------- ----- ----- ------\n";
        for (std::size_t i = 0; i < m_taps.size(); ++i) {
            char row[160];
            std::snprintf(row, sizeof row, "%2zu %-19s    Y     0x%08x 0x00000000 %5u 0x01  0x03\n",
                          i, m_taps[i]->name.c_str(), m_taps[i]->idcode, m_taps[i]->ir_length);
            table += row;
        }
        return table;
    }
    if (words.size() < 3) return "invalid command name \"" + words[0] + "\"";
    FAKE_TAP& t = tap(words[1]);
    std::string joined;
    for (const std::string& w : words) joined += w + " ";
    t.commands.push_back(joined);
    if (words[0] == "irscan") {
        t.ir = unsigned(std::stoul(words[2], nullptr, 0));
        return "";
    }
    if (words[0] != "drscan" || words.size() < 4) return "invalid command";
    if (cable_gone) return "drscan: jtag execute failed";
    unsigned bits = unsigned(std::stoul(words[2]));
    std::vector<std::uint8_t> in;
    if (!jtag_hex_to_bytes(words[3], bits, &in)) in.assign((bits + 7) / 8, 0);
    std::vector<std::uint8_t> out((bits + 7) / 8, 0);
    if (t.core && t.ir == 2 && bits == 64) {
        std::uint8_t info[8] = {
            0x55, 0x4A, 0x58, 0x56, 1, std::uint8_t(t.instances), std::uint8_t(t.bytes_per_scan),
            0x88};
        std::copy(info, info + 8, out.begin());
    } else if (t.core && t.ir == 3 && bits == 8) {
        out[0] = std::uint8_t(t.selected);
        if (in[0] < t.instances) t.selected = in[0];
    } else if (t.core && t.ir == 4 && bits == 1 + 64 + 8 * t.bytes_per_scan) {
        std::string hex = data_scan(t, in);
        if (garble_every && data_scans % unsigned(garble_every) == 0) return "garbled";
        return hex;
    } else if (t.core && t.ir == 1 && bits == 32) {
        for (int i = 0; i < 4; ++i) out[std::size_t(i)] = std::uint8_t(t.idcode >> (8 * i));
    }
    return jtag_bytes_to_hex(out).substr(2);
}

// The core's rules (hw/varnax_jtag_uart_channel.v), at Capture-DR and then at Update-DR.
std::string FAKE_OPENOCD::data_scan(FAKE_TAP& t, const std::vector<std::uint8_t>& in) {
    ++data_scans;
    FAKE_CORE_INSTANCE& u = t.uarts[t.selected];
    unsigned n = t.bytes_per_scan;
    // Capture.
    unsigned avail = unsigned(std::uint16_t(u.out_commit + u.out_fifo.size() - u.out_spec));
    unsigned count = std::min(avail, n);
    unsigned room = unsigned(t.depth - u.in_fifo.size());
    std::vector<std::uint8_t> out(8 + n + 1, 0);
    out[0] = std::uint8_t(u.out_spec);
    out[1] = std::uint8_t(u.out_spec >> 8);
    out[2] = std::uint8_t(count);
    out[3] = std::uint8_t(u.in_wr);
    out[4] = std::uint8_t(u.in_wr >> 8);
    out[5] = std::uint8_t(room);
    out[6] = std::uint8_t(room >> 8);
    out[7] = std::uint8_t(t.selected);
    std::size_t skip = std::uint16_t(u.out_spec - u.out_commit);
    for (unsigned i = 0; i < count; ++i) out[8 + i] = u.out_fifo[skip + i];
    u.cap_pos = u.out_spec;
    u.cap_count = count;
    u.free_cap = room;
    u.shown_before = u.out_shown;
    std::uint16_t end = std::uint16_t(u.out_spec + count);
    if (std::uint16_t(end - u.out_commit) > std::uint16_t(u.out_shown - u.out_commit))
        u.out_shown = end;
    // Update: only with the start bit and the guard, and not when the fault strikes.
    m_random = m_random * 1103515245 + 12345;
    bool lost = lose_update_one_in && (m_random >> 16) % unsigned(lose_update_one_in) == 0;
    std::vector<std::uint8_t> field(8 + n, 0);  // the host's bits after the start bit
    for (std::size_t i = 0; i < field.size(); ++i)
        field[i] = std::uint8_t((in[i] >> 1) | (i + 1 < in.size() ? in[i + 1] << 7 : 0));
    unsigned in_count = field[2];
    if (!lost && (in[0] & 1) && field[5] == 0xA5 && in_count <= n) {
        std::uint16_t in_pos = std::uint16_t(field[0] | field[1] << 8);
        std::uint16_t ack = std::uint16_t(field[3] | field[4] << 8);
        std::uint16_t behind = std::uint16_t(u.in_wr - in_pos);
        if (behind <= in_count) {
            unsigned take = std::min(in_count - behind, u.free_cap);
            for (unsigned i = 0; i < take; ++i) u.in_fifo.push_back(field[8 + behind + i]);
            u.in_wr = std::uint16_t(u.in_wr + take);
        }
        if (std::uint16_t(ack - u.out_commit) <= std::uint16_t(u.shown_before - u.out_commit)) {
            u.out_fifo.erase(u.out_fifo.begin(),
                             u.out_fifo.begin() + std::uint16_t(ack - u.out_commit));
            u.out_commit = ack;
            u.out_spec = std::uint16_t(ack - u.cap_pos) <= u.cap_count
                             ? std::uint16_t(u.cap_pos + u.cap_count)
                             : ack;
        } else {
            u.out_spec = u.out_commit;
        }
    }
    return jtag_bytes_to_hex(out).substr(2);
}
