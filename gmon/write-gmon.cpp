// Profiling data capture into "gmon.out".
#include "gmon/write-gmon.h"

#include <algorithm>
#include <cstring>

#include "args/process-args.h"
#include "base/internal-abort.h"

const char gmon_marker[gmon_marker_length + 1] = "**gmon.out data follows**\n";
GMON_CAPTURE gmon_capture;

namespace {

constexpr int length_field_size = 4;

// The two error lines go to standard output. It may be buffered (output redirected, no
// console channel yet), and abort() flushes nothing, so the line is pushed out first.
[[noreturn]] void give_up(ABORT_SITE site) {
    std::fflush(stdout);
    internal_abort(site);
}

// Removes size bytes at pos from the valid bytes of buffer, moving the rest down.
void cut(char* buffer, int pos, int size, int left) {
    std::memmove(buffer + pos, buffer + pos + size, static_cast<size_t>(left - size));
}

// Compares as much of the rest of the marker as the block holds. A match that runs to the end
// of the block carries over to the next call. A failure restarts one byte further on with
// nothing matched: the search never steps back into bytes it has passed.
void search_marker(const char* buffer, int& pos, int& left) {
    GMON_CAPTURE& s = gmon_capture;
    while (left > 0) {
        int n = std::min(gmon_marker_length - s.matched, left);
        if (std::memcmp(buffer + pos, gmon_marker + s.matched, static_cast<size_t>(n)) == 0) {
            s.matched += n;
            pos += n;
            left -= n;
            return;
        }
        s.matched = 0;
        pos += 1;
        left -= 1;
    }
}

// The length arrives least significant byte first, in as many blocks as the link cuts it into.
void collect_length(char* buffer, int pos, int& left, int& result) {
    GMON_CAPTURE& s = gmon_capture;
    int k = std::min(length_field_size - s.length_bytes, left);
    uint32_t value = static_cast<uint32_t>(s.remaining);
    for (int i = 0; i < k; ++i) {
        uint32_t byte = static_cast<unsigned char>(buffer[pos + i]);
        value |= byte << (8 * (s.length_bytes + i));
    }
    s.remaining = static_cast<int32_t>(value);
    cut(buffer, pos, k, left);
    s.length_bytes += k;
    result -= k;
    left -= k;
}

// Data goes to the file as it comes; the stream's only buffering is the file's own.
void write_data(char* buffer, int pos, int& left, int& result) {
    GMON_CAPTURE& s = gmon_capture;
    if (s.file == nullptr) {
        s.file = std::fopen("gmon.out", "wb");
        if (s.file == nullptr) {
            std::printf("Error: unable to open gmon.out file for writing\n");
            give_up(abort_site::gmon_open);
        }
    }
    int w = std::min(s.remaining, left);
    if (std::fwrite(buffer + pos, 1, static_cast<size_t>(w), s.file) != static_cast<size_t>(w)) {
        std::printf("Error: unable to write %d byte(s) to gmon.out\n", w);
        give_up(abort_site::gmon_write);
    }
    cut(buffer, pos, w, left);
    s.remaining -= w;
    result -= w;
    left -= w;
}

// The last data bytes may still sit in the file's buffer; a failing close (a full disk) loses
// them, and a silently short profile would be taken for a whole one.
void finish_stream() {
    GMON_CAPTURE& s = gmon_capture;
    std::FILE* file = s.file;
    s = GMON_CAPTURE{};
    if (file != nullptr && std::fclose(file) != 0) {
        std::printf("Error: unable to finish writing gmon.out\n");
        give_up(abort_site::gmon_close);
    }
}

// The capture proper, kept out of line so that filter_gmon without --gmon, called for every
// block the target sends, costs only its test.
[[gnu::noinline]] int capture(char* buffer, int count) {
    GMON_CAPTURE& s = gmon_capture;
    int pos = 0;
    int left = count;
    int result = count;
    if (s.matched < gmon_marker_length) {
        search_marker(buffer, pos, left);
        if (s.matched < gmon_marker_length) return count;
    }
    if (s.length_bytes < length_field_size && left > 0) collect_length(buffer, pos, left, result);
    if (s.length_bytes != length_field_size) return result;
    // A negative length never counts down: the capture stays here for the rest of the run.
    if (s.remaining > 0 && left > 0) write_data(buffer, pos, left, result);
    // Whatever follows the data in this block is shown without being searched.
    if (s.remaining == 0) finish_stream();
    return result;
}

}  // namespace

int filter_gmon(char* buffer, int count) {
    if (settings.write_gmon == 0) return count;
    return capture(buffer, count);
}

void gmon_reset_for_tests() {
    if (gmon_capture.file != nullptr) std::fclose(gmon_capture.file);
    gmon_capture = GMON_CAPTURE{};
}
