// Detached threads on POSIX.
#include "platform/thread.h"

#include <pthread.h>

#include <atomic>
#include <new>

namespace {

std::atomic<void (*)()> start_hook{nullptr};

struct THREAD_START {
    void (*m_routine)(void*);
    void* m_argument;
};

void* run_thread(void* raw) {
    THREAD_START start = *static_cast<THREAD_START*>(raw);
    delete static_cast<THREAD_START*>(raw);
    if (void (*hook)() = start_hook.load()) hook();
    start.m_routine(start.m_argument);
    return nullptr;
}

}  // namespace

bool thread_start_detached(void (*routine)(void*), void* argument) {
    THREAD_START* start = new (std::nothrow) THREAD_START{routine, argument};
    if (start == nullptr) return false;
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) {
        delete start;
        return false;
    }
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    int failed = pthread_create(&thread, &attributes, run_thread, start);
    pthread_attr_destroy(&attributes);
    if (failed != 0) {
        delete start;
        return false;
    }
    return true;
}

void thread_set_start_hook(void (*hook)()) {
    start_hook.store(hook);
}
