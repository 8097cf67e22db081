// The three cryptographic operations of the proof of the shared secret, taken from the system's
// cryptography library (libcrypto on POSIX systems, BCrypt on Windows); none is written here.
#pragma once
#include <cstddef>
#include <string>

constexpr std::size_t crypto_hmac_size = 32;  // an HMAC-SHA256 is 32 bytes

// size bytes from the system's random generator into *out; false when it fails.
bool crypto_random(std::size_t size, std::string* out);
// HMAC-SHA256 of message under key into *mac; false when the library fails.
bool crypto_hmac_sha256(const std::string& key, const std::string& message, std::string* mac);
// Whether a and b hold the same bytes, taking the same time wherever they differ (the sizes
// are not secret).
bool crypto_equal(const std::string& a, const std::string& b);
