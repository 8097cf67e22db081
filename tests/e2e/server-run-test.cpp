// The running server as a user meets it: a job of an interactive shell sent to the background
// and brought back, stopped by Ctrl-C or SIGTERM, and a target program that cannot start.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/jtag_varnax.h"
#include "tests/support/process-harness.h"
#include "tests/support/sim-server.h"
#include "tests/support/temp-dir.h"

namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

// The server as a job of a shell. A stand-in shell, a copy of this test on the harness's
// pseudo-terminal, leads the session and holds the front of the terminal; it starts the server
// in a process group of its own, in the background, on the same terminal. shell_reads() has
// the shell take the lines typed so far; to_front() does what fg does. The shell's report says
// how the server ended.
class SERVER_JOB {
public:
    explicit SERVER_JOB(const std::vector<std::string>& arguments) {
        int control[2];
        if (pipe2(control, O_CLOEXEC) != 0) {
            ADD_FAILURE() << "a pipe for the stand-in shell: " << std::strerror(errno);
            return;
        }
        std::vector<std::string> argv{VARNAX_SERVER_PATH};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        int commands = control[0];
        m_shell = std::make_unique<CHILD_PROCESS>(
            [argv, commands] { return run_shell(argv, commands); }, on_terminal());
        close(control[0]);
        m_control = control[1];
    }
    ~SERVER_JOB() {
        if (m_control >= 0) close(m_control);
    }

    bool wait_for_output(const std::string& text, std::chrono::milliseconds deadline) {
        return m_shell->wait_for_output(text, deadline);
    }
    const std::string& output() const { return m_shell->out(); }
    // The shell's one child; it dies with the shell.
    int server() const {
        std::vector<int> jobs = children_of(m_shell->pid());
        return jobs.size() == 1 ? jobs[0] : -1;
    }
    void type(const std::string& keys) { EXPECT_TRUE(m_shell->write_input(keys, 5s)); }
    void to_front() { EXPECT_EQ(write(m_control, "f", 1), 1); }
    void shell_reads() { EXPECT_EQ(write(m_control, "r", 1), 1); }

    // The server's run state from /proc: 'T' when it is stopped.
    char state() const {
        std::ifstream in("/proc/" + std::to_string(server()) + "/stat");
        std::string line;
        std::getline(in, line);
        std::size_t name_end = line.rfind(')');
        return name_end == std::string::npos || name_end + 2 >= line.size() ? '?'
                                                                            : line[name_end + 2];
    }

    // How the server ended, as the shell saw it; "did not end" when it has not in time.
    std::string wait_exit(std::chrono::milliseconds deadline) {
        if (m_shell->wait_exit(deadline) != exited(0)) return describe(not_ended);
        return m_shell->report();
    }

private:
    static std::string run_shell(std::vector<std::string> arguments, int commands) {
        std::vector<char*> argv;
        for (std::string& a : arguments) argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_t server = fork();
        if (server == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);  // the harness ends the shell, and so the job
            setpgid(0, 0);
            execv(argv[0], argv.data());
            _exit(127);
        }
        setpgid(server, server);
        for (;;) {
            int status = 0;
            if (waitpid(server, &status, WNOHANG) == server)
                return describe(WIFSIGNALED(status) ? killed_by(WTERMSIG(status))
                                                    : exited(WEXITSTATUS(status)));
            pollfd p{commands, POLLIN, 0};
            char c = 0;
            if (poll(&p, 1, 10) <= 0 || read(commands, &c, 1) != 1) continue;
            if (c == 'f') {
                tcsetpgrp(STDIN_FILENO, server);
                kill(-server, SIGCONT);
            }
            // The shell reads what was typed, as it does while it is in front.
            pollfd typed{STDIN_FILENO, POLLIN, 0};
            char line[256];
            while (c == 'r' && poll(&typed, 1, 0) == 1)
                (void)!read(STDIN_FILENO, line, sizeof line);
        }
    }

    std::unique_ptr<CHILD_PROCESS> m_shell;
    int m_control = -1;
};

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
        EXPECT_EQ(m_job->wait_exit(10s), describe(exited(0)));
        for (int target : m_targets)
            EXPECT_NE(kill(target, 0), 0) << "target " << target << " outlived the server";
    }
    TEMP_DIR m_dir;
    std::string m_config = m_dir.file("b.conf");
    std::unique_ptr<SERVER_JOB> m_job;
    std::vector<int> m_targets;
};

TEST_F(ServerJob, LeavesTheTerminalAloneInTheBackgroundAndTakesCommandsInFront) {
    // A line typed while the server is in the background is not the server's to read: it
    // neither reads it nor stops on it, over more than one pass of its one-second loop.
    m_job->type("unplug c\n");
    for (auto end = clock_type::now() + 1500ms; clock_type::now() < end;) {
        ASSERT_NE(m_job->state(), 'T') << "the server was stopped by reading the terminal";
        std::this_thread::sleep_for(20ms);
    }
    // In front, it reads what is there (the shell here left the line alone) and what comes.
    m_job->to_front();
    m_job->type("unplug nosuch\n");
    EXPECT_TRUE(m_job->wait_for_output("ok\r\n", 5s));
    EXPECT_TRUE(m_job->wait_for_output("error: no cable \"nosuch\"", 5s));
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
    // The system's own words (wine's for Windows).
    const std::string why = "cannot start no-such-program-here: " +
                            std::string(server_is_native() ? "No such file or directory"
                                                           : "File not found");
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_EQ(jtagvarnax_open("c", 1, 0, "run-test"), nullptr);
        const char* text = nullptr;
        EXPECT_EQ(jtagvarnax_get_error(&text), JTAGVARNAX_BOARD_UNPOWERED);
        EXPECT_EQ(text, why);
    }
    EXPECT_NE(server.log().find(why), std::string::npos)
        << server.log();
}

}  // namespace
