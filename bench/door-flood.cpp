// What guessers and a connection flood get from the server, and what a client with the secret
// sees meanwhile. Loopback only: the server treats loopback clients as remote ones, and the
// attackers come from other loopback addresses (127.0.1.N), the client from 127.0.0.1.
//
//   door-flood [SECONDS]    each part runs SECONDS (default 10; 2 to 60)
//
// Part one: 100 parallel guessers, each sending a wrong proof and hanging up after 50 ms
// without an answer, first all from one address, then from 100; the server's log counts the
// proofs it checked. Part two: 1,100 idle connections that greeted and wait (reconnecting at
// once when closed, and every 10 s), from 50 addresses, against a server limited to 1,024
// descriptors; scanwell, with the secret, lists the server's cables again and again meanwhile.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench-support.h"
#include "wire/protocol.h"

namespace {

using CLOCK = std::chrono::steady_clock;
using namespace std::chrono_literals;

const std::string secret = "the bench's secret: 5c0ffee15900d4u";

// One attacking connection, from its own source address.
struct SLOT {
    std::string source;
    int fd = -1;
    bool connected = false;
    bool proof_sent = false;
    std::string received;
    CLOCK::time_point since;  // connected, or the proof went out
};

// Connects without waiting from source to the server's port on 127.0.0.1.
int start_connect(const std::string& source, std::uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in from{};
    from.sin_family = AF_INET;
    inet_pton(AF_INET, source.c_str(), &from.sin_addr);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 && errno != EINPROGRESS)) {
        close(fd);
        return -1;
    }
    return fd;
}

std::uint16_t port_of(const std::string& address) {
    return std::uint16_t(std::atoi(address.substr(address.rfind(':') + 1).c_str()));
}

void reconnect(SLOT* slot, std::uint16_t port) {
    if (slot->fd >= 0) close(slot->fd);
    slot->fd = start_connect(slot->source, port);
    slot->connected = slot->proof_sent = false;
    slot->received.clear();
    slot->since = CLOCK::now();
}

// Runs the slots until the deadline. guess: send a wrong proof after the challenge and hang up
// 50 ms later; otherwise greet and stay. Returns the proofs sent.
long attack(std::vector<SLOT>& slots, std::uint16_t port, bool guess, CLOCK::time_point until,
            const std::atomic<bool>& stop) {
    std::string hello;
    varnax::encode_greeting(&hello, varnax::protocol_version);
    if (guess) {
        varnax::encode_list(&hello);
    }
    std::string proof;
    varnax::encode_auth_proof(&proof, std::string(varnax::challenge_size, 'c'),
                              std::string(varnax::proof_size, 'x'));
    const std::size_t challenge_end =
        varnax::greeting_size + varnax::header_size + varnax::challenge_size;
    long proofs = 0;
    for (SLOT& slot : slots) reconnect(&slot, port);
    std::vector<pollfd> fds(slots.size());
    while (CLOCK::now() < until && !stop) {
        auto now = CLOCK::now();
        for (std::size_t i = 0; i < slots.size(); ++i) {
            SLOT& slot = slots[i];
            bool stale = guess ? slot.proof_sent && now - slot.since >= 50ms
                               : now - slot.since >= 10s;
            if (slot.fd < 0 || stale) reconnect(&slot, port);
            fds[i] = pollfd{slot.fd, short(slot.connected ? POLLIN : POLLOUT), 0};
        }
        if (poll(fds.data(), fds.size(), 10) < 0) continue;
        for (std::size_t i = 0; i < slots.size(); ++i) {
            SLOT& slot = slots[i];
            if (fds[i].revents == 0 || slot.fd < 0) continue;
            if (!slot.connected) {
                int error = 0;
                socklen_t len = sizeof error;
                getsockopt(slot.fd, SOL_SOCKET, SO_ERROR, &error, &len);
                if (error != 0 || send(slot.fd, hello.data(), hello.size(), MSG_NOSIGNAL) < 0) {
                    reconnect(&slot, port);
                    continue;
                }
                slot.connected = true;
                slot.since = CLOCK::now();
                continue;
            }
            char chunk[512];
            ssize_t n = recv(slot.fd, chunk, sizeof chunk, MSG_DONTWAIT);
            if (n <= 0) {
                if (n == 0 || (errno != EAGAIN && errno != EINTR)) reconnect(&slot, port);
                continue;
            }
            slot.received.append(chunk, std::size_t(n));
            if (guess && !slot.proof_sent && slot.received.size() >= challenge_end) {
                send(slot.fd, proof.data(), proof.size(), MSG_NOSIGNAL);
                slot.proof_sent = true;
                slot.since = CLOCK::now();
                ++proofs;
            }
        }
    }
    for (SLOT& slot : slots) {
        if (slot.fd >= 0) close(slot.fd);
        slot.fd = -1;
    }
    return proofs;
}

std::vector<SLOT> slots_from(std::size_t count, std::size_t addresses) {
    std::vector<SLOT> slots(count);
    for (std::size_t i = 0; i < count; ++i)
        slots[i].source = "127.0.1." + std::to_string(1 + i % addresses);
    return slots;
}

long count_lines(const std::string& path, const std::string& text) {
    std::ifstream log(path);
    long n = 0;
    for (std::string line; std::getline(log, line);) n += line.find(text) != std::string::npos;
    return n;
}

// The connections the server closed or turned away for being too busy: its log says how many
// in each line, a line a second at most.
long count_busy(const std::string& path) {
    std::ifstream log(path);
    long n = 0;
    for (std::string line; std::getline(log, line);) {
        std::size_t at = line.find("too busy: ");
        std::size_t count = line.rfind(" (");
        if (at != std::string::npos && count != std::string::npos)
            n += std::atol(line.c_str() + count + 2);
    }
    return n;
}

// The server with the demo board, asking every client for the secret; its log goes to a file.
bool start(const std::string& secret_file, const std::string& log, SERVER_CHILD* server) {
    std::string why;
    if (server_start({"--demo", "--allow-remote", "--secret-file", secret_file,
                      "--treat-loopback-as-remote"},
                     server, &why, log))
        return true;
    std::fprintf(stderr, "door-flood: %s\n", why.c_str());
    return false;
}

void guessing(const std::string& secret_file, std::size_t addresses, int secs) {
    std::string log = temp_file("guess.log", "");
    SERVER_CHILD server;
    if (!start(secret_file, log, &server)) return;
    std::vector<SLOT> slots = slots_from(100, addresses);
    std::atomic<bool> stop{false};
    auto begin = CLOCK::now();
    long sent = attack(slots, port_of(server.address), true, begin + std::chrono::seconds(secs),
                       stop);
    double span = std::chrono::duration<double>(CLOCK::now() - begin).count();
    server_stop(&server);
    long checked = count_lines(log, "refused: wrong secret");
    std::printf("guessing, 100 parallel guessers from %zu address%s: %ld proofs sent, %ld checked "
                "in %.1f s = %.1f guesses/s\n",
                addresses, addresses == 1 ? "" : "es", sent, checked, span, double(checked) / span);
}

// Runs scanwell once: its time to a complete listing, or a negative time when it failed.
double scan_once(const std::string& address, const std::string& secret_file, std::string* why) {
    CHILD_SETUP setup;
    setup.input = CHILD_SETUP::STREAM::null;
    setup.environment = {{"JTAG_VARNAX_SERVER", address}, {"JTAG_VARNAX_SECRET_FILE", secret_file}};
    auto begin = CLOCK::now();
    CHILD_PROCESS scan(SCANWELL_PATH, {}, setup);
    EXIT_STATUS status = scan.wait_exit(20s);
    double ms = std::chrono::duration<double, std::milli>(CLOCK::now() - begin).count();
    if (status == exited(0)) return ms;
    *why = scan.err();
    return -ms;
}

void flood(const std::string& secret_file, int secs) {
    std::string log = temp_file("flood.log", "");
    // The server gets the common limit of 1,024 descriptors; the attackers need more.
    rlimit saved{};
    getrlimit(RLIMIT_NOFILE, &saved);
    rlimit small = saved;
    small.rlim_cur = 1024;
    setrlimit(RLIMIT_NOFILE, &small);
    SERVER_CHILD server;
    bool up = start(secret_file, log, &server);
    setrlimit(RLIMIT_NOFILE, &saved);
    if (!up) return;
    if (saved.rlim_cur < 1300) {
        std::fprintf(stderr, "door-flood: needs 1300 descriptors (ulimit -n) for its attackers\n");
        server_stop(&server);
        return;
    }
    std::string why;
    std::vector<double> quiet;
    for (int i = 0; i < 3; ++i) quiet.push_back(scan_once(server.address, secret_file, &why));
    std::vector<SLOT> slots = slots_from(1100, 50);
    std::atomic<bool> stop{false};
    std::thread attackers([&] {
        attack(slots, port_of(server.address), false, CLOCK::now() + std::chrono::seconds(secs + 5),
               stop);
    });
    std::this_thread::sleep_for(3s);  // the attackers fill what they can first
    std::vector<double> times;
    int listed = 0;
    auto until = CLOCK::now() + std::chrono::seconds(secs);
    while (CLOCK::now() < until && times.size() < 100) {
        double ms = scan_once(server.address, secret_file, &why);
        listed += ms >= 0;
        times.push_back(ms < 0 ? -ms : ms);
        std::this_thread::sleep_for(200ms);
    }
    stop = true;
    attackers.join();
    server_stop(&server);
    SPREAD before = spread_of(quiet), during = spread_of(times);
    std::printf("flood, 1100 idle connections from 50 addresses, server at 1024 descriptors: "
                "scanwell listed %d of %zu times, %.0f ms median, %.0f ms at most "
                "(%.0f ms median without the flood)\n",
                listed, times.size(), during.median, during.high, before.median);
    std::printf("  server: %ld connections closed or turned away as too busy, %ld failed "
                "accepts\n",
                count_busy(log), count_lines(log, "cannot accept"));
    if (listed < int(times.size())) std::printf("  last failure: %s", why.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    int secs = argc > 1 ? std::atoi(argv[1]) : 10;
    if (secs < 2 || secs > 60) {
        std::fprintf(stderr, "usage: door-flood [SECONDS] (2 to 60)\n");
        return 2;
    }
    std::string secret_file = temp_file("secret", secret + "\n");
    chmod(secret_file.c_str(), 0600);
    guessing(secret_file, 1, secs);
    guessing(secret_file, 100, secs);
    flood(secret_file, secs);
    temp_cleanup();
    return 0;
}
