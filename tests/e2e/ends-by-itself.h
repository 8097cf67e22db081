// Whether a child process ends within a deadline, seen without reaping it or reading its output.
#pragma once
#include <sys/types.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

// Whether the child has ended within the deadline, looked at without reaping it and without
// reading any of its output.
inline bool ends_by_itself(pid_t pid, std::chrono::milliseconds deadline) {
    const auto until = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        siginfo_t info{};
        if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            info.si_pid == pid) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}
