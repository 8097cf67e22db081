// What the server knows and does apart from the operating system: clients, JTAG UARTs with
// their FIFOs, choosing a JTAG UART for an open request, moving bytes, fault commands.
#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "client/protocol.h"
#include "server/board-config.h"
#include "server/jtag-server.h"
#include "server/ring-buffer.h"

struct UART;

// The proof of the shared secret that a client owes before the server answers anything.
struct CLIENT_AUTH {
    enum class STATE { not_asked, asked, proven };
    STATE state = STATE::not_asked;
    std::string challenge;      // the server's, sent after its greeting
    // The client's request (open or list) that came before the proof, kept as it came until
    // the proof holds; type 0: none.
    std::uint8_t waiting_type = 0;
    std::string waiting_payload;
    // After a failed proof the answer waits until then, so each guess costs a second.
    std::chrono::steady_clock::time_point hold_until;
};

struct CLIENT {
    int fd = -1;
    std::string peer;
    varnax::DECODER decoder{varnax::PEER::client};
    bool greeted = false;
    bool open_requested = false;  // it has sent its open request
    UART* uart = nullptr;  // the JTAG UART this client has open
    std::string app_name;
    std::uint32_t pid = 0;
    std::string out;  // frames not yet taken by the socket
    std::size_t out_start = 0;
    std::size_t last_data = std::string::npos;  // offset of the last, still unsent data frame
    std::uint64_t send_credit = 0;              // data bytes the client lets us send
    std::uint64_t granted = 0;     // data bytes we let the client send: room kept in the FIFO
    bool awaiting_target = false;  // its open is answered once the target is reached
    bool closing = false;          // sends what is queued, then ends the connection
    bool write_shut = false;
    bool finished = false;  // to be closed and removed
    std::chrono::steady_clock::time_point accepted_at = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point close_deadline;
    CLIENT_AUTH auth;

    std::size_t queued() const { return out.size() - out_start; }
    // True while a refused proof's answer must not leave yet.
    bool held(std::chrono::steady_clock::time_point now) const { return now < auth.hold_until; }
    void sent(std::size_t n);
};

struct CABLE_STATE {
    std::string name;
    bool plugged = true;
    bool powered = true;
    int warning = 0;
    std::vector<int> devices;  // the JTAG chain, in the configuration's order
};

struct UART {
    UART(CABLE_STATE* c, int d, const UART_CONFIG& u)
        : cable(c), device(d), cfg(u), out_fifo(u.out_depth), in_fifo(u.in_depth) {}
    CABLE_STATE* cable;
    int device;
    UART_CONFIG cfg;
    RING_BUFFER out_fifo;  // target to host
    RING_BUFFER in_fifo;   // host to target
    CLIENT* owner = nullptr;
    int read_fd = -1;  // the target's output; a socket target uses one fd both ways
    int write_fd = -1;
    int listen_fd = -1;
    std::uint16_t port = 0;
    int pid = -1;
    int connect_fd = -1;  // a connection to a connect target on its way
    std::chrono::steady_clock::time_point attempt_started;  // of the last connection attempt
    std::string down_why;   // why the device or the port could not be reached the last time
    bool readable = false;  // poll said so, and no read has since come back empty
    bool writable = false;
    bool drop_when_drained = false;  // the target is gone: end the link once its output is out
    std::string drop_why;
    bool interrupt_pending = false;
    std::uint64_t credit_owed = 0;  // FIFO room freed since the owner was last told

    std::string label() const;         // cable "NAME" device D instance I
    std::string quoted_label() const;  // "NAME" D I
};

class SERVER_STATE {
public:
    SERVER_STATE(const BOARD_CONFIG& config, const SERVER_OPTIONS& options);
    virtual ~SERVER_STATE();
    SERVER_STATE(const SERVER_STATE&) = delete;
    SERVER_STATE& operator=(const SERVER_STATE&) = delete;

    // Handles bytes from a client; protocol faults end that client's connection.
    void take_bytes(CLIENT* client, const char* data, std::size_t size);
    // Moves bytes between the owner, the FIFOs and the target as far as each side allows.
    void pump(UART* uart);
    // One line of the fault-command language; returns "ok" or "error: ...".
    std::string command(const std::string& line);
    // The client goes away: its JTAG UART becomes free.
    void release(CLIENT* client);
    // The client's connection has ended or broken; the next sweep removes it.
    void client_gone(CLIENT* client);
    // Closes and removes the clients that are done: gone, past their closing deadline, or
    // connected too long without asking for a JTAG UART.
    void sweep_clients(std::chrono::steady_clock::time_point now);
    void child_ended(int pid);
    // Connect targets that are down start another attempt when one is due; attempts past
    // their deadline fail.
    void retry_targets();
    // Milliseconds until retry_targets has something to do; -1 when nothing is pending.
    int retry_wait_ms() const;
    // A connection attempt polled writable: it is finished, one way or the other.
    void finish_connect(UART* uart);
    // The target's device hung up (unplugged) while the server was not reading from it.
    void port_hung_up(UART* uart);
    // Sends the client a challenge when it must prove the shared secret (from another machine,
    // or from this one with --secret-for-local); remote: it is not on this machine.
    void ask_for_proof(CLIENT* client, bool remote);

protected:
    // Starts a program, opens a device or starts connecting; false with *why when the
    // target cannot be reached now (a program that cannot be started, too).
    bool start_target(UART* uart, std::string* why = nullptr);
    void stop_target(UART* uart, int grace_ms);
    // Ends every target program at once, so the slowest one sets how long a stop takes.
    void stop_all_targets(int grace_ms);
    // One log line; unprintable bytes (from a client's application name, say) come escaped.
    void log(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Where log lines go: standard error, after "varnax-server: ".
    virtual void write_log(const std::string& line);

    SERVER_OPTIONS m_options;
    std::vector<std::unique_ptr<CABLE_STATE>> m_cables;
    std::vector<std::unique_ptr<UART>> m_uarts;
    std::list<std::unique_ptr<CLIENT>> m_clients;

private:
    void take_frame(CLIENT* client, const varnax::FRAME& frame);
    void take_unproven_frame(CLIENT* client, const varnax::FRAME& frame);
    void check_proof(CLIENT* client, const varnax::FRAME& frame);
    void refuse_proof(CLIENT* client, const char* why);
    void open(CLIENT* client, const varnax::OPEN_REQUEST& request);
    void list(CLIENT* client);
    UART* choose(const varnax::OPEN_REQUEST& request, int* code, std::string* text);
    void drop_link(CLIENT* client, const std::string& why);
    void close_client(CLIENT* client, const char* why);
    void target_gone(UART* uart, const std::string& why);
    std::string lost_text(const UART* uart) const;
    bool open_port(UART* uart, std::string* why);
    void start_connect(UART* uart);
    void connect_failed(UART* uart, const std::string& why);
    void answer_open(CLIENT* client);
    void refuse_open(CLIENT* client, int code, const std::string& text);
    bool feed_target(UART* uart);
    bool drain_target(UART* uart);
    bool send_to_owner(UART* uart);
    void append_data(CLIENT* client, const char* data, std::size_t size);
    CABLE_STATE* find_cable(const std::string& name);
    UART* find_uart(const std::vector<std::string>& words, std::string* error);
};
