// tests/e2e/jtag/jtag-sim-rig.h: the simulated chip (varnax-jtag-sim), an OpenOCD configuration
// for it, and a poll loop that drives a JTAG_HOST the way the server's loop does.
#pragma once
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "server/jtag/jtag-host.h"
#include "tests/support/process-harness.h"
#include "tests/support/temp-dir.h"

class JTAG_SIM_RIG {
public:
    // What is missing to run the simulation ("" when nothing): the model or OpenOCD.
    static std::string missing();
    // Starts the simulated chip and writes "sim.cfg" for OpenOCD's remote_bitbang driver.
    JTAG_SIM_RIG();
    bool sim_running() const { return m_sim_port > 0; }
    std::string config_path() const { return m_dir.file("sim.cfg"); }
    // An OpenOCD of the test's own on the chip, as a user runs one, with its Tcl port on a free
    // loopback port: *tcl_address gets "127.0.0.1:PORT". Null (with *error) when it does not
    // come up.
    std::unique_ptr<CHILD_PROCESS> start_openocd(std::string* tcl_address, std::string* error);
    const TEMP_DIR& dir() const { return m_dir; }
    // Runs the host's loop until done() or the deadline; true when done() came true.
    static bool run_until(JTAG_HOST& host, const std::function<bool()>& done,
                          std::chrono::milliseconds deadline);

private:
    TEMP_DIR m_dir;
    std::unique_ptr<CHILD_PROCESS> m_sim;
    int m_sim_port = 0;
};
