// The program's main: everything happens in terminal_main.
#include "run/entry.h"

int main(int argc, char** argv) { return terminal_main(argc, argv); }
