// One maker per kind of target; make_target picks among them.
#pragma once
#include <memory>
#include <string>

#include "server/targets/target.h"

std::unique_ptr<TARGET> make_echo_target(RING_BUFFER* out_fifo);
std::unique_ptr<TARGET> make_program_target(const UART_CONFIG& config, const std::string& label,
                                            SERVER_LOG& log);
std::unique_ptr<TARGET> make_serial_target(const UART_CONFIG& config, const std::string& label,
                                           SERVER_LOG& log);
std::unique_ptr<TARGET> make_connect_target(const UART_CONFIG& config, const std::string& label,
                                            SERVER_LOG& log);
std::unique_ptr<TARGET> make_listen_target(const UART_CONFIG& config, const std::string& label,
                                           SERVER_LOG& log);
