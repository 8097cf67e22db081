// A client's session: decoding, the proof of the shared secret, credit and the send queue.
#include "server/session/client-session.h"

#include "wire/auth-crypto.h"
#include "wire/auth.h"

namespace {

// A client's unsent frames stay below this before more target output is framed for it.
constexpr std::size_t client_queue_limit = 65536;
constexpr auto close_grace = std::chrono::seconds(2);
// A connection must have asked for a JTAG UART by then, or it is dropped.
constexpr auto open_timeout = std::chrono::seconds(10);
constexpr auto failed_proof_cost = std::chrono::seconds(1);

// "HOST:PORT" or "[HOST]:PORT" without the port and the brackets.
std::string address_of(const std::string& peer) {
    std::size_t colon = peer.rfind(':');
    if (colon == std::string::npos) return peer;
    if (peer.size() > 2 && peer[0] == '[' && peer[colon - 1] == ']')
        return peer.substr(1, colon - 2);
    return peer.substr(0, colon);
}

}  // namespace

CLIENT_SESSION::CLIENT_SESSION(std::string peer, const SESSION_RULES& rules, SERVER_LOG& log,
                               SERVER_TIME now)
    : m_peer(std::move(peer)),
      m_address(address_of(m_peer)),
      m_rules(rules),
      m_log(log),
      m_now(now),
      m_accepted_at(now) {
    varnax::encode_greeting(&m_out, rules.protocol_version);
}

bool CLIENT_SESSION::ask_for_proof() {
    m_challenge = auth_new_challenge();
    if (m_challenge.empty()) {
        close("cannot make a random challenge");
        return false;
    }
    varnax::encode_auth_challenge(&m_out, m_challenge);
    m_proof = PROOF::asked;
    return true;
}

void CLIENT_SESSION::append(const char* data, std::size_t size) {
    m_decoder.append(data, size);
}

CLIENT_ASK CLIENT_SESSION::next(varnax::OPEN_REQUEST* request, const unsigned char** data,
                                std::size_t* size) {
    std::uint32_t version = 0;
    varnax::FRAME frame;
    if (proof_waiting()) {
        CLIENT_ASK ask = retry_proof(request, data, size);
        if (ask != CLIENT_ASK::nothing) return ask;
    }
    while (!m_closing && !m_finished) {
        switch (m_decoder.next(&version, &frame)) {
            case varnax::DECODE::need_more:
                return CLIENT_ASK::nothing;
            case varnax::DECODE::error:
                close(m_decoder.error().c_str());
                return CLIENT_ASK::ended;
            case varnax::DECODE::greeting:
                // The client learns of the mismatch from our greeting and gives up.
                if (version != m_rules.protocol_version) {
                    close("speaks another protocol version");
                    return CLIENT_ASK::ended;
                }
                break;
            case varnax::DECODE::frame: {
                // Credit means the same before the proof of the shared secret as after it.
                CLIENT_ASK ask =
                    m_proof == PROOF::asked && frame.type != varnax::msg_credit
                        ? take_unproven(frame, request, data, size)
                        : take_frame(frame.type, frame.payload, frame.size, request, data, size);
                if (ask != CLIENT_ASK::nothing) return ask;
                break;
            }
        }
    }
    return CLIENT_ASK::nothing;
}

CLIENT_ASK CLIENT_SESSION::take_frame(std::uint8_t type, const unsigned char* payload,
                                      std::size_t size, varnax::OPEN_REQUEST* request,
                                      const unsigned char** data, std::size_t* data_size) {
    varnax::FRAME frame{type, payload, size};
    std::uint32_t credit = 0;
    switch (type) {
        case varnax::msg_open:
            if (m_open_requested || !varnax::parse_open(frame, request)) break;
            m_open_requested = true;
            m_app_name = request->app_name;
            m_pid = request->pid;
            return CLIENT_ASK::open;
        case varnax::msg_list:
            if (m_holds_uart) break;
            return CLIENT_ASK::list;
        case varnax::msg_credit:
            if (!varnax::parse_credit(frame, &credit)) break;
            m_send_credit += credit;
            if (m_send_credit > 0xFFFFFFFFu) break;
            return CLIENT_ASK::nothing;
        case varnax::msg_data:
            // Room for these bytes was promised; more than that is a faulty client.
            if (!m_holds_uart || size > m_granted) break;
            m_granted -= size;
            *data = payload;
            *data_size = size;
            return CLIENT_ASK::data;
    }
    close("sent a message out of place");
    return CLIENT_ASK::ended;
}

// Before the proof a client may send its request, an open or a list (kept until the proof
// holds), and credit (taken as usual); anything else counts as a failed proof.
CLIENT_ASK CLIENT_SESSION::take_unproven(const varnax::FRAME& frame, varnax::OPEN_REQUEST* request,
                                         const unsigned char** data, std::size_t* size) {
    bool asks = frame.type == varnax::msg_open || frame.type == varnax::msg_list;
    if (asks && m_waiting_type == 0) {
        m_waiting_type = frame.type;
        m_waiting_payload.assign(reinterpret_cast<const char*>(frame.payload), frame.size);
        return CLIENT_ASK::nothing;
    }
    if (!m_waiting_proof.empty()) {
        // Not a guess: nothing was checked, so nothing counts against the address.
        close("sent a message out of place");
        return CLIENT_ASK::ended;
    }
    if (frame.type != varnax::msg_auth_proof) return refuse_proof("no proof of the shared secret");
    if (m_rules.guesses != nullptr && !m_rules.guesses->may_check(m_address, m_now)) {
        m_waiting_proof.assign(reinterpret_cast<const char*>(frame.payload), frame.size);
        return CLIENT_ASK::nothing;
    }
    return check_proof(frame, request, data, size);
}

CLIENT_ASK CLIENT_SESSION::retry_proof(varnax::OPEN_REQUEST* request, const unsigned char** data,
                                       std::size_t* size) {
    if (!m_rules.guesses->may_check(m_address, m_now)) return CLIENT_ASK::nothing;
    std::string payload;
    payload.swap(m_waiting_proof);
    varnax::FRAME frame{varnax::msg_auth_proof,
                        reinterpret_cast<const unsigned char*>(payload.data()), payload.size()};
    return check_proof(frame, request, data, size);
}

CLIENT_ASK CLIENT_SESSION::check_proof(const varnax::FRAME& frame, varnax::OPEN_REQUEST* request,
                                       const unsigned char** data, std::size_t* size) {
    std::string client_challenge, proof;
    if (!varnax::parse_auth_proof(frame, &client_challenge, &proof))
        return refuse_proof("no proof of the shared secret");
    std::string expected = auth_client_proof(m_rules.secret, m_challenge, client_challenge);
    if (expected.empty() || !crypto_equal(proof, expected)) return refuse_proof("wrong secret");
    std::string server_proof = auth_server_proof(m_rules.secret, m_challenge, client_challenge);
    if (server_proof.empty()) {
        close("cannot compute the server's proof");
        return CLIENT_ASK::ended;
    }
    m_log.line("%s: proved the shared secret", m_peer.c_str());
    m_proof = PROOF::proven;
    varnax::encode_auth_ok(&m_out, server_proof);
    if (m_waiting_type == 0) return CLIENT_ASK::nothing;
    std::uint8_t type = m_waiting_type;
    m_waiting_type = 0;
    // The payload stays in the session while the core reads the request parsed from it.
    return take_frame(type, reinterpret_cast<const unsigned char*>(m_waiting_payload.data()),
                      m_waiting_payload.size(), request, data, size);
}

// The refusal goes out after a second and the connection ends, so guessing the secret is slow.
CLIENT_ASK CLIENT_SESSION::refuse_proof(const char* why) {
    m_log.line("%s: refused: %s", m_peer.c_str(), why);
    if (m_rules.guesses != nullptr) m_rules.guesses->failed(m_address, m_now, true);
    varnax::encode_auth_fail(&m_out, why);
    m_closing = true;
    m_hold_until = m_now + failed_proof_cost;
    m_close_deadline = m_hold_until + close_grace;
    return CLIENT_ASK::ended;
}

void CLIENT_SESSION::end_soon() {
    m_holds_uart = false;
    m_awaiting_target = false;
    m_closing = true;
    m_close_deadline = m_now + close_grace;
}

void CLIENT_SESSION::open_accepted(const varnax::OPEN_REPLY& reply) {
    m_awaiting_target = false;
    varnax::encode_open_ok(&m_out, reply);
}

void CLIENT_SESSION::open_refused(const varnax::OPEN_FAILURE& failure) {
    varnax::encode_open_fail(&m_out, failure);
    end_soon();
}

void CLIENT_SESSION::link_lost(const std::string& why) {
    varnax::encode_link_lost(&m_out, why);
    end_soon();
}

void CLIENT_SESSION::listed(const std::string& frames) {
    m_out += frames;
    end_soon();
}

void CLIENT_SESSION::close(const char* why) {
    m_log.line("%s: dropped: %s", m_peer.c_str(), why);
    end_soon();
}

void CLIENT_SESSION::turn_away(const std::string& why) {
    m_log.line("%s: turned away: %s", m_peer.c_str(), why.c_str());
    say_refused(why);
}

// The core logs these, a line a second at most.
void CLIENT_SESSION::cut_short(const std::string& why) {
    if (!m_closing) say_refused(why);
    m_turned_away = true;
    m_cut_short = true;
    m_close_deadline = m_now;
}

void CLIENT_SESSION::say_refused(const std::string& why) {
    forget_waiting_proof();
    m_turned_away = true;
    varnax::encode_open_fail(&m_out, varnax::OPEN_FAILURE{varnax::open_refused, why});
    end_soon();
}

void CLIENT_SESSION::gone() {
    if (!m_closing && !m_finished) m_log.line("%s: disconnected", m_peer.c_str());
    forget_waiting_proof();
    m_holds_uart = false;
    m_finished = true;
}

void CLIENT_SESSION::broken() {
    forget_waiting_proof();
    m_holds_uart = false;
    m_finished = true;
}

// A proof that waited for its turn and was never checked still counts against its own
// address, so hanging up early buys a guesser nothing; not against all addresses, or one
// guesser could keep everyone's proofs waiting.
void CLIENT_SESSION::forget_waiting_proof() {
    if (!proof_waiting()) return;
    m_waiting_proof.clear();
    m_rules.guesses->failed(m_address, m_now, false);
}

bool CLIENT_SESSION::queue_full() const {
    return queued() >= client_queue_limit;
}

// Adds to the last queued data frame while it has room, so a fast target costs few frames.
std::size_t CLIENT_SESSION::send_data(const char* data, std::size_t size) {
    if (size > m_send_credit) size = std::size_t(m_send_credit);
    m_send_credit -= size;
    std::size_t taken = size;
    if (m_last_data != std::string::npos && m_last_data >= m_out_start) {
        std::size_t added = varnax::extend_data(&m_out, m_last_data, data, size);
        data += added;
        size -= added;
    }
    // The rest goes into new frames, none longer than the client accepts.
    while (size > 0) {
        std::size_t chunk = size < varnax::max_payload ? size : varnax::max_payload;
        m_last_data = m_out.size();
        varnax::encode_data(&m_out, data, chunk);
        data += chunk;
        size -= chunk;
    }
    return taken;
}

bool CLIENT_SESSION::send_interrupt() {
    if (m_send_credit < varnax::interrupt_size) return false;
    varnax::encode_interrupt(&m_out);
    m_last_data = std::string::npos;
    m_send_credit -= varnax::interrupt_size;
    return true;
}

void CLIENT_SESSION::send_credit(std::uint64_t count) {
    varnax::encode_credit(&m_out, static_cast<std::uint32_t>(count));
    m_last_data = std::string::npos;
    m_granted += count;
}

const char* CLIENT_SESSION::pending(std::size_t* size) const {
    *size = queued();
    return m_out.data() + m_out_start;
}

void CLIENT_SESSION::sent(std::size_t n) {
    m_out_start += n;
    if (m_out_start == m_out.size()) {
        m_out.clear();
        m_out_start = 0;
        m_last_data = std::string::npos;
        return;
    }
    // A socket that never takes the whole queue would otherwise keep every byte ever sent:
    // sent bytes go once they are as many as those still queued.
    if (m_out_start >= queued()) {
        m_out.erase(0, m_out_start);
        m_last_data = m_last_data != std::string::npos && m_last_data >= m_out_start
                          ? m_last_data - m_out_start
                          : std::string::npos;
        m_out_start = 0;
    }
}

bool CLIENT_SESSION::done(SERVER_TIME now, bool* late, const char** why) const {
    // Only a connection that is still there can be late, asking or proving.
    bool waiting = !m_finished && !m_closing;
    bool no_proof = waiting && m_proof == PROOF::asked && now - m_accepted_at > m_rules.proof_time;
    *late = no_proof || (waiting && !m_open_requested && now - m_accepted_at > open_timeout);
    if (why != nullptr)
        *why = no_proof ? "no proof of the shared secret in time" : "no open request in time";
    return m_finished || *late || (m_closing && now >= m_close_deadline);
}
