// One open link to a JTAG UART through the local JTAG server: handshake, buffers, credits.
#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "client/auth-client.h"
#include "wire/protocol.h"

class VARNAX_LINK {
public:
    // Bytes from the target that the library holds at most; the server sends no more until
    // the application has read some (a slow reader holds the target back).
    static constexpr std::size_t receive_window = 262144;

    VARNAX_LINK() = default;
    ~VARNAX_LINK();
    VARNAX_LINK(const VARNAX_LINK&) = delete;
    VARNAX_LINK& operator=(const VARNAX_LINK&) = delete;

    // Connects to address and claims a JTAG UART, proving the shared secret read from
    // secret_path when the server asks for it. On failure returns the error code (-1..-9) and
    // fills *text; on success returns 0.
    int open(const std::string& address, const varnax::OPEN_REQUEST& request,
             const std::string& secret_path, std::string* text);
    int read(char* buffer, unsigned int count);
    int write(const char* data, unsigned int count);
    // Sends what is still queued (bytes already reported as written), waiting at most
    // timeout_ms, then drops the connection.
    void close(int timeout_ms);

    const varnax::OPEN_REPLY& info() const { return m_info; }

private:
    enum class STEP { ok, lost };
    int handshake(const std::string& address, std::string* text);
    STEP receive_once();
    STEP take_frame(const varnax::FRAME& frame);
    STEP flush_outgoing();
    STEP refuse();
    void lose(const std::string& why);
    void return_credit();
    std::size_t unread() const { return m_received.size() - m_received_start; }

    int m_fd = -1;
    varnax::DECODER m_decoder{varnax::PEER::server};
    varnax::OPEN_REPLY m_info;
    bool m_open_answered = false;
    int m_open_code = 0;
    std::string m_open_text;

    AUTH_CLIENT m_auth{"", "", false};
    std::string m_address;  // the server's, as the texts name it

    // One receive's bytes: large enough that a flood is taken in few calls, each of which
    // frees the server's socket buffer and may wake it.
    std::vector<char> m_chunk;
    std::string m_received;  // data from the target not yet read
    std::size_t m_received_start = 0;
    std::uint64_t m_read_total = 0;     // stream offset of m_received_start
    std::deque<std::uint64_t> m_marks;  // stream offsets where an interruption pattern starts
    std::uint32_t m_granted = 0;        // data bytes the server may still send us
    std::uint32_t m_to_return = 0;      // bytes read but not yet granted back

    std::string m_outgoing;  // frames not yet taken by the socket
    std::size_t m_outgoing_start = 0;
    std::uint64_t m_write_credit = 0;  // room left in the JTAG UART's input FIFO

    bool m_lost = false;
    std::string m_lost_why;
};
