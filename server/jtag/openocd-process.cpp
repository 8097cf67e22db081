// server/jtag/openocd-process.cpp: what every system shares of running OpenOCD.
#include "server/jtag/openocd-process.h"

std::string openocd_last_error_line(const std::string& output) {
    std::string last, error;
    std::size_t start = 0;
    while (start < output.size()) {
        std::size_t end = output.find('\n', start);
        if (end == std::string::npos) end = output.size();
        std::string line = output.substr(start, end - start);
        while (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) last = line;
        if (line.rfind("Error", 0) == 0 || line.rfind("cannot start", 0) == 0) error = line;
        start = end + 1;
    }
    return error.empty() ? last : error;
}
