// The connect target: the server connects to a TCP serial port (an emulator, a serial-over-
// network box). While it is down it is tried at most once a second, and only while the board
// is switched on. Its host is looked up once, before the server serves anyone (a name server
// that does not answer would otherwise stall every client); each attempt tries the host's
// addresses in turn.
#include "server/board-config.h"
#include "server/targets/net.h"
#include "server/targets/stream-target.h"
#include "server/targets/target-kinds.h"
#include "server/targets/target-program.h"
#include "text/text.h"

namespace {

// A connect target that is down is tried again this long after the last attempt began.
constexpr auto retry_interval = std::chrono::seconds(1);
// An attempt that has not been answered by then has failed (a host that drops the request).
constexpr auto connect_timeout = std::chrono::seconds(3);

class CONNECT_TARGET : public STREAM_TARGET {
public:
    CONNECT_TARGET(const UART_CONFIG& config, const std::string& label, SERVER_LOG& log)
        : STREAM_TARGET(label, log),
          m_host(config.host),
          m_port(config.port),
          m_endpoint(text_host_port_join(config.host, config.port)) {}
    ~CONNECT_TARGET() override { target_close(m_connect_fd); }

    bool prepare(std::string* why) override {
        std::string failure;
        if (net_resolve(m_host, m_port, false, &m_addresses, &failure)) return true;
        *why = "cannot connect the target of " + m_label + " to " + m_endpoint + ": " + failure;
        return false;
    }

    // An open tries at once rather than waiting for the next retry: the emulator may have just
    // come up. The client's own connection paces these attempts.
    START start(std::string* why) override {
        if (streaming()) return START::up;
        if (m_connect_fd >= 0) return START::pending;
        TARGET_NEWS news = start_connect(std::chrono::steady_clock::now());
        if (m_connect_fd >= 0) return START::pending;
        if (why != nullptr) *why = news.why;
        return START::failed;
    }
    void stop(int grace_ms) override {
        STREAM_TARGET::stop(grace_ms);
        target_close(m_connect_fd);
        m_connect_fd = -1;
    }
    std::string lost_text() const override { return m_endpoint + " closed the connection"; }

    void waits(bool want_read, bool want_write, std::vector<TARGET_WAIT>* out) const override {
        if (m_connect_fd >= 0) out->push_back(TARGET_WAIT{m_connect_fd, false, true});
        STREAM_TARGET::waits(want_read, want_write, out);
    }
    TARGET_NEWS event(const TARGET_WAIT& wait, bool hangup) override {
        if (wait.handle != m_connect_fd || m_connect_fd < 0)
            return STREAM_TARGET::event(wait, hangup);
        std::string why;
        if (!net_finish_connect(m_connect_fd, &why)) return next_address(why);
        m_log.line("%s: connected to %s", m_label.c_str(), m_endpoint.c_str());
        m_down_why.clear();
        attach(m_connect_fd, m_connect_fd);
        m_connect_fd = -1;
        return TARGET_NEWS{TARGET_NEWS::KIND::connected, ""};
    }
    int due_ms(TARGET_TIME now) const override {
        if (!m_powered || (streaming() && m_connect_fd < 0)) return -1;
        auto due = m_attempt_started + (m_connect_fd >= 0 ? connect_timeout : retry_interval);
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(due - now).count();
        return due <= now ? 0 : int(left) + 1;  // rounded up: never woken a moment early
    }
    TARGET_NEWS tick(TARGET_TIME now) override {
        if (!m_powered) return {};
        if (m_connect_fd >= 0 && now - m_attempt_started >= connect_timeout) {
            m_attempt_started = now;  // the next address gets its own time
            return next_address("no answer in time");
        }
        if (m_connect_fd < 0 && !streaming() && now - m_attempt_started >= retry_interval)
            return start_connect(now);
        return {};
    }

private:
    TARGET_NEWS start_connect(TARGET_TIME now) {
        m_attempt_started = now;
        std::string why;
        if (m_addresses.empty() && !net_resolve(m_host, m_port, false, &m_addresses, &why))
            return failed(why);
        m_next = 0;
        return next_address("");
    }
    // The attempt on one address failed (why): the next one, or the failure of them all.
    TARGET_NEWS next_address(std::string why) {
        target_close(m_connect_fd);
        m_connect_fd = -1;
        while (m_next < m_addresses.size()) {
            m_connect_fd = net_start_connect(m_addresses[m_next++], &why);
            if (m_connect_fd >= 0) return {};
        }
        return failed(why);
    }
    TARGET_NEWS failed(const std::string& why) {
        target_close(m_connect_fd);
        m_connect_fd = -1;
        std::string text = "cannot connect to " + m_endpoint + ": " + why;
        // One line per change, not one per attempt while the other side stays down.
        if (text != m_down_why) m_log.line("%s: %s", m_label.c_str(), text.c_str());
        m_down_why = text;
        return TARGET_NEWS{TARGET_NEWS::KIND::failed, text};
    }

    std::string m_host;
    std::uint16_t m_port;
    std::vector<NET_ADDRESS> m_addresses;  // of the host, once looked up
    std::size_t m_next = 0;                // the next of them to try in this attempt
    std::string m_endpoint;
    int m_connect_fd = -1;          // a connection on its way
    TARGET_TIME m_attempt_started;  // of the last connection attempt
    std::string m_down_why;         // why the port could not be reached the last time
};

}  // namespace

std::unique_ptr<TARGET> make_connect_target(const UART_CONFIG& config, const std::string& label,
                                            SERVER_LOG& log) {
    return std::make_unique<CONNECT_TARGET>(config, label, log);
}
