// TCP for the server: its own port, and the listen and connect targets.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// One address of a host, as the system's resolver gave it.
struct NET_ADDRESS {
    std::string socket_address;  // the system's own form, as bytes
};

// The addresses of host (a name, or an IPv4 or IPv6 address) and port, in the resolver's order.
// False with *error ("the host ... is not known (...)") when there are none.
bool net_resolve(const std::string& host, std::uint16_t port, bool passive,
                 std::vector<NET_ADDRESS>* addresses, std::string* error);
// A listening socket on the first of host's addresses that takes it (port 0: any free one);
// *bound gets the port chosen. A buffer_size above 0 sets small socket buffers. -1 with *error.
int net_listen(const std::string& host, std::uint16_t port, int buffer_size, std::uint16_t* bound,
               std::string* error);
// Accepts one waiting connection without waiting: the socket or -1 (errno says why). *peer is
// the other side's address as HOST:PORT ([HOST]:PORT for IPv6), *loopback whether it is on
// this machine (127.0.0.0/8 or ::1).
int net_accept(int listen_fd, std::string* peer, bool* loopback);
// Starts connecting to one address without waiting. The socket, to be waited on for writing
// and then finished with net_finish_connect, or -1 with *error.
int net_start_connect(const NET_ADDRESS& address, std::string* error);
// After the socket polled writable: true when connected, else false with *error.
bool net_finish_connect(int fd, std::string* error);
