// The server's log: one line per event, on standard error after "varnax-server: " unless the
// server runs quiet. Every part of the server writes through one of these.
#pragma once
#include <functional>
#include <string>

class SERVER_LOG {
public:
    // sink: where lines go; empty: standard error. quiet: no lines at all.
    explicit SERVER_LOG(bool quiet, std::function<void(const std::string&)> sink = {});
    // One log line; unprintable bytes (from a client's application name, say) come escaped.
    void line(const char* format, ...) __attribute__((format(printf, 2, 3)));

private:
    bool m_quiet;
    std::function<void(const std::string&)> m_sink;
};
