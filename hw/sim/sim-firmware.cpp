// hw/sim/sim-firmware.cpp: the simulated chip's software.
#include "sim-firmware.h"

#include <cstdio>
#include <cstdlib>

namespace {
constexpr std::size_t offer_limit = 4096;  // bytes kept on offer to the core
}

SIM_FIRMWARE::SIM_FIRMWARE(int device, int instance) {
    char banner[128];
    std::snprintf(banner, sizeof banner,
                  "Varnax JTAG UART simulation ready (device %d, instance %d).\r\n"
                  "Type help and press Enter.\r\n",
                  device, instance);
    m_banner = banner;  // sent by the first run, as a board prints it at power-up
}

bool SIM_FIRMWARE::has_work(const SIM_PORT& port) const {
    return !port.from_host.empty() || (m_flood_left > 0 && port.to_host.size() < offer_limit) ||
           !m_banner.empty();
}

void SIM_FIRMWARE::run(SIM_PORT& port) {
    m_port = &port;
    if (!m_banner.empty()) {
        put(m_banner);
        m_banner.clear();
    }
    while (!port.from_host.empty() && port.to_host.size() < offer_limit) {
        std::uint8_t c = port.from_host.front();
        port.from_host.pop_front();
        take(c);
    }
    refill();
}

void SIM_FIRMWARE::put(const std::string& text) {
    m_port->to_host.insert(m_port->to_host.end(), text.begin(), text.end());
}

void SIM_FIRMWARE::take(std::uint8_t c) {
    if (m_raw_left > 0) {  // raw N: every byte back as it came
        m_port->to_host.push_back(c);
        --m_raw_left;
        return;
    }
    if (c == '\r' || c == '\n') {
        put("\r\n");
        std::string line;
        line.swap(m_line);
        command(line);
    } else if (c == 0x7F || c == 0x08) {
        if (!m_line.empty()) {
            m_line.pop_back();
            put("\b \b");
        }
    } else {
        if (m_line.size() < 200) m_line += char(c);
        m_port->to_host.push_back(c);
    }
}

void SIM_FIRMWARE::command(const std::string& line) {
    if (line == "help") {
        put("commands: help, gmon (profiling data), flood N (N KiB of text), raw N (the next N\r\n"
            "bytes come back unchanged), bye\r\n"
            "gmon wants the terminal's --gmon: without it the profiling bytes, which hold a\r\n"
            "Ctrl-D, end the session.\r\n");
    } else if (line == "gmon") {
        // The marker line, the length (4 bytes, little-endian), the data: as the demo target.
        std::string data;
        for (int i = 0; i < 1000; ++i) data += char((i * 7 + 3) & 0xFF);
        std::string stream = "**gmon.out data follows**\n";
        std::uint32_t n = std::uint32_t(data.size());
        for (int i = 0; i < 4; ++i) stream += char((n >> (8 * i)) & 0xFF);
        put(stream + data + "\r\nprofiling data sent\r\n");
    } else if (line.rfind("flood ", 0) == 0) {
        long kib = std::strtol(line.c_str() + 6, nullptr, 10);
        if (kib <= 0 || kib > 1048576)
            put("flood: give a size from 1 to 1048576 KiB\r\n");
        else
            m_flood_left += std::uint64_t(kib) * 16;
    } else if (line.rfind("raw ", 0) == 0) {
        long n = std::strtol(line.c_str() + 4, nullptr, 10);
        if (n <= 0 || n > (1L << 30))
            put("raw: give a count from 1 to 1073741824\r\n");
        else {
            put("raw " + std::to_string(n) + "\r\n");
            m_raw_left = std::uint64_t(n);
        }
    } else if (line == "bye") {
        put("bye\r\n\x04");
    } else if (!line.empty()) {
        put("unknown command: " + line + "\r\n");
    }
}

// 64 bytes a line, 16 lines a KiB, as the demo target's flood.
void SIM_FIRMWARE::refill() {
    while (m_flood_left > 0 && m_port->to_host.size() < offer_limit) {
        char text[80];
        std::snprintf(text, sizeof text,
                      "flood line %08llu abcdefghijklmnopqrstuvwxyz0123456789ABCDEF\r\n",
                      static_cast<unsigned long long>(m_flood_line++));
        m_port->to_host.insert(m_port->to_host.end(), text, text + 64);
        --m_flood_left;
    }
}
