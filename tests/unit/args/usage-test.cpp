// The help text's bracketed lines and the effective command line.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "args/process-args.h"
#include "base/program-name.h"
#include "tests/unit/args/args-fixture.h"

namespace {

// Processes the arguments as program entry does and returns what print() writes.
template <typename PRINT>
std::string printed_for(const std::vector<std::string>& options, PRINT print) {
    ARGS args(options);
    EXPECT_EQ(process_args(args.argc(), args.argv()), 0);
    set_dump_flags(settings.dump_options);
    ::testing::internal::CaptureStdout();
    print();
    return ::testing::internal::GetCapturedStdout();
}

// The bracketed lines of the help text, without their 31 leading spaces.
std::vector<std::string> bracketed_lines(const std::string& help) {
    const std::string indent(31, ' ');
    std::vector<std::string> lines;
    std::istringstream in(help);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(indent + "(", 0) == 0) lines.push_back(line.substr(31));
    }
    return lines;
}

struct USAGE_CASE {
    bool plain;
    std::vector<std::string> args;
    std::vector<std::string> brackets;
};

const USAGE_CASE usage_cases[] = {
    {false, {"--help"}, {}},
    {false,
     {"--dump=h", "--quiet", "--quit-after=5", "--device=0"},
     {"(with current settings in brackets)", "(verbose output off)", "(quit after 5 second(s))",
      "(dump options h)", "(do not write gmon.out)", "(connect to a hardware target)",
      "(auto-detect cable)", "(auto-detect device)", "(auto-detect instance)"}},
    {true,
     {"-uh", "--gmon", "--cable=usb 2", "-d", "3", "-i", "0", "-u", "xy"},
     {"(with current settings in brackets)", "(verbose output on)", "(never quit on timeout)",
      "(dump options hxy)", "(write gmon.out)", "(connect to a hardware target)",
      "(cable: `usb 2')", "(device: 3)", "(instance: 0)"}},
};

struct EFFECTIVE_CASE {
    std::vector<std::string> args;
    std::string line;  // the second line, without "  prog"
};

const EFFECTIVE_CASE effective_cases[] = {
    {{"--dump=c"}, " --verbose --hardware"},
    {{"-uc", "--help", "--flush", "--wait=3", "--persistent", "--no-quit-on-ctrl-d", "-t"},
     " --help --verbose --hardware"},
    {{"-uc", "-q", "--gmon", "--quit-after=7", "--cable=usb 1", "--device=0", "--instance=0"},
     " --quiet --gmon --quit-after 7 --hardware --cable='usb 1' --instance=0"},
    {{"-uc", "--cable=", "--device=2", "--instance=-1"},
     " --verbose --hardware --cable='' --device=2"},
    {{"-uc", "a", "b c", "--", "-v", "it's"}, " --verbose --hardware -- 'a' 'b c' '-v' 'it's'"},
};

}  // namespace

using Usage = CommandLine;

TEST_F(Usage, ShowsTheCurrentSettingsInBracketsUnderSwitchH) {
    for (const USAGE_CASE& c : usage_cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        reset();
        plain_uart_mode = c.plain;
        EXPECT_EQ(bracketed_lines(printed_for(c.args, print_usage)), c.brackets);
    }
}

TEST_F(Usage, LeavesOutTheDumpLineWhenNoDumpOptionsWereGiven) {
    settings.dump_flags[static_cast<unsigned char>('h')] = 1;
    ::testing::internal::CaptureStdout();
    print_usage();
    const std::vector<std::string> lines =
        bracketed_lines(::testing::internal::GetCapturedStdout());
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[3], "(do not write gmon.out)");
}

TEST_F(Usage, PrintsTheEffectiveCommandLine) {
    for (const EFFECTIVE_CASE& c : effective_cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        reset();
        program_name = secondary_name;
        EXPECT_EQ(printed_for(c.args, print_effective_command_line),
                  "Effective command line to pelk-terminal: \n  prog" + c.line + "\n\n");
    }
}

using UsageDeathTest = CommandLine;

TEST_F(UsageDeathTest, StopsOnSettingsThatOptionProcessingCannotLeave) {
    settings.quit_after_secs = -1;
    EXPECT_DEATH(print_usage(),
                 "Assertion failed: quit_after_secs >= 0, file process-args, line 49");
    settings.quit_after_secs = 0;
    settings.illegal_option = 1;
    EXPECT_DEATH(print_effective_command_line(),
                 "Assertion failed: !illegal_option, file process-args, line 220");
}
