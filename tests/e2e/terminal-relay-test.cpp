// The real terminal relaying MiBs both ways between a socket target and its piped standard streams.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/random-bytes.h"
#include "tests/support/process-harness.h"
#include "tests/support/sim-server.h"

namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

const std::string terminal_path = TERMINAL_PATH;


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
        ASSERT_TRUE(
            m_server.start("cable sim-cable\n device 1\n  uart 0 in=4096 out=65536 listen\n"))
            << m_server.error();
        ASSERT_TRUE(m_target.connect(m_server.target_address("sim-cable", 1, 0)));
        CHILD_SETUP setup;
        setup.environment = {{"JTAG_VARNAX_SERVER", m_server.address()}};
        m_term = std::make_unique<CHILD_PROCESS>(
            terminal_path, std::vector<std::string>{"-q", "--no-quit-on-ctrl-d"}, setup);
    }

    // Ends the session with Ctrl-C: quiet, so nothing more is printed.
    void end_session() {
        m_term->send_signal(SIGINT);
        EXPECT_EQ(m_term->wait_exit(30s), exited(0));
        EXPECT_EQ(m_term->err(), "");
    }

    SIM_SERVER m_server;
    SIM_TARGET m_target;
    std::unique_ptr<CHILD_PROCESS> m_term;
};

TEST_F(TerminalRelay, TargetOutputReachesAStalledScreenExactly) {
    const std::string data = random_bytes(2 << 20, 1);
    // Back-pressure shows after a few KiB. Only where the target sends: a receive buffer
    // shrunk on a live connection can hold loopback TCP up for seconds.
    m_target.shrink_buffers();
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

TEST_F(TerminalRelay, KeystrokesWaitInTheTerminalWhileTheTargetDoesNotRead) {
    const std::string keys = random_bytes(512 << 10, 2, 255);
    // The target talks all the time, so the relay runs flat out; its output is this block
    // over and over.
    const std::string pattern = random_bytes(64 << 10, 3);
    std::size_t shown_sent = 0;
    std::size_t keys_sent = 0;
    std::string received;
    auto pass = [&](bool target_reads) {
        // Never far ahead of the screen, so the output does not pile up in the socket.
        std::size_t at = shown_sent % pattern.size();
        std::size_t ahead = shown_sent - m_term->out().size();
        long n =
            m_target.send_some(pattern.data() + at, ahead < (256 << 10) ? pattern.size() - at : 0);
        if (n > 0) shown_sent += static_cast<std::size_t>(n);
        long k = m_term->write_some_input(keys.data() + keys_sent, keys.size() - keys_sent);
        if (k > 0) keys_sent += static_cast<std::size_t>(k);
        m_term->read_output(65536, 1ms);
        if (target_reads) received += m_target.receive(65536, 1ms);
        return n >= 0 && k >= 0;
    };
    // The target reads nothing: keystrokes pile up until the terminal takes no more, while
    // the target's output is still shown.
    auto deadline = clock_type::now() + 30s;
    auto last_key_taken = clock_type::now();
    std::size_t shown_when_held = 0;
    while (clock_type::now() - last_key_taken < 500ms && clock_type::now() < deadline) {
        std::size_t before = keys_sent;
        ASSERT_TRUE(pass(false)) << "the server or the terminal hung up";
        if (keys_sent != before) {
            last_key_taken = clock_type::now();
            shown_when_held = m_term->out().size();
        }
    }
    ASSERT_LT(keys_sent, keys.size()) << "the keystrokes were never held back";
    EXPECT_GT(m_term->out().size(), shown_when_held) << "the target's output stalled too";
    // The target reads again: every keystroke arrives, once and in order.
    deadline = clock_type::now() + 30s;
    while (received.size() < keys.size() && clock_type::now() < deadline) {
        ASSERT_TRUE(pass(true)) << "the server or the terminal hung up";
    }
    ASSERT_EQ(received.size(), keys.size()) << "typed " << keys_sent;
    EXPECT_TRUE(received == keys) << "first difference at byte "
                                  << first_difference(received, keys);
    deadline = clock_type::now() + 30s;
    while (m_term->out().size() < shown_sent && clock_type::now() < deadline) {
        m_term->read_output(65536, 10ms);
    }
    ASSERT_EQ(m_term->out().size(), shown_sent);
    std::string expected;
    while (expected.size() < shown_sent) expected += pattern;
    expected.resize(shown_sent);
    EXPECT_TRUE(m_term->out() == expected)
        << "first difference at byte " << first_difference(m_term->out(), expected);
    end_session();
}

}  // namespace
