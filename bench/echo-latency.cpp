// How the terminal feels to type into: the demo target echoes every byte; keys typed one at a
// time at random moments, then a paste, each timed until its echo is on the screen.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "bench/bench-process.h"

namespace {

using clock_type = std::chrono::steady_clock;
constexpr int default_keys = 60;
constexpr long default_paste_kib = 64;
constexpr auto echo_limit = std::chrono::seconds(2);    // one key's echo, at most
constexpr auto paste_limit = std::chrono::seconds(30);  // a slow terminal's paste is cut there
constexpr auto banner_limit = std::chrono::seconds(5);
const std::string banner_end = "Type help and press Enter.";  // the pty may add a CR

double ms_since(clock_type::time_point start) {
    return std::chrono::duration<double, std::milli>(clock_type::now() - start).count();
}

// The screen: everything the terminal wrote to the pseudo-terminal, read as it comes.
class SCREEN {
public:
    explicit SCREEN(int master) : m_master(master) {}
    // Reads what has come, waiting at most until the deadline for the first of it. False when
    // the terminal has gone.
    bool take(clock_type::time_point deadline) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          clock_type::now());
        pollfd wanted = {m_master, POLLIN, 0};
        int ready = poll(&wanted, 1, int(std::max<long long>(0, left.count())));
        if (ready <= 0) return ready == 0 || errno == EINTR;
        char buffer[4096];
        ssize_t n = read(m_master, buffer, sizeof buffer);
        if (n <= 0) return n < 0 && errno == EINTR;
        m_text.append(buffer, std::size_t(n));
        return true;
    }
    // Waits until text has appeared after position from. Returns where it ends, or npos.
    std::size_t wait_for(const std::string& text, std::size_t from,
                         clock_type::time_point deadline) {
        for (;;) {
            std::size_t at = m_text.find(text, from);
            if (at != std::string::npos) return at + text.size();
            if (clock_type::now() >= deadline || !take(deadline)) return std::string::npos;
        }
    }
    std::size_t size() const { return m_text.size(); }
    const std::string& text() const { return m_text; }

private:
    int m_master;
    std::string m_text;
};

bool type(int master, const std::string& keys) {
    for (std::size_t done = 0; done < keys.size();) {
        ssize_t n = write(master, keys.data() + done, keys.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += std::size_t(n);
    }
    return true;
}

double percentile(std::vector<double> values, double share) {
    std::sort(values.begin(), values.end());
    std::size_t at = std::size_t(share * double(values.size() - 1) + 0.5);
    return values[at];
}

// Keys one at a time, each after the last one's echo and a random 50 to 350 ms.
bool time_keys(int master, SCREEN& screen, int keys) {
    std::mt19937 random(20261208);
    std::uniform_int_distribution<int> gap_ms(50, 350);
    std::vector<double> echo_ms;
    for (int i = 0; i < keys; ++i) {
        auto typed_at = clock_type::now() + std::chrono::milliseconds(gap_ms(random));
        while (clock_type::now() < typed_at) screen.take(typed_at);  // stray output is read too
        // Letters, so that what comes back is exactly the key.
        std::string key(1, char('a' + i % 26));
        std::size_t from = screen.size();
        auto start = clock_type::now();
        if (!type(master, key)) return false;
        if (screen.wait_for(key, from, start + echo_limit) == std::string::npos) {
            std::fprintf(stderr, "echo-latency: no echo of key %d within %lld s\n", i,
                         static_cast<long long>(echo_limit.count()));
            return false;
        }
        echo_ms.push_back(ms_since(start));
    }
    std::printf("%d keys typed 50 to 350 ms apart, echo on the screen: median %.2f ms, "
                "90th percentile %.2f ms, max %.2f ms\n",
                keys, percentile(echo_ms, 0.5), percentile(echo_ms, 0.9),
                *std::max_element(echo_ms.begin(), echo_ms.end()));
    return true;
}

// A paste of letters (no Enter, so the target echoes them and nothing else), typed as fast as
// the pseudo-terminal takes it; timed from the first byte typed to the last byte echoed.
// Returns false when the paste was cut before all of it came back.
bool time_paste(int master, SCREEN& screen, long kib) {
    std::string paste;
    for (long i = 0; i < kib * 1024; ++i) paste += char('a' + i % 26);
    std::size_t from = screen.size();
    auto start = clock_type::now();
    auto deadline = start + paste_limit;
    int flags = fcntl(master, F_GETFL);
    fcntl(master, F_SETFL, flags | O_NONBLOCK);
    std::size_t typed = 0;
    while (screen.size() - from < paste.size() && clock_type::now() < deadline) {
        if (typed < paste.size()) {
            ssize_t n = write(master, paste.data() + typed, paste.size() - typed);
            if (n > 0) typed += std::size_t(n);
        }
        // The echo is read while typing, so that neither side of the pty fills up.
        if (!screen.take(std::min(deadline, clock_type::now() + std::chrono::milliseconds(5))))
            break;
    }
    fcntl(master, F_SETFL, flags);
    std::size_t echoed = std::min(screen.size() - from, paste.size());
    double secs = ms_since(start) / 1000;
    std::printf("a %ld KiB paste, echoed: %.1f KiB/s (%.2f s", kib, double(echoed) / secs / 1024,
                secs);
    if (echoed < paste.size())
        std::printf("; cut after %lld s with %.1f KiB echoed",
                    static_cast<long long>(paste_limit.count()), double(echoed) / 1024);
    std::printf(")\n");
    return echoed == paste.size();
}

}  // namespace

int main(int argc, char** argv) {
    int keys = argc > 1 ? std::atoi(argv[1]) : default_keys;
    long kib = argc > 2 ? std::atol(argv[2]) : default_paste_kib;
    if (keys <= 0 || keys > 10000 || kib < 0 || kib > 65536) {
        std::fprintf(stderr, "usage: echo-latency [KEYS (1..10000) [PASTE_KIB (0..65536)]]\n");
        return 2;
    }
    SERVER_CHILD server;
    std::string why;
    if (!server_start({"--demo"}, &server, &why)) {
        std::fprintf(stderr, "echo-latency: %s\n", why.c_str());
        return 1;
    }
    int master = -1, slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        std::perror("echo-latency: openpty");
        server_stop(&server);
        return 1;
    }
    // The terminal's standard input and output are the pseudo-terminal: it sees a console.
    int pid = child_start({TARVIK_TERMINAL_PATH, "-q"}, "JTAG_VARNAX_SERVER=" + server.address,
                          slave, slave);
    close(slave);
    SCREEN screen(master);
    bool ok = pid > 0 &&
              screen.wait_for(banner_end, 0, clock_type::now() + banner_limit) != std::string::npos;
    if (!ok)
        std::fprintf(stderr, "echo-latency: the demo target's banner did not come; the screen: %s\n",
                     screen.text().c_str());
    ok = ok && time_keys(master, screen, keys);
    // A cut paste leaves keys queued in front of "bye": such a session is simply killed.
    bool finished = ok && (kib == 0 || time_paste(master, screen, kib));
    if (pid > 0 && !finished) {
        child_wait(pid, std::chrono::milliseconds(0));
    } else if (pid > 0) {
        // Enter, then "bye": the target answers with Ctrl-D and the session ends by itself.
        type(master, "\rbye\r");
        if (child_wait(pid, std::chrono::seconds(5)) != 0) {
            std::fprintf(stderr, "echo-latency: the session did not end on bye\n");
            ok = false;
        }
    }
    close(master);
    server_stop(&server);
    return ok ? 0 : 1;
}
