// The program target: a program the server starts, its standard input and output the stream.
#include "server/board-config.h"
#include "server/targets/stream-target.h"
#include "server/targets/target-kinds.h"
#include "server/targets/target-program.h"

namespace {

class PROGRAM_TARGET : public STREAM_TARGET {
public:
    PROGRAM_TARGET(const UART_CONFIG& config, const std::string& label, SERVER_LOG& log)
        : STREAM_TARGET(label, log), m_argv(config.argv) {}
    ~PROGRAM_TARGET() override { stop(0); }

    START start(std::string* why) override {
        if (streaming()) return START::up;
        if (m_pid > 0) stop(0);  // ended its output but not yet reaped
        TARGET_PROGRAM child;
        std::string failure;
        if (!target_program_start(m_argv, &child, &failure)) {
            failure = "cannot start " + m_argv[0] + ": " + failure;
            m_log.line("%s: %s", m_label.c_str(), failure.c_str());
            if (why != nullptr) *why = failure;
            return START::failed;
        }
        m_pid = child.pid;
        attach(child.from_child, child.to_child);
        return START::up;
    }
    void stop(int grace_ms) override {
        close_stream();
        if (m_pid > 0) target_program_stop(m_pid, grace_ms);
        m_pid = -1;
    }
    int detach_process() override {
        close_stream();
        int pid = m_pid;
        m_pid = -1;
        return pid;
    }
    void children_ended() override {
        if (target_program_reaped(m_pid)) m_pid = -1;
    }
    std::string lost_text() const override { return "the target program ended"; }

private:
    std::vector<std::string> m_argv;
    int m_pid = -1;
};

}  // namespace

std::unique_ptr<TARGET> make_program_target(const UART_CONFIG& config, const std::string& label,
                                            SERVER_LOG& log) {
    return std::make_unique<PROGRAM_TARGET>(config, label, log);
}
