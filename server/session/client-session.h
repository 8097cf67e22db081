// One client's connection as the protocol sees it: the greeting, frames in both directions,
// the proof of the shared secret, credit both ways, and the frames waiting to be sent. The
// socket itself belongs to the event loop; what the client asks for goes to the server core.
#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "server/log.h"
#include "server/session/guess-limit.h"
#include "wire/protocol.h"

// What every session of one server shares.
struct SESSION_RULES {
    std::uint32_t protocol_version = varnax::protocol_version;
    std::string secret;  // the shared secret; empty: nobody is asked for it
    GUESS_LIMIT* guesses = nullptr;  // when proofs may be checked; null: at once
    std::chrono::milliseconds proof_time{5000};  // to give the proof in, once asked
};

// What the client asked for, one request at a time (CLIENT_SESSION::next).
enum class CLIENT_ASK {
    nothing,  // no complete request yet
    open,     // claim a JTAG UART (*request)
    list,     // the inventory
    data,     // bytes for the JTAG UART's input FIFO (*data, *size), within the room granted
    ended,    // the session refused the client and is closing: the JTAG UART is released
};

class CLIENT_SESSION {
public:
    CLIENT_SESSION(std::string peer, const SESSION_RULES& rules, SERVER_LOG& log, SERVER_TIME now);

    const std::string& peer() const { return m_peer; }
    // The peer's address without its port: what the limits of the door count by.
    const std::string& address() const { return m_address; }
    // The time of the event being handled, for the deadlines it sets; the core sets it first.
    void set_now(SERVER_TIME now) { m_now = now; }
    // Sends a challenge; false when no random challenge could be made (the session is closing).
    bool ask_for_proof();
    // Bytes from the client; take the requests with next().
    void append(const char* data, std::size_t size);
    CLIENT_ASK next(varnax::OPEN_REQUEST* request, const unsigned char** data, std::size_t* size);

    // The answers and messages the core sends.
    void open_accepted(const varnax::OPEN_REPLY& reply);
    // The link is over: a refused open, a lost link, a listing sent. The session sends what is
    // queued, then ends.
    void open_refused(const varnax::OPEN_FAILURE& failure);
    void link_lost(const std::string& why);
    void listed(const std::string& frames);
    void close(const char* why);  // a protocol fault: logged, then the end
    // Not served at all (not allowed here, or the server is too busy): the client is told why
    // in an open failure with the code of "no server", which every client reports as it is.
    void turn_away(const std::string& why);
    // Ends the connection at the next sweep (the loop sends what it can first); a client not
    // yet turned away is told why as by turn_away.
    void cut_short(const std::string& why);
    void gone();                  // the connection ended (logged)
    void broken();                // a send failed: the connection is over, without a word

    // Target output for the client, within its credit; how many bytes were taken.
    std::size_t send_data(const char* data, std::size_t size);
    // Ten 0xFF bytes for the client's reader, when its credit allows; false otherwise.
    bool send_interrupt();
    void send_credit(std::uint64_t count);

    // What waits to be sent, and what the socket took of it.
    const char* pending(std::size_t* size) const;
    void sent(std::size_t n);
    std::size_t queued() const { return m_out.size() - m_out_start; }
    // True while a refused proof's answer must not leave yet.
    bool held(SERVER_TIME now) const { return now < m_hold_until; }
    bool queue_full() const;

    // Served without a proof (not asked for one) or proven; not turned away.
    bool trusted() const {
        return !m_turned_away && (m_proof == PROOF::proven || m_proof == PROOF::not_asked);
    }
    // Asked for the proof, not given it yet, and not ending.
    bool unproven() const { return m_proof == PROOF::asked && !m_closing && !m_finished; }
    // Holds a proof that waits for the guessing limit before it is checked.
    bool proof_waiting() const { return !m_waiting_proof.empty() && unproven(); }
    SERVER_TIME accepted_at() const { return m_accepted_at; }
    // Closed at the next sweep: the connection no longer counts against any limit.
    bool leaving() const { return m_finished || m_cut_short; }
    bool closing() const { return m_closing; }
    bool finished() const { return m_finished; }
    bool write_shut() const { return m_write_shut; }
    void shut_write() { m_write_shut = true; }
    bool open_requested() const { return m_open_requested; }
    bool awaiting_target() const { return m_awaiting_target; }
    void await_target(bool waiting) { m_awaiting_target = waiting; }
    bool holds_uart() const { return m_holds_uart; }
    void hold_uart(bool holds) { m_holds_uart = holds; }
    // Gone, past its closing deadline, or connected too long without asking for a JTAG UART
    // or without proving the secret; *late tells the last two (why: what it did not do).
    bool done(SERVER_TIME now, bool* late, const char** why = nullptr) const;
    std::uint64_t granted() const { return m_granted; }
    void grant(std::uint64_t room) { m_granted += room; }
    void set_granted(std::uint64_t room) { m_granted = room; }
    std::uint64_t credit() const { return m_send_credit; }
    const std::string& app_name() const { return m_app_name; }
    std::uint32_t pid() const { return m_pid; }

    // For tests and the fuzzer: the session's own challenge.
    std::string& challenge() { return m_challenge; }

private:
    enum class PROOF { not_asked, asked, proven };
    CLIENT_ASK take_frame(std::uint8_t type, const unsigned char* payload, std::size_t size,
                          varnax::OPEN_REQUEST* request, const unsigned char** data,
                          std::size_t* data_size);
    CLIENT_ASK take_unproven(const varnax::FRAME& frame, varnax::OPEN_REQUEST* request,
                             const unsigned char** data, std::size_t* size);
    CLIENT_ASK check_proof(const varnax::FRAME& frame, varnax::OPEN_REQUEST* request,
                           const unsigned char** data, std::size_t* size);
    CLIENT_ASK refuse_proof(const char* why);
    void forget_waiting_proof();
    void say_refused(const std::string& why);
    CLIENT_ASK retry_proof(varnax::OPEN_REQUEST* request, const unsigned char** data,
                           std::size_t* size);
    void end_soon();

    std::string m_peer;
    std::string m_address;
    const SESSION_RULES& m_rules;
    SERVER_LOG& m_log;
    SERVER_TIME m_now;  // of the latest event, for the deadlines it sets
    varnax::DECODER m_decoder{varnax::PEER::client};
    bool m_open_requested = false;
    bool m_holds_uart = false;
    std::string m_app_name;
    std::uint32_t m_pid = 0;
    std::string m_out;  // frames not yet taken by the socket
    std::size_t m_out_start = 0;
    std::size_t m_last_data = std::string::npos;  // offset of the last, still unsent data frame
    std::uint64_t m_send_credit = 0;              // data bytes the client lets us send
    std::uint64_t m_granted = 0;     // data bytes we let the client send: room kept in the FIFO
    bool m_awaiting_target = false;  // its open is answered once the target is reached
    bool m_closing = false;          // sends what is queued, then ends the connection
    bool m_write_shut = false;
    bool m_finished = false;  // to be closed and removed
    bool m_turned_away = false;
    bool m_cut_short = false;
    SERVER_TIME m_accepted_at;
    SERVER_TIME m_close_deadline;
    PROOF m_proof = PROOF::not_asked;
    std::string m_challenge;  // the server's, sent after its greeting
    // The client's request (open or list) that came before the proof, kept as it came until
    // the proof holds; type 0: none.
    std::uint8_t m_waiting_type = 0;
    std::string m_waiting_payload;
    // A proof that came while the guessing limit stopped the checking, as it came.
    std::string m_waiting_proof;
    // After a failed proof the answer waits until then, so each guess costs a second.
    SERVER_TIME m_hold_until;
};
