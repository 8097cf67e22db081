// Throughput of target-to-host bytes through varnax-server and the library, read in 64-byte
// calls as the terminal reads them, next to a plain loopback socket relay of the same bytes.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/jtag_varnax.h"
#include "tests/support/process-harness.h"

namespace {

using clock_type = std::chrono::steady_clock;
constexpr std::size_t total = 64u << 20;

int connect_to(const std::string& address) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(std::uint16_t(std::atoi(address.c_str() + address.rfind(':') + 1)));
    inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return -1;
    return fd;
}

void send_all(int fd, std::size_t size) {
    std::string chunk(65536, 'x');
    for (std::size_t done = 0; done < size;) {
        ssize_t n = send(fd, chunk.data(), std::min(chunk.size(), size - done), MSG_NOSIGNAL);
        if (n <= 0) return;
        done += std::size_t(n);
    }
}

// A server with one JTAG UART whose target is a socket, with its addresses; it dies with the
// benchmark.
std::unique_ptr<CHILD_PROCESS> start_server(const std::string& config_path, std::string* address,
                                            std::string* target) {
    CHILD_SETUP setup;
    setup.input = CHILD_SETUP::STREAM::inherit;
    setup.error = CHILD_SETUP::STREAM::inherit;
    auto server = std::make_unique<CHILD_PROCESS>(
        VARNAX_SERVER_PATH,
        std::vector<std::string>{"--config", config_path, "--listen", "127.0.0.1:0", "--quiet",
                                 "--no-commands"},
        setup);
    std::string line;
    while (server->next_line(&line, std::chrono::seconds(5))) {
        if (line.rfind("target ", 0) == 0) *target = line.substr(line.rfind(' ') + 1);
        if (line.rfind("listening ", 0) == 0) {
            *address = line.substr(10);
            break;
        }
    }
    return server;
}

// The cost of a read that the library serves from what it has buffered: the target fills the
// library's window, and once the bytes are in, 64-byte reads take them out.
void buffered_read_cost(JTAGVARNAX* link, int target_fd) {
    const std::size_t window = 16384;
    send_all(target_fd, window);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    char block[64];
    std::size_t got = 0;
    long calls = 0;
    auto start = clock_type::now();
    while (got < window) {
        int n = jtagvarnax_read(link, block, sizeof block);
        if (n <= 0) break;
        ++calls;
        got += std::size_t(n);
    }
    double ns = std::chrono::duration<double, std::nano>(clock_type::now() - start).count();
    std::printf("library read served from its buffer: %.0f ns per 64-byte call (%ld calls)\n",
                ns / double(calls), calls);
}

void bench_library(std::size_t fifo) {
    char path[] = "/tmp/varnax-bench-XXXXXX";
    int fd = mkstemp(path);
    std::string config = "cable bench\ndevice 1\nuart 0 out=" + std::to_string(fifo) + " listen\n";
    if (fd < 0 || write(fd, config.data(), config.size()) != ssize_t(config.size())) return;
    close(fd);
    std::string address, target;
    std::unique_ptr<CHILD_PROCESS> server = start_server(path, &address, &target);
    unlink(path);
    setenv("JTAG_VARNAX_SERVER", address.c_str(), 1);
    JTAGVARNAX* link = jtagvarnax_open(nullptr, -1, -1, "varnax-throughput");
    int target_fd = connect_to(target);
    if (link == nullptr || target_fd < 0) {
        std::fprintf(stderr, "varnax-throughput: cannot set up the server at %s\n",
                     address.c_str());
        return;  // the server is killed on the way out
    }
    std::thread sender(send_all, target_fd, total);
    char block[64];
    std::size_t got = 0;
    long calls = 0, empty = 0;
    auto start = clock_type::now();
    while (got < total) {
        int n = jtagvarnax_read(link, block, sizeof block);
        ++calls;
        if (n < 0) break;
        if (n == 0) ++empty;
        got += std::size_t(n);
    }
    double secs = std::chrono::duration<double>(clock_type::now() - start).count();
    sender.join();
    std::printf(
        "library  (FIFO %5zu): %7.1f MiB/s, %ld read calls (%ld empty), %.0f ns per read call\n",
        fifo, got / secs / (1 << 20), calls, empty, secs * 1e9 / double(calls));
    if (fifo == 64) buffered_read_cost(link, target_fd);
    jtagvarnax_close(link);
    close(target_fd);
    server->send_signal(SIGTERM);
    server->wait_exit(std::chrono::seconds(5));
}

// The same bytes through a thread that relays between two loopback sockets.
void bench_plain_relay() {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
    socklen_t len = sizeof addr;
    bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    listen(listener, 2);
    getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
    std::string where = "127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
    int in_w = connect_to(where), in_r = accept(listener, nullptr, nullptr);
    int out_w = connect_to(where), out_r = accept(listener, nullptr, nullptr);
    close(listener);
    if (in_w < 0 || in_r < 0 || out_w < 0 || out_r < 0) return;
    std::thread sender(send_all, in_w, total);
    std::thread relay([&] {
        char buffer[65536];
        for (std::size_t done = 0; done < total;) {
            ssize_t n = recv(in_r, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            for (ssize_t sent = 0; sent < n;) {
                ssize_t m = send(out_w, buffer + sent, std::size_t(n - sent), MSG_NOSIGNAL);
                if (m <= 0) return;
                sent += m;
            }
            done += std::size_t(n);
        }
    });
    char block[64];
    std::size_t got = 0;
    long calls = 0;
    auto start = clock_type::now();
    while (got < total) {
        ssize_t n = recv(out_r, block, sizeof block, 0);
        ++calls;
        if (n <= 0) break;
        got += std::size_t(n);
    }
    double secs = std::chrono::duration<double>(clock_type::now() - start).count();
    sender.join();
    relay.join();
    std::printf("plain relay (64-byte recv): %7.1f MiB/s, %ld recv calls, %.0f ns per call\n",
                got / secs / (1 << 20), calls, secs * 1e9 / double(calls));
    for (int fd : {in_w, in_r, out_w, out_r}) close(fd);
}

}  // namespace

int main() {
    signal(SIGPIPE, SIG_IGN);
    std::printf("target to host, %zu MiB, reads of 64 bytes\n", total >> 20);
    bench_plain_relay();
    bench_library(64);
    bench_library(4096);
    return 0;
}
