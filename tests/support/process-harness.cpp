// CHILD_PROCESS: what does not depend on the system: the waits with deadlines, lines of
// output, and how an exit status reads.
#include "tests/support/process-harness.h"

#include <cstdio>
#include <ostream>

namespace {

using clock_type = std::chrono::steady_clock;

int ms_left(clock_type::time_point end) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - clock_type::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

constexpr std::size_t everything = static_cast<std::size_t>(-1);

}  // namespace

std::string describe(const EXIT_STATUS& status) {
    if (status.signalled) return "killed by signal " + std::to_string(status.code);
    if (status.code < 0) return "did not end";
    return "exited with " + std::to_string(status.code);
}

std::ostream& operator<<(std::ostream& out, const EXIT_STATUS& status) {
    return out << describe(status);
}

CHILD_SETUP on_terminal(std::vector<std::pair<std::string, std::string>> environment) {
    CHILD_SETUP setup;
    setup.terminal = true;
    setup.environment = std::move(environment);
    return setup;
}

bool CHILD_PROCESS::write_input(const std::string& bytes, std::chrono::milliseconds deadline) {
    auto end = clock_type::now() + deadline;
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        long n = write_some_input(bytes.data() + sent, bytes.size() - sent);
        if (n < 0) return false;
        sent += static_cast<std::size_t>(n);
        if (sent == bytes.size()) break;
        if (ms_left(end) == 0) {
            tell("writing to standard input");
            return false;
        }
        collect(10, everything);
    }
    return true;
}

std::size_t CHILD_PROCESS::read_output(std::size_t max_bytes, std::chrono::milliseconds timeout) {
    return collect(static_cast<int>(timeout.count()), max_bytes);
}

bool CHILD_PROCESS::wait_for(const std::string& text, const std::string& stream,
                             std::chrono::milliseconds deadline) {
    auto end = clock_type::now() + deadline;
    for (;;) {
        if (stream.find(text) != std::string::npos) return true;
        int left = ms_left(end);
        if (left == 0 || !output_open()) break;
        collect(left < 50 ? left : 50, everything);
    }
    tell("waiting for \"" + text + "\"");
    return false;
}

bool CHILD_PROCESS::wait_for_output(const std::string& text, std::chrono::milliseconds deadline) {
    return wait_for(text, m_out, deadline);
}

bool CHILD_PROCESS::wait_for_error(const std::string& text, std::chrono::milliseconds deadline) {
    return wait_for(text, m_err, deadline);
}

bool CHILD_PROCESS::next_line(std::string* line, std::chrono::milliseconds deadline) {
    auto end = clock_type::now() + deadline;
    for (;;) {
        std::size_t eol = m_out.find('\n', m_line_start);
        if (eol != std::string::npos) {
            *line = m_out.substr(m_line_start, eol - m_line_start);
            m_line_start = eol + 1;
            return true;
        }
        int left = ms_left(end);
        if (left == 0 || !output_open()) return false;
        collect(left < 50 ? left : 50, everything);
    }
}

void CHILD_PROCESS::clear_output() {
    m_out.clear();
    m_line_start = 0;
}

EXIT_STATUS CHILD_PROCESS::wait_exit(std::chrono::milliseconds deadline) {
    if (m_pid <= 0) return not_ended;
    auto end = clock_type::now() + deadline;
    while (!reaped()) {
        int left = ms_left(end);
        if (left == 0) {
            tell("waiting for the child to end");
            kill_and_reap();
            return not_ended;
        }
        // The output is drained meanwhile, so a child writing a lot is never stuck. Short
        // steps: benchmarks time the child up to its end.
        collect(1, everything);
    }
    // A grandchild may hold the pipes open: take what is there, but wait no longer.
    collect(0, everything);
    return m_status;
}

void CHILD_PROCESS::tell(const std::string& what) const {
    std::fprintf(stderr,
                 "process-harness: deadline passed %s; the child wrote:\n--- stdout (%zu bytes, "
                 "last 2000 shown)\n%s\n--- stderr\n%s\n---\n",
                 what.c_str(), m_out.size(),
                 m_out.substr(m_out.size() > 2000 ? m_out.size() - 2000 : 0).c_str(),
                 m_err.c_str());
}
