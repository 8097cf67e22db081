// Target programs on Windows: CreateProcess with pipes bridged to a socket, one job object that
// ends every program with the server, and non-blocking transfers on the loop's sockets.
#include <winsock2.h>
#include <windows.h>

#include <map>

#include "server/targets/os-win32.h"
#include "server/targets/target-program.h"

namespace {

// The job of every target program. The system closes the server's handle to it when the server
// ends in any way, a crash or TerminateProcess too, and then ends every program in it.
HANDLE program_job() {
    static HANDLE job = [] {
        HANDLE made = CreateJobObjectA(nullptr, nullptr);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (made != nullptr)
            SetInformationJobObject(made, JobObjectExtendedLimitInformation, &limits,
                                    sizeof limits);
        return made;
    }();
    return job;
}

// The running programs by process id. Only the loop's thread starts and ends them.
std::map<int, HANDLE>& running() {
    static std::map<int, HANDLE> programs;
    return programs;
}

// A pipe whose one end (child_reads: the reading one) the program inherits.
bool child_pipe(bool child_reads, HANDLE* child_end, HANDLE* our_end) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE read_end = nullptr, write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inherit, 0)) return false;
    *child_end = child_reads ? read_end : write_end;
    *our_end = child_reads ? write_end : read_end;
    SetHandleInformation(*our_end, HANDLE_FLAG_INHERIT, 0);
    return true;
}

// Starts the program suspended with exactly these three handles inherited, puts it into the
// job, then lets it run: it cannot start a program of its own outside the job first.
bool create_in_job(const std::vector<std::string>& argv, HANDLE handles[3],
                   PROCESS_INFORMATION* process) {
    std::string command = os_command_line(argv);
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::string list_memory(size, '\0');
    auto list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(&list_memory[0]);
    if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) return false;
    // The list must not name a handle twice (standard error may be standard output).
    std::size_t count = handles[2] == handles[1] ? 2 : 3;
    bool ok = UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles,
                                        count * sizeof(HANDLE), nullptr, nullptr) != 0;
    STARTUPINFOEXA startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = handles[0];
    startup.StartupInfo.hStdOutput = handles[1];
    startup.StartupInfo.hStdError = handles[2];
    startup.lpAttributeList = list;
    ok = ok && CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE,
                              CREATE_SUSPENDED | EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr,
                              &startup.StartupInfo, process);
    DWORD why = GetLastError();
    DeleteProcThreadAttributeList(list);
    if (!ok) return SetLastError(why), false;
    if (program_job() == nullptr || !AssignProcessToJobObject(program_job(), process->hProcess)) {
        why = GetLastError();
        TerminateProcess(process->hProcess, 1);
        CloseHandle(process->hThread);
        CloseHandle(process->hProcess);
        return SetLastError(why), false;
    }
    ResumeThread(process->hThread);
    CloseHandle(process->hThread);
    return true;
}

}  // namespace

bool target_program_start(const std::vector<std::string>& argv, TARGET_PROGRAM* child,
                          std::string* error) {
    if (argv.empty()) return *error = "no command", false;
    HANDLE handles[3] = {nullptr, nullptr, nullptr};  // the program's input, output and error
    HANDLE to_child = nullptr, from_child = nullptr;
    HANDLE self = GetCurrentProcess();
    // Standard error is the server's own; without one, the program gets none either.
    HANDLE error_handle = GetStdHandle(STD_ERROR_HANDLE);
    bool ok = child_pipe(true, &handles[0], &to_child) && child_pipe(false, &handles[1], &from_child);
    if (ok && (error_handle == nullptr || error_handle == INVALID_HANDLE_VALUE ||
               !DuplicateHandle(self, error_handle, self, &handles[2], 0, TRUE,
                                DUPLICATE_SAME_ACCESS)))
        handles[2] = handles[1];
    PROCESS_INFORMATION process{};
    ok = ok && create_in_job(argv, handles, &process);
    DWORD why = GetLastError();
    for (HANDLE h : {handles[0], handles[1], handles[2] != handles[1] ? handles[2] : nullptr})
        if (h != nullptr) CloseHandle(h);
    int socket = -1;
    if (ok) {
        socket = os_bridge(reinterpret_cast<std::intptr_t>(from_child),
                           reinterpret_cast<std::intptr_t>(to_child), false, error);
        if (socket < 0) TerminateProcess(process.hProcess, 1), CloseHandle(process.hProcess);
    } else {
        *error = os_error_text(why);
    }
    if (socket < 0) {
        if (to_child != nullptr) CloseHandle(to_child);
        if (from_child != nullptr) CloseHandle(from_child);
        return false;
    }
    running()[int(process.dwProcessId)] = process.hProcess;
    child->pid = int(process.dwProcessId);
    child->to_child = child->from_child = socket;
    return true;
}

void target_program_stop(int pid, int grace_ms) {
    target_program_stop_all({pid}, grace_ms);
}

// A program without a window of its own has no polite way to be asked to end: it ends at once.
// Its bridge then sees its pipes close and goes too.
void target_program_stop_all(const std::vector<int>& pids, int grace_ms) {
    for (int pid : pids) {
        auto it = running().find(pid);
        if (it == running().end()) continue;
        TerminateProcess(it->second, 1);
        WaitForSingleObject(it->second, DWORD(grace_ms > 0 ? grace_ms : 1000));
        CloseHandle(it->second);
        running().erase(it);
    }
}

bool target_program_reaped(int pid) {
    auto it = running().find(pid);
    if (it == running().end() || WaitForSingleObject(it->second, 0) != WAIT_OBJECT_0) return false;
    CloseHandle(it->second);
    running().erase(it);
    return true;
}

std::string target_program_self_directory() {
    char path[MAX_PATH * 4];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    if (n == 0 || n >= sizeof path) return ".";
    std::string p(path, n);
    std::size_t slash = p.find_last_of("\\/");
    return slash == std::string::npos ? "." : p.substr(0, slash);
}

long target_read(int fd, char* buffer, std::size_t size) {
    int n = recv(SOCKET(fd), buffer, int(size), 0);
    if (n > 0) return n;
    if (n == 0) return -1;
    return WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
}

long target_write(int fd, const char* data, std::size_t size) {
    int n = send(SOCKET(fd), data, int(size), 0);
    if (n >= 0) return n;
    return WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
}

void target_close(int fd) {
    if (fd >= 0) closesocket(SOCKET(fd));
}
