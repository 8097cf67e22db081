// The real scanwell against a real server (one that asks for the shared secret too), a refusing
// port, listeners that are not JTAG servers of this version, and addresses that cannot work.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "client/jtag_varnax.h"
#include "client/varnax-scan.h"
#include "tests/support/one-connection-server.h"
#include "tests/support/process-harness.h"
#include "tests/support/sim-server.h"
#include "tests/support/temp-dir.h"

namespace {

using namespace std::chrono_literals;

const std::string scanwell_path = SCANWELL_PATH;

const std::string refuse_lines_2_3 =
    "scanwell: Start the JTAG server (varnax-server --demo, or varnax-server --config FILE), "
    "or set\n"
    "scanwell: JTAG_VARNAX_SERVER to the address it listens on.\n";

const std::string fix_address_lines =
    "scanwell: Set JTAG_VARNAX_SERVER to HOST:PORT (a host name, a dotted IPv4 address or an "
    "IPv6\n"
    "scanwell: address in brackets, and a port from 1 to 65535), or unset it to use "
    "127.0.0.1:47011.\n";

struct RUN {
    EXIT_STATUS status;
    std::string out;
    std::string err;
};

RUN run_scanwell(const std::string& address, const std::string& secret_file = "") {
    CHILD_SETUP setup;
    setup.input = CHILD_SETUP::STREAM::null;
    setup.environment = {{"JTAG_VARNAX_SERVER", address}};
    if (!secret_file.empty())
        setup.environment.emplace_back("JTAG_VARNAX_SECRET_FILE", secret_file);
    CHILD_PROCESS child(scanwell_path, {}, setup);
    EXIT_STATUS status = child.wait_exit(20s);
    return RUN{status, child.out(), child.err()};
}

// Answers a connection with fixed bytes and hangs up: what a JTAG server of another version,
// or another program altogether, looks like to a client.
void answer_and_hang_up(const std::string& answer, int fd) {
    (void)!write(fd, answer.data(), answer.size());
    close(fd);
}

TEST(Scanwell, ListsEveryCableDeviceAndJtagUartWithItsHolder) {
    SIM_SERVER server;
    ASSERT_TRUE(
        server.start("cable \"USB-Cable [USB-0]\"\n"
                     " device 1\n  uart 0 echo\n  uart 1 echo\n"
                     " device 2\n"
                     "cable \"Bench \\\"rig\\\" $1\" powered=no warning=2\n"
                     " device 4\n  uart 0 echo\n"
                     "cable Loose plugged=no warning=1\n"
                     " device 3\n  uart 0 echo\n"
                     "cable c2\n device 7\n  uart 5 echo\n",
                     {"--quiet"}))
        << server.error();
    server.use_in_this_process();
    JTAGVARNAX* held = jtagvarnax_open("USB-Cable [USB-0]", 1, 1, "holder app");
    ASSERT_NE(held, nullptr);

    RUN run = run_scanwell(server.address());
    jtagvarnax_close(held);
    EXPECT_EQ(run.status, exited(0));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(
        run.out,
        "Server: " + server.address() +
            " (from JTAG_VARNAX_SERVER)\n"
            "Connected: the server speaks protocol version 1.\n"
            "\n"
            "Cable \"USB-Cable [USB-0]\":\n"
            "  Device 1:\n"
            "    JTAG UART instance 0, free\n"
            "      --cable \"USB-Cable [USB-0]\" --device 1 --instance 0\n"
            "    JTAG UART instance 1, in use by holder app, process " +
            std::to_string(getpid()) +
            "\n"
            "      --cable \"USB-Cable [USB-0]\" --device 1 --instance 1\n"
            "  Device 2: no JTAG UART\n"
            "Cable \"Bench \\\"rig\\\" \\$1\": the board is not connected or not switched on; "
            "its devices cannot be seen.\n"
            "  This cable is not supported: expect JTAG communication failures.\n"
            "Cable \"Loose\": not plugged in; its devices cannot be seen.\n"
            "  Support for this cable cannot be confirmed.\n"
            "Cable \"c2\":\n"
            "  Device 7:\n"
            "    JTAG UART instance 5, free\n"
            "      --cable \"c2\" --device 7 --instance 5\n"
            "\n"
            "Found 3 JTAG UARTs (2 free, 1 in use) on 4 cables.\n");

    // The listing opened nothing: the JTAG UART it saw as free is still free.
    JTAGVARNAX* again = jtagvarnax_open("c2", 7, 5, "after scan");
    EXPECT_NE(again, nullptr);
    if (again != nullptr) jtagvarnax_close(again);
}

TEST(Scanwell, FailsWhenNoJtagUartCanBeSeen) {
    SIM_SERVER server;
    ASSERT_TRUE(server.start("cable Dark powered=no\n device 1\n  uart 0 echo\n", {"--quiet"}))
        << server.error();
    RUN run = run_scanwell(server.address());
    EXPECT_EQ(run.status, exited(1));
    EXPECT_NE(run.out.find("\nFound no JTAG UART on 1 cable.\n"), std::string::npos) << run.out;
}

TEST(Scanwell, SaysInPlainWordsWhyTheServerCannotBeUsed) {
    std::string closed = closed_loopback_address();
    RUN refused = run_scanwell(closed);
    EXPECT_EQ(refused.status, exited(1));
    EXPECT_EQ(refused.out, "Server: " + closed + " (from JTAG_VARNAX_SERVER)\n");
    EXPECT_EQ(refused.err, "scanwell: connection refused: nothing listens at " + closed + ".\n" +
                               refuse_lines_2_3);

    SIM_SERVER newer;
    ASSERT_TRUE(newer.start_demo({"--quiet", "--protocol-version", "2"})) << newer.error();
    RUN version = run_scanwell(newer.address());
    EXPECT_EQ(version.status, exited(1));
    EXPECT_EQ(version.err,
              "scanwell: wrong protocol version: the server speaks protocol version 2; this "
              "program speaks version 1.\n"
              "scanwell: Use a JTAG server from the same release as the terminal and its "
              "library.\n");
}

// A private file with these bytes.
std::string write_secret(const std::string& path, const std::string& bytes) {
    std::ofstream(path) << bytes;
    chmod(path.c_str(), 0600);
    return path;
}

TEST(Scanwell, ProvesTheSharedSecretOrSaysWhyItCannot) {
    TEMP_DIR dir;
    std::string secret = write_secret(dir.file("secret"), "the lab's boards: 7d1e0c95a2b4f386\n");
    SIM_SERVER server;
    ASSERT_TRUE(server.start_demo({"--quiet", "--secret-file", secret, "--secret-for-local"}))
        << server.error();

    RUN proven = run_scanwell(server.address(), secret);
    EXPECT_EQ(proven.status, exited(0)) << proven.err;
    EXPECT_NE(proven.out.find("\nFound 1 JTAG UART (1 free, 0 in use) on 1 cable.\n"),
              std::string::npos)
        << proven.out;

    std::string wrong = write_secret(dir.file("wrong"), "the lab's boards: 0000000000000000");
    RUN refused = run_scanwell(server.address(), wrong);
    EXPECT_EQ(refused.status, exited(1));
    EXPECT_EQ(refused.err, "scanwell: the shared secret: the JTAG server at " + server.address() +
                               " refused the shared secret from " + wrong + " (wrong secret).\n");

    RUN none = run_scanwell(server.address(), dir.file("nothing here"));
    EXPECT_EQ(none.status, exited(1));
    EXPECT_EQ(none.err.rfind("scanwell: the shared secret: the JTAG server at " + server.address() +
                                 " asks for the shared secret, and there is "
                                 "none (no secret): ",
                             0),
              0u)
        << none.err;
    // Neither listed anything.
    EXPECT_EQ(refused.out.find("Cable"), std::string::npos);
    EXPECT_EQ(none.out.find("Cable"), std::string::npos);
}

// Plays a server of this version that answers the inventory request with these frames, then
// waits for scanwell to hang up.
void serve_inventory(const std::string& frames, int fd) {
    SIM_TARGET client;
    client.adopt(fd);
    client.receive(varnax::greeting_size + varnax::header_size);
    std::string answer;
    varnax::encode_greeting(&answer, varnax::protocol_version);
    client.send(answer + frames, 10s);
    client.wait_closed(10s);
}

std::string list_cable(const std::string& name) {
    std::string frame;
    varnax::encode_list_cable(&frame, varnax::LIST_CABLE{name, true, true, 0});
    return frame;
}

std::string list_device_with_uart(const std::string& holder) {
    std::string frames;
    varnax::encode_list_device(&frames, 1);
    varnax::encode_list_uart(&frames, varnax::LIST_UART{0, !holder.empty(), 42, holder});
    return frames;
}

TEST(Scanwell, ShowsNamesFromTheServerEscaped) {
    std::string end;
    varnax::encode_list_end(&end);
    std::string frames = list_cable("lab\x1b]0;owned\x07\x1b[2J\r\nFound 9 JTAG UARTs") +
                         list_device_with_uart(std::string("app\x1b[2J\0x", 9)) + end;
    ONE_CONNECTION_SERVER fake("127.0.0.1", [&](int fd) { serve_inventory(frames, fd); });
    RUN run = run_scanwell(fake.address());
    EXPECT_EQ(run.status, exited(0)) << run.err;
    // Escaped, then quoted for the shell, which doubles each backslash.
    const std::string cable =
        "lab\\\\x1b]0;owned\\\\x07\\\\x1b[2J\\\\x0d\\\\x0aFound 9 JTAG UARTs";
    EXPECT_NE(run.out.find("Cable \"" + cable + "\":\n"
                           "  Device 1:\n"
                           "    JTAG UART instance 0, in use by app\\x1b[2J\\x00x, process 42\n"
                           "      --cable \"" + cable + "\" --device 1 --instance 0\n"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(run.out.find('\x1b'), std::string::npos);
}

TEST(Scanwell, TakesNoMoreInventoryThanItsBounds) {
    std::string many_entries = list_cable("c") + list_device_with_uart("");
    for (std::size_t i = 0; i < scan_max_entries; ++i) many_entries += list_device_with_uart("");
    std::string many_bytes;
    for (std::size_t size = 0; size <= scan_max_bytes; size += varnax::max_text)
        many_bytes += list_cable(std::string(varnax::max_text, 'n'));
    const struct {
        const std::string* frames;
        std::string what;
    } cases[] = {{&many_entries, "more than 4096 cables, devices and JTAG UARTs"},
                 {&many_bytes, "more than 1048576 bytes"}};
    for (const auto& c : cases) {
        ONE_CONNECTION_SERVER fake("127.0.0.1", [&](int fd) { serve_inventory(*c.frames, fd); });
        RUN run = run_scanwell(fake.address());
        EXPECT_EQ(run.status, exited(1));
        EXPECT_EQ(run.err, "scanwell: the JTAG server at " + fake.address() +
                               " sent an inventory of " + c.what +
                               "; scanwell takes no more than that and shows none of it.\n");
    }
}

TEST(Scanwell, SaysWhyTheServerTurnedItAway) {
    SIM_SERVER server;
    ASSERT_TRUE(server.start_demo({"--quiet", "--treat-loopback-as-remote"})) << server.error();
    RUN run = run_scanwell(server.address());
    EXPECT_EQ(run.status, exited(1));
    EXPECT_EQ(run.err, "scanwell: refused by the server: the JTAG server at " + server.address() +
                           " does not serve this client: clients from other machines are not "
                           "accepted here (the server runs without --allow-remote).\n");
}

TEST(Scanwell, TellsAnotherVersionFromAnotherProgram) {
    const struct {
        std::string answer;
        std::string err_start;
    } cases[] = {
        {std::string("JVNX\x07\x00\x00\x00", 8),
         "scanwell: wrong protocol version: the server speaks protocol version 7; "},
        {"HTTP/1.0 400 Bad Request\r\n\r\n", "scanwell: not a JTAG server: the program at "},
        {"", "scanwell: not a JTAG server: the program at "},
        // Greeted, then gone before the inventory was complete.
        {std::string("JVNX\x01\x00\x00\x00", 8), "scanwell: the JTAG server at "},
    };
    for (const auto& c : cases) {
        ONE_CONNECTION_SERVER fake("127.0.0.1", [&](int fd) { answer_and_hang_up(c.answer, fd); });
        RUN run = run_scanwell(fake.address());
        EXPECT_EQ(run.status, exited(1)) << c.err_start;
        EXPECT_EQ(run.err.rfind(c.err_start, 0), 0u) << run.err;
    }
}

TEST(Scanwell, NamesWhatIsWrongWithAnAddress) {
    const struct {
        const char* address;
        std::string first_line;
    } cases[] = {
        {"127.0.0.1:99999",
         "malformed address: the port 99999 in the server address \"127.0.0.1:99999\" is out "
         "of range (1 to 65535)."},
        {"127.0.0.1:0",
         "malformed address: the port 0 in the server address \"127.0.0.1:0\" is out of range "
         "(1 to 65535)."},
        {"127.0.0.1",
         "malformed address: the server address \"127.0.0.1\" has no port: write it as "
         "HOST:PORT, for example 127.0.0.1:47011."},
        {"127.0.0.1:http",
         "malformed address: the port \"http\" in the server address \"127.0.0.1:http\" is not "
         "a number."},
        {":47011",
         "malformed address: the server address \":47011\" has no host before the colon."},
        {"127.0.0.1:0000000080",
         "malformed address: the port \"0000000080\" in the server address "
         "\"127.0.0.1:0000000080\" is not a port number (it has a leading zero)."},
        {"127.0.0.256:1",
         "no such host: the host \"127.0.0.256\" in the server address \"127.0.0.256:1\" is "
         "not a host name, a dotted IPv4 address or an IPv6 address in brackets."},
    };
    for (const auto& c : cases) {
        RUN run = run_scanwell(c.address);
        EXPECT_EQ(run.status, exited(1)) << c.address;
        EXPECT_EQ(run.out, std::string("Server: ") + c.address + " (from JTAG_VARNAX_SERVER)\n");
        EXPECT_EQ(run.err, "scanwell: " + c.first_line + "\n" + fix_address_lines);
    }
}

// IPv6 loopback is this machine as 127.0.0.0/8 is: neither side asks the other for the secret.
TEST(Scanwell, ReachesAServerByIpv6AndNamesAHostItCannotFind) {
    TEMP_DIR dir;
    std::string secret = write_secret(dir.file("secret"), "the lab's boards: 7d1e0c95a2b4f386\n");
    SIM_SERVER server;
    ASSERT_TRUE(server.start_demo(
        {"--quiet", "--listen", "[::1]:0", "--allow-remote", "--secret-file", secret}))
        << server.error();
    ASSERT_EQ(server.address().rfind("[::1]:", 0), 0u) << server.address();
    RUN run = run_scanwell(server.address());
    EXPECT_EQ(run.status, exited(0)) << run.err;
    EXPECT_NE(run.out.find("\nFound 1 JTAG UART (1 free, 0 in use) on 1 cable.\n"),
              std::string::npos)
        << run.out;
    server.use_in_this_process();
    JTAGVARNAX* link = jtagvarnax_open(nullptr, -1, -1, "over IPv6");
    EXPECT_NE(link, nullptr);
    if (link != nullptr) jtagvarnax_close(link);

    // The resolver's own words follow the host's name; they differ between systems.
    RUN unknown = run_scanwell("nosuchhost.invalid:1");
    EXPECT_EQ(unknown.status, exited(1));
    EXPECT_NE(unknown.err.find("the host \"nosuchhost.invalid\""), std::string::npos)
        << unknown.err;
}

TEST(Scanwell, SaysWhenItUsesTheDefaultAddress) {
    CHILD_SETUP setup;
    setup.input = CHILD_SETUP::STREAM::null;
    setup.environment = {{"JTAG_VARNAX_SERVER", ""}};
    CHILD_PROCESS child(scanwell_path, {}, setup);
    child.wait_exit(20s);
    // Whatever listens at the default port on this machine, the first line says where it looked.
    EXPECT_EQ(child.out().rfind("Server: 127.0.0.1:47011 (the default; JTAG_VARNAX_SERVER is not "
                                "set)\n",
                                0),
              0u)
        << child.out();
}

TEST(Scanwell, AnswersHelpVersionAndBadOptions) {
    CHILD_PROCESS help(scanwell_path, {"--help"});
    EXPECT_EQ(help.wait_exit(10s), exited(0));
    EXPECT_EQ(help.out().rfind("Usage: scanwell [OPTIONS]\n", 0), 0u);
    CHILD_PROCESS version(scanwell_path, {"-V"});
    EXPECT_EQ(version.wait_exit(10s), exited(0));
    EXPECT_EQ(version.out().rfind("scanwell ", 0), 0u);
    CHILD_PROCESS bad(scanwell_path, {"--cable"});
    EXPECT_EQ(bad.wait_exit(10s), exited(2));
    EXPECT_EQ(bad.err(), "scanwell: unknown option \"--cable\" (try --help)\n");
    EXPECT_EQ(bad.out(), "");
}

}  // namespace
