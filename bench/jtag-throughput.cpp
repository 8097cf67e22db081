// Throughput of the JTAG UART core through OpenOCD: bytes each way through the host driver
// and through the whole path (tarvik-terminal, varnax-server with a JTAG cable on the same
// OpenOCD), both the simulated chip's "raw N" echo, next to the floor of the same OpenOCD:
// plain irscan + drscan commands of the same length, one round trip each. Then, through the
// server, key echo at a console and what a terminal idle on a JTAG UART costs.
// Usage: jtag-throughput [KIB [RUNS]]
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench-support.h"
#include "server/jtag/openocd-socket.h"
#include "server/jtag/openocd-tcl.h"
#include "tests/e2e/jtag/jtag-sim-rig.h"
#include "tests/support/sim-server.h"

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

// The whole path: varnax-server with one cable on the benchmark's OpenOCD, and terminals on it.
const std::string cable_name = "Sim chain";

// Starts the server on the OpenOCD at tcl_address and waits until it has found the chain.
bool path_server(const std::string& tcl_address, SERVER_CHILD* server) {
    std::string config = temp_file("boards.conf", "cable \"" + cable_name + "\"\nopenocd tcl " +
                                                      tcl_address + "\n");
    std::string log = temp_file("server.log", "");
    std::string why;
    if (!server_start({"--config", config}, server, &why, log)) {
        std::fprintf(stderr, "jtag-throughput: %s\n", why.c_str());
        return false;
    }
    auto deadline = clock_type::now() + 20s;
    for (;;) {
        std::ifstream file(log);
        std::stringstream text;
        text << file.rdbuf();
        if (text.str().find("JTAG UARTs on the chain") != std::string::npos) return true;
        if (clock_type::now() >= deadline) break;
        std::this_thread::sleep_for(20ms);
    }
    std::fprintf(stderr, "jtag-throughput: the server did not find the chain\n");
    return false;
}

std::unique_ptr<CHILD_PROCESS> terminal_on(const SERVER_CHILD& server, int device, int instance,
                                           std::vector<std::string> options, bool console) {
    std::vector<std::pair<std::string, std::string>> environment = {
        {"JTAG_VARNAX_SERVER", server.address}};
    CHILD_SETUP setup = console ? on_terminal(environment) : CHILD_SETUP{};
    if (!console) setup.environment = environment;
    options.insert(options.end(), {"-q", "--cable", cable_name, "--device", std::to_string(device),
                                   "--instance", std::to_string(instance)});
    return std::make_unique<CHILD_PROCESS>(terminal_under_test(TARVIK_TERMINAL_PATH), options,
                                           setup);
}

// Bytes each way per second from the terminal's standard input, through the server, OpenOCD
// and the chip's "raw N" echo, back to its standard output.
bool path_run(const SERVER_CHILD& server, std::size_t size, double* bytes_per_s) {
    auto term = terminal_on(server, 1, 0, {"--no-quit-on-ctrl-d"}, false);
    std::string count = std::to_string(size);
    if (!term->write_input("raw " + count + "\r", 10s) ||
        !term->wait_for_output("raw " + count + "\r\nraw " + count + "\r\n", 20s))
        return false;
    term->clear_output();
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i) data[i] = char(i * 7 + i / 256);
    // write_input collects the output while it writes.
    auto start = clock_type::now();
    auto deadline = start + 300s;
    if (!term->write_input(data, 300s)) return false;
    while (term->out().size() < size && clock_type::now() < deadline)
        term->read_output(1 << 20, 100ms);
    *bytes_per_s = double(size) / seconds_since(start);
    bool exact = term->out() == data;
    term->send_signal(SIGINT);
    term->wait_exit(10s);
    if (!exact) std::fprintf(stderr, "jtag-throughput: the bytes came back changed or short\n");
    return exact;
}

// Key echo at a console, through the server, OpenOCD and the chip.
bool path_echo(const SERVER_CHILD& server, int keys) {
    auto term = terminal_on(server, 0, 0, {}, true);
    if (!wait_for_echo(*term, "Type help and press Enter.", 0, clock_type::now() + 20s)) {
        std::fprintf(stderr, "jtag-throughput: no banner at the console\n");
        return false;
    }
    std::printf("key echo through the server and OpenOCD: ");
    bool ok = time_keys(*term, keys, "jtag-throughput");
    term->send_signal(SIGINT);
    term->wait_exit(10s);
    return ok;
}

// A relay between the server and OpenOCD's Tcl port that counts the commands the server sends:
// one round trip each, a scan of an instance (with its selection, where a core has several).
class SCAN_COUNTER {
public:
    ~SCAN_COUNTER() {
        m_stop = true;
        if (m_thread.joinable()) m_thread.join();
        if (m_listen >= 0) close(m_listen);
    }
    // The address to give the server instead of OpenOCD's; empty when it cannot listen.
    std::string start(std::uint16_t openocd_port) {
        std::string address;
        m_listen = listen_on_free_port("127.0.0.1", &address);
        if (m_listen >= 0) m_thread = std::thread([this, openocd_port] { run(openocd_port); });
        return address;
    }
    long scans() const { return m_scans.load(); }

private:
    void run(std::uint16_t openocd_port) {
        pollfd p{m_listen, POLLIN, 0};
        while (!m_stop && poll(&p, 1, 100) == 0) {
        }
        if (m_stop) return;
        int down = accept(m_listen, nullptr, nullptr);
        int up = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(openocd_port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (down >= 0 && connect(up, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
            char buffer[65536];
            while (!m_stop) {
                pollfd fds[2] = {{down, POLLIN, 0}, {up, POLLIN, 0}};
                if (poll(fds, 2, 100) <= 0) continue;
                if (fds[0].revents != 0) {
                    ssize_t n = read(down, buffer, sizeof buffer);
                    if (n <= 0 || write(up, buffer, std::size_t(n)) != n) break;
                    m_scans += std::count(buffer, buffer + n, '\x1a');
                }
                if (fds[1].revents != 0) {
                    ssize_t n = read(up, buffer, sizeof buffer);
                    if (n <= 0 || write(down, buffer, std::size_t(n)) != n) break;
                }
            }
        }
        if (down >= 0) close(down);
        close(up);
    }

    int m_listen = -1;
    std::atomic<bool> m_stop{false};
    std::atomic<long> m_scans{0};
    std::thread m_thread;
};

// A terminal idle at a console on a JTAG UART after its banner: the scans per second the server
// asks of OpenOCD, and the share of a core that the server and OpenOCD take meanwhile.
bool path_idle(std::uint16_t openocd_port, int openocd_pid, int secs) {
    SCAN_COUNTER counter;
    std::string address = counter.start(openocd_port);
    SERVER_CHILD server;
    if (address.empty() || !path_server(address, &server)) return false;
    auto term = terminal_on(server, 0, 1, {}, true);
    if (!wait_for_echo(*term, "Type help and press Enter.", 0, clock_type::now() + 20s)) {
        std::fprintf(stderr, "jtag-throughput: no banner on the idle console\n");
        return false;
    }
    std::this_thread::sleep_for(1s);  // the polling slows down to its idle pace
    PROC_FIGURES s0, s1, o0, o1;
    long scans = counter.scans();
    bool ok = proc_figures(server.pid(), &s0) && proc_figures(openocd_pid, &o0);
    std::this_thread::sleep_for(std::chrono::seconds(secs));
    ok = ok && proc_figures(server.pid(), &s1) && proc_figures(openocd_pid, &o1);
    scans = counter.scans() - scans;
    term->send_signal(SIGINT);
    term->wait_exit(10s);
    server_stop(&server);
    if (!ok) return false;
    std::printf(
        "terminal idle on a JTAG UART through the server, %d s: %.1f scans/s; server %.2f %% of "
        "a core, OpenOCD %.2f %% (scheduler run time)\n",
        secs, double(scans) / secs, (s1.run_secs - s0.run_secs) / secs * 100,
        (o1.run_secs - o0.run_secs) / secs * 100);
    return true;
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
    // The whole path, on the same OpenOCD, once the driver's runs have let it go.
    std::vector<double> path_rates;
    {
        SERVER_CHILD server;
        if (!path_server("127.0.0.1:" + std::to_string(port), &server)) return 1;
        for (int run = 0; run < runs; ++run) {
            double rate = 0;
            if (!path_run(server, kib * 1024, &rate)) return 1;
            path_rates.push_back(rate);
        }
        if (!path_echo(server, 40)) return 1;
        server_stop(&server);
    }
    if (!path_idle(port, openocd.pid(), 5)) return 1;
    temp_cleanup();

    double floor_bytes = median(floors) * 64;
    std::printf(
        "host driver: %.0f bytes/s each way (%.0f scans/s of %u bits), %zu KiB each way, "
        "median of %d\n",
        median(rates), median(scan_rates), bits, kib, runs);
    std::printf(
        "floor: %.0f plain irscan+drscan/s of %u bits = %.0f bytes/s each way; "
        "ratio %.2f\n",
        median(floors), bits, floor_bytes, median(rates) / floor_bytes);
    std::printf(
        "whole path (terminal, server, OpenOCD, chip): %.0f bytes/s each way, median of %d; "
        "ratio to the floor %.2f\n",
        median(path_rates), runs, median(path_rates) / floor_bytes);
    openocd.send_signal(SIGTERM);
    openocd.wait_exit(5s);
    return 0;
}
