// SIM_SERVER runs the real varnax-server on a private loopback port for one test; SIM_TARGET
// lets a test be the target side of a JTAG UART whose configuration says "listen".
//
//   SIM_SERVER server;
//   ASSERT_TRUE(server.start("cable c1\ndevice 1\nuart 0 listen\n")) << server.error();
//   server.use_in_this_process();            // the library in this process finds it
//   SIM_TARGET target;
//   ASSERT_TRUE(target.connect(server.target_address("c1", 1, 0)));
//   EXPECT_EQ(server.command("unplug c1"), "ok");
//
// Every wait has a deadline; the destructor kills and reaps the server (and the server ends
// the target programs it started). A server outlives no test: it dies with the test process.
#pragma once
#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <vector>

class CHILD_PROCESS;
class TEMP_DIR;
class SIM_TARGET;

// The server the tests run: the program that VARNAX_SERVER names (a launcher: the Windows
// build's runs varnax-server.exe under wine) or else the native build's. Every server test runs
// against either; a case that is about the POSIX server alone skips itself when it is not native.
const std::string& server_program();
bool server_is_native();
// The signal that asks that server to stop: SIGTERM, or SIGINT (a Ctrl-C) under wine.
int server_stop_signal();
// The name under which that server opens the serial device at path: the path itself, or under
// wine a COM port that the prefix's dosdevices folder (VARNAX_SERVER_DOSDEVICES) links to it.
std::string server_serial_name(const std::string& path);

// The Windows programs that run now under wine in the prefix at this path, wine's own services
// apart.
std::vector<int> wine_programs(const std::string& prefix);

// "127.0.0.1:PORT" where nothing listens: a port bound once, then released.
std::string closed_loopback_address();
// A listening socket on a free port of host (a dotted IPv4 address), for a test's stand-in
// server; *address gets "HOST:PORT". -1 (and *address empty) when it cannot be made.
int listen_on_free_port(const std::string& host, std::string* address);

class SIM_SERVER {
public:
    SIM_SERVER();
    ~SIM_SERVER();
    SIM_SERVER(const SIM_SERVER&) = delete;
    SIM_SERVER& operator=(const SIM_SERVER&) = delete;

    // Starts the server on 127.0.0.1:0 with this configuration (docs/server.md) and any extra
    // options (e.g. "--protocol-version", "2"). False, with error(), when it does not come up.
    bool start(const std::string& config_text, const std::vector<std::string>& extra_args = {});
    // The same with --demo: one cable, one device, one JTAG UART running the demo target.
    bool start_demo(const std::vector<std::string>& extra_args = {});
    // One cable "sim-cable", device 1, instance 0, whose target is this object itself:
    // send_to_host() plays the target's output, wait_for_bytes() checks what the host sent.
    // The connection comes back after restart().
    bool start_with_target(const std::vector<std::string>& extra_args = {},
                           const std::string& uart_options = "in=64 out=64");
    // The target writes these bytes (they reach the host through the JTAG UART).
    bool send_to_host(const std::string& bytes,
                      std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Waits until `text` is among what the target has received from the host.
    bool wait_for_bytes(const std::string& text,
                        std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Everything the target has received from the host so far.
    const std::string& received() const { return m_received; }

    // Stops the server (SIGTERM; under wine SIGINT, which wine makes a Ctrl-C; SIGKILL after a
    // deadline). True when it ended by itself with status 0.
    bool stop();
    // Kills the server at once (SIGKILL), as a crash would.
    void kill_now();
    // Starts it again with the same configuration on the same port.
    bool restart();

    // "127.0.0.1:PORT", valid after start().
    const std::string& address() const { return m_address; }
    // "JTAG_VARNAX_SERVER=127.0.0.1:PORT", for the environment of a program under test.
    std::string env() const;
    // Sets JTAG_VARNAX_SERVER in this process, so the library in the test finds this server.
    void use_in_this_process() const;
    // Sends one fault command and returns the server's answer ("ok", "error: ..."), or
    // "timeout" when none comes within the deadline.
    std::string command(const std::string& line,
                        std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Where a test connects to be the target of a "listen" JTAG UART; empty if there is none.
    std::string target_address(const std::string& cable, int device, int instance) const;
    int pid() const;
    // The processes of the target programs the server runs now.
    std::vector<int> target_programs() const;
    // The processor time the server has used so far (user and system), in clock ticks.
    long cpu_ticks() const;
    // Why start() failed, with what the server printed on standard error.
    const std::string& error() const { return m_error; }
    // What the server has printed on standard error so far.
    std::string log() const;
    // Waits until text is in that log (a cable behind OpenOCD says there when its chain is
    // found or lost). False when the deadline passes first.
    bool wait_for_log(const std::string& text,
                      std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;

private:
    bool launch(const std::vector<std::string>& args);

    std::unique_ptr<TEMP_DIR> m_dir;
    std::vector<std::string> m_args;  // options after the listen address
    std::unique_ptr<CHILD_PROCESS> m_server;
    std::string m_address;
    std::map<std::string, std::string> m_targets;  // "\"CABLE\" D I" -> address
    std::string m_error;
    std::unique_ptr<SIM_TARGET> m_target;  // set by start_with_target()
    std::string m_received;
};

class SIM_TARGET {
public:
    SIM_TARGET() = default;
    ~SIM_TARGET();
    SIM_TARGET(const SIM_TARGET&) = delete;
    SIM_TARGET& operator=(const SIM_TARGET&) = delete;

    // Connects to "127.0.0.1:PORT" (the server takes it in its next pass).
    bool connect(const std::string& address,
                 std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Sends all bytes, or returns false when the deadline passes or the server hangs up.
    bool send(const std::string& bytes,
              std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Sends what the socket takes now without waiting: bytes taken, -1 on failure.
    long send_some(const char* data, std::size_t size);
    // Receives until n bytes have come, the deadline passes or the server hangs up.
    std::string receive(std::size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // True when the server closed the connection within the deadline.
    bool wait_closed(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Makes the socket's send buffer small, so back-pressure on what the target sends shows
    // after few bytes.
    void shrink_buffers();
    // Takes over a connected socket: a test that plays a server talks through it the same way.
    void adopt(int fd);
    void close();

private:
    int m_fd = -1;
};
