// COM ports as target ports on Windows: raw 8N1, no flow control, bridged to a socket.
#include <windows.h>

#include "server/targets/os-win32.h"
#include "server/targets/serial-port.h"
#include "text/text.h"

namespace {

bool standard_speed(long baud) {
    for (std::size_t i = 0; i < text_baud_count; ++i)
        if (text_baud_rates[i] == baud) return true;
    return false;
}

// Binary, 8 data bits, no parity, one stop bit; no handshake of any kind, and DTR and RTS up
// as a terminal program leaves them.
bool set_raw(HANDLE port, long baud) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port, &dcb)) return false;
    dcb.BaudRate = DWORD(baud);
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fDsrSensitivity = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fOutX = dcb.fInX = dcb.fErrorChar = dcb.fNull = dcb.fAbortOnError = FALSE;
    if (!SetCommState(port, &dcb)) return false;
    // A read returns what has come once the line has been quiet for 2 ms after a byte, or
    // nothing after 100 ms (the bridge then sees whether the server still wants the port);
    // writes wait to the end.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = 2;
    timeouts.ReadTotalTimeoutConstant = 100;
    return SetCommTimeouts(port, &timeouts) != 0;
}

}  // namespace

int port_open_serial(const std::string& device, long baud, std::string* error) {
    auto fail = [&](HANDLE port, const std::string& why) {
        *error = "cannot open " + device + ": " + why;
        if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
        return -1;
    };
    if (!standard_speed(baud)) return fail(INVALID_HANDLE_VALUE, "unsupported speed");
    // COM10 and above are reachable only by their device path; COM1 works either way.
    std::string path = device.rfind("\\\\", 0) == 0 ? device : "\\\\.\\" + device;
    // No sharing: another program reading the same line would steal bytes from the board's
    // stream.
    HANDLE port = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE) return fail(port, os_error_text(GetLastError()));
    if (GetFileType(port) != FILE_TYPE_CHAR) return fail(port, "not a serial device");
    if (!set_raw(port, baud)) return fail(port, os_error_text(GetLastError()));
    PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR);
    std::intptr_t handle = reinterpret_cast<std::intptr_t>(port);
    int socket = os_bridge(handle, handle, true, error);
    if (socket < 0) return fail(port, *error);
    return socket;
}
