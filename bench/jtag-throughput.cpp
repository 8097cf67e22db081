// Throughput of the JTAG UART core through OpenOCD: bytes each way through the host driver
// (the simulated chip's "raw N" echo, both ways at once), next to the floor of the same
// OpenOCD: plain irscan + drscan commands of the same length, one round trip each.
// Usage: jtag-throughput [KIB [RUNS]]
#include <poll.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "server/jtag/openocd-socket.h"
#include "server/jtag/openocd-tcl.h"
#include "tests/e2e/jtag/jtag-sim-rig.h"

namespace {

using clock_type = std::chrono::steady_clock;
using namespace std::chrono_literals;

double seconds_since(clock_type::time_point start) {
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

// Bytes each way per second through the host driver, and its scans per second.
bool driver_run(JTAG_HOST& host, std::size_t size, double* bytes_per_s, double* scans_per_s) {
    char buffer[16384];
    std::string command = "raw " + std::to_string(size) + "\r";
    host.write(1, 0, command.data(), command.size());
    std::string echo;
    std::string expected = "\r\nraw " + std::to_string(size) + "\r\n";
    if (!JTAG_SIM_RIG::run_until(
            host,
            [&] {
                echo.append(buffer, host.read(1, 0, buffer, sizeof buffer));
                return echo.find(expected) != std::string::npos;
            },
            20s))
        return false;
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i) data[i] = char(i * 7 + i / 256);
    std::size_t written = 0, got = 0;
    std::uint64_t scans = host.scans();
    auto start = clock_type::now();
    bool done = JTAG_SIM_RIG::run_until(
        host,
        [&] {
            written += host.write(1, 0, data.data() + written, size - written);
            got += host.read(1, 0, buffer, sizeof buffer);
            return got >= size;
        },
        300s);
    double secs = seconds_since(start);
    *bytes_per_s = double(size) / secs;
    *scans_per_s = double(host.scans() - scans) / secs;
    return done;
}

// Round trips per second of "irscan; drscan" of the data register's length, on its own.
double drscan_floor(std::uint16_t port, unsigned bits, int count) {
    std::string error;
    int fd = openocd_socket_connect("127.0.0.1", port, &error);
    if (fd < 0) return 0;
    pollfd p{fd, POLLOUT, 0};
    poll(&p, 1, 2000);
    OPENOCD_TCL tcl;
    // A value as long as the driver's (no start bit: the core changes nothing).
    std::string command = "irscan auto1.tap 4; drscan auto1.tap " + std::to_string(bits) + " 0x" +
                          std::string((bits + 7) / 8 * 2, '0');
    char buffer[4096];
    auto start = clock_type::now();
    for (int i = 0; i < count; ++i) {
        tcl.send(command);
        while (!tcl.output().empty()) {
            long n = openocd_socket_send(fd, tcl.output().data(), tcl.output().size(), &error);
            if (n < 0) return 0;
            tcl.sent(std::size_t(n));
        }
        while (!tcl.reply_ready()) {
            pollfd r{fd, POLLIN, 0};
            poll(&r, 1, 1000);
            long n = openocd_socket_receive(fd, buffer, sizeof buffer, &error);
            if (n < 0) return 0;
            tcl.received(buffer, std::size_t(n));
        }
        tcl.take_reply();
    }
    double rate = count / seconds_since(start);
    openocd_socket_close(fd);
    return rate;
}

// A held instance with nothing to move: the scans per second and OpenOCD's share of a core.
void idle_figures(JTAG_HOST& host, CHILD_PROCESS& openocd) {
    JTAG_SIM_RIG::run_until(host, [] { return false; }, 1s);  // the pause grows to its longest
    std::uint64_t scans = host.scans();
    double cpu = openocd.cpu_seconds();
    JTAG_SIM_RIG::run_until(host, [] { return false; }, 5s);
    std::printf("idle, one instance held: %.1f scans/s, OpenOCD %.2f %% of a core\n",
                double(host.scans() - scans) / 5, (openocd.cpu_seconds() - cpu) / 5 * 100);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t kib = argc > 1 ? std::size_t(std::atol(argv[1])) : 256;
    int runs = argc > 2 ? std::atoi(argv[2]) : 3;
    std::string missing = JTAG_SIM_RIG::missing();
    if (!missing.empty()) {
        std::fprintf(stderr, "jtag-throughput: %s\n", missing.c_str());
        return 1;
    }
    JTAG_SIM_RIG rig;
    std::string error;
    std::uint16_t port = openocd_free_port(&error);
    // OpenOCD logs every command's result at its default level: nobody reads that here.
    CHILD_SETUP setup;
    setup.input = CHILD_SETUP::STREAM::null;
    setup.output = setup.error = CHILD_SETUP::STREAM::null;
    CHILD_PROCESS openocd(
        "openocd",
        {"-c", "debug_level 1", "-c", "tcl_port " + std::to_string(port), "-c", "gdb_port disabled",
         "-c", "telnet_port disabled", "-f", rig.config_path()},
        setup);
    std::vector<double> rates, scan_rates, floors;
    const unsigned bits = 1 + 64 + 8 * 64;
    for (int run = 0; run < runs; ++run) {
        JTAG_HOST_SETTINGS settings;
        settings.tcl_address = "127.0.0.1:" + std::to_string(port);
        JTAG_HOST host(settings);
        if (!host.start(&error) ||
            !JTAG_SIM_RIG::run_until(
                host, [&] { return host.state() == JTAG_HOST::STATE::ready; }, 20s)) {
            std::fprintf(stderr, "jtag-throughput: the host driver did not get ready: %s\n",
                         host.lost_reason().c_str());
            return 1;
        }
        host.hold(1, 0, true);
        double rate = 0, scans = 0;
        if (!driver_run(host, kib * 1024, &rate, &scans)) {
            std::fprintf(stderr, "jtag-throughput: the transfer did not finish\n");
            return 1;
        }
        if (run == 0) idle_figures(host, openocd);
        host.stop();
        rates.push_back(rate);
        scan_rates.push_back(scans);
        floors.push_back(drscan_floor(port, bits, 2000));
    }
    double floor_bytes = median(floors) * 64;
    std::printf(
        "host driver: %.0f bytes/s each way (%.0f scans/s of %u bits), %zu KiB each way, "
        "median of %d\n",
        median(rates), median(scan_rates), bits, kib, runs);
    std::printf(
        "floor: %.0f plain irscan+drscan/s of %u bits = %.0f bytes/s each way; "
        "ratio %.2f\n",
        median(floors), bits, floor_bytes, median(rates) / floor_bytes);
    openocd.send_signal(SIGTERM);
    openocd.wait_exit(5s);
    return 0;
}
