// The proof's cryptography from OpenSSL's libcrypto.
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include "wire/auth-crypto.h"

bool crypto_random(std::size_t size, std::string* out) {
    out->assign(size, '\0');
    return size == 0 ||
           RAND_bytes(reinterpret_cast<unsigned char*>(&(*out)[0]), static_cast<int>(size)) == 1;
}

bool crypto_hmac_sha256(const std::string& key, const std::string& message, std::string* mac) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
             reinterpret_cast<const unsigned char*>(message.data()), message.size(), digest,
             &size) == nullptr ||
        size != crypto_hmac_size)
        return false;
    mac->assign(reinterpret_cast<const char*>(digest), size);
    return true;
}

bool crypto_equal(const std::string& a, const std::string& b) {
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}
