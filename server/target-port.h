// The ports a real board or an emulator offers: a serial device, a TCP serial port.
#pragma once
#include <cstdint>
#include <string>

// Opens a serial device for reading and writing without waiting, with the server's own
// rights, and makes it a raw 8N1 line at baud: no echo, no line editing, no CR/LF
// translation, no flow control, modem lines ignored. Taken exclusively while open.
// The descriptor, or -1 with *error ("cannot open DEVICE: why").
int port_open_serial(const std::string& device, long baud, std::string* error);
// Starts connecting to host:port (an IPv4 address) without waiting. The socket, to be polled
// for writing and then finished with port_finish_connect, or -1 with *error.
int port_start_connect(const std::string& host, std::uint16_t port, std::string* error);
// After the socket polled writable: true when connected, else false with *error.
bool port_finish_connect(int fd, std::string* error);
