// Each man page's OPTIONS section names the same options, in the same order, as the program's
// --help: a new option, or one that goes away, must reach both.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/process-harness.h"

namespace {

using namespace std::chrono_literals;

// The option names of one entry ("-c --cable"), taken from the text that introduces it.
std::string names_in(const std::string& text) {
    static const std::regex option("(^|[ ,\\[|])(--?[A-Za-z0-9][-A-Za-z0-9]*)");
    std::string names;
    for (std::sregex_iterator it(text.begin(), text.end(), option), end; it != end; ++it)
        names += (names.empty() ? "" : " ") + (*it)[2].str();
    return names;
}

// The roff of a tag line as plain text: no font changes, no quotes, "\-" as "-".
std::string plain(std::string line) {
    line = std::regex_replace(line, std::regex("^\\.(B|BR|I|IR|RB)\\s+"), "");
    line = std::regex_replace(line, std::regex("\\\\f[BIRP]"), "");
    line = std::regex_replace(line, std::regex("\\\\-"), "-");
    return std::regex_replace(line, std::regex("\""), "");
}

// The entries of the OPTIONS section: the line after each .TP, up to the next section.
std::vector<std::string> man_options(const std::string& page) {
    std::ifstream file(std::string(MAN_DIR) + "/" + page + ".1");
    EXPECT_TRUE(file) << "no man page " << page;
    std::vector<std::string> entries;
    bool in_options = false, tag_next = false;
    for (std::string line; std::getline(file, line);) {
        if (line.rfind(".SH ", 0) == 0) in_options = line == ".SH OPTIONS";
        if (!in_options) continue;
        if (tag_next) entries.push_back(names_in(plain(line)));
        tag_next = line == ".TP";
    }
    return entries;
}

// The entries of the help text: lines that start with blanks and then an option, up to the
// two blanks that begin the description.
std::vector<std::string> help_options(const std::string& program) {
    CHILD_PROCESS child(program, {"--help"});
    EXPECT_EQ(child.wait_exit(20s), exited(0)) << program;
    std::vector<std::string> entries;
    std::istringstream text(child.out());
    for (std::string line; std::getline(text, line);) {
        std::size_t start = line.find_first_not_of(' ');
        if (start < 2 || start == std::string::npos || line[start] != '-') continue;
        entries.push_back(names_in(line.substr(start, line.find("  ", start) - start)));
    }
    return entries;
}

TEST(ManPage, ListsTheOptionsOfTheHelp) {
    const struct {
        const char* page;
        const char* program;
    } pages[] = {
        {"tarvik-terminal", TERMINAL_PATH},
        {"varnax-server", VARNAX_SERVER_PATH},
        {"scanwell", SCANWELL_PATH},
    };
    for (const auto& p : pages) {
        std::vector<std::string> help = help_options(p.program);
        EXPECT_GE(help.size(), 2u) << p.program;
        EXPECT_EQ(man_options(p.page), help) << p.page << "(1) and " << p.program << " --help";
    }
}

}  // namespace
