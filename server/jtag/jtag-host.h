// server/jtag/jtag-host.h: the host driver of one JTAG chain behind OpenOCD, for the server's
// single-threaded poll loop. It runs OpenOCD (or reaches one the user runs), finds the JTAG UART
// cores on the chain and moves the bytes of the instances that clients hold.
//
// The server's part, in its loop:
//   start() once; then before each poll, poll_fds() and timeout_ms() for what to wait on;
//   after each poll (bytes or time), process(); then read()/write() the held instances.
//   state() says when the devices are known (ready) and when the link is lost (lost_reason());
//   stop() and start() again to begin anew after a loss.
#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "server/jtag/jtag-engine.h"

struct OPENOCD_PROCESS;

struct JTAG_HOST_SETTINGS {
    // The Tcl address ("HOST:PORT") of an OpenOCD the user runs. Empty: the host starts its own.
    std::string tcl_address;
    // For the OpenOCD the host starts: the program, and the user's configuration files (-f
    // each, in order). It listens on loopback only, on a port of the host's choosing.
    std::string openocd_program = "openocd";
    std::vector<std::string> config_files;
    // How long OpenOCD may take to open its Tcl port (a probe of a long chain takes a while).
    std::chrono::milliseconds start_limit{10000};
};

struct JTAG_POLL_FD {
    int fd;
    bool read;
    bool write;
};

class JTAG_HOST {
public:
    enum class STATE { stopped, starting, discovering, ready, lost };

    explicit JTAG_HOST(JTAG_HOST_SETTINGS settings);
    ~JTAG_HOST();
    JTAG_HOST(const JTAG_HOST&) = delete;
    JTAG_HOST& operator=(const JTAG_HOST&) = delete;

    // Starts OpenOCD (or the connection to the user's). False with *error when it cannot even
    // begin (OpenOCD missing, a malformed address); later failures show as STATE::lost.
    bool start(std::string* error);
    // Ends the connection and the OpenOCD the host started. Instances and their bytes go.
    void stop();

    STATE state() const;
    // Why the link was lost: "OpenOCD ended with status 1: Error: ...", "the JTAG cable or the
    // core stopped answering: ...", "OpenOCD closed the connection".
    const std::string& lost_reason() const { return m_lost_reason; }

    // What to wait for before the next call to process(), and for how long at most (-1: no
    // limit of its own). Nothing once the link is lost.
    std::vector<JTAG_POLL_FD> poll_fds() const;
    int timeout_ms() const;
    // Moves the Tcl bytes and runs the next scan when due. Call after every poll.
    void process();

    // The cores found, once ready: device = chain position, instances 0 .. info.instances-1.
    const std::vector<JTAG_DEVICE>& devices() const { return m_engine.devices(); }
    // A client holds an instance (it is scanned as fast as its bytes move) or lets it go.
    bool hold(int device, int instance, bool held) { return m_engine.hold(device, instance, held); }
    // Bytes of an instance; a write takes what fits in the host's buffer (flow control
    // towards the core is the driver's job).
    std::size_t read(int device, int instance, char* data, std::size_t size) {
        return m_engine.read(device, instance, data, size);
    }
    std::size_t write(int device, int instance, const char* data, std::size_t size) {
        return m_engine.write(device, instance, data, size);
    }
    std::size_t write_room(int device, int instance) const {
        return m_engine.write_room(device, instance);
    }
    std::uint64_t scans() const { return m_engine.scans(); }

private:
    bool begin_connect(std::string* error);
    void fail(const std::string& reason);
    void move_bytes();
    void check_process();

    JTAG_HOST_SETTINGS m_settings;
    JTAG_ENGINE m_engine;
    OPENOCD_PROCESS* m_process = nullptr;
    std::string m_host;
    std::uint16_t m_port = 0;
    int m_fd = -1;
    bool m_connecting = false;
    bool m_started = false;
    std::chrono::steady_clock::time_point m_start_deadline;
    std::chrono::steady_clock::time_point m_retry_at;
    std::string m_lost_reason;
};
