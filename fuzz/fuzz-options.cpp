// libFuzzer target: option processing on arbitrary argv, split from the input at NUL bytes.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "args/process-args.h"
#include "base/program-name.h"

namespace {

std::vector<std::string> split_arguments(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> args(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            args.emplace_back();
        } else {
            args.back() += static_cast<char>(data[i]);
        }
    }
    return args;
}

// What option processing may never leave behind, whatever the command line.
void check_invariants(const std::vector<char*>& before, const std::vector<char*>& after) {
    if (after[0] != before[0]) std::abort();  // argv[0] never moves
    std::vector<char*> sorted_before(before);
    std::vector<char*> sorted_after(after);
    std::sort(sorted_before.begin(), sorted_before.end());
    std::sort(sorted_after.begin(), sorted_after.end());
    if (sorted_before != sorted_after) std::abort();  // the scanner only reorders
    if (settings.device < -1 || settings.instance < -1) std::abort();
    if (settings.quit_after_secs < 0 || settings.wait_secs < 0) std::abort();
    if (settings.target_args.size() >= before.size()) std::abort();
    if (settings.argv0_copy != before[0]) std::abort();
}

}  // namespace

// The program's texts are of no interest here: unless the command line says otherwise,
// libFuzzer sends the target's standard output and error to /dev/null and keeps its own
// reports and the sanitizers' on a copy of standard error.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static std::vector<char*> with_mask;
    for (int i = 0; i < *argc; ++i) {
        if (std::strncmp((*argv)[i], "-close_fd_mask=", 15) == 0) return 0;
    }
    static char mask[] = "-close_fd_mask=3";
    with_mask.assign(*argv, *argv + *argc);
    with_mask.push_back(mask);
    with_mask.push_back(nullptr);
    *argc += 1;
    *argv = with_mask.data();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> args = split_arguments(data, size);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    const std::vector<char*> original(argv);
    argv.push_back(nullptr);

    reset_command_line_state();
    const bool primary = std::strstr(argv[0], primary_name) != nullptr;
    program_name = primary ? primary_name : secondary_name;
    plain_uart_mode = !primary;
    const int argc = static_cast<int>(original.size());
    const int illegal = process_args(argc, argv.data());
    check_invariants(original, std::vector<char*>(argv.begin(), argv.end() - 1));
    if (illegal == 0) {
        set_dump_flags(settings.dump_options);
        print_effective_command_line();
        print_usage();
    }
    return 0;
}
