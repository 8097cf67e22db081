// The process-globals library: one termination mark and two callback slots per process.
#include "main-globals/zell_main_globals.h"

namespace {
std::atomic<bool> termination_begun{false};
}

ZELL_MAIN_GLOBALS_API std::atomic<FATAL_FILTER_CALLBACK> main_seh_callback{nullptr};
ZELL_MAIN_GLOBALS_API std::atomic<void (*)()> main_terminator_callback{nullptr};

bool main_eh_enabled() { return true; }

bool main_terminate_called(bool begin) {
    if (begin) return termination_begun.exchange(true);
    return termination_begun.load();
}
