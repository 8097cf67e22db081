// server/jtag/jtag-uart-stream.cpp: the host's half of the data scan.
#include "server/jtag/jtag-uart-stream.h"

#include <algorithm>

namespace {

constexpr std::uint32_t core_magic = 0x56584A55;
constexpr std::uint8_t guard = 0xA5;  // marks a scan the core is to act on

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::uint16_t get16(const std::vector<std::uint8_t>& b, std::size_t at) {
    return std::uint16_t(b[at] | (b[at + 1] << 8));
}

void put16(std::vector<std::uint8_t>* b, std::size_t at, std::uint16_t v) {
    (*b)[at] = std::uint8_t(v);
    (*b)[at + 1] = std::uint8_t(v >> 8);
}

}  // namespace

bool jtag_hex_to_bytes(const std::string& text, std::size_t bits,
                       std::vector<std::uint8_t>* bytes) {
    std::size_t begin = text.find_first_not_of(" \t\r\n");
    std::size_t end = text.find_last_not_of(" \t\r\n");
    if (begin == std::string::npos) return false;
    std::string hex = text.substr(begin, end - begin + 1);
    if (hex.size() > 2 && hex[0] == '0' && (hex[1] == 'x' || hex[1] == 'X')) hex.erase(0, 2);
    std::size_t digits = 2 * ((bits + 7) / 8);  // OpenOCD shows whole bytes
    if (hex.empty() || hex.size() > digits) return false;
    bytes->assign((bits + 7) / 8, 0);
    for (std::size_t i = 0; i < hex.size(); ++i) {
        int d = hex_digit(hex[hex.size() - 1 - i]);  // i counts digits from the least significant
        if (d < 0) return false;
        (*bytes)[i / 2] |= std::uint8_t(d << (4 * (i % 2)));
    }
    return true;
}

std::string jtag_bytes_to_hex(const std::vector<std::uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex = "0x";
    for (std::size_t i = bytes.size(); i-- > 0;) {
        hex += digits[bytes[i] >> 4];
        hex += digits[bytes[i] & 15];
    }
    return hex;
}

bool jtag_parse_core_info(const std::string& hex, JTAG_CORE_INFO* info) {
    std::vector<std::uint8_t> b;
    if (!jtag_hex_to_bytes(hex, jtag_core_info_bits, &b)) return false;
    std::uint32_t magic = std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 |
                          std::uint32_t(b[2]) << 16 | std::uint32_t(b[3]) << 24;
    if (magic != core_magic) return false;
    info->version = b[4];
    info->instances = b[5];
    info->bytes_per_scan = b[6];
    unsigned in_log2 = b[7] & 15;
    unsigned out_log2 = b[7] >> 4;
    info->in_depth = 1u << in_log2;
    info->out_depth = 1u << out_log2;
    return info->version == 1 && info->instances > 0 && info->bytes_per_scan > 0;
}

JTAG_UART_STREAM::JTAG_UART_STREAM(unsigned instance, unsigned bytes_per_scan)
    : m_instance(instance), m_bytes_per_scan(bytes_per_scan) {}

std::size_t JTAG_UART_STREAM::write(const char* data, std::size_t size) {
    std::size_t n = std::min(size, write_room());
    m_unacked.insert(m_unacked.end(), data, data + n);
    return n;
}

std::size_t JTAG_UART_STREAM::read(char* data, std::size_t size) {
    std::size_t n = std::min(size, m_received.size());
    std::copy(m_received.begin(), m_received.begin() + std::ptrdiff_t(n), data);
    m_received.erase(m_received.begin(), m_received.begin() + std::ptrdiff_t(n));
    return n;
}

bool JTAG_UART_STREAM::wants_scan() const {
    std::uint16_t in_flight = std::uint16_t(m_in_next - m_in_acked);
    bool bytes_wait = m_unacked.size() > in_flight && m_room > in_flight;
    return !m_synced || bytes_wait || (m_core_has_more && m_received.size() < receive_buffer);
}

std::string JTAG_UART_STREAM::next_scan() {
    std::vector<std::uint8_t> scan(8 + m_bytes_per_scan, 0);
    if (m_synced) {
        // The room was measured before the last scan's bytes went in: those may have taken it.
        std::uint16_t start = m_in_next;
        std::size_t offset = std::uint16_t(start - m_in_acked);
        std::size_t waiting = m_unacked.size() > offset ? m_unacked.size() - offset : 0;
        std::size_t room = m_room > offset ? m_room - offset : 0;
        std::size_t count = std::min({std::size_t(m_bytes_per_scan), waiting, room});
        for (std::size_t i = 0; i < count; ++i) scan[8 + i] = m_unacked[offset + i];
        put16(&scan, 0, start);
        scan[2] = std::uint8_t(count);
        put16(&scan, 3, m_out_expect);
        scan[5] = guard;
        m_in_next = std::uint16_t(start + count);
    }
    m_end_before = m_end_last;
    m_end_last = m_in_next;
    // The start bit goes first; a look has none, so the core does not even read it.
    std::vector<std::uint8_t> bits(scan.size() + 1, 0);
    if (m_synced) {
        bits[0] = 1;
        for (std::size_t i = 0; i < scan.size(); ++i) {
            bits[i] |= std::uint8_t(scan[i] << 1);
            bits[i + 1] |= std::uint8_t(scan[i] >> 7);
        }
    }
    return jtag_bytes_to_hex(bits);
}

bool JTAG_UART_STREAM::take_capture(const std::string& hex, std::string* error) {
    m_moved = false;
    std::vector<std::uint8_t> b;
    if (!jtag_hex_to_bytes(hex, data_bits(), &b)) {
        *error = "not a data scan: " + hex.substr(0, 80);
        m_synced = false;
        return false;
    }
    std::uint16_t out_pos = get16(b, 0);
    unsigned out_count = b[2];
    std::uint16_t in_ack = get16(b, 3);
    std::uint16_t room = get16(b, 5);
    unsigned instance = b[7];
    std::uint16_t in_flight = std::uint16_t(m_in_next - m_in_acked);
    std::uint16_t acked_now = std::uint16_t(in_ack - m_in_acked);
    if (instance != m_instance || out_count > m_bytes_per_scan ||
        (m_synced && acked_now > in_flight)) {
        *error = "the core's answer does not fit (instance " + std::to_string(instance) + ", " +
                 std::to_string(out_count) + " bytes)";
        m_synced = false;
        return false;
    }
    if (!m_synced) {
        // A look. The first one takes the core's positions as they are; after an error the
        // host keeps its own and counts what the core took meanwhile.
        if (!m_ever_synced || acked_now > in_flight) acked_now = 0;
        if (!m_ever_synced) m_out_expect = out_pos;
        m_synced = m_ever_synced = true;
        m_in_next = m_end_last = in_ack;
    }
    // Host to core.
    m_unacked.erase(m_unacked.begin(), m_unacked.begin() + acked_now);
    m_total_acked += acked_now;
    m_in_acked = in_ack;
    // The capture shows the core after the scan before the last one: short of where that
    // scan should have brought it, its bytes go again.
    if (in_ack != m_end_before) m_in_next = in_ack;
    if (std::uint16_t(m_in_next - m_in_acked) > m_unacked.size()) m_in_next = m_in_acked;
    m_room = room;
    // Core to host: the bytes from the first one the host lacks, as many as it has room for.
    std::uint16_t skip = std::uint16_t(m_out_expect - out_pos);
    std::size_t taken = 0;
    if (skip < out_count) {
        std::size_t space = receive_buffer - m_received.size();
        taken = std::min<std::size_t>(out_count - skip, space);
        m_received.insert(m_received.end(), b.begin() + 8 + skip,
                          b.begin() + 8 + skip + long(taken));
        m_out_expect = std::uint16_t(m_out_expect + taken);
        m_total_received += taken;
    }
    m_core_has_more = out_count == m_bytes_per_scan;
    m_moved = taken > 0 || acked_now > 0;
    return true;
}
