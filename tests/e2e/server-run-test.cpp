// The running server as a user meets it: a job of an interactive shell sent to the background
// and brought back, stopped by Ctrl-C or SIGTERM, and a target program that cannot start.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/jtag_varnax.h"
#include "tests/support/sim-server.h"
#include "tests/support/temp-dir.h"

namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

// The server as a job of a shell on a pseudo-terminal. A stand-in shell leads the session and
// holds the front of the terminal; the server runs in a process group of its own, in the
// background, with the terminal as its standard input and a pipe as its standard output.
// shell_reads() has the shell take the lines typed so far; to_front() does what fg does. The shell
// ends with the server's exit status (128 + the signal when a signal ended it).
class SERVER_JOB {
public:
    explicit SERVER_JOB(const std::vector<std::string>& arguments) {
        int slave = -1, out[2], report[2], control[2];
        if (openpty(&m_master, &slave, nullptr, nullptr, nullptr) != 0 ||
            pipe2(out, O_CLOEXEC) != 0 || pipe2(report, O_CLOEXEC) != 0 ||
            pipe2(control, O_CLOEXEC) != 0) {
            ADD_FAILURE() << "setting up the terminal and pipes";
            return;
        }
        std::vector<std::string> strings{VARNAX_SERVER_PATH};
        strings.insert(strings.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (std::string& s : strings) argv.push_back(s.data());
        argv.push_back(nullptr);
        m_shell = fork();
        if (m_shell == 0) run_shell(slave, out[1], report[1], control[0], argv.data());
        close(slave), close(out[1]), close(report[1]), close(control[0]);
        m_out = out[0];
        m_control = control[1];
        pollfd p{report[0], POLLIN, 0};
        if (poll(&p, 1, 5000) != 1 ||
            read(report[0], &m_server, sizeof m_server) != sizeof m_server)
            ADD_FAILURE() << "the stand-in shell did not start the server";
        close(report[0]);
    }

    ~SERVER_JOB() {
        if (m_shell > 0 && !m_reaped) {
            if (m_server > 0) kill(m_server, SIGKILL);
            kill(m_shell, SIGKILL);
            waitpid(m_shell, nullptr, 0);
        }
        for (int fd : {m_master, m_out, m_control})
            if (fd >= 0) close(fd);
    }

    pid_t server() const { return m_server; }
    void type(const std::string& keys) {
        ASSERT_EQ(write(m_master, keys.data(), keys.size()), ssize_t(keys.size()));
    }
    void to_front() { ASSERT_EQ(write(m_control, "f", 1), 1); }
    void shell_reads() { ASSERT_EQ(write(m_control, "r", 1), 1); }

    // Waits until text is on the server's standard output.
    bool wait_for_output(const std::string& text, std::chrono::milliseconds timeout) {
        auto deadline = clock_type::now() + timeout;
        while (m_output.find(text) == std::string::npos) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
            pollfd p{m_out, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, int(left.count())) <= 0) return false;
            char chunk[1024];
            ssize_t n = read(m_out, chunk, sizeof chunk);
            if (n <= 0) return false;
            m_output.append(chunk, std::size_t(n));
        }
        return true;
    }
    const std::string& output() const { return m_output; }

    // The server's run state from /proc: 'T' when it is stopped.
    char state() const {
        std::ifstream in("/proc/" + std::to_string(m_server) + "/stat");
        std::string line;
        std::getline(in, line);
        std::size_t close_paren = line.rfind(')');
        return close_paren == std::string::npos || close_paren + 2 >= line.size()
                   ? '?'
                   : line[close_paren + 2];
    }

    // The server's exit status, or -1 when it has not ended in time (it is then killed).
    int wait_exit(std::chrono::milliseconds timeout) {
        auto deadline = clock_type::now() + timeout;
        int status = 0;
        while (waitpid(m_shell, &status, WNOHANG) == 0) {
            if (clock_type::now() > deadline) return -1;
            std::this_thread::sleep_for(10ms);
        }
        m_reaped = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    [[noreturn]] static void run_shell(int slave, int out, int report, int control, char** argv) {
        setsid();
        ioctl(slave, TIOCSCTTY, 0);  // the shell's group is now in front of the terminal
        pid_t server = fork();
        if (server == 0) {
            setpgid(0, 0);
            dup2(slave, STDIN_FILENO);
            dup2(out, STDOUT_FILENO);
            execv(argv[0], argv);
            _exit(127);
        }
        setpgid(server, server);
        (void)!write(report, &server, sizeof server);
        for (;;) {
            int status = 0;
            if (waitpid(server, &status, WNOHANG) == server)
                _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
            pollfd p{control, POLLIN, 0};
            char c = 0;
            if (poll(&p, 1, 10) <= 0 || read(control, &c, 1) != 1) continue;
            if (c == 'f') {
                tcsetpgrp(slave, server);
                kill(-server, SIGCONT);
            }
            // The shell reads what was typed, as it does while it is in front.
            pollfd typed{slave, POLLIN, 0};
            char line[256];
            while (c == 'r' && poll(&typed, 1, 0) == 1) (void)!read(slave, line, sizeof line);
        }
    }

    int m_master = -1;
    int m_out = -1;
    int m_control = -1;
    pid_t m_shell = -1;
    pid_t m_server = -1;
    bool m_reaped = false;
    std::string m_output;
};

// The pids of a process's children, from /proc.
std::vector<int> children_of(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    std::vector<int> pids;
    for (int p; in >> p;) pids.push_back(p);
    return pids;
}

// Target programs that do not end on SIGTERM, so the server has to make sure.
const char* stubborn_targets =
    "cable c\n"
    "device 1\n"
    "uart 0 program sh -c \"trap '' TERM; exec sleep 60\"\n"
    "uart 1 program sh -c \"trap '' TERM; exec sleep 60\"\n";

// A server started in the background of a shell, with two target programs.
class ServerJob : public ::testing::Test {
protected:
    void SetUp() override {
        std::ofstream(m_config) << stubborn_targets;
        m_job = std::make_unique<SERVER_JOB>(
            std::vector<std::string>{"--config", m_config, "--listen", "127.0.0.1:0", "--quiet"});
        ASSERT_TRUE(m_job->wait_for_output("listening 127.0.0.1:", 10s)) << m_job->output();
        m_targets = children_of(m_job->server());
        ASSERT_EQ(m_targets.size(), 2u);
    }
    // The server ends by itself with status 0 and takes its target programs with it.
    void expect_clean_end() {
        EXPECT_EQ(m_job->wait_exit(10s), 0);
        for (int target : m_targets)
            EXPECT_NE(kill(target, 0), 0) << "target " << target << " outlived the server";
    }
    TEMP_DIR m_dir;
    std::string m_config = m_dir.file("b.conf");
    std::unique_ptr<SERVER_JOB> m_job;
    std::vector<int> m_targets;
};

TEST_F(ServerJob, LeavesTheTerminalAloneInTheBackgroundAndTakesCommandsInFront) {
    // A line typed at the shell is the shell's: the server neither reads it nor stops on it,
    // over more than one pass of its one-second loop.
    m_job->type("unplug c\n");
    for (auto end = clock_type::now() + 1500ms; clock_type::now() < end;) {
        ASSERT_NE(m_job->state(), 'T') << "the server was stopped by reading the terminal";
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_FALSE(m_job->wait_for_output("ok", 10ms)) << m_job->output();
    m_job->to_front();
    m_job->type("unplug nosuch\n");
    EXPECT_TRUE(m_job->wait_for_output("error: no cable \"nosuch\"\n", 5s)) << m_job->output();
    kill(m_job->server(), SIGTERM);
    expect_clean_end();
}

TEST_F(ServerJob, EndsOnCtrlCAsSoonAsItIsInFront) {
    // The shell takes the line typed at it; a server that had tried to read it in the
    // background would wait in that read once in front, and must still see Ctrl-C.
    m_job->type("ls\n");
    std::this_thread::sleep_for(300ms);
    m_job->shell_reads();
    m_job->to_front();
    std::this_thread::sleep_for(200ms);
    m_job->type("\x03");
    expect_clean_end();
}

TEST(ServerTargets, TellsTheClientThatItsProgramCannotStart) {
    SIM_SERVER server;
    ASSERT_TRUE(server.start("cable c\ndevice 1\nuart 0 program no-such-program-here\n"))
        << server.error();
    server.use_in_this_process();
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_EQ(jtagvarnax_open("c", 1, 0, "run-test"), nullptr);
        const char* text = nullptr;
        EXPECT_EQ(jtagvarnax_get_error(&text), JTAGVARNAX_BOARD_UNPOWERED);
        EXPECT_STREQ(text, "cannot start no-such-program-here: No such file or directory");
    }
    EXPECT_NE(server.log().find("cannot start no-such-program-here: No such file or directory"),
              std::string::npos)
        << server.log();
}

}  // namespace
