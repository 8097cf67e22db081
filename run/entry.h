// The program's entry point, callable from tests.
#pragma once

// Sets program_name and plain_uart_mode from argv[0] (which may be null or empty).
void choose_program_name(const char* argv0);

// Runs the program as main does; returns its exit status (the early ends call exit()).
int terminal_main(int argc, char** argv);
