// server/jtag/openocd-process-win32.cpp: OpenOCD as a child process on Windows. Its output is
// read by a thread of its own (an anonymous pipe cannot be waited on with the sockets), and it
// runs in a job object that ends it with the server.
#include <windows.h>

#include <mutex>
#include <thread>

#include "server/jtag/openocd-process.h"

namespace {

constexpr std::size_t kept_output = 4096;  // the tail of what OpenOCD printed

std::string system_error_text(DWORD code) {
    char text[256] = "";
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             code, 0, text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == '.')) --n;
    return n > 0 ? std::string(text, n) : "error " + std::to_string(code);
}

// One argument quoted so that the child's C runtime reads it back unchanged.
std::string quoted(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
    std::string out = "\"";
    std::size_t slashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++slashes;
            continue;
        }
        out.append(c == '"' ? 2 * slashes + 1 : slashes, '\\');
        slashes = 0;
        out += c;
    }
    out.append(2 * slashes, '\\');
    return out + "\"";
}

}  // namespace

struct OPENOCD_PROCESS {
    HANDLE process = nullptr;
    HANDLE job = nullptr;
    std::thread reader;
    std::mutex mutex;
    std::string tail;  // under mutex
};

OPENOCD_PROCESS* openocd_process_start(const std::string& program,
                                       const std::vector<std::string>& args, std::string* error) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE read_end = nullptr, write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inherit, 0)) {
        *error = "pipe: " + system_error_text(GetLastError());
        return nullptr;
    }
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    HANDLE null_in = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                 OPEN_EXISTING, 0, nullptr);
    std::string command = quoted(program);
    for (const std::string& arg : args) command += " " + quoted(arg);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = null_in;
    startup.hStdOutput = write_end;
    startup.hStdError = write_end;
    PROCESS_INFORMATION info{};
    // Its own process group: a Ctrl-C at the server's console is the server's to handle.
    BOOL started = CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE,
                                  CREATE_NEW_PROCESS_GROUP | CREATE_SUSPENDED, nullptr, nullptr,
                                  &startup, &info);
    DWORD why = GetLastError();
    CloseHandle(write_end);
    if (null_in != INVALID_HANDLE_VALUE) CloseHandle(null_in);
    if (!started) {
        CloseHandle(read_end);
        *error = "cannot start " + program + ": " + system_error_text(why);
        return nullptr;
    }
    OPENOCD_PROCESS* process = new OPENOCD_PROCESS;
    process->process = info.hProcess;
    // The job ends OpenOCD when the server ends, however it ends.
    process->job = CreateJobObjectA(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (process->job != nullptr) {
        SetInformationJobObject(process->job, JobObjectExtendedLimitInformation, &limits,
                                sizeof limits);
        AssignProcessToJobObject(process->job, info.hProcess);
    }
    ResumeThread(info.hThread);
    CloseHandle(info.hThread);
    process->reader = std::thread([process, read_end] {
        char buffer[4096];
        DWORD n = 0;
        while (ReadFile(read_end, buffer, sizeof buffer, &n, nullptr) && n > 0) {
            std::lock_guard<std::mutex> lock(process->mutex);
            process->tail.append(buffer, n);
            if (process->tail.size() > kept_output)
                process->tail.erase(0, process->tail.size() - kept_output);
        }
        CloseHandle(read_end);
    });
    return process;
}

int openocd_process_output_fd(const OPENOCD_PROCESS*) {
    return -1;  // the reader thread takes the output
}

void openocd_process_drain(OPENOCD_PROCESS*) {}

bool openocd_process_ended(OPENOCD_PROCESS* process, std::string* why) {
    if (!process) return true;
    if (WaitForSingleObject(process->process, 0) != WAIT_OBJECT_0) return false;
    DWORD status = 0;
    GetExitCodeProcess(process->process, &status);
    *why = "OpenOCD ended with status " + std::to_string(status);
    std::lock_guard<std::mutex> lock(process->mutex);
    std::string line = openocd_last_error_line(process->tail);
    if (!line.empty()) *why += ": " + line;
    return true;
}

void openocd_process_stop(OPENOCD_PROCESS* process) {
    if (!process) return;
    if (WaitForSingleObject(process->process, 0) != WAIT_OBJECT_0) {
        TerminateProcess(process->process, 1);
        WaitForSingleObject(process->process, 5000);
    }
    // Closing the job ends anything OpenOCD started too, so the pipe's write end is closed
    // everywhere and the reader sees its end.
    if (process->job != nullptr) CloseHandle(process->job);
    if (process->reader.joinable()) process->reader.join();
    CloseHandle(process->process);
    delete process;
}
