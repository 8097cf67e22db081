// The listen target: a simulator or a test connects to a loopback port and is the target.
#include "server/board-config.h"
#include "server/targets/net.h"
#include "server/targets/stream-target.h"
#include "server/targets/target-kinds.h"
#include "server/targets/target-program.h"

namespace {

class LISTEN_TARGET : public STREAM_TARGET {
public:
    LISTEN_TARGET(const UART_CONFIG& config, const std::string& label, SERVER_LOG& log)
        : STREAM_TARGET(label, log), m_port(config.port) {}
    ~LISTEN_TARGET() override { target_close(m_listen_fd); }

    bool prepare(std::string* why) override {
        std::string failure;
        m_listen_fd = net_listen("127.0.0.1", m_port, 8192, &m_bound, &failure);
        if (m_listen_fd < 0)
            *why = "cannot listen for the target of " + m_label + " on port " +
                   std::to_string(m_port) + ": " + failure;
        return m_listen_fd >= 0;
    }
    std::uint16_t listening_port() const override { return m_bound; }
    // Whoever connects is the target; until then the JTAG UART is a board that prints nothing.
    START start(std::string*) override { return START::up; }
    void waits(bool want_read, bool want_write, std::vector<TARGET_WAIT>* out) const override {
        if (m_listen_fd >= 0) out->push_back(TARGET_WAIT{m_listen_fd, true, false});
        STREAM_TARGET::waits(want_read, want_write, out);
    }
    TARGET_NEWS event(const TARGET_WAIT& wait, bool hangup) override {
        if (wait.handle != m_listen_fd || m_listen_fd < 0)
            return STREAM_TARGET::event(wait, hangup);
        std::string peer;
        bool loopback = false;
        int fd = net_accept(m_listen_fd, &peer, &loopback);
        if (fd < 0) return {};
        if (!loopback || streaming() || !m_powered) {
            m_log.line("%s: refused a target connection from %s", m_label.c_str(), peer.c_str());
            target_close(fd);
            return {};
        }
        m_log.line("%s: target connected from %s", m_label.c_str(), peer.c_str());
        attach(fd, fd);
        return {};
    }
    std::string lost_text() const override { return "the target disconnected"; }

private:
    std::uint16_t m_port;
    std::uint16_t m_bound = 0;
    int m_listen_fd = -1;
};

}  // namespace

std::unique_ptr<TARGET> make_listen_target(const UART_CONFIG& config, const std::string& label,
                                           SERVER_LOG& log) {
    return std::make_unique<LISTEN_TARGET>(config, label, log);
}
