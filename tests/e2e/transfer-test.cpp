// Tests of moving bytes through the library and the server: exactness both ways with full
// FIFOs, short writes, and a reader that stops reading.
#include <gtest/gtest.h>
#include <malloc.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "client/jtag_varnax.h"
#include "tests/e2e/link-test-util.h"
#include "tests/support/one-connection-server.h"
#include "tests/support/sim-server.h"
#include "wire/protocol.h"

namespace {

std::string random_bytes(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(gen() & 0xFF);
    return s;
}

class Transfer : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_server.start("cable c1\ndevice 1\nuart 0 in=64 out=64 listen\n", {"--quiet"}))
            << m_server.error();
        m_server.use_in_this_process();
    }
    void connect_target() { ASSERT_TRUE(m_target.connect(m_server.target_address("c1", 1, 0))); }
    SIM_SERVER m_server;
    SIM_TARGET m_target;
};

TEST_F(Transfer, MovesMegabytesBothWaysExactly) {
    // 64 bytes a step cost wine's calls about a millisecond: the Windows server moves less here
    // (its connect and serial targets carry megabytes both ways in port-targets-test).
    const std::size_t size = server_is_native() ? 2 << 20 : 256 << 10;
    std::string to_host = random_bytes(size, 1), to_target = random_bytes(size, 2);
    connect_target();
    OPEN_LINK link(nullptr, -1, -1);
    ASSERT_TRUE(link) << last_open_error();
    std::string at_target;
    std::atomic<bool> target_ok{true};
    std::thread target([&] {
        // The target sends and receives at once, in its own rhythm.
        std::thread sender(
            [&] { target_ok = target_ok && m_target.send(to_host, std::chrono::seconds(60)); });
        at_target = m_target.receive(size, std::chrono::seconds(60));
        sender.join();
    });
    std::string at_host;
    std::size_t written = 0;
    char block[64];
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while ((at_host.size() < size || written < size) &&
           std::chrono::steady_clock::now() < deadline) {
        int w = 0;
        if (written < size) {
            w = jtagvarnax_write(link.get(), to_target.data() + written,
                                 unsigned(std::min<std::size_t>(64, size - written)));
            ASSERT_GE(w, 0);
            written += std::size_t(w);
        }
        int r = jtagvarnax_read(link.get(), block, sizeof block);
        ASSERT_GE(r, 0);
        ASSERT_LE(r, 64);
        at_host.append(block, std::size_t(r));
        if (r == 0 && w == 0) std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
    target.join();
    EXPECT_TRUE(target_ok);
    ASSERT_EQ(at_host.size(), size);
    EXPECT_TRUE(at_host == to_host) << "target-to-host bytes differ";
    ASSERT_EQ(at_target.size(), size);
    EXPECT_TRUE(at_target == to_target) << "host-to-target bytes differ";
}

TEST_F(Transfer, AcceptsOnlyWhatTheInputFifoHolds) {
    // No target yet: nobody drains the JTAG UART, and its 64-byte input FIFO fills up.
    OPEN_LINK link(nullptr, -1, -1);
    ASSERT_TRUE(link) << last_open_error();
    std::string data = random_bytes(200, 3);
    int first = jtagvarnax_write(link.get(), data.data(), 100);
    EXPECT_EQ(first, 64);
    EXPECT_EQ(jtagvarnax_write(link.get(), data.data() + first, 100), 0);
    EXPECT_EQ(jtagvarnax_write(link.get(), data.data() + first, 0), 0);
    // A target that comes now gets exactly the accepted bytes, and room opens again.
    connect_target();
    EXPECT_EQ(m_target.receive(64), data.substr(0, 64));
    ASSERT_TRUE(write_all(link.get(), data.substr(64)));
    EXPECT_EQ(m_target.receive(136), data.substr(64));
    EXPECT_EQ(m_target.receive(1, std::chrono::milliseconds(100)), "") << "bytes were duplicated";
}

TEST_F(Transfer, HoldsTheTargetBackWhileTheHostDoesNotRead) {
    OPEN_LINK link(nullptr, -1, -1);
    ASSERT_TRUE(link) << last_open_error();
    connect_target();
    m_target.shrink_buffers();
    // The target writes as fast as it may; the host reads nothing. The bytes the target gets
    // rid of are bounded by the FIFO, the library's window and a few socket buffers.
    std::string sent;
    std::string chunk = random_bytes(4096, 4);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    int idle_rounds = 0;
    while (sent.size() < (16u << 20) && idle_rounds < 200 &&
           std::chrono::steady_clock::now() < deadline) {
        long n = m_target.send_some(chunk.data(), chunk.size());
        ASSERT_GE(n, 0);
        sent.append(chunk, 0, std::size_t(n));
        idle_rounds = n == 0 ? idle_rounds + 1 : 0;
        if (n == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_LT(sent.size(), 1u << 20) << "the target was never held back";
    // Everything the target got rid of arrives, in order, once the host reads again.
    READ_RESULT r = read_bytes(link.get(), sent.size(), std::chrono::seconds(20));
    EXPECT_FALSE(r.lost);
    EXPECT_EQ(r.bytes.size(), sent.size());
    EXPECT_TRUE(r.bytes == sent);
}

// A stand-in server that sends its frames (each a whole data frame of 64 bytes) as fast as the
// client's credit allows, then waits for the client to close: closing with the client's
// credits unread would reset the connection and drop what the client has not read yet.
void serve_flood(int fd, const std::string& frames) {
    std::string out;
    varnax::encode_greeting(&out, varnax::protocol_version);
    varnax::encode_open_ok(&out, varnax::OPEN_REPLY{"flood", 1, 0, 0, 0});
    varnax::DECODER decoder(varnax::PEER::client);
    std::size_t queued = 0;
    std::uint64_t credit = 0;
    for (pollfd p{fd, POLLIN, 0}; queued < frames.size() || !out.empty(); poll(&p, 1, 100)) {
        char in[4096];
        ssize_t n = recv(fd, in, sizeof in, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN)) return;
        decoder.append(in, std::size_t(std::max<ssize_t>(n, 0)));
        std::uint32_t version = 0, more = 0;
        varnax::FRAME frame;
        for (varnax::DECODE d; (d = decoder.next(&version, &frame)) == varnax::DECODE::frame ||
                               d == varnax::DECODE::greeting;)
            if (d == varnax::DECODE::frame && varnax::parse_credit(frame, &more)) credit += more;
        for (; queued < frames.size() && credit >= 60; queued += 64, credit -= 60)
            out.append(frames, queued, 64);
        // The answer goes with the first frames, so the client's first receive holds both.
        ssize_t w = queued == 0 ? 0 : send(fd, out.data(), out.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        out.erase(0, std::size_t(std::max<ssize_t>(w, 0)));
        p.events = short(POLLIN | (out.empty() ? 0 : POLLOUT));
    }
    shutdown(fd, SHUT_WR);
    char rest[4096];
    for (pollfd p{fd, POLLIN, 0}; poll(&p, 1, 20000) > 0;) {
        ssize_t n = recv(fd, rest, sizeof rest, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN)) break;
    }
}

TEST(TransferWindow, HoldsNoMoreThanItsWindowWhileTheServerStaysAhead) {
    // 60-byte payloads make 64-byte frames, so a receive that fills the library's buffer brings
    // whole 64-byte reads, and what was left over before it is never read to the end.
    constexpr std::size_t total = 60u << 19;
    std::string frames;
    for (std::size_t at = 0; at < total; at += 60) {
        char payload[60];
        for (std::size_t i = 0; i < sizeof payload; ++i) payload[i] = char((at + i) % 251);
        varnax::encode_data(&frames, payload, sizeof payload);
    }
    struct mallinfo2 before = mallinfo2();
    ONE_CONNECTION_SERVER fake("127.0.0.1", [&](int fd) {
        serve_flood(fd, frames);
        close(fd);
    });
    setenv("JTAG_VARNAX_SERVER", fake.address().c_str(), 1);
    OPEN_LINK link(nullptr, -1, -1);
    ASSERT_TRUE(link) << last_open_error();
    std::size_t got = 0, most_held = 0;
    bool exact = true;
    char block[64];
    for (int n = 0; got < total && n >= 0; got += std::size_t(std::max(n, 0))) {
        n = jtagvarnax_read(link.get(), block, sizeof block);
        for (int i = 0; i < n; ++i) exact = exact && block[i] == char((got + std::size_t(i)) % 251);
        // A reader a little slower than the server, as a console is, keeps the server ahead.
        if (n == 0 || got % (16u << 10) < 64) {
            struct mallinfo2 heap = mallinfo2();
            most_held =
                std::max(most_held, heap.uordblks + heap.hblkhd - before.uordblks - before.hblkhd);
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    }
    EXPECT_EQ(got, total);
    EXPECT_TRUE(exact);
    EXPECT_LT(most_held, 4u << 20) << "bytes allocated while reading";
}

TEST(TransferMany, ServesSeveralLinksAtOnce) {
    const int links = 6;
    std::string config = "cable c\ndevice 1\n";
    for (int i = 0; i < links; ++i) config += "uart " + std::to_string(i) + " echo\n";
    SIM_SERVER server;
    ASSERT_TRUE(server.start(config, {"--quiet"})) << server.error();
    server.use_in_this_process();
    std::vector<std::thread> threads;
    std::vector<std::string> results(links);
    for (int i = 0; i < links; ++i) {
        threads.emplace_back([i, &results] {
            OPEN_LINK link("c", 1, i);
            if (!link) return;
            std::string data = random_bytes(64 << 10, 10 + unsigned(i));
            std::string echoed;
            char block[64];
            std::size_t written = 0;
            auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            while (echoed.size() < data.size() && std::chrono::steady_clock::now() < deadline) {
                std::size_t n = std::min<std::size_t>(64, data.size() - written);
                int w =
                    n > 0 ? jtagvarnax_write(link.get(), data.data() + written, unsigned(n)) : 0;
                int r = jtagvarnax_read(link.get(), block, sizeof block);
                if (w < 0 || r < 0) break;
                written += std::size_t(w);
                echoed.append(block, std::size_t(r));
                if (w == 0 && r == 0) std::this_thread::sleep_for(std::chrono::microseconds(50));
            }
            results[std::size_t(i)] =
                echoed == data ? "ok" : "differs after " + std::to_string(echoed.size());
        });
    }
    for (std::thread& t : threads) t.join();
    for (int i = 0; i < links; ++i) EXPECT_EQ(results[std::size_t(i)], "ok") << "instance " << i;
}

TEST(TransferDemo, CarriesTheProfilingStreamIntact) {
    SIM_SERVER server;
    ASSERT_TRUE(server.start_demo({"--quiet"})) << server.error();
    server.use_in_this_process();
    OPEN_LINK link(nullptr, -1, -1);
    ASSERT_TRUE(link) << last_open_error();
    EXPECT_FALSE(read_until_text(link.get(), "help").lost);
    ASSERT_TRUE(write_all(link.get(), "gmon\r"));
    const std::string marker = "**gmon.out data follows**\n";
    READ_RESULT r = read_until_text(link.get(), "profiling data sent");
    std::size_t at = r.bytes.find(marker);
    ASSERT_NE(at, std::string::npos) << r.bytes;
    ASSERT_GE(r.bytes.size(), at + marker.size() + 4);
    const unsigned char* len =
        reinterpret_cast<const unsigned char*>(r.bytes.data() + at + marker.size());
    std::size_t n = len[0] | len[1] << 8 | len[2] << 16 | std::size_t(len[3]) << 24;
    EXPECT_EQ(n, 1000u);
    ASSERT_GE(r.bytes.size(), at + marker.size() + 4 + n);
    EXPECT_EQ(r.bytes.substr(0, at), "gmon\r\n");
    EXPECT_EQ(static_cast<unsigned char>(r.bytes[at + marker.size() + 4 + 1]), (1 * 7 + 3) & 0xFF);
}

}  // namespace
