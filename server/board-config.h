// The simulated boards: cables, the devices on each cable's JTAG chain, their JTAG UARTs, and
// what sits on the target side of each JTAG UART. Read from a small line-based file.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum class TARGET_KIND {
    echo,     // the server sends the host's bytes straight back
    listen,   // a simulator or test connects to a loopback TCP port and is the target
    program,  // a program the server starts: its stdout is the target's output
    serial,   // a serial device (a board's USB-serial adapter) in raw mode
    connect,  // the server connects to a TCP serial port (an emulator, a serial-over-network box)
};

struct UART_CONFIG {
    int instance = 0;
    std::size_t in_depth = 64;   // host-to-target FIFO
    std::size_t out_depth = 64;  // target-to-host FIFO
    TARGET_KIND kind = TARGET_KIND::echo;
    std::uint16_t port = 0;         // listen: 0 lets the system choose; connect: the port
    std::vector<std::string> argv;  // program: the command and its arguments
    std::string device;             // serial: the device's path
    long baud = 115200;             // serial: one of the speeds text_baud_supported accepts
    std::string host;               // connect: an IPv4 address; loopback unless written out
    int line = 0;                   // where the configuration file describes it (0: nowhere)
};

struct DEVICE_CONFIG {
    int index = 0;
    std::vector<UART_CONFIG> uarts;
};

// A real JTAG cable, driven through OpenOCD: the devices and JTAG UARTs are the JTAG UART cores
// found on its chain, not lines of the configuration.
struct OPENOCD_CONFIG {
    bool used = false;
    std::string tcl_address;                // an OpenOCD the user runs: its Tcl port
    std::vector<std::string> config_files;  // or the files to start one from (-f each)
    int line = 0;
};

struct CABLE_CONFIG {
    std::string name;
    bool plugged = true;
    bool powered = true;
    int warning = 0;  // 0 supported, 1 support unknown, 2 unsupported
    std::vector<DEVICE_CONFIG> devices;
    OPENOCD_CONFIG openocd;
};

struct BOARD_CONFIG {
    std::vector<CABLE_CONFIG> cables;
    std::string file_name;  // the file it was read from, for messages; empty for the demo
};

// The longest line a configuration file may hold, without its line end.
constexpr std::size_t config_max_line = 4096;

// Parses a configuration text; file_name only labels the messages ("FILE:LINE: why").
// demo_program is what the target kind "demo" runs. Messages show unprintable bytes escaped.
bool config_parse(const std::string& text, const std::string& file_name,
                  const std::string& demo_program, BOARD_CONFIG* config, std::string* error);
// Reads the file a line at a time, so a huge line is refused without being held in memory.
bool config_load(const std::string& path, const std::string& demo_program, BOARD_CONFIG* config,
                 std::string* error);
// One cable, one device, one JTAG UART running the demo target.
BOARD_CONFIG config_demo(const std::string& demo_program);
