// tests/e2e/jtag/jtag-sim-rig.cpp: the simulation behind OpenOCD, for tests and benchmarks.
#include "tests/e2e/jtag/jtag-sim-rig.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>
#include <vector>

#include "server/jtag/openocd-socket.h"

namespace {
bool on_path(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "");
    std::string dir;
    while (std::getline(dirs, dir, ':'))
        if (!dir.empty() && access((dir + "/" + program).c_str(), X_OK) == 0) return true;
    return false;
}
}  // namespace

std::string JTAG_SIM_RIG::missing() {
    if (!on_path("openocd")) return "openocd is not installed";
#ifdef VARNAX_JTAG_SIM_PATH
    return "";
#else
    return "the simulated chip was not built (no Verilator, or a sanitizer build)";
#endif
}

JTAG_SIM_RIG::JTAG_SIM_RIG() {
#ifdef VARNAX_JTAG_SIM_PATH
    CHILD_SETUP setup;
    setup.input = CHILD_SETUP::STREAM::null;
    m_sim.reset(new CHILD_PROCESS(VARNAX_JTAG_SIM_PATH, {}, setup));
    std::string line;
    if (!m_sim->next_line(&line, std::chrono::seconds(10)) ||
        line.rfind("listening 127.0.0.1:", 0) != 0)
        return;
    m_sim_port = std::atoi(line.c_str() + 20);
    std::ofstream cfg(config_path());
    cfg << "adapter driver remote_bitbang\n"
        << "remote_bitbang host 127.0.0.1\n"
        << "remote_bitbang port " << m_sim_port << "\n"
        << "transport select jtag\n";
#endif
}

std::unique_ptr<CHILD_PROCESS> JTAG_SIM_RIG::start_openocd(std::string* tcl_address,
                                                          std::string* error) {
    // A port that is free now; OpenOCD takes it a moment later. It logs to a file: nobody reads
    // its output while a test runs, and a full pipe would stop it.
    std::uint16_t port = openocd_free_port(error);
    if (port == 0) return nullptr;
    std::string log = m_dir.file("openocd.log");
    CHILD_SETUP setup;
    setup.input = CHILD_SETUP::STREAM::null;
    auto openocd = std::make_unique<CHILD_PROCESS>(
        "openocd",
        std::vector<std::string>{"-c", "log_output " + log, "-c",
                                 "tcl_port " + std::to_string(port), "-c", "gdb_port disabled",
                                 "-c", "telnet_port disabled", "-f", config_path()},
        setup);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::string said;
    while (said.find("for tcl connections") == std::string::npos) {
        if (std::chrono::steady_clock::now() > deadline) {
            *error = "OpenOCD did not come up: " + said + openocd->err();
            return nullptr;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::ifstream file(log);
        said.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
    *tcl_address = "127.0.0.1:" + std::to_string(port);
    return openocd;
}

bool JTAG_SIM_RIG::run_until(JTAG_HOST& host, const std::function<bool()>& done,
                             std::chrono::milliseconds deadline) {
    auto end = std::chrono::steady_clock::now() + deadline;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::vector<pollfd> fds;
        for (const JTAG_POLL_FD& f : host.poll_fds())
            fds.push_back({f.fd, short((f.read ? POLLIN : 0) | (f.write ? POLLOUT : 0)), 0});
        int timeout = host.timeout_ms();
        timeout = timeout < 0 ? 100 : std::min(timeout, 100);
        poll(fds.data(), fds.size(), timeout);
        host.process();
    }
    return true;
}
