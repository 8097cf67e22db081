// A program that holds a console channel, echoes each key it reads as "[xx]" in hex, and on
// the key q leaves by the way named on its command line: destroy (the channel is deleted,
// then main returns), exit (exit() with the channel alive), abort (internal_abort), segv (a
// bad memory access), lose-input (standard input becomes /dev/null, then destroy). With
// wait, it echoes until a signal ends it. -i sets the i switch.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "args/process-args.h"
#include "comm/console-io.h"
#include "platform/timer.h"
#include "base/internal-abort.h"
#include "run/fatal-hooks.h"

namespace {

void leave(const std::string& way, COMM_CONSOLE* console) {
    if (way == "lose-input") {
        int nothing = open("/dev/null", O_RDONLY);
        dup2(nothing, 0);
    }
    if (way == "destroy" || way == "lose-input") {
        delete console;
        std::fputs("destroyed\n", stdout);
        std::exit(0);
    }
    if (way == "exit") std::exit(0);
    if (way == "abort") internal_abort(ABORT_SITE{"console-probe", 7});
    if (way == "segv") {
        // A page that allows no access: a real fault, which the sanitizers let through.
        void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        *static_cast<volatile int*>(page) = 1;
    }
}

}  // namespace

int main(int argc, char** argv) {
    static_cast<void>(fatal_hooks_in_place());
    std::string way = argc > 1 ? argv[1] : "destroy";
    if (argc > 2 && std::strcmp(argv[2], "-i") == 0) {
        settings.dump_flags[static_cast<unsigned char>('i')] = 1;
    }
    COMM_CONSOLE* console = new COMM_CONSOLE;
    // The first read starts the reader thread. "ready" comes once it runs, so a signal sent on
    // "ready" never meets a thread still being made, which ThreadSanitizer's handling of
    // signals does not survive (the probe then died of SIGSEGV once in about 30 runs).
    char block[64];
    int got = console->read(block, sizeof block);
    console->write("ready\n", 6);
    for (;; got = console->read(block, sizeof block)) {
        if (got < 0) return 1;
        if (got == 0) timer_sleep_us(5000);
        for (int i = 0; i < got; ++i) {
            char echo[8];
            int length =
                std::snprintf(echo, sizeof echo, "[%02x]", static_cast<unsigned char>(block[i]));
            console->write(echo, static_cast<unsigned int>(length));
            if (block[i] == 'q') leave(way, console);
        }
    }
}
