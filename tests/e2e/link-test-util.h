// Helpers for tests that drive the JTAG UART access library against a real server.
#pragma once
#include <chrono>
#include <string>
#include <thread>

#include "client/jtag_varnax.h"

// Closes the link when the test ends, however it ends.
class OPEN_LINK {
public:
    OPEN_LINK(const char* cable, int device, int instance, const char* app = "link-test")
        : m_link(jtagvarnax_open(cable, device, instance, app)) {}
    ~OPEN_LINK() { close(); }
    OPEN_LINK(const OPEN_LINK&) = delete;
    OPEN_LINK& operator=(const OPEN_LINK&) = delete;
    JTAGVARNAX* get() const { return m_link; }
    explicit operator bool() const { return m_link != nullptr; }
    void close() {
        if (m_link != nullptr) jtagvarnax_close(m_link);
        m_link = nullptr;
    }

private:
    JTAGVARNAX* m_link;
};

// The error of the last open, with its text, for failure messages.
inline std::string last_open_error() {
    const char* text = nullptr;
    int code = jtagvarnax_get_error(&text);
    return std::to_string(code) + " (" + (text != nullptr ? text : "null") + ")";
}

struct READ_RESULT {
    std::string bytes;
    bool lost = false;  // a read returned a negative count
};

// Reads in 64-byte calls, like the terminal, until `want` bytes have come, the link is lost
// or the deadline passes.
inline READ_RESULT read_bytes(JTAGVARNAX* link, std::size_t want,
                              std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    READ_RESULT r;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    char block[64];
    while (r.bytes.size() < want && std::chrono::steady_clock::now() < deadline) {
        int n = jtagvarnax_read(link, block, sizeof block);
        if (n < 0) {
            r.lost = true;
            break;
        }
        if (n == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
        r.bytes.append(block, std::size_t(n));
    }
    return r;
}

// Reads until the link is lost (or the deadline passes), collecting every byte.
inline READ_RESULT read_until_lost(JTAGVARNAX* link,
                                   std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    return read_bytes(link, std::string::npos, timeout);
}

// Reads until `text` has appeared in what came, the link is lost or the deadline passes.
inline READ_RESULT read_until_text(JTAGVARNAX* link, const std::string& text,
                                   std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    READ_RESULT r;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (r.bytes.find(text) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        READ_RESULT part = read_bytes(link, 1, std::chrono::milliseconds(100));
        r.bytes += part.bytes;
        if (part.lost) {
            r.lost = true;
            break;
        }
    }
    return r;
}

// Writes all of data in pieces of at most 64 bytes, offering the rest again after short writes.
inline bool write_all(JTAGVARNAX* link, const std::string& data,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    std::size_t done = 0;
    while (done < data.size()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::size_t n = data.size() - done < 64 ? data.size() - done : 64;
        int w = jtagvarnax_write(link, data.data() + done, unsigned(n));
        if (w < 0) return false;
        if (w == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
        done += std::size_t(w);
    }
    return true;
}
