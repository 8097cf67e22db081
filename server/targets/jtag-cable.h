// A real JTAG cable behind OpenOCD: the host driver of its chain, restarted after each loss,
// and one target per JTAG UART core instance found on the chain. The event loop waits on what
// waits() names and calls process() after every wake; the core sees the instances as targets
// like any other.
#pragma once
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "server/board-config.h"
#include "server/log.h"
#include "server/targets/target.h"

class JTAG_HOST;

class JTAG_CABLE {
public:
    JTAG_CABLE(const OPENOCD_CONFIG& config, const std::string& name, SERVER_LOG& log);
    ~JTAG_CABLE();
    JTAG_CABLE(const JTAG_CABLE&) = delete;
    JTAG_CABLE& operator=(const JTAG_CABLE&) = delete;

    // Starts OpenOCD, or the connection to the user's; a failure is logged and tried again.
    void start(TARGET_TIME now);
    void waits(std::vector<TARGET_WAIT>* out) const;
    int due_ms(TARGET_TIME now) const;

    enum class CHANGE { none, found, lost };
    // Runs the driver after a wake. found: the chain answered and instances() lists its JTAG
    // UARTs; lost: the chain, the cable or OpenOCD went away (lost_reason()).
    CHANGE process(TARGET_TIME now);
    // (device, instance) of every JTAG UART on the chain, devices in chain order.
    std::vector<std::pair<int, int>> instances() const;
    std::unique_ptr<TARGET> make_target(int device, int instance);

    bool ready() const;
    const std::string& lost_reason() const { return m_lost_reason; }
    // Counts the losses, so a target knows that its link went with one.
    unsigned generation() const { return m_generation; }
    JTAG_HOST& host() { return *m_host; }

private:
    std::string m_name;
    SERVER_LOG& m_log;
    std::unique_ptr<JTAG_HOST> m_host;
    bool m_ready = false;
    bool m_running = false;  // started, not yet lost
    TARGET_TIME m_restart_at;
    std::string m_lost_reason = "the JTAG chain has not been scanned yet";
    std::string m_start_failure;
    unsigned m_generation = 0;
};
