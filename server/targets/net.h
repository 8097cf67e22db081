// TCP for the server: its own port, and the listen and connect targets.
#pragma once
#include <cstdint>
#include <string>

// A listening socket on host:port (port 0: any free one); *bound gets the port chosen. A
// buffer_size above 0 sets small socket buffers. -1 with *error.
int net_listen(const std::string& host, std::uint16_t port, int buffer_size, std::uint16_t* bound,
               std::string* error);
// Accepts one waiting connection without waiting: the socket or -1 (errno says why). *peer is
// the other side's address as HOST:PORT, *loopback whether it is on this machine.
int net_accept(int listen_fd, std::string* peer, bool* loopback);
// Starts connecting to host:port (an IPv4 address) without waiting. The socket, to be waited on
// for writing and then finished with net_finish_connect, or -1 with *error.
int net_start_connect(const std::string& host, std::uint16_t port, std::string* error);
// After the socket polled writable: true when connected, else false with *error.
bool net_finish_connect(int fd, std::string* error);
