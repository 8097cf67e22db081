// One open link to a JTAG UART: the open handshake, the receive window and the write credit.
#include "client/varnax-link.h"

#include <chrono>
#include <cstring>

#include "client/jtag_varnax.h"
#include "client/server-address.h"
#include "client/socket.h"
#include "text/text.h"

namespace {

constexpr int connect_timeout_ms = 2000;
constexpr int answer_timeout_ms = 5000;

int ms_left(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

VARNAX_LINK::~VARNAX_LINK() {
    socket_close(m_fd);
}

int VARNAX_LINK::open(const std::string& address, const varnax::OPEN_REQUEST& request,
                      const std::string& secret_path, std::string* text) {
    std::string host, why;
    std::uint16_t port = 0;
    if (address_parse(address, &host, &port, text) != ADDRESS_ERROR::none)
        return JTAGVARNAX_NO_SERVER;
    m_address = address;
    bool loopback = false;
    m_fd = socket_connect(host, port, connect_timeout_ms, &why, nullptr, &loopback);
    if (m_fd < 0) {
        *text = "cannot reach the local JTAG server at " + address + ": " + why;
        return JTAGVARNAX_NO_SERVER;
    }
    // Whether the server must prove itself depends on where the connection went, not on how
    // the address was written.
    m_auth = AUTH_CLIENT(address, secret_path, !loopback);
    varnax::encode_greeting(&m_outgoing, varnax::protocol_version);
    varnax::encode_open(&m_outgoing, request);
    varnax::encode_credit(&m_outgoing, receive_window);
    m_granted = receive_window;
    return handshake(address, text);
}

// Sends the greeting and the request, then waits for the server's greeting and answer.
int VARNAX_LINK::handshake(const std::string& address, std::string* text) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(answer_timeout_ms);
    while (m_outgoing_start < m_outgoing.size() && !m_lost) {
        if (flush_outgoing() == STEP::lost) break;
        if (m_outgoing_start < m_outgoing.size() && !socket_wait(m_fd, true, ms_left(deadline)))
            lose("timed out");
    }
    while (!m_lost && !m_open_answered) {
        if (!socket_wait(m_fd, false, ms_left(deadline))) {
            lose("no answer");
            break;
        }
        receive_once();
    }
    if (!m_auth.refusal().empty()) {
        *text = m_auth.refusal();
        return JTAGVARNAX_NO_SERVER;
    }
    if (m_open_answered) {
        *text = m_open_text;
        return m_open_code;
    }
    if (m_open_code == JTAGVARNAX_INCOMPATIBLE) {
        *text = m_open_text;
        return m_open_code;
    }
    *text = "the local JTAG server at " + address + " did not answer: " + m_lost_why;
    return JTAGVARNAX_NO_SERVER;
}

int VARNAX_LINK::read(char* buffer, unsigned int count) {
    if (count == 0) return m_lost && unread() == 0 ? -1 : 0;
    if (!m_lost && unread() < count) receive_once();
    std::size_t n = unread() < count ? unread() : count;
    // A read ends where an interruption pattern starts, so the pattern begins the next read.
    while (!m_marks.empty() && m_marks.front() < m_read_total) m_marks.pop_front();
    if (!m_marks.empty() && m_marks.front() == m_read_total) m_marks.pop_front();
    if (!m_marks.empty() && m_marks.front() - m_read_total < n)
        n = static_cast<std::size_t>(m_marks.front() - m_read_total);
    if (n == 0) return m_lost ? -1 : 0;
    std::memcpy(buffer, m_received.data() + m_received_start, n);
    m_received_start += n;
    m_read_total += n;
    if (m_received_start == m_received.size()) {
        m_received.clear();
        m_received_start = 0;
    }
    m_to_return += static_cast<std::uint32_t>(n);
    if (!m_lost) return_credit();
    return static_cast<int>(n);
}

// Grants the server room again once a quarter of the window is free, so credits cost one
// small frame per few kilobytes.
void VARNAX_LINK::return_credit() {
    if (m_to_return < receive_window / 4) return;
    varnax::encode_credit(&m_outgoing, m_to_return);
    m_granted += m_to_return;
    m_to_return = 0;
    flush_outgoing();
}

int VARNAX_LINK::write(const char* data, unsigned int count) {
    if (m_lost) return -1;
    if (flush_outgoing() == STEP::lost) return -1;
    // The socket is full: take nothing now rather than queue without bound.
    if (m_outgoing_start < m_outgoing.size()) return 0;
    if (m_write_credit < count && receive_once() == STEP::lost) return -1;
    std::size_t n = m_write_credit < count ? static_cast<std::size_t>(m_write_credit) : count;
    for (std::size_t done = 0; done < n;) {
        std::size_t chunk = n - done < varnax::max_payload ? n - done : varnax::max_payload;
        varnax::encode_data(&m_outgoing, data + done, chunk);
        done += chunk;
    }
    m_write_credit -= n;
    // The bytes are ours now: what the socket does not take at once goes out on a later call.
    flush_outgoing();
    return static_cast<int>(n);
}

void VARNAX_LINK::close(int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!m_lost && m_outgoing_start < m_outgoing.size()) {
        if (flush_outgoing() == STEP::lost) break;
        if (m_outgoing_start < m_outgoing.size() && !socket_wait(m_fd, true, ms_left(deadline)))
            break;
    }
    socket_close(m_fd);
    m_fd = -1;
    m_lost = true;
}

VARNAX_LINK::STEP VARNAX_LINK::flush_outgoing() {
    if (m_lost) return STEP::lost;
    if (m_outgoing_start == m_outgoing.size()) return STEP::ok;
    std::string why;
    long n = socket_send(m_fd, m_outgoing.data() + m_outgoing_start,
                         m_outgoing.size() - m_outgoing_start, &why);
    if (n < 0) {
        lose(why);
        return STEP::lost;
    }
    m_outgoing_start += static_cast<std::size_t>(n);
    if (m_outgoing_start == m_outgoing.size()) {
        m_outgoing.clear();
        m_outgoing_start = 0;
    }
    return STEP::ok;
}

void VARNAX_LINK::lose(const std::string& why) {
    if (m_lost) return;
    m_lost = true;
    m_lost_why = why;
    // Whatever is still in the socket was sent before the server went; it stays unread.
    socket_close(m_fd);
    m_fd = -1;
}

// One non-blocking receive, and every complete frame in it.
VARNAX_LINK::STEP VARNAX_LINK::receive_once() {
    if (m_lost) return STEP::lost;
    if (m_chunk.empty()) m_chunk.resize(65536);
    std::string why;
    long n = socket_receive(m_fd, m_chunk.data(), m_chunk.size(), &why);
    if (n < 0) {
        lose(why);
        return STEP::lost;
    }
    if (n == 0) return STEP::ok;
    // What was read goes before more is kept: reads need not end where frames do, so the
    // buffer is seldom found empty and would otherwise grow with the whole stream.
    if (m_received_start > 0 && m_received_start >= unread()) {
        m_received.erase(0, m_received_start);
        m_received_start = 0;
    }
    m_decoder.append(m_chunk.data(), static_cast<std::size_t>(n));
    std::uint32_t version = 0;
    varnax::FRAME frame;
    for (;;) {
        switch (m_decoder.next(&version, &frame)) {
            case varnax::DECODE::need_more:
                return STEP::ok;
            case varnax::DECODE::error:
                lose(m_decoder.error());
                return STEP::lost;
            case varnax::DECODE::greeting:
                if (version != varnax::protocol_version) {
                    m_open_code = JTAGVARNAX_INCOMPATIBLE;
                    m_open_text = "the local JTAG server speaks protocol version " +
                                  varnax::number_text(version) + "; this library speaks version " +
                                  varnax::number_text(varnax::protocol_version);
                    lose("another protocol version");
                    return STEP::lost;
                }
                break;
            case varnax::DECODE::frame:
                if (take_frame(frame) == STEP::lost) return STEP::lost;
                break;
        }
    }
}

VARNAX_LINK::STEP VARNAX_LINK::take_frame(const varnax::FRAME& frame) {
    varnax::OPEN_FAILURE refusal;
    // The server will not serve us at all; that needs no proof, as it grants nothing.
    if (!m_open_answered && frame.type == varnax::msg_open_fail &&
        varnax::parse_open_fail(frame, &refusal) && refusal.code == varnax::open_refused) {
        m_open_answered = true;
        m_open_code = JTAGVARNAX_NO_SERVER;
        m_open_text = "the JTAG server at " + m_address + " refused the connection: " +
                      text_escaped(refusal.text);
        lose("the server refused the connection");
        return STEP::lost;
    }
    if (AUTH_CLIENT::is_auth_frame(frame.type)) {
        AUTH_CLIENT::STEP step = m_auth.take(frame, &m_outgoing);
        if (step == AUTH_CLIENT::STEP::go_on) return flush_outgoing();
        if (step == AUTH_CLIENT::STEP::refused) return refuse();
        lose("a malformed message from the server");
        return STEP::lost;
    }
    if (!m_open_answered && m_auth.take_other() == AUTH_CLIENT::STEP::refused) return refuse();
    bool answer = frame.type == varnax::msg_open_ok || frame.type == varnax::msg_open_fail;
    if (answer == m_open_answered) {
        lose(answer ? "a second answer to the open request" : "data before the open answer");
        return STEP::lost;
    }
    std::uint32_t credit = 0;
    varnax::OPEN_FAILURE failure;
    switch (frame.type) {
        case varnax::msg_open_ok:
            if (!varnax::parse_open_ok(frame, &m_info)) break;
            m_open_answered = true;
            m_write_credit = m_info.write_credit;
            return STEP::ok;
        case varnax::msg_open_fail:
            if (!varnax::parse_open_fail(frame, &failure) || failure.code >= 0) break;
            m_open_answered = true;
            m_open_code = failure.code;
            m_open_text = text_escaped(failure.text);
            lose("the open request was refused");
            return STEP::lost;
        case varnax::msg_data:
        case varnax::msg_interrupt: {
            std::size_t size = frame.type == varnax::msg_data ? frame.size : varnax::interrupt_size;
            if (size > m_granted) {
                lose("the server sent more than the window allows");
                return STEP::lost;
            }
            m_granted -= static_cast<std::uint32_t>(size);
            if (frame.type == varnax::msg_interrupt) {
                m_marks.push_back(m_read_total + unread());
                m_received.append(varnax::interrupt_size, '\xFF');
            } else {
                m_received.append(reinterpret_cast<const char*>(frame.payload), frame.size);
            }
            return STEP::ok;
        }
        case varnax::msg_credit:
            if (!varnax::parse_credit(frame, &credit)) break;
            m_write_credit += credit;
            if (m_write_credit > 0xFFFFFFFFu) break;
            return STEP::ok;
        case varnax::msg_link_lost: {
            std::string why;
            if (!varnax::parse_link_lost(frame, &why)) break;
            lose(why.empty() ? "the link was lost" : why);
            return STEP::lost;
        }
    }
    lose("a malformed message from the server");
    return STEP::lost;
}

VARNAX_LINK::STEP VARNAX_LINK::refuse() {
    lose("the proof of the shared secret failed");
    return STEP::lost;
}
