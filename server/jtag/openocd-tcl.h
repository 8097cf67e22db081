// server/jtag/openocd-tcl.h: the client side of OpenOCD's Tcl protocol, as a state machine with
// no I/O of its own: commands go out terminated by 0x1a, replies come back terminated by 0x1a,
// in order. The caller moves the bytes (a socket in a poll loop, or a test).
#pragma once
#include <cstddef>
#include <deque>
#include <string>

class OPENOCD_TCL {
public:
    // Queues a command (a Tcl script: several commands joined by ';' answer with the last).
    void send(const std::string& command);
    // The bytes waiting to go out; sent(n) drops the first n once they are written.
    const std::string& output() const { return m_output; }
    void sent(std::size_t n);
    // Takes bytes from OpenOCD. False when a reply comes that nobody asked for.
    bool received(const char* data, std::size_t size);
    // Replies are taken in the order of the commands.
    bool reply_ready() const { return !m_replies.empty(); }
    std::string take_reply();
    // Commands queued or sent whose reply has not come yet.
    std::size_t waiting() const { return m_waiting; }
    void reset();

private:
    std::string m_output;
    std::string m_partial;  // the reply being received
    std::deque<std::string> m_replies;
    std::size_t m_waiting = 0;
};
