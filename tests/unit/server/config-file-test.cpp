// Tests of reading the board configuration from files that misbehave: missing, a folder, a
// line that never ends.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "server/board-config.h"
#include "tests/support/temp-dir.h"

namespace {

// A configuration file in a fresh folder.
class ConfigFile : public ::testing::Test {
protected:
    bool load(std::string* error) {
        BOARD_CONFIG config;
        return config_load(m_path, "demo", &config, error);
    }
    TEMP_DIR m_dir;
    std::string m_path = m_dir.file("boards.conf");
};

TEST_F(ConfigFile, SaysWhyItCannotBeRead) {
    std::string error;
    EXPECT_FALSE(load(&error));
    EXPECT_EQ(error, m_path + ": cannot be read: No such file or directory");
    m_path = m_dir.path();
    EXPECT_FALSE(load(&error));
    EXPECT_EQ(error, m_path + ": cannot be read: Is a directory");
}

TEST_F(ConfigFile, RefusesALongLineWithoutWaitingForItsEnd) {
    // The writer keeps the line going until the reader has given up, so a reader that
    // waited for the end of the line would still be waiting when the writer stops.
    ASSERT_EQ(mkfifo(m_path.c_str(), 0600), 0);
    signal(SIGPIPE, SIG_IGN);  // the reader may go while a write is on its way
    std::atomic<bool> done{false};
    bool writer_gave_up = false;
    std::thread writer([&] {
        int out = open(m_path.c_str(), O_WRONLY);
        if (out < 0) return;
        std::string chunk = "cable c\n# " + std::string(1024, 'x');
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!done && write(out, chunk.data(), chunk.size()) > 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                writer_gave_up = true;
                break;
            }
            chunk.assign(1024, 'x');
        }
        (void)!write(out, "\n", 1);
        close(out);
    });
    std::string error;
    bool loaded = load(&error);
    done = true;
    writer.join();
    EXPECT_FALSE(loaded);
    EXPECT_EQ(error, m_path + ":2: the line is longer than 4096 bytes");
    EXPECT_FALSE(writer_gave_up) << "the reader waited for the end of the line";
}

}  // namespace
