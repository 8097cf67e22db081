// server/jtag/jtag-uart-stream.h: the host's half of the core's data scan for one instance:
// which bytes go out in the next scan, and what a capture brings back. Pure logic: the scans
// themselves are text for OpenOCD's drscan.
//
// Each direction is a byte stream with 16-bit positions. The host sends bytes from a position
// and never more than the room the core reported, less what may still be on its way; the core
// acknowledges the position it has reached. The core shows its bytes from a position; the
// host acknowledges what it holds. Either side that sees a position it did not expect goes
// back to the last one acknowledged, so a scan that was lost, cut short or repeated neither
// loses nor duplicates a byte.
#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

// What the core's identification register says.
struct JTAG_CORE_INFO {
    unsigned version = 0;
    unsigned instances = 0;
    unsigned bytes_per_scan = 0;
    unsigned in_depth = 0;   // host-to-processor FIFO, bytes
    unsigned out_depth = 0;  // processor-to-host FIFO
};

// The core's instructions and register lengths.
constexpr unsigned jtag_core_ir_info = 2;
constexpr unsigned jtag_core_ir_select = 3;
constexpr unsigned jtag_core_ir_data = 4;
constexpr unsigned jtag_core_info_bits = 64;
constexpr unsigned jtag_core_header_bits = 64;

// Reads drscan's answer for the identification register. False when it is not a core's.
bool jtag_parse_core_info(const std::string& hex, JTAG_CORE_INFO* info);
// drscan's answer (hex, most significant digit first) as bytes, least significant first.
// False when it is not hex of that many bits.
bool jtag_hex_to_bytes(const std::string& hex, std::size_t bits, std::vector<std::uint8_t>* bytes);
// Bytes, least significant first, as a drscan value ("0x" and hex).
std::string jtag_bytes_to_hex(const std::vector<std::uint8_t>& bytes);

class JTAG_UART_STREAM {
public:
    // Host-side buffers: bytes waiting for the core, and bytes from it not read yet.
    static constexpr std::size_t send_buffer = 65536;
    static constexpr std::size_t receive_buffer = 65536;

    JTAG_UART_STREAM(unsigned instance, unsigned bytes_per_scan);

    // The data register: the host's start bit, then the header and the payload.
    unsigned data_bits() const { return 1 + jtag_core_header_bits + 8 * m_bytes_per_scan; }
    // The drscan value of the next scan. The first scan after a start or an error only looks:
    // it learns where both streams stand and changes nothing in the core.
    std::string next_scan();
    // Takes the drscan answer of the scan last made. False (with *error) when the answer is not
    // a capture of this instance; the next scan then starts over with a look.
    bool take_capture(const std::string& hex, std::string* error);

    // Bytes for the core: takes what fits in the host's buffer.
    std::size_t write(const char* data, std::size_t size);
    std::size_t write_room() const { return send_buffer - m_unacked.size(); }
    // Bytes from the core.
    std::size_t read(char* data, std::size_t size);
    std::size_t readable() const { return m_received.size(); }

    // Whether the last scan moved bytes either way, and whether another would (bytes wait
    // for the core and it has room, or the core showed a full scan of bytes).
    bool moved() const { return m_moved; }
    bool wants_scan() const;
    // Counters for tests and benchmarks.
    std::uint64_t bytes_sent() const { return m_total_acked; }
    std::uint64_t bytes_received() const { return m_total_received; }

private:
    unsigned m_instance;
    unsigned m_bytes_per_scan;
    bool m_synced = false;
    bool m_ever_synced = false;
    // Host to core.
    std::deque<std::uint8_t> m_unacked;  // from position m_in_acked on: sent or not yet
    std::uint16_t m_in_acked = 0;
    std::uint16_t m_in_next = 0;     // the next position to send
    std::uint16_t m_end_before = 0;  // where the core should be once the scan before the
    std::uint16_t m_end_last = 0;    //   last one is applied; and after the last one
    std::uint16_t m_room = 0;
    // Core to host.
    std::deque<std::uint8_t> m_received;
    std::uint16_t m_out_expect = 0;
    bool m_core_has_more = false;
    bool m_moved = false;
    std::uint64_t m_total_acked = 0;
    std::uint64_t m_total_received = 0;
};
