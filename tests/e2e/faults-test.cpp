// Tests of links that break: server killed, target gone, cable unplugged, board switched off,
// link dropped, interruption pattern; and opening again once things are back.
#include <gtest/gtest.h>

#include "client/jtag_varnax.h"
#include "tests/support/sim-server.h"
#include "tests/e2e/link-test-util.h"

namespace {

std::string pattern(std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s += static_cast<char>('a' + i % 26);
    return s;
}

class Faults : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_server.start("cable c1\ndevice 1\nuart 0 listen\n", {"--quiet"}))
            << m_server.error();
        m_server.use_in_this_process();
        ASSERT_TRUE(m_target.connect(m_server.target_address("c1", 1, 0)));
    }
    // After a loss, reads and writes stay negative.
    static void expect_stays_lost(JTAGVARNAX* link) {
        char block[64];
        EXPECT_LT(jtagvarnax_read(link, block, sizeof block), 0);
        EXPECT_LT(jtagvarnax_write(link, "x", 1), 0);
        EXPECT_LT(jtagvarnax_read(link, block, sizeof block), 0);
    }
    SIM_SERVER m_server;
    SIM_TARGET m_target;
};

TEST_F(Faults, DeliversEverythingBeforeReportingATargetThatHungUp) {
    OPEN_LINK link(nullptr, -1, -1);
    ASSERT_TRUE(link) << last_open_error();
    std::string data = pattern(3000);
    ASSERT_TRUE(m_target.send(data));
    m_target.close();
    READ_RESULT r = read_until_lost(link.get());
    EXPECT_TRUE(r.lost);
    EXPECT_EQ(r.bytes, data);
    expect_stays_lost(link.get());
}

TEST_F(Faults, ReportsAServerKilledMidTransferAfterTheBytesThatCame) {
    if (!server_is_native())
        GTEST_SKIP() << "SIGKILL is a POSIX death: wine's own server keeps a killed program's "
                        "sockets open for a time of its choosing";
    OPEN_LINK link(nullptr, -1, -1);
    ASSERT_TRUE(link) << last_open_error();
    std::string data = pattern(100000);
    ASSERT_TRUE(m_target.send(data.substr(0, 2000)));
    READ_RESULT first = read_bytes(link.get(), 64);
    ASSERT_EQ(first.bytes.size(), 64u);
    m_server.kill_now();
    READ_RESULT rest = read_until_lost(link.get());
    EXPECT_TRUE(rest.lost);
    std::string all = first.bytes + rest.bytes;
    EXPECT_EQ(all, data.substr(0, all.size())) << "bytes were lost or reordered";
    expect_stays_lost(link.get());

    OPEN_LINK while_down(nullptr, -1, -1);
    EXPECT_FALSE(while_down);
    EXPECT_EQ(jtagvarnax_get_error(nullptr), JTAGVARNAX_NO_SERVER);
    ASSERT_TRUE(m_server.restart()) << m_server.error();
    OPEN_LINK again(nullptr, -1, -1);
    EXPECT_TRUE(again) << last_open_error();
}

TEST_F(Faults, LosesTheLinkOnEachFaultCommandAndOpensAgainAfterwards) {
    struct CASE {
        const char* fault;
        const char* repair;  // null: nothing to repair
        JTAGVARNAX_ERROR while_broken;
    } cases[] = {
        {"unplug c1", "plug c1", JTAGVARNAX_CABLE_UNPLUGGED},
        {"power-off c1", "power-on c1", JTAGVARNAX_BOARD_UNPOWERED},
        {"drop c1 1 0", nullptr, JTAGVARNAX_OK},
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.fault);
        OPEN_LINK link(nullptr, -1, -1);
        ASSERT_TRUE(link) << last_open_error();
        ASSERT_TRUE(write_all(link.get(), "ping"));
        EXPECT_EQ(m_target.receive(4), "ping");
        EXPECT_EQ(m_server.command(c.fault), "ok");
        EXPECT_TRUE(read_until_lost(link.get()).lost);
        expect_stays_lost(link.get());
        link.close();
        OPEN_LINK broken(nullptr, -1, -1);
        EXPECT_EQ(jtagvarnax_get_error(nullptr), c.while_broken);
        broken.close();
        if (c.repair != nullptr) {
            EXPECT_EQ(m_server.command(c.repair), "ok");
        }
        if (std::string(c.fault).rfind("power-off", 0) == 0) {
            // Switching off reset the board: its target connection is gone.
            EXPECT_TRUE(m_target.wait_closed());
            ASSERT_TRUE(m_target.connect(m_server.target_address("c1", 1, 0)));
        }
        OPEN_LINK again(nullptr, -1, -1);
        ASSERT_TRUE(again) << last_open_error();
        ASSERT_TRUE(write_all(again.get(), "pong"));
        EXPECT_EQ(m_target.receive(4), "pong");
    }
}

TEST_F(Faults, StartsAReadWithTheInterruptionPattern) {
    OPEN_LINK link(nullptr, -1, -1);
    ASSERT_TRUE(link) << last_open_error();
    ASSERT_TRUE(m_target.send("abc"));
    EXPECT_EQ(read_bytes(link.get(), 3).bytes, "abc");
    EXPECT_EQ(m_server.command("interrupt c1 1 0"), "ok");
    ASSERT_TRUE(m_target.send("xyz"));
    // Wait until both have come, then read: the pattern must begin a read of its own.
    READ_RESULT r = read_bytes(link.get(), 13);
    EXPECT_EQ(r.bytes, std::string(10, '\xFF') + "xyz");
}

TEST_F(Faults, KeepsThePatternAtTheStartOfARead) {
    OPEN_LINK link(nullptr, -1, -1);
    ASSERT_TRUE(link) << last_open_error();
    ASSERT_TRUE(m_target.send("abc"));
    EXPECT_EQ(read_bytes(link.get(), 3).bytes, "abc");
    ASSERT_TRUE(m_target.send("def"));
    // "def" may or may not be buffered before the pattern arrives; either way no read
    // mixes bytes from before the pattern with the pattern.
    EXPECT_EQ(m_server.command("interrupt c1 1 0"), "ok");
    ASSERT_TRUE(m_target.send("ghi"));
    std::string all;
    char block[64];
    bool pattern_began_a_read = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (all.size() < 16 && std::chrono::steady_clock::now() < deadline) {
        int n = jtagvarnax_read(link.get(), block, sizeof block);
        ASSERT_GE(n, 0);
        if (n >= 10 && std::string(block, 10) == std::string(10, '\xFF'))
            pattern_began_a_read = true;
        all.append(block, std::size_t(n));
    }
    EXPECT_TRUE(pattern_began_a_read) << "reads joined the pattern to bytes before it";
    EXPECT_EQ(all.substr(all.size() - 3), "ghi");
    EXPECT_EQ(all.size(), 16u);
}

TEST(FaultsOwnTarget, OpensAgainAfterTheServerCameBack) {
    SIM_SERVER server;
    ASSERT_TRUE(server.start_with_target({"--quiet"})) << server.error();
    server.use_in_this_process();
    {
        OPEN_LINK link("sim-cable", 1, 0);
        ASSERT_TRUE(link) << last_open_error();
        ASSERT_TRUE(write_all(link.get(), "one\r"));
        EXPECT_TRUE(server.wait_for_bytes("one\r"));
    }
    ASSERT_TRUE(server.restart()) << server.error();
    OPEN_LINK link(nullptr, -1, -1);
    ASSERT_TRUE(link) << last_open_error();
    ASSERT_TRUE(write_all(link.get(), "two\r"));
    EXPECT_TRUE(server.wait_for_bytes("one\rtwo\r"));
    ASSERT_TRUE(server.send_to_host("back"));
    EXPECT_EQ(read_bytes(link.get(), 4).bytes, "back");
}

TEST(FaultsDemo, ReportsTheEndOfTheTargetProgramAfterItsLastBytes) {
    SIM_SERVER server;
    ASSERT_TRUE(server.start_demo({"--quiet"})) << server.error();
    server.use_in_this_process();
    OPEN_LINK link(nullptr, -1, -1);
    ASSERT_TRUE(link) << last_open_error();
    EXPECT_FALSE(read_until_text(link.get(), "help").lost);
    ASSERT_TRUE(write_all(link.get(), "bye\r"));
    READ_RESULT r = read_until_lost(link.get());
    EXPECT_TRUE(r.lost);
    EXPECT_EQ(r.bytes, "bye\r\nbye\r\n\x04");
    link.close();
    // The next open starts the program again.
    OPEN_LINK again(nullptr, -1, -1);
    ASSERT_TRUE(again) << last_open_error();
    EXPECT_NE(read_until_text(again.get(), "ready").bytes.find("ready"), std::string::npos);
}

}  // namespace
