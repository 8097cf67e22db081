// The JTAG UART core in simulation, driven pin by pin: the TAP, the identification, and the
// data scan's flow control at its edges (full and empty FIFOs, repeated scans, scans that are
// cut short), checked byte for byte against what the processor side sent and took.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "server/jtag/jtag-uart-stream.h"
#include "sim-chip.h"

namespace {

using BITS = std::vector<bool>;
constexpr unsigned bytes_per_scan = 64;
constexpr unsigned data_bits = 1 + 64 + 8 * bytes_per_scan;
constexpr int first_core = 1;  // device numbers as OpenOCD gives them: 0 is nearest TDO
constexpr int second_core = 0;

BITS to_bits(std::uint64_t value, unsigned n) {
    BITS bits(n);
    for (unsigned i = 0; i < n; ++i) bits[i] = (value >> i) & 1;
    return bits;
}

std::uint64_t to_value(const BITS& bits, unsigned from, unsigned n) {
    std::uint64_t v = 0;
    for (unsigned i = 0; i < n; ++i) v |= std::uint64_t(bits[from + i]) << i;
    return v;
}

// The host's half of a data scan, written out field by field.
BITS data_field(std::uint16_t in_pos, const std::string& payload, std::uint16_t out_ack,
                std::uint8_t guard = 0xA5) {
    BITS bits(data_bits, false);
    bits[0] = true;  // the start bit
    std::uint64_t header = in_pos | std::uint64_t(payload.size()) << 16 |
                           std::uint64_t(out_ack) << 24 | std::uint64_t(guard) << 40;
    for (unsigned i = 0; i < 64; ++i) bits[1 + i] = (header >> i) & 1;
    for (std::size_t b = 0; b < payload.size(); ++b)
        for (unsigned i = 0; i < 8; ++i) bits[65 + 8 * b + i] = (std::uint8_t(payload[b]) >> i) & 1;
    return bits;
}

// What the core's capture said.
struct CAPTURE {
    std::uint16_t out_pos, in_ack, room;
    unsigned out_count, instance;
    std::string payload;
};

CAPTURE parse(const BITS& bits) {
    CAPTURE c;
    c.out_pos = std::uint16_t(to_value(bits, 0, 16));
    c.out_count = unsigned(to_value(bits, 16, 8));
    c.in_ack = std::uint16_t(to_value(bits, 24, 16));
    c.room = std::uint16_t(to_value(bits, 40, 16));
    c.instance = unsigned(to_value(bits, 56, 8));
    for (unsigned b = 0; b < c.out_count; ++b) c.payload += char(to_value(bits, 64 + 8 * b, 8));
    return c;
}

class VarnaxJtagUart : public ::testing::Test {
protected:
    // One TCK cycle: TDO is read while TCK is low, TDI and TMS are taken on the rising edge.
    bool clock(bool tms, bool tdi) {
        m_chip.set_pins(false, tms, tdi);
        bool tdo = m_chip.tdo();
        m_chip.set_pins(true, tms, tdi);
        return tdo;
    }
    void reset() {
        for (int i = 0; i < 6; ++i) clock(true, false);
        clock(false, false);  // Run-Test/Idle
    }
    // From Run-Test/Idle through Shift-xR, the bits, Update-xR, back to Run-Test/Idle.
    BITS shift(bool ir, const BITS& in) {
        clock(true, false);
        if (ir) clock(true, false);
        clock(false, false);
        clock(false, false);
        BITS out(in.size());
        for (std::size_t i = 0; i < in.size(); ++i) out[i] = clock(i + 1 == in.size(), in[i]);
        clock(true, false);
        clock(false, false);
        return out;
    }
    // Loads an instruction into each core (the one nearest TDO takes the first bits).
    void instructions(unsigned first, unsigned second) {
        BITS bits = to_bits(second | first << 4, 8);
        shift(true, bits);
    }
    // A data register scan of one core, the other in BYPASS: the bits of the TAP nearest TDO
    // go first and come out first.
    BITS scan(int device, const BITS& field) {
        BITS in;
        if (device == first_core) in.push_back(false);
        in.insert(in.end(), field.begin(), field.end());
        if (device == second_core) in.push_back(false);
        BITS out = shift(false, in);
        std::size_t from = device == first_core ? 1 : 0;
        return BITS(out.begin() + long(from), out.begin() + long(from + field.size()));
    }
    void select(int device, unsigned instance) {
        unsigned select_ir = jtag_core_ir_select, bypass = 15;
        instructions(device == first_core ? select_ir : bypass,
                     device == second_core ? select_ir : bypass);
        scan(device, to_bits(instance, 8));
    }
    void data_instruction(int device) {
        unsigned data = jtag_core_ir_data, bypass = 15;
        instructions(device == first_core ? data : bypass, device == second_core ? data : bypass);
    }
    CAPTURE data_scan(int device, const BITS& field) { return parse(scan(device, field)); }
    void run_processor(int cycles) {
        for (int i = 0; i < cycles; ++i) m_chip.tick_sys();
    }
    std::string taken(int port) {
        SIM_PORT& p = m_chip.port(port);
        std::string s(p.from_host.begin(), p.from_host.end());
        p.from_host.clear();
        return s;
    }

    SIM_CHIP m_chip;
};

TEST_F(VarnaxJtagUart, IdcodesAfterResetAndInformationReadBack) {
    reset();
    BITS out = shift(false, BITS(64, false));
    EXPECT_EQ(to_value(out, 0, 32), 0x256580FFu);  // nearest TDO first
    EXPECT_EQ(to_value(out, 32, 32), 0x156580FFu);
    unsigned info = jtag_core_ir_info;
    instructions(info, info);
    out = shift(false, BITS(128, false));
    JTAG_CORE_INFO second, first;
    ASSERT_TRUE(jtag_parse_core_info(jtag_bytes_to_hex({[&] {
                                         std::vector<std::uint8_t> b(8);
                                         for (int i = 0; i < 8; ++i)
                                             b[i] = std::uint8_t(to_value(out, 8 * i, 8));
                                         return b;
                                     }()}),
                                     &second));
    std::vector<std::uint8_t> b(8);
    for (int i = 0; i < 8; ++i) b[i] = std::uint8_t(to_value(out, 64 + 8 * i, 8));
    ASSERT_TRUE(jtag_parse_core_info(jtag_bytes_to_hex(b), &first));
    EXPECT_EQ(second.instances, 2u);
    EXPECT_EQ(second.in_depth, 128u);
    EXPECT_EQ(first.instances, 1u);
    EXPECT_EQ(first.out_depth, 256u);
    EXPECT_EQ(first.bytes_per_scan, bytes_per_scan);
}

TEST_F(VarnaxJtagUart, IrCapturePatternAndBypassLength) {
    reset();
    BITS out = shift(true, BITS(8, true));  // both to BYPASS
    EXPECT_EQ(to_value(out, 0, 8), 0x11u);  // each IR captures 0001
    BITS pattern = to_bits(0b1011001, 7);
    BITS in = pattern;
    in.insert(in.end(), 2, false);
    out = shift(false, in);
    EXPECT_EQ(to_value(out, 2, 7), 0b1011001u);  // two one-bit registers in the way
}

TEST_F(VarnaxJtagUart, ARepeatedScanDeliversItsBytesOnce) {
    reset();
    data_instruction(first_core);
    CAPTURE c = data_scan(first_core, BITS(data_bits, false));  // a look: no start bit
    BITS field = data_field(c.in_ack, "abc", c.out_pos);
    data_scan(first_core, field);
    c = data_scan(first_core, field);  // the same scan again, as after a cable error
    run_processor(20);
    EXPECT_EQ(taken(0), "abc");
    EXPECT_EQ(c.in_ack, 3);
    // Overlapping: two old bytes and two new ones; only the new ones count.
    data_scan(first_core, data_field(1, "bcde", c.out_pos));
    c = data_scan(first_core, data_field(5, "", c.out_pos));
    run_processor(20);
    EXPECT_EQ(taken(0), "de");
    EXPECT_EQ(c.in_ack, 5);
}

TEST_F(VarnaxJtagUart, AScanCutShortOrUnmarkedChangesNothing) {
    reset();
    data_instruction(first_core);
    m_chip.port(0).to_host.assign({'h', 'i'});
    run_processor(20);
    CAPTURE look = data_scan(first_core, BITS(data_bits, false));
    ASSERT_EQ(look.payload, "hi");
    BITS field = data_field(look.in_ack, "xyz", look.out_pos);
    BITS short_field(field.begin(), field.end() - 1);
    BITS out = scan(first_core, short_field);
    data_scan(first_core, data_field(look.in_ack, "xyz", look.out_pos, 0x00));  // no guard
    CAPTURE c = data_scan(first_core, BITS(data_bits, false));
    run_processor(20);
    EXPECT_EQ(taken(0), "");
    EXPECT_EQ(c.in_ack, look.in_ack);
    EXPECT_EQ(c.out_pos, look.out_pos);  // the banner is shown again: nothing acknowledged
    EXPECT_EQ(c.payload, look.payload);
}

TEST_F(VarnaxJtagUart, TheInputFifoFillsToItsDepthAndNoFurther) {
    reset();
    m_chip.port(0).accepting = false;
    data_instruction(first_core);
    CAPTURE c = data_scan(first_core, BITS(data_bits, false));
    EXPECT_EQ(c.room, 256);
    std::string sent;
    std::uint16_t pos = c.in_ack;
    // The host ignores the room: the core takes what fits and acknowledges only that.
    for (int i = 0; i < 6; ++i) {
        std::string block(64, char('A' + i));
        c = data_scan(first_core, data_field(pos, block, c.out_pos));
        c = data_scan(first_core, data_field(pos, "", c.out_pos));
        pos = c.in_ack;
        run_processor(10);
    }
    // 256 in memory and one on offer to the processor.
    EXPECT_EQ(c.in_ack, 257);
    EXPECT_EQ(c.room, 0);
    EXPECT_EQ(m_chip.in_level(0), 257u);
    m_chip.port(0).accepting = true;
    run_processor(300);
    std::string got = taken(0);
    EXPECT_EQ(got, std::string(64, 'A') + std::string(64, 'B') + std::string(64, 'C') +
                       std::string(64, 'D') + "E");
    c = data_scan(first_core, data_field(pos, "", c.out_pos));
    EXPECT_EQ(c.room, 256);
}

TEST_F(VarnaxJtagUart, TheOutputFifoHoldsBytesUntilTheHostAcknowledgesThem) {
    reset();
    data_instruction(first_core);
    CAPTURE c = data_scan(first_core, BITS(data_bits, false));
    EXPECT_EQ(c.out_count, 0u);  // no firmware here: nothing on offer
    std::uint16_t expect = c.out_pos;
    std::string offered;
    for (int i = 0; i < 300; ++i) offered += char(i);
    m_chip.port(0).to_host.assign(offered.begin(), offered.end());
    run_processor(400);
    EXPECT_EQ(m_chip.out_level(0), 256u);  // full: the processor waits
    EXPECT_EQ(m_chip.port(0).to_host.size(), 44u);
    std::string got;
    for (int i = 0; i < 20 && got.size() < offered.size(); ++i) {
        c = data_scan(first_core, data_field(c.in_ack, "", expect));
        if (std::uint16_t(expect - c.out_pos) < c.out_count) {
            got += c.payload.substr(std::uint16_t(expect - c.out_pos));
            expect = std::uint16_t(c.out_pos + c.out_count);
        }
        run_processor(100);
    }
    EXPECT_EQ(got, offered);
    c = data_scan(first_core, data_field(c.in_ack, "", expect));
    run_processor(20);
    EXPECT_EQ(c.out_count, 0u);  // empty
    EXPECT_EQ(m_chip.out_level(0), 0u);
}

// Back-to-back scans through the host driver's own stream logic, with the processor stalling
// at random and scans cut short or repeated at random: every byte arrives once, in order.
TEST_F(VarnaxJtagUart, StreamsBothWaysThroughLostAndRepeatedScans) {
    reset();
    const int device = second_core;
    const unsigned instance = 1;
    const int port = 2;
    select(device, instance);
    data_instruction(device);
    JTAG_UART_STREAM stream(instance, bytes_per_scan);
    std::mt19937 random(18);
    std::string to_core, to_host, from_host_seen, from_core_seen;
    for (int i = 0; i < 6000; ++i) to_core += char(random());
    for (int i = 0; i < 6000; ++i) to_host += char(random());
    m_chip.port(port).to_host.assign(to_host.begin(), to_host.end());
    std::size_t written = 0;
    std::string last_hex;
    for (int round = 0; round < 3000 && (from_host_seen.size() < to_core.size() ||
                                         from_core_seen.size() < to_host.size());
         ++round) {
        written += stream.write(to_core.data() + written, to_core.size() - written);
        std::string hex = stream.next_scan();
        int fault = int(random() % 10);
        if (fault == 0 && !last_hex.empty()) hex = last_hex;  // a repeat of the scan before
        std::vector<std::uint8_t> bytes;
        ASSERT_TRUE(jtag_hex_to_bytes(hex, data_bits, &bytes));
        BITS field(data_bits);
        for (unsigned b = 0; b < data_bits; ++b) field[b] = (bytes[b / 8] >> (b % 8)) & 1;
        if (fault == 1) field.pop_back();  // cut short: not applied
        BITS out = scan(device, field);
        out.resize(data_bits, false);
        std::vector<std::uint8_t> captured((data_bits + 7) / 8, 0);
        for (unsigned b = 0; b < data_bits; ++b) captured[b / 8] |= std::uint8_t(out[b] << (b % 8));
        std::string error;
        if (fault == 2) {
            stream.take_capture("garbage", &error);  // the answer lost on the way
        } else {
            ASSERT_TRUE(stream.take_capture(jtag_bytes_to_hex(captured), &error)) << error;
        }
        last_hex = hex;
        m_chip.port(port).accepting = random() % 3 != 0;
        run_processor(int(random() % 200));
        from_host_seen += taken(port);
        char buffer[4096];
        from_core_seen.append(buffer, stream.read(buffer, sizeof buffer));
    }
    EXPECT_TRUE(from_host_seen == to_core) << from_host_seen.size() << " of " << to_core.size();
    EXPECT_TRUE(from_core_seen == to_host) << from_core_seen.size() << " of " << to_host.size();
    EXPECT_TRUE(taken(1).empty());  // the other instance of that core saw nothing
}

}  // namespace
