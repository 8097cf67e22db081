// The command line: program identity, the settings record, the option scanner and table, the help text.
#pragma once
#include <optional>
#include <string>
#include <vector>

// Process-wide settings, filled once by process_args. Texts are owned copies.
struct SETTINGS {
    int verbose = 1;
    int terminal_only = 1;
    int quit_on_ctrl_d = 1;
    int device = -1;    // -1: choose automatically
    int instance = -1;  // -1: choose automatically
    std::optional<std::string> cable;  // none: choose automatically; "" counts as set
    int flush_first = 0;
    int wait_secs = 0;  // the session counts it down in 100 ms ticks
    int quit_after_secs = 0;
    std::optional<std::string> dump_options;
    int dump_flags[256] = {};  // debug switches by unsigned byte value
    int write_gmon = 0;
    int persistent = 0;
    int show_version = 0;
    int show_help = 0;
    std::vector<std::string> target_args;
    std::string argv0_copy;
    int illegal_option = 0;
};
extern SETTINGS settings;

// Reads the whole command line into settings, reporting every bad option on standard error.
// May reorder argv[1..]. Returns settings.illegal_option.
int process_args(int argc, char** argv);
// Sets the dump_flags switch of every byte of text (none: nothing).
void set_dump_flags(const std::optional<std::string>& text);

void print_usage();
void print_effective_command_line();

// --- The option scanner, exposed for tests and the fuzzer ---

struct OPTION {
    const char* name;  // nullptr ends the table
    int has_arg;       // 0 none, 1 required, 2 optional (read as required)
    int* flag;         // nullptr: the scanner returns val
    int val;
    int name_len;  // characters of name the scanner compares
};
extern const OPTION longopts[];

struct SCANNER_STATE {
    int optind = 1;
    int opterr = 1;
    const char* optarg = nullptr;
    int optopt = 0;
    const char* nextchar = "";
};
extern SCANNER_STATE scanner;

int scan_option(int argc, char** argv, const char* shortopts, const OPTION* options,
                int* long_index);
// Puts settings and the scanner back to their start values (tests and the fuzzer run many times).
void reset_command_line_state();
