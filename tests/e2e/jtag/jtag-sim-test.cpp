// The JTAG UART core end to end: the Verilator model of the chip behind the real OpenOCD
// (remote_bitbang), driven by the server's host driver.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "tests/e2e/jtag/jtag-sim-rig.h"

namespace {

using namespace std::chrono_literals;

class JtagSim : public ::testing::Test {
protected:
    void SetUp() override {
        std::string missing = JTAG_SIM_RIG::missing();
        if (!missing.empty()) GTEST_SKIP() << missing;
        m_rig.reset(new JTAG_SIM_RIG);
        ASSERT_TRUE(m_rig->sim_running());
    }
    // A host that starts its own OpenOCD from the configuration, ready with the devices read.
    void start_host() {
        JTAG_HOST_SETTINGS settings;
        settings.config_files = {m_rig->config_path()};
        m_host.reset(new JTAG_HOST(settings));
        std::string error;
        ASSERT_TRUE(m_host->start(&error)) << error;
        ASSERT_TRUE(JTAG_SIM_RIG::run_until(
            *m_host,
            [&] {
                return state() != JTAG_HOST::STATE::starting &&
                       state() != JTAG_HOST::STATE::discovering;
            },
            20s));
        ASSERT_EQ(state(), JTAG_HOST::STATE::ready) << m_host->lost_reason();
    }
    JTAG_HOST::STATE state() const { return m_host->state(); }
    // Reads from an instance until text has come; returns everything read.
    std::string read_until(int device, int instance, const std::string& text) {
        std::string got;
        JTAG_SIM_RIG::run_until(
            *m_host,
            [&] {
                char buffer[4096];
                got.append(buffer, m_host->read(device, instance, buffer, sizeof buffer));
                return got.find(text) != std::string::npos || state() == JTAG_HOST::STATE::lost;
            },
            20s);
        return got;
    }

    std::unique_ptr<JTAG_SIM_RIG> m_rig;
    std::unique_ptr<JTAG_HOST> m_host;
};

TEST_F(JtagSim, FindsBothCoresAndAllThreeInstances) {
    start_host();
    const auto& devices = m_host->devices();
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0].position, 0);  // nearest TDO: the core with two instances
    EXPECT_EQ(devices[0].info.instances, 2u);
    EXPECT_EQ(devices[0].info.in_depth, 128u);
    EXPECT_EQ(devices[1].position, 1);
    EXPECT_EQ(devices[1].info.instances, 1u);
    EXPECT_EQ(devices[1].info.bytes_per_scan, 64u);
    EXPECT_EQ(devices[1].info.out_depth, 256u);
}

TEST_F(JtagSim, EachInstanceShowsItsBannerAndAnswers) {
    start_host();
    const int ids[3][2] = {{0, 0}, {0, 1}, {1, 0}};
    for (const auto& id : ids) ASSERT_TRUE(m_host->hold(id[0], id[1], true));
    for (const auto& id : ids) {
        std::string banner =
            "(device " + std::to_string(id[0]) + ", instance " + std::to_string(id[1]) + ")";
        EXPECT_NE(read_until(id[0], id[1], "press Enter.\r\n").find(banner), std::string::npos)
            << banner;
    }
    m_host->write(0, 1, "help\r", 5);
    EXPECT_NE(read_until(0, 1, "bye\r\n").find("commands: help, gmon"), std::string::npos);
    m_host->write(1, 0, "bye\r", 4);
    EXPECT_NE(read_until(1, 0, "\x04").find("bye\r\n\x04"), std::string::npos);
}

TEST_F(JtagSim, MovesAQuarterMebibyteEachWayByteExact) {
    start_host();
    ASSERT_TRUE(m_host->hold(1, 0, true));
    read_until(1, 0, "press Enter.\r\n");
    constexpr std::size_t size = 256 * 1024;
    std::string command = "raw " + std::to_string(size) + "\r";
    m_host->write(1, 0, command.data(), command.size());
    ASSERT_NE(read_until(1, 0, "\r\nraw 262144\r\n").find("\r\nraw 262144\r\n"), std::string::npos);
    // Every byte value, in an order that changes from one block of 256 to the next.
    std::string sent(size, '\0');
    for (std::size_t i = 0; i < size; ++i) sent[i] = char((i * 7 + i / 256) & 0xFF);
    std::string got;
    std::size_t written = 0;
    auto start = std::chrono::steady_clock::now();
    bool done = JTAG_SIM_RIG::run_until(
        *m_host,
        [&] {
            written += m_host->write(1, 0, sent.data() + written, size - written);
            char buffer[16384];
            got.append(buffer, m_host->read(1, 0, buffer, sizeof buffer));
            return got.size() >= size || state() == JTAG_HOST::STATE::lost;
        },
        100s);
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_TRUE(done) << got.size() << " bytes back of " << size;
    ASSERT_NE(state(), JTAG_HOST::STATE::lost) << m_host->lost_reason();
    EXPECT_TRUE(got == sent) << "the bytes differ";
    std::printf("256 KiB each way in %.2f s (%.0f bytes/s each way), %llu scans\n", secs,
                size / secs, static_cast<unsigned long long>(m_host->scans()));
}

TEST_F(JtagSim, TwoInstancesOfOneCoreAtOnce) {
    start_host();
    ASSERT_TRUE(m_host->hold(0, 0, true));
    ASSERT_TRUE(m_host->hold(0, 1, true));
    read_until(0, 0, "press Enter.\r\n");
    read_until(0, 1, "press Enter.\r\n");
    m_host->write(0, 0, "flood 4\r", 8);
    m_host->write(0, 1, "flood 4\r", 8);
    std::string a, b;
    bool done = JTAG_SIM_RIG::run_until(
        *m_host,
        [&] {
            char buffer[4096];
            a.append(buffer, m_host->read(0, 0, buffer, sizeof buffer));
            b.append(buffer, m_host->read(0, 1, buffer, sizeof buffer));
            return (a.find("00000063") != std::string::npos &&
                    b.find("00000063") != std::string::npos);
        },
        30s);
    EXPECT_TRUE(done) << a.size() << " and " << b.size() << " bytes";
    // The same flood on both, each on its own FIFOs.
    EXPECT_EQ(a.substr(0, a.find("00000063")), b.substr(0, b.find("00000063")));
}

// An OpenOCD the user runs: reached through its Tcl address; its end is a lost link.
TEST_F(JtagSim, OpenOcdThatEndsIsALostLink) {
    std::string error;
    JTAG_HOST_SETTINGS settings;
    auto openocd = m_rig->start_openocd(&settings.tcl_address, &error);
    ASSERT_TRUE(openocd) << error;
    m_host.reset(new JTAG_HOST(settings));
    ASSERT_TRUE(m_host->start(&error)) << error;
    ASSERT_TRUE(JTAG_SIM_RIG::run_until(
        *m_host, [&] { return state() == JTAG_HOST::STATE::ready; }, 20s))
        << m_host->lost_reason();
    ASSERT_TRUE(m_host->hold(1, 0, true));
    openocd->send_signal(SIGKILL);
    ASSERT_TRUE(JTAG_SIM_RIG::run_until(
        *m_host, [&] { return state() == JTAG_HOST::STATE::lost; }, 10s));
    EXPECT_NE(m_host->lost_reason().find("OpenOCD"), std::string::npos) << m_host->lost_reason();
}

}  // namespace
