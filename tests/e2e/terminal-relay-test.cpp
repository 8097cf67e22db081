// The real terminal relaying MiBs both ways between a socket target and its piped standard streams.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <random>
#include <string>

#include "tests/support/piped-child.h"
#include "tests/support/sim-server.h"

namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

const std::string terminal_path = TERMINAL_PATH;

// Random bytes of every value but 0xFF, so no run of them can look like an interrupted link.
std::string random_bytes(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::uniform_int_distribution<int> value(0, 254);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(value(generator));
    return bytes;
}

// The first position where two texts differ, for a readable failure.
std::size_t first_difference(const std::string& a, const std::string& b) {
    auto where = std::mismatch(a.begin(), a.begin() + std::min(a.size(), b.size()), b.begin());
    return static_cast<std::size_t>(where.first - a.begin());
}

// A quiet terminal that relays byte 4 like any other, on a server whose one JTAG UART's target
// is the test itself.
class TerminalRelay : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_server.start("cable sim-cable\n device 1\n  uart 0 in=64 out=65536 listen\n"))
            << m_server.error();
        ASSERT_TRUE(m_target.connect(m_server.target_address("sim-cable", 1, 0)));
        m_target.shrink_buffers();  // back-pressure shows after a few KiB
        CHILD_SETUP setup;
        setup.environment = {{"JTAG_VARNAX_SERVER", m_server.address()}};
        m_term = std::make_unique<PIPED_CHILD>(
            terminal_path, std::vector<std::string>{"-q", "--no-quit-on-ctrl-d"}, setup);
    }

    // Ends the session with Ctrl-C: quiet, so nothing more is printed.
    void end_session() {
        kill(m_term->pid(), SIGINT);
        EXPECT_EQ(m_term->wait_exit(30s), 0);
        EXPECT_EQ(m_term->err(), "");
    }

    SIM_SERVER m_server;
    SIM_TARGET m_target;
    std::unique_ptr<PIPED_CHILD> m_term;
};

TEST_F(TerminalRelay, TargetOutputReachesAStalledScreenExactly) {
    const std::string data = random_bytes(3 << 20, 1);
    std::size_t sent = 0;
    // Nobody reads the terminal's output: the chain fills up to the target, which then can
    // send no more.
    auto deadline = clock_type::now() + 30s;
    auto last_progress = clock_type::now();
    while (clock_type::now() - last_progress < 500ms && clock_type::now() < deadline) {
        long n = m_target.send_some(data.data() + sent,
                                    std::min<std::size_t>(65536, data.size() - sent));
        ASSERT_GE(n, 0) << "the server hung up on the target";
        if (n > 0) last_progress = clock_type::now();
        sent += static_cast<std::size_t>(n);
        if (n == 0) m_term->read_output(0, 5ms);
    }
    ASSERT_LT(sent, data.size()) << "the target was never held back";
    ASSERT_EQ(m_term->out(), "");
    // A slow reader: small pieces, a pause now and then.
    deadline = clock_type::now() + 30s;
    while (m_term->out().size() < data.size() && clock_type::now() < deadline) {
        long n = m_target.send_some(data.data() + sent,
                                    std::min<std::size_t>(65536, data.size() - sent));
        ASSERT_GE(n, 0) << "the server hung up on the target";
        sent += static_cast<std::size_t>(n);
        m_term->read_output(4096, 2ms);
    }
    ASSERT_EQ(m_term->out().size(), data.size()) << "sent " << sent;
    EXPECT_TRUE(m_term->out() == data)
        << "first difference at byte " << first_difference(m_term->out(), data);
    end_session();
}

}  // namespace
