// server/jtag/jtag-engine.h: one JTAG chain behind one OpenOCD, as pure logic: it finds the
// cores and their instances, moves each held instance's bytes, and decides when to scan. It
// does no I/O: the caller carries the Tcl bytes (tcl()) and the time (now).
#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "server/jtag/jtag-chain.h"
#include "server/jtag/jtag-uart-stream.h"
#include "server/jtag/openocd-tcl.h"

// A core found on the chain: the terminal's device. Its instances are numbered from 0.
struct JTAG_DEVICE {
    int position = 0;  // the TAP's chain position, as OpenOCD numbers it
    std::string tap;
    JTAG_CORE_INFO info;
};

class JTAG_ENGINE {
public:
    using clock = std::chrono::steady_clock;
    using time_point = clock::time_point;
    enum class PHASE { idle, discovering, running, lost };

    // The pauses between scans: none while bytes move, then doubling up to the idle one, so an
    // idle held instance costs at most 20 scans a second. With nothing held, one look at the
    // chain every few seconds shows that it is still there.
    static constexpr std::chrono::milliseconds first_pause{1};
    static constexpr std::chrono::milliseconds idle_pause{50};
    static constexpr std::chrono::milliseconds presence_pause{5000};
    static constexpr std::chrono::milliseconds reply_limit{10000};

    JTAG_ENGINE();
    ~JTAG_ENGINE();

    // Back to the start: no devices, nothing asked.
    void reset();
    // The Tcl connection is up: reads the chain and identifies the cores on it.
    void begin(time_point now);
    // The caller saw the link end (socket closed, OpenOCD gone): keeps the first reason.
    void lose(const std::string& reason);
    PHASE phase() const { return m_phase; }
    const std::string& lost_reason() const { return m_lost_reason; }
    OPENOCD_TCL& tcl() { return m_tcl; }
    const OPENOCD_TCL& tcl() const { return m_tcl; }

    // Takes the replies that came and sends the next command when it is due. Call it after
    // bytes arrived and whenever next_due() has passed.
    void step(time_point now);
    // When step has something to do without a reply arriving; time_point::max() for never.
    time_point next_due() const;

    // The cores found (while running).
    const std::vector<JTAG_DEVICE>& devices() const { return m_devices; }
    // A client holds the instance (scanned as bytes move) or lets it go. False: no such one.
    bool hold(int device, int instance, bool held);
    // Bytes to and from an instance; 0 for one that does not exist.
    std::size_t write(int device, int instance, const char* data, std::size_t size);
    std::size_t write_room(int device, int instance) const;
    std::size_t read(int device, int instance, char* data, std::size_t size);
    std::size_t readable(int device, int instance) const;

    std::uint64_t scans() const { return m_scans; }

private:
    struct INSTANCE;
    enum class ASKED { nothing, chain, info, data, presence };

    void handle_reply(const std::string& reply, time_point now);
    void handle_chain(const std::string& reply);
    void handle_info(const std::string& reply);
    void handle_data(const std::string& reply);
    void handle_presence(const std::string& reply);
    void ask_next_info();
    void issue(time_point now);
    int pick_instance() const;
    void ask(ASKED what, const std::string& command);
    INSTANCE* find(int device, int instance) const;

    OPENOCD_TCL m_tcl;
    PHASE m_phase = PHASE::idle;
    std::string m_lost_reason;
    std::vector<JTAG_TAP> m_taps;
    std::size_t m_next_tap = 0;  // discovery: the next TAP to identify
    std::vector<JTAG_DEVICE> m_devices;
    std::vector<std::unique_ptr<INSTANCE>> m_instances;
    ASKED m_asked = ASKED::nothing;
    int m_asked_instance = -1;
    time_point m_asked_at;
    time_point m_last_scan;
    std::chrono::microseconds m_pause{0};
    std::size_t m_round_robin = 0;
    int m_bad_answers = 0;  // data scans in a row that brought no capture
    std::uint64_t m_scans = 0;
};
