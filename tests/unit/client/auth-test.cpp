// Tests of the library's side of the proof of the shared secret, and of the secret's file.
#include "wire/auth.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>

#include "client/auth-client.h"
#include "tests/support/temp-dir.h"
#include "wire/protocol.h"
#include "wire/secret-file.h"

namespace {

varnax::FRAME as_frame(const std::string& frame) {
    return varnax::FRAME{std::uint8_t(frame[0]),
                         reinterpret_cast<const unsigned char*>(frame.data()) + varnax::header_size,
                         frame.size() - varnax::header_size};
}

// The library's side against a server played here: what it proves, and what it accepts back.
TEST(AuthClient, ProvesTheSecretAndChecksTheServersProof) {
    TEMP_DIR dir;
    std::string path = dir.file("secret"), secret = "0123456789abcdef";
    std::ofstream(path) << secret << "\n";
    chmod(path.c_str(), 0600);
    std::string server_challenge = auth_new_challenge(), challenge_frame;
    varnax::encode_auth_challenge(&challenge_frame, server_challenge);
    for (bool honest : {true, false}) {
        AUTH_CLIENT auth("192.0.2.1:47011", path, true);
        std::string out;
        ASSERT_EQ(auth.take(as_frame(challenge_frame), &out), AUTH_CLIENT::STEP::go_on);
        std::string client_challenge, proof;
        ASSERT_TRUE(varnax::parse_auth_proof(as_frame(out), &client_challenge, &proof));
        EXPECT_EQ(proof, auth_client_proof(secret, server_challenge, client_challenge));
        EXPECT_EQ(auth.take_other(), AUTH_CLIENT::STEP::refused);  // an answer before the proof
        std::string ok;
        varnax::encode_auth_ok(
            &ok, honest ? auth_server_proof(secret, server_challenge, client_challenge)
                        : auth_client_proof(secret, server_challenge, client_challenge));
        EXPECT_EQ(auth.take(as_frame(ok), &out),
                  honest ? AUTH_CLIENT::STEP::go_on : AUTH_CLIENT::STEP::refused);
        EXPECT_EQ(auth.take(as_frame(challenge_frame), &out), AUTH_CLIENT::STEP::malformed);
    }
}

TEST(AuthClient, ExpectsTheProofOnlyFromAServerElsewhere) {
    AUTH_CLIENT remote("192.0.2.1:47011", "", true), local("127.0.0.1:47011", "", false);
    EXPECT_EQ(remote.take_other(), AUTH_CLIENT::STEP::refused);
    EXPECT_NE(remote.refusal().find("(server proof wrong)"), std::string::npos);
    EXPECT_EQ(local.take_other(), AUTH_CLIENT::STEP::go_on);
    std::string challenge, out;
    varnax::encode_auth_challenge(&challenge, auth_new_challenge());
    EXPECT_EQ(local.take(as_frame(challenge), &out), AUTH_CLIENT::STEP::malformed);  // too late
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
        // One line end at most: anything more is a mistake that would otherwise go unseen.
        {"0123456789abcdef\n\n", 0600, "", "holds more than one line"},
        {"0123456789abcdef\r", 0600, "", "holds more than one line"},
        {"0123456789abcdef\r\r\n", 0600, "", "holds more than one line"},
        {"01234567\n89abcdef", 0600, "", "holds more than one line"},
        {std::string(1024, 's') + "\n\n\nX", 0600, "", "holds more than one line"},
        {std::string(1024, 's') + "\r\n", 0600, std::string(1024, 's'), ""},
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
