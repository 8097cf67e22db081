// The program's identity, set by the entry point before anything is printed.
#include "base/program-name.h"

const char* const primary_name = "tarvik-terminal";
const char* const secondary_name = "pelk-terminal";
const char* program_name = primary_name;
bool plain_uart_mode = false;
