// The real program's command line under chosen start names, its output compared byte for byte.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/process-harness.h"
#include "tests/support/temp-dir.h"

namespace {

const std::string terminal_path = TERMINAL_PATH;

struct RUN {
    std::string out;
    std::string err;
    EXIT_STATUS status;
};

// Runs program with the given argv (argv[0] included) and standard input from /dev/null,
// collecting standard output and standard error apart.
RUN run(const std::string& program, std::vector<std::string> args) {
    CHILD_SETUP setup;
    setup.input = CHILD_SETUP::STREAM::null;
    setup.argv0 = args.front();
    args.erase(args.begin());
    CHILD_PROCESS child(program, args, setup);
    RUN result;
    result.status = child.wait_exit(std::chrono::seconds(20));
    result.out = child.out();
    result.err = child.err();
    return result;
}

RUN run_as(const std::string& argv0, std::vector<std::string> options) {
    options.insert(options.begin(), argv0);
    return run(terminal_path, options);
}

const std::string help_text =
    "Usage: tarvik-terminal [TERMINAL OPTIONS] [CONNECTION OPTIONS] [TARGET OPTIONS]\n"
    "Connect to a board running or a simulation of a Tarvik Processor.\n"
    "\n"
    "Terminal Options:\n"
    "  -V, --version              display version number\n"
    "  -h, --help                 show this message and exit\n"
    "  -v, --verbose              show extra information during run (default)\n"
    "  -q, --quiet                show minimal information\n"
    "      --write-pid            write process ID to filename specified\n"
    "  -w, --wait                 wait for a signal before starting\n"
    "      --flush                empty buffers before displaying output\n"
    "      --signal-pid           send signal to process ID when ready\n"
    "  -o, --quit-after=SECS      quit after SECS second(s) (default is never)\n"
    "      --no-quit-on-ctrl-d    don't quit if Ctrl-D received from target\n"
    "  -u, --dump=OPTS            dump extra debug information for OPTS\n"
    "      --gmon                 write gmon.out file if seen from target\n"
    "      --no-gmon              do not write gmon.out\n"
    "\n"
    "Connection Options:\n"
    "  -H, --hardware             connect to a hardware target (default)\n"
    "      --persistent           try to reconnect after an I/O error\n"
    "      --no-persistent        opposite of persistent\n"
    "\n"
    "Connect to Hardware Options:\n"
    "  -c, --cable=CABLE          use CABLE JTAG cable (default auto-detect)\n"
    "  -d, --device=DEVICE        connect to DEVICE device (default auto-detect)\n"
    "  -i, --instance=INSTANCE    connect to INSTANCE instance (default auto-detect)\n"
    "\n"
    "\n";

// Returns text with each (line, replacement) pair applied to the first whole line equal to it.
// The other help texts are the primary one with a few lines changed, so that only one full
// copy is written out here.
std::string edited(std::string text,
                   const std::vector<std::pair<std::string, std::string>>& edits) {
    for (const auto& [line, replacement] : edits) {
        std::size_t at = text.find(line + "\n");
        EXPECT_NE(at, std::string::npos) << line;
        if (at != std::string::npos) text.replace(at, line.size() + 1, replacement);
    }
    return text;
}

const std::string plain_help_text = edited(
    help_text, {{"Usage: tarvik-terminal [TERMINAL OPTIONS] [CONNECTION OPTIONS] [TARGET OPTIONS]",
                 "Usage: pelk-terminal [TERMINAL OPTIONS] [CONNECTION OPTIONS] [TARGET OPTIONS]\n"},
                {"Connect to a board running or a simulation of a Tarvik Processor.",
                 "Connect to a JTAG UART.\n"},
                {"      --gmon                 write gmon.out file if seen from target", ""},
                {"      --no-gmon              do not write gmon.out", ""}});

// --help --dump=h --quiet --quit-after=5 --device=0, under the secondary name: the settings in
// brackets below the lines they belong to.
const std::string plain_help_with_settings =
    edited(plain_help_text,
           {{"Connect to a JTAG UART.",
             "Connect to a JTAG UART.\n"
             "                               (with current settings in brackets)\n"},
            {"  -q, --quiet                show minimal information",
             "  -q, --quiet                show minimal information\n"
             "                               (verbose output off)\n"},
            {"  -o, --quit-after=SECS      quit after SECS second(s) (default is never)",
             "  -o, --quit-after=SECS      quit after SECS second(s) (default is never)\n"
             "                               (quit after 5 second(s))\n"},
            {"  -u, --dump=OPTS            dump extra debug information for OPTS",
             "  -u, --dump=OPTS            dump extra debug information for OPTS\n"
             "                               (dump options h)\n"
             "                               (do not write gmon.out)\n"},
            {"  -H, --hardware             connect to a hardware target (default)",
             "  -H, --hardware             connect to a hardware target (default)\n"
             "                               (connect to a hardware target)\n"},
            {"  -c, --cable=CABLE          use CABLE JTAG cable (default auto-detect)",
             "  -c, --cable=CABLE          use CABLE JTAG cable (default auto-detect)\n"
             "                               (auto-detect cable)\n"},
            {"  -d, --device=DEVICE        connect to DEVICE device (default auto-detect)",
             "  -d, --device=DEVICE        connect to DEVICE device (default auto-detect)\n"
             "                               (auto-detect device)\n"},
            {"  -i, --instance=INSTANCE    connect to INSTANCE instance (default auto-detect)",
             "  -i, --instance=INSTANCE    connect to INSTANCE instance (default auto-detect)\n"
             "                               (auto-detect instance)\n"}});

const std::string illegal_line =
    "tarvik-terminal: exiting because one or more illegal options were detected\n";

void expect_run(const RUN& run, const std::string& out, const std::string& err, int status) {
    EXPECT_EQ(run.out, out);
    EXPECT_EQ(run.err, err);
    EXPECT_EQ(run.status, exited(status));
}

}  // namespace

TEST(CommandLine, HelpUnderThePrimaryName) {
    expect_run(run_as(terminal_path, {"--help"}), help_text, "", 0);
}

TEST(CommandLine, HelpUnderTheSecondaryName) {
    const std::string link =
        terminal_path.substr(0, terminal_path.rfind('/') + 1) + "pelk-terminal";
    expect_run(run(link, {link, "-h"}), plain_help_text, "", 0);
}

TEST(CommandLine, HelpWithTheCurrentSettings) {
    expect_run(
        run_as("pelk-terminal", {"--help", "--dump=h", "--quiet", "--quit-after=5", "--device=0"}),
        plain_help_with_settings, "", 0);
}

TEST(CommandLine, VersionWinsOverHelpAndTheEffectiveLine) {
    const std::string version = "tarvik-terminal: Version (wombat)\n";
    expect_run(run_as("tarvik-terminal", {"--version"}), version, "", 0);
    expect_run(run_as("tarvik-terminal", {"--version", "--help"}), version, "", 0);
    expect_run(run_as("tarvik-terminal", {"--help", "--dump=c", "-V"}), version, "", 0);
}

TEST(CommandLine, ABadOptionWinsOverVersion) {
    expect_run(run_as("tarvik-terminal", {"--version", "--bogus"}), illegal_line,
               "tarvik-terminal: invalid option -- bogus\n", 1);
}

TEST(CommandLine, EffectiveLineComesBeforeTheHelp) {
    expect_run(run_as("/opt/tarvik-terminal", {"--dump=c", "--help", "x y"}),
               "Effective command line to tarvik-terminal: \n"
               "  /opt/tarvik-terminal --help --verbose --hardware -- 'x y'\n"
               "\n" +
                   help_text,
               "", 0);
}

TEST(CommandLine, EveryBadOptionIsReportedBeforeOneClosingLine) {
    expect_run(run_as("./tarvik-terminal", {"--wait=0", "-q", "-x", "--help"}), illegal_line,
               "./tarvik-terminal: invalid argument to --wait: `0' is not a positive number\n"
               "./tarvik-terminal: invalid option -- x\n",
               1);
}

TEST(CommandLine, TheStartNameChoosesTheName) {
    const struct {
        std::string argv0;
        std::string name;
    } cases[] = {
        {"C:\\tools\\tarvik-terminal.exe", "tarvik-terminal"},
        {"xtarvik-terminalx", "tarvik-terminal"},
        {"term.exe", "pelk-terminal"},
        {"pelk-terminal.exe", "pelk-terminal"},
        {"TARVIK-TERMINAL.EXE", "pelk-terminal"},
        {"tarvik-termina", "pelk-terminal"},
        {"", "pelk-terminal"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.argv0);
        expect_run(run_as(c.argv0, {"--version"}), c.name + ": Version (wombat)\n", "", 0);
        // The scanner's messages name the program by argv[0] exactly as it was started.
        expect_run(run_as(c.argv0, {"-z"}),
                   c.name + ": exiting because one or more illegal options were detected\n",
                   c.argv0 + ": invalid option -- z\n", 1);
    }
    expect_run(run_as("C:\\tools\\tarvik-terminal.exe", {"--help"}), help_text, "", 0);
}

TEST(CommandLine, ADirectoryInThePathChoosesThePrimaryName) {
    TEMP_DIR temp;
    const std::string folder = temp.file("tarvik-terminal");
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    const std::string link = folder + "/other";
    ASSERT_EQ(symlink(terminal_path.c_str(), link.c_str()), 0);
    expect_run(run(link, {link, "--version"}), "tarvik-terminal: Version (wombat)\n", "", 0);
    expect_run(run(link, {link, "--help"}), help_text, "", 0);
}

TEST(CommandLine, EffectiveLineAloneComesFirst) {
    // Without --help the session follows; only the start of what it prints is ours.
    const RUN result = run_as("tarvik-terminal", {"--dump=c"});
    const std::string line =
        "Effective command line to tarvik-terminal: \n  tarvik-terminal --verbose --hardware\n\n";
    EXPECT_EQ(result.out.substr(0, line.size()), line);
}
