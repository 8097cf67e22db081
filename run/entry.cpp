// The entry point's steps: identity, options, the informational requests, then the session.
#include "run/entry.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "args/process-args.h"
#include "base/program-name.h"
#include "platform/process.h"
#include "run/session.h"

namespace {
constexpr const char* version_text = "(wombat)";
}

void choose_program_name(const char* argv0) {
    // Byte-exact search anywhere in the start name, directory and extension included.
    if (argv0 != nullptr && std::strstr(argv0, primary_name) != nullptr) {
        program_name = primary_name;
        plain_uart_mode = false;
    } else {
        program_name = secondary_name;
        plain_uart_mode = true;
    }
}

int terminal_main(int argc, char** argv) {
    process_open_standard_descriptors();
    choose_program_name(argc > 0 ? argv[0] : nullptr);
    if (process_args(argc, argv) != 0) {
        std::printf("%s: exiting because one or more illegal options were detected\n",
                    program_name);
        std::exit(1);
    }
    set_dump_flags(settings.dump_options);
    if (settings.show_version) {
        std::printf("%s: Version %s\n", program_name, version_text);
        std::exit(0);
    }
    if (settings.dump_flags[static_cast<unsigned char>('c')]) print_effective_command_line();
    if (settings.show_help) {
        print_usage();
        std::exit(0);
    }
    run_session();
    return 0;
}
