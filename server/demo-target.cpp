// varnax-demo-target: a small program that plays a board's software behind a JTAG UART.
// It echoes what it receives (Enter arrives as CR) and answers a few line commands.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "server/demo-io.h"

namespace {

const char banner[] = "Varnax demo target ready.\r\nType help and press Enter.\r\n";

// Output is unbuffered: every piece goes out at once, resumed after short writes.
bool put(const char* data, std::size_t size) {
    while (size > 0) {
        long n = demo_write(data, size);
        if (n <= 0) return false;
        data += n;
        size -= std::size_t(n);
    }
    return true;
}

bool put(const std::string& text) {
    return put(text.data(), text.size());
}

// A profiling stream: the marker line, the length (4 bytes, little-endian), the data.
bool send_gmon() {
    std::string data;
    for (int i = 0; i < 1000; ++i) data += static_cast<char>((i * 7 + 3) & 0xFF);
    std::uint32_t n = static_cast<std::uint32_t>(data.size());
    std::string stream = "**gmon.out data follows**\n";
    for (int i = 0; i < 4; ++i) stream += static_cast<char>((n >> (8 * i)) & 0xFF);
    return put(stream + data) && put("\r\nprofiling data sent\r\n");
}

bool flood(long kib) {
    // 64 bytes a line, 16 lines make one KiB; only the line's number changes, so each line is
    // the one before with its eight digits written anew.
    static const char pattern[] =
        "flood line 00000000 abcdefghijklmnopqrstuvwxyz0123456789ABCDEF\r\n";
    static_assert(sizeof pattern - 1 == 64, "a flood line is 64 bytes");
    constexpr std::size_t digits_at = 11;
    constexpr std::size_t lines_per_put = 256;
    char block[64 * lines_per_put];
    long lines = kib * 16;
    for (long first = 0; first < lines; first += long(lines_per_put)) {
        std::size_t count = 0;
        for (; count < lines_per_put && first + long(count) < lines; ++count) {
            char* line = block + 64 * count;
            std::memcpy(line, pattern, 64);
            long number = (first + long(count)) % 100000000;
            for (std::size_t d = 0; d < 8; ++d, number /= 10)
                line[digits_at + 7 - d] = char('0' + number % 10);
        }
        if (!put(block, 64 * count)) return false;
    }
    return true;
}

// Returns false when the program should end.
bool run_command(const std::string& line) {
    // The profiling stream holds arbitrary bytes, a Ctrl-D among them: a terminal that is not
    // cutting it out of the output ends its session there.
    if (line == "help")
        return put(
            "commands: help, gmon (profiling data), flood N (N KiB of text), bye\r\n"
            "gmon wants the terminal's --gmon: without it the profiling bytes, which hold a\r\n"
            "Ctrl-D, end the session.\r\n");
    if (line == "gmon") return send_gmon();
    if (line.rfind("flood ", 0) == 0) {
        long kib = std::strtol(line.c_str() + 6, nullptr, 10);
        if (kib <= 0 || kib > 1048576) return put("flood: give a size from 1 to 1048576 KiB\r\n");
        return flood(kib);
    }
    if (line == "bye") {
        put("bye\r\n\x04");
        return false;
    }
    if (line.empty()) return true;
    return put("unknown command: " + line + "\r\n");
}

}  // namespace

int main() {
    if (!put(banner, sizeof banner - 1)) return 1;
    std::string line;
    char buffer[256];
    for (;;) {
        long n = demo_read(buffer, sizeof buffer);
        if (n <= 0) return 0;  // the host side is gone
        for (long i = 0; i < n; ++i) {
            char c = buffer[i];
            if (c == '\r' || c == '\n') {
                if (!put("\r\n") || !run_command(line)) return 0;
                line.clear();
            } else if (c == 0x7F || c == 0x08) {
                if (!line.empty()) {
                    line.pop_back();
                    if (!put("\b \b")) return 0;
                }
            } else {
                if (line.size() < 200) line += c;
                if (!put(&c, 1)) return 0;
            }
        }
    }
}
