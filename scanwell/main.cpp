// scanwell: tells why the JTAG server cannot be reached, or lists what it serves.
#include <cstdio>
#include <cstring>

#include "client/server-address.h"
#include "client/varnax-scan.h"
#include "scanwell/scan-report.h"

namespace {

// Long enough for a busy server, short enough for a person waiting at a prompt.
constexpr int scan_timeout_ms = 5000;

const char* usage_text =
    "Usage: scanwell [OPTIONS]\n"
    "Diagnoses the connection to the JTAG server and lists its cables, devices and JTAG UARTs,\n"
    "each with the --cable, --device and --instance options that choose it in the terminal.\n"
    "The server is at JTAG_VARNAX_SERVER (HOST:PORT), or else at 127.0.0.1:47011. The shared\n"
    "secret a server may ask for is read from the file JTAG_VARNAX_SECRET_FILE names, or else\n"
    "from this user's jtag-varnax/secret settings file.\n"
    "  -h, --help       show this message and exit\n"
    "  -V, --version    display the version and exit\n"
    "Exit status: 0 when at least one JTAG UART was found, 1 when none was (or the server\n"
    "could not be used), 2 for a bad option.\n";

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(usage_text, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0 || std::strcmp(argv[i], "-V") == 0) {
            std::puts("scanwell " SCANWELL_VERSION);
            return 0;
        }
        std::fprintf(stderr, "scanwell: unknown option \"%s\" (try --help)\n", argv[i]);
        return 2;
    }
    bool from_environment = false;
    std::string address = varnax_server_address(&from_environment);
    SCAN_REPORT report = scan_report(address, from_environment,
                                     varnax_scan(address, varnax_secret_path(), scan_timeout_ms));
    std::fputs(report.out.c_str(), stdout);
    std::fflush(stdout);
    std::fputs(report.err.c_str(), stderr);
    return report.status;
}
