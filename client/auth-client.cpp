// The library's side of the proof of the shared secret.
#include "client/auth-client.h"

#include "text/text.h"
#include "wire/auth-crypto.h"
#include "wire/auth.h"
#include "wire/secret-file.h"

AUTH_CLIENT::AUTH_CLIENT(const std::string& address, const std::string& secret_path, bool remote)
    : m_address(address), m_secret_path(secret_path), m_remote(remote) {}

// The exchange comes once, before anything else from the server.
AUTH_CLIENT::STEP AUTH_CLIENT::take(const varnax::FRAME& frame, std::string* out) {
    std::string proof, why;
    switch (frame.type) {
        case varnax::msg_auth_challenge:
            if (m_state != STATE::none || m_answered) break;
            return answer(frame, out);
        case varnax::msg_auth_ok:
            if (m_state != STATE::asked || !varnax::parse_auth_ok(frame, &proof)) break;
            if (!crypto_equal(proof, m_server_proof))
                return refuse("the JTAG server at " + m_address +
                              " could not prove that it knows the shared secret (server proof "
                              "wrong): it may be another program posing as the server");
            m_state = STATE::proven;
            return STEP::go_on;
        case varnax::msg_auth_fail:
            if (m_state != STATE::asked || !varnax::parse_auth_fail(frame, &why)) break;
            return refuse("the JTAG server at " + m_address + " refused the shared secret from " +
                          m_secret_path + " (" + text_escaped(why) + ")");
    }
    return STEP::malformed;
}

AUTH_CLIENT::STEP AUTH_CLIENT::take_other() {
    if (m_state == STATE::asked)
        return refuse("the JTAG server at " + m_address +
                      " answered without proving that it knows the shared secret (server proof "
                      "wrong)");
    // A server on this machine proves itself only when it asks for the secret; one elsewhere
    // always asks, so one that does not may be something else posing as the server.
    if (m_state == STATE::none && m_remote)
        return refuse("the JTAG server at " + m_address +
                      " did not ask for the shared secret nor prove that it knows it (server "
                      "proof wrong); a server on another machine must");
    m_answered = true;
    return STEP::go_on;
}

AUTH_CLIENT::STEP AUTH_CLIENT::answer(const varnax::FRAME& frame, std::string* out) {
    std::string server_challenge, secret, why;
    if (!varnax::parse_auth_challenge(frame, &server_challenge)) return STEP::malformed;
    if (m_secret_path.empty())
        return refuse("the JTAG server at " + m_address +
                      " asks for the shared secret, and there is none (no secret): set "
                      "JTAG_VARNAX_SECRET_FILE to the file that holds it");
    if (!auth_read_secret(m_secret_path, &secret, &why))
        return refuse("the JTAG server at " + m_address +
                      " asks for the shared secret, and there is none (no secret): " + why +
                      "; set JTAG_VARNAX_SECRET_FILE or put the secret in " +
                      secret_file_default_path());
    std::string client_challenge = auth_new_challenge();
    std::string proof = auth_client_proof(secret, server_challenge, client_challenge);
    m_server_proof = auth_server_proof(secret, server_challenge, client_challenge);
    if (client_challenge.empty() || proof.empty() || m_server_proof.empty())
        return refuse("cannot prove the shared secret: the system's cryptography failed");
    varnax::encode_auth_proof(out, client_challenge, proof);
    m_state = STATE::asked;
    return STEP::go_on;
}

AUTH_CLIENT::STEP AUTH_CLIENT::refuse(const std::string& why) {
    if (m_refusal.empty()) m_refusal = why;
    return STEP::refused;
}
