// Tests of the relay loop between two fake channels, with a fake clock.
#include "run/relay-loop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "args/process-args.h"
#include "gmon/write-gmon.h"
#include "tests/support/fake-comm.h"
#include "tests/support/temp-dir.h"

namespace {

const std::string ctrl_d = "\x04";

int64_t fake_now = 0;
int clock_reads = 0;
int64_t fake_clock() {
    ++clock_reads;
    return fake_now;
}

class RelayLoop : public ::testing::Test {
protected:
    void SetUp() override {
        settings = SETTINGS{};
        gmon_reset_for_tests();
        interrupted = 0;
        session_start = fake_now = 1000;
        clock_reads = 0;
        relay_clock = fake_clock;
        use(m_board, m_screen);
    }
    void TearDown() override {
        jtag_channel = console_channel = nullptr;
        relay_clock = monotonic_milliseconds;
        interrupted = 0;
        gmon_reset_for_tests();
        settings = SETTINGS{};
    }
    // Once its script is used up, the board reports an error: every test ends.
    static void use(FAKE_COMM& board, FAKE_COMM& screen) {
        board.when_drained(-1);
        jtag_channel = &board;
        console_channel = &screen;
    }
    FAKE_COMM m_board;
    FAKE_COMM m_screen;
};

TEST_F(RelayLoop, CtrlCBeforeTheFirstPassTouchesNoChannel) {
    interrupted = 1;
    EXPECT_EQ(relay(), RELAY_RESULT::ctrl_c_on_host);
    EXPECT_EQ(m_board.calls() + m_screen.calls(), 0);
}

TEST_F(RelayLoop, ShortWritesOfferTheRestFromTheFirstUnwrittenByte) {
    const std::string shown = "0123456789abcdefghijklmnopqrst";
    const std::string typed = "hello world";
    m_screen.feed(typed);
    m_screen.script_write(10);
    m_board.feed(shown);
    for (int i = 0; i < 4; ++i) m_board.feed("");
    m_board.take_at_most(4);
    EXPECT_EQ(relay(), RELAY_RESULT::io_error);
    EXPECT_EQ(m_screen.offers(), (std::vector<std::string>{shown, shown.substr(10)}));
    EXPECT_EQ(m_screen.written(), shown);
    EXPECT_EQ(m_board.offers(), (std::vector<std::string>{typed, "o world", "rld"}));
    EXPECT_EQ(m_board.written(), typed);
}

TEST_F(RelayLoop, ReadsOneBlockOfAtMost64BytesAtATime) {
    const std::string big(150, 'x');
    m_board.feed(big);
    m_screen.take_at_most(50);
    EXPECT_EQ(relay(), RELAY_RESULT::io_error);
    EXPECT_EQ(m_screen.written(), big);
    std::vector<size_t> offered;
    for (const std::string& offer : m_screen.offers()) offered.push_back(offer.size());
    EXPECT_EQ(offered, (std::vector<size_t>{64, 14, 64, 14, 22}));
}

TEST_F(RelayLoop, CtrlDEndsTheRelayOnceTheBytesBeforeItAreShown) {
    struct CASE {
        const char* what;
        std::string block;
        int quit_on_ctrl_d;
        std::string shown;
        RELAY_RESULT result;
        int board_reads;
    } cases[] = {
        {"in the middle", "abc" + ctrl_d + "def", 1, "abc", RELAY_RESULT::ctrl_d_on_remote, 1},
        {"first byte", ctrl_d + "abc", 1, "", RELAY_RESULT::ctrl_d_on_remote, 1},
        {"last byte of a full block", std::string(63, 'z') + ctrl_d, 1, std::string(63, 'z'),
         RELAY_RESULT::ctrl_d_on_remote, 1},
        {"only the first one counts", "a" + ctrl_d + "b" + ctrl_d, 1, "a",
         RELAY_RESULT::ctrl_d_on_remote, 1},
        {"switched off", "ab" + ctrl_d + "cd", 0, "ab" + ctrl_d + "cd", RELAY_RESULT::io_error, 2},
    };
    for (const CASE& c : cases) {
        FAKE_COMM board;
        FAKE_COMM screen;
        use(board, screen);
        settings.quit_on_ctrl_d = c.quit_on_ctrl_d;
        board.feed(c.block);
        screen.take_at_most(1);  // draining takes several passes
        EXPECT_EQ(relay(), c.result) << c.what;
        EXPECT_EQ(screen.written(), c.shown) << c.what;
        EXPECT_EQ(board.reads(), c.board_reads) << c.what;
    }
}

TEST_F(RelayLoop, CtrlDInsideAProfilingStreamIsData) {
    TEMP_DIR dir;
    std::filesystem::path home = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    settings.write_gmon = 1;
    const std::string marker = "**gmon.out data follows**\n";
    m_board.feed(marker + std::string("\x04\0\0\0", 4) + "\x04\x04");
    m_board.feed("\x04\x04" + std::string("more\x04tail"));
    RELAY_RESULT result = relay();
    gmon_reset_for_tests();
    std::ifstream in("gmon.out", std::ios::binary);
    std::string file((std::istreambuf_iterator<char>(in)), {});
    std::filesystem::current_path(home);
    EXPECT_EQ(result, RELAY_RESULT::ctrl_d_on_remote);
    EXPECT_EQ(m_screen.written(), marker + "more");
    EXPECT_EQ(file, "\x04\x04\x04\x04");
}

// When several reasons to stop hold in the same pass, the first in the loop's order wins:
// Ctrl-D seen, read error, quit-after, Ctrl-C. The world changes in the second pass, at
// the console read, which comes before the board's turn.
TEST_F(RelayLoop, FirstReasonInTheLoopOrderWins) {
    struct CASE {
        const char* what;
        int board_second;  // 4: Ctrl-D in the first read; -1: an error in the second; 0: empty
        int persistent;
        bool time_up;
        bool ctrl_c;
        RELAY_RESULT result;
    } cases[] = {
        {"Ctrl-D before all", 4, 0, true, true, RELAY_RESULT::ctrl_d_on_remote},
        {"read error before time", -1, 0, true, true, RELAY_RESULT::io_error},
        {"persistent: time next", -1, 1, true, true, RELAY_RESULT::user_timeout},
        {"time before Ctrl-C", 0, 0, true, true, RELAY_RESULT::user_timeout},
        {"Ctrl-C alone", 0, 0, false, true, RELAY_RESULT::ctrl_c_on_host},
        {"Ctrl-D before Ctrl-C", 4, 0, false, true, RELAY_RESULT::ctrl_d_on_remote},
    };
    for (const CASE& c : cases) {
        FAKE_COMM board;
        FAKE_COMM screen;
        use(board, screen);
        settings.persistent = c.persistent;
        settings.verbose = 0;
        settings.quit_after_secs = 5;
        fake_now = session_start;
        interrupted = 0;
        board.feed(c.board_second == 4 ? "\x04" : "");
        if (c.board_second < 0) board.feed_result(c.board_second);
        board.feed("");
        screen.on_call([&](int calls_before) {
            if (calls_before != 1) return;
            if (c.time_up) fake_now = session_start + 5000;
            if (c.ctrl_c) interrupted = 1;
        });
        EXPECT_EQ(relay(), c.result) << c.what;
    }
}

TEST_F(RelayLoop, PersistentModeRetriesAfterReadErrors) {
    for (int verbose : {1, 0}) {
        FAKE_COMM board;
        FAKE_COMM screen;
        use(board, screen);
        settings.persistent = 1;
        settings.verbose = verbose;
        interrupted = 0;
        screen.feed("k");
        board.feed_result(-1);
        board.feed("ok");
        board.feed_result(-5);
        board.feed("");
        board.on_call([&board](int) {
            if (board.reads() == 3) interrupted = 1;  // at the read after the last error
        });
        testing::internal::CaptureStdout();
        RELAY_RESULT result = relay();
        std::string notes = testing::internal::GetCapturedStdout();
        const std::string retry =
            "tarvik-terminal: I/O error communicating with client - trying again";
        EXPECT_EQ(result, RELAY_RESULT::ctrl_c_on_host);
        EXPECT_EQ(notes, verbose ? retry + retry : "") << "verbose " << verbose;
        EXPECT_EQ(screen.written(), "ok");
        EXPECT_EQ(board.written(), "k");  // sent although the link had failed before
    }
}

TEST_F(RelayLoop, BoardThatTakesNothingHoldsBackTheKeys) {
    m_screen.feed("abc");
    m_screen.feed("def");
    for (int i = 0; i < 3; ++i) m_board.script_write(0);
    for (int i = 0; i < 6; ++i) m_board.feed("");
    std::vector<std::string> sent_at_console_read;
    m_screen.on_call([&](int) { sent_at_console_read.push_back(m_board.written()); });
    EXPECT_EQ(relay(), RELAY_RESULT::io_error);
    EXPECT_EQ(m_board.offers(), (std::vector<std::string>{"abc", "abc", "abc", "abc", "def"}));
    // The console is read again only once the board has taken everything read before.
    EXPECT_EQ(sent_at_console_read, (std::vector<std::string>{"", "abc", "abcdef", "abcdef"}));
}

// A console that has a flag is read in the first pass, which starts what gathers its keys, and
// after that only while the flag says keys wait; those keys still go out in the next pass.
TEST_F(RelayLoop, ReadsAConsoleWithAFlagOnlyWhileItSaysKeysWait) {
    std::atomic<bool> news{false};
    m_screen.report_news(&news);
    m_screen.feed("");
    m_screen.feed("abc");
    for (int i = 0; i < 5; ++i) m_board.feed("");
    m_board.on_call([&](int) {
        if (m_board.reads() == 2) news = true;  // during the third pass's board read
    });
    std::vector<std::string> sent_at_console_read;
    m_screen.on_call([&](int) { sent_at_console_read.push_back(m_board.written()); });
    EXPECT_EQ(relay(), RELAY_RESULT::io_error);
    // Passes 1, 4, 5 and 6; the keys read in the fourth go out at the start of the fifth.
    EXPECT_EQ(sent_at_console_read, (std::vector<std::string>{"", "", "abc", "abc"}));
    EXPECT_EQ(m_board.written(), "abc");
}

TEST_F(RelayLoop, TraceLinesFollowTheSteps) {
    settings.dump_flags[static_cast<unsigned char>('t')] = 1;
    m_screen.feed("12345");
    m_screen.script_write(0);
    m_board.feed("");
    m_board.feed("xy" + ctrl_d + "zz");
    testing::internal::CaptureStdout();
    RELAY_RESULT result = relay();
    std::string trace = testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, RELAY_RESULT::ctrl_d_on_remote);
    EXPECT_EQ(trace,
              "read 5 characters from console\n"
              "wrote 5 characters to remote\n"
              "read 2 characters from remote\n"
              "wrote 0 characters to console\n"
              "wrote 2 characters to console\n");
}

TEST_F(RelayLoop, NoTraceLineForABlockCutToNothing) {
    settings.dump_flags[static_cast<unsigned char>('t')] = 1;
    m_board.feed(ctrl_d + "zz");
    testing::internal::CaptureStdout();
    EXPECT_EQ(relay(), RELAY_RESULT::ctrl_d_on_remote);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(RelayLoop, FailedWriteEndsWithIoError) {
    for (bool board_fails : {true, false}) {
        FAKE_COMM board;
        FAKE_COMM screen;
        use(board, screen);
        screen.feed("typed");
        board.feed("");
        board.feed("shown");
        board.feed("never read");
        (board_fails ? board : screen).script_write(-1);
        EXPECT_EQ(relay(), RELAY_RESULT::io_error) << board_fails;
        // The board fails in the second pass, the screen in the third; nothing is read after.
        EXPECT_EQ(board.reads(), board_fails ? 1 : 2) << board_fails;
        EXPECT_EQ(screen.reads(), board_fails ? 1 : 2) << board_fails;
        EXPECT_EQ(board_fails ? board.written() : screen.written(), "") << board_fails;
    }
}

TEST_F(RelayLoop, QuitAfterCountsTheSecondsFromTheStart) {
    struct CASE {
        int quit_after_secs;
        int board_reads;  // the clock moves one second at each board read
        RELAY_RESULT result;
    } cases[] = {
        {1, 1, RELAY_RESULT::user_timeout},
        {3, 3, RELAY_RESULT::user_timeout},
        {0, 5, RELAY_RESULT::io_error},  // off: the board's script runs out instead
    };
    for (const CASE& c : cases) {
        FAKE_COMM board;
        FAKE_COMM screen;
        use(board, screen);
        settings.quit_after_secs = c.quit_after_secs;
        fake_now = session_start;
        clock_reads = 0;
        for (int i = 0; i < 4; ++i) board.feed("");
        board.on_call([](int) { fake_now += 1000; });
        EXPECT_EQ(relay(), c.result) << c.quit_after_secs;
        EXPECT_EQ(board.reads(), c.board_reads) << c.quit_after_secs;
        EXPECT_EQ(clock_reads, c.quit_after_secs > 0 ? c.board_reads : 0) << c.quit_after_secs;
    }
}

// The session time is counted in milliseconds from the start: a session that began late in a
// second must not end when the next second begins.
TEST_F(RelayLoop, QuitAfterNeverEndsEarly) {
    settings.quit_after_secs = 2;
    session_start = fake_now = 7999;  // just before a second boundary
    for (int i = 0; i < 3; ++i) m_board.feed("");
    m_board.on_call([](int) { fake_now += 1000; });  // 8999, 9999, 10999
    EXPECT_EQ(relay(), RELAY_RESULT::user_timeout);
    EXPECT_EQ(m_board.reads(), 2);  // 1000 ms, then 2000 ms: not at the first boundary
}

}  // namespace
