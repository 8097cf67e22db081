// The relay loop: target output to the console, keystrokes to the target, until a reason to stop.
#include "run/relay-loop.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "args/process-args.h"
#include "base/program-name.h"
#include "comm/comm.h"
#include "gmon/write-gmon.h"

std::atomic<int> interrupted{0};
int64_t session_start = 0;
COMM* jtag_channel = nullptr;
COMM* console_channel = nullptr;

int64_t monotonic_milliseconds() {
    auto now = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
}
int64_t (*relay_clock)() = monotonic_milliseconds;

namespace {

constexpr int block_size = 64;
constexpr char ctrl_d = 4;

// One direction's block: count valid bytes at its start, done of them written out. It is
// refilled only once everything in it has been written, so at most one block is in flight.
struct BLOCK {
    char* data;
    int count = 0;
    int done = 0;
    bool pending() const { return done < count; }
};

// The settings every pass looks at, read once: nothing changes them while the relay runs.
struct PASS_SETTINGS {
    bool trace;  // the dump switch t
    bool quit_on_ctrl_d;
    bool persistent;
    bool verbose;
    bool capture;           // profiling data is cut out of the board's output
    int64_t quit_after_ms;  // 0: the session has no time limit
};

PASS_SETTINGS pass_settings() {
    PASS_SETTINGS p;
    p.trace = settings.dump_flags[static_cast<unsigned char>('t')] != 0;
    p.quit_on_ctrl_d = settings.quit_on_ctrl_d != 0;
    p.persistent = settings.persistent != 0;
    p.verbose = settings.verbose != 0;
    p.capture = settings.write_gmon != 0;
    p.quit_after_ms = settings.quit_after_secs > 0 ? int64_t{settings.quit_after_secs} * 1000 : 0;
    return p;
}

// The trace line of a write, out of the way of the writes themselves.
void trace_write(const char* trace_format, int n) {
    std::printf(trace_format, n);
}

// Offers the unwritten rest of a pending block. A short write is normal: the rest goes out on
// the next pass. Returns false when the channel reports an error.
inline bool write_rest(COMM* channel, BLOCK& block, bool trace, const char* trace_format) {
    int offered = block.count - block.done;
    int n = channel->write(block.data + block.done, static_cast<unsigned int>(offered));
    if (trace) trace_write(trace_format, n);
    if (n < 0) return false;
    // A channel cannot take more than it was offered; done never passes count.
    block.done += std::min(n, offered);
    return true;
}

// The test stays in the loop: most passes have nothing to send to the target.
inline bool write_pending(COMM* channel, BLOCK& block, bool trace, const char* trace_format) {
    return !block.pending() || write_rest(channel, block, trace, trace_format);
}

// A console read error counts as nothing typed; the console channel has said why. A console
// that says nothing has come is not called at all, as if its read had placed nothing.
inline void read_keys(BLOCK& from_host, const std::atomic<bool>* news, bool trace) {
    if (from_host.pending()) return;
    if (news != nullptr && !news->load(std::memory_order_acquire)) return;
    int r = console_channel->read(from_host.data, block_size);
    from_host.count = std::clamp(r, 0, block_size);
    from_host.done = 0;
    if (trace && from_host.count != 0) {
        std::printf("read %d characters from console\n", from_host.count);
    }
}

// Cuts the block at the first Ctrl-D: it and everything behind it are never shown.
inline int cut_at_ctrl_d(const char* data, int n, bool& ctrl_d_seen) {
    if (n <= 0) return n;
    const void* found = std::memchr(data, ctrl_d, static_cast<size_t>(n));
    if (found == nullptr) return n;
    ctrl_d_seen = true;
    return static_cast<int>(static_cast<const char*>(found) - data);
}

// A failed read of the board: the end of the relay, or in persistent mode an empty read.
bool survive_read_error(const PASS_SETTINGS& p, RELAY_RESULT* result) {
    if (!p.persistent) {
        *result = RELAY_RESULT::io_error;
        return false;
    }
    // The channel reconnects on later reads; the next output continues this line.
    if (p.verbose) {
        std::printf("%s: I/O error communicating with client - trying again", program_name);
    }
    return true;
}

// Reads and filters the board's output once everything read before has been shown. Returns
// true with *result set when the relay is to end.
inline bool read_board(BLOCK& from_target, bool& ctrl_d_seen, const PASS_SETTINGS& p,
                       RELAY_RESULT* result) {
    if (from_target.pending()) return false;
    // After a Ctrl-D the board is not read again; it ends the relay once the bytes before
    // it are on the screen.
    if (ctrl_d_seen) {
        *result = RELAY_RESULT::ctrl_d_on_remote;
        return true;
    }
    int r = jtag_channel->read(from_target.data, block_size);
    from_target.done = 0;
    if (r < 0) {
        if (!survive_read_error(p, result)) return true;
        r = 0;
    }
    int n = std::min(r, block_size);
    // The capture sees every read attempt, empty ones included.
    if (p.capture) n = filter_gmon(from_target.data, n);
    if (p.quit_on_ctrl_d) n = cut_at_ctrl_d(from_target.data, n, ctrl_d_seen);
    from_target.count = n;
    if (p.trace && n != 0) std::printf("read %d characters from remote\n", n);
    return false;
}

// Milliseconds, not whole seconds: a session lasts at least the time asked for.
inline bool quit_time_reached(const PASS_SETTINGS& p) {
    return p.quit_after_ms > 0 && relay_clock() - session_start >= p.quit_after_ms;
}

}  // namespace

RELAY_RESULT relay() {
    if (interrupted.load() != 0) return RELAY_RESULT::ctrl_c_on_host;
    const PASS_SETTINGS p = pass_settings();
    // Bytes 0..63 hold what the board sent, bytes 64..127 what was typed.
    char work_area[2 * block_size];
    BLOCK from_target{work_area};
    BLOCK from_host{work_area + block_size};
    bool ctrl_d_seen = false;
    const std::atomic<bool>* news = nullptr;
    RELAY_RESULT result = RELAY_RESULT::io_error;
    for (;;) {
        if (!write_pending(jtag_channel, from_host, p.trace, "wrote %d characters to remote\n")) {
            return RELAY_RESULT::io_error;
        }
        if (!write_pending(console_channel, from_target, p.trace,
                           "wrote %d characters to console\n")) {
            return RELAY_RESULT::io_error;
        }
        read_keys(from_host, news, p.trace);
        // The first read has started whatever gathers the keys; from now on the console's
        // flag, where it has one, tells whether one is waiting.
        if (news == nullptr) news = console_channel->input_news();
        if (read_board(from_target, ctrl_d_seen, p, &result)) return result;
        if (quit_time_reached(p)) return RELAY_RESULT::user_timeout;
        if (interrupted.load() != 0) return RELAY_RESULT::ctrl_c_on_host;
    }
}
