// The option scanner: clusters, full long names, "--", and non-options moved behind the options.
#include <cstdio>
#include <cstring>

#include "args/process-args.h"

SCANNER_STATE scanner;

namespace {

// A short-option string that begins with ":" asks for silent reporting. The system's own
// string begins with "-", so its reporting is never silent.
bool is_silent(const char* shortopts) {
    return shortopts[0] == ':';
}

bool reports(const char* shortopts) {
    return scanner.opterr != 0 && !is_silent(shortopts);
}

// The entry of c in shortopts, or nullptr. The leading "-" and the ":" marks are no options.
const char* find_short_option(const char* shortopts, char c) {
    if (c == '-' || c == ':' || c == '\0') return nullptr;
    return std::strchr(shortopts, c);
}

// Moves the first argument behind optind that begins with "-" to optind; the arguments it
// passes move one place up, keeping their order. Only the option itself moves: a detached
// argument that belonged to it stays where it was. False when no such argument is left.
bool bring_next_option_forward(int argc, char** argv) {
    for (int j = scanner.optind + 1; j < argc; ++j) {
        if (argv[j][0] != '-') continue;
        char* option = argv[j];
        for (int k = j; k > scanner.optind; --k) argv[k] = argv[k - 1];
        argv[scanner.optind] = option;
        return true;
    }
    return false;
}

// The index of the entry whose whole compared name equals the first n characters of text.
int find_long_option(const OPTION* options, const char* text, std::size_t n) {
    for (int i = 0; options[i].name != nullptr; ++i) {
        const OPTION& option = options[i];
        if (option.name_len >= 0 && static_cast<std::size_t>(option.name_len) == n &&
            std::strncmp(option.name, text, n) == 0) {
            return i;
        }
    }
    return -1;
}

// argv[optind] is "--" followed by at least one character.
int scan_long_option(int argc, char** argv, const char* shortopts, const OPTION* options,
                     int* long_index) {
    const char* text = argv[scanner.optind] + 2;
    const char* equals = std::strchr(text, '=');
    const std::size_t n =
        equals != nullptr ? static_cast<std::size_t>(equals - text) : std::strlen(text);
    const int index = find_long_option(options, text, n);
    if (index < 0) {
        if (reports(shortopts)) std::fprintf(stderr, "%s: invalid option -- %s\n", argv[0], text);
        scanner.optind += 1;
        return '?';
    }
    const OPTION& option = options[index];
    if (option.has_arg != 0) {
        if (equals != nullptr) {
            scanner.optarg = equals + 1;
        } else if (scanner.optind + 1 < argc) {
            scanner.optind += 1;
            scanner.optarg = argv[scanner.optind];  // taken whatever it holds, even "-..."
        } else {
            scanner.optind += 1;
            if (is_silent(shortopts)) return ':';
            if (scanner.opterr != 0) {
                std::fprintf(stderr, "%s: option requires an argument -- %s\n", argv[0], text);
            }
            return '?';
        }
    }
    scanner.optind += 1;
    if (long_index != nullptr) *long_index = index;
    if (option.flag == nullptr) return option.val;
    *option.flag = option.val;
    return 0;
}

// The next character of the cluster at nextchar.
int scan_cluster(int argc, char** argv, const char* shortopts) {
    const char c = *scanner.nextchar++;
    scanner.optopt = static_cast<unsigned char>(c);
    const bool cluster_done = *scanner.nextchar == '\0';
    const char* entry = find_short_option(shortopts, c);
    if (entry == nullptr) {
        if (cluster_done) scanner.optind += 1;
        if (reports(shortopts)) std::fprintf(stderr, "%s: invalid option -- %c\n", argv[0], c);
        return '?';
    }
    if (entry[1] != ':') {
        if (cluster_done) scanner.optind += 1;
        return static_cast<unsigned char>(c);
    }
    if (!cluster_done) {
        scanner.optarg = scanner.nextchar;  // -d7 and -d=7: the rest of the cluster
        scanner.nextchar = "";
        scanner.optind += 1;
        return static_cast<unsigned char>(c);
    }
    scanner.optind += 1;
    if (scanner.optind < argc) {
        scanner.optarg = argv[scanner.optind];
        scanner.optind += 1;
        return static_cast<unsigned char>(c);
    }
    if (is_silent(shortopts)) return ':';
    if (scanner.opterr != 0) {
        std::fprintf(stderr, "%s: option requires an argument -- %c\n", argv[0], c);
    }
    return '?';
}

// "-" alone holds no option character; it is reported as an invalid option named "-".
int scan_lone_dash(char** argv, const char* shortopts) {
    scanner.optopt = '-';
    scanner.optind += 1;
    if (reports(shortopts)) std::fprintf(stderr, "%s: invalid option -- -\n", argv[0]);
    return '?';
}

}  // namespace

int scan_option(int argc, char** argv, const char* shortopts, const OPTION* options,
                int* long_index) {
    scanner.optarg = nullptr;
    if (*scanner.nextchar != '\0') return scan_cluster(argc, argv, shortopts);
    if (scanner.optind >= argc) return -1;
    if (argv[scanner.optind][0] != '-' && !bring_next_option_forward(argc, argv)) return -1;
    const char* argument = argv[scanner.optind];
    if (argument[1] == '\0') return scan_lone_dash(argv, shortopts);
    if (argument[1] != '-') {
        scanner.nextchar = argument + 1;
        return scan_cluster(argc, argv, shortopts);
    }
    if (argument[2] == '\0') {
        scanner.optind += 1;
        return -1;
    }
    return scan_long_option(argc, argv, shortopts, options, long_index);
}
