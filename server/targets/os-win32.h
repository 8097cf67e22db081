// What the Windows parts of the server share: Winsock, the system's error texts, and the bridge
// that lets the loop wait on a pipe or a COM port. WSAPoll waits on sockets only, so each such
// handle is joined to one end of a loopback socket pair by two threads, one per direction; the
// loop and the targets see the other end, a socket like any other. Sockets travel as int: a
// Windows handle keeps its meaning in 32 bits.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// Starts Winsock once for the whole process; false when it cannot.
bool os_winsock_ready();
// The system's text for an error code (GetLastError, WSAGetLastError), without its line break.
std::string os_error_text(unsigned long code);
// Two connected loopback sockets, not inherited by child processes; buffer_size above 0 makes
// their buffers that small. False with *error.
bool os_socket_pair(int ends[2], int buffer_size, std::string* error);

// The command line that gives a program exactly these arguments, argv[0] included, as the C
// runtime (and CommandLineToArgvW) splits it: an argument with a space, a tab or a quote, or
// an empty one, is quoted, and the backslashes before a quote are doubled.
std::string os_command_line(const std::vector<std::string>& argv);

// Joins the handles (read_from, write_to; either may be 0 for none) to a new non-blocking
// socket, which it returns (-1 with *error). What read_from gives arrives on the socket, and
// its end as the socket's end; what is sent on the socket is written to write_to, whose handle
// is closed when the socket is. device: both are one COM port, opened for overlapped I/O with
// read time-outs (a read of no bytes timed out); otherwise a read of no bytes is the end. Once
// it returns a socket the bridge owns the handles and closes them when both threads are done;
// on failure they stay the caller's.
int os_bridge(std::intptr_t read_from, std::intptr_t write_to, bool device, std::string* error);
