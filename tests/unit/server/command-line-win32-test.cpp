// The command lines of target programs on Windows, read back by the system's own splitter.
#include <windows.h>

#include <gtest/gtest.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "server/targets/os-win32.h"

namespace {

// The arguments that CommandLineToArgvW finds in the line (ASCII only here).
std::vector<std::string> split(const std::string& line) {
    std::wstring wide(line.begin(), line.end());
    int count = 0;
    LPWSTR* args = CommandLineToArgvW(wide.c_str(), &count);
    std::vector<std::string> out;
    for (int i = 0; i < count; ++i) {
        std::wstring arg = args[i];
        out.push_back(std::string(arg.begin(), arg.end()));
    }
    LocalFree(args);
    return out;
}

TEST(ProgramCommandLine, GivesTheProgramExactlyItsArguments) {
    const std::vector<std::string> cases[] = {
        {"C:\\Program Files\\board\\sim.exe", "plain", "two words"},
        {"sim", "", "tab\there", "say \"hi\""},
        {"sim", "C:\\folder with space\\", "C:\\no-space\\", "\\\\server\\share"},
        {"sim", "ends in one quote\\\"", "\\\\\"", "\\"},
        {"sim", "--opt=\"a b\"", "a\\\\b c"},
    };
    for (const auto& argv : cases) {
        std::string line = os_command_line(argv);
        SCOPED_TRACE(line);
        EXPECT_EQ(split(line), argv);
    }
    // Words without spaces or quotes go as they are.
    EXPECT_EQ(os_command_line({"sim", "-b", "115200"}), "sim -b 115200");
}

}  // namespace
