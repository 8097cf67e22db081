// The option table, the settings record and option processing: from argv to SETTINGS.
#include "args/process-args.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "args/args-internal.h"
#include "base/internal-abort.h"

SETTINGS settings;

namespace {

// Codes of the options that have a long form only (131 is not used).
constexpr int code_flush = 128;
constexpr int code_persistent = 129;
constexpr int code_no_persistent = 130;
constexpr int code_no_quit_on_ctrl_d = 132;

// A --dump argument contributes at most this many characters.
constexpr std::size_t dump_argument_cap = 4095;

constexpr OPTION row(const char* name, int has_arg, int val) {
    return {name, has_arg, nullptr, val, static_cast<int>(std::char_traits<char>::length(name))};
}

}  // namespace

// Every name is compared in full, so abbreviations never match. A val below 128 is also the
// short letter; 0 marks an option told apart by its place in the table.
const OPTION longopts[] = {
    row("verbose", 0, 'v'),
    row("no-verbose", 0, 'q'),
    row("quiet", 0, 'q'),
    row("no-ihost", 0, 't'),
    row("terminal-only", 0, 't'),
    row("flush", 0, code_flush),
    row("wait", 1, 'w'),
    row("no-quit-on-ctrl-d", 0, code_no_quit_on_ctrl_d),
    row("quit-after", 1, 'o'),
    row("dump", 1, 'u'),
    row("gmon", 0, 0),
    row("no-gmon", 0, 0),
    row("version", 0, 'V'),
    row("help", 0, 'h'),
    row("hardware", 0, 'H'),
    row("persistent", 0, code_persistent),
    row("no-persistent", 0, code_no_persistent),
    row("cable", 1, 'c'),
    row("device", 1, 'd'),
    row("instance", 1, 'i'),
    row("target-args", 0, 'A'),
    {nullptr, 0, nullptr, 0, 0},
};

std::string build_shortopts(const OPTION* options) {
    int string_length = 0;
    for (int i = 0; options[i].name != nullptr; ++i) {
        const OPTION& option = options[i];
        if (option.val >= 128) continue;
        CONSISTENCY_CHECK(
            ((option.val >= 0 && std::isalpha(option.val)) || option.val == 0) &&
                option.flag == nullptr,
            "(isalpha (longopts[i].val) || longopts[i].val == 0) && !longopts[i].flag",
            abort_site::short_option_letter);
        if (option.val != 0) string_length += option.has_arg == 0 ? 1 : option.has_arg == 1 ? 2 : 3;
    }
    CONSISTENCY_CHECK(string_length >= 1, "string_length >= 1", abort_site::short_options_empty);
    std::string shortopts;
    shortopts.reserve(static_cast<std::size_t>(string_length) + 1);
    shortopts += '-';
    for (int i = 0; options[i].name != nullptr; ++i) {
        const OPTION& option = options[i];
        if (option.val == 0 || option.val >= 128) continue;
        shortopts += static_cast<char>(option.val);
        if (option.has_arg == 1) shortopts += ':';
        if (option.has_arg >= 2) shortopts += "::";
    }
    return shortopts;
}

namespace {

// Diagnostics of option arguments name the program by argv[0] exactly as it was started.
void reject(const char* argv0, const char* option, const char* why) {
    std::fprintf(stderr, "%s: invalid argument to %s: `%s' %s\n", argv0, option, scanner.optarg,
                 why);
    settings.illegal_option = 1;
}

// --device and --instance: -1 chooses automatically.
void read_index(const char* argv0, const char* option, int* target) {
    const SIGNED_READ read = convert_strtol32(scanner.optarg);
    if (*read.end != '\0') {
        reject(argv0, option, "has unrecognized characters");
    } else if (read.value < -1 || (read.value == INT32_MAX && read.overflow)) {
        reject(argv0, option, "is out of range [-1-2147483647]");
    } else {
        *target = read.value;
    }
}

// The unsigned 32-bit reading takes "-4294967295" as 1: a sign negates modulo 2^32.
void read_quit_after(const char* argv0) {
    const UNSIGNED_READ read = convert_strtoul32(scanner.optarg);
    const auto value = static_cast<std::int32_t>(read.value);
    if (*read.end != '\0') {
        reject(argv0, "--quit-after", "has unrecognized characters");
    } else if (value < 0) {
        reject(argv0, "--quit-after", "is out of range [0-2147483647]");
    } else {
        settings.quit_after_secs = value;
    }
}

// Characters after the number are ignored: "5s" waits 5 seconds.
void read_wait(const char* argv0) {
    const std::int32_t value = convert_atoi32(scanner.optarg);
    if (value > 0) {
        settings.wait_secs = value;
    } else {
        reject(argv0, "--wait", "is not a positive number");
    }
}

void append_dump_options() {
    std::size_t n = 0;
    while (n < dump_argument_cap && scanner.optarg[n] != '\0') ++n;
    if (!settings.dump_options) settings.dump_options.emplace();
    settings.dump_options->append(scanner.optarg, n);
}

// Result 0: an option told apart by its entry in the table.
void apply_table_entry(int long_index) {
    const char* name = longopts[long_index].name;
    if (std::strcmp(name, "gmon") == 0) {
        settings.write_gmon = 1;
    } else if (std::strcmp(name, "no-gmon") == 0) {
        settings.write_gmon = 0;
    } else {
        internal_abort(abort_site::unknown_table_entry);
    }
}

void apply_option(int result, int long_index, const char* argv0) {
    switch (result) {
        case '?':
            settings.illegal_option = 1;
            break;  // the scanner has said why
        case 0:
            apply_table_entry(long_index);
            break;
        case 'v':
            settings.verbose = 1;
            break;
        case 'q':
            settings.verbose = 0;
            break;
        case 't':
            settings.terminal_only = 1;
            break;
        case 'V':
            settings.show_version = 1;
            break;
        case 'h':
            settings.show_help = 1;
            break;
        case 'H':
            break;  // the only connection mode there is
        case code_flush:
            settings.flush_first = 1;
            break;
        case code_persistent:
            settings.persistent = 1;
            break;
        case code_no_persistent:
            settings.persistent = 0;
            break;
        case code_no_quit_on_ctrl_d:
            settings.quit_on_ctrl_d = 0;
            break;
        case 'c':
            settings.cable = scanner.optarg;
            break;
        case 'd':
            read_index(argv0, "--device", &settings.device);
            break;
        case 'i':
            read_index(argv0, "--instance", &settings.instance);
            break;
        case 'o':
            read_quit_after(argv0);
            break;
        case 'w':
            read_wait(argv0);
            break;
        case 'u':
            append_dump_options();
            break;
        default:
            internal_abort(abort_site::unknown_option_code);
    }
}

// Whatever scanning left behind optind: the arguments that are not options, everything after
// "--", or everything after --target-args (its own argument too while its cluster is unfinished).
void collect_target_args(int argc, char** argv) {
    if (scanner.optind >= argc) return;
    settings.target_args.assign(argv + scanner.optind, argv + argc);
    scanner.optind = argc;
}

}  // namespace

int process_args(int argc, char** argv) {
    const std::string shortopts = build_shortopts(longopts);
    const char* argv0 = argc > 0 && argv[0] != nullptr ? argv[0] : "";
    settings.argv0_copy = argv0;
    for (;;) {
        int long_index = 0;
        const int result = scan_option(argc, argv, shortopts.c_str(), longopts, &long_index);
        if (result == -1 || result == 'A') break;
        apply_option(result, long_index, argv0);
    }
    collect_target_args(argc, argv);
    return settings.illegal_option;
}

void set_dump_flags(const std::optional<std::string>& text) {
    if (!text) return;
    for (const char c : *text) settings.dump_flags[static_cast<unsigned char>(c)] = 1;
}

void reset_command_line_state() {
    settings = SETTINGS();
    scanner = SCANNER_STATE();
}
