// The program's main: everything happens in terminal_main.
#include "run/entry.h"
#include "run/fatal-hooks.h"

int main(int argc, char** argv) {
    // The hooks are in place before main runs; naming them keeps them in the program.
    static_cast<void>(fatal_hooks_in_place());
    return terminal_main(argc, argv);
}
