// hw/sim/sim-chip.h: the simulated chip (two JTAG UART cores on one chain), driven pin by pin,
// with each instance's processor side as two byte queues.
#pragma once
#include <cstdint>
#include <deque>
#include <memory>

class Vvarnax_jtag_uart_sim_chain;

// The processor side of one instance: bytes it offers to the host, bytes it took.
struct SIM_PORT {
    std::deque<std::uint8_t> to_host;    // offered one per system clock while the core has room
    std::deque<std::uint8_t> from_host;  // taken one per system clock while accepting
    bool accepting = true;               // false holds the core's input FIFO back (it fills)
};

class SIM_CHIP {
public:
    static constexpr int instances = 3;  // the first core's one, then the second core's two

    SIM_CHIP();
    ~SIM_CHIP();
    SIM_CHIP(const SIM_CHIP&) = delete;
    SIM_CHIP& operator=(const SIM_CHIP&) = delete;

    // Sets the JTAG pins. A change of TCK is an edge: the model runs it together with one edge
    // of the system clock (so the system clock runs at TCK's rate while the host scans).
    void set_pins(bool tck, bool tms, bool tdi);
    void set_trst(bool asserted);
    bool tdo() const;
    // One cycle of the system clock alone, TCK still.
    void tick_sys();
    // Whether a system clock cycle would move a byte (the processor has work).
    bool busy() const;

    SIM_PORT& port(int instance) { return m_ports[instance]; }
    unsigned in_level(int instance) const;  // the core's FIFO levels
    unsigned out_level(int instance) const;

private:
    void prepare_sys_edge();
    void finish_sys_edge();

    std::unique_ptr<Vvarnax_jtag_uart_sim_chain> m_model;
    SIM_PORT m_ports[instances];
    bool m_tck = false;
    bool m_clk = false;
    std::uint8_t m_took_out = 0;  // bits: the byte on offer was taken at this edge
    std::uint8_t m_gave_in = 0;   // bits: a byte comes in at this edge
    std::uint8_t m_in_byte[instances] = {};
};
