// tests/e2e/jtag/jtag-sim-rig.cpp: the simulation behind OpenOCD, for tests and benchmarks.
#include "tests/e2e/jtag/jtag-sim-rig.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

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
