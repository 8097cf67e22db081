// The console channel's read and write with standard input and output redirected, each case in
// a child process of its own (the channel works on the process's descriptors 0 and 1).
#include "comm/console-io.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "args/process-args.h"
#include "comm/pause.h"
#include "platform/process.h"
#include "tests/support/process-harness.h"
#include "tests/support/temp-dir.h"

namespace {

using namespace std::chrono_literals;

struct CHILD_RUN {
    std::string transcript;  // what the body returned
    std::string out;         // the child's standard output
    std::string errors;      // the child's standard error
    EXIT_STATUS status;
};

int thread_count() {
    int count = 0;
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) return -1;
    while (dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] != '.') ++count;
    }
    closedir(tasks);
    return count;
}

// The number of threads before the reader starts. A sanitizer may start a helper thread with
// the first thread of the process, so one thread comes and goes first.
int threads_before_reader() {
    std::thread([] {}).join();
    return thread_count();
}

// Waits until the process is back to the given number of threads (the reader has stopped).
bool wait_threads(int expected) {
    auto end = std::chrono::steady_clock::now() + 10s;
    while (thread_count() != expected) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// Runs body in a child whose standard input is input and whose standard output and error are
// collected.
CHILD_RUN run_child(int input, const std::function<std::string()>& body) {
    CHILD_SETUP setup;
    setup.input = CHILD_SETUP::STREAM::descriptor;
    setup.input_descriptor = input;
    CHILD_PROCESS child(body, setup);
    CHILD_RUN run;
    run.status = child.wait_exit(20s);
    if (run.status == not_ended) ADD_FAILURE() << "the child did not finish";
    run.transcript = child.report();
    run.out = child.out();
    run.errors = child.err();
    return run;
}

// Starts the reader, lets it reach the end of its input, then reads with count 64 four times
// into a larger buffer: the counts, the bytes delivered, and whether any read wrote past them.
std::string read_to_end() {
    int threads = threads_before_reader();
    COMM_CONSOLE console;
    char buffer[80];
    std::string transcript;
    transcript += std::to_string(console.read(buffer, 0));  // starts the reader
    if (!wait_threads(threads)) return "the reader did not stop";
    std::string data;
    bool untouched = true;
    for (int i = 0; i < 4; ++i) {
        std::memset(buffer, 0xAA, sizeof buffer);
        int got = console.read(buffer, 64);
        transcript += " " + std::to_string(got);
        if (got > 0) data.append(buffer, static_cast<size_t>(got));
        for (size_t at = got > 0 ? static_cast<size_t>(got) : 0; at < sizeof buffer; ++at) {
            if (static_cast<unsigned char>(buffer[at]) != 0xAA) untouched = false;
        }
    }
    // Reads after the end start no new reader.
    if (thread_count() != threads) transcript += " reader restarted";
    transcript += untouched ? " untouched " : " overwritten ";
    return transcript + data;
}

std::string hundred_bytes() {
    std::string bytes;
    for (int i = 0; i < 100; ++i) bytes.push_back(static_cast<char>('A' + i % 26));
    bytes[40] = '\0';  // a zero byte is data like any other
    return bytes;
}

enum class Source { file, dev_null, pipe_closed, socket_closed };

TEST(ConsoleRead, DeliversWhatCameBeforeTheEndOfInput) {
    struct CASE {
        const char* name;
        Source source;
        std::string input;
        std::string counts;  // the count-0 read, then four reads of 64
        const char* errors;
    } cases[] = {
        {"file of 100 bytes", Source::file, hundred_bytes(), "0 64 36 0 0", ""},
        {"empty file", Source::file, "", "0 0 0 0 0", ""},
        {"/dev/null", Source::dev_null, "", "0 0 0 0 0", ""},
        // The end of a pipe or socket is the end of input, not a failure.
        {"pipe closed after 3 bytes", Source::pipe_closed, "abc", "0 3 0 0 0", ""},
        {"pipe closed after 100 bytes", Source::pipe_closed, hundred_bytes(), "0 64 36 0 0", ""},
        {"socket closed after 3 bytes", Source::socket_closed, "abc", "0 3 0 0 0", ""},
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.name);
        TEMP_DIR folder;
        int input = -1;
        if (c.source == Source::file) {
            std::string path = folder.file("input");
            int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0600);
            ASSERT_EQ(::write(fd, c.input.data(), c.input.size()),
                      static_cast<ssize_t>(c.input.size()));
            close(fd);
            input = open(path.c_str(), O_RDONLY);
        } else if (c.source == Source::dev_null) {
            input = open("/dev/null", O_RDONLY);
        } else {
            int ends[2];
            if (c.source == Source::pipe_closed) {
                ASSERT_EQ(pipe(ends), 0);
            } else {
                ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
            }
            ASSERT_EQ(::write(ends[1], c.input.data(), c.input.size()),
                      static_cast<ssize_t>(c.input.size()));
            close(ends[1]);  // the writer goes away
            input = ends[0];
        }
        ASSERT_GE(input, 0);
        CHILD_RUN run = run_child(input, read_to_end);
        close(input);
        EXPECT_EQ(run.transcript, c.counts + " untouched " + c.input);
        EXPECT_EQ(run.errors, c.errors);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.status, exited(0));
    }
}

TEST(ConsoleRead, NeverWaitsAndTakesAtMostCount) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    CHILD_RUN run = run_child(ends[0], [] {
        COMM_CONSOLE console;
        char buffer[8];
        // The writer is still there and has sent nothing: no wait, nothing delivered.
        std::string transcript = std::to_string(console.read(buffer, 8));
        transcript += " " + std::to_string(console.read(buffer, 8));
        return transcript;
    });
    close(ends[0]);
    close(ends[1]);
    EXPECT_EQ(run.transcript, "0 0");
    EXPECT_EQ(run.errors, "");

    TEMP_DIR folder;
    std::string path = folder.file("input");
    int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_EQ(::write(fd, "hello", 5), 5);
    close(fd);
    int input = open(path.c_str(), O_RDONLY);
    run = run_child(input, [] {
        int threads = threads_before_reader();
        COMM_CONSOLE console;
        char buffer[8] = {};
        console.read(buffer, 0);
        if (!wait_threads(threads)) return std::string("the reader did not stop");
        std::string transcript = std::to_string(console.read(buffer, 2)) + " ";
        transcript.append(buffer, 2);
        int got = console.read(buffer, 8);
        transcript += " " + std::to_string(got) + " ";
        transcript.append(buffer, got > 0 ? static_cast<size_t>(got) : 0);
        return transcript;
    });
    close(input);
    EXPECT_EQ(run.transcript, "2 he 3 llo");
}

std::vector<std::string> thread_ids() {
    std::vector<std::string> ids;
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) return ids;
    while (dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] != '.') ids.emplace_back(entry->d_name);
    }
    closedir(tasks);
    return ids;
}

// Whether the thread sleeps (state S in its stat line).
bool sleeping(const std::string& id) {
    std::FILE* stat = std::fopen(("/proc/self/task/" + id + "/stat").c_str(), "r");
    if (stat == nullptr) return false;
    char line[512] = {};
    bool result =
        std::fgets(line, sizeof line, stat) != nullptr && std::strstr(line, ") S ") != nullptr;
    std::fclose(stat);
    return result;
}

// The relay's pause after an empty read ends when a key comes: the reader wakes it.
TEST(ConsoleRead, AKeyEndsTheRelaysPause) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_EQ(::write(ends[1], "k", 1), 1);
    CHILD_RUN run = run_child(ends[0], [] {
        pauses_start();
        COMM_CONSOLE console;
        char buffer[8];
        console.read(buffer, 0);  // starts the reader
        // A lost wake would run into the 10-second deadline and end as "elapsed".
        PAUSE_END end = pause_us(10 * 1000000, true);
        std::string transcript = end == PAUSE_END::key_typed ? "key" : "no key";
        int got = console.read(buffer, 8);
        return transcript + " " + std::string(buffer, got > 0 ? static_cast<size_t>(got) : 0);
    });
    close(ends[0]);
    close(ends[1]);
    EXPECT_EQ(run.transcript, "key k");
}

TEST(ConsoleRead, StopsGatheringInputNobodyTakes) {
    int input = open("/dev/zero", O_RDONLY);
    ASSERT_GE(input, 0);
    CHILD_RUN run = run_child(input, [] {
        threads_before_reader();
        std::vector<std::string> before = thread_ids();
        COMM_CONSOLE console;
        char buffer[64];
        console.read(buffer, 0);
        std::string reader;
        for (const std::string& id : thread_ids()) {
            if (std::find(before.begin(), before.end(), id) == before.end()) reader = id;
        }
        // Reading /dev/zero never waits: a sleeping reader is one that stopped for room.
        auto end = std::chrono::steady_clock::now() + 10s;
        while (!sleeping(reader)) {
            if (std::chrono::steady_clock::now() > end) return std::string("still gathering");
            std::this_thread::sleep_for(1ms);
        }
        return std::to_string(console.read(buffer, 64));
    });
    close(input);
    EXPECT_EQ(run.transcript, "64");
    EXPECT_EQ(run.errors, "");
}

TEST(ConsoleChannel, LeavesRedirectedInputAloneAndOutputUnbuffered) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    CHILD_RUN run = run_child(ends[0], [] {
        settings.dump_flags[static_cast<unsigned char>('i')] = 1;
        COMM_CONSOLE console;
        // The child ends with _exit: only unbuffered output gets out.
        std::fputs("unbuffered", stdout);
        return std::string(active_console == &console ? "active" : "inactive");
    });
    close(ends[0]);
    close(ends[1]);
    // No switch message for input that is not a terminal.
    EXPECT_EQ(run.out, "unbuffered");
    EXPECT_EQ(run.transcript, "active");
    EXPECT_EQ(run.errors, "");
}

TEST(ConsoleWrite, ReturnsWhatStandardOutputTookOrMinusOne) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    CHILD_RUN run = run_child(ends[0], [] {
        COMM_CONSOLE console;
        std::string transcript = std::to_string(console.write("a\0b", 3));
        transcript += " " + std::to_string(console.write("", 0));
        // A reader that has gone: with SIGPIPE ignored, the write fails instead of killing us.
        int gone[2];
        if (pipe(gone) != 0) return std::string("pipe failed");
        close(gone[0]);
        process_ignore_broken_pipe();
        int saved = dup(1);
        dup2(gone[1], 1);
        transcript += " " + std::to_string(console.write("x", 1));
        // A full non-blocking output takes nothing, after a pause: the relay offers the
        // bytes again at once and must not spin.
        int full[2];
        if (pipe(full) != 0) return std::string("pipe failed");
        fcntl(full[1], F_SETFL, O_NONBLOCK);
        while (::write(full[1], "xxxxxxxxxxxxxxxx", 16) > 0) {
        }
        dup2(full[1], 1);
        auto start = std::chrono::steady_clock::now();
        transcript += " " + std::to_string(console.write("x", 1));
        transcript += std::chrono::steady_clock::now() - start >= 50ms ? " paused" : " spun";
        dup2(saved, 1);
        return transcript;
    });
    close(ends[0]);
    close(ends[1]);
    EXPECT_EQ(run.transcript, "3 0 -1 0 paused");
    EXPECT_EQ(run.out, std::string("a\0b", 3));
    EXPECT_EQ(run.errors, "");
}

}  // namespace
