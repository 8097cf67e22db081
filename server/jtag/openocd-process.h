// server/jtag/openocd-process.h: an OpenOCD the server runs itself, as a child process.
#pragma once
#include <string>
#include <vector>

struct OPENOCD_PROCESS;  // each OS file defines it

// Starts program with args. Its standard output and error go to a pipe the caller drains with
// openocd_process_drain (the last lines explain why it ended). nullptr with *error on failure.
OPENOCD_PROCESS* openocd_process_start(const std::string& program,
                                       const std::vector<std::string>& args, std::string* error);
// The pipe to wait on for output, or -1.
int openocd_process_output_fd(const OPENOCD_PROCESS* process);
// Reads what the process printed, without waiting; keeps its last few lines.
void openocd_process_drain(OPENOCD_PROCESS* process);
// True once the process has ended; *why then says how, with its last error line.
bool openocd_process_ended(OPENOCD_PROCESS* process, std::string* why);
// Ends the process (SIGTERM, then SIGKILL after a second), reaps it and frees everything.
// Accepts nullptr.
void openocd_process_stop(OPENOCD_PROCESS* process);
// The last line of OpenOCD's output that it marked as an error (or that says it could not
// start), or else its last line; CR LF line ends are taken as LF.
std::string openocd_last_error_line(const std::string& output);
