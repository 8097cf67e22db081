// The proof of the shared secret: a client that must give it sees nothing before it has.
#include <chrono>

#include "client/auth-crypto.h"
#include "client/auth.h"
#include "server/server-state.h"

namespace {

constexpr auto failed_proof_cost = std::chrono::seconds(1);
constexpr auto close_grace = std::chrono::seconds(2);

}  // namespace

void SERVER_STATE::ask_for_proof(CLIENT* client, bool remote) {
    if (m_options.secret.empty() || !(remote || m_options.secret_for_local)) return;
    client->auth.challenge = auth_new_challenge();
    if (client->auth.challenge.empty()) {
        close_client(client, "cannot make a random challenge");
        return;
    }
    varnax::encode_auth_challenge(&client->out, client->auth.challenge);
    client->auth.state = CLIENT_AUTH::STATE::asked;
}

// Before the proof a client may send its request, an open or a list (kept until the proof
// holds), and credit (taken as usual); anything else counts as a failed proof.
void SERVER_STATE::take_unproven_frame(CLIENT* client, const varnax::FRAME& frame) {
    if (frame.type == varnax::msg_auth_proof) return check_proof(client, frame);
    bool request = frame.type == varnax::msg_open || frame.type == varnax::msg_list;
    if (request && client->auth.waiting_type == 0) {
        client->auth.waiting_type = frame.type;
        client->auth.waiting_payload.assign(reinterpret_cast<const char*>(frame.payload),
                                            frame.size);
        return;
    }
    refuse_proof(client, "no proof of the shared secret");
}

void SERVER_STATE::check_proof(CLIENT* client, const varnax::FRAME& frame) {
    std::string client_challenge, proof;
    if (!varnax::parse_auth_proof(frame, &client_challenge, &proof))
        return refuse_proof(client, "no proof of the shared secret");
    const std::string& ours = client->auth.challenge;
    std::string expected = auth_client_proof(m_options.secret, ours, client_challenge);
    if (expected.empty() || !crypto_equal(proof, expected))
        return refuse_proof(client, "wrong secret");
    std::string server_proof = auth_server_proof(m_options.secret, ours, client_challenge);
    if (server_proof.empty()) return close_client(client, "cannot compute the server's proof");
    log("%s: proved the shared secret", client->peer.c_str());
    client->auth.state = CLIENT_AUTH::STATE::proven;
    varnax::encode_auth_ok(&client->out, server_proof);
    if (client->auth.waiting_type == 0) return;
    std::string payload = std::move(client->auth.waiting_payload);
    take_frame(client, varnax::FRAME{client->auth.waiting_type,
                                     reinterpret_cast<const unsigned char*>(payload.data()),
                                     payload.size()});
}

// The refusal goes out after a second and the connection ends, so guessing the secret is slow.
void SERVER_STATE::refuse_proof(CLIENT* client, const char* why) {
    log("%s: refused: %s", client->peer.c_str(), why);
    release(client);
    varnax::encode_auth_fail(&client->out, why);
    client->closing = true;
    client->auth.hold_until = std::chrono::steady_clock::now() + failed_proof_cost;
    client->close_deadline = client->auth.hold_until + close_grace;
}
