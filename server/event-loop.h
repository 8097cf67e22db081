// What the event loops of every system share: the core and the targets they feed, the list of
// what to wait on and for how long, the targets' announcements, the fault commands' lines and
// the sending to clients. Each system's loop (event-loop-posix.cpp, event-loop-win32.cpp) adds
// the waiting itself, the sockets' calls and the ways a stop is asked for.
#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "server/core/server-core.h"
#include "server/jtag-server.h"
#include "server/targets/jtag-cable.h"
#include "server/targets/target.h"

// One handle to wait on, and what it belongs to.
struct LOOP_WAIT {
    enum class KIND { listener, commands, wake, client, target, cable };
    KIND kind;
    std::intptr_t handle = -1;
    bool read = false;
    bool write = false;
    CLIENT_SESSION* session = nullptr;
    std::size_t uart = 0;
    TARGET_WAIT target_wait;
};

class LOOP_BASE {
public:
    LOOP_BASE(const BOARD_CONFIG& config, const SERVER_OPTIONS& options);
    virtual ~LOOP_BASE() = default;

protected:
    // A send that took n bytes (0: would wait), or -1: the connection is broken.
    virtual long send_to_client(std::intptr_t socket, const char* data, std::size_t size) = 0;
    // No more bytes go to the client; the socket stays open for what it still sends.
    virtual void shut_client_write(std::intptr_t socket) = 0;
    virtual void close_client(std::intptr_t socket) = 0;
    // What the system's loop does when one of its waits has an event.
    virtual void accept_client() = 0;
    virtual void read_commands() = 0;
    virtual void read_client(CLIENT_SESSION* session) = 0;
    virtual void woken() = 0;

    // Connections taken from the listening socket at most per wake.
    static constexpr int accept_batch = 64;

    // Hands an event on one of the waits to its owner; hangup: the other side is gone.
    void dispatch(const LOOP_WAIT& wait, bool hangup);
    // Accepting ran out of descriptors: the waiting connection stays ready, so the listening
    // socket is left alone a while instead of spinning.
    void pause_accepting(const std::string& why);

    // Lets every target take what it needs, listens, starts the targets, then says where they
    // and the server listen. False, with why on standard error, when the server cannot serve.
    bool start_serving();
    // What to wait on (the clients and the targets, and the listening socket unless accepting
    // is paused) and the longest wait in milliseconds.
    int collect_waits(std::intptr_t listener, std::vector<LOOP_WAIT>* out);
    void client_accepted(std::intptr_t socket, const std::string& peer, bool loopback);
    // Bytes of the fault-command stream; each whole line is answered on standard output.
    void command_bytes(const char* data, std::size_t size);
    // After each wait: time-driven work, moving bytes, sending, removing finished clients.
    void after_wait();
    // Whether the server has served its clients and is to stop (--stop-when-unused).
    bool unused() const {
        return m_options.stop_when_unused && m_had_client && m_core.sessions().empty();
    }
    // Ends every target program at once, so the slowest one sets how long a stop takes.
    void stop_targets();
    // The cables behind OpenOCD move their bytes; a chain found brings its JTAG UARTs into the
    // board (with a target each), a chain lost makes the cable unplugged until it is found again.
    void run_jtag_cables(SERVER_TIME now);
    void flush_client(CLIENT_SESSION* session);

    SERVER_OPTIONS m_options;
    std::string m_config_file;  // names the lines of the JTAG UARTs in messages
    SERVER_LOG m_log;
    SERVER_CORE m_core;
    std::vector<std::unique_ptr<TARGET>> m_targets;  // by JTAG UART
    // The cables behind OpenOCD, with their place in the board model.
    std::vector<std::pair<CABLE_STATE*, std::unique_ptr<JTAG_CABLE>>> m_jtag_cables;
    std::map<CLIENT_SESSION*, std::intptr_t> m_sockets;
    int m_listen = -1;  // the listening socket; the system's loop closes it
    SERVER_TIME m_accept_paused_until;

private:
    std::string m_command_line;
    bool m_had_client = false;
};
