// Tests of the profiling capture: display and "gmon.out" for streams cut into blocks anyhow.
#include "gmon/write-gmon.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "args/process-args.h"
#include "tests/support/abort-status.h"
#include "tests/support/temp-dir.h"
#include "tests/unit/gmon/gmon-model.h"

namespace {

const std::string marker = "**gmon.out data follows**\n";

std::string le32(uint32_t value) {
    std::string bytes;
    for (int i = 0; i < 4; ++i) bytes += static_cast<char>((value >> (8 * i)) & 0xff);
    return bytes;
}

std::string stream(uint32_t length, const std::string& data) {
    return marker + le32(length) + data;
}

struct CAPTURED {
    std::string shown;
    std::optional<std::string> file;  // none: no "gmon.out"
};

class ProfileCapture : public ::testing::Test {
protected:
    void SetUp() override {
        m_home = std::filesystem::current_path();
        std::filesystem::current_path(m_dir.path());
        settings = SETTINGS{};
        settings.write_gmon = 1;
        gmon_reset_for_tests();
    }
    void TearDown() override {
        gmon_reset_for_tests();
        settings = SETTINGS{};
        std::filesystem::current_path(m_home);
    }

    // One filter_gmon call per block, each block in a buffer of exactly its size so that the
    // address sanitizer sees any touch past it. Closes the capture to read the file.
    CAPTURED run(const std::vector<std::string>& blocks) {
        CAPTURED out;
        for (const std::string& block : blocks) {
            std::vector<char> buffer(block.begin(), block.end());
            int count = static_cast<int>(buffer.size());
            int shown = filter_gmon(buffer.data(), count);
            EXPECT_GE(shown, 0);
            EXPECT_LE(shown, count);
            out.shown.append(buffer.data(), static_cast<size_t>(std::max(0, shown)));
        }
        gmon_reset_for_tests();
        out.file = read_file("gmon.out");
        return out;
    }

    CAPTURED run_cut(const std::string& s, const std::vector<size_t>& starts) {
        std::vector<std::string> blocks;
        for (size_t i = 0; i < starts.size(); ++i) {
            size_t end = i + 1 < starts.size() ? starts[i + 1] : s.size();
            blocks.push_back(s.substr(starts[i], end - starts[i]));
        }
        return run(blocks);
    }

    // The real capture and the reference must agree on the display and the file.
    void expect_model(const std::string& s, const std::vector<size_t>& starts) {
        std::filesystem::remove("gmon.out");
        CAPTURED real = run_cut(s, starts);
        GMON_MODEL_RESULT model = gmon_model(s, starts);
        std::string cuts;
        for (size_t p : starts) cuts += std::to_string(p) + " ";
        EXPECT_EQ(real.shown, model.shown) << "blocks start at " << cuts;
        EXPECT_EQ(real.file.has_value(), model.file_opened) << "blocks start at " << cuts;
        if (real.file && model.file_opened) {
            EXPECT_EQ(*real.file, model.file) << "blocks start at " << cuts;
        }
    }

    static std::optional<std::string> read_file(const char* name) {
        std::ifstream in(name, std::ios::binary);
        if (!in) return std::nullopt;
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    TEMP_DIR m_dir;
    std::filesystem::path m_home;
};

TEST_F(ProfileCapture, HandWorkedStreams) {
    const std::string crlf_marker = "**gmon.out data follows**\r\n";
    struct CASE {
        const char* what;
        std::vector<std::string> blocks;
        std::string shown;
        std::optional<std::string> file;
    } cases[] = {
        {"one block with text on both sides",
         {"abc" + stream(3, "xyz") + "def"},
         "abc" + marker + "def",
         "xyz"},
        {"marker ends a block, length starts the next",
         {"ab" + marker, le32(2) + "\x04\x04" + "cd"},
         "ab" + marker + "cd",
         "\x04\x04"},
        {"length split 1+1+1+1, above one byte",
         {marker + le32(258).substr(0, 1), le32(258).substr(1, 1), le32(258).substr(2, 1),
          le32(258).substr(3) + std::string(58, 'd'), std::string(200, 'd') + "tail"},
         marker + "tail",
         std::string(258, 'd')},
        {"a carried '*' that fails hides the marker behind it",
         {"ab*", stream(1, "x")},
         "ab*" + stream(1, "x"),
         std::nullopt},
        {"the same bytes in one block are found", {"ab*" + stream(1, "x")}, "ab*" + marker, "x"},
        {"a marker ending in CR LF is plain text",
         {crlf_marker + le32(1) + "x"},
         crlf_marker + le32(1) + "x",
         std::nullopt},
        {"bytes behind the data are not searched",
         {stream(1, "x") + stream(1, "y")},
         marker + stream(1, "y"),
         "x"},
        {"a marker begun behind the data stays unseen in the next block",
         {stream(1, "x") + "**gmon", marker.substr(6) + le32(1) + "y"},
         marker + marker + le32(1) + "y",
         "x"},
        {"a marker at the start of the next block is found",
         {stream(1, "x"), stream(1, "y") + "!"},
         marker + marker + "!",
         "y"},
        {"zero length: no file, the rest of the block unsearched, the next searched",
         {stream(0, "") + stream(1, "a"), stream(1, "b")},
         marker + stream(1, "a") + marker,
         "b"},
        {"negative length: later markers are shown, never acted on",
         {stream(0x80000000u, "ab"), stream(1, "c")},
         marker + "ab" + stream(1, "c"),
         std::nullopt},
        {"a second stream replaces the first file",
         {stream(3, "one") + "|", stream(1, "2")},
         marker + "|" + marker,
         "2"},
        {"a stream cut short keeps what came", {stream(10, "abc")}, marker, "abc"},
        {"empty reads between the pieces change nothing",
         {"", marker.substr(0, 5), "", marker.substr(5), "", le32(1), "", "z!"},
         marker + "!",
         "z"},
    };
    for (const CASE& c : cases) {
        std::filesystem::remove("gmon.out");
        CAPTURED got = run(c.blocks);
        EXPECT_EQ(got.shown, c.shown) << c.what;
        EXPECT_EQ(got.file, c.file) << c.what;
        // The reference must know these cases too, or agreeing with it proves little.
        std::string whole;
        std::vector<size_t> starts;
        for (const std::string& block : c.blocks) {
            if (block.empty()) continue;
            starts.push_back(whole.size());
            whole += block;
        }
        GMON_MODEL_RESULT model = gmon_model(whole, starts);
        EXPECT_EQ(model.shown, c.shown) << c.what << " (reference)";
        EXPECT_EQ(model.file_opened ? std::optional<std::string>(model.file) : std::nullopt, c.file)
            << c.what << " (reference)";
    }
}

TEST_F(ProfileCapture, OffLeavesBlocksAndFilesAlone) {
    settings.write_gmon = 0;
    CAPTURED got = run({"abc" + stream(3, "xyz") + "def"});
    EXPECT_EQ(got.shown, "abc" + stream(3, "xyz") + "def");
    EXPECT_FALSE(got.file);
    EXPECT_EQ(gmon_capture.matched, 0);
}

TEST_F(ProfileCapture, ZeroLengthLeavesAnExistingFileUntouched) {
    std::ofstream("gmon.out") << "earlier run";
    CAPTURED got = run({stream(0, "") + "after"});
    EXPECT_EQ(got.shown, marker + "after");
    EXPECT_EQ(got.file, "earlier run");
}

// The reference walks the stream whole; the real capture sees it in pieces. Every single cut,
// and many random cuts into blocks of link size, must give the same display and file.
TEST_F(ProfileCapture, MatchesTheReferenceWhereverTheBlocksAreCut) {
    const std::vector<std::string> streams = {
        "abc" + stream(3, "xyz") + "def",
        "x**gm*" + marker + le32(5) + "\x04" + marker.substr(0, 4) + "tail" + marker.substr(0, 3) +
            stream(0, "") + "after" + "**gmon.out data follows**\r\n" + stream(2, "ok") + "end",
        stream(1, "a") + stream(1, "b") + "-" + stream(70, std::string(70, '\x04')) + "*" +
            stream(1, "c"),
        "***" + stream(0x80000000u, "") + stream(1, "never") + "*",
        std::string(40, '*') + stream(258, std::string(258, 'q')) + "\n",
        stream(200, std::string(200, '\xff')) + "*" + stream(0x8000, ""),
    };
    std::mt19937 random(20260);
    for (const std::string& s : streams) {
        for (size_t cut = 0; cut <= s.size(); ++cut) {
            std::vector<size_t> starts{0};
            if (cut > 0 && cut < s.size()) starts.push_back(cut);
            expect_model(s, starts);
        }
        for (int round = 0; round < 200; ++round) {
            std::vector<size_t> starts{0};
            size_t max_block = 1 + random() % 64;
            for (size_t p = 1 + random() % max_block; p < s.size(); p += 1 + random() % max_block) {
                starts.push_back(p);
            }
            expect_model(s, starts);
        }
        if (HasFailure()) return;
    }
}

using ProfileCaptureDeathTest = ProfileCapture;

// The error line goes to standard output; the child sends it to standard error so that the
// death test sees both lines in the order they are written.
void filter_with_stdout_on_stderr(const std::string& s, int block) {
    std::fflush(stdout);
    dup2(2, 1);
    for (size_t p = 0; p < s.size(); p += block) {
        std::string piece = s.substr(p, block);
        filter_gmon(piece.data(), static_cast<int>(piece.size()));
    }
    gmon_reset_for_tests();
}

TEST_F(ProfileCaptureDeathTest, UnwritableFileEndsTheProcess) {
    std::filesystem::create_directory("gmon.out");
    EXPECT_EXIT(filter_with_stdout_on_stderr(stream(1, "x"), 64),
                died_of_abort,
                "^Error: unable to open gmon\\.out file for writing\n"
                "tarvik-terminal: write-gmon:112: abort\n$");
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full to fill";
    std::filesystem::remove("gmon.out");
    std::filesystem::create_symlink("/dev/full", "gmon.out");
    EXPECT_EXIT(filter_with_stdout_on_stderr(stream(100000, std::string(100000, 'd')), 64),
                died_of_abort,
                "^Error: unable to write 64 byte\\(s\\) to gmon\\.out\n"
                "tarvik-terminal: write-gmon:129: abort\n$");
    // Few enough bytes to stay in the file's buffer: the loss shows only when it is closed.
    EXPECT_EXIT(filter_with_stdout_on_stderr(stream(3, "xyz") + "after", 64),
                died_of_abort,
                "^Error: unable to finish writing gmon\\.out\n"
                "tarvik-terminal: write-gmon:137: abort\n$");
}

}  // namespace
