// The echo target: the host's bytes come straight back, as far as the output FIFO has room.
#include "server/board/ring-buffer.h"
#include "server/targets/target-kinds.h"

namespace {

class ECHO_TARGET : public TARGET {
public:
    explicit ECHO_TARGET(RING_BUFFER* out_fifo) : m_out_fifo(out_fifo) {}
    START start(std::string*) override { return START::up; }
    void stop(int) override {}
    long read(char*, std::size_t) override { return 0; }
    long write(const char* data, std::size_t size) override {
        std::size_t n = size < m_out_fifo->room() ? size : m_out_fifo->room();
        m_out_fifo->push(data, n);
        return long(n);
    }
    std::string lost_text() const override { return "the target disconnected"; }
    void waits(bool, bool, std::vector<TARGET_WAIT>*) const override {}
    bool ready(bool, bool) const override { return false; }
    TARGET_NEWS event(const TARGET_WAIT&, bool) override { return {}; }

private:
    RING_BUFFER* m_out_fifo;
};

}  // namespace

std::unique_ptr<TARGET> make_echo_target(RING_BUFFER* out_fifo) {
    return std::make_unique<ECHO_TARGET>(out_fifo);
}
