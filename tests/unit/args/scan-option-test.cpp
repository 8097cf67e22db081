// The option scanner, with the program's option table and with tables that use flags.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "args/args-internal.h"
#include "args/process-args.h"
#include "tests/unit/args/args-fixture.h"

namespace {

// One scanner result in words: "v", "d[7]" (letter and argument), "?", "128",
// "0{gmon}" (0 and the entry named by long_index).
std::string describe(int result, int long_index, const OPTION* options) {
    std::string text;
    if (result == 0) {
        text = std::string("0{") + options[long_index].name + "}";
    } else if (result > ' ' && result < 127) {
        text = std::string(1, static_cast<char>(result));
    } else {
        text = std::to_string(result);
    }
    if (scanner.optarg != nullptr) text += std::string("[") + scanner.optarg + "]";
    return text;
}

// Scans until -1 and returns every result before it.
std::vector<std::string> scan_all(ARGS& args, const char* shortopts, const OPTION* options) {
    std::vector<std::string> results;
    for (int guard = 0; guard < 100; ++guard) {
        int long_index = -1;
        const int result = scan_option(args.argc(), args.argv(), shortopts, options, &long_index);
        if (result == -1) return results;
        results.push_back(describe(result, long_index, options));
    }
    ADD_FAILURE() << "the scanner never returned -1";
    return results;
}

struct SCAN_CASE {
    std::vector<std::string> args;
    std::vector<std::string> results;
    std::vector<std::string> left;  // argv[optind] onward after -1
    std::string diagnostics;
};

const SCAN_CASE scan_cases[] = {
    {{}, {}, {}, ""},
    {{"foo", "-v", "bar"}, {"v"}, {"foo", "bar"}, ""},
    {{"a", "-v", "b", "-q", "c"}, {"v", "q"}, {"a", "b", "c"}, ""},
    {{"foo", "-d", "7"}, {"d[foo]"}, {"7"}, ""},
    {{"-d7"}, {"d[7]"}, {}, ""},
    {{"-d=7"}, {"d[=7]"}, {}, ""},
    {{"-d", "-v"}, {"d[-v]"}, {}, ""},
    {{"-vq"}, {"v", "q"}, {}, ""},
    {{"-vd", "7"}, {"v", "d[7]"}, {}, ""},
    {{"-vd7x", "y"}, {"v", "d[7x]"}, {"y"}, ""},
    {{"-xv"}, {"?", "v"}, {}, "prog: invalid option -- x\n"},
    {{"-v-"}, {"v", "?"}, {}, "prog: invalid option -- -\n"},
    {{"-:"}, {"?"}, {}, "prog: invalid option -- :\n"},
    {{"-"}, {"?"}, {}, "prog: invalid option -- -\n"},
    {{"x", "-", "-v"}, {"?", "v"}, {"x"}, "prog: invalid option -- -\n"},
    {{"-d"}, {"?"}, {}, "prog: option requires an argument -- d\n"},
    {{"-vd"}, {"v", "?"}, {}, "prog: option requires an argument -- d\n"},
    {{"--verbose=3"}, {"v"}, {}, ""},
    {{"--verb", "--device-name"},
     {"?", "?"},
     {},
     "prog: invalid option -- verb\nprog: invalid option -- device-name\n"},
    {{"--foo=bar", "x"}, {"?"}, {"x"}, "prog: invalid option -- foo=bar\n"},
    {{"--cable="}, {"c[]"}, {}, ""},
    {{"--cable=a=b"}, {"c[a=b]"}, {}, ""},
    {{"--cable", "--device"}, {"c[--device]"}, {}, ""},
    {{"x", "--cable", "y"}, {"c[x]"}, {"y"}, ""},
    {{"--device"}, {"?"}, {}, "prog: option requires an argument -- device\n"},
    {{"--gmon", "--no-gmon", "--flush", "--no-quit-on-ctrl-d"},
     {"0{gmon}", "0{no-gmon}", "128", "132"},
     {},
     ""},
    {{"--persistent", "--no-persistent", "--target-args"}, {"129", "130", "A"}, {}, ""},
    {{"--", "-v"}, {}, {"-v"}, ""},
    {{"foo", "--", "-v"}, {}, {"foo", "-v"}, ""},
    {{"-v", "--", "--", "x"}, {"v"}, {"--", "x"}, ""},
    {{"", "-v"}, {"v"}, {""}, ""},
    {{"-Av", "x"}, {"A", "v"}, {"x"}, ""},
    {{"-x", "-d"},
     {"?", "?"},
     {},
     "prog: invalid option -- x\nprog: option requires an argument -- d\n"},
};

}  // namespace

using Scanner = CommandLine;

TEST_F(Scanner, FollowsItsRulesForEachCommandLine) {
    const std::string shortopts = build_shortopts(longopts);
    for (const SCAN_CASE& c : scan_cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        reset();
        ARGS args(c.args);
        ::testing::internal::CaptureStderr();
        const std::vector<std::string> results = scan_all(args, shortopts.c_str(), longopts);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.diagnostics);
        EXPECT_EQ(results, c.results);
        EXPECT_EQ(args.from(scanner.optind), c.left);
        EXPECT_STREQ(scanner.nextchar, "");
        EXPECT_EQ(args.from(0)[0], "prog");
    }
}

TEST_F(Scanner, LeavesOptindOnTheArgumentsThatAreNotOptions) {
    ARGS args({"foo", "-v", "bar"});
    const std::string shortopts = build_shortopts(longopts);
    EXPECT_EQ(scan_option(args.argc(), args.argv(), shortopts.c_str(), longopts, nullptr), 'v');
    EXPECT_EQ(args.from(1), (std::vector<std::string>{"-v", "foo", "bar"}));
    EXPECT_EQ(scan_option(args.argc(), args.argv(), shortopts.c_str(), longopts, nullptr), -1);
    EXPECT_EQ(scanner.optind, 2);
}

TEST_F(Scanner, StopsInsideAClusterAtTheCallersRequest) {
    // After -A in "-Av" the cluster is unfinished, so optind still names that argument.
    ARGS args({"-Av", "x"});
    const std::string shortopts = build_shortopts(longopts);
    EXPECT_EQ(scan_option(args.argc(), args.argv(), shortopts.c_str(), longopts, nullptr), 'A');
    EXPECT_EQ(scanner.optind, 1);
    EXPECT_EQ(scanner.optopt, 'A');
}

TEST_F(Scanner, KeepsQuietWhenOpterrIsZero) {
    scanner.opterr = 0;
    ARGS args({"-x", "--bad", "-d"});
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(scan_all(args, "-d:", longopts), (std::vector<std::string>{"?", "?", "?"}));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST_F(Scanner, ReportsSilentlyWhenTheShortOptionsBeginWithAColon) {
    const OPTION options[] = {{"cable", 1, nullptr, 'c', 5}, {nullptr, 0, nullptr, 0, 0}};
    ARGS args({"-x", "--bad", "-c"});
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(scan_all(args, ":c:", options), (std::vector<std::string>{"?", "?", ":"}));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST_F(Scanner, HonoursFlagsAndComparedLengthsOfOtherTables) {
    int stored = 0;
    const OPTION options[] = {{"verbose", 0, nullptr, 'v', 4},  // "--verb" is the whole name
                              {"set", 0, &stored, 42, 3},
                              {"optional", 2, nullptr, 'o', 8},
                              {nullptr, 0, nullptr, 0, 0}};
    ARGS args({"--verb", "--verbose", "--set", "--optional", "x", "-o", "y"});
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(scan_all(args, "-vo::", options),
              (std::vector<std::string>{"v", "?", "0{set}", "o[x]", "o[y]"}));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "prog: invalid option -- verbose\n");
    EXPECT_EQ(stored, 42);
}
