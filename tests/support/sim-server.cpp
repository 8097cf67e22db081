// Running the real varnax-server for a test, and playing a socket target.
#include "tests/support/sim-server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/support/process-harness.h"
#include "tests/support/temp-dir.h"

namespace {

using clock_type = std::chrono::steady_clock;

int ms_until(clock_type::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

bool wait_fd(int fd, short events, clock_type::time_point deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        int rc = poll(&p, 1, ms_until(deadline));
        if (rc > 0) return true;
        if (rc == 0 || errno != EINTR) return false;
    }
}

// One NUL-separated file of /proc, such as a process's command line or environment.
std::vector<std::string> proc_strings(int pid, const char* file) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + file, std::ios::binary);
    std::vector<std::string> strings;
    for (std::string s; std::getline(in, s, '\0');) strings.push_back(s);
    return strings;
}

std::string wine_prefix_of(int pid) {
    for (const std::string& variable : proc_strings(pid, "environ"))
        if (variable.rfind("WINEPREFIX=", 0) == 0) return variable.substr(11);
    return "";
}

}  // namespace

const std::string& server_program() {
    static const std::string program = server_is_native() ? VARNAX_SERVER_PATH
                                                          : std::getenv("VARNAX_SERVER");
    return program;
}

bool server_is_native() {
    const char* launcher = std::getenv("VARNAX_SERVER");
    return launcher == nullptr || launcher[0] == '\0';
}

int server_stop_signal() {
    return server_is_native() ? SIGTERM : SIGINT;
}

std::string server_serial_name(const std::string& path) {
    const char* dosdevices = std::getenv("VARNAX_SERVER_DOSDEVICES");
    if (server_is_native() || dosdevices == nullptr) return path;
    // COM20 and up are left to the tests; a link whose device is gone is taken again.
    for (int n = 20; n < 100; ++n) {
        std::string link = std::string(dosdevices) + "/com" + std::to_string(n);
        std::error_code none;
        if (std::filesystem::is_symlink(link, none) && std::filesystem::exists(link, none) &&
            std::filesystem::read_symlink(link, none) != path)
            continue;
        std::filesystem::remove(link, none);
        std::filesystem::create_symlink(path, link, none);
        if (!none) return "COM" + std::to_string(n);
    }
    ADD_FAILURE() << "no free COM port name in " << dosdevices;
    return path;
}

int listen_on_free_port(const std::string& host, std::string* address) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    inet_pton(AF_INET, host.c_str(), &addr.sin_addr);
    socklen_t len = sizeof addr;
    address->clear();
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 4) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        close(fd);
        return -1;
    }
    *address = host + ":" + std::to_string(ntohs(addr.sin_port));
    return fd;
}

std::string closed_loopback_address() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof addr;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size) != 0)
        ADD_FAILURE() << "no free loopback port";
    close(fd);
    return "127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
}

SIM_SERVER::SIM_SERVER() : m_dir(std::make_unique<TEMP_DIR>()) {}

SIM_SERVER::~SIM_SERVER() {
    kill_now();
}

bool SIM_SERVER::start_with_target(const std::vector<std::string>& extra_args,
                                   const std::string& uart_options) {
    if (!start("cable sim-cable\ndevice 1\nuart 0 " + uart_options + " listen\n", extra_args))
        return false;
    m_target = std::make_unique<SIM_TARGET>();
    if (m_target->connect(target_address("sim-cable", 1, 0))) return true;
    m_error = "cannot connect to the target port";
    return false;
}

bool SIM_SERVER::send_to_host(const std::string& bytes, std::chrono::milliseconds timeout) {
    return m_target != nullptr && m_target->send(bytes, timeout);
}

bool SIM_SERVER::wait_for_bytes(const std::string& text, std::chrono::milliseconds timeout) {
    auto deadline = clock_type::now() + timeout;
    while (m_target != nullptr && m_received.find(text) == std::string::npos) {
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
        if (left.count() <= 0) return false;
        m_received += m_target->receive(1, left);
    }
    return m_target != nullptr;
}

bool SIM_SERVER::start(const std::string& config_text, const std::vector<std::string>& extra_args) {
    std::string path = m_dir->file("boards.conf");
    std::ofstream(path) << config_text;
    m_args = {"--config", path};
    m_args.insert(m_args.end(), extra_args.begin(), extra_args.end());
    return launch({"--listen", "127.0.0.1:0"});
}

bool SIM_SERVER::start_demo(const std::vector<std::string>& extra_args) {
    m_args = {"--demo"};
    m_args.insert(m_args.end(), extra_args.begin(), extra_args.end());
    return launch({"--listen", "127.0.0.1:0"});
}

long SIM_SERVER::cpu_ticks() const {
    std::ifstream in("/proc/" + std::to_string(pid()) + "/stat");
    std::string line;
    std::getline(in, line);
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) utime = std::stol(field);
        if (i == 15) stime = std::stol(field);
    }
    return utime + stime;
}

bool SIM_SERVER::restart() {
    if (m_address.empty()) return false;
    stop();
    // The old port may linger briefly in the kernel; try again for a while.
    auto deadline = clock_type::now() + std::chrono::seconds(5);
    while (!launch({"--listen", m_address})) {
        if (clock_type::now() >= deadline) return false;
        usleep(50000);
    }
    if (m_target != nullptr && !m_target->connect(target_address("sim-cable", 1, 0))) {
        m_error = "cannot connect to the target port again";
        return false;
    }
    return true;
}

bool SIM_SERVER::launch(const std::vector<std::string>& listen) {
    std::vector<std::string> args = listen;
    args.insert(args.end(), m_args.begin(), m_args.end());
    CHILD_SETUP setup;
    setup.error = CHILD_SETUP::STREAM::file;  // a log that outlives restarts
    setup.error_file = m_dir->file("server.log");
    setup.append = true;
    m_server = std::make_unique<CHILD_PROCESS>(server_program(), args, setup);
    m_targets.clear();
    auto deadline = clock_type::now() + std::chrono::seconds(10);
    std::string line;
    while (m_server->next_line(&line, std::chrono::milliseconds(ms_until(deadline)))) {
        if (line.rfind("listening ", 0) == 0) {
            m_address = line.substr(10);
            return true;
        }
        std::size_t space = line.rfind(' ');
        if (line.rfind("target ", 0) == 0 && space != std::string::npos && space > 7)
            m_targets[line.substr(7, space - 7)] = line.substr(space + 1);
    }
    m_error = "the server did not start:\n" + log();
    kill_now();
    return false;
}

std::string SIM_SERVER::env() const {
    return "JTAG_VARNAX_SERVER=" + m_address;
}

void SIM_SERVER::use_in_this_process() const {
    setenv("JTAG_VARNAX_SERVER", m_address.c_str(), 1);
}

std::string SIM_SERVER::command(const std::string& line, std::chrono::milliseconds timeout) {
    std::string reply;
    if (m_server == nullptr || !m_server->write_input(line + "\n", timeout)) return "timeout";
    return m_server->next_line(&reply, timeout) ? reply : "timeout";
}

std::string SIM_SERVER::target_address(const std::string& cable, int device, int instance) const {
    auto it = m_targets.find("\"" + cable + "\" " + std::to_string(device) + " " +
                             std::to_string(instance));
    return it == m_targets.end() ? "" : it->second;
}

std::string SIM_SERVER::log() const {
    std::ifstream file(m_dir->file("server.log"));
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

bool SIM_SERVER::wait_for_log(const std::string& text, std::chrono::milliseconds timeout) const {
    // The log is a file (it outlives restarts): looked at again every 20 ms until the deadline.
    auto deadline = clock_type::now() + timeout;
    while (log().find(text) == std::string::npos) {
        if (clock_type::now() >= deadline) return false;
        usleep(20000);
    }
    return true;
}

int SIM_SERVER::pid() const {
    return m_server != nullptr && m_server->started() ? m_server->pid() : -1;
}

std::vector<int> SIM_SERVER::target_programs() const {
    if (server_is_native()) return children_of(pid());
    // Wine starts a program as a child of no one: its programs are the other processes of the
    // server's wine prefix. Only one test runs at a time in the prefix.
    std::vector<int> programs = wine_programs(wine_prefix_of(pid()));
    programs.erase(std::remove(programs.begin(), programs.end(), pid()), programs.end());
    return programs;
}

std::vector<int> wine_programs(const std::string& prefix) {
    std::vector<int> programs;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::string name = entry.path().filename();
        if (prefix.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        int pid = std::stoi(name);
        std::vector<std::string> argv = proc_strings(pid, "cmdline");
        // Wine's own services run from C:\windows; a program appears by its Windows path.
        if (wine_prefix_of(pid) != prefix || argv.empty() ||
            argv[0].find('\\') == std::string::npos || argv[0].rfind("C:\\windows\\", 0) == 0)
            continue;
        programs.push_back(pid);
    }
    return programs;
}

bool SIM_SERVER::stop() {
    if (m_server == nullptr || !m_server->send_signal(server_stop_signal()))
        return false;
    EXIT_STATUS status = m_server->wait_exit(std::chrono::seconds(10));
    m_server.reset();
    return status == exited(0);
}

void SIM_SERVER::kill_now() {
    if (m_server == nullptr) return;
    m_server->send_signal(SIGKILL);
    m_server->wait_exit(std::chrono::seconds(10));
    m_server.reset();
}

SIM_TARGET::~SIM_TARGET() {
    close();
}

bool SIM_TARGET::connect(const std::string& address, std::chrono::milliseconds timeout) {
    close();
    std::size_t colon = address.rfind(':');
    if (colon == std::string::npos) return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(std::atoi(address.c_str() + colon + 1)));
    if (inet_pton(AF_INET, address.substr(0, colon).c_str(), &addr.sin_addr) != 1) return false;
    m_fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_fd < 0) return false;
    if (::connect(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return true;
    int err = 0;
    socklen_t len = sizeof err;
    if (errno != EINPROGRESS || !wait_fd(m_fd, POLLOUT, clock_type::now() + timeout) ||
        getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
        close();
        return false;
    }
    return true;
}

bool SIM_TARGET::send(const std::string& bytes, std::chrono::milliseconds timeout) {
    auto deadline = clock_type::now() + timeout;
    std::size_t done = 0;
    while (done < bytes.size()) {
        long n = send_some(bytes.data() + done, bytes.size() - done);
        if (n < 0) return false;
        done += std::size_t(n);
        if (done < bytes.size() && !wait_fd(m_fd, POLLOUT, deadline)) return false;
    }
    return true;
}

long SIM_TARGET::send_some(const char* data, std::size_t size) {
    if (m_fd < 0) return -1;
    for (;;) {
        ssize_t n = ::send(m_fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) return long(n);
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
}

std::string SIM_TARGET::receive(std::size_t n, std::chrono::milliseconds timeout) {
    auto deadline = clock_type::now() + timeout;
    std::string got;
    char chunk[65536];
    while (m_fd >= 0 && got.size() < n) {
        if (!wait_fd(m_fd, POLLIN, deadline)) break;
        std::size_t want = n - got.size() < sizeof chunk ? n - got.size() : sizeof chunk;
        ssize_t r = recv(m_fd, chunk, want, MSG_DONTWAIT);
        if (r < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (r <= 0) break;
        got.append(chunk, std::size_t(r));
    }
    return got;
}

bool SIM_TARGET::wait_closed(std::chrono::milliseconds timeout) {
    auto deadline = clock_type::now() + timeout;
    char chunk[4096];
    while (m_fd >= 0 && wait_fd(m_fd, POLLIN, deadline)) {
        ssize_t r = recv(m_fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (r == 0 || (r < 0 && errno != EINTR && errno != EAGAIN)) return true;
    }
    return false;
}

void SIM_TARGET::shrink_buffers() {
    // Only the send side: a receive buffer shrunk on an open connection can stall loopback
    // TCP for seconds once the peer has been told a larger window.
    int size = 4096;
    setsockopt(m_fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
}

void SIM_TARGET::adopt(int fd) {
    close();
    m_fd = fd;
}

void SIM_TARGET::close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}
