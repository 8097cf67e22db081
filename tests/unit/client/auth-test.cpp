// Tests of the proof of the shared secret: the cryptography seam, the proofs, the secret's file.
#include "client/auth.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>

#include "client/auth-crypto.h"
#include "client/secret-file.h"
#include "tests/support/temp-dir.h"

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

TEST(AuthSecretFile, TakesAPrivateFileWithoutItsLineEnd) {
    TEMP_DIR dir;
    struct CASE {
        std::string text;
        mode_t mode;
        std::string secret;  // empty: refused with an error that says this
        std::string error;
    } cases[] = {
        {"0123456789abcdef\n", 0600, "0123456789abcdef", ""},
        {"0123456789abcdef\r\n", 0400, "0123456789abcdef", ""},
        {"0123456789abcdef", 0700, "0123456789abcdef", ""},
        {"0123456789abcdef", 0640, "", "(mode 0640); make it private with: chmod 600"},
        {"0123456789abcdef", 0604, "", "(mode 0604)"},
        {"0123456789abcdef", 0620, "", "(mode 0620)"},
        {"0123456789abcde\n", 0600, "", "fewer than 16 bytes"},
        {std::string(1025, 's'), 0600, "", "more than 1024 bytes"},
    };
    for (const CASE& c : cases) {
        std::string path = dir.file("secret");
        unlink(path.c_str());
        std::ofstream(path) << c.text;
        chmod(path.c_str(), c.mode);
        std::string secret, error;
        EXPECT_EQ(auth_read_secret(path, &secret, &error), !c.secret.empty()) << c.text;
        EXPECT_EQ(secret, c.secret);
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
    std::string secret, error;
    EXPECT_FALSE(auth_read_secret(dir.path(), &secret, &error));
    EXPECT_EQ(error, dir.path() + " is not a regular file");
}

TEST(AuthSecretFile, LivesInTheUsersConfigurationFolder) {
    setenv("HOME", "/home/ada", 1);
    setenv("XDG_CONFIG_HOME", "/etc/ada", 1);
    EXPECT_EQ(secret_file_default_path(), "/etc/ada/jtag-varnax/secret");
    setenv("XDG_CONFIG_HOME", "relative", 1);  // not a folder one can rely on
    EXPECT_EQ(secret_file_default_path(), "/home/ada/.config/jtag-varnax/secret");
    unsetenv("XDG_CONFIG_HOME");
    unsetenv("HOME");
    EXPECT_EQ(secret_file_default_path(), "");
}

}  // namespace
