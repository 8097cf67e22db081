// The library's side of the proof of the shared secret, for any connection to the server: it
// answers the server's challenge and checks the server's proof before the server's answer.
#pragma once
#include <string>

#include "wire/protocol.h"

class AUTH_CLIENT {
public:
    enum class STEP { go_on, refused, malformed };

    // address: the server's, for the texts. secret_path: the secret's file, read only if the
    // server asks. remote: the server is not on this machine, so it must prove itself.
    AUTH_CLIENT(const std::string& address, const std::string& secret_path, bool remote);

    static bool is_auth_frame(std::uint8_t type) {
        return type >= varnax::msg_auth_challenge && type <= varnax::msg_auth_fail;
    }
    // An AUTH_* frame from the server; the answer to a challenge is appended to *out.
    STEP take(const varnax::FRAME& frame, std::string* out);
    // Any other frame from the server: refused while the server still owes its proof.
    STEP take_other();
    // Why the proof failed, either way: the library's error text.
    const std::string& refusal() const { return m_refusal; }

private:
    // none: no challenge (yet); asked: our proof is out, the server's is due.
    enum class STATE { none, asked, proven };
    STEP answer(const varnax::FRAME& frame, std::string* out);
    STEP refuse(const std::string& why);

    std::string m_address;
    std::string m_secret_path;
    bool m_remote;
    STATE m_state = STATE::none;
    bool m_answered = false;     // the server has sent something other than the proof exchange
    std::string m_server_proof;  // what the server must send back
    std::string m_refusal;
};
