// Option scanner, option table, settings, help text and effective command line.
#include "args/process-args.h"

const char* const primary_name = "tarvik-terminal";
const char* const secondary_name = "pelk-terminal";
const char* program_name = primary_name;
bool plain_uart_mode = false;
Settings settings;
SCANNER_STATE scanner;
const OPTION longopts[] = {{nullptr, 0, nullptr, 0, 0}};

int process_args(int, char**) { return 0; }
void set_dump_flags(const std::optional<std::string>&) {}
void print_usage() {}
void print_effective_command_line() {}
int scan_option(int, char**, const char*, const OPTION*, int*) { return -1; }
void reset_command_line_state() {}
