// The program's identity: the name its messages start with and the personality it chose.
#pragma once

// The name table. program_name always points at one of the two constant texts; the entry
// point chooses it from argv[0] before anything is printed.
extern const char* const primary_name;    // "tarvik-terminal"
extern const char* const secondary_name;  // "pelk-terminal"
extern const char* program_name;          // the "%s: " prefix of the program's own messages
extern bool plain_uart_mode;              // true under secondary_name: plain JTAG UART wording
