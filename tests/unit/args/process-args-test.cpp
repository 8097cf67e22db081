// Option processing: settings per command line, argument checks and their messages, --dump.
#include "args/process-args.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "args/args-internal.h"
#include "tests/unit/args/args-fixture.h"

namespace {

// The fields that differ from their start values, in a fixed order (argv0_copy left out).
std::string changed_settings() {
    const SETTINGS d;
    const SETTINGS& s = settings;
    std::string out;
    auto add = [&out](const std::string& item) { out += (out.empty() ? "" : " ") + item; };
    auto field = [&add](const char* name, int value, int start) {
        if (value != start) add(std::string(name) + "=" + std::to_string(value));
    };
    field("verbose", s.verbose, d.verbose);
    field("terminal_only", s.terminal_only, d.terminal_only);
    field("quit_on_ctrl_d", s.quit_on_ctrl_d, d.quit_on_ctrl_d);
    field("device", s.device, d.device);
    field("instance", s.instance, d.instance);
    if (s.cable) add("cable='" + *s.cable + "'");
    field("flush_first", s.flush_first, d.flush_first);
    field("wait_secs", s.wait_secs, d.wait_secs);
    field("quit_after_secs", s.quit_after_secs, d.quit_after_secs);
    if (s.dump_options) add("dump_options='" + *s.dump_options + "'");
    field("write_gmon", s.write_gmon, d.write_gmon);
    field("persistent", s.persistent, d.persistent);
    field("show_version", s.show_version, d.show_version);
    field("show_help", s.show_help, d.show_help);
    if (!s.target_args.empty()) add("target_args=" + ::testing::PrintToString(s.target_args));
    field("illegal_option", s.illegal_option, d.illegal_option);
    return out;
}

struct SETTINGS_CASE {
    std::vector<std::string> args;
    std::string changed;
};

const SETTINGS_CASE settings_cases[] = {
    {{}, ""},
    {{"--quiet"}, "verbose=0"},
    {{"-v", "--no-verbose"}, "verbose=0"},
    {{"--quiet", "--verbose"}, ""},
    {{"-qv"}, ""},
    {{"--gmon"}, "write_gmon=1"},
    {{"--gmon", "--no-gmon"}, ""},
    {{"--no-persistent", "--persistent"}, "persistent=1"},
    {{"--persistent", "--no-persistent"}, ""},
    {{"--cable=a", "-c", "b"}, "cable='b'"},
    {{"--cable="}, "cable=''"},
    {{"--flush", "--no-quit-on-ctrl-d"}, "quit_on_ctrl_d=0 flush_first=1"},
    {{"-t", "--no-ihost", "--terminal-only", "-H", "--hardware"}, ""},
    {{"-V"}, "show_version=1"},
    {{"--help"}, "show_help=1"},
    {{"--dump=c", "-u", "h"}, "dump_options='ch'"},
    {{"--dump="}, "dump_options=''"},
    {{"-d", "7", "-q", "x", "y"}, "verbose=0 device=7 target_args={ \"x\", \"y\" }"},
    {{"x", "-i3", "y", "--wait=4"}, "instance=3 wait_secs=4 target_args={ \"x\", \"y\" }"},
    // The moved option takes the argument that stood before it.
    {{"x", "--wait", "4"}, "target_args={ \"4\" } illegal_option=1"},
    {{"--target-args", "-v", "--help"}, "target_args={ \"-v\", \"--help\" }"},
    {{"-q", "-A", "-v"}, "verbose=0 target_args={ \"-v\" }"},
    {{"-Av", "x"}, "target_args={ \"-Av\", \"x\" }"},
    {{"a", "--", "-v"}, "target_args={ \"a\", \"-v\" }"},
    {{"--write-pid", "--signal-pid"}, "illegal_option=1"},
    {{"-d"}, "illegal_option=1"},
    {{"--device=5x", "--quiet"}, "verbose=0 illegal_option=1"},
    {{"--device=3", "--device=-2"}, "device=3 illegal_option=1"},
};

struct NUMBER_CASE {
    std::vector<std::string> args;
    int SETTINGS::*field;
    int value;            // of the field afterwards
    std::string problem;  // the message's ending, empty when the argument is accepted
};

const char* const unrecognized = "has unrecognized characters";
const char* const index_range = "is out of range [-1-2147483647]";
const char* const seconds_range = "is out of range [0-2147483647]";
const char* const not_positive = "is not a positive number";

const NUMBER_CASE number_cases[] = {
    {{"--device=-1"}, &SETTINGS::device, -1, ""},
    {{"--device=0"}, &SETTINGS::device, 0, ""},
    {{"--device="}, &SETTINGS::device, 0, ""},
    {{"-d", "2147483647"}, &SETTINGS::device, 2147483647, ""},
    {{"--device= \t+12"}, &SETTINGS::device, 12, ""},
    {{"--device=-2"}, &SETTINGS::device, -1, index_range},
    {{"--device=-2147483648"}, &SETTINGS::device, -1, index_range},
    {{"--device=-2147483649"}, &SETTINGS::device, -1, index_range},
    {{"--device=2147483648"}, &SETTINGS::device, -1, index_range},
    {{"--device=99999999999999999999999"}, &SETTINGS::device, -1, index_range},
    {{"--device=5x"}, &SETTINGS::device, -1, unrecognized},
    {{"--device=7 "}, &SETTINGS::device, -1, unrecognized},
    {{"--device= "}, &SETTINGS::device, -1, unrecognized},
    {{"--device=-"}, &SETTINGS::device, -1, unrecognized},
    {{"--device=0x10"}, &SETTINGS::device, -1, unrecognized},
    {{"--device=99999999999x"}, &SETTINGS::device, -1, unrecognized},
    {{"-i", "-1"}, &SETTINGS::instance, -1, ""},
    {{"-i2147483647"}, &SETTINGS::instance, 2147483647, ""},
    {{"--instance=-2"}, &SETTINGS::instance, -1, index_range},
    {{"--instance=2147483648"}, &SETTINGS::instance, -1, index_range},
    {{"--instance=1.5"}, &SETTINGS::instance, -1, unrecognized},
    {{"--quit-after=0"}, &SETTINGS::quit_after_secs, 0, ""},
    {{"--quit-after="}, &SETTINGS::quit_after_secs, 0, ""},
    {{"--quit-after=-0"}, &SETTINGS::quit_after_secs, 0, ""},
    {{"-o", "2147483647"}, &SETTINGS::quit_after_secs, 2147483647, ""},
    {{"--quit-after= +5"}, &SETTINGS::quit_after_secs, 5, ""},
    {{"--quit-after=-4294967295"}, &SETTINGS::quit_after_secs, 1, ""},
    {{"--quit-after=-4294967294"}, &SETTINGS::quit_after_secs, 2, ""},
    {{"--quit-after=-2147483649"}, &SETTINGS::quit_after_secs, 2147483647, ""},
    {{"--quit-after=-1"}, &SETTINGS::quit_after_secs, 0, seconds_range},
    {{"--quit-after=2147483648"}, &SETTINGS::quit_after_secs, 0, seconds_range},
    {{"--quit-after=-2147483648"}, &SETTINGS::quit_after_secs, 0, seconds_range},
    {{"--quit-after=4294967295"}, &SETTINGS::quit_after_secs, 0, seconds_range},
    {{"--quit-after=4294967296"}, &SETTINGS::quit_after_secs, 0, seconds_range},
    {{"--quit-after=-4294967296"}, &SETTINGS::quit_after_secs, 0, seconds_range},
    {{"--quit-after=5s"}, &SETTINGS::quit_after_secs, 0, unrecognized},
    {{"--quit-after=x"}, &SETTINGS::quit_after_secs, 0, unrecognized},
    {{"--wait=5s"}, &SETTINGS::wait_secs, 5, ""},
    {{"-w", " 7"}, &SETTINGS::wait_secs, 7, ""},
    {{"--wait=+1"}, &SETTINGS::wait_secs, 1, ""},
    {{"--wait=2147483647"}, &SETTINGS::wait_secs, 2147483647, ""},
    {{"--wait=99999999999"}, &SETTINGS::wait_secs, 2147483647, ""},
    {{"--wait=0"}, &SETTINGS::wait_secs, 0, not_positive},
    {{"--wait=abc"}, &SETTINGS::wait_secs, 0, not_positive},
    {{"--wait="}, &SETTINGS::wait_secs, 0, not_positive},
    {{"--wait=-3"}, &SETTINGS::wait_secs, 0, not_positive},
    {{"--wait=-99999999999"}, &SETTINGS::wait_secs, 0, not_positive},
};

// The option's long name and its argument as typed, from the one option of a case.
std::string expected_message(const std::vector<std::string>& args, const std::string& problem) {
    std::string option;
    std::string argument;
    const std::string& first = args[0];
    const auto equals = first.find('=');
    if (first.rfind("--", 0) == 0) {
        option = first.substr(0, equals);
        argument = equals == std::string::npos ? args[1] : first.substr(equals + 1);
    } else {
        const char letter = first[1];
        option = letter == 'd'   ? "--device"
                 : letter == 'i' ? "--instance"
                 : letter == 'o' ? "--quit-after"
                                 : "--wait";
        argument = first.size() > 2 ? first.substr(2) : args[1];
    }
    return "prog: invalid argument to " + option + ": `" + argument + "' " + problem + "\n";
}

}  // namespace

using ProcessArgs = CommandLine;

TEST_F(ProcessArgs, FillsTheSettingsForEachCommandLine) {
    for (const SETTINGS_CASE& c : settings_cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        reset();
        ARGS args(c.args);
        ::testing::internal::CaptureStderr();
        const int result = process_args(args.argc(), args.argv());
        ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(changed_settings(), c.changed);
        EXPECT_EQ(result, settings.illegal_option);
    }
}

TEST_F(ProcessArgs, ChecksNumericArgumentsAtTheirBoundaries) {
    for (const NUMBER_CASE& c : number_cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        reset();
        ARGS args(c.args);
        ::testing::internal::CaptureStderr();
        const int result = process_args(args.argc(), args.argv());
        const std::string diagnostics = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(settings.*c.field, c.value);
        if (c.problem.empty()) {
            EXPECT_EQ(diagnostics, "");
            EXPECT_EQ(result, 0);
        } else {
            EXPECT_EQ(diagnostics, expected_message(c.args, c.problem));
            EXPECT_EQ(result, 1);
        }
    }
}

TEST_F(ProcessArgs, ReportsEveryBadOptionUnderArgv0AsReceived) {
    ARGS args({"--wait=0", "-x", "--quit-after=1y", "--nope", "-q"}, "C:\\tools\\Term.EXE");
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(process_args(args.argc(), args.argv()), 1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "C:\\tools\\Term.EXE: invalid argument to --wait: `0' is not a positive number\n"
              "C:\\tools\\Term.EXE: invalid option -- x\n"
              "C:\\tools\\Term.EXE: invalid argument to --quit-after: `1y' has unrecognized "
              "characters\n"
              "C:\\tools\\Term.EXE: invalid option -- nope\n");
    EXPECT_EQ(settings.verbose, 0);
    EXPECT_EQ(settings.argv0_copy, "C:\\tools\\Term.EXE");
}

TEST_F(ProcessArgs, CapsEachDumpArgumentAt4095Characters) {
    const std::string long_text(5000, 'x');
    ARGS args({"--dump=" + std::string(4095, 'a'), "-u" + long_text,
               "--dump=" + long_text.substr(0, 4096)});
    EXPECT_EQ(process_args(args.argc(), args.argv()), 0);
    ASSERT_TRUE(settings.dump_options);
    EXPECT_EQ(*settings.dump_options, std::string(4095, 'a') + std::string(2 * 4095, 'x'));
}

TEST_F(ProcessArgs, SetsDumpFlagsByUnsignedByteValue) {
    set_dump_flags(std::nullopt);
    set_dump_flags(std::string());
    set_dump_flags(
        std::string("\x80\xff"
                    "c"));
    for (int i = 0; i < 256; ++i) {
        EXPECT_EQ(settings.dump_flags[i], i == 128 || i == 255 || i == 'c' ? 1 : 0) << i;
    }
}

TEST_F(ProcessArgs, RunsAgainAfterAReset) {
    ARGS first({"-q", "--cable=a", "x"});
    EXPECT_EQ(process_args(first.argc(), first.argv()), 0);
    reset_command_line_state();
    ARGS second({"--gmon"});
    EXPECT_EQ(process_args(second.argc(), second.argv()), 0);
    EXPECT_EQ(changed_settings(), "write_gmon=1");
    EXPECT_EQ(scanner.optind, 2);
}

TEST_F(ProcessArgs, BuildsTheShortOptionsFromTheTable) {
    EXPECT_EQ(build_shortopts(longopts), "-vqqttw:o:u:VhHc:d:i:A");
}

using ProcessArgsDeathTest = CommandLine;

TEST_F(ProcessArgsDeathTest, RefusesATableThatCannotMakeShortOptions) {
    int flag = 0;
    const OPTION flagged[] = {{"x", 0, &flag, 'x', 1}, {nullptr, 0, nullptr, 0, 0}};
    const OPTION digit[] = {{"one", 0, nullptr, '1', 3}, {nullptr, 0, nullptr, 0, 0}};
    const OPTION empty[] = {{nullptr, 0, nullptr, 0, 0}};
    const OPTION long_only[] = {
        {"a", 0, nullptr, 0, 1}, {"b", 0, nullptr, 200, 1}, {nullptr, 0, nullptr, 0, 0}};
    const char* line_1095 =
        "Assertion failed: \\(isalpha \\(longopts\\[i\\]\\.val\\) \\|\\| longopts\\[i\\]\\.val == "
        "0\\) "
        "&& !longopts\\[i\\]\\.flag, file process-args, line 1095";
    EXPECT_DEATH(build_shortopts(flagged), line_1095);
    EXPECT_DEATH(build_shortopts(digit), line_1095);
    const char* line_1118 = "Assertion failed: string_length >= 1, file process-args, line 1118";
    EXPECT_DEATH(build_shortopts(empty), line_1118);
    EXPECT_DEATH(build_shortopts(long_only), line_1118);
}

TEST(ConvertNumber, ReadsLikeThe32BitCLibrary) {
    EXPECT_EQ(convert_strtol32("  -17z").value, -17);
    EXPECT_STREQ(convert_strtol32("  -17z").end, "z");
    const char* blank = " ";
    EXPECT_EQ(convert_strtol32(blank).end, blank);  // nothing consumed without digits
    EXPECT_FALSE(convert_strtol32("-2147483648").overflow);
    EXPECT_TRUE(convert_strtol32("-2147483649").overflow);
    EXPECT_EQ(convert_strtol32("-2147483649").value, INT32_MIN);
    EXPECT_EQ(convert_strtoul32("-1").value, 4294967295u);
    EXPECT_EQ(convert_strtoul32("-99999999999").value, 4294967295u);
    EXPECT_TRUE(convert_strtoul32("4294967296").overflow);
    EXPECT_EQ(convert_strtoul32("\v\f\r\n4294967295").value, 4294967295u);
    EXPECT_EQ(convert_atoi32("12abc"), 12);
    EXPECT_EQ(convert_atoi32("--1"), 0);
    EXPECT_EQ(convert_atoi32("-99999999999999999999999999"), INT32_MIN);
}
