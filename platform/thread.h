// Threads that run on their own until the process ends.
#pragma once

// Starts routine(argument) on a new thread that nobody waits for. Returns false when the
// system cannot start it; routine is then never called.
bool thread_start_detached(void (*routine)(void*), void* argument);

// Every thread started here runs hook first, before its routine: the program's per-thread
// set-up (its fatal-error hooks) reaches threads of any part without that part knowing it.
// Set once, before the first thread starts.
void thread_set_start_hook(void (*hook)());
