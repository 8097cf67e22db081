// Tests of the wire protocol's encoders and the decoder fed split and hostile input.
#include "wire/protocol.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using varnax::DECODE;
using varnax::DECODER;
using varnax::FRAME;
using varnax::PEER;

struct DECODED {
    std::vector<std::uint32_t> greetings;
    std::vector<std::pair<int, std::string>> frames;
    bool error = false;
};

// Feeds the stream in pieces of `step` bytes and collects what comes out.
DECODED decode(PEER from, const std::string& stream, std::size_t step) {
    DECODER decoder(from);
    DECODED out;
    for (std::size_t at = 0; at < stream.size() && !out.error; at += step) {
        decoder.append(stream.data() + at, std::min(step, stream.size() - at));
        std::uint32_t version = 0;
        FRAME frame;
        for (DECODE d; (d = decoder.next(&version, &frame)) != DECODE::need_more;) {
            if (d == DECODE::error) {
                out.error = true;
                break;
            }
            if (d == DECODE::greeting) out.greetings.push_back(version);
            if (d == DECODE::frame)
                out.frames.emplace_back(
                    frame.type,
                    std::string(reinterpret_cast<const char*>(frame.payload), frame.size));
        }
    }
    return out;
}

std::string server_stream() {
    std::string s;
    varnax::encode_greeting(&s, 7);
    varnax::OPEN_REPLY reply;
    reply.cable = "USB [0]";
    reply.device = 2;
    reply.instance = 1;
    reply.warning = 2;
    reply.write_credit = 64;
    varnax::encode_open_ok(&s, reply);
    varnax::encode_data(&s, "hello", 5);
    varnax::encode_credit(&s, 300);
    varnax::encode_interrupt(&s);
    std::string big(varnax::max_payload, 'x');
    varnax::encode_data(&s, big.data(), big.size());
    varnax::encode_link_lost(&s, "unplugged");
    return s;
}

TEST(ProtocolDecoder, GivesTheSameFramesHoweverTheBytesAreSplit) {
    std::string stream = server_stream();
    DECODED whole = decode(PEER::server, stream, stream.size());
    ASSERT_FALSE(whole.error);
    ASSERT_EQ(whole.greetings, std::vector<std::uint32_t>{7});
    ASSERT_EQ(whole.frames.size(), 6u);
    EXPECT_EQ(whole.frames[1], std::make_pair(int(varnax::msg_data), std::string("hello")));
    for (std::size_t step : {1u, 2u, 3u, 5u, 7u, 63u, 64u, 65u, 4099u}) {
        DECODED split = decode(PEER::server, stream, step);
        EXPECT_FALSE(split.error) << "step " << step;
        EXPECT_EQ(split.greetings, whole.greetings) << "step " << step;
        EXPECT_EQ(split.frames, whole.frames) << "step " << step;
    }
}

TEST(ProtocolDecoder, RoundTripsEveryMessage) {
    DECODED d = decode(PEER::server, server_stream(), 1);
    ASSERT_EQ(d.frames.size(), 6u);
    auto frame_of = [&](std::size_t i) {
        const std::string& p = d.frames[i].second;
        return FRAME{std::uint8_t(d.frames[i].first),
                     reinterpret_cast<const unsigned char*>(p.data()), p.size()};
    };
    varnax::OPEN_REPLY reply;
    ASSERT_TRUE(varnax::parse_open_ok(frame_of(0), &reply));
    EXPECT_EQ(reply.cable, "USB [0]");
    EXPECT_EQ(reply.device, 2);
    EXPECT_EQ(reply.instance, 1);
    EXPECT_EQ(reply.warning, 2);
    EXPECT_EQ(reply.write_credit, 64u);
    std::uint32_t credit = 0;
    ASSERT_TRUE(varnax::parse_credit(frame_of(2), &credit));
    EXPECT_EQ(credit, 300u);
    std::string why;
    ASSERT_TRUE(varnax::parse_link_lost(frame_of(5), &why));
    EXPECT_EQ(why, "unplugged");

    std::string c;
    varnax::encode_greeting(&c, varnax::protocol_version);
    varnax::OPEN_REQUEST request;
    request.has_cable = true;
    request.cable = "USB";
    request.device = -1;
    request.instance = 3;
    request.pid = 4242;
    request.app_name = "tarvik-terminal";
    varnax::encode_open(&c, request);
    varnax::OPEN_FAILURE failure{-6, "x, process 1"};
    DECODED dc = decode(PEER::client, c, 3);
    ASSERT_EQ(dc.frames.size(), 1u);
    const std::string& p = dc.frames[0].second;
    varnax::OPEN_REQUEST back;
    ASSERT_TRUE(varnax::parse_open(
        FRAME{varnax::msg_open, reinterpret_cast<const unsigned char*>(p.data()), p.size()},
        &back));
    EXPECT_TRUE(back.has_cable);
    EXPECT_EQ(back.cable, "USB");
    EXPECT_EQ(back.device, -1);
    EXPECT_EQ(back.instance, 3);
    EXPECT_EQ(back.pid, 4242u);
    EXPECT_EQ(back.app_name, "tarvik-terminal");
}

TEST(ProtocolDecoder, CarriesTheProofOfTheSharedSecret) {
    std::string challenge(varnax::challenge_size, 'c'), proof(varnax::proof_size, 'p');
    std::string s, c;
    varnax::encode_greeting(&s, varnax::protocol_version);
    varnax::encode_auth_challenge(&s, challenge);
    varnax::encode_auth_ok(&s, proof);
    varnax::encode_auth_fail(&s, "wrong secret");
    varnax::encode_greeting(&c, varnax::protocol_version);
    varnax::encode_auth_proof(&c, challenge, proof);
    DECODED from_server = decode(PEER::server, s, 5);
    DECODED from_client = decode(PEER::client, c, 7);
    ASSERT_EQ(from_server.frames.size(), 3u);
    ASSERT_EQ(from_client.frames.size(), 1u);
    auto frame_of = [](const std::pair<int, std::string>& f) {
        return FRAME{std::uint8_t(f.first), reinterpret_cast<const unsigned char*>(f.second.data()),
                     f.second.size()};
    };
    std::string got, got_proof;
    ASSERT_TRUE(varnax::parse_auth_challenge(frame_of(from_server.frames[0]), &got));
    EXPECT_EQ(got, challenge);
    ASSERT_TRUE(varnax::parse_auth_ok(frame_of(from_server.frames[1]), &got));
    EXPECT_EQ(got, proof);
    ASSERT_TRUE(varnax::parse_auth_fail(frame_of(from_server.frames[2]), &got));
    EXPECT_EQ(got, "wrong secret");
    ASSERT_TRUE(varnax::parse_auth_proof(frame_of(from_client.frames[0]), &got, &got_proof));
    EXPECT_EQ(got, challenge);
    EXPECT_EQ(got_proof, proof);
}

TEST(ProtocolDecoder, RejectsGarbageAtOnce) {
    std::string greeting;
    varnax::encode_greeting(&greeting, 1);
    auto frame = [&](std::uint8_t type, std::uint8_t reserved, std::uint16_t length,
                     std::size_t body) {
        std::string s = greeting;
        s += char(type);
        s += char(reserved);
        s += char(length & 0xFF);
        s += char(length >> 8);
        return s + std::string(body, 'a');
    };
    struct CASE {
        const char* what;
        PEER from;
        std::string bytes;
    } cases[] = {
        {"an HTTP request", PEER::client, "GET / HTTP/1.1\r\n\r\n"},
        {"a wrong first byte", PEER::server, "X"},
        {"an unknown type", PEER::server, frame(99, 0, 0, 0)},
        {"type zero", PEER::client, frame(0, 0, 0, 0)},
        {"a reserved byte set", PEER::server, frame(varnax::msg_data, 1, 1, 1)},
        {"an oversized data frame", PEER::server,
         frame(varnax::msg_data, 0, varnax::max_payload + 1, 0)},
        {"an empty data frame", PEER::client, frame(varnax::msg_data, 0, 0, 0)},
        {"a credit of the wrong size", PEER::client, frame(varnax::msg_credit, 0, 3, 3)},
        {"an open request sent by a server", PEER::server, frame(varnax::msg_open, 0, 20, 20)},
        {"an interrupt sent by a client", PEER::client, frame(varnax::msg_interrupt, 0, 0, 0)},
        {"an oversized open request", PEER::client, frame(varnax::msg_open, 0, 65535, 0)},
        {"a list request sent by a server", PEER::server, frame(varnax::msg_list, 0, 0, 0)},
        {"a list request with a payload", PEER::client, frame(varnax::msg_list, 0, 1, 1)},
        {"an inventory entry sent by a client", PEER::client,
         frame(varnax::msg_list_device, 0, 4, 4)},
        {"a device entry of the wrong size", PEER::server, frame(varnax::msg_list_device, 0, 5, 5)},
        {"a challenge sent by a client", PEER::client,
         frame(varnax::msg_auth_challenge, 0, 32, 32)},
        {"a proof sent by a server", PEER::server, frame(varnax::msg_auth_proof, 0, 64, 64)},
        {"a proof a byte short", PEER::client, frame(varnax::msg_auth_proof, 0, 63, 63)},
        {"a challenge a byte long", PEER::server, frame(varnax::msg_auth_challenge, 0, 33, 33)},
    };
    for (const CASE& c : cases) {
        DECODED d = decode(c.from, c.bytes, 1);
        EXPECT_TRUE(d.error) << c.what;
        EXPECT_TRUE(d.frames.empty()) << c.what;
    }
}

TEST(ProtocolDecoder, KeepsMalformedPayloadsOutOfTheParsers) {
    std::string ok;
    varnax::encode_open_fail(&ok, varnax::OPEN_FAILURE{-6, "abc"});
    std::string payload = ok.substr(varnax::header_size);
    auto as_frame = [](std::uint8_t type, const std::string& p) {
        return FRAME{type, reinterpret_cast<const unsigned char*>(p.data()), p.size()};
    };
    varnax::OPEN_FAILURE failure;
    EXPECT_TRUE(varnax::parse_open_fail(as_frame(varnax::msg_open_fail, payload), &failure));
    EXPECT_EQ(failure.text, "abc");
    // Cut short, a byte too long, and a text length that runs past the end.
    EXPECT_FALSE(varnax::parse_open_fail(
        as_frame(varnax::msg_open_fail, payload.substr(0, payload.size() - 1)), &failure));
    EXPECT_FALSE(varnax::parse_open_fail(as_frame(varnax::msg_open_fail, payload + "x"), &failure));
    std::string long_text = payload;
    long_text[4] = char(0xFF);
    EXPECT_FALSE(varnax::parse_open_fail(as_frame(varnax::msg_open_fail, long_text), &failure));
    std::uint32_t credit = 1;
    EXPECT_FALSE(varnax::parse_credit(as_frame(varnax::msg_credit, std::string(4, '\0')), &credit));
    varnax::OPEN_REQUEST request;
    EXPECT_FALSE(varnax::parse_open(as_frame(varnax::msg_open, std::string(13, '\0')), &request));
}

TEST(ProtocolInventory, RoundTripsAndRejectsMalformedEntries) {
    std::string s;
    varnax::encode_list_cable(&s, varnax::LIST_CABLE{"Bench [USB-1]", true, false, 2});
    varnax::encode_list_device(&s, -3);
    varnax::encode_list_uart(&s, varnax::LIST_UART{255, true, 0xFFFFFFFFu, "tarvik-terminal"});
    varnax::encode_list_end(&s);
    std::string greeted;
    varnax::encode_greeting(&greeted, 1);
    DECODED d = decode(PEER::server, greeted + s, 3);
    ASSERT_FALSE(d.error);
    ASSERT_EQ(d.frames.size(), 4u);
    auto as_frame = [](int type, const std::string& p) {
        return FRAME{std::uint8_t(type), reinterpret_cast<const unsigned char*>(p.data()),
                     p.size()};
    };
    varnax::LIST_CABLE cable;
    ASSERT_TRUE(varnax::parse_list_cable(as_frame(d.frames[0].first, d.frames[0].second), &cable));
    EXPECT_EQ(cable.name, "Bench [USB-1]");
    EXPECT_TRUE(cable.plugged);
    EXPECT_FALSE(cable.powered);
    EXPECT_EQ(cable.warning, 2);
    std::int32_t device = 0;
    ASSERT_TRUE(
        varnax::parse_list_device(as_frame(d.frames[1].first, d.frames[1].second), &device));
    EXPECT_EQ(device, -3);
    varnax::LIST_UART uart;
    const std::string& u = d.frames[2].second;
    ASSERT_TRUE(varnax::parse_list_uart(as_frame(d.frames[2].first, u), &uart));
    EXPECT_EQ(uart.instance, 255);
    EXPECT_TRUE(uart.in_use);
    EXPECT_EQ(uart.pid, 0xFFFFFFFFu);
    EXPECT_EQ(uart.app_name, "tarvik-terminal");
    EXPECT_EQ(d.frames[3], std::make_pair(int(varnax::msg_list_end), std::string()));

    // Unknown flag bits, an in-use byte other than 0 or 1, a text cut short.
    std::string flags = d.frames[0].second;
    flags[0] = 4;
    EXPECT_FALSE(varnax::parse_list_cable(as_frame(varnax::msg_list_cable, flags), &cable));
    std::string in_use = u;
    in_use[4] = 2;
    EXPECT_FALSE(varnax::parse_list_uart(as_frame(varnax::msg_list_uart, in_use), &uart));
    EXPECT_FALSE(
        varnax::parse_list_uart(as_frame(varnax::msg_list_uart, u.substr(0, u.size() - 1)), &uart));
}

}  // namespace
