// The JTAG UART channel: connection report and errors, cable check, reads with reconnection.
#include "comm/jtag-uart.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "args/process-args.h"
#include "base/program-name.h"
#include "client/jtag_varnax.h"
#include "platform/dynlib.h"

namespace {

// An idle link is read ten times a second. While bytes move, the pause starts this short and
// doubles with each empty read until it is the idle one again: an answer that comes within a
// fraction of a millisecond (an echo, the room a paste needs in the target's FIFO) is read at
// once, and a link quiet for a fifth of a second is idle again.
constexpr int64_t empty_read_pause_us = 100000;
constexpr int64_t moving_pause_us = 50;
constexpr int64_t failed_reopen_pause_us = 1000000;
constexpr int interruption_length = 10;  // this many 0xFF bytes at a block's start: link lost

int cable_warning_from_library(JTAGVARNAX* handle) {
    int result = 1;  // support cannot be confirmed
    DYNLIB* library = dynlib_open(varnax_library_name);
    if (library != nullptr) {
        using CABLE_WARNING = int (*)(JTAGVARNAX*);
        auto function = reinterpret_cast<CABLE_WARNING>(
            dynlib_symbol(library, varnax_cable_warning_symbol));
        if (function != nullptr) result = function(handle);
        dynlib_close(library);
    }
    return result;
}

void print_lines(const char* const* lines) {
    for (; *lines != nullptr; ++lines) std::fprintf(stderr, *lines, program_name);
}

void report_open_error(JTAGVARNAX_ERROR code, const char* text) {
    const char* cable = settings.cable ? settings.cable->c_str() : nullptr;
    switch (code) {
        case JTAGVARNAX_NO_SERVER: {
            static const char* const lines[] = {
                "%s: Unable to connect to local JTAG server.  Please check that\n",
                "%s: Ostrand is correctly installed on your machine and use the\n",
                "%s: `scanwell` utility to diagnose further.\n", nullptr};
            print_lines(lines);
            break;
        }
        case JTAGVARNAX_SEVERAL_CABLES: {
            static const char* const lines[] = {
                "%s: You have more than one JTAG cable available so you must use the\n",
                "%s: --cable option to choose between them (or set up a cable from\n",
                "%s: the launch configuration window).\n", nullptr};
            print_lines(lines);
            if (cable == nullptr) {
                std::fprintf(stderr,
                             "%s: No --cable option was provided (or you selected Automatic)\n",
                             program_name);
            } else {
                std::fprintf(stderr, "%s: Two or more cables match the --cable option you provided\n",
                             program_name);
                std::fprintf(stderr, "%s: (%s) - please be more specific.\n", program_name, cable);
            }
            break;
        }
        case JTAGVARNAX_NO_CABLE:
            if (cable == nullptr) {
                std::fprintf(stderr, "%s: There are no JTAG cables available on your system.\n",
                             program_name);
            } else {
                std::fprintf(stderr,
                             "%s: There are no JTAG cables available on your system which match\n",
                             program_name);
                std::fprintf(stderr, "%s: the --cable option you provided (%s).\n", program_name,
                             cable);
            }
            break;
        case JTAGVARNAX_CABLE_UNPLUGGED:
            std::fprintf(stderr, "%s: The selected JTAG cable is not plugged into your PC.\n",
                         program_name);
            break;
        case JTAGVARNAX_BOARD_UNPOWERED: {
            static const char* const lines[] = {
                "%s: The selected JTAG cable is either not connected to a board, or\n",
                "%s: the board is not switched on.\n", nullptr};
            print_lines(lines);
            break;
        }
        case JTAGVARNAX_IN_USE:
            std::fprintf(stderr, "%s: Unable to connect to JTAG UART because another application\n",
                         program_name);
            if (text[0] != '\0') std::fprintf(stderr, "%s: (%s)\n", program_name, text);
            std::fprintf(stderr,
                         "%s: is using it (or is using something else which clashes). Please close\n",
                         program_name);
            std::fprintf(stderr, "%s: the other application and try again.\n", program_name);
            break;
        case JTAGVARNAX_SEVERAL_UARTS: {
            static const char* const lines[] = {
                "%s: More than one JTAG UART is available.  Please specify\n",
                "%s: --device and/or --instance options to select one.\n", nullptr};
            print_lines(lines);
            break;
        }
        case JTAGVARNAX_NO_UART: {
            static const char* const lines[] = {
                "%s: There are no JTAG UARTs available which match the --device and\n",
                "%s: --instance options you provided.\n", nullptr};
            print_lines(lines);
            break;
        }
        case JTAGVARNAX_INCOMPATIBLE: {
            static const char* const lines[] = {
                "%s: The JTAG UART selected is not compatible with this version\n",
                "%s: of the software.\n", nullptr};
            print_lines(lines);
            break;
        }
        default:
            std::fprintf(stderr, "%s: An internal error (%d) is preventing connection to the\n",
                         program_name, static_cast<int>(code));
            std::fprintf(stderr, "%s: JTAG UART.\n", program_name);
            break;
    }
}

void print_cable_warning(int result) {
    static const char* const warning_unknown[] = {
        "%s: Warning: Unable to verify whether your download cable is\n",
        "%s: supported for Tarvik systems.  If you use an unsupported cable\n",
        "%s: you may experience intermittent JTAG communication failures.\n",
        "%s: Please refer to the file errata.txt included in the Tarvik\n",
        "%s: development kit documents directory for information on how to\n",
        "%s: update your system.\n", nullptr};
    static const char* const warning_unsupported[] = {
        "%s: Warning: The JTAG cable you are using is not supported for Tarvik\n",
        "%s: systems.  You may experience intermittent JTAG communication\n",
        "%s: failures with this cable.  Please use a USB Corvel revision B\n",
        "%s: cable or another supported cable.  Please refer to the file\n",
        "%s: errata.txt included in the Tarvik development kit documents\n",
        "%s: directory for more information.\n", nullptr};
    if (result == 0) return;
    std::fprintf(stderr, "\n");
    print_lines(result == 1 ? warning_unknown : warning_unsupported);
    std::fprintf(stderr, "\n");
}

bool starts_with_interruption(const char* buffer, int count) {
    if (count < interruption_length) return false;
    for (int i = 0; i < interruption_length; ++i) {
        if (static_cast<unsigned char>(buffer[i]) != 0xFF) return false;
    }
    return true;
}

}  // namespace

PAUSE_END (*jtag_uart_pause)(int64_t microseconds, bool keys_end_it) = pause_us;
int (*jtag_uart_cable_warning)(JTAGVARNAX* handle) = cable_warning_from_library;

COMM_JTAG_UART::COMM_JTAG_UART() : m_next_pause_us(moving_pause_us) {
    const char* cable = settings.cable ? settings.cable->c_str() : nullptr;
    m_handle = jtagvarnax_open(cable, settings.device, settings.instance, program_name);
    if (m_handle == nullptr) {
        const char* text = nullptr;
        JTAGVARNAX_ERROR code = jtagvarnax_get_error(&text);
        report_open_error(code, text != nullptr ? text : "");
        std::exit(1);
    }

    const char* found_cable = nullptr;
    int found_device = -1;
    int found_instance = -1;
    jtagvarnax_get_info(m_handle, &found_cable, &found_device, &found_instance);
    if (found_cable == nullptr) found_cable = "";
    if (settings.verbose) {
        std::printf(
            "%s: connected to hardware target using JTAG UART on cable\n"
            "%s: \"%s\", device %d, instance %d\n",
            program_name, program_name, found_cable, found_device, found_instance);
    }
    print_cable_warning(jtag_uart_cable_warning(m_handle));

    // A reconnection opens exactly what was found now, even where the user let it choose.
    settings.cable = std::string(found_cable);
    settings.device = found_device;
    settings.instance = found_instance;
}

COMM_JTAG_UART::~COMM_JTAG_UART() {
    if (m_handle != nullptr) jtagvarnax_close(m_handle);
    m_handle = nullptr;
}

void COMM_JTAG_UART::wait_open() {
    if (m_handle != nullptr) jtagvarnax_wait_open(m_handle);
}

// Inline: the relay reads every block through here, and each call it saves counts.
inline int COMM_JTAG_UART::take(char* buffer, unsigned int count) {
    if (m_handle == nullptr && !reopen()) return 0;
    int result = jtagvarnax_read(m_handle, buffer, count);
    if (result > 0) {
        if (result >= interruption_length && starts_with_interruption(buffer, result)) {
            std::printf("\nJTAG connection interrupted!\n");
            close_link();
            return -1;
        }
        m_next_pause_us = moving_pause_us;
        return result;
    }
    if (result < 0 && settings.persistent) close_link();
    return result;
}

int COMM_JTAG_UART::read(char* buffer, unsigned int count) {
    int result = take(buffer, count);
    if (result == 0 && m_handle != nullptr) pause_after_empty_read();
    return result;
}

int COMM_JTAG_UART::read_settled(char* buffer, unsigned int count) {
    int result = take(buffer, count);
    if (result != 0 || m_handle == nullptr) return result;
    // What the target queued before the session may still be on its way: it gets the full
    // pause, keys or not, and one more look.
    jtag_uart_pause(empty_read_pause_us, false);
    return take(buffer, count);
}

bool COMM_JTAG_UART::reopen() {
    const char* cable = settings.cable ? settings.cable->c_str() : nullptr;
    m_handle = jtagvarnax_open(cable, settings.device, settings.instance, primary_name);
    if (m_handle == nullptr) {
        // Reconnection attempts stay at about one a second, keys or no keys.
        jtag_uart_pause(failed_reopen_pause_us, false);
        return false;
    }
    std::printf("\nConnected!\n");
    m_next_pause_us = moving_pause_us;
    return true;
}

void COMM_JTAG_UART::close_link() {
    jtagvarnax_close(m_handle);
    m_handle = nullptr;
}

int COMM_JTAG_UART::write(const char* data, unsigned int count) {
    if (m_handle == nullptr) return 0;
    int result = jtagvarnax_write(m_handle, data, count);
    // The target's answer to what was just sent is expected soon.
    if (result > 0) m_next_pause_us = moving_pause_us;
    // In persistent mode a failed write keeps the bytes with the caller; the next read
    // notices the lost link and reconnects.
    if (settings.persistent && result < 0) return 0;
    return result;
}

void COMM_JTAG_UART::pause_after_empty_read() {
    // A key ended the last pause: the relay has taken it and sends it in its next pass, so
    // this read is not followed by a pause at all.
    if (m_next_pause_us == 0) {
        m_next_pause_us = moving_pause_us;
        return;
    }
    // A typed key ends the pause: the relay sends it and the echo is expected soon.
    if (jtag_uart_pause(m_next_pause_us, true) == PAUSE_END::key_typed) {
        m_next_pause_us = 0;
    } else {
        m_next_pause_us = std::min(2 * m_next_pause_us, empty_read_pause_us);
    }
}
