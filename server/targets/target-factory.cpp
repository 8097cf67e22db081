// The one place that turns a kind of target into its implementation.
#include "server/board-config.h"
#include "server/targets/target-kinds.h"

std::unique_ptr<TARGET> make_target(const UART_CONFIG& config, const std::string& label,
                                    SERVER_LOG& log, RING_BUFFER* out_fifo) {
    switch (config.kind) {
        case TARGET_KIND::echo:
            return make_echo_target(out_fifo);
        case TARGET_KIND::program:
            return make_program_target(config, label, log);
        case TARGET_KIND::serial:
            return make_serial_target(config, label, log);
        case TARGET_KIND::connect:
            return make_connect_target(config, label, log);
        case TARGET_KIND::listen:
            return make_listen_target(config, label, log);
    }
    return nullptr;
}
