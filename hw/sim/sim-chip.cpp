// hw/sim/sim-chip.cpp: the Verilator model of the chip and its processor-side queues.
#include "sim-chip.h"

#include "Vvarnax_jtag_uart_sim_chain.h"

namespace {
// The input queue of a processor that accepts never grows past this: the firmware drains it.
constexpr std::size_t from_host_limit = 4096;
}  // namespace

SIM_CHIP::SIM_CHIP() : m_model(new Vvarnax_jtag_uart_sim_chain) {
    m_model->tck = 0;
    m_model->tms = 1;
    m_model->tdi = 0;
    m_model->trst_n = 1;
    m_model->clk_sys = 0;
    m_model->eval();
}

SIM_CHIP::~SIM_CHIP() {
    m_model->final();
}

void SIM_CHIP::set_pins(bool tck, bool tms, bool tdi) {
    m_model->tms = tms;
    m_model->tdi = tdi;
    if (tck == m_tck) return;
    m_tck = tck;
    m_model->tck = tck;
    if (tck) prepare_sys_edge();
    m_clk = tck;
    m_model->clk_sys = tck;
    m_model->eval();
    if (tck) finish_sys_edge();
}

void SIM_CHIP::set_trst(bool asserted) {
    m_model->trst_n = !asserted;
    m_model->eval();
}

bool SIM_CHIP::tdo() const {
    return m_model->tdo;
}

void SIM_CHIP::tick_sys() {
    if (m_clk) {
        m_clk = false;
        m_model->clk_sys = 0;
        m_model->eval();
    }
    prepare_sys_edge();
    m_model->clk_sys = 1;
    m_model->eval();
    finish_sys_edge();
    m_model->clk_sys = 0;
    m_model->eval();
}

bool SIM_CHIP::busy() const {
    for (int k = 0; k < instances; ++k) {
        const SIM_PORT& p = m_ports[k];
        if (!p.to_host.empty() && ((m_model->out_ready >> k) & 1)) return true;
        if (p.accepting && ((m_model->in_valid >> k) & 1)) return true;
    }
    return false;
}

unsigned SIM_CHIP::in_level(int instance) const {
    return unsigned(m_model->in_level >> (16 * instance)) & 0xFFFF;
}

unsigned SIM_CHIP::out_level(int instance) const {
    return unsigned(m_model->out_level >> (16 * instance)) & 0xFFFF;
}

// The processor's side of the valid/ready handshakes: what it offers and accepts is set before
// the rising edge; what the core offered and could take is read there too, before the edge.
void SIM_CHIP::prepare_sys_edge() {
    std::uint32_t out_data = 0;
    std::uint8_t out_valid = 0;
    std::uint8_t in_ready = 0;
    m_took_out = 0;
    m_gave_in = 0;
    for (int k = 0; k < instances; ++k) {
        SIM_PORT& p = m_ports[k];
        if (!p.to_host.empty()) {
            out_valid |= std::uint8_t(1u << k);
            out_data |= std::uint32_t(p.to_host.front()) << (8 * k);
            if ((m_model->out_ready >> k) & 1) m_took_out |= std::uint8_t(1u << k);
        }
        if (p.accepting && p.from_host.size() < from_host_limit) {
            in_ready |= std::uint8_t(1u << k);
            if ((m_model->in_valid >> k) & 1) {
                m_gave_in |= std::uint8_t(1u << k);
                m_in_byte[k] = std::uint8_t(m_model->in_data >> (8 * k));
            }
        }
    }
    m_model->out_data = out_data;
    m_model->out_valid = out_valid;
    m_model->in_ready = in_ready;
}

void SIM_CHIP::finish_sys_edge() {
    for (int k = 0; k < instances; ++k) {
        if ((m_took_out >> k) & 1) m_ports[k].to_host.pop_front();
        if ((m_gave_in >> k) & 1) m_ports[k].from_host.push_back(m_in_byte[k]);
    }
}
