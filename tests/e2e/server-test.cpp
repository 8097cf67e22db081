// Tests of the running server: its command line, unwelcome connections, fault commands,
// clean stops, and the demo target.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "client/jtag_varnax.h"
#include "tests/e2e/link-test-util.h"
#include "tests/support/process-harness.h"
#include "tests/support/sim-server.h"
#include "tests/support/temp-dir.h"
#include "wire/protocol.h"

namespace {

struct RUN {
    EXIT_STATUS status;
    std::string err;
};

// Runs the server to its end (it must end by itself within the deadline) and collects stderr.
RUN run_server(const std::vector<std::string>& args) {
    CHILD_SETUP setup;
    setup.input = CHILD_SETUP::STREAM::null;
    setup.output = CHILD_SETUP::STREAM::null;
    CHILD_PROCESS server(server_program(), args, setup);
    RUN r;
    r.status = server.wait_exit(std::chrono::seconds(10));
    r.err = server.err();
    return r;
}

// A raw connection to the server, for speaking the protocol badly on purpose.
class RAW_CLIENT {
public:
    explicit RAW_CLIENT(const std::string& address) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(std::uint16_t(std::stoi(address.substr(address.rfind(':') + 1))));
        inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
        m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (connect(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            close(m_fd);
            m_fd = -1;
        }
    }
    ~RAW_CLIENT() {
        if (m_fd >= 0) close(m_fd);
    }
    bool send_bytes(const std::string& s) {
        return m_fd >= 0 && ::send(m_fd, s.data(), s.size(), MSG_NOSIGNAL) == ssize_t(s.size());
    }
    // Everything until the server closes the connection; false if it does not in time.
    bool read_to_end(std::string* got,
                     std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        char chunk[4096];
        while (m_fd >= 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{m_fd, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, int(left.count())) <= 0) return false;
            ssize_t n = recv(m_fd, chunk, sizeof chunk, 0);
            if (n <= 0) return true;
            got->append(chunk, std::size_t(n));
        }
        return false;
    }

private:
    int m_fd = -1;
};

std::string greeting() {
    std::string s;
    varnax::encode_greeting(&s, varnax::protocol_version);
    return s;
}

TEST(ServerCommandLine, RefusesBadConfigurationsAndOptions) {
    TEMP_DIR dir;
    std::string bad = dir.file("bad.conf");
    std::ofstream(bad) << "cable c\ndevice 1\nuart 0 teleport\n";
    struct CASE {
        std::vector<std::string> args;
        int status;  // the exit status
        std::string message;
    } cases[] = {
        {{"--config", bad}, 1, "varnax-server: " + bad + ":3: the target must be"},
        {{"--config", dir.file("missing.conf")},
         1,
         "varnax-server: " + dir.file("missing.conf") + ": cannot be read: No such file"},
        {{}, 2, "varnax-server: give either --config FILE or --demo"},
        {{"--demo", "--config", bad}, 2, "varnax-server: give either"},
        {{"--demo", "--listen", "nowhere"}, 2, "varnax-server: --listen needs HOST:PORT"},
        {{"--demo", "--protocol-version", "x"},
         2,
         "varnax-server: --protocol-version needs a number"},
        {{"--demo", "--frobnicate"}, 2, "varnax-server: unknown option \"--frobnicate\""},
        {{"--demo", "--listen"}, 2, "varnax-server: --listen needs a value: HOST:PORT"},
        {{"--demo", "--listen", "127.0.0.256:0"},
         1,
         "varnax-server: cannot listen on 127.0.0.256:0"},
    };
    for (const CASE& c : cases) {
        RUN r = run_server(c.args);
        std::string label = c.args.empty() ? "(no options)" : c.args.back();
        EXPECT_EQ(r.status, exited(c.status)) << label << ": " << r.err;
        EXPECT_EQ(r.err.rfind(c.message, 0), 0u) << label << ": " << r.err;
    }
}

class RunningServer : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(
            m_server.start("cable \"c 1\"\ndevice 1\nuart 0 echo\nuart 1 echo\n", {"--quiet"}))
            << m_server.error();
        m_server.use_in_this_process();
    }
    SIM_SERVER m_server;
};

TEST_F(RunningServer, DropsAConnectionThatDoesNotGreetAtOnce) {
    RAW_CLIENT http(m_server.address());
    ASSERT_TRUE(http.send_bytes("GET / HTTP/1.1\r\nHost: x\r\n\r\n"));
    std::string got;
    EXPECT_TRUE(http.read_to_end(&got)) << "the server kept the connection";
    EXPECT_EQ(got, greeting()) << "the server answered more than its greeting";
    OPEN_LINK link("c 1", 1, 0);
    EXPECT_TRUE(link) << last_open_error();
}

TEST_F(RunningServer, DropsAClientThatBreaksTheRulesAndServesTheOthers) {
    OPEN_LINK good("c 1", 1, 0, "good");
    ASSERT_TRUE(good) << last_open_error();
    struct CASE {
        const char* what;
        std::string after_open;  // sent after a valid open of instance 1
    } cases[] = {
        {"data beyond the granted room",
         [] {
             std::string s;
             varnax::encode_data(&s, std::string(65, 'x').data(), 65);
             return s;
         }()},
        {"a second open",
         [] {
             std::string s;
             varnax::encode_open(&s, varnax::OPEN_REQUEST{});
             return s;
         }()},
        {"an unknown frame", std::string("\x63\x00\x00\x00", 4)},
        {"a credit of zero", std::string("\x05\x00\x04\x00\x00\x00\x00\x00", 8)},
    };
    for (const CASE& c : cases) {
        RAW_CLIENT bad(m_server.address());
        std::string hello = greeting();
        varnax::OPEN_REQUEST request;
        request.has_cable = true;
        request.cable = "c 1";
        request.device = 1;
        request.instance = 1;
        request.app_name = "bad";
        varnax::encode_open(&hello, request);
        ASSERT_TRUE(bad.send_bytes(hello + c.after_open)) << c.what;
        std::string got;
        EXPECT_TRUE(bad.read_to_end(&got)) << c.what << ": the server kept the connection";
        // The other client's link goes on, and the JTAG UART the bad client had is free.
        ASSERT_TRUE(write_all(good.get(), "ok?")) << c.what;
        EXPECT_EQ(read_bytes(good.get(), 3).bytes, "ok?") << c.what;
        OPEN_LINK freed("c 1", 1, 1);
        EXPECT_TRUE(freed) << c.what << ": " << last_open_error();
    }
}

TEST_F(RunningServer, AnswersEveryFaultCommand) {
    OPEN_LINK link("c 1", 1, 0);
    ASSERT_TRUE(link) << last_open_error();
    struct CASE {
        const char* line;
        const char* reply;
    } cases[] = {
        {"", "error: commands:"},
        {"frobnicate", "error: commands:"},
        {"unplug nosuch", "error: no cable \"nosuch\""},
        {"unplug c 1", "error: usage: unplug CABLE"},
        {"drop \"c 1\" 1", "error: usage: drop CABLE DEVICE INSTANCE"},
        {"drop \"c 1\" x 0", "error: usage: drop CABLE DEVICE INSTANCE"},
        {"drop \"c 1\" 1 7", "error: no JTAG UART \"c 1\" 1 7"},
        {"interrupt \"c 1\" 1 1", "error: nobody has that JTAG UART open"},
        {"say \"unclosed", "error: unclosed quote"},
        {"plug \"c 1\"", "ok"},
        {"power-on \"c 1\"", "ok"},
        {"interrupt \"c 1\" 1 0", "ok"},
        {"drop \"c 1\" 1 0", "ok"},
        {"unplug \"c 1\"", "ok"},
        // A line typed at a Windows console ends in CR LF.
        {"plug \"c 1\"\r", "ok"},
    };
    for (const CASE& c : cases) {
        std::string reply = m_server.command(c.line);
        EXPECT_EQ(reply.rfind(c.reply, 0), 0u) << c.line << " -> " << reply;
    }
}

// Asked to stop (SIGTERM; Ctrl-C on Windows) or killed outright, the server leaves no target
// program behind.
TEST(ServerStop, EndsItsTargetProgramsOnSigtermAndWhenKilled) {
    for (bool killed : {false, true}) {
        SCOPED_TRACE(killed ? "killed" : "stopped");
        SIM_SERVER server;
        ASSERT_TRUE(server.start_demo({"--quiet"})) << server.error();
        std::vector<int> targets = server.target_programs();
        ASSERT_EQ(targets.size(), 1u);
        if (killed)
            server.kill_now();
        else
            EXPECT_TRUE(server.stop()) << "the server did not end cleanly: " << server.log();
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (kill(targets[0], 0) == 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_NE(kill(targets[0], 0), 0) << "the demo target outlived the server";
    }
}

// A server started for one terminal (demo.cmd) waits for it however long it takes to come, and
// stops once the last of its clients has gone.
TEST(ServerStop, StopsWhenUnusedOnlyAfterItsClientsHaveGone) {
    CHILD_SETUP setup;
    setup.input = CHILD_SETUP::STREAM::null;
    CHILD_PROCESS server(server_program(),
                         {"--demo", "--listen", "127.0.0.1:0", "--quiet", "--stop-when-unused"},
                         setup);
    std::string listening;
    ASSERT_TRUE(server.next_line(&listening, std::chrono::seconds(10))) << server.err();
    ASSERT_EQ(listening.rfind("listening ", 0), 0u) << listening;
    setenv("JTAG_VARNAX_SERVER", listening.substr(10).c_str(), 1);
    EXPECT_FALSE(server.ends_within(std::chrono::milliseconds(1500))) << "it stopped unused";
    {
        OPEN_LINK link(nullptr, -1, -1);
        ASSERT_TRUE(link) << last_open_error();
        EXPECT_NE(read_until_text(link.get(), "help").bytes.find("ready"), std::string::npos);
        EXPECT_FALSE(server.ends_within(std::chrono::milliseconds(500))) << "it left its client";
    }
    EXPECT_EQ(server.wait_exit(std::chrono::seconds(10)), exited(0));
}

// Bytes a process has written so far, from /proc.
long written_by(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/io");
    std::string key;
    long value = -1;
    while (in >> key >> value)
        if (key == "wchar:") return value;
    return -1;
}

TEST(DemoTarget, IsHeldBackWhileTheHostDoesNotRead) {
    SIM_SERVER server;
    ASSERT_TRUE(server.start_demo({"--quiet"})) << server.error();
    server.use_in_this_process();
    std::vector<int> targets = server.target_programs();
    ASSERT_EQ(targets.size(), 1u);
    OPEN_LINK link(nullptr, -1, -1);
    ASSERT_TRUE(link) << last_open_error();
    ASSERT_TRUE(write_all(link.get(), "flood 8192\r"));  // 8 MiB, and nobody reads them
    // Wait until the program's output stops growing: its writes block.
    long last = -1;
    int steady = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (steady < 5 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        long now = written_by(targets[0]);
        steady = now == last ? steady + 1 : 0;
        last = now;
    }
    EXPECT_EQ(steady, 5) << "the target kept writing";
    EXPECT_GT(last, 0);
    EXPECT_LT(last, 1L << 20) << "the target was not held back";
    // Reading again lets it go on.
    READ_RESULT r = read_until_text(link.get(), "flood line 00001000");
    EXPECT_NE(r.bytes.find("flood line 00001000"), std::string::npos);
}

TEST(DemoTarget, LeavesTheServerIdleAfterItEnded) {
    SIM_SERVER server;
    ASSERT_TRUE(server.start_demo({"--quiet"})) << server.error();
    server.use_in_this_process();
    {
        OPEN_LINK link(nullptr, -1, -1);
        ASSERT_TRUE(link) << last_open_error();
        ASSERT_TRUE(write_all(link.get(), "hello\rbye\r"));
        EXPECT_TRUE(read_until_lost(link.get()).lost);
    }
    // An idle server sleeps in poll; one that spins uses about a second of CPU per second.
    long before = server.cpu_ticks();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    long used = server.cpu_ticks() - before;
    EXPECT_LT(used, sysconf(_SC_CLK_TCK) / 4) << "the server kept busy with nothing to do";
}

TEST(DemoTarget, EchoesAndAnswersCommands) {
    SIM_SERVER server;
    ASSERT_TRUE(server.start_demo({"--quiet"})) << server.error();
    server.use_in_this_process();
    OPEN_LINK link(nullptr, -1, -1);
    ASSERT_TRUE(link) << last_open_error();
    EXPECT_NE(read_until_text(link.get(), "help").bytes.find("ready"), std::string::npos);
    struct CASE {
        const char* typed;
        const char* shown;
    } cases[] = {
        {"hi\r", "hi\r\nunknown command: hi\r\n"},
        {"helq\x7fp\r", "helq\b \bp\r\ncommands:"},
        {"flood 2\r", "flood 2\r\nflood line 00000000"},
    };
    for (const CASE& c : cases) {
        ASSERT_TRUE(write_all(link.get(), c.typed));
        READ_RESULT r = read_until_text(link.get(), c.shown);
        EXPECT_NE(r.bytes.find(c.shown), std::string::npos) << c.typed << " gave " << r.bytes;
    }
    READ_RESULT flood = read_until_text(link.get(), "flood line 00000031");
    EXPECT_NE(flood.bytes.find("flood line 00000031"), std::string::npos);
}

TEST(DemoTarget, FloodsWholeLinesOfText) {
    SIM_SERVER server;
    ASSERT_TRUE(server.start_demo({"--quiet"})) << server.error();
    server.use_in_this_process();
    OPEN_LINK link(nullptr, -1, -1);
    ASSERT_TRUE(link) << last_open_error();
    ASSERT_TRUE(write_all(link.get(), "flood 1\r"));
    READ_RESULT r = read_until_text(link.get(), "flood line 00000015");
    std::size_t first = r.bytes.find("flood line 00000000");
    ASSERT_NE(first, std::string::npos) << r.bytes;
    r.bytes += read_bytes(link.get(), first + 1024 - r.bytes.size()).bytes;
    ASSERT_EQ(r.bytes.size(), first + 1024);
    // One KiB is sixteen lines of 64 printable bytes, each ending in CR LF.
    for (int line = 0; line < 16; ++line) {
        std::string text = r.bytes.substr(first + 64 * std::size_t(line), 64);
        char number[16];
        std::snprintf(number, sizeof number, "%08d", line);
        EXPECT_EQ(text.substr(0, 19), std::string("flood line ") + number) << text;
        EXPECT_EQ(text.substr(62), "\r\n") << text;
        for (char c : text.substr(0, 62))
            EXPECT_TRUE(c >= 0x20 && c < 0x7F) << line << ": " << text;
    }
}

}  // namespace
