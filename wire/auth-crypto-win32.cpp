// The proof's cryptography from Windows' BCrypt (Cryptography API: Next Generation).
// bcrypt.h needs the types of windows.h first.
#include <windows.h>

#include <bcrypt.h>

#include "wire/auth-crypto.h"

bool crypto_random(std::size_t size, std::string* out) {
    out->assign(size, '\0');
    if (size == 0) return true;
    return BCRYPT_SUCCESS(BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(&(*out)[0]),
                                          static_cast<ULONG>(size),
                                          BCRYPT_USE_SYSTEM_PREFERRED_RNG));
}

bool crypto_hmac_sha256(const std::string& key, const std::string& message, std::string* mac) {
    BCRYPT_ALG_HANDLE hAlgorithm = nullptr;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&hAlgorithm, BCRYPT_SHA256_ALGORITHM, nullptr,
                                                    BCRYPT_ALG_HANDLE_HMAC_FLAG)))
        return false;
    BCRYPT_HASH_HANDLE hHash = nullptr;
    UCHAR digest[crypto_hmac_size];
    // BCrypt takes the key as a non-const buffer but does not change it.
    std::string key_copy = key;
    bool ok = BCRYPT_SUCCESS(BCryptCreateHash(hAlgorithm, &hHash, nullptr, 0,
                                              reinterpret_cast<PUCHAR>(&key_copy[0]),
                                              static_cast<ULONG>(key_copy.size()), 0)) &&
              BCRYPT_SUCCESS(
                  BCryptHashData(hHash, reinterpret_cast<PUCHAR>(const_cast<char*>(message.data())),
                                 static_cast<ULONG>(message.size()), 0)) &&
              BCRYPT_SUCCESS(BCryptFinishHash(hHash, digest, sizeof digest, 0));
    if (hHash != nullptr) BCryptDestroyHash(hHash);
    BCryptCloseAlgorithmProvider(hAlgorithm, 0);
    SecureZeroMemory(&key_copy[0], key_copy.size());
    if (ok) mac->assign(reinterpret_cast<const char*>(digest), sizeof digest);
    return ok;
}

// BCrypt has no comparison: every byte is looked at, whatever the first difference.
bool crypto_equal(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    volatile unsigned char differ = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        differ = static_cast<unsigned char>(differ | (a[i] ^ b[i]));
    return differ == 0;
}
