// Helpers of the end-to-end tests around the programs they start: random input for them, and
// whether one ends within a deadline.
#pragma once
#include <sys/types.h>
#include <sys/wait.h>

#include <chrono>
#include <cstddef>
#include <random>
#include <string>
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

// Random bytes up to top. Target output stops below 0xFF, so no run of them can look like an
// interrupted link.
inline std::string random_bytes(std::size_t size, unsigned seed, int top = 254) {
    std::mt19937 generator(seed);
    std::uniform_int_distribution<int> value(0, top);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(value(generator));
    return bytes;
}
