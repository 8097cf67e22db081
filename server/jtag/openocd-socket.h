// server/jtag/openocd-socket.h: the TCP connection to OpenOCD's Tcl port, without waiting.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// Starts connecting to host:port (an IPv4 address or "localhost"). The socket, to be polled for
// writing and then checked with openocd_socket_connected, or -1 with *error.
int openocd_socket_connect(const std::string& host, std::uint16_t port, std::string* error);
// Whether a connection begun by openocd_socket_connect is made, without waiting: 1 connected,
// 0 not yet, -1 failed with *error.
int openocd_socket_connected(int fd, std::string* error);
// Bytes moved, 0 when none could be now, -1 with *error when the connection is gone (a closed
// connection says "OpenOCD closed the connection").
long openocd_socket_send(int fd, const char* data, std::size_t size, std::string* error);
long openocd_socket_receive(int fd, char* data, std::size_t size, std::string* error);
void openocd_socket_close(int fd);
// A free TCP port on 127.0.0.1 at the time of asking (another program may take it before us).
std::uint16_t openocd_free_port(std::string* error);
