// Threads that run on their own until the process ends.
#pragma once

// Starts routine(argument) on a new thread that nobody waits for. Returns false when the
// system cannot start it; routine is then never called.
bool thread_start_detached(void (*routine)(void*), void* argument);
