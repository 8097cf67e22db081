// Detached threads on Windows.
#include "platform/thread.h"

#include <windows.h>

#include <atomic>
#include <new>

namespace {

std::atomic<void (*)()> start_hook{nullptr};

struct THREAD_START {
    void (*m_routine)(void*);
    void* m_argument;
};

DWORD WINAPI run_thread(LPVOID raw) {
    THREAD_START start = *static_cast<THREAD_START*>(raw);
    delete static_cast<THREAD_START*>(raw);
    if (void (*hook)() = start_hook.load()) hook();
    start.m_routine(start.m_argument);
    return 0;
}

}  // namespace

bool thread_start_detached(void (*routine)(void*), void* argument) {
    THREAD_START* start = new (std::nothrow) THREAD_START{routine, argument};
    if (start == nullptr) return false;
    HANDLE thread = CreateThread(nullptr, 0, run_thread, start, 0, nullptr);
    if (thread == nullptr) {
        delete start;
        return false;
    }
    // Nobody waits for it: the thread runs on without its handle.
    CloseHandle(thread);
    return true;
}

void thread_set_start_hook(void (*hook)()) {
    start_hook.store(hook);
}
