// A real board's serial port.
#pragma once
#include <cstdint>
#include <string>

// Opens a serial device for reading and writing without waiting, with the server's own
// rights, and makes it a raw 8N1 line at baud: no echo, no line editing, no CR/LF
// translation, no flow control, modem lines ignored. Taken exclusively while open.
// The descriptor, or -1 with *error ("cannot open DEVICE: why").
int port_open_serial(const std::string& device, long baud, std::string* error);
