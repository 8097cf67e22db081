// The server's targets for real boards and emulators: a serial device (a pseudo-terminal
// stands in for the board's adapter) and a TCP serial port (a listener stands in for the
// emulator), driven through the access library like the terminal does.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <set>
#include <thread>

#include "client/jtag_varnax.h"
#include "tests/support/sim-server.h"
#include "tests/support/temp-dir.h"
#include "tests/e2e/link-test-util.h"

namespace {

using clock_type = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Bytes from a fixed generator: every value turns up, none in a pattern a translation keeps.
std::string pattern(std::size_t size, std::uint32_t seed) {
    std::string bytes(size, '\0');
    for (char& b : bytes) {
        seed = seed * 1103515245u + 12345u;
        b = static_cast<char>(seed >> 23);
    }
    return bytes;
}

struct EXCHANGE {
    std::string at_target;  // what the device side received
    std::string at_host;    // what the library read
    bool lost = false;
    double seconds = 0;
};

// Sends `down` from the host through the JTAG UART to the device side (fd, non-blocking) and
// `up` the other way, both at once, until both have arrived or the deadline passes.
EXCHANGE exchange(JTAGVARNAX* link, int fd, const std::string& down, const std::string& up,
                  std::chrono::milliseconds timeout = 20s) {
    EXCHANGE r;
    auto start = clock_type::now(), deadline = start + timeout;
    std::thread host([&] {
        std::size_t sent = 0;
        char block[4096];
        while ((sent < down.size() || r.at_host.size() < up.size()) &&
               clock_type::now() < deadline) {
            std::size_t n = std::min(down.size() - sent, sizeof block);
            int w = n > 0 ? jtagvarnax_write(link, down.data() + sent, unsigned(n)) : 0;
            int got = jtagvarnax_read(link, block, sizeof block);
            if (w < 0 || got < 0) {
                r.lost = true;
                return;
            }
            sent += std::size_t(w);
            r.at_host.append(block, std::size_t(got));
            if (w == 0 && got == 0) std::this_thread::sleep_for(100us);
        }
    });
    std::size_t written = 0;
    char block[65536];
    while ((r.at_target.size() < down.size() || written < up.size()) &&
           clock_type::now() < deadline) {
        pollfd p{fd, short(POLLIN | (written < up.size() ? POLLOUT : 0)), 0};
        if (poll(&p, 1, 100) <= 0) continue;
        ssize_t n = read(fd, block, sizeof block);
        if (n > 0) r.at_target.append(block, std::size_t(n));
        if (written < up.size()) {
            n = write(fd, up.data() + written, std::min<std::size_t>(up.size() - written, 65536));
            if (n > 0) written += std::size_t(n);
        }
    }
    host.join();
    r.seconds = std::chrono::duration<double>(clock_type::now() - start).count();
    return r;
}

// A pseudo-terminal pair: the server opens the device side by its path, the test holds the
// other end as the board would.
class PTY_BOARD {
public:
    PTY_BOARD() {
        m_fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (m_fd < 0 || grantpt(m_fd) != 0 || unlockpt(m_fd) != 0) return;
        m_device = ptsname(m_fd);
        fcntl(m_fd, F_SETFL, O_NONBLOCK);
    }
    ~PTY_BOARD() { unplug(); }
    int fd() const { return m_fd; }
    const std::string& device() const { return m_device; }
    void unplug() {
        if (m_fd >= 0) close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd = -1;
    std::string m_device;
};

// The line settings the server gave the device, read back through the other end.
void expect_raw(int fd, speed_t speed) {
    termios mode{};
    ASSERT_EQ(tcgetattr(fd, &mode), 0);
    EXPECT_EQ(mode.c_lflag & (ECHO | ECHONL | ICANON | ISIG | IEXTEN), 0u) << "echo or editing";
    EXPECT_EQ(mode.c_iflag & (ICRNL | INLCR | IGNCR | IXON | IXOFF | ISTRIP | PARMRK), 0u)
        << "input translation or software flow control";
    EXPECT_EQ(mode.c_oflag & OPOST, 0u) << "output translation";
    EXPECT_EQ(mode.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), tcflag_t(CS8)) << "not 8N1";
    EXPECT_EQ(cfgetispeed(&mode), speed);
    EXPECT_EQ(cfgetospeed(&mode), speed);
}

std::string board_config(const std::string& target) {
    return "cable board\ndevice 0\nuart 0 in=4096 out=4096 " + target + "\n";
}

// The error of an open that must fail.
std::string refused_open(int* code) {
    OPEN_LINK link("board", 0, 0);
    const char* text = nullptr;
    *code = jtagvarnax_get_error(&text);
    return link ? "(opened)" : text;
}

void expect_idle(const SIM_SERVER& server) {
    long before = server.cpu_ticks();
    std::this_thread::sleep_for(1s);
    EXPECT_LT(server.cpu_ticks() - before, sysconf(_SC_CLK_TCK) / 4) << "the server kept busy";
}

TEST(SerialTarget, CarriesEveryByteValueBothWaysOnARawLine) {
    PTY_BOARD board;
    ASSERT_FALSE(board.device().empty());
    SIM_SERVER server;
    const std::string device = server_serial_name(board.device());
    ASSERT_TRUE(server.start(board_config("serial " + device + " 230400"), {"--quiet"}))
        << server.error();
    server.use_in_this_process();
    expect_raw(board.fd(), B230400);
    OPEN_LINK link("board", 0, 0);
    ASSERT_TRUE(link) << last_open_error();
    // A COM port under wine moves about a tenth of a MiB a second on a busy machine: the
    // Windows server carries 1 MiB, and the deadline only ends a transfer that has stalled.
    const std::size_t size = server_is_native() ? 3 << 20 : 1 << 20;
    std::string down = pattern(size, 1), up = pattern(size, 2);
    EXPECT_EQ(std::set<char>(down.begin(), down.end()).size(), 256u);
    EXCHANGE r = exchange(link.get(), board.fd(), down, up, 120s);
    EXPECT_FALSE(r.lost);
    EXPECT_TRUE(r.at_target == down) << r.at_target.size() << " of " << down.size() << " bytes";
    EXPECT_TRUE(r.at_host == up) << r.at_host.size() << " of " << up.size() << " bytes";
    std::printf("serial target: %zu bytes each way in %.2f s (%.1f MiB/s each way)\n", down.size(),
                r.seconds, double(down.size()) / (1 << 20) / r.seconds);
}

TEST(SerialTarget, LosesTheLinkWhenTheDeviceVanishesAndReopensItWhenBack) {
    TEMP_DIR dir;
    std::string path = dir.file("ttyBOARD");
    auto board = std::make_unique<PTY_BOARD>();
    ASSERT_EQ(symlink(board->device().c_str(), path.c_str()), 0);
    SIM_SERVER server;
    const std::string device = server_serial_name(path);
    ASSERT_TRUE(server.start(board_config("serial " + device), {"--quiet"})) << server.error();
    server.use_in_this_process();
    {
        OPEN_LINK link("board", 0, 0);
        ASSERT_TRUE(link) << last_open_error();
        EXCHANGE r = exchange(link.get(), board->fd(), "ping", "pong");
        EXPECT_EQ(r.at_target, "ping");
        EXPECT_EQ(r.at_host, "pong");
        // Unplugged: the adapter's device goes away.
        board->unplug();
        ASSERT_EQ(unlink(path.c_str()), 0);
        EXPECT_TRUE(read_until_lost(link.get(), 5s).lost);
    }
    int code = 0;
    EXPECT_EQ(refused_open(&code), "cannot open " + device + ": " +
                                       (server_is_native() ? "No such file or directory"
                                                           : "File not found"));
    EXPECT_EQ(code, JTAGVARNAX_BOARD_UNPOWERED);
    expect_idle(server);
    // Plugged in again (it may get another name; the path follows it).
    board = std::make_unique<PTY_BOARD>();
    ASSERT_EQ(symlink(board->device().c_str(), path.c_str()), 0);
    OPEN_LINK link("board", 0, 0);
    ASSERT_TRUE(link) << last_open_error();
    expect_raw(board->fd(), B115200);
    EXCHANGE r = exchange(link.get(), board->fd(), "again\r\n", "back\n");
    EXPECT_EQ(r.at_target, "again\r\n");
    EXPECT_EQ(r.at_host, "back\n");
    link.close();
    if (!server_is_native()) return;  // the Windows server sees a lost device only as it reads
    // Unplugged while nobody reads and the FIFO is full: the next open gets the new device,
    // after what the old one had sent.
    std::string unread = pattern(65536, 5);
    std::size_t taken = 0;
    // Written until the line stays full for a while: the FIFO and the device's buffer are.
    for (auto quiet = clock_type::now() + 300ms; clock_type::now() < quiet;) {
        ssize_t n = write(board->fd(), unread.data() + taken, unread.size() - taken);
        if (n > 0) taken += std::size_t(n), quiet = clock_type::now() + 300ms;
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_GT(taken, 4096u);
    board = std::make_unique<PTY_BOARD>();
    ASSERT_EQ(unlink(path.c_str()), 0);
    ASSERT_EQ(symlink(board->device().c_str(), path.c_str()), 0);
    OPEN_LINK third("board", 0, 0);
    ASSERT_TRUE(third) << last_open_error();
    r = exchange(third.get(), board->fd(), "third", "");
    EXPECT_FALSE(r.lost);
    EXPECT_EQ(r.at_target, "third");
    READ_RESULT old = read_bytes(third.get(), 4096 - r.at_host.size(), 5s);
    EXPECT_TRUE(r.at_host + old.bytes == unread.substr(0, 4096));
}

TEST(SerialTarget, ReportsADeviceItCannotUse) {
    TEMP_DIR dir;
    std::string plain = dir.file("plain");
    FILE* f = std::fopen(plain.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    SIM_SERVER server;
    const std::string device = server_serial_name(plain);
    ASSERT_TRUE(server.start("cable board\ndevice 0\nuart 0 serial " + device + "\n", {"--quiet"}))
        << server.error();
    server.use_in_this_process();
    int code = 0;
    EXPECT_EQ(refused_open(&code), "cannot open " + device + ": not a serial device");
    EXPECT_EQ(code, JTAGVARNAX_BOARD_UNPOWERED);
}

// A loopback listener standing in for an emulator's serial port.
class FAKE_EMULATOR {
public:
    // Listens on port (0: any free one).
    explicit FAKE_EMULATOR(std::uint16_t port = 0) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        socklen_t len = sizeof addr;
        if (bind(m_listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
            listen(m_listener, 4) == 0 &&
            getsockname(m_listener, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
            m_port = ntohs(addr.sin_port);
    }
    ~FAKE_EMULATOR() { stop(); }
    std::uint16_t port() const { return m_port; }
    // Waits for the server to connect; the connection's descriptor (non-blocking) or -1.
    int accept_server(std::chrono::milliseconds timeout) {
        pollfd p{m_listener, POLLIN, 0};
        if (poll(&p, 1, int(timeout.count())) != 1) return -1;
        m_conn = accept4(m_listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        return m_conn;
    }
    void stop() {
        for (int* fd : {&m_conn, &m_listener})
            if (*fd >= 0) close(*fd), *fd = -1;
    }

private:
    int m_listener = -1;
    int m_conn = -1;
    std::uint16_t m_port = 0;
};

TEST(ConnectTarget, FollowsAnEmulatorThatRestarts) {
    auto emulator = std::make_unique<FAKE_EMULATOR>();
    std::uint16_t port = emulator->port();
    ASSERT_NE(port, 0);
    SIM_SERVER server;
    ASSERT_TRUE(
        server.start(board_config("connect 127.0.0.1:" + std::to_string(port)), {"--quiet"}))
        << server.error();
    server.use_in_this_process();
    // The server connects by itself, before anyone opens the JTAG UART.
    int conn = emulator->accept_server(5s);
    ASSERT_GE(conn, 0);
    {
        OPEN_LINK link("board", 0, 0);
        ASSERT_TRUE(link) << last_open_error();
        std::string down = pattern(1 << 20, 3), up = pattern(1 << 20, 4);
        EXCHANGE r = exchange(link.get(), conn, down, up);
        EXPECT_TRUE(r.at_target == down) << r.at_target.size() << " of " << down.size();
        EXPECT_TRUE(r.at_host == up) << r.at_host.size() << " of " << up.size();
        emulator->stop();  // the emulator ends
        EXPECT_TRUE(read_until_lost(link.get(), 5s).lost);
    }
    int code = 0;
    EXPECT_EQ(refused_open(&code),
              "cannot connect to 127.0.0.1:" + std::to_string(port) + ": Connection refused");
    EXPECT_EQ(code, JTAGVARNAX_BOARD_UNPOWERED);
    expect_idle(server);
    // Started again: an open connects at once, without waiting for the next retry.
    emulator = std::make_unique<FAKE_EMULATOR>(port);
    ASSERT_EQ(emulator->port(), port);
    OPEN_LINK link("board", 0, 0);
    ASSERT_TRUE(link) << last_open_error();
    conn = emulator->accept_server(5s);
    ASSERT_GE(conn, 0);
    EXCHANGE r = exchange(link.get(), conn, "hello", "=> ");
    EXPECT_EQ(r.at_target, "hello");
    EXPECT_EQ(r.at_host, "=> ");
    // Gone again, with nobody on the JTAG UART: the server reconnects by itself.
    link.close();
    emulator.reset();
    emulator = std::make_unique<FAKE_EMULATOR>(port);
    EXPECT_GE(emulator->accept_server(5s), 0);
}

}  // namespace
