// varnax-jtag-sim: the simulated chip behind OpenOCD's remote_bitbang driver. Listens on
// 127.0.0.1 (--port N, or any free port), prints "listening 127.0.0.1:PORT", and serves one
// OpenOCD at a time; the chip keeps its state from one connection to the next, as a board
// does when the cable is unplugged.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sim-chip.h"
#include "sim-firmware.h"

namespace {

const char program_name[] = "varnax-jtag-sim";
// System clock cycles run in one go for the firmware, between looks at the socket.
constexpr int firmware_burst = 2048;

struct SIM {
    SIM_CHIP chip;
    // Devices numbered as OpenOCD numbers the chain: position 0 is the core nearest TDO.
    SIM_FIRMWARE firmware[SIM_CHIP::instances] = {{1, 0}, {0, 0}, {0, 1}};

    bool has_work() {
        for (int k = 0; k < SIM_CHIP::instances; ++k)
            if (firmware[k].has_work(chip.port(k))) return true;
        return chip.busy();
    }
    void run_firmware() {
        for (int k = 0; k < SIM_CHIP::instances; ++k) firmware[k].run(chip.port(k));
    }
    // The system clock runs only while the firmware or the core's processor side have bytes
    // to move, so an idle simulation sleeps in its socket read.
    void run_while_busy() {
        for (int i = 0; i < firmware_burst; ++i) {
            run_firmware();
            if (!has_work()) {
                // A few more cycles let the pointers settle across the clock domains.
                for (int j = 0; j < 4; ++j) chip.tick_sys();
                return;
            }
            chip.tick_sys();
        }
    }
};

int listen_on(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(std::uint16_t(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 1) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool write_all(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= std::size_t(n);
    }
    return true;
}

// Carries out one block of remote_bitbang requests; the 'R' answers go into *answers.
// Returns false at 'Q'.
bool serve_block(SIM& sim, const char* block, std::size_t size, std::string* answers) {
    for (std::size_t i = 0; i < size; ++i) {
        char c = block[i];
        if (c >= '0' && c <= '7') {
            int v = c - '0';
            sim.chip.set_pins(v & 4, v & 2, v & 1);
        } else if (c == 'R') {
            *answers += sim.chip.tdo() ? '1' : '0';
        } else if (c >= 'r' && c <= 'u') {
            sim.chip.set_trst(c == 't' || c == 'u');  // 'r'..'u': (TRST, SRST) = 00, 01, 10, 11
        } else if (c == 'Q') {
            return false;
        }
        // 'B' and 'b' (the LED) and anything else: nothing to do.
    }
    return true;
}

void serve_connection(SIM& sim, int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::vector<char> block(65536);
    std::string answers;
    for (;;) {
        // While the firmware has work the socket is only looked at; otherwise the read waits.
        pollfd p{fd, POLLIN, 0};
        int timeout = sim.has_work() ? 0 : -1;
        int ready = poll(&p, 1, timeout);
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) {
            sim.run_while_busy();
            continue;
        }
        ssize_t n = recv(fd, block.data(), block.size(), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        answers.clear();
        bool more = serve_block(sim, block.data(), std::size_t(n), &answers);
        if (!answers.empty() && !write_all(fd, answers.data(), answers.size())) return;
        if (!more) return;
        sim.run_firmware();
    }
}

}  // namespace

int main(int argc, char** argv) {
    int port = 0;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--port" && i + 1 < argc) {
            port = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: %s [--port N]\n", program_name);
            return 2;
        }
    }
    signal(SIGPIPE, SIG_IGN);
    int listener = listen_on(port);
    if (listener < 0) {
        std::fprintf(stderr, "%s: cannot listen on 127.0.0.1:%d: %s\n", program_name, port,
                     std::strerror(errno));
        return 1;
    }
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
    std::printf("listening 127.0.0.1:%d\n", ntohs(addr.sin_port));
    std::fflush(stdout);

    SIM sim;
    sim.run_while_busy();  // the banners go into the cores' FIFOs, as at power-up
    for (;;) {
        int fd = accept(listener, nullptr, nullptr);
        if (fd < 0) {
            if (errno == EINTR) continue;
            std::fprintf(stderr, "%s: accept: %s\n", program_name, std::strerror(errno));
            return 1;
        }
        serve_connection(sim, fd);
        close(fd);
    }
}
