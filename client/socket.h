// The few socket calls the library makes, behind a header without OS types.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Why a connection could not be made, for a diagnosis in plain words.
enum class CONNECT_ERROR { none, no_such_host, refused, timed_out, other };

// Connects to host (a name, or an IPv4 or IPv6 address, as the system's resolver reads it)
// within timeout_ms, trying each of its addresses in turn, and leaves the socket non-blocking.
// *loopback (may be null) tells whether the address reached is on this machine. Returns -1
// and fills *error, which names the host (and *kind, which may be null).
int socket_connect(const std::string& host, std::uint16_t port, int timeout_ms, std::string* error,
                   CONNECT_ERROR* kind = nullptr, bool* loopback = nullptr);
// One address of a host: the system's own form of it, and whether it is on this machine.
struct HOST_ADDRESS {
    std::string raw;
    bool loopback = false;
};
// The addresses of host, in the resolver's order. False with the resolver's *reason, and
// *unknown when the host does not exist (rather than the lookup failing).
bool socket_resolve(const std::string& host, std::uint16_t port,
                    std::vector<HOST_ADDRESS>* addresses, bool* unknown, std::string* reason);
// Connects to one address within timeout_ms: a non-blocking socket that sends small writes at
// once, or -1 with *error and *kind.
int socket_connect_address(const HOST_ADDRESS& address, int timeout_ms, std::string* error,
                           CONNECT_ERROR* kind);
// Non-blocking send that never raises SIGPIPE: bytes taken, 0 when the socket is full,
// -1 when the connection failed (*error says why).
long socket_send(int fd, const void* data, std::size_t size, std::string* error);
// Non-blocking receive: bytes placed, 0 when nothing is waiting, -1 at end of stream or on
// failure (*error says which).
long socket_receive(int fd, void* buffer, std::size_t size, std::string* error);
// Waits until the socket is readable (or writable) or timeout_ms passes. False on time-out.
bool socket_wait(int fd, bool for_writing, int timeout_ms);
void socket_close(int fd);
// This process's id, for the server's "in use by" text.
std::uint32_t socket_process_id();
