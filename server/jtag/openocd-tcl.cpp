// server/jtag/openocd-tcl.cpp: OpenOCD's Tcl protocol, framing only.
#include "server/jtag/openocd-tcl.h"

namespace {
constexpr char terminator = '\x1a';
// OpenOCD's answers here are a few hundred bytes; anything far longer is not OpenOCD.
constexpr std::size_t reply_limit = 1 << 20;
}  // namespace

void OPENOCD_TCL::send(const std::string& command) {
    m_output += command;
    m_output += terminator;
    ++m_waiting;
}

void OPENOCD_TCL::sent(std::size_t n) {
    m_output.erase(0, n);
}

bool OPENOCD_TCL::received(const char* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] != terminator) {
            m_partial += data[i];
            if (m_partial.size() > reply_limit) return false;
            continue;
        }
        if (m_waiting == 0) return false;
        --m_waiting;
        m_replies.push_back(std::move(m_partial));
        m_partial.clear();
    }
    return true;
}

std::string OPENOCD_TCL::take_reply() {
    std::string reply = std::move(m_replies.front());
    m_replies.pop_front();
    return reply;
}

void OPENOCD_TCL::reset() {
    m_output.clear();
    m_partial.clear();
    m_replies.clear();
    m_waiting = 0;
}
