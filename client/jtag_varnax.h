// The JTAG UART access library: open a JTAG UART through the local JTAG server, read and write it.
//
// The server is found at 127.0.0.1:47011, or at the "host:port" in the environment variable
// JTAG_VARNAX_SERVER. A server that asks for the shared secret gets a proof of the secret in the
// file named by JTAG_VARNAX_SECRET_FILE, or else in ~/.config/jtag-varnax/secret. A handle is used by one thread at a time; different handles may be used
// by different threads. No call raises SIGPIPE, throws, or waits for the target.
#pragma once

#if defined(_WIN32)
#if defined(JTAG_VARNAX_BUILDING)
#define JTAG_VARNAX_API __declspec(dllexport)
#else
#define JTAG_VARNAX_API __declspec(dllimport)
#endif
#else
#define JTAG_VARNAX_API __attribute__((visibility("default")))
#endif

struct JTAGVARNAX;

// Why the last jtagvarnax_open failed. 32 bits wide.
enum JTAGVARNAX_ERROR : int {
    JTAGVARNAX_OK = 0,
    JTAGVARNAX_NO_SERVER = -1,           // no local JTAG server answers
    JTAGVARNAX_SEVERAL_CABLES = -2,      // more than one cable matches
    JTAGVARNAX_NO_CABLE = -3,            // no cable (matching)
    JTAGVARNAX_CABLE_UNPLUGGED = -4,     // cable not plugged in
    JTAGVARNAX_BOARD_UNPOWERED = -5,     // board not connected or not powered
    JTAGVARNAX_IN_USE = -6,              // JTAG UART in use by another application
    JTAGVARNAX_SEVERAL_UARTS = -7,       // more than one JTAG UART and none chosen
    JTAGVARNAX_NO_UART = -8,             // no JTAG UART matches
    JTAGVARNAX_INCOMPATIBLE = -9,        // the server speaks another protocol version
};

// cable: null or a name (a cable matches when its name equals the text, or else contains it);
// device, instance: -1 to choose automatically when exactly one candidate exists.
// app_name and this process's id are what another application's failed open (-6) is told.
// Returns null on failure; jtagvarnax_get_error then says why.
JTAG_VARNAX_API JTAGVARNAX* jtagvarnax_open(const char* cable, int device, int instance,
                                            const char* app_name);
// The result of the last open in the process (JTAGVARNAX_OK after a success), and a text (never
// null, possibly empty) owned by the library; it stays valid until this thread calls again.
JTAG_VARNAX_API JTAGVARNAX_ERROR jtagvarnax_get_error(const char** text);
// The cable name (owned by the library, never null), device and instance of an open link.
JTAG_VARNAX_API void jtagvarnax_get_info(JTAGVARNAX* link, const char** cable, int* device,
                                         int* instance);
// Never waits: the bytes that have arrived (at most count), 0 if none, negative once the link is
// lost (bytes that came before the loss are returned first). When the link was interrupted, a
// read begins with ten 0xFF bytes: the read before it ends where they start.
JTAG_VARNAX_API int jtagvarnax_read(JTAGVARNAX* link, char* buffer, unsigned int count);
// How many bytes the JTAG UART's input FIFO accepted (possibly fewer, possibly 0); negative once
// the link is lost. Accepted bytes reach the target exactly once, in order.
JTAG_VARNAX_API int jtagvarnax_write(JTAGVARNAX* link, const char* data, unsigned int count);
// Returns once the link is open.
JTAG_VARNAX_API int jtagvarnax_wait_open(JTAGVARNAX* link);
// Sends what was reported as written (waiting at most a second), then frees the JTAG UART.
JTAG_VARNAX_API void jtagvarnax_close(JTAGVARNAX* link);
// 0 the cable is supported, 1 support cannot be confirmed, 2 the cable is not supported.
JTAG_VARNAX_API int jtagvarnax_cable_warning(JTAGVARNAX* link);
