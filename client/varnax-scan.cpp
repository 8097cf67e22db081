// The inventory request: one short connection that lists and opens nothing.
#include "client/varnax-scan.h"

#include <chrono>

#include "client/auth-client.h"
#include "client/server-address.h"
#include "client/socket.h"
#include "text/text.h"

namespace {

// Fills the result from the server's frames, answering its challenge for the shared secret
// first when it makes one; false once the exchange is over (done or failed).
class INVENTORY {
public:
    INVENTORY(SCAN_RESULT* result, AUTH_CLIENT* auth) : m_result(result), m_auth(auth) {}

    bool greeting(std::uint32_t version) {
        m_result->server_version = version;
        if (version == varnax::protocol_version) return true;
        return fail(SCAN_ERROR::other_version, "the server speaks protocol version " +
                                                   varnax::number_text(version) +
                                                   "; this program speaks version " +
                                                   varnax::number_text(varnax::protocol_version));
    }

    bool frame(const varnax::FRAME& frame) {
        varnax::OPEN_FAILURE refusal;
        // A refusal of the connection needs no proof: it gives nothing away and grants nothing.
        if (frame.type == varnax::msg_open_fail && varnax::parse_open_fail(frame, &refusal) &&
            refusal.code == varnax::open_refused)
            return fail(SCAN_ERROR::turned_away, text_escaped(refusal.text));
        if (AUTH_CLIENT::is_auth_frame(frame.type))
            return proof_step(m_auth->take(frame, &m_reply));
        if (!m_answered) {
            m_answered = true;
            if (!proof_step(m_auth->take_other())) return false;
        }
        return entry(frame);
    }

    bool fail(SCAN_ERROR error, const std::string& why) {
        m_result->error = error;
        m_result->why = why;
        m_result->cables.clear();
        return false;
    }

    // What the server must be sent now (the answer to its challenge), once.
    std::string take_reply() {
        std::string reply;
        reply.swap(m_reply);
        return reply;
    }

private:
    bool proof_step(AUTH_CLIENT::STEP step) {
        if (step == AUTH_CLIENT::STEP::refused) return fail(SCAN_ERROR::secret, m_auth->refusal());
        if (step == AUTH_CLIENT::STEP::malformed)
            return fail(SCAN_ERROR::broken,
                        "the server's proof of the shared secret is out of place");
        return true;
    }

    bool entry(const varnax::FRAME& frame) {
        // A server that never ends its list must not fill this process's memory.
        if (frame.type != varnax::msg_list_end && ++m_entries > scan_max_entries)
            return fail(SCAN_ERROR::too_large, "more than " + varnax::number_text(scan_max_entries) +
                                                   " cables, devices and JTAG UARTs");
        SCAN_CABLE cable;
        std::int32_t device = 0;
        varnax::LIST_UART uart;
        auto& cables = m_result->cables;
        switch (frame.type) {
            case varnax::msg_list_cable:
                if (!varnax::parse_list_cable(frame, &cable.cable)) break;
                cables.push_back(cable);
                return true;
            case varnax::msg_list_device:
                if (!varnax::parse_list_device(frame, &device) || cables.empty()) break;
                cables.back().devices.push_back(SCAN_DEVICE{device, {}});
                return true;
            case varnax::msg_list_uart:
                if (!varnax::parse_list_uart(frame, &uart) || cables.empty() ||
                    cables.back().devices.empty())
                    break;
                cables.back().devices.back().uarts.push_back(uart);
                return true;
            case varnax::msg_list_end:
                return false;
        }
        return fail(SCAN_ERROR::broken, "the server sent a message out of place (type " +
                                            varnax::number_text(frame.type) + ")");
    }

    SCAN_RESULT* m_result;
    AUTH_CLIENT* m_auth;
    std::string m_reply;
    bool m_answered = false;  // the server has sent something besides the proof exchange
    std::size_t m_entries = 0;
};

int ms_left(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

bool send_all(int fd, const std::string& request, std::chrono::steady_clock::time_point deadline,
              std::string* why) {
    std::size_t sent = 0;
    while (sent < request.size()) {
        long n = socket_send(fd, request.data() + sent, request.size() - sent, why);
        if (n < 0) return false;
        sent += static_cast<std::size_t>(n);
        if (sent < request.size() && !socket_wait(fd, true, ms_left(deadline))) {
            *why = "the server takes no bytes";
            return false;
        }
    }
    return true;
}

// Reads until the inventory is complete, the server hangs up or the deadline passes.
void receive_inventory(int fd, std::chrono::steady_clock::time_point deadline, AUTH_CLIENT* auth,
                       SCAN_RESULT* result) {
    INVENTORY inventory(result, auth);
    varnax::DECODER decoder(varnax::PEER::server);
    bool greeted = false;
    std::string why;
    std::size_t total = 0;
    for (;;) {
        if (!socket_wait(fd, false, ms_left(deadline))) {
            inventory.fail(greeted ? SCAN_ERROR::broken : SCAN_ERROR::not_a_server,
                           greeted ? "the server stopped in the middle of its answer"
                                   : "the program at this address does not answer");
            return;
        }
        char chunk[4096];
        long n = socket_receive(fd, chunk, sizeof chunk, &why);
        if (n < 0) {
            inventory.fail(greeted ? SCAN_ERROR::broken : SCAN_ERROR::not_a_server,
                           greeted
                               ? "the server hung up before it had listed everything: " + why
                               : "the program at this address hung up without greeting: " + why);
            return;
        }
        total += static_cast<std::size_t>(n);
        if (total > scan_max_bytes) {
            inventory.fail(SCAN_ERROR::too_large,
                           "more than " + varnax::number_text(scan_max_bytes) + " bytes");
            return;
        }
        decoder.append(chunk, static_cast<std::size_t>(n));
        std::uint32_t version = 0;
        varnax::FRAME frame;
        for (varnax::DECODE step;
             (step = decoder.next(&version, &frame)) != varnax::DECODE::need_more;) {
            bool more = true;
            if (step == varnax::DECODE::error)
                more = inventory.fail(greeted ? SCAN_ERROR::broken : SCAN_ERROR::not_a_server,
                                      decoder.error());
            else if (step == varnax::DECODE::greeting)
                more = greeted = inventory.greeting(version);
            else
                more = inventory.frame(frame);
            if (!more) return;
        }
        std::string reply = inventory.take_reply();
        if (!reply.empty() && !send_all(fd, reply, deadline, &why)) {
            inventory.fail(SCAN_ERROR::broken,
                           "the proof of the shared secret cannot be sent: " + why);
            return;
        }
    }
}

}  // namespace

SCAN_RESULT varnax_scan(const std::string& address, const std::string& secret_path,
                        int timeout_ms) {
    SCAN_RESULT result;
    std::string host;
    std::uint16_t port = 0;
    ADDRESS_ERROR bad = address_parse(address, &host, &port, &result.why);
    if (bad != ADDRESS_ERROR::none) {
        result.error = bad == ADDRESS_ERROR::malformed ? SCAN_ERROR::malformed_address
                                                       : SCAN_ERROR::no_such_host;
        return result;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    CONNECT_ERROR kind = CONNECT_ERROR::none;
    bool loopback = false;
    int fd = socket_connect(host, port, ms_left(deadline), &result.why, &kind, &loopback);
    if (fd < 0) {
        result.error = kind == CONNECT_ERROR::no_such_host ? SCAN_ERROR::no_such_host
                       : kind == CONNECT_ERROR::refused    ? SCAN_ERROR::refused
                       : kind == CONNECT_ERROR::timed_out  ? SCAN_ERROR::timed_out
                                                           : SCAN_ERROR::unreachable;
        return result;
    }
    std::string request;
    varnax::encode_greeting(&request, varnax::protocol_version);
    varnax::encode_list(&request);
    AUTH_CLIENT auth(address, secret_path, !loopback);
    if (!send_all(fd, request, deadline, &result.why))
        result.error = SCAN_ERROR::not_a_server;
    else
        receive_inventory(fd, deadline, &auth, &result);
    socket_close(fd);
    return result;
}
