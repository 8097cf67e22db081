// What sits behind a JTAG UART: the target. The server core moves bytes through this interface
// and the event loop waits on what it names; each kind of target (echo, program, serial,
// connect, listen) is one implementation, chosen once by make_target. Handles are the
// operating system's (descriptors on POSIX systems), opaque to everything but the loop.
#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class RING_BUFFER;
class SERVER_LOG;
struct UART_CONFIG;

using TARGET_TIME = std::chrono::steady_clock::time_point;

// One handle the loop is to wait on, and for what; neither: only for a hang-up.
struct TARGET_WAIT {
    std::intptr_t handle = -1;
    bool read = false;
    bool write = false;
};

// What became of a target on an event: nothing the core must act on, its connection is made,
// it could not be reached (why), or its stream is gone (why).
struct TARGET_NEWS {
    enum class KIND { none, connected, failed, lost };
    KIND kind = KIND::none;
    std::string why;
};

class TARGET {
public:
    virtual ~TARGET() = default;

    enum class START { up, pending, failed };
    // Makes the target reachable: starts its program, opens its device, begins connecting. Up
    // at once, pending until a connection is made (news: connected or failed), or failed
    // (*why says why).
    virtual START start(std::string* why) = 0;
    // Ends the stream (and a program: SIGTERM, then SIGKILL after grace_ms).
    virtual void stop(int grace_ms) = 0;
    // No client holds the JTAG UART any more (start() came when one opened it).
    virtual void released() {}
    // The board's power: a dark board takes no connections and is not retried.
    virtual void power(bool on) { m_powered = on; }

    // Moves bytes without waiting: the count, 0 when the target has none or no room now, -1
    // when its stream is gone (then closed; lost_text says why).
    virtual long read(char* buffer, std::size_t size) = 0;
    virtual long write(const char* data, std::size_t size) = 0;
    virtual std::string lost_text() const = 0;

    // What to wait on, given whether the core has room for the target's output (want_read)
    // and bytes for it (want_write).
    virtual void waits(bool want_read, bool want_write, std::vector<TARGET_WAIT>* out) const = 0;
    // Whether a transfer can be tried without waiting.
    virtual bool ready(bool want_read, bool want_write) const = 0;
    // The loop saw events on one of the handles that waits() gave; hangup: the other side is
    // gone or the handle failed.
    virtual TARGET_NEWS event(const TARGET_WAIT& wait, bool hangup) = 0;
    // Leaves the target's program running but forgets it, closing the stream: the process to
    // end, for ending every target's program at once; -1: none.
    virtual int detach_process() { return -1; }
    // Work that comes due with time (retrying a connection); -1: none pending.
    virtual int due_ms(TARGET_TIME) const { return -1; }
    virtual TARGET_NEWS tick(TARGET_TIME) { return {}; }
    // Some child process of the server has ended: a target that runs one reaps it if it is its.
    virtual void children_ended() {}
    // Called once before the server says it is there: a listening target takes its port. False
    // with the whole message in *why when the server cannot serve this target.
    virtual bool prepare(std::string*) { return true; }
    // The port a listening target took, for the server's announcement; 0: none.
    virtual std::uint16_t listening_port() const { return 0; }

protected:
    bool m_powered = true;
};

// The target a JTAG UART's configuration describes. label names the JTAG UART in log lines;
// out_fifo is the JTAG UART's output FIFO (an echo target writes straight into it).
std::unique_ptr<TARGET> make_target(const UART_CONFIG& config, const std::string& label,
                                    SERVER_LOG& log, RING_BUFFER* out_fifo);
