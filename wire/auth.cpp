// The proofs of the shared secret and the secret's file.
#include "wire/auth.h"

#include "wire/auth-crypto.h"
#include "wire/protocol.h"
#include "wire/secret-file.h"

namespace {

std::string prove(const char* label, const std::string& secret, const std::string& server_challenge,
                  const std::string& client_challenge) {
    std::string mac;
    if (!crypto_hmac_sha256(secret, label + server_challenge + client_challenge, &mac)) return "";
    return mac;
}

}  // namespace

std::string auth_client_proof(const std::string& secret, const std::string& server_challenge,
                              const std::string& client_challenge) {
    return prove("JVNX client proof", secret, server_challenge, client_challenge);
}

std::string auth_server_proof(const std::string& secret, const std::string& server_challenge,
                              const std::string& client_challenge) {
    return prove("JVNX server proof", secret, server_challenge, client_challenge);
}

std::string auth_new_challenge() {
    std::string challenge;
    if (!crypto_random(varnax::challenge_size, &challenge)) return "";
    return challenge;
}

bool auth_read_secret(const std::string& path, std::string* secret, std::string* error) {
    std::string text;
    // One byte over the limit tells a file that is too long; two more allow a CR LF.
    if (!secret_file_read(path, auth_max_secret + 3, &text, error)) return false;
    if (text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0)
        text.resize(text.size() - 2);
    else if (!text.empty() && text.back() == '\n')
        text.pop_back();
    // Whatever else is in the file was put there by mistake, and a secret that silently
    // differs from the one on the other side fails only later, with a vaguer message.
    if (text.find_first_of("\r\n") != std::string::npos) {
        *error = path + " holds more than one line: the secret is one line, with at most one " +
                 "line end (LF or CR LF) after it";
        return false;
    }
    if (text.size() < auth_min_secret) {
        *error = path + " holds fewer than " + varnax::number_text(auth_min_secret) +
                 " bytes: too short for a secret";
        return false;
    }
    if (text.size() > auth_max_secret) {
        *error = path + " holds more than " + varnax::number_text(auth_max_secret) +
                 " bytes: too long for a secret";
        return false;
    }
    *secret = text;
    return true;
}

bool auth_new_secret_file(const std::string& path, std::string* error) {
    static const char hex[] = "0123456789abcdef";
    std::string random;
    if (!crypto_random(auth_new_secret_size, &random)) {
        *error = "cannot make a secret: the system's random generator failed";
        return false;
    }
    std::string text;
    for (unsigned char c : random) {
        text += hex[c >> 4];
        text += hex[c & 0xF];
    }
    return secret_file_create(path, text + "\n", error);
}
