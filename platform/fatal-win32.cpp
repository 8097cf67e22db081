// Faults on Windows: the process's unhandled-exception filter sees every thread's faults.
#include "platform/fatal.h"

#include <windows.h>

#include <atomic>

namespace {

std::atomic<FATAL_HANDLER> installed_handler{nullptr};

// Room kept on each thread's stack for the handler when the stack has overflowed.
constexpr ULONG overflow_reserve = 64 * 1024;

LONG run_handler(FATAL_HANDLER handler, EXCEPTION_POINTERS* pointers) {
    int code = -1;
    void* context = nullptr;
    if (pointers != nullptr) {
        if (pointers->ExceptionRecord != nullptr) {
            code = static_cast<int>(pointers->ExceptionRecord->ExceptionCode);
        }
        context = pointers->ContextRecord;
    }
    if (handler(code, pointers, context) == FATAL_ACTION::retry) return EXCEPTION_CONTINUE_EXECUTION;
    return EXCEPTION_CONTINUE_SEARCH;
}

struct OVERFLOW_REPORT {
    FATAL_HANDLER m_handler;
    EXCEPTION_POINTERS* m_pointers;
    LONG m_result;
};

DWORD WINAPI report_overflow(LPVOID raw) {
    OVERFLOW_REPORT* report = static_cast<OVERFLOW_REPORT*>(raw);
    report->m_result = run_handler(report->m_handler, report->m_pointers);
    return 0;
}

LONG WINAPI on_unhandled(EXCEPTION_POINTERS* pointers) {
    FATAL_HANDLER handler = installed_handler.load();
    if (handler == nullptr) return EXCEPTION_CONTINUE_SEARCH;
    bool overflow = pointers != nullptr && pointers->ExceptionRecord != nullptr &&
                    pointers->ExceptionRecord->ExceptionCode == EXCEPTION_STACK_OVERFLOW;
    if (!overflow) return run_handler(handler, pointers);
    // The overflowed stack has too little room left for the handler's formatted output: the
    // handler runs on a fresh thread while this one waits.
    OVERFLOW_REPORT report{handler, pointers, EXCEPTION_CONTINUE_SEARCH};
    HANDLE thread = CreateThread(nullptr, 0, report_overflow, &report, 0, nullptr);
    if (thread == nullptr) return run_handler(handler, pointers);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    return report.m_result;
}

}  // namespace

bool fatal_install_handler(FATAL_HANDLER handler) {
    installed_handler.store(handler);
    // The runtime's own filter is replaced, not chained to.
    SetUnhandledExceptionFilter(on_unhandled);
    return true;
}

bool fatal_prepare_thread() {
    ULONG reserve = overflow_reserve;
    return SetThreadStackGuarantee(&reserve) != 0;
}
