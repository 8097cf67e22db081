// Tests of the cryptography seam and of the proofs made with it (on every system, as each
// system has its own seam).
#include "wire/auth-crypto.h"

#include <gtest/gtest.h>

#include "wire/auth.h"

namespace {

std::string hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char b : bytes) text += {digits[b >> 4], digits[b & 15]};
    return text;
}

TEST(AuthCrypto, ComputesHmacSha256AndComparesWholeValues) {
    // RFC 4231, test case 2.
    std::string mac;
    ASSERT_TRUE(crypto_hmac_sha256("Jefe", "what do ya want for nothing?", &mac));
    EXPECT_EQ(hex(mac), "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
    EXPECT_TRUE(crypto_equal(mac, mac));
    std::string last = mac;
    last.back() ^= 1;
    EXPECT_FALSE(crypto_equal(mac, last));
    EXPECT_FALSE(crypto_equal(mac, mac.substr(0, 31)));
    std::string a, b;
    ASSERT_TRUE(crypto_random(32, &a));
    ASSERT_TRUE(crypto_random(32, &b));
    EXPECT_EQ(a.size(), 32u);
    EXPECT_NE(a, b);
}

TEST(AuthProof, BindsTheSecretBothChallengesAndTheSide) {
    std::string secret = "0123456789abcdef", s = auth_new_challenge(), c = auth_new_challenge();
    ASSERT_EQ(s.size(), 32u);
    ASSERT_NE(s, c);
    std::string proof = auth_client_proof(secret, s, c);
    ASSERT_EQ(proof.size(), 32u);
    EXPECT_EQ(proof, auth_client_proof(secret, s, c));
    EXPECT_NE(proof, auth_server_proof(secret, s, c));  // neither side can reflect the other's
    EXPECT_NE(proof, auth_client_proof(secret, c, s));
    EXPECT_NE(proof, auth_client_proof(secret, auth_new_challenge(), c));
    EXPECT_NE(proof, auth_client_proof(secret, s, auth_new_challenge()));
    EXPECT_NE(proof, auth_client_proof("0123456789abcdeF", s, c));
}

}  // namespace
