// varnax-server: the local JTAG server with simulated boards, for demos and tests.
#include <cstdio>
#include <cstring>
#include <string>

#include "client/auth.h"
#include "client/protocol.h"
#include "server/board-config.h"
#include "server/jtag-server.h"
#include "server/process.h"

namespace {

const char* usage_text =
    "Usage: varnax-server [OPTIONS] (--config FILE | --demo)\n"
    "Simulates JTAG cables, boards and JTAG UARTs for the JTAG UART access library.\n"
    "  --config FILE          the boards to simulate (see docs/server.md)\n"
    "  --demo                 one cable, one device, one JTAG UART running varnax-demo-target\n"
    "  --listen HOST:PORT     where clients connect (default 127.0.0.1:47011; port 0: any\n"
    "                         free port); the address is printed as \"listening HOST:PORT\"\n"
    "  --allow-remote         accept clients from other machines (refused by default);\n"
    "                         they must prove the secret of --secret-file\n"
    "  --secret-file FILE     the shared secret, in a file only its owner may read\n"
    "  --secret-for-local     clients on this machine must prove the secret too\n"
    "  --no-commands          do not read fault commands from standard input\n"
    "  --protocol-version N   greet clients with another protocol version (for tests)\n"
    "  --quiet                no log lines on standard error\n"
    "  --help                 this text\n"
    "Fault commands, one per line on standard input, each answered \"ok\" or \"error: ...\":\n"
    "  unplug CABLE, plug CABLE, power-off CABLE, power-on CABLE,\n"
    "  drop CABLE DEVICE INSTANCE, interrupt CABLE DEVICE INSTANCE\n";

bool parse_number(const char* text, unsigned long high, unsigned long* value) {
    if (*text == '\0' || std::strlen(text) > 10) return false;
    unsigned long v = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return false;
        v = v * 10 + static_cast<unsigned long>(*p - '0');
    }
    if (v > high) return false;
    *value = v;
    return true;
}

bool parse_listen(const std::string& text, SERVER_OPTIONS* options) {
    std::size_t colon = text.rfind(':');
    unsigned long port = 0;
    if (colon == std::string::npos || colon == 0 ||
        !parse_number(text.c_str() + colon + 1, 65535, &port))
        return false;
    options->host = text.substr(0, colon);
    if (options->host == "localhost") options->host = "127.0.0.1";
    options->port = static_cast<std::uint16_t>(port);
    return true;
}

int fail(const std::string& why) {
    std::fprintf(stderr, "varnax-server: %s\n", why.c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    SERVER_OPTIONS options;
    std::string config_path;
    bool demo = false;
    std::string secret_path;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool has_value = i + 1 < argc;
        unsigned long n = 0;
        if (arg == "--help") {
            std::fputs(usage_text, stdout);
            return 0;
        } else if (arg == "--demo") {
            demo = true;
        } else if (arg == "--config" && has_value) {
            config_path = argv[++i];
        } else if (arg == "--listen" && has_value) {
            if (!parse_listen(argv[++i], &options))
                return fail(std::string("--listen needs HOST:PORT, not \"") + argv[i] + "\"");
        } else if (arg == "--protocol-version" && has_value) {
            if (!parse_number(argv[++i], 0xFFFFFFFFul, &n))
                return fail(std::string("--protocol-version needs a number, not \"") + argv[i] +
                            "\"");
            options.protocol_version = static_cast<std::uint32_t>(n);
        } else if (arg == "--allow-remote") {
            options.allow_remote = true;
        } else if (arg == "--secret-file" && has_value) {
            secret_path = argv[++i];
        } else if (arg == "--secret-for-local") {
            options.secret_for_local = true;
        } else if (arg == "--treat-loopback-as-remote") {
            // Not in the usage text: lets the tests reach the remote clients' path on loopback.
            options.loopback_is_remote = true;
        } else if (arg == "--no-commands") {
            options.commands = false;
        } else if (arg == "--quiet") {
            options.quiet = true;
        } else {
            return fail("unknown or incomplete option \"" + arg + "\" (try --help)");
        }
    }
    if (demo == !config_path.empty())
        return fail("give either --config FILE or --demo (try --help)");
    if (options.allow_remote && secret_path.empty())
        return fail("--allow-remote needs --secret-file FILE: clients from other machines must "
                    "prove that they know a shared secret (see docs/server.md)");
    if (options.secret_for_local && secret_path.empty())
        return fail("--secret-for-local needs --secret-file FILE");
    std::string demo_program = process_self_directory() + "/varnax-demo-target";
    BOARD_CONFIG config;
    std::string error;
    if (demo) {
        config = config_demo(demo_program);
    } else if (!config_load(config_path, demo_program, &config, &error)) {
        std::fprintf(stderr, "varnax-server: %s\n", error.c_str());
        return 1;
    }
    if (!secret_path.empty() && !auth_read_secret(secret_path, &options.secret, &error)) {
        std::fprintf(stderr, "varnax-server: %s\n", error.c_str());
        return 1;
    }
    return server_run(config, options);
}
