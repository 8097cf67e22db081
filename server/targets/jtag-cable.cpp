// A JTAG cable behind OpenOCD, and the targets of the JTAG UARTs on its chain.
#include "server/targets/jtag-cable.h"

#include "server/jtag/jtag-host.h"

namespace {

// After a loss the chain is looked for again this long after (OpenOCD started anew if it was
// the server's), and again each time while it stays away.
constexpr auto restart_pause = std::chrono::seconds(1);

// One instance of a JTAG UART core, through the cable's driver.
class JTAG_UART_TARGET : public TARGET {
public:
    JTAG_UART_TARGET(JTAG_CABLE& cable, int device, int instance)
        : m_cable(cable), m_device(device), m_instance(instance) {}
    ~JTAG_UART_TARGET() override { released(); }

    START start(std::string* why) override {
        if (!m_cable.ready() || !m_cable.host().hold(m_device, m_instance, true)) {
            if (why != nullptr) *why = m_cable.lost_reason();
            return START::failed;
        }
        m_held = true;
        m_generation = m_cable.generation();
        return START::up;
    }
    void stop(int) override {}
    void released() override {
        if (m_held && m_generation == m_cable.generation())
            m_cable.host().hold(m_device, m_instance, false);
        m_held = false;
    }
    long read(char* buffer, std::size_t size) override {
        if (lost()) return -1;
        if (!m_cable.ready()) return 0;
        return long(m_cable.host().read(m_device, m_instance, buffer, size));
    }
    long write(const char* data, std::size_t size) override {
        if (lost()) return -1;
        if (!m_cable.ready()) return 0;
        return long(m_cable.host().write(m_device, m_instance, data, size));
    }
    std::string lost_text() const override { return m_cable.lost_reason(); }
    // The cable waits for all of its instances.
    void waits(bool, bool, std::vector<TARGET_WAIT>*) const override {}
    bool ready(bool, bool) const override { return false; }
    TARGET_NEWS event(const TARGET_WAIT&, bool) override { return {}; }

private:
    // The link of a client that held this instance went with a loss of the chain: said once.
    bool lost() {
        if (!m_held || m_generation == m_cable.generation()) return false;
        m_held = false;
        return true;
    }

    JTAG_CABLE& m_cable;
    int m_device;
    int m_instance;
    bool m_held = false;
    unsigned m_generation = 0;  // the cable's, when a client opened this instance
};

JTAG_HOST_SETTINGS settings_of(const OPENOCD_CONFIG& config) {
    JTAG_HOST_SETTINGS settings;
    settings.tcl_address = config.tcl_address;
    settings.config_files = config.config_files;
    return settings;
}

}  // namespace

JTAG_CABLE::JTAG_CABLE(const OPENOCD_CONFIG& config, const std::string& name, SERVER_LOG& log)
    : m_name(name), m_log(log), m_host(std::make_unique<JTAG_HOST>(settings_of(config))) {}

JTAG_CABLE::~JTAG_CABLE() {
    m_host->stop();
}

void JTAG_CABLE::start(TARGET_TIME now) {
    std::string why;
    m_running = m_host->start(&why);
    if (m_running) {
        m_start_failure.clear();
        return;
    }
    // One line per change, not one per attempt while OpenOCD cannot be started.
    if (why != m_start_failure) m_log.line("cable \"%s\": %s", m_name.c_str(), why.c_str());
    m_start_failure = why;
    m_lost_reason = why;
    m_restart_at = now + restart_pause;
}

bool JTAG_CABLE::ready() const {
    return m_ready;
}

void JTAG_CABLE::waits(std::vector<TARGET_WAIT>* out) const {
    if (!m_running) return;
    for (const JTAG_POLL_FD& fd : m_host->poll_fds())
        out->push_back(TARGET_WAIT{fd.fd, fd.read, fd.write});
}

int JTAG_CABLE::due_ms(TARGET_TIME now) const {
    if (m_running) return m_host->timeout_ms();
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(m_restart_at - now).count();
    return left <= 0 ? 0 : int(left) + 1;
}

JTAG_CABLE::CHANGE JTAG_CABLE::process(TARGET_TIME now) {
    if (!m_running) {
        if (now >= m_restart_at) start(now);
        return CHANGE::none;
    }
    m_host->process();
    JTAG_HOST::STATE state = m_host->state();
    if (state == JTAG_HOST::STATE::ready && !m_ready) {
        m_ready = true;
        unsigned found = unsigned(instances().size());
        unsigned devices = unsigned(m_host->devices().size());
        m_log.line("cable \"%s\": %u device%s with %u JTAG UART%s on the chain", m_name.c_str(),
                   devices, devices == 1 ? "" : "s", found, found == 1 ? "" : "s");
        return CHANGE::found;
    }
    if (state != JTAG_HOST::STATE::lost) return CHANGE::none;
    m_lost_reason = m_host->lost_reason();
    m_log.line("cable \"%s\": lost: %s", m_name.c_str(), m_lost_reason.c_str());
    m_host->stop();
    m_running = false;
    m_restart_at = now + restart_pause;
    bool was_ready = m_ready;
    m_ready = false;
    ++m_generation;
    return was_ready ? CHANGE::lost : CHANGE::none;
}

std::vector<std::pair<int, int>> JTAG_CABLE::instances() const {
    std::vector<std::pair<int, int>> found;
    for (const JTAG_DEVICE& device : m_host->devices())
        for (unsigned i = 0; i < device.info.instances; ++i)
            found.emplace_back(device.position, int(i));
    return found;
}

std::unique_ptr<TARGET> JTAG_CABLE::make_target(int device, int instance) {
    return std::make_unique<JTAG_UART_TARGET>(*this, device, instance);
}
