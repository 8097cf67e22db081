// CHILD_PROCESS on Windows: CreateProcess with pipes, a reader thread per output pipe, and a
// body run by a fresh copy of the test program that goes straight to it.
//
// Windows cannot fork. A body runs in the test program started again with a filter for the
// current test and PROCESS_HARNESS_BODY in its environment: the copy runs the test from its
// start with its streams on the null device, skips the children the test started before this
// one, and at this one puts the real streams in place and runs the body. The body's result
// goes back through its own pipe; then the copy ends at once with status 0.
#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "tests/support/process-harness.h"

namespace {

constexpr const char* body_variable = "PROCESS_HARNESS_BODY";

// One output pipe, drained by a thread of its own into a buffer the test takes from.
struct DRAIN {
    HANDLE m_pipe = nullptr;
    HANDLE m_thread = nullptr;
    std::string m_pending;
    bool m_ended = false;
    std::mutex* m_mutex = nullptr;
    std::condition_variable* m_arrived = nullptr;
};


DWORD WINAPI run_drain(LPVOID raw) {
    DRAIN& drain = *static_cast<DRAIN*>(raw);
    char block[65536];
    DWORD got = 0;
    // Wine ends a pipe with a read of no bytes, Windows with an error: both are the end.
    while (ReadFile(drain.m_pipe, block, sizeof block, &got, nullptr) != 0 && got > 0) {
        std::lock_guard<std::mutex> lock(*drain.m_mutex);
        drain.m_pending.append(block, got);
        drain.m_arrived->notify_all();
    }
    std::lock_guard<std::mutex> lock(*drain.m_mutex);
    drain.m_ended = true;
    drain.m_arrived->notify_all();
    return 0;
}


// Quotes one argument the way the C runtime splits a command line.
std::string quoted(const std::string& argument) {
    if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) return argument;
    std::string result = "\"";
    std::size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        result.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        result += c;
    }
    result.append(backslashes * 2, '\\');
    return result + "\"";
}

HANDLE open_null(bool for_input) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    return CreateFileA("NUL", for_input ? GENERIC_READ : GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
}

// The child's end of one standard stream (inheritable); *parent_end gets the parent's end of a
// pipe. INVALID_HANDLE_VALUE when it cannot be opened.
HANDLE open_stream(CHILD_SETUP::STREAM how, const std::string& file, DWORD std_id, bool append,
                   int descriptor, HANDLE* parent_end) {
    bool is_input = std_id == STD_INPUT_HANDLE;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    switch (how) {
        case CHILD_SETUP::STREAM::inherit: {
            HANDLE own = GetStdHandle(std_id);
            HANDLE copy = INVALID_HANDLE_VALUE;
            DuplicateHandle(GetCurrentProcess(), own, GetCurrentProcess(), &copy, 0, TRUE,
                            DUPLICATE_SAME_ACCESS);
            return copy;
        }
        case CHILD_SETUP::STREAM::descriptor: {
            HANDLE copy = INVALID_HANDLE_VALUE;
            DuplicateHandle(GetCurrentProcess(), reinterpret_cast<HANDLE>(_get_osfhandle(descriptor)),
                            GetCurrentProcess(), &copy, 0, TRUE, DUPLICATE_SAME_ACCESS);
            return copy;
        }
        case CHILD_SETUP::STREAM::pipe: {
            HANDLE read_end = nullptr;
            HANDLE write_end = nullptr;
            if (CreatePipe(&read_end, &write_end, &inherit, 1 << 16) == 0) {
                return INVALID_HANDLE_VALUE;
            }
            *parent_end = is_input ? write_end : read_end;
            SetHandleInformation(*parent_end, HANDLE_FLAG_INHERIT, 0);
            return is_input ? read_end : write_end;
        }
        case CHILD_SETUP::STREAM::null:
            return open_null(is_input);
        case CHILD_SETUP::STREAM::file:
            return CreateFileA(file.c_str(), is_input ? GENERIC_READ : GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                               is_input ? OPEN_EXISTING : (append ? OPEN_ALWAYS : CREATE_ALWAYS),
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    return INVALID_HANDLE_VALUE;
}

// The environment block of the child: the parent's, with the setup's variables on top.
std::string environment_block(const std::vector<std::pair<std::string, std::string>>& extra) {
    std::vector<std::string> entries;
    char* own = GetEnvironmentStringsA();
    for (const char* entry = own; entry != nullptr && *entry != '\0';
         entry += std::strlen(entry) + 1) {
        bool replaced = false;
        for (const auto& variable : extra) {
            replaced = replaced || _strnicmp(entry, (variable.first + "=").c_str(),
                                             variable.first.size() + 1) == 0;
        }
        if (!replaced) entries.emplace_back(entry);
    }
    if (own != nullptr) FreeEnvironmentStringsA(own);
    for (const auto& [name, value] : extra) entries.push_back(name + "=" + value);
    std::string block;
    for (const std::string& entry : entries) block += entry + '\0';
    return block + '\0';
}

// In a copy started for a body: which of the test's bodies to run, and the handles it gets.
struct BODY_ORDER {
    int m_index = -1;
    HANDLE m_streams[3] = {nullptr, nullptr, nullptr};
    HANDLE m_report = nullptr;
};

BODY_ORDER body_order() {
    BODY_ORDER order;
    const char* text = std::getenv(body_variable);
    if (text == nullptr) return order;
    unsigned long long values[5] = {};
    if (std::sscanf(text, "%d %llu %llu %llu %llu", &order.m_index, &values[0], &values[1],
                    &values[2], &values[3]) != 5) {
        order.m_index = -1;
        return order;
    }
    for (int i = 0; i < 3; ++i) order.m_streams[i] = reinterpret_cast<HANDLE>(values[i]);
    order.m_report = reinterpret_cast<HANDLE>(values[3]);
    return order;
}

// How many bodies this copy of the program has met so far.
int bodies_met = 0;

// The command that starts this test program again for the body met last, with the order for
// it in *environment; *report gets the parent's end of the pipe the result comes back on.
std::string body_command(const HANDLE streams[3], HANDLE* report, HANDLE* report_end,
                         std::vector<std::pair<std::string, std::string>>* environment) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    CreatePipe(report, report_end, &inherit, 0);
    SetHandleInformation(*report, HANDLE_FLAG_INHERIT, 0);
    char own_path[MAX_PATH];
    GetModuleFileNameA(nullptr, own_path, sizeof own_path);
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    char order[160];
    std::snprintf(order, sizeof order, "%d %llu %llu %llu %llu", bodies_met - 1,
                  reinterpret_cast<unsigned long long>(streams[0]),
                  reinterpret_cast<unsigned long long>(streams[1]),
                  reinterpret_cast<unsigned long long>(streams[2]),
                  reinterpret_cast<unsigned long long>(*report_end));
    environment->push_back({body_variable, order});
    return quoted(own_path) + " " +
           quoted(std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name());
}

// Runs the body with the real streams in place of the null device, then ends the copy.
[[noreturn]] void run_body_here(const BODY_ORDER& order, const std::function<std::string()>& body) {
    const DWORD ids[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    std::fflush(nullptr);
    for (int fd = 0; fd < 3; ++fd) {
        int opened = _open_osfhandle(reinterpret_cast<intptr_t>(order.m_streams[fd]),
                                     (fd == 0 ? _O_RDONLY : _O_WRONLY) | _O_BINARY);
        if (opened >= 0 && opened != fd) {
            _dup2(opened, fd);
            _close(opened);
        }
        SetStdHandle(ids[fd], reinterpret_cast<HANDLE>(_get_osfhandle(fd)));
    }
    std::string result = body();
    DWORD written = 0;
    for (std::size_t sent = 0; sent < result.size(); sent += written) {
        if (WriteFile(order.m_report, result.data() + sent,
                      static_cast<DWORD>(result.size() - sent), &written, nullptr) == 0) {
            break;
        }
    }
    // No at-exit handlers or stdio flushing: they belong to the test, not to the body.
    TerminateProcess(GetCurrentProcess(), 0);
    ExitProcess(0);
}

}  // namespace

struct CHILD_PROCESS::SYSTEM {
    HANDLE process = nullptr;
    HANDLE input = nullptr;  // the parent's end of standard input
    std::mutex mutex;
    std::condition_variable arrived;
    DRAIN drains[3];  // standard output, standard error, the body's report

    void start_drains() {
        for (DRAIN& drain : drains) {
            drain.m_mutex = &mutex;
            drain.m_arrived = &arrived;
            if (drain.m_pipe != nullptr) {
                drain.m_thread = CreateThread(nullptr, 0, run_drain, &drain, 0, nullptr);
            }
            if (drain.m_thread == nullptr) drain.m_ended = true;
        }
    }
};

// The constructors live beside SYSTEM, which they need complete.
CHILD_PROCESS::CHILD_PROCESS(const std::string& path, const std::vector<std::string>& arguments,
                             const CHILD_SETUP& setup) {
    start(path, arguments, nullptr, setup);
}

CHILD_PROCESS::CHILD_PROCESS(const std::function<std::string()>& body, const CHILD_SETUP& setup) {
    start("", {}, &body, setup);
}

void CHILD_PROCESS::start(const std::string& path, const std::vector<std::string>& arguments,
                          const std::function<std::string()>* body, const CHILD_SETUP& setup) {
    m_system = std::make_unique<SYSTEM>();
    SYSTEM& sys = *m_system;
    if (body != nullptr) {
        BODY_ORDER order = body_order();
        int index = bodies_met++;
        if (order.m_index == index) run_body_here(order, *body);
        if (order.m_index >= 0) return;  // an earlier body of the test: not this copy's
    }
    if (setup.terminal) {
        std::fprintf(stderr, "process-harness: no pseudo-terminal on Windows\n");
        return;
    }
    HANDLE parent_ends[3] = {nullptr, nullptr, nullptr};
    HANDLE streams[3] = {
        open_stream(setup.input, setup.input_file, STD_INPUT_HANDLE, false, setup.input_descriptor,
                    &parent_ends[0]),
        open_stream(setup.output, setup.output_file, STD_OUTPUT_HANDLE, setup.append, -1,
                    &parent_ends[1]),
        open_stream(setup.error, setup.error_file, STD_ERROR_HANDLE, setup.append, -1,
                    &parent_ends[2])};
    HANDLE report_end = nullptr;
    std::vector<std::pair<std::string, std::string>> environment = setup.environment;
    std::string command;
    HANDLE child_streams[3] = {streams[0], streams[1], streams[2]};
    if (body != nullptr) {
        command = body_command(streams, &sys.drains[2].m_pipe, &report_end, &environment);
        // The copy runs the test up to the body with its output going nowhere.
        for (int i = 0; i < 3; ++i) child_streams[i] = open_null(i == 0);
    } else {
        command = quoted(setup.argv0.value_or(path));
        for (const std::string& argument : arguments) command += " " + quoted(argument);
    }
    std::string block = environment_block(environment);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = child_streams[0];
    startup.hStdOutput = child_streams[1];
    startup.hStdError = child_streams[2];
    PROCESS_INFORMATION started{};
    // Without its own argv[0] the program is found from the command line, PATH included.
    const char* application = body == nullptr && setup.argv0.has_value() ? path.c_str() : nullptr;
    bool ok = CreateProcessA(application, command.data(), nullptr,
                             nullptr, TRUE, 0, block.data(),
                             setup.directory.empty() ? nullptr : setup.directory.c_str(),
                             &startup, &started) != 0;
    for (HANDLE handle : streams) {
        if (handle != nullptr && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    }
    if (body != nullptr) {
        for (HANDLE handle : child_streams) CloseHandle(handle);
        CloseHandle(report_end);
    }
    sys.input = parent_ends[0];
    sys.drains[0].m_pipe = parent_ends[1];
    sys.drains[1].m_pipe = parent_ends[2];
    if (!ok) {
        std::fprintf(stderr, "process-harness: cannot start %s (error %lu)\n",
                     body != nullptr ? "a child" : path.c_str(), GetLastError());
        for (DRAIN& drain : sys.drains) {
            if (drain.m_pipe != nullptr) CloseHandle(drain.m_pipe);
            drain.m_pipe = nullptr;
        }
        return;
    }
    CloseHandle(started.hThread);
    sys.process = started.hProcess;
    m_pid = static_cast<int>(started.dwProcessId);
    sys.start_drains();
}

CHILD_PROCESS::~CHILD_PROCESS() {
    if (m_pid > 0 && !m_reaped) kill_and_reap();
    if (m_system == nullptr) return;
    SYSTEM& sys = *m_system;
    if (sys.input != nullptr) CloseHandle(sys.input);
    for (DRAIN& drain : sys.drains) {
        // A grandchild may still hold the pipe: cut the reader's wait short.
        if (drain.m_thread != nullptr) {
            CancelSynchronousIo(drain.m_thread);
            WaitForSingleObject(drain.m_thread, INFINITE);
            CloseHandle(drain.m_thread);
        }
        if (drain.m_pipe != nullptr) CloseHandle(drain.m_pipe);
    }
    if (sys.process != nullptr) CloseHandle(sys.process);
}

// Windows has no signals to send: the child ends with status 128 + the signal's number.
bool CHILD_PROCESS::send_signal(int signal) {
    if (m_pid <= 0 || m_reaped) return false;
    return TerminateProcess(m_system->process, 128 + static_cast<UINT>(signal)) != 0;
}

long CHILD_PROCESS::write_some_input(const char* data, std::size_t size) {
    if (m_system == nullptr || m_system->input == nullptr) return -1;
    DWORD written = 0;
    DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 4096));
    if (WriteFile(m_system->input, data, chunk, &written, nullptr) == 0) return -1;
    return static_cast<long>(written);
}

// WriteFile on the pipe waits for room itself.
bool CHILD_PROCESS::wait_for_input_room(std::chrono::milliseconds) {
    return m_system != nullptr && m_system->input != nullptr;
}

void CHILD_PROCESS::close_input() {
    if (m_system != nullptr && m_system->input != nullptr) {
        CloseHandle(m_system->input);
        m_system->input = nullptr;
    }
}

bool CHILD_PROCESS::output_open() const {
    if (m_system == nullptr) return false;
    std::lock_guard<std::mutex> lock(m_system->mutex);
    for (const DRAIN& drain : m_system->drains) {
        if (!drain.m_ended || !drain.m_pending.empty()) return true;
    }
    return false;
}

std::size_t CHILD_PROCESS::collect(int timeout_ms, std::size_t max_out) {
    if (m_system == nullptr) return 0;
    SYSTEM& sys = *m_system;
    std::unique_lock<std::mutex> lock(sys.mutex);
    auto something = [&sys, max_out] {
        return (max_out > 0 && !sys.drains[0].m_pending.empty()) ||
               !sys.drains[1].m_pending.empty() || !sys.drains[2].m_pending.empty() ||
               (sys.drains[0].m_ended && sys.drains[1].m_ended && sys.drains[2].m_ended);
    };
    sys.arrived.wait_for(lock, std::chrono::milliseconds(timeout_ms), something);
    std::string& out = sys.drains[0].m_pending;
    std::size_t taken = std::min(max_out, out.size());
    m_out.append(out, 0, taken);
    out.erase(0, taken);
    m_err += sys.drains[1].m_pending;
    sys.drains[1].m_pending.clear();
    m_report += sys.drains[2].m_pending;
    sys.drains[2].m_pending.clear();
    return taken;
}

bool CHILD_PROCESS::reaped() {
    if (m_pid <= 0 || m_reaped) return true;
    if (WaitForSingleObject(m_system->process, 0) != WAIT_OBJECT_0) return false;
    DWORD code = 0;
    GetExitCodeProcess(m_system->process, &code);
    m_reaped = true;
    // What the child wrote last may still be on its way through a drain: give the drains a
    // moment to reach the pipes' ends (a grandchild may hold them open longer).
    for (const DRAIN& drain : m_system->drains) {
        if (drain.m_thread != nullptr) WaitForSingleObject(drain.m_thread, 1000);
    }
    m_status = exited(static_cast<int>(code));
    FILETIME created, ended, kernel, user;
    if (GetProcessTimes(m_system->process, &created, &ended, &kernel, &user) != 0) {
        auto ticks = [](const FILETIME& t) {
            return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) |
                                       t.dwLowDateTime);
        };
        m_usage.cpu_secs = (ticks(kernel) + ticks(user)) / 1e7;
    }
    return true;
}

bool CHILD_PROCESS::ends_within(std::chrono::milliseconds deadline) {
    if (m_pid <= 0) return false;
    if (m_reaped) return true;
    return WaitForSingleObject(m_system->process, static_cast<DWORD>(deadline.count())) ==
           WAIT_OBJECT_0;
}

void CHILD_PROCESS::kill_and_reap() {
    TerminateProcess(m_system->process, 1);
    WaitForSingleObject(m_system->process, INFINITE);
    m_reaped = true;
    m_status = not_ended;
}

double CHILD_PROCESS::cpu_seconds() const {
    FILETIME created, ended, kernel, user;
    if (m_system == nullptr || m_system->process == nullptr ||
        GetProcessTimes(m_system->process, &created, &ended, &kernel, &user) == 0) {
        return -1;
    }
    auto ticks = [](const FILETIME& t) {
        return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) |
                                   t.dwLowDateTime);
    };
    return (ticks(kernel) + ticks(user)) / 1e7;
}
