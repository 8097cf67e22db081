// The help text and the effective command line, both on standard output.
#include <cstdio>

#include "args/process-args.h"
#include "base/internal-abort.h"
#include "base/program-name.h"

namespace {

// The dump switch h: show the current settings in brackets under their options.
bool show_settings() {
    return settings.dump_flags[static_cast<unsigned char>('h')] != 0;
}

void say(const char* line) {
    std::fputs(line, stdout);
}

void print_terminal_options(bool show) {
    say("Terminal Options:\n");
    say("  -V, --version              display version number\n");
    say("  -h, --help                 show this message and exit\n");
    say("  -v, --verbose              show extra information during run (default)\n");
    say("  -q, --quiet                show minimal information\n");
    if (show) {
        say(settings.verbose != 0 ? "                               (verbose output on)\n"
                                  : "                               (verbose output off)\n");
    }
    say("      --write-pid            write process ID to filename specified\n");
    say("  -w, --wait                 wait for a signal before starting\n");
    say("      --flush                empty buffers before displaying output\n");
    say("      --signal-pid           send signal to process ID when ready\n");
    say("  -o, --quit-after=SECS      quit after SECS second(s) (default is never)\n");
    CONSISTENCY_CHECK(settings.quit_after_secs >= 0, "quit_after_secs >= 0",
                      abort_site::negative_quit_after);
    if (show && settings.quit_after_secs > 0) {
        std::printf("                               (quit after %ld second(s))\n",
                    static_cast<long>(settings.quit_after_secs));
    } else if (show) {
        say("                               (never quit on timeout)\n");
    }
    say("      --no-quit-on-ctrl-d    don't quit if Ctrl-D received from target\n");
    say("  -u, --dump=OPTS            dump extra debug information for OPTS\n");
    if (show && settings.dump_options) {
        std::printf("                               (dump options %s)\n",
                    settings.dump_options->c_str());
    }
    if (!plain_uart_mode) {
        say("      --gmon                 write gmon.out file if seen from target\n");
        say("      --no-gmon              do not write gmon.out\n");
    }
    if (show) {
        say(settings.write_gmon != 0 ? "                               (write gmon.out)\n"
                                     : "                               (do not write gmon.out)\n");
    }
}

void print_connection_options(bool show) {
    say("Connection Options:\n");
    say("  -H, --hardware             connect to a hardware target (default)\n");
    if (show) say("                               (connect to a hardware target)\n");
    say("      --persistent           try to reconnect after an I/O error\n");
    say("      --no-persistent        opposite of persistent\n");
}

void print_hardware_options(bool show) {
    say("Connect to Hardware Options:\n");
    say("  -c, --cable=CABLE          use CABLE JTAG cable (default auto-detect)\n");
    if (show && !settings.cable) say("                               (auto-detect cable)\n");
    if (show && settings.cable) {
        std::printf("                               (cable: `%s')\n", settings.cable->c_str());
    }
    say("  -d, --device=DEVICE        connect to DEVICE device (default auto-detect)\n");
    if (show && settings.device > 0) {
        std::printf("                               (device: %d)\n", settings.device);
    } else if (show) {
        say("                               (auto-detect device)\n");
    }
    say("  -i, --instance=INSTANCE    connect to INSTANCE instance (default auto-detect)\n");
    if (show && settings.instance >= 0) {
        std::printf("                               (instance: %d)\n", settings.instance);
    } else if (show) {
        say("                               (auto-detect instance)\n");
    }
}

}  // namespace

void print_usage() {
    const bool show = show_settings();
    std::printf("Usage: %s [TERMINAL OPTIONS] [CONNECTION OPTIONS] [TARGET OPTIONS]\n",
                program_name);
    say(plain_uart_mode ? "Connect to a JTAG UART.\n"
                        : "Connect to a board running or a simulation of a Tarvik Processor.\n");
    if (show) say("                               (with current settings in brackets)\n");
    say("\n");
    print_terminal_options(show);
    say("\n");
    print_connection_options(show);
    say("\n");
    print_hardware_options(show);
    say("\n");
    say("\n");
}

// The settings the run will use, in option form. Texts are quoted as they are, unescaped.
void print_effective_command_line() {
    CONSISTENCY_CHECK(!settings.illegal_option, "!illegal_option",
                      abort_site::command_line_after_error);
    std::printf("Effective command line to %s: \n", program_name);
    std::printf("  %s", settings.argv0_copy.c_str());
    if (settings.show_help) say(" --help");
    say(settings.verbose != 0 ? " --verbose" : " --quiet");
    if (settings.write_gmon != 0) say(" --gmon");
    if (settings.quit_after_secs > 0) {
        std::printf(" --quit-after %ld", static_cast<long>(settings.quit_after_secs));
    }
    say(" --hardware");
    if (settings.cable) std::printf(" --cable='%s'", settings.cable->c_str());
    if (settings.device > 0) std::printf(" --device=%d", settings.device);
    if (settings.instance >= 0) std::printf(" --instance=%d", settings.instance);
    if (!settings.target_args.empty()) {
        say(" --");
        for (const std::string& text : settings.target_args) std::printf(" '%s'", text.c_str());
    }
    say("\n\n");
}
