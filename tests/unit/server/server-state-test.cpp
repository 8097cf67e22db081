// Tests of the server's logic without its poll loop: how target output is framed for a client,
// what the log says about clients that come and go, and when an open is answered.
#include "server/server-state.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "client/protocol.h"

namespace {

// The server's logic with its one JTAG UART in reach of the test.
class STATE_UNDER_TEST : public SERVER_STATE {
public:
    using SERVER_STATE::SERVER_STATE;
    UART* uart() { return m_uarts.front().get(); }
    CLIENT* add_client(const std::string& peer) {
        m_clients.push_back(std::make_unique<CLIENT>());
        m_clients.back()->peer = peer;
        return m_clients.back().get();
    }
    std::size_t clients() const { return m_clients.size(); }
    std::vector<std::string> lines;  // what the log said

private:
    void write_log(const std::string& line) override { lines.push_back(line); }
};

SERVER_OPTIONS quiet() {
    SERVER_OPTIONS options;
    options.quiet = true;
    return options;
}

// What a client opening the only JTAG UART sends, granting `window` bytes of target output.
std::string open_request(std::uint32_t window) {
    std::string bytes;
    varnax::encode_greeting(&bytes, varnax::protocol_version);
    varnax::OPEN_REQUEST request;
    request.app_name = "state-test";
    varnax::encode_open(&bytes, request);
    varnax::encode_credit(&bytes, window);
    return bytes;
}

// Decodes what the server queued for the client as the library would; the data it carried,
// or "error: ..." when the library would drop the link.
std::string decode_as_library(const CLIENT& client) {
    varnax::DECODER decoder(varnax::PEER::server);
    std::string greeting;
    varnax::encode_greeting(&greeting, varnax::protocol_version);  // sent on accepting
    decoder.append(greeting.data(), greeting.size());
    decoder.append(client.out.data() + client.out_start, client.queued());
    std::string data;
    std::uint32_t version = 0;
    varnax::FRAME frame;
    for (;;) {
        varnax::DECODE step = decoder.next(&version, &frame);
        if (step == varnax::DECODE::need_more) return data;
        if (step == varnax::DECODE::error) return "error: " + decoder.error();
        if (step == varnax::DECODE::frame && frame.type == varnax::msg_data)
            data.append(reinterpret_cast<const char*>(frame.payload), frame.size);
    }
}

TEST(ServerFraming, KeepsEveryDataFrameWithinTheLargestPayload) {
    // A deep output FIFO and a wide window let more than one frame's worth go out at once.
    const std::size_t sizes[] = {1, varnax::max_payload, varnax::max_payload + 1,
                                 3 * varnax::max_payload + 17};
    for (std::size_t size : sizes) {
        BOARD_CONFIG config;
        std::string error;
        ASSERT_TRUE(config_parse("cable c1\ndevice 1\nuart 0 out=65536 listen\n", "test.conf", "",
                                 &config, &error))
            << error;
        STATE_UNDER_TEST state(config, quiet());
        CLIENT client;
        std::string hello = open_request(65536);
        state.take_bytes(&client, hello.data(), hello.size());
        ASSERT_EQ(client.uart, state.uart());
        std::string output;
        for (std::size_t i = 0; i < size; ++i) output += static_cast<char>('a' + i % 26);
        state.uart()->out_fifo.push(output.data(), output.size());
        state.pump(state.uart());
        std::string got = decode_as_library(client);
        ASSERT_NE(got.rfind("error: ", 0), 0u) << size << " bytes of target output: " << got;
        EXPECT_TRUE(got == output) << size << " bytes of target output arrived changed";
        state.release(&client);
    }
}

BOARD_CONFIG one_echo_uart() {
    BOARD_CONFIG config;
    std::string error;
    EXPECT_TRUE(config_parse("cable c1\ndevice 1\nuart 0 echo\n", "test.conf", "", &config, &error))
        << error;
    return config;
}

TEST(ServerLog, TellsOnceHowEachClientWent) {
    STATE_UNDER_TEST state(one_echo_uart(), SERVER_OPTIONS{});
    auto start = std::chrono::steady_clock::now();
    auto later = [&](int seconds) { return start + std::chrono::seconds(seconds); };
    // One holds its JTAG UART past the time allowed for asking, then hangs up.
    CLIENT* holder = state.add_client("holder");
    std::string hello = open_request(1024);
    state.take_bytes(holder, hello.data(), hello.size());
    state.sweep_clients(later(11));
    state.client_gone(holder);
    state.sweep_clients(later(12));
    // One says nothing at all and is dropped when its time is up, not before.
    CLIENT* silent = state.add_client("silent");
    silent->accepted_at = later(12);
    state.sweep_clients(later(21));
    EXPECT_EQ(state.clients(), 1u);
    state.sweep_clients(later(23));
    EXPECT_EQ(state.clients(), 0u);
    // One application names itself with control bytes.
    CLIENT* odd = state.add_client("odd");
    std::string bytes;
    varnax::encode_greeting(&bytes, varnax::protocol_version);
    varnax::OPEN_REQUEST request;
    request.app_name = std::string("a\x1b[2J\0b", 7);
    varnax::encode_open(&bytes, request);
    state.take_bytes(odd, bytes.data(), bytes.size());
    const std::vector<std::string> expected = {
        "holder: state-test, process 0 opened cable \"c1\" device 1 instance 0",
        "holder: disconnected",
        "silent: dropped: no open request in time",
        "odd: a\\x1b[2J\\x00b, process 0 opened cable \"c1\" device 1 instance 0",
    };
    EXPECT_EQ(state.lines, expected);
}

// The frame types the server queued for the client, in order.
std::vector<int> queued_types(const CLIENT& client) {
    varnax::DECODER decoder(varnax::PEER::server);
    std::string greeting;
    varnax::encode_greeting(&greeting, varnax::protocol_version);
    decoder.append(greeting.data(), greeting.size());
    decoder.append(client.out.data() + client.out_start, client.queued());
    std::vector<int> types;
    std::uint32_t version = 0;
    varnax::FRAME frame;
    for (varnax::DECODE step;
         (step = decoder.next(&version, &frame)) != varnax::DECODE::need_more;) {
        if (step == varnax::DECODE::error) return {-1};
        if (step == varnax::DECODE::frame) types.push_back(frame.type);
    }
    return types;
}

TEST(ServerInventory, ListsOnlyWhatCanBeSeenAndOpensNothing) {
    BOARD_CONFIG config;
    std::string error;
    ASSERT_TRUE(
        config_parse("cable c1\ndevice 1\nuart 0 echo\nuart 1 echo\ndevice 2\n"
                     "cable dark powered=no\ndevice 3\nuart 0 echo\n",
                     "test.conf", "", &config, &error))
        << error;
    STATE_UNDER_TEST state(config, quiet());
    CLIENT holder;
    std::string hello;
    varnax::encode_greeting(&hello, varnax::protocol_version);
    varnax::OPEN_REQUEST request;
    request.has_cable = true;
    request.cable = "c1";
    request.device = 1;
    request.instance = 0;
    varnax::encode_open(&hello, request);
    state.take_bytes(&holder, hello.data(), hello.size());
    ASSERT_NE(holder.uart, nullptr);

    CLIENT lister;
    std::string list;
    varnax::encode_greeting(&list, varnax::protocol_version);
    varnax::encode_list(&list);
    state.take_bytes(&lister, list.data(), list.size());
    // c1 with its two devices (the first with two JTAG UARTs); the dark cable without devices.
    EXPECT_EQ(
        queued_types(lister),
        (std::vector<int>{varnax::msg_list_cable, varnax::msg_list_device, varnax::msg_list_uart,
                          varnax::msg_list_uart, varnax::msg_list_device, varnax::msg_list_cable,
                          varnax::msg_list_end}));
    EXPECT_TRUE(lister.closing);
    EXPECT_EQ(lister.uart, nullptr);
    EXPECT_EQ(holder.uart, state.uart());

    // A client that holds a JTAG UART cannot turn its connection into a listing.
    std::string again;
    varnax::encode_list(&again);
    state.take_bytes(&holder, again.data(), again.size());
    EXPECT_TRUE(holder.closing);
    EXPECT_EQ(holder.uart, nullptr);
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
    std::string text = "cable c1\ndevice 1\nuart 0 connect " + std::to_string(ntohs(addr.sin_port));
    BOARD_CONFIG config;
    std::string error;
    ASSERT_TRUE(config_parse(text, "test.conf", "", &config, &error)) << error;
    STATE_UNDER_TEST state(config, quiet());
    state.uart()->out_fifo.push("old", 3);  // what the target printed before anyone opened
    CLIENT client;
    std::string hello = open_request(4096);
    state.take_bytes(&client, hello.data(), hello.size());
    ASSERT_TRUE(client.awaiting_target);
    state.pump(state.uart());
    EXPECT_EQ(client.queued(), 0u) << "the client got something before its answer";
    pollfd p{state.uart()->connect_fd, POLLOUT, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1);
    state.finish_connect(state.uart());
    state.pump(state.uart());
    ASSERT_GT(client.queued(), 0u);
    EXPECT_EQ(static_cast<std::uint8_t>(client.out[client.out_start]), varnax::msg_open_ok);
    EXPECT_EQ(decode_as_library(client), "old");
    state.release(&client);
    close(listener);
}

}  // namespace
