// The proof of the shared secret: what a client proves to the server and the server proves
// back, both over the two sides' challenges, and the file the secret is kept in.
#pragma once
#include <cstddef>
#include <string>

// Secrets shorter than this are refused: a short one could be guessed in too few tries.
constexpr std::size_t auth_min_secret = 16;
constexpr std::size_t auth_max_secret = 1024;

// HMAC-SHA256 of the secret over a label and both challenges; the labels differ, so neither
// proof can be passed off as the other. Empty when the cryptography library fails.
std::string auth_client_proof(const std::string& secret, const std::string& server_challenge,
                              const std::string& client_challenge);
std::string auth_server_proof(const std::string& secret, const std::string& server_challenge,
                              const std::string& client_challenge);
// A fresh random challenge; empty when the system's generator fails.
std::string auth_new_challenge();

// Reads the secret from a file that only its owner may read: its bytes without the one line end
// (LF or CR LF) that may follow them. False, with *error naming the file, when it cannot be
// read, is open to other users, holds any other CR or LF, or is too short or too long.
bool auth_read_secret(const std::string& path, std::string* secret, std::string* error);

// Random bytes in a new secret, written as hexadecimal digits.
constexpr std::size_t auth_new_secret_size = 32;
// Writes a new secret to a new file that only its owner may read: auth_new_secret_size random
// bytes in hexadecimal and a line end. An existing file is left alone (false, with *error).
bool auth_new_secret_file(const std::string& path, std::string* error);
