// The fatal-error and termination hooks, and their installation before main.
#include "run/fatal-hooks.h"

#include <cstdio>
#include <exception>

#include "platform/console.h"
#include "platform/fatal.h"
#include "platform/process.h"
#include "platform/thread.h"

namespace {

constexpr const char* recursion_text = "\n*** Internal Error: Recursive termination requested.\n";
constexpr const char* incomplete_text =
    "\n*** Fatal Error: Failed to complete termination procedures\n";
constexpr const char* terminate_text =
    "Fatal error: Program termination requested. The Ostrand software will now exit.\n";

// How deep the calling thread is inside a final handler. A fault there belongs to that
// handler's catch-all guard. Plain thread-local data: read from the fault handler.
thread_local int final_handler_depth = 0;

struct FINAL_HANDLER_SCOPE {
    FINAL_HANDLER_SCOPE() { ++final_handler_depth; }
    ~FINAL_HANDLER_SCOPE() { --final_handler_depth; }
    FINAL_HANDLER_SCOPE(const FINAL_HANDLER_SCOPE&) = delete;
    FINAL_HANDLER_SCOPE& operator=(const FINAL_HANDLER_SCOPE&) = delete;
};

// Every end of the process here: what standard output holds goes out before the line, the
// console gets its mode back, and nothing else runs.
[[noreturn]] void end_with(const char* text) {
    std::fflush(stdout);
    std::fputs(text, stderr);
    std::fflush(stderr);
    process_exit_now(2);
}

// A fault never becomes a C++ exception on this platform, so the per-thread translation of
// faults happens here: a fault inside a final handler lands in that handler's guard; any
// other fault, on any thread, goes to the filter, which reports the recursion when
// termination is already under way.
FATAL_ACTION on_fatal_signal(int code, void* details, void* context) {
    if (final_handler_depth > 0) end_with(incomplete_text);
    FATAL_SIGNAL_RECORD record{code, details, context};
    // on_unhandled_exception returns only with the decision of main_seh_callback.
    if (on_unhandled_exception(&record) == -1) return FATAL_ACTION::retry;
    console_restore_on_exit();
    return FATAL_ACTION::default_action;
}

// std::terminate with an exception in flight means an exception nothing caught, which the
// filter reports with its code; without one it is an explicit request to terminate.
void terminate_handler() {
    if (std::current_exception() != nullptr) {
        FATAL_SIGNAL_RECORD record{fatal_code_cxx_exception, nullptr, nullptr};
        on_unhandled_exception(&record);
    } else {
        on_terminate();
    }
    // A callback took over and returned: the runtime aborts next.
    console_restore_on_exit();
}

bool install_before_main() {
    install_process_hooks();
    install_thread_hooks();
    thread_set_start_hook(install_thread_hooks);
    return main_eh_enabled();
}

const bool hooks_in_place = install_before_main();

}  // namespace

void install_process_hooks() {
    if (!main_eh_enabled()) return;
    // Nothing can be reported this early; without the hooks the system's handling applies.
    fatal_install_handler(on_fatal_signal);
    std::set_terminate(terminate_handler);
}

void install_thread_hooks() {
    if (!main_eh_enabled()) return;
    main_terminate_called(false);
    fatal_prepare_thread();
    std::set_terminate(terminate_handler);
}

bool fatal_hooks_in_place() {
    return hooks_in_place;
}

int on_unhandled_exception(FATAL_SIGNAL_RECORD* record) {
    FINAL_HANDLER_SCOPE scope;
    try {
        if (main_terminate_called(true)) end_with(recursion_text);
        FATAL_FILTER_CALLBACK callback = main_seh_callback.load();
        if (callback != nullptr) return callback(record);
        std::fflush(stdout);
        int code = record != nullptr ? record->code : -1;
        std::fprintf(stderr, "Fatal error: SE %d thrown. The Ostrand software will now exit.\n",
                     code);
        std::fflush(stderr);
        process_exit_now(2);
    } catch (...) {
        end_with(incomplete_text);
    }
}

void on_terminate() {
    FINAL_HANDLER_SCOPE scope;
    try {
        if (main_terminate_called(true)) end_with(recursion_text);
        void (*callback)() = main_terminator_callback.load();
        if (callback != nullptr) {
            callback();
            return;
        }
        end_with(terminate_text);
    } catch (...) {
        end_with(incomplete_text);
    }
}
