// Faults on Windows: the process's unhandled-exception filter sees every thread's faults.
#include "platform/fatal.h"

#include <windows.h>

#include <atomic>

namespace {

std::atomic<FATAL_HANDLER> installed_handler{nullptr};

// Room kept on each thread's stack for the handler when the stack has overflowed.
constexpr ULONG overflow_reserve = 64 * 1024;

LONG WINAPI on_unhandled(EXCEPTION_POINTERS* pointers) {
    FATAL_HANDLER handler = installed_handler.load();
    if (handler == nullptr) return EXCEPTION_CONTINUE_SEARCH;
    int code = -1;
    void* context = nullptr;
    if (pointers != nullptr) {
        if (pointers->ExceptionRecord != nullptr) {
            code = static_cast<int>(pointers->ExceptionRecord->ExceptionCode);
        }
        context = pointers->ContextRecord;
    }
    if (handler(code, pointers, context) == FatalAction::retry) return EXCEPTION_CONTINUE_EXECUTION;
    return EXCEPTION_CONTINUE_SEARCH;
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
