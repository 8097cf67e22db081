// Tests of the server core driven through its events, without the event loop: how target
// output is framed for a client, what the log says about clients that come and go, when an
// open is answered, credit both ways, a target that goes away, and the proof of the secret.
#include "server/core/server-core.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <vector>

#include "wire/auth.h"
#include "wire/protocol.h"

namespace {

// A target the test plays: bytes the target "printed", bytes it was given, and whether it is
// still there.
class SCRIPTED_TARGET : public TARGET {
public:
    START start(std::string*) override { return START::up; }
    void stop(int) override {}
    long read(char* buffer, std::size_t size) override {
        if (output.empty()) return gone ? -1 : 0;
        std::size_t n = output.size() < size ? output.size() : size;
        output.copy(buffer, n);
        output.erase(0, n);
        return long(n);
    }
    long write(const char* data, std::size_t size) override {
        if (gone) return -1;
        std::size_t n = size < room ? size : room;
        input.append(data, n);
        room -= n;
        return long(n);
    }
    std::string lost_text() const override { return "the target program ended"; }
    void waits(bool, bool, std::vector<TARGET_WAIT>*) const override {}
    bool ready(bool, bool) const override { return false; }
    TARGET_NEWS event(const TARGET_WAIT&, bool) override { return {}; }

    std::string output;          // what the target has printed and not yet given
    std::string input;           // what the host sent it
    std::size_t room = 1 << 20;  // how much more it takes
    bool gone = false;
};

// What the server queued for a client, decoded as the library would.
struct RECEIVED {
    std::vector<int> types;  // -1: the library would drop the link
    std::string data;
    std::uint32_t credit = 0;
    std::string text;  // of the last open-fail, link-lost or auth-fail frame
    int code = 0;      // of the last open-fail frame
};

// The core with its targets and a log the test reads. Real targets come from make_target;
// `scripted` swaps in a SCRIPTED_TARGET for the first JTAG UART.
struct CORE_UNDER_TEST {
    explicit CORE_UNDER_TEST(const std::string& config_text, SERVER_OPTIONS options = {},
                             bool scripted = false)
        : log(false, [this](const std::string& line) { lines.push_back(line); }),
          core(config(config_text), options, log) {
        std::vector<TARGET*> list;
        for (auto& uart : core.board().uarts()) {
            if (scripted && list.empty())
                targets.push_back(std::make_unique<SCRIPTED_TARGET>());
            else
                targets.push_back(make_target(uart->cfg, uart->label(), log, &uart->out_fifo));
            list.push_back(targets.back().get());
        }
        core.attach_targets(list);
        core.start_targets();
    }
    static BOARD_CONFIG config(const std::string& text) {
        BOARD_CONFIG config;
        std::string error;
        EXPECT_TRUE(config_parse(text, "test.conf", "", &config, &error)) << error;
        return config;
    }
    UART* uart() { return core.board().uarts().front().get(); }
    SCRIPTED_TARGET* scripted() { return static_cast<SCRIPTED_TARGET*>(targets.front().get()); }
    CLIENT_SESSION* connect(const std::string& peer, bool remote = false) {
        return core.client_connected(peer, remote, now);
    }
    void send(CLIENT_SESSION* session, const std::string& bytes) {
        core.client_bytes(session, bytes.data(), bytes.size(), now);
        core.pump_all(now);
    }

    // Takes what the server queued for the client off its queue and decodes it; each client's
    // stream starts with the server's greeting.
    RECEIVED receive(CLIENT_SESSION* session) {
        auto& decoder = decoders[session];
        if (!decoder) decoder = std::make_unique<varnax::DECODER>(varnax::PEER::server);
        std::size_t size = 0;
        const char* bytes = session->pending(&size);
        decoder->append(bytes, size);
        session->sent(size);
        RECEIVED got;
        std::uint32_t version = 0;
        varnax::FRAME frame;
        for (varnax::DECODE step;
             (step = decoder->next(&version, &frame)) != varnax::DECODE::need_more;) {
            if (step == varnax::DECODE::error) {
                got.types.push_back(-1);
                break;
            }
            if (step != varnax::DECODE::frame) continue;
            got.types.push_back(frame.type);
            std::uint32_t credit = 0;
            if (frame.type == varnax::msg_data)
                got.data.append(reinterpret_cast<const char*>(frame.payload), frame.size);
            if (varnax::parse_credit(frame, &credit)) got.credit += credit;
            varnax::OPEN_FAILURE failure;
            if (varnax::parse_open_fail(frame, &failure)) {
                got.code = failure.code;
                got.text = failure.text;
            } else if (!varnax::parse_link_lost(frame, &got.text)) {
                varnax::parse_auth_fail(frame, &got.text);
            }
        }
        return got;
    }

    std::map<CLIENT_SESSION*, std::unique_ptr<varnax::DECODER>> decoders;
    std::vector<std::string> lines;  // what the log said
    SERVER_LOG log;
    SERVER_CORE core;
    std::vector<std::unique_ptr<TARGET>> targets;
    SERVER_TIME now = SERVER_CLOCK::now();
};

SERVER_OPTIONS quiet() {
    SERVER_OPTIONS options;
    options.quiet = true;
    return options;
}

// What a client opening the only JTAG UART sends, granting `window` bytes of target output.
std::string open_request(std::uint32_t window, bool greet = true) {
    std::string bytes;
    if (greet) varnax::encode_greeting(&bytes, varnax::protocol_version);
    varnax::OPEN_REQUEST request;
    request.app_name = "state-test";
    varnax::encode_open(&bytes, request);
    varnax::encode_credit(&bytes, window);
    return bytes;
}

TEST(ServerFraming, KeepsEveryDataFrameWithinTheLargestPayload) {
    // A deep output FIFO and a wide window let more than one frame's worth go out at once.
    const std::size_t sizes[] = {1, varnax::max_payload, varnax::max_payload + 1,
                                 3 * varnax::max_payload + 17};
    for (std::size_t size : sizes) {
        CORE_UNDER_TEST server("cable c1\ndevice 1\nuart 0 out=65536 listen\n", quiet());
        CLIENT_SESSION* client = server.connect("framing");
        server.send(client, open_request(65536));
        ASSERT_EQ(server.core.uart_of(client), server.uart());
        server.receive(client);
        std::string output;
        for (std::size_t i = 0; i < size; ++i) output += static_cast<char>('a' + i % 26);
        server.uart()->out_fifo.push(output.data(), output.size());
        server.core.pump_all(server.now);
        RECEIVED got = server.receive(client);
        ASSERT_EQ(std::count(got.types.begin(), got.types.end(), -1), 0) << size;
        EXPECT_TRUE(got.data == output) << size << " bytes of target output arrived changed";
    }
}

TEST(ServerLog, TellsOnceHowEachClientWent) {
    CORE_UNDER_TEST server("cable c1\ndevice 1\nuart 0 echo\n");
    auto start = server.now;
    auto later = [&](int seconds) { return start + std::chrono::seconds(seconds); };
    auto ignore = [](CLIENT_SESSION*) {};
    // One holds its JTAG UART past the time allowed for asking, then hangs up.
    CLIENT_SESSION* holder = server.connect("holder");
    server.send(holder, open_request(1024));
    server.core.sweep(later(11), ignore);
    server.core.client_gone(holder);
    server.core.sweep(later(12), ignore);
    // One says nothing at all and is dropped when its time is up, not before.
    server.now = later(12);
    server.connect("silent");
    server.core.sweep(later(21), ignore);
    EXPECT_EQ(server.core.sessions().size(), 1u);
    server.core.sweep(later(23), ignore);
    EXPECT_EQ(server.core.sessions().size(), 0u);
    // One application names itself with control bytes.
    CLIENT_SESSION* odd = server.connect("odd");
    std::string bytes;
    varnax::encode_greeting(&bytes, varnax::protocol_version);
    varnax::OPEN_REQUEST request;
    request.app_name = std::string("a\x1b[2J\0b", 7);
    varnax::encode_open(&bytes, request);
    server.send(odd, bytes);
    const std::vector<std::string> expected = {
        "holder: state-test, process 0 opened cable \"c1\" device 1 instance 0",
        "holder: disconnected",
        "silent: dropped: no open request in time",
        "odd: a\\x1b[2J\\x00b, process 0 opened cable \"c1\" device 1 instance 0",
    };
    EXPECT_EQ(server.lines, expected);
}

TEST(ServerInventory, ListsOnlyWhatCanBeSeenAndOpensNothing) {
    CORE_UNDER_TEST server(
        "cable c1\ndevice 1\nuart 0 echo\nuart 1 echo\ndevice 2\n"
        "cable dark powered=no\ndevice 3\nuart 0 echo\n",
        quiet());
    CLIENT_SESSION* holder = server.connect("holder");
    std::string hello;
    varnax::encode_greeting(&hello, varnax::protocol_version);
    varnax::OPEN_REQUEST request;
    request.has_cable = true;
    request.cable = "c1";
    request.device = 1;
    request.instance = 0;
    varnax::encode_open(&hello, request);
    server.send(holder, hello);
    ASSERT_NE(server.core.uart_of(holder), nullptr);

    CLIENT_SESSION* lister = server.connect("lister");
    std::string list;
    varnax::encode_greeting(&list, varnax::protocol_version);
    varnax::encode_list(&list);
    server.send(lister, list);
    // c1 with its two devices (the first with two JTAG UARTs); the dark cable without devices.
    EXPECT_EQ(
        server.receive(lister).types,
        (std::vector<int>{varnax::msg_list_cable, varnax::msg_list_device, varnax::msg_list_uart,
                          varnax::msg_list_uart, varnax::msg_list_device, varnax::msg_list_cable,
                          varnax::msg_list_end}));
    EXPECT_TRUE(lister->closing());
    EXPECT_EQ(server.core.uart_of(lister), nullptr);
    EXPECT_EQ(server.core.uart_of(holder), server.uart());

    // A client that holds a JTAG UART cannot turn its connection into a listing.
    std::string again;
    varnax::encode_list(&again);
    server.send(holder, again);
    EXPECT_TRUE(holder->closing());
    EXPECT_EQ(server.core.uart_of(holder), nullptr);
}

TEST(ServerOpen, AnswersAnOpenOnlyOnceTheTargetPortIsReached) {
    // Stands in for an emulator's serial port; the handshake needs no accept.
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    CORE_UNDER_TEST server(
        "cable c1\ndevice 1\nuart 0 connect " + std::to_string(ntohs(addr.sin_port)), quiet());
    server.uart()->out_fifo.push("old", 3);  // what the target printed before anyone opened
    CLIENT_SESSION* client = server.connect("early");
    server.receive(client);  // the greeting
    server.send(client, open_request(4096));
    ASSERT_TRUE(client->awaiting_target());
    EXPECT_EQ(client->queued(), 0u) << "the client got something before its answer";
    // The loop waits on what the target names and hands it the event.
    std::vector<TARGET_WAIT> waits;
    server.targets.front()->waits(true, false, &waits);
    ASSERT_EQ(waits.size(), 1u);
    pollfd p{int(waits[0].handle), POLLOUT, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1);
    server.core.target_news(0, server.targets.front()->event(waits[0], false), server.now);
    server.core.pump_all(server.now);
    RECEIVED got = server.receive(client);
    ASSERT_FALSE(got.types.empty());
    EXPECT_EQ(got.types.front(), varnax::msg_open_ok);
    EXPECT_EQ(got.data, "old");
    close(listener);
}

TEST(ServerCredit, GrantsOnlyTheRoomTheTargetFreesAndSendsOnlyWithinTheWindow) {
    CORE_UNDER_TEST server("cable c1\ndevice 1\nuart 0 in=8 out=8 program x\n", quiet(), true);
    SCRIPTED_TARGET* target = server.scripted();
    target->room = 5;
    CLIENT_SESSION* client = server.connect("credit");
    server.send(client, open_request(3));
    RECEIVED opened = server.receive(client);
    ASSERT_EQ(opened.types, std::vector<int>{varnax::msg_open_ok});
    EXPECT_EQ(client->granted(), 8u) << "the open grants the input FIFO's depth";

    // Eight bytes fill the FIFO; five reach the target, and only those five come back as room.
    std::string data;
    varnax::encode_data(&data, "12345678", 8);
    server.send(client, data);
    EXPECT_EQ(target->input, "12345");
    EXPECT_EQ(server.receive(client).credit, 5u);
    // More than was granted is a faulty client.
    std::string too_much;
    varnax::encode_data(&too_much, "abcdef", 6);
    server.send(client, too_much);
    EXPECT_TRUE(client->closing());
    EXPECT_EQ(server.core.uart_of(client), nullptr);

    // Target output goes out only as far as the client's window, the rest waits in the FIFO.
    CORE_UNDER_TEST second("cable c1\ndevice 1\nuart 0 out=8 program x\n", quiet(), true);
    CLIENT_SESSION* reader = second.connect("reader");
    second.send(reader, open_request(3));
    second.receive(reader);
    second.scripted()->output = "abcdefghijk";
    second.core.pump_all(second.now);
    EXPECT_EQ(second.receive(reader).data, "abc");
    std::string more;
    varnax::encode_credit(&more, 100);
    second.send(reader, more);
    EXPECT_EQ(second.receive(reader).data, "defghijk");
}

TEST(ServerCredit, KeepsItsSendQueueShortWhenTheSocketNeverTakesItAll) {
    CORE_UNDER_TEST server("cable c1\ndevice 1\nuart 0 out=65536 program x\n", quiet(), true);
    CLIENT_SESSION* client = server.connect("slow");
    server.send(client, open_request(1 << 20));
    server.receive(client);
    struct mallinfo2 before = mallinfo2();
    std::size_t most_held = 0;
    std::string credit;
    varnax::encode_credit(&credit, 64 << 10);
    // 32 MiB of target output; the socket always leaves the last 100 queued bytes behind.
    for (int round = 0; round < 512; ++round) {
        server.scripted()->output.assign(64 << 10, 'x');
        server.core.pump_all(server.now);
        std::size_t size = 0;
        client->pending(&size);
        client->sent(size > 100 ? size - 100 : 0);
        server.send(client, credit);
        struct mallinfo2 heap = mallinfo2();
        most_held =
            std::max(most_held, heap.uordblks + heap.hblkhd - before.uordblks - before.hblkhd);
    }
    EXPECT_LT(most_held, 4u << 20) << "bytes allocated while sending";
}

TEST(ServerTarget, ALostTargetEndsTheLinkOnlyAfterItsLastBytes) {
    CORE_UNDER_TEST server("cable c1\ndevice 1\nuart 0 out=4 program x\n", quiet(), true);
    CLIENT_SESSION* client = server.connect("lost");
    server.send(client, open_request(2));
    server.receive(client);
    server.scripted()->output = "last";
    server.scripted()->gone = true;
    server.core.pump_all(server.now);
    RECEIVED first = server.receive(client);
    EXPECT_EQ(first.data, "la");
    EXPECT_FALSE(client->closing()) << "the link ended before the target's last bytes";
    std::string more;
    varnax::encode_credit(&more, 10);
    server.send(client, more);
    RECEIVED rest = server.receive(client);
    EXPECT_EQ(rest.data, "st");
    ASSERT_FALSE(rest.types.empty());
    EXPECT_EQ(rest.types.back(), varnax::msg_link_lost);
    EXPECT_EQ(rest.text, "the target program ended");
    EXPECT_EQ(server.core.uart_of(client), nullptr);
    EXPECT_FALSE(server.uart()->held);
}

TEST(ServerProof, ARemoteClientSeesNothingBeforeItsProofAndAWrongOneIsHeld) {
    SERVER_OPTIONS options = quiet();
    options.allow_remote = true;
    options.secret = "a shared secret of the test";
    CORE_UNDER_TEST server("cable c1\ndevice 1\nuart 0 echo\n", options);
    // The right proof: the open that came before it is answered once it holds.
    CLIENT_SESSION* good = server.connect("good", true);
    std::string challenge = good->challenge();
    ASSERT_EQ(challenge.size(), varnax::challenge_size);
    server.receive(good);
    server.send(good, open_request(16));
    EXPECT_EQ(server.core.uart_of(good), nullptr) << "opened before the proof";
    std::string ours(varnax::challenge_size, 'c'), proof;
    varnax::encode_auth_proof(&proof, ours, auth_client_proof(options.secret, challenge, ours));
    server.send(good, proof);
    RECEIVED got = server.receive(good);
    EXPECT_EQ(got.types, (std::vector<int>{varnax::msg_auth_ok, varnax::msg_open_ok}));
    EXPECT_EQ(server.core.uart_of(good), server.uart());

    // A wrong proof is refused, and the answer is held back for a second.
    CLIENT_SESSION* bad = server.connect("bad", true);
    server.receive(bad);
    std::string wrong;
    varnax::encode_greeting(&wrong, varnax::protocol_version);
    varnax::encode_auth_proof(&wrong, ours, std::string(varnax::proof_size, 'x'));
    server.send(bad, wrong);
    EXPECT_TRUE(bad->closing());
    EXPECT_TRUE(bad->held(server.now + std::chrono::milliseconds(999)));
    EXPECT_FALSE(bad->held(server.now + std::chrono::seconds(1)));
    EXPECT_EQ(server.receive(bad).text, "wrong secret");
}

// A server that asks every client for the secret, with small limits, and clients that send
// a proof (right or wrong) at a time the test sets.
struct DOOR_UNDER_TEST : CORE_UNDER_TEST {
    explicit DOOR_UNDER_TEST(DOOR_LIMITS limits) : CORE_UNDER_TEST(config_text, options(limits)) {}
    static SERVER_OPTIONS options(DOOR_LIMITS limits) {
        SERVER_OPTIONS options;
        options.allow_remote = true;
        options.secret = secret;
        options.door = limits;
        return options;
    }
    // Connects from address, asks to open, and proves the secret (or a wrong one).
    CLIENT_SESSION* prove(const std::string& address, bool right) {
        CLIENT_SESSION* session = connect(address + ":5000", true);
        std::string challenge = session->challenge(), ours(varnax::challenge_size, 'c');
        std::string bytes = open_request(16);
        std::string proof = right ? auth_client_proof(secret, challenge, ours)
                                  : std::string(varnax::proof_size, 'x');
        varnax::encode_auth_proof(&bytes, ours, proof);
        send(session, bytes);
        return session;
    }
    bool admitted(CLIENT_SESSION* session) {
        std::vector<int> types = receive(session).types;
        return std::find(types.begin(), types.end(), varnax::msg_auth_ok) != types.end();
    }
    void advance(std::chrono::milliseconds by) {
        now += by;
        core.tick(now);
    }
    static constexpr const char* config_text = "cable c1\ndevice 1\nuart 0 echo\n";
    static constexpr const char* secret = "a shared secret of the test";
};

TEST(ServerGuessing, ChecksProofsOnlyAsFastAsTheLimitsAllowAndLetsOthersIn) {
    DOOR_LIMITS limits;
    limits.address_burst = 2;
    limits.overall_burst = 3;
    limits.overall_every = std::chrono::seconds(1);
    DOOR_UNDER_TEST server(limits);
    // A guesser uses up its address's failures, hanging up before each verdict.
    for (int i = 0; i < 2; ++i) server.core.client_gone(server.prove("10.0.0.1", false));
    // Its next proof waits, even a right one, and is checked once a failure is earned back.
    CLIENT_SESSION* guesser = server.prove("10.0.0.1", true);
    EXPECT_FALSE(server.admitted(guesser));
    // Someone with the right secret elsewhere gets in at once.
    EXPECT_TRUE(server.admitted(server.prove("10.0.0.2", true)));
    server.advance(std::chrono::milliseconds(999));
    EXPECT_FALSE(server.admitted(guesser));
    server.advance(std::chrono::milliseconds(1));
    EXPECT_TRUE(server.admitted(guesser));

    // Over all addresses: the third failure uses the last one; an address that failed lately
    // then waits although it has failures of its own left, and a clean one still gets in.
    server.prove("10.0.0.3", false);
    server.prove("10.0.0.4", false);
    CLIENT_SESSION* waiting = server.prove("10.0.0.4", true);
    EXPECT_FALSE(server.admitted(waiting));
    EXPECT_TRUE(server.admitted(server.prove("10.0.0.5", true)));
    server.advance(std::chrono::seconds(1));
    EXPECT_TRUE(server.admitted(waiting));
    EXPECT_EQ(std::count_if(server.lines.begin(), server.lines.end(),
                            [](const std::string& line) {
                                return line.find("proof of the shared secret waits") !=
                                       std::string::npos;
                            }),
              2)
        << "one line when the limit of an address bites, one when the overall one does";
}

TEST(ServerGuessing, CountsAProofThatWaitedWhenItsConnectionEnds) {
    DOOR_LIMITS limits;
    limits.address_burst = 1;
    DOOR_UNDER_TEST server(limits);
    server.prove("10.0.0.1", false);
    // Hanging up while the proof waits does not give the address its failure back.
    server.advance(std::chrono::milliseconds(900));
    server.core.client_gone(server.prove("10.0.0.1", true));
    server.advance(std::chrono::milliseconds(900));
    CLIENT_SESSION* next = server.prove("10.0.0.1", true);
    EXPECT_FALSE(server.admitted(next));
    server.advance(std::chrono::milliseconds(100));
    EXPECT_TRUE(server.admitted(next));
}

TEST(ServerDoor, CutsTheOldestUnprovenConnectionShortAtEachLimit) {
    DOOR_LIMITS limits;
    limits.unproven_per_address = 2;
    limits.unproven_overall = 3;
    DOOR_UNDER_TEST server(limits);
    std::vector<std::string> closed;
    auto closing = [&](CLIENT_SESSION* session) { closed.push_back(session->peer()); };
    auto idle = [&](const std::string& peer) {
        server.now += std::chrono::milliseconds(1);
        return server.connect(peer, true);
    };
    CLIENT_SESSION* proven = server.prove("10.0.0.1", true);
    idle("10.0.0.2:1");
    idle("10.0.0.1:1");
    idle("10.0.0.1:2");
    idle("10.0.0.1:3");  // over the address's limit: its oldest idle one goes
    idle("10.0.0.3:1");  // over the overall limit: the oldest of the busiest address goes
    server.core.sweep(server.now, closing);
    EXPECT_EQ(closed, (std::vector<std::string>{"10.0.0.1:1", "10.0.0.1:2"}));
    EXPECT_EQ(server.core.sessions().size(), 4u);
    // The proven client stays; what was cut short or waited too long is told why or dropped.
    server.now += limits.proof_time + std::chrono::milliseconds(1);
    server.core.sweep(server.now, closing);
    ASSERT_EQ(server.core.sessions().size(), 1u);
    EXPECT_EQ(server.core.sessions().front().get(), proven);
    EXPECT_NE(std::find(server.lines.begin(), server.lines.end(),
                        "10.0.0.2:1: dropped: no proof of the shared secret in time"),
              server.lines.end());
}

TEST(ServerDoor, KeepsDescriptorsForLocalAndProvenClients) {
    DOOR_LIMITS limits;
    DOOR_UNDER_TEST server(limits);
    // Room for 8 connections: 6 for those that still have to prove the secret.
    server.core.set_descriptor_limit(16 + 4 + 8);
    std::vector<CLIENT_SESSION*> remote;
    for (int i = 0; i < 7; ++i)
        remote.push_back(server.connect("10.0.1." + std::to_string(i) + ":1", true));
    RECEIVED cut = server.receive(remote.front());
    EXPECT_EQ(cut.code, varnax::open_refused);
    EXPECT_NE(cut.text.find("too busy"), std::string::npos) << cut.text;
    CLIENT_SESSION* local = server.connect("127.0.0.1:1", false);
    EXPECT_TRUE(local->trusted());
    EXPECT_FALSE(local->closing());
}

TEST(ServerDoor, TellsARemoteClientWhyItIsNotServed) {
    CORE_UNDER_TEST server("cable c1\ndevice 1\nuart 0 echo\n", quiet());
    CLIENT_SESSION* remote = server.connect("192.0.2.7:4000", true);
    server.send(remote, open_request(16));
    RECEIVED got = server.receive(remote);
    EXPECT_EQ(got.types, (std::vector<int>{varnax::msg_open_fail}));
    EXPECT_EQ(got.code, varnax::open_refused);
    EXPECT_EQ(got.text,
              "clients from other machines are not accepted here (the server runs without "
              "--allow-remote)");
    EXPECT_TRUE(remote->closing());
    EXPECT_EQ(server.core.uart_of(remote), nullptr);
}

TEST(ServerChain, ServesTheJtagUartsOfAChainOnlyWhileItAnswers) {
    CORE_UNDER_TEST server("cable jt\nopenocd tcl 127.0.0.1:6666\ncable other\ndevice 1\n",
                           quiet());
    CABLE_STATE* cable = server.core.board().cables().front().get();
    auto open = [&](int device, int instance) {
        CLIENT_SESSION* client = server.connect("chain");
        std::string bytes;
        varnax::encode_greeting(&bytes, varnax::protocol_version);
        varnax::OPEN_REQUEST request;
        request.has_cable = true;
        request.cable = "jt";
        request.device = device;
        request.instance = instance;
        varnax::encode_open(&bytes, request);
        server.send(client, bytes);
        return client;
    };
    auto refused = [&](CLIENT_SESSION* client) { return server.core.uart_of(client) == nullptr; };
    // Before its chain is scanned the cable is one without a board to reach.
    EXPECT_TRUE(refused(open(0, 0)));

    auto add_found = [&](const std::vector<std::pair<int, int>>& found) {
        std::size_t added = server.core.board().chain_found(cable, found);
        for (std::size_t i = 0; i < added; ++i) {
            server.targets.push_back(std::make_unique<SCRIPTED_TARGET>());
            server.core.add_uart(server.targets.back().get());
        }
        return added;
    };
    EXPECT_EQ(add_found({{0, 0}, {0, 1}, {1, 0}}), 3u);
    CLIENT_SESSION* holder = open(0, 1);
    ASSERT_FALSE(refused(holder));
    EXPECT_EQ(server.core.uart_of(holder)->device, 0);
    EXPECT_EQ(server.core.uart_of(holder)->cfg.instance, 1);
    std::string inventory;
    server.core.board().inventory(&inventory);
    EXPECT_NE(inventory.find("jt"), std::string::npos);

    // Found again without device 0: its JTAG UARTs are no longer there, none is added twice.
    server.core.client_gone(holder);
    EXPECT_EQ(add_found({{1, 0}}), 0u);
    EXPECT_TRUE(refused(open(0, 1)));
    EXPECT_FALSE(refused(open(1, 0)));
    // Lost: unplugged until found again.
    BOARD::chain_lost(cable);
    EXPECT_TRUE(refused(open(1, -1)));
}

}  // namespace
