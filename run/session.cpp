// One terminal session.
#include "run/session.h"

void on_interrupt(int) {}
void run_session() {}
