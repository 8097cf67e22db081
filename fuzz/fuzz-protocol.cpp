// Fuzzes the wire protocol's decoders: the library's view (server messages, every payload
// parser) and the server's handling of whatever a client sends, fed in random-sized pieces,
// from a client on this machine or from one that must first prove the shared secret.
#include <cstddef>
#include <cstdint>
#include <string>

#include "server/core/server-core.h"
#include "wire/protocol.h"

namespace {

// The server core with two echo JTAG UARTs and no sockets or programs.
class FUZZ_SERVER {
public:
    FUZZ_SERVER() : m_log(true), m_core(boards(), options(), m_log) {
        std::vector<TARGET*> list;
        for (auto& uart : m_core.board().uarts()) {
            m_targets.push_back(make_target(uart->cfg, uart->label(), m_log, &uart->out_fifo));
            list.push_back(m_targets.back().get());
        }
        m_core.attach_targets(list);
    }
    SERVER_CORE& core() { return m_core; }

private:
    static BOARD_CONFIG boards() {
        BOARD_CONFIG config;
        std::string error;
        config_parse("cable a\ndevice 1\nuart 0 in=8 out=8 echo\ncable ab\ndevice 1\nuart 0 echo\n",
                     "fuzz", "demo", &config, &error);
        return config;
    }
    static SERVER_OPTIONS options() {
        SERVER_OPTIONS o;
        o.quiet = true;
        o.commands = false;
        o.allow_remote = true;
        o.secret = "a shared secret for the fuzzer";
        return o;
    }
    SERVER_LOG m_log;
    SERVER_CORE m_core;
    std::vector<std::unique_ptr<TARGET>> m_targets;
};

void decode_as_client(const std::uint8_t* data, std::size_t size, std::size_t step) {
    varnax::DECODER decoder(varnax::PEER::server);
    for (std::size_t at = 0; at < size; at += step) {
        decoder.append(data + at, size - at < step ? size - at : step);
        std::uint32_t version;
        varnax::FRAME frame;
        for (varnax::DECODE d; (d = decoder.next(&version, &frame)) != varnax::DECODE::need_more;) {
            if (d == varnax::DECODE::error) return;
            if (d != varnax::DECODE::frame) continue;
            varnax::OPEN_REPLY reply;
            varnax::OPEN_FAILURE failure;
            std::uint32_t credit;
            std::string why, challenge, proof;
            varnax::LIST_CABLE cable;
            varnax::LIST_UART uart;
            std::int32_t device;
            varnax::parse_open_ok(frame, &reply);
            varnax::parse_open_fail(frame, &failure);
            varnax::parse_credit(frame, &credit);
            varnax::parse_link_lost(frame, &why);
            varnax::parse_list_cable(frame, &cable);
            varnax::parse_list_device(frame, &device);
            varnax::parse_list_uart(frame, &uart);
            varnax::parse_auth_challenge(frame, &challenge);
            varnax::parse_auth_proof(frame, &challenge, &proof);
            varnax::parse_auth_ok(frame, &proof);
            varnax::parse_auth_fail(frame, &why);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // The first byte picks how the stream is cut up and, in its top bit, a remote client.
    std::size_t step = 1 + data[0] % 64;
    bool remote = (data[0] & 0x80) != 0;
    ++data, --size;
    decode_as_client(data, size, step);

    FUZZ_SERVER server;
    SERVER_CORE& core = server.core();
    auto now = SERVER_CLOCK::now();
    CLIENT_SESSION* client = core.client_connected("fuzz", remote, now);
    // A known challenge, so a seed can carry a proof that holds (fuzz/corpus/protocol).
    if (!client->challenge().empty()) client->challenge().assign(varnax::challenge_size, 'C');
    for (std::size_t at = 0; at < size && !client->closing(); at += step) {
        core.client_bytes(client, reinterpret_cast<const char*>(data + at),
                          size - at < step ? size - at : step, now);
        core.pump_all(now);
        std::size_t queued = 0;
        client->pending(&queued);
        client->sent(queued);  // what was queued for the client counts as sent
    }
    core.client_gone(client);
    return 0;
}
