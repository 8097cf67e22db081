// Remote access to the server: a client from another machine proves the shared secret before it
// sees anything, the server proves it back, and clients on this machine still need nothing.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <thread>

#include "client/jtag_varnax.h"
#include "tests/e2e/link-test-util.h"
#include "tests/support/net-pair.h"
#include "tests/support/one-connection-server.h"
#include "tests/support/process-harness.h"
#include "tests/support/sim-server.h"
#include "tests/support/temp-dir.h"
#include "wire/auth.h"
#include "wire/protocol.h"

namespace {

using namespace std::chrono_literals;

const char* boards = "cable c1\ndevice 1\nuart 0 echo\n";
const std::string lab_secret = "the lab's boards: 2f9c41d07e3b58a6";

std::string write_file(const std::string& path, const std::string& text, mode_t mode) {
    std::ofstream(path) << text;
    chmod(path.c_str(), mode);
    return path;
}

std::string open_error() {
    const char* text = nullptr;
    jtagvarnax_get_error(&text);
    return text != nullptr ? text : "";
}

std::string greeting_and_open(const std::string& cable) {
    std::string bytes;
    varnax::encode_greeting(&bytes, varnax::protocol_version);
    varnax::OPEN_REQUEST request;
    request.has_cable = true;
    request.cable = cable;
    request.app_name = "raw";
    varnax::encode_open(&bytes, request);
    varnax::encode_credit(&bytes, 4096);
    return bytes;
}

struct GOT {
    int type = -1;  // -1: nothing came in time
    std::string payload;
};

// One frame from a raw connection.
GOT receive_frame(SIM_TARGET& peer, std::chrono::milliseconds timeout = 5s) {
    GOT got;
    std::string header = peer.receive(varnax::header_size, timeout);
    if (header.size() < varnax::header_size) return got;
    std::size_t size = std::size_t(std::uint8_t(header[2])) | std::size_t(std::uint8_t(header[3]))
                                                                  << 8;
    got.type = std::uint8_t(header[0]);
    got.payload = peer.receive(size, timeout);
    return got;
}

// The server's greeting and challenge, which is all an unproven client ever sees.
std::string receive_challenge(SIM_TARGET& peer) {
    std::string greeting = peer.receive(varnax::greeting_size, 5s);
    EXPECT_EQ(greeting.compare(0, 4, "JVNX"), 0);
    GOT challenge = receive_frame(peer);
    EXPECT_EQ(challenge.type, varnax::msg_auth_challenge);
    EXPECT_EQ(challenge.payload.size(), varnax::challenge_size);
    return challenge.payload;
}

// The library in this test process reads this secret file (empty: none), and finds no
// per-user default file.
class SECRET_ENV {
public:
    explicit SECRET_ENV(const std::string& path) {
        setenv("XDG_CONFIG_HOME", m_home.path().c_str(), 1);
        if (path.empty())
            unsetenv("JTAG_VARNAX_SECRET_FILE");
        else
            setenv("JTAG_VARNAX_SECRET_FILE", path.c_str(), 1);
    }
    ~SECRET_ENV() {
        unsetenv("JTAG_VARNAX_SECRET_FILE");
        unsetenv("XDG_CONFIG_HOME");
    }
    const TEMP_DIR& home() const { return m_home; }

private:
    TEMP_DIR m_home;
};

// A server that treats this machine's clients as remote ones, so the whole proof runs on
// loopback.
class RemoteClient : public ::testing::Test {
protected:
    void start(std::vector<std::string> extra = {"--treat-loopback-as-remote"}) {
        std::vector<std::string> args = {"--allow-remote", "--secret-file", m_secret};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_TRUE(m_server.start(boards, args)) << m_server.error();
        m_server.use_in_this_process();
    }
    TEMP_DIR m_dir;
    std::string m_secret = write_file(m_dir.file("secret"), lab_secret + "\n", 0600);
    SIM_SERVER m_server;
};

TEST_F(RemoteClient, OpensWithTheRightSecretFromEitherPlace) {
    start();
    {
        SECRET_ENV env(m_secret);
        OPEN_LINK link("c1", -1, -1);
        ASSERT_TRUE(link) << last_open_error();
        ASSERT_TRUE(write_all(link.get(), "ping"));
        EXPECT_EQ(read_bytes(link.get(), 4).bytes, "ping");
    }
    SECRET_ENV env("");  // the per-user file, written with a CR LF at its end
    mkdir((env.home().path() + "/jtag-varnax").c_str(), 0700);
    write_file(env.home().path() + "/jtag-varnax/secret", lab_secret + "\r\n", 0600);
    OPEN_LINK link("c1", -1, -1);
    EXPECT_TRUE(link) << last_open_error();
    EXPECT_NE(m_server.log().find("proved the shared secret"), std::string::npos);
}

TEST_F(RemoteClient, IsRefusedWithoutTheRightSecret) {
    start();
    struct CASE {
        std::string file;  // the client's secret file; empty: none at all
        std::string says;
    } cases[] = {
        {write_file(m_dir.file("wrong"), "the lab's boards: 2f9c41d07e3b58a7", 0600),
         "(wrong secret)"},
        {"", "(no secret)"},
        {m_dir.file("missing"), "(no secret): cannot read " + m_dir.file("missing")},
        {write_file(m_dir.file("shared"), lab_secret, 0640), "chmod 600"},
        {write_file(m_dir.file("short"), "2f9c41d07e3b", 0600), "too short"},
    };
    for (const CASE& c : cases) {
        SECRET_ENV env(c.file);
        auto began = std::chrono::steady_clock::now();
        OPEN_LINK link("c1", -1, -1);
        auto took = std::chrono::steady_clock::now() - began;
        EXPECT_FALSE(link) << c.file;
        EXPECT_EQ(jtagvarnax_get_error(nullptr), JTAGVARNAX_NO_SERVER) << c.file;
        EXPECT_NE(open_error().find(c.says), std::string::npos) << c.file << ": " << open_error();
        // A wrong guess costs a second; a client without a secret gives up by itself at once.
        if (c.says == "(wrong secret)") {
            EXPECT_GE(took, 1s) << open_error();
        }
    }
}

TEST_F(RemoteClient, SeesNothingButTheChallengeBeforeItsProof) {
    start();
    SIM_TARGET peer;
    ASSERT_TRUE(peer.connect(m_server.address()));
    // What a library without the proof sends: an open request that would list the cables.
    ASSERT_TRUE(peer.send(greeting_and_open("no such cable")));
    receive_challenge(peer);
    EXPECT_EQ(peer.receive(1, 300ms), "");
    ASSERT_TRUE(peer.send(std::string("\x04\x00\x01\x00x", 5)));  // data instead of a proof
    auto began = std::chrono::steady_clock::now();
    GOT refusal = receive_frame(peer);
    EXPECT_GE(std::chrono::steady_clock::now() - began, 1s);
    EXPECT_EQ(refusal.type, varnax::msg_auth_fail);
    EXPECT_TRUE(peer.wait_closed());
}

TEST_F(RemoteClient, IsRefusedWhenItReplaysAnEarlierProof) {
    start();
    std::string proof_frame;
    {
        SIM_TARGET peer;
        ASSERT_TRUE(peer.connect(m_server.address()));
        ASSERT_TRUE(peer.send(greeting_and_open("c1")));
        std::string server_challenge = receive_challenge(peer);
        std::string ours(varnax::challenge_size, '\x5A');
        varnax::encode_auth_proof(&proof_frame, ours,
                                  auth_client_proof(lab_secret, server_challenge, ours));
        ASSERT_TRUE(peer.send(proof_frame));
        GOT ok = receive_frame(peer);
        EXPECT_EQ(ok.type, varnax::msg_auth_ok);
        EXPECT_EQ(ok.payload, auth_server_proof(lab_secret, server_challenge, ours));
        EXPECT_EQ(receive_frame(peer).type, varnax::msg_open_ok);
    }
    SIM_TARGET peer;  // someone who saw that exchange tries it again
    ASSERT_TRUE(peer.connect(m_server.address()));
    ASSERT_TRUE(peer.send(greeting_and_open("c1")));
    receive_challenge(peer);
    ASSERT_TRUE(peer.send(proof_frame));
    GOT refusal = receive_frame(peer);
    EXPECT_EQ(refusal.type, varnax::msg_auth_fail);
    EXPECT_NE(refusal.payload.find("wrong secret"), std::string::npos);
}

TEST_F(RemoteClient, OnThisMachineNeedsNoSecretUnlessTold) {
    start({});
    SECRET_ENV none("");
    {
        OPEN_LINK link("c1", -1, -1);
        EXPECT_TRUE(link) << last_open_error();
    }
    m_server.kill_now();
    start({"--secret-for-local"});
    OPEN_LINK refused("c1", -1, -1);
    EXPECT_NE(open_error().find("(no secret)"), std::string::npos) << open_error();
    SECRET_ENV env(m_secret);
    OPEN_LINK link("c1", -1, -1);
    EXPECT_TRUE(link) << last_open_error();
}

// A program posing as the server: it greets, asks for the proof, and then answers `reply`.
class FAKE_SERVER {
public:
    FAKE_SERVER(const std::string& host, bool challenge, std::string reply)
        : m_server(
              host, [challenge, reply](int fd) { pose(fd, challenge, reply); }, 5s) {}
    const std::string& address() const { return m_server.address(); }

private:
    static void pose(int fd, bool challenge, const std::string& reply) {
        SIM_TARGET client;
        client.adopt(fd);
        std::string hello;
        varnax::encode_greeting(&hello, varnax::protocol_version);
        if (challenge) varnax::encode_auth_challenge(&hello, std::string(32, '\x11'));
        client.send(hello);
        client.receive(varnax::greeting_size, 5s);
        // The client's open request and credit; then its proof when it was asked for one.
        for (int frames = challenge ? 3 : 2; frames > 0; --frames) receive_frame(client);
        client.send(reply);
        client.wait_closed(5s);
    }
    ONE_CONNECTION_SERVER m_server;
};

std::string open_ok() {
    std::string bytes;
    varnax::OPEN_REPLY reply;
    reply.cable = "c1";
    reply.write_credit = 64;
    varnax::encode_open_ok(&bytes, reply);
    return bytes;
}

// Without --allow-remote the server says why it will not serve, and the library passes it on.
TEST(ServerRefusal, TellsARemoteClientWhyBeforeItCloses) {
    SIM_SERVER server;
    ASSERT_TRUE(server.start(boards, {"--treat-loopback-as-remote"})) << server.error();
    server.use_in_this_process();
    OPEN_LINK link("c1", -1, -1);
    EXPECT_FALSE(link);
    EXPECT_EQ(jtagvarnax_get_error(nullptr), JTAGVARNAX_NO_SERVER);
    EXPECT_EQ(open_error(), "the JTAG server at " + server.address() +
                                " refused the connection: clients from other machines are not "
                                "accepted here (the server runs without --allow-remote)");
}

TEST(ServerProof, IsRequiredOfAServerThatAskedForTheSecret) {
    TEMP_DIR dir;
    SECRET_ENV env(write_file(dir.file("secret"), lab_secret, 0600));
    std::string forged;
    varnax::encode_auth_ok(&forged, std::string(varnax::proof_size, '\x22'));
    for (const std::string& reply : {forged + open_ok(), open_ok()}) {
        FAKE_SERVER fake("127.0.0.1", true, reply);
        setenv("JTAG_VARNAX_SERVER", fake.address().c_str(), 1);
        OPEN_LINK link("c1", -1, -1);
        EXPECT_FALSE(link);
        EXPECT_EQ(jtagvarnax_get_error(nullptr), JTAGVARNAX_NO_SERVER);
        EXPECT_NE(open_error().find("(server proof wrong)"), std::string::npos) << open_error();
    }
}

// The server's command line: remote access needs a secret that only its owner can read.
TEST(ServerSecretFile, MustExistAndBePrivate) {
    TEMP_DIR dir;
    std::string good = write_file(dir.file("good"), lab_secret, 0600);
    std::string open_file = write_file(dir.file("open"), lab_secret, 0644);
    std::string short_file = write_file(dir.file("short"), "2f9c41d07e3b", 0600);
    struct CASE {
        std::vector<std::string> args;
        int status;
        std::string message;
    } cases[] = {
        {{"--allow-remote"},
         2,
         "varnax-server: --allow-remote needs --secret-file FILE: clients from other machines "
         "must prove that they know a shared secret (see docs/server.md)\n"},
        {{"--secret-for-local"}, 2, "varnax-server: --secret-for-local needs --secret-file FILE\n"},
        // On Windows the file's access control list tells; wine makes it from the mode.
        {{"--allow-remote", "--secret-file", open_file},
         1,
         server_is_native()
             ? "varnax-server: " + open_file + " can be read or changed by other users (mode " +
                   "0644); make it private with: chmod 600 " + open_file + "\n"
             : "varnax-server: " + open_file + " can be read or changed by other users " +
                   "(Everyone); make it private with: icacls \"" + open_file +
                   "\" /inheritance:r /grant:r \"%USERNAME%:F\"\n"},
        {{"--allow-remote", "--secret-file", short_file},
         1,
         "varnax-server: " + short_file + " holds fewer than 16 bytes: too short for a secret\n"},
        {{"--allow-remote", "--secret-file", dir.file("none")},
         1,
         "varnax-server: cannot read " + dir.file("none") +
             (server_is_native() ? ": No such file or directory\n" : "\n")},
    };
    for (CASE& c : cases) {
        c.args.insert(c.args.begin(), "--demo");
        CHILD_SETUP setup;
        setup.input = CHILD_SETUP::STREAM::null;
        CHILD_PROCESS server(server_program(), c.args, setup);
        EXPECT_EQ(server.wait_exit(10s), exited(c.status)) << c.message;
        EXPECT_EQ(server.err(), c.message);
    }
    SIM_SERVER server;  // the private file is taken
    EXPECT_TRUE(server.start(boards, {"--allow-remote", "--secret-file", good})) << server.error();
}

// --new-secret: a strong secret is one command, and never replaces one that is in use.
TEST(ServerSecretFile, IsMadeByTheServerAndNeverOverwritten) {
    TEMP_DIR dir;
    std::string path = dir.file("new");
    CHILD_PROCESS made(VARNAX_SERVER_PATH, {"--new-secret", path});
    EXPECT_EQ(made.wait_exit(10s), exited(0));
    EXPECT_EQ(made.out(), "a new secret is in " + path + "\n");
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    std::ifstream file(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    ASSERT_EQ(text.size(), 65u) << text;
    EXPECT_EQ(text.find_first_not_of("0123456789abcdef"), 64u) << text;
    EXPECT_EQ(text.back(), '\n');
    // The server reads what it wrote.
    SIM_SERVER server;
    EXPECT_TRUE(server.start(boards, {"--allow-remote", "--secret-file", path})) << server.error();

    CHILD_PROCESS again(VARNAX_SERVER_PATH, {"--new-secret", path});
    EXPECT_EQ(again.wait_exit(10s), exited(1));
    EXPECT_EQ(again.err(), "varnax-server: " + path + " exists already; it is left as it is\n");
    std::ifstream kept(path, std::ios::binary);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(kept)), std::istreambuf_iterator<char>()),
              text);
}

// A real second address: the server and the client each in a network namespace of their own.
TEST(RemoteNetwork, ProvesTheSecretBothWaysFromAnotherAddress) {
    if (!server_is_native()) GTEST_SKIP() << "the server must start inside a network namespace";
    NET_PAIR net;
    if (!net.ok()) GTEST_SKIP() << net.why();
    TEMP_DIR dir;
    std::string secret = write_file(dir.file("secret"), lab_secret, 0600);
    SIM_SERVER server;
    {
        NET_SCOPE in(net, NET_PAIR::SIDE::server);
        ASSERT_TRUE(in.entered());
        ASSERT_TRUE(server.start(boards, {"--listen", net.server_host() + ":0", "--allow-remote",
                                          "--secret-file", secret}))
            << server.error();
    }
    server.use_in_this_process();
    NET_SCOPE in(net, NET_PAIR::SIDE::client);
    ASSERT_TRUE(in.entered());
    {
        SECRET_ENV env(secret);
        OPEN_LINK link("c1", -1, -1);
        ASSERT_TRUE(link) << last_open_error();
        ASSERT_TRUE(write_all(link.get(), "over the wire"));
        EXPECT_EQ(read_bytes(link.get(), 13).bytes, "over the wire");
    }
    EXPECT_NE(server.log().find(net.client_host() + ":"), std::string::npos) << server.log();
    {
        SECRET_ENV env(write_file(dir.file("wrong"), "not the lab's secret at all", 0600));
        OPEN_LINK link("c1", -1, -1);
        EXPECT_NE(open_error().find("(wrong secret)"), std::string::npos) << open_error();
    }
    // Something on the other address that opens without asking: an old server or an impostor.
    std::unique_ptr<FAKE_SERVER> fake;
    {
        NET_SCOPE server_side(net, NET_PAIR::SIDE::server);
        fake = std::make_unique<FAKE_SERVER>(net.server_host(), false, open_ok());
    }
    setenv("JTAG_VARNAX_SERVER", fake->address().c_str(), 1);
    SECRET_ENV env(secret);
    OPEN_LINK link("c1", -1, -1);
    EXPECT_FALSE(link);
    EXPECT_NE(open_error().find("(server proof wrong)"), std::string::npos) << open_error();
}

}  // namespace
