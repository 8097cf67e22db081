// The server's log lines.
#include "server/log.h"

#include <cstdarg>
#include <cstdio>

#include "text/text.h"

SERVER_LOG::SERVER_LOG(bool quiet, std::function<void(const std::string&)> sink)
    : m_quiet(quiet), m_sink(std::move(sink)) {}

void SERVER_LOG::line(const char* format, ...) {
    if (m_quiet) return;
    char text[2048];
    std::va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::string shown = text_escaped(text);
    if (m_sink)
        m_sink(shown);
    else
        std::fprintf(stderr, "varnax-server: %s\n", shown.c_str());
}
