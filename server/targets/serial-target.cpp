// The serial target: a board's serial device in raw mode. It is opened when a client opens its
// JTAG UART (or the board is switched on), never retried in a loop.
#include "server/board-config.h"
#include "server/targets/serial-port.h"
#include "server/targets/stream-target.h"
#include "server/targets/target-kinds.h"

namespace {

class SERIAL_TARGET : public STREAM_TARGET {
public:
    SERIAL_TARGET(const UART_CONFIG& config, const std::string& label, SERVER_LOG& log)
        : STREAM_TARGET(label, log), m_device(config.device), m_baud(config.baud) {}

    START start(std::string* why) override {
        if (streaming()) return START::up;
        std::string failure;
        int fd = port_open_serial(m_device, m_baud, &failure);
        if (fd < 0) {
            // One line per change, not one per attempt while the device stays away.
            if (failure != m_down_why) m_log.line("%s: %s", m_label.c_str(), failure.c_str());
            m_down_why = failure;
            if (why != nullptr) *why = failure;
            return START::failed;
        }
        if (!m_down_why.empty()) m_log.line("%s: %s is back", m_label.c_str(), m_device.c_str());
        m_down_why.clear();
        attach(fd, fd);
        return START::up;
    }
    std::string lost_text() const override {
        return "the serial device " + m_device + " went away";
    }

private:
    bool watch_hangup() const override { return true; }

    std::string m_device;
    long m_baud;
    std::string m_down_why;  // why the device could not be opened the last time
};

}  // namespace

std::unique_ptr<TARGET> make_serial_target(const UART_CONFIG& config, const std::string& label,
                                           SERVER_LOG& log) {
    return std::make_unique<SERIAL_TARGET>(config, label, log);
}
