// The proof's cryptography from OpenSSL's libcrypto, loaded on first use: most sessions talk to
// a server on their own machine and never prove anything, and loading the library was a third
// of a terminal's start.
#include <dlfcn.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/opensslv.h>
#include <openssl/rand.h>

#include "wire/auth-crypto.h"

namespace {

// The library of the headers this was built with.
#if OPENSSL_VERSION_MAJOR >= 3
const char libcrypto_name[] = "libcrypto.so.3";
#else
const char libcrypto_name[] = "libcrypto.so.1.1";
#endif

struct LIBCRYPTO {
    decltype(&::RAND_bytes) rand_bytes = nullptr;
    decltype(&::HMAC) hmac = nullptr;
    decltype(&::EVP_sha256) sha256 = nullptr;
};

template <typename FUNCTION>
bool find(void* library, const char* name, FUNCTION* function) {
    *function = reinterpret_cast<FUNCTION>(dlsym(library, name));
    return *function != nullptr;
}

// Null when the library or one of its functions cannot be found: every operation then fails.
const LIBCRYPTO* libcrypto() {
    static const LIBCRYPTO* loaded = []() -> const LIBCRYPTO* {
        static LIBCRYPTO functions;
        // Local: a program that loads another libcrypto of its own keeps its own.
        void* library = dlopen(libcrypto_name, RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) return nullptr;
        if (find(library, "RAND_bytes", &functions.rand_bytes) &&
            find(library, "HMAC", &functions.hmac) &&
            find(library, "EVP_sha256", &functions.sha256))
            return &functions;
        dlclose(library);
        return nullptr;
    }();
    return loaded;
}

}  // namespace

bool crypto_random(std::size_t size, std::string* out) {
    out->assign(size, '\0');
    const LIBCRYPTO* crypto = libcrypto();
    return size == 0 ||
           (crypto != nullptr && crypto->rand_bytes(reinterpret_cast<unsigned char*>(&(*out)[0]),
                                                    static_cast<int>(size)) == 1);
}

bool crypto_hmac_sha256(const std::string& key, const std::string& message, std::string* mac) {
    const LIBCRYPTO* crypto = libcrypto();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (crypto == nullptr ||
        crypto->hmac(crypto->sha256(), key.data(), static_cast<int>(key.size()),
                     reinterpret_cast<const unsigned char*>(message.data()), message.size(), digest,
                     &size) == nullptr ||
        size != crypto_hmac_size)
        return false;
    mac->assign(reinterpret_cast<const char*>(digest), size);
    return true;
}

bool crypto_equal(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    // Every byte is looked at, wherever the first difference is.
    volatile unsigned char differ = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        differ = static_cast<unsigned char>(differ | (a[i] ^ b[i]));
    return differ == 0;
}
