// Console mode and standard input/output on Windows.
#include "platform/console.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>

namespace {

enum : int { nothing_kept, mode_kept, mode_unreadable };

// The mode to give back, reachable from the console control handler without locks.
// saved_mode is written only while nothing is kept, so it never changes under a reader.
DWORD saved_mode = 0;
std::atomic<int> kept_state{nothing_kept};

HANDLE input_handle() {
    return GetStdHandle(STD_INPUT_HANDLE);
}

// The target's bytes reach a file or a pipe exactly as sent, and the program's own lines end
// in LF as elsewhere: both streams are in binary mode before anything is written.
const bool binary_streams = [] {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    return true;
}();

// Ctrl-Break, closing the console window, logoff and shutdown end the process: give the mode
// back first, then let the next handler (the system's) end it. Ctrl-C belongs to the session.
BOOL WINAPI on_console_event(DWORD event) {
    if (event != CTRL_C_EVENT) console_restore_on_exit();
    return FALSE;
}

void hook_console_events() {
    static std::atomic<bool> hooked{false};
    if (!hooked.exchange(true)) SetConsoleCtrlHandler(on_console_event, TRUE);
}

std::string system_text(DWORD code) {
    if (code == 0) return std::string();
    char* text = nullptr;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                  reinterpret_cast<char*>(&text), 0, nullptr);
    // The system's texts end in a line break, which stays.
    std::string result = length != 0 && text != nullptr ? std::string(text, length) : "";
    if (text != nullptr) LocalFree(text);
    return result;
}

// A read that delivered no byte: a console keeps going (a key may yield nothing), anything
// else has reached its end. Wine reports the end of a pipe this way.
bool input_has_ended(HANDLE hStdin) {
    DWORD mode;
    return GetFileType(hStdin) != FILE_TYPE_CHAR || GetConsoleMode(hStdin, &mode) == 0;
}

}  // namespace

// _isatty also says yes for other character devices such as NUL, whose mode cannot be read or
// given back: only a console counts, as only a terminal does elsewhere.
bool console_is_terminal() {
    return _isatty(0) != 0 && console_mode_readable();
}

bool console_input_open() {
    return input_handle() != INVALID_HANDLE_VALUE;
}

bool console_save_mode() {
    if (kept_state.load() == mode_kept) return true;
    DWORD mode;
    if (GetConsoleMode(input_handle(), &mode) == 0) {
        kept_state.store(mode_unreadable);
        return false;
    }
    hook_console_events();
    saved_mode = mode;
    kept_state.store(mode_kept);
    return true;
}

bool console_mode_readable() {
    DWORD mode;
    return GetConsoleMode(input_handle(), &mode) != 0;
}

bool console_enter_raw() {
    HANDLE hStdin = input_handle();
    DWORD mode;
    if (GetConsoleMode(hStdin, &mode) == 0) return false;
    // Keys come one by one without echo; processed input stays, so Ctrl-C is still a signal.
    mode &= ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT);
    return SetConsoleMode(hStdin, mode) != 0;
}

bool console_restore_mode() {
    int state = kept_state.load();
    if (state == nothing_kept) return true;
    if (state == mode_unreadable) {
        kept_state.store(nothing_kept);
        return false;
    }
    bool written = SetConsoleMode(input_handle(), saved_mode) != 0;
    kept_state.store(nothing_kept);
    return written;
}

void console_restore_on_exit() {
    if (kept_state.exchange(nothing_kept) == mode_kept) SetConsoleMode(input_handle(), saved_mode);
}

CONSOLE_READ console_read_some(char* buffer, size_t size, size_t* got, std::string* error) {
    HANDLE hStdin = input_handle();
    DWORD wanted = static_cast<DWORD>(size < 65536 ? size : 65536);
    *got = 0;
    for (;;) {
        DWORD n = 0;
        if (ReadFile(hStdin, buffer, wanted, &n, nullptr) != 0) {
            if (n > 0) {
                *got = n;
                return CONSOLE_READ::bytes;
            }
            if (input_has_ended(hStdin)) return CONSOLE_READ::ended;
            continue;
        }
        DWORD code = GetLastError();
        // Ctrl-C at the console cuts a pending read short; the key itself is the session's.
        if (code == ERROR_OPERATION_ABORTED) continue;
        // The writer of a pipe has gone, or a file has ended: the same quiet end.
        if (code == ERROR_BROKEN_PIPE || code == ERROR_HANDLE_EOF) return CONSOLE_READ::ended;
        *error = system_text(code);
        return CONSOLE_READ::failed;
    }
}

// How long a write waits for room in output that can stall before it returns 0.
constexpr DWORD full_output_wait_ms = 100;
// The most a stalled write holds back at once.
constexpr unsigned int stalled_write_limit = 64 * 1024;

namespace {

// A pipe's or a console's WriteFile blocks until the reader makes room, and nothing can cut it
// short. Such writes run on a writer thread that the caller waits for at most a while: a write
// that has not finished by then stays in flight, and the caller, which offers the same bytes
// again, gets its result once it is done.
struct STALLING_WRITER {
    HANDLE m_start = nullptr;      // set when m_bytes is to be written
    HANDLE m_done = nullptr;       // set when the write has ended
    HANDLE m_interrupt = nullptr;  // set by Ctrl-C: the caller stops waiting
    std::string m_bytes;
    DWORD m_written = 0;
    bool m_ok = false;
    bool m_in_flight = false;  // main thread only
};

STALLING_WRITER writer;
std::atomic<bool> output_can_stall{true};

DWORD WINAPI run_writer(LPVOID) {
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    for (;;) {
        WaitForSingleObject(writer.m_start, INFINITE);
        writer.m_ok = WriteFile(output, writer.m_bytes.data(),
                                static_cast<DWORD>(writer.m_bytes.size()), &writer.m_written,
                                nullptr) != 0;
        SetEvent(writer.m_done);
    }
}

// Ctrl-C ends a wait for room; the session's own handler runs next and sees the signal.
BOOL WINAPI on_ctrl_c(DWORD event) {
    if (event == CTRL_C_EVENT && writer.m_interrupt != nullptr) SetEvent(writer.m_interrupt);
    return FALSE;
}

bool start_writer() {
    writer.m_start = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    writer.m_done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    writer.m_interrupt = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (writer.m_start == nullptr || writer.m_done == nullptr || writer.m_interrupt == nullptr) {
        return false;
    }
    HANDLE thread = CreateThread(nullptr, 0, run_writer, nullptr, 0, nullptr);
    if (thread == nullptr) return false;
    CloseHandle(thread);
    SetConsoleCtrlHandler(on_ctrl_c, TRUE);
    return true;
}

int write_stalling(const char* data, unsigned int count) {
    static const bool writer_ready = start_writer();
    if (!writer_ready) return _write(1, data, count);
    if (!writer.m_in_flight) {
        writer.m_bytes.assign(data, std::min(count, stalled_write_limit));
        ResetEvent(writer.m_done);
        ResetEvent(writer.m_interrupt);
        writer.m_in_flight = true;
        SetEvent(writer.m_start);
    }
    HANDLE ends[] = {writer.m_done, writer.m_interrupt};
    if (WaitForMultipleObjects(2, ends, FALSE, full_output_wait_ms) != WAIT_OBJECT_0) return 0;
    writer.m_in_flight = false;
    return writer.m_ok ? static_cast<int>(writer.m_written) : -1;
}

}  // namespace

void console_prepare_output() {
    DWORD type = GetFileType(GetStdHandle(STD_OUTPUT_HANDLE));
    output_can_stall.store(type == FILE_TYPE_PIPE || type == FILE_TYPE_CHAR);
}

int console_write_stdout(const char* data, unsigned int count) {
    // The result must fit an int.
    unsigned int size = count > static_cast<unsigned int>(INT_MAX) ? INT_MAX : count;
    if (size == 0) return 0;
    if (output_can_stall.load()) return write_stalling(data, size);
    return _write(1, data, size);
}
