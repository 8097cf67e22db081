// The server's command line: --version, both forms of an option with a value, missing values,
// and configuration files that cannot be used, with the exact texts and exit statuses.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "client/jtag_varnax.h"
#include "tests/support/process-harness.h"
#include "tests/support/sim-server.h"
#include "tests/support/temp-dir.h"

namespace {

using namespace std::chrono_literals;

const std::string server_path = server_program();

// Runs the server, which must end by itself; its status, standard output and error.
struct ENDED {
    EXIT_STATUS status;
    std::string out;
    std::string err;
};

ENDED run_to_end(const std::vector<std::string>& options) {
    CHILD_SETUP setup;
    setup.input = CHILD_SETUP::STREAM::null;
    CHILD_PROCESS server(server_path, options, setup);
    EXIT_STATUS status = server.wait_exit(10s);
    return {status, server.out(), server.err()};
}

TEST(ServerOptions, PrintsItsVersion) {
    const std::string line =
        std::string("varnax-server: Version ") + VARNAX_SERVER_VERSION + ", protocol version 1\n";
    for (auto options : {std::vector<std::string>{"--version"}, {"--help", "--version"}}) {
        ENDED r = run_to_end(options);
        EXPECT_EQ(r.status, exited(0)) << r.err;
        EXPECT_EQ(r.out, line);
        EXPECT_EQ(r.err, "");
    }
}

TEST(ServerOptions, TakesEveryValueAfterAnEqualsSignToo) {
    TEMP_DIR dir;
    std::string config = dir.file("b.conf");
    std::ofstream(config) << "cable \"eq cable\"\ndevice 1\nuart 0 listen\n";
    CHILD_SETUP setup;
    setup.input = CHILD_SETUP::STREAM::null;
    CHILD_PROCESS server(
        server_path,
        {"--config=" + config, "--listen=127.0.0.1:0", "--protocol-version=7", "--quiet"}, setup);
    std::string target, listening;
    ASSERT_TRUE(server.next_line(&target, 10s) && server.next_line(&listening, 5s)) << server.out();
    EXPECT_EQ(target.rfind("target \"eq cable\" 1 0 127.0.0.1:", 0), 0u) << target;
    ASSERT_EQ(listening.rfind("listening 127.0.0.1:", 0), 0u) << listening;
    // The library hears the protocol version given after the equals sign.
    setenv("JTAG_VARNAX_SERVER", listening.substr(10).c_str(), 1);
    EXPECT_EQ(jtagvarnax_open(nullptr, -1, -1, "options-test"), nullptr);
    EXPECT_EQ(jtagvarnax_get_error(nullptr), JTAGVARNAX_INCOMPATIBLE);
    server.send_signal(server_stop_signal());
    EXPECT_EQ(server.wait_exit(10s), exited(0));
}

TEST(ServerOptions, ReportsAMissingValueAsMissing) {
    struct CASE {
        std::vector<std::string> options;
        std::string message;
    } cases[] = {
        {{"--demo", "--listen"}, "--listen needs a value: HOST:PORT (try --help)"},
        {{"--config", "--demo"}, "--config needs a value: FILE (try --help)"},
        {{"--demo", "--protocol-version", "--quiet"},
         "--protocol-version needs a value: N (try --help)"},
        {{"--demo", "--listen="}, "--listen needs a value: HOST:PORT (try --help)"},
        {{"--demo=yes"}, "--demo takes no value (try --help)"},
        {{"--demo", "--listen=here"}, "--listen needs HOST:PORT, not \"here\""},
        {{"--demo", "--listen=::1:0"},
         "--listen needs an IPv6 address in brackets ([::1]:PORT), not \"::1:0\""},
        {{"--demo", "--listen=127.0.0.1:0000000080"},
         "--listen needs a port number without leading zeros, not \"127.0.0.1:0000000080\""},
        {{"--demo", "--lisen=127.0.0.1:0"}, "unknown option \"--lisen\" (try --help)"},
        {{"boards.conf"}, "unexpected argument \"boards.conf\" (try --help)"},
    };
    for (const CASE& c : cases) {
        ENDED r = run_to_end(c.options);
        EXPECT_EQ(r.status, exited(2)) << c.message;
        EXPECT_EQ(r.err, "varnax-server: " + c.message + "\n");
        EXPECT_EQ(r.out, "");
    }
}

TEST(ServerOptions, SaysWhyAConfigurationCannotBeUsed) {
    TEMP_DIR dir;
    // A port that another server holds for its target while this one starts.
    SIM_SERVER holder;
    ASSERT_TRUE(holder.start("cable c\ndevice 1\nuart 0 listen\n", {"--quiet"})) << holder.error();
    std::string taken = holder.target_address("c", 1, 0);
    std::string port = taken.substr(taken.rfind(':') + 1);
    std::string busy = dir.file("busy.conf");
    std::ofstream(busy) << "cable c\ndevice 1\nuart 0 echo\nuart 1 listen " << port << "\n";
    struct CASE {
        std::string config;
        std::string message;
    } cases[] = {
        {dir.file("none.conf"),
         dir.file("none.conf") + ": cannot be read: No such file or directory"},
        {dir.path(), dir.path() + ": cannot be read: Is a directory"},
        {busy, busy +
                   ":4: cannot listen for the target of cable \"c\" device 1 instance 1 on port " +
                   port + ": Address already in use"},
    };
    for (const CASE& c : cases) {
        ENDED r = run_to_end({"--config", c.config, "--listen", "127.0.0.1:0", "--no-commands"});
        EXPECT_EQ(r.status, exited(1)) << c.message;
        EXPECT_EQ(r.err, "varnax-server: " + c.message + "\n");
    }
}

}  // namespace
