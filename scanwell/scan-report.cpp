// The wording of scanwell's findings.
#include "scanwell/scan-report.h"

#include <cstddef>

#include "text/text.h"

namespace {

const char* prefix = "scanwell: ";

std::string origin_text(bool from_environment) {
    return from_environment ? "from JTAG_VARNAX_SERVER"
                            : "the default; JTAG_VARNAX_SERVER is not set";
}

// The lines that say why the server could not be used, and what to do about it.
std::string failure_text(const std::string& address, const SCAN_RESULT& r) {
    const std::string fix_address =
        "Set JTAG_VARNAX_SERVER to HOST:PORT (a host name, a dotted IPv4 address or an IPv6\n"
        "address in brackets, and a port from 1 to 65535), or unset it to use 127.0.0.1:47011.";
    const std::string start_server =
        "Start the JTAG server (varnax-server --demo, or varnax-server --config FILE), or set\n"
        "JTAG_VARNAX_SERVER to the address it listens on.";
    switch (r.error) {
        case SCAN_ERROR::malformed_address:
            return "malformed address: " + r.why + ".\n" + fix_address;
        case SCAN_ERROR::no_such_host:
            return "no such host: " + r.why + ".\n" + fix_address;
        case SCAN_ERROR::refused:
            return "connection refused: nothing listens at " + address + ".\n" + start_server;
        case SCAN_ERROR::timed_out:
            return "no answer: " + address + " did not accept the connection in time.\n" +
                   start_server;
        case SCAN_ERROR::unreachable:
            return "cannot connect to " + address + ": " + r.why + ".\n" + start_server;
        case SCAN_ERROR::not_a_server:
            return "not a JTAG server: the program at " + address +
                   " does not speak the JTAG server's protocol (" + r.why + ").";
        case SCAN_ERROR::other_version:
            return "wrong protocol version: " + r.why +
                   ".\nUse a JTAG server from the same release as the terminal and its library.";
        case SCAN_ERROR::secret:
            return "the shared secret: " + r.why + ".";
        case SCAN_ERROR::broken:
            return "the JTAG server at " + address + " did not list its cables: " + r.why + ".";
        case SCAN_ERROR::turned_away:
            return "refused by the server: the JTAG server at " + address +
                   " does not serve this client: " + r.why + ".";
        case SCAN_ERROR::too_large:
            return "the JTAG server at " + address + " sent an inventory of " + r.why +
                   "; scanwell takes no more than that and shows none of it.";
        case SCAN_ERROR::none:
            break;
    }
    return "";
}

// Each line of text, with the program's name in front.
std::string prefixed(const std::string& text) {
    std::string out;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        out += prefix + text.substr(start, end - start) + "\n";
        start = end + 1;
    }
    return out;
}

std::string cable_line(const varnax::LIST_CABLE& c) {
    std::string line = "Cable " + shell_quote(text_escaped(c.name));
    if (!c.plugged) return line + ": not plugged in; its devices cannot be seen.\n";
    if (!c.powered)
        return line +
               ": the board is not connected or not switched on; its devices cannot be "
               "seen.\n";
    return line + ":\n";
}

std::string warning_line(const varnax::LIST_CABLE& c) {
    if (c.warning == 0) return "";
    return c.warning == 1 ? "  Support for this cable cannot be confirmed.\n"
                          : "  This cable is not supported: expect JTAG communication failures.\n";
}

struct COUNTS {
    int uarts = 0;
    int in_use = 0;
};

std::string device_lines(const std::string& cable, const SCAN_DEVICE& d, COUNTS* counts) {
    std::string device = std::to_string(d.index);
    if (d.uarts.empty()) return "  Device " + device + ": no JTAG UART\n";
    std::string out = "  Device " + device + ":\n";
    for (const varnax::LIST_UART& u : d.uarts) {
        std::string instance = std::to_string(u.instance);
        out += "    JTAG UART instance " + instance + ", ";
        out += u.in_use ? "in use by " + text_escaped(u.app_name) + ", process " +
                              std::to_string(u.pid)
                        : "free";
        out += "\n      --cable " + shell_quote(text_escaped(cable)) + " --device " + device + " --instance " +
               instance + "\n";
        ++counts->uarts;
        if (u.in_use) ++counts->in_use;
    }
    return out;
}

std::string summary_line(const COUNTS& counts, std::size_t cables) {
    if (cables == 0) return "Found no JTAG cable.\n";
    std::string on = " on " + std::to_string(cables) + (cables == 1 ? " cable" : " cables");
    if (counts.uarts == 0) return "Found no JTAG UART" + on + ".\n";
    return "Found " + std::to_string(counts.uarts) +
           (counts.uarts == 1 ? " JTAG UART (" : " JTAG UARTs (") +
           std::to_string(counts.uarts - counts.in_use) + " free, " +
           std::to_string(counts.in_use) + " in use)" + on + ".\n";
}

}  // namespace

std::string shell_quote(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"' || c == '$' || c == '`') out += '\\';
        out += c;
    }
    return out + "\"";
}

SCAN_REPORT scan_report(const std::string& address, bool from_environment,
                        const SCAN_RESULT& result) {
    SCAN_REPORT report;
    // Every text from the environment or the server is shown escaped: none of it may move the
    // cursor, retitle the window or clear the screen of whoever reads the report.
    std::string shown = text_escaped(address);
    report.out = "Server: " + shown + " (" + origin_text(from_environment) + ")\n";
    if (result.error != SCAN_ERROR::none) {
        SCAN_RESULT escaped = result;
        escaped.why = text_escaped(result.why);
        report.err = prefixed(failure_text(shown, escaped));
        return report;
    }
    report.out += "Connected: the server speaks protocol version " +
                  std::to_string(result.server_version) + ".\n\n";
    COUNTS counts;
    for (const SCAN_CABLE& cable : result.cables) {
        report.out += cable_line(cable.cable) + warning_line(cable.cable);
        for (const SCAN_DEVICE& device : cable.devices)
            report.out += device_lines(cable.cable.name, device, &counts);
    }
    report.out += "\n" + summary_line(counts, result.cables.size());
    report.status = counts.uarts > 0 ? 0 : 1;
    return report;
}
