// Tests of the host driver's logic against a stand-in OpenOCD and modelled cores: discovery,
// transfers through lost updates and garbled answers, the polling policy, lost links.
#include "server/jtag/jtag-engine.h"

#include <gtest/gtest.h>

#include <random>

#include "tests/unit/server/jtag/fake-openocd.h"

namespace {

using namespace std::chrono_literals;

class JtagEngine : public ::testing::Test {
protected:
    void SetUp() override {
        m_openocd.add_core("two.tap", 2, 0x256580FF);
        m_openocd.add_foreign("fpga.tap", 0x0362D093, 6);
        m_openocd.add_core("one.tap", 1);
        m_engine.begin(m_now);
        pump();
    }
    // Carries the Tcl bytes both ways until nothing moves, then lets the engine act.
    void pump() {
        for (int i = 0; i < 100; ++i) {
            std::string out = m_engine.tcl().output();
            m_engine.tcl().sent(out.size());
            m_openocd.feed(out);
            std::string in = m_openocd.take_output();
            if (!in.empty()) m_engine.tcl().received(in.data(), in.size());
            m_engine.step(m_now);
            if (out.empty() && in.empty()) return;
        }
    }
    // Advances the fake clock to the engine's next deadline (at most by limit) and acts.
    void tick(std::chrono::microseconds limit = 1s) {
        auto due = m_engine.next_due();
        m_now = std::max(m_now, std::min(due, m_now + limit));
        m_engine.step(m_now);
        pump();
        m_openocd.run_processors();
    }
    std::string read_all(int device, int instance) {
        char buffer[65536];
        return std::string(buffer, m_engine.read(device, instance, buffer, sizeof buffer));
    }

    FAKE_OPENOCD m_openocd;
    JTAG_ENGINE m_engine;
    JTAG_ENGINE::time_point m_now = JTAG_ENGINE::clock::now();
};

TEST_F(JtagEngine, FindsTheCoresAndLeavesOtherTapsAlone) {
    ASSERT_EQ(m_engine.phase(), JTAG_ENGINE::PHASE::running);
    ASSERT_EQ(m_engine.devices().size(), 2u);
    EXPECT_EQ(m_engine.devices()[0].position, 0);
    EXPECT_EQ(m_engine.devices()[0].info.instances, 2u);
    EXPECT_EQ(m_engine.devices()[1].position, 2);
    EXPECT_EQ(m_engine.devices()[1].tap, "one.tap");
    EXPECT_TRUE(m_openocd.tap("fpga.tap").commands.empty());
    EXPECT_FALSE(m_engine.hold(1, 0, true));  // the foreign TAP is no device
    EXPECT_FALSE(m_engine.hold(2, 1, true));
    EXPECT_TRUE(m_engine.hold(0, 1, true));
}

TEST_F(JtagEngine, MovesBytesBothWaysThroughLostUpdatesAndGarbledAnswers) {
    m_openocd.lose_update_one_in = 5;
    m_openocd.garble_every = 7;
    FAKE_CORE_INSTANCE& uart = m_openocd.uart("two.tap", 1);
    uart.echo = true;
    ASSERT_TRUE(m_engine.hold(0, 1, true));
    std::mt19937 random(7);
    std::string sent(20000, '\0');
    for (char& c : sent) c = char(random());
    std::size_t written = 0;
    std::string got;
    for (int i = 0; i < 20000 && got.size() < sent.size(); ++i) {
        written += m_engine.write(0, 1, sent.data() + written, sent.size() - written);
        tick();
        got += read_all(0, 1);
        ASSERT_NE(m_engine.phase(), JTAG_ENGINE::PHASE::lost) << m_engine.lost_reason();
    }
    EXPECT_TRUE(uart.taken == sent) << uart.taken.size() << " of " << sent.size();
    EXPECT_TRUE(got == sent) << got.size() << " of " << sent.size();
    EXPECT_TRUE(m_openocd.uart("two.tap", 0).taken.empty());
}

TEST_F(JtagEngine, NeverSendsMoreThanTheRoomTheCoreReported) {
    FAKE_CORE_INSTANCE& uart = m_openocd.uart("one.tap", 0);
    ASSERT_TRUE(m_engine.hold(2, 0, true));
    std::string block(1000, 'x');
    m_engine.write(2, 0, block.data(), block.size());
    // The processor takes nothing: the FIFO fills to its depth and stays there.
    for (int i = 0; i < 50; ++i) {
        m_engine.step(m_now);
        pump();
    }
    EXPECT_EQ(uart.in_fifo.size(), 256u);
    m_openocd.run_processors();
    for (int i = 0; i < 50; ++i) tick();
    EXPECT_EQ(uart.taken, block);
}

TEST_F(JtagEngine, ScansOftenWhileBytesMoveAndAtMostTwentyTimesASecondWhenIdle) {
    ASSERT_TRUE(m_engine.hold(2, 0, true));
    auto start = m_now;
    while (m_now - start < 1s) tick();  // the pause has grown to its longest
    std::uint64_t before = m_openocd.data_scans;
    start = m_now;
    while (m_now - start < 10s) tick();
    double per_second = double(m_openocd.data_scans - before) / 10;
    EXPECT_LE(per_second, 20.5);
    EXPECT_GE(per_second, 19.0);
    // A typed key goes out at once.
    m_engine.write(2, 0, "k", 1);
    EXPECT_LE(m_engine.next_due(), m_now);
    tick(0us);
    m_openocd.run_processors();
    EXPECT_EQ(m_openocd.uart("one.tap", 0).taken, "k");
}

TEST_F(JtagEngine, WithNothingHeldOnlyLooksAtTheChainNowAndThen) {
    std::size_t commands = m_openocd.tap("two.tap").commands.size();
    auto start = m_now;
    while (m_now - start < 60s) tick(10s);
    EXPECT_EQ(m_openocd.data_scans, 0u);
    std::size_t looks =
        (m_openocd.tap("two.tap").commands.size() - commands) / 2;  // irscan + drscan
    EXPECT_GE(looks, 11u);
    EXPECT_LE(looks, 13u);
}

TEST_F(JtagEngine, ACableThatStopsAnsweringIsALostLink) {
    ASSERT_TRUE(m_engine.hold(2, 0, true));
    tick();
    m_openocd.cable_gone = true;
    for (int i = 0; i < 10 && m_engine.phase() != JTAG_ENGINE::PHASE::lost; ++i) tick();
    ASSERT_EQ(m_engine.phase(), JTAG_ENGINE::PHASE::lost);
    EXPECT_NE(m_engine.lost_reason().find("drscan: jtag execute failed"), std::string::npos)
        << m_engine.lost_reason();
}

TEST_F(JtagEngine, AChainThatGoesAwayWhileNothingIsHeldIsALostLink) {
    m_openocd.cable_gone = true;
    tick(10s);
    tick(10s);
    EXPECT_EQ(m_engine.phase(), JTAG_ENGINE::PHASE::lost);
}

TEST_F(JtagEngine, AnOpenOcdThatDoesNotAnswerIsALostLink) {
    ASSERT_TRUE(m_engine.hold(2, 0, true));
    m_engine.step(m_now);  // a scan goes out; its answer never comes
    m_engine.tcl().sent(m_engine.tcl().output().size());
    m_now += 11s;
    m_engine.step(m_now);
    EXPECT_EQ(m_engine.phase(), JTAG_ENGINE::PHASE::lost);
    EXPECT_EQ(m_engine.lost_reason(), "OpenOCD does not answer");
}

TEST_F(JtagEngine, AnOpenOcdWithoutAChainTableIsALostLink) {
    JTAG_ENGINE engine;
    engine.begin(m_now);
    engine.tcl().sent(engine.tcl().output().size());
    std::string reply = "invalid command name \"scan_chain\"\x1a";
    engine.tcl().received(reply.data(), reply.size());
    engine.step(m_now);
    EXPECT_EQ(engine.phase(), JTAG_ENGINE::PHASE::lost);
}

}  // namespace
