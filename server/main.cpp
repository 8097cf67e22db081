// varnax-server: the local JTAG server with simulated boards, for demos and tests.
#include <cstdio>
#include <cstring>
#include <string>

#include "server/board-config.h"
#include "server/jtag-server.h"
#include "server/targets/target-program.h"
#include "text/text.h"
#include "wire/auth.h"
#include "wire/protocol.h"

namespace {

const char* usage_text =
    "Usage: varnax-server [OPTIONS] (--config FILE | --demo)\n"
    "       varnax-server --new-secret FILE\n"
    "Simulates JTAG cables, boards and JTAG UARTs for the JTAG UART access library.\n"
    "  --config FILE          the boards to simulate (see docs/server.md)\n"
    "  --demo                 one cable, one device, one JTAG UART running varnax-demo-target\n"
    "  --listen HOST:PORT     where clients connect (default 127.0.0.1:47011; port 0: any\n"
    "                         free port); the address is printed as \"listening HOST:PORT\"\n"
    "  --allow-remote         accept clients from other machines (refused by default);\n"
    "                         they must prove the secret of --secret-file\n"
    "  --secret-file FILE     the shared secret, in a file only its owner may read\n"
    "  --secret-for-local     clients on this machine must prove the secret too\n"
    "  --new-secret FILE      write a new random secret to FILE, readable only by you, and\n"
    "                         exit (an existing FILE is left alone)\n"
    "  --no-commands          do not read fault commands from standard input\n"
    "  --stop-when-unused     stop once a client has come and every client has gone\n"
    "  --protocol-version N   greet clients with another protocol version (for tests)\n"
    "  --quiet                no log lines on standard error\n"
    "  --version              the version of the server and of its protocol\n"
    "  --help                 this text\n"
    "An option's value may also follow an equals sign: --listen=127.0.0.1:0.\n"
    "Fault commands, one per line on standard input, each answered \"ok\" or \"error: ...\":\n"
    "  unplug CABLE, plug CABLE, power-off CABLE, power-on CABLE,\n"
    "  drop CABLE DEVICE INSTANCE, interrupt CABLE DEVICE INSTANCE\n"
    "They are read only while the server is not a background job of the terminal it was\n"
    "started from: 'varnax-server --demo &' serves at once and takes commands after 'fg'.\n";

// What the command line asks for.
struct COMMAND_LINE {
    SERVER_OPTIONS options;
    std::string config_path;
    std::string secret_path;
    std::string new_secret_path;
    bool demo = false;
    bool help = false;
    bool version = false;
};

bool take_listen(const std::string& text, COMMAND_LINE* line, std::string* why) {
    HOST_PORT address;
    HOST_PORT_FAULT fault = text_host_port(text, 0, &address);
    // A host that is not a name or an address is the listening socket's to refuse, with the
    // resolver's reason.
    if (fault == HOST_PORT_FAULT::needs_brackets)
        return *why = "--listen needs an IPv6 address in brackets ([::1]:PORT), not \"" + text +
                      "\"",
               false;
    if (fault == HOST_PORT_FAULT::port_not_number)
        return *why = "--listen needs a port number without leading zeros, not \"" + text + "\"",
               false;
    if (fault != HOST_PORT_FAULT::none && fault != HOST_PORT_FAULT::bad_host)
        return *why = "--listen needs HOST:PORT, not \"" + text + "\"", false;
    line->options.host = address.host;
    line->options.port = address.port;
    return true;
}

bool take_protocol_version(const std::string& text, COMMAND_LINE* line, std::string* why) {
    std::uint64_t n = 0;
    if (!text_decimal(text, 0, 0xFFFFFFFFu, &n))
        return *why = "--protocol-version needs a number, not \"" + text + "\"", false;
    line->options.protocol_version = static_cast<std::uint32_t>(n);
    return true;
}

// One row per option: its name, what its value is (null: it takes none), what it sets.
struct OPTION_ROW {
    const char* name;
    const char* value;
    bool (*take)(const std::string& value, COMMAND_LINE* line, std::string* why);
};

const OPTION_ROW option_rows[] = {
    {"--config", "FILE",
     [](const std::string& v, COMMAND_LINE* c, std::string*) { return c->config_path = v, true; }},
    {"--demo", nullptr,
     [](const std::string&, COMMAND_LINE* c, std::string*) { return c->demo = true, true; }},
    {"--listen", "HOST:PORT", take_listen},
    {"--allow-remote", nullptr,
     [](const std::string&, COMMAND_LINE* c, std::string*) {
         return c->options.allow_remote = true, true;
     }},
    {"--secret-file", "FILE",
     [](const std::string& v, COMMAND_LINE* c, std::string*) { return c->secret_path = v, true; }},
    {"--new-secret", "FILE",
     [](const std::string& v, COMMAND_LINE* c, std::string*) {
         return c->new_secret_path = v, true;
     }},
    {"--secret-for-local", nullptr,
     [](const std::string&, COMMAND_LINE* c, std::string*) {
         return c->options.secret_for_local = true, true;
     }},
    // Not in the usage text: lets the tests reach the remote clients' path on loopback.
    {"--treat-loopback-as-remote", nullptr,
     [](const std::string&, COMMAND_LINE* c, std::string*) {
         return c->options.loopback_is_remote = true, true;
     }},
    {"--no-commands", nullptr,
     [](const std::string&, COMMAND_LINE* c, std::string*) {
         return c->options.commands = false, true;
     }},
    {"--stop-when-unused", nullptr,
     [](const std::string&, COMMAND_LINE* c, std::string*) {
         return c->options.stop_when_unused = true, true;
     }},
    {"--protocol-version", "N", take_protocol_version},
    {"--quiet", nullptr,
     [](const std::string&, COMMAND_LINE* c, std::string*) {
         return c->options.quiet = true, true;
     }},
    {"--version", nullptr,
     [](const std::string&, COMMAND_LINE* c, std::string*) { return c->version = true, true; }},
    {"--help", nullptr,
     [](const std::string&, COMMAND_LINE* c, std::string*) { return c->help = true, true; }},
};

// Takes "--name VALUE" and "--name=VALUE" alike. An option where a value belongs is a
// missing value, not the value.
bool scan_options(int argc, char** argv, COMMAND_LINE* line, std::string* why) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::size_t eq = arg.rfind("--", 0) == 0 ? arg.find('=') : std::string::npos;
        std::string name = arg.substr(0, eq);
        const OPTION_ROW* row = nullptr;
        for (const OPTION_ROW& r : option_rows)
            if (name == r.name) row = &r;
        if (row == nullptr) {
            *why = (arg.rfind("--", 0) == 0 ? "unknown option \"" : "unexpected argument \"") +
                   name + "\" (try --help)";
            return false;
        }
        std::string value;
        if (row->value == nullptr && eq != std::string::npos)
            return *why = name + " takes no value (try --help)", false;
        if (eq != std::string::npos)
            value = arg.substr(eq + 1);
        else if (row->value != nullptr && i + 1 < argc && std::strncmp(argv[i + 1], "--", 2) != 0)
            value = argv[++i];
        if (row->value != nullptr && value.empty())
            return *why = name + " needs a value: " + row->value + " (try --help)", false;
        if (!row->take(value, line, why)) return false;
    }
    return true;
}

int fail(const std::string& why) {
    std::fprintf(stderr, "varnax-server: %s\n", why.c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    COMMAND_LINE line;
    std::string why;
    if (!scan_options(argc, argv, &line, &why)) return fail(why);
    if (line.version) {
        std::printf("varnax-server: Version %s, protocol version %u\n", VARNAX_SERVER_VERSION,
                    unsigned(varnax::protocol_version));
        return 0;
    }
    if (line.help) {
        std::fputs(usage_text, stdout);
        return 0;
    }
    if (!line.new_secret_path.empty()) {
        if (!auth_new_secret_file(line.new_secret_path, &why)) {
            std::fprintf(stderr, "varnax-server: %s\n", why.c_str());
            return 1;
        }
        std::printf("a new secret is in %s\n", line.new_secret_path.c_str());
        return 0;
    }
    if (line.demo == !line.config_path.empty())
        return fail("give either --config FILE or --demo (try --help)");
    if (line.options.allow_remote && line.secret_path.empty())
        return fail(
            "--allow-remote needs --secret-file FILE: clients from other machines must "
            "prove that they know a shared secret (see docs/server.md)");
    if (line.options.secret_for_local && line.secret_path.empty())
        return fail("--secret-for-local needs --secret-file FILE");
    std::string demo_program = target_program_self_directory() + "/varnax-demo-target";
    BOARD_CONFIG config;
    if (line.demo) {
        config = config_demo(demo_program);
    } else if (!config_load(line.config_path, demo_program, &config, &why)) {
        std::fprintf(stderr, "varnax-server: %s\n", why.c_str());
        return 1;
    }
    if (!line.secret_path.empty() &&
        !auth_read_secret(line.secret_path, &line.options.secret, &why)) {
        std::fprintf(stderr, "varnax-server: %s\n", why.c_str());
        return 1;
    }
    return server_run(config, line.options);
}
