// One terminal session: countdown, channels, banner, relay, teardown, exit reason.
#pragma once

// The SIGINT handler: sets interrupted and installs itself again.
void on_interrupt(int signal_number);

void run_session();
