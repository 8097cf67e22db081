// Console mode and standard input/output on POSIX terminals.
#include "platform/console.h"

void console_restore_on_exit() {}
