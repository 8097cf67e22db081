// Starting and stopping the target programs the server runs, and finding its own folder.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

struct TARGET_PROGRAM {
    int pid = -1;
    // The program's standard input and output, non-blocking (on Windows both are one socket
    // bridged to the pipes).
    int to_child = -1;
    int from_child = -1;
};

// Starts argv[0] (searched in PATH) with pipes on its standard input and output; its standard
// error is the server's. The program dies with the server. False with *error when it cannot run.
bool target_program_start(const std::vector<std::string>& argv, TARGET_PROGRAM* child,
                          std::string* error);
// Ends the program (SIGTERM, then SIGKILL after grace_ms; on Windows at once) and reaps it.
void target_program_stop(int pid, int grace_ms);
// The same for several programs at once: they share the grace time.
void target_program_stop_all(const std::vector<int>& pids, int grace_ms);
// Reaps the program if it has ended, without waiting: true when it had. Only the server's own
// target programs are reaped so, never another child (an OpenOCD the server runs reaps its own).
bool target_program_reaped(int pid);
// The folder of the running executable, without a trailing slash.
std::string target_program_self_directory();

// Non-blocking transfers on a target's pipe or socket (a socket on Windows): bytes moved, 0 when it would block,
// -1 at end of stream or on failure.
long target_read(int fd, char* buffer, std::size_t size);
long target_write(int fd, const char* data, std::size_t size);
void target_close(int fd);
