// Reading the board configuration file.
#include "server/board-config.h"

#include <fstream>
#include <sstream>

namespace {

bool parse_int(const std::string& text, long low, long high, long* value) {
    if (text.empty() || text.size() > 9) return false;
    long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    if (v < low || v > high) return false;
    *value = v;
    return true;
}

bool parse_yes_no(const std::string& text, bool* value) {
    if (text == "yes" || text == "1" || text == "true") return *value = true, true;
    if (text == "no" || text == "0" || text == "false") return *value = false, true;
    return false;
}

// Parses one "key=value" of a cable line.
bool cable_option(const std::string& word, CABLE_CONFIG* cable, std::string* why) {
    std::size_t eq = word.find('=');
    std::string key = word.substr(0, eq),
                value = eq == std::string::npos ? "" : word.substr(eq + 1);
    long n = 0;
    if (key == "plugged" && parse_yes_no(value, &cable->plugged)) return true;
    if (key == "powered" && parse_yes_no(value, &cable->powered)) return true;
    if (key == "warning" && parse_int(value, 0, 2, &n)) return cable->warning = int(n), true;
    *why = "bad cable setting \"" + word + "\" (plugged=yes|no, powered=yes|no, warning=0|1|2)";
    return false;
}

// A dotted IPv4 address: four numbers from 0 to 255, without leading zeros (which some
// readers take for octal).
bool is_ipv4(const std::string& text) {
    std::size_t start = 0;
    for (int part = 0; part < 4; ++part) {
        std::size_t end = part < 3 ? text.find('.', start) : text.size();
        long n = 0;
        if (end == std::string::npos || end - start > 3 ||
            (end - start > 1 && text[start] == '0') ||
            !parse_int(text.substr(start, end - start), 0, 255, &n))
            return false;
        start = end + 1;
    }
    return true;
}

// "[HOST:]PORT" of a connect target; the host is loopback when left out.
bool parse_endpoint(const std::string& text, UART_CONFIG* uart, std::string* why) {
    std::size_t colon = text.rfind(':');
    std::string host = colon == std::string::npos ? "127.0.0.1" : text.substr(0, colon);
    long port = 0;
    if (host == "localhost") host = "127.0.0.1";
    if (!is_ipv4(host) || !parse_int(text.substr(colon + 1), 1, 65535, &port)) {
        *why = "bad address \"" + text + "\" (connect [HOST:]PORT, HOST an IPv4 address)";
        return false;
    }
    uart->host = host;
    uart->port = std::uint16_t(port);
    return true;
}

bool parse_uart(const std::vector<std::string>& w, const std::string& demo, UART_CONFIG* uart,
                std::string* why) {
    long n = 0;
    if (w.size() < 2 || !parse_int(w[1], 0, 255, &n)) {
        *why =
            "a JTAG UART line needs an instance from 0 to 255: uart INSTANCE [in=N] [out=N] TARGET";
        return false;
    }
    uart->instance = int(n);
    std::size_t i = 2;
    for (; i < w.size() && w[i].find('=') != std::string::npos; ++i) {
        std::string key = w[i].substr(0, w[i].find('=')), value = w[i].substr(w[i].find('=') + 1);
        if ((key != "in" && key != "out") || !parse_int(value, 1, 1 << 20, &n)) {
            *why = "bad FIFO setting \"" + w[i] + "\" (in=N or out=N, N from 1 to 1048576)";
            return false;
        }
        (key == "in" ? uart->in_depth : uart->out_depth) = std::size_t(n);
    }
    std::string kind = i < w.size() ? w[i] : "";
    std::size_t rest = w.size() - (i < w.size() ? i + 1 : w.size());
    if (kind == "echo" && rest == 0) {
        uart->kind = TARGET_KIND::echo;
    } else if (kind == "listen" && rest <= 1) {
        uart->kind = TARGET_KIND::listen;
        if (rest == 1 && !parse_int(w[i + 1], 0, 65535, &n)) {
            *why = "bad port \"" + w[i + 1] + "\"";
            return false;
        }
        uart->port = rest == 1 ? std::uint16_t(n) : 0;
    } else if (kind == "program" && rest >= 1) {
        uart->kind = TARGET_KIND::program;
        uart->argv.assign(w.begin() + long(i) + 1, w.end());
    } else if (kind == "serial" && (rest == 1 || rest == 2) && !w[i + 1].empty()) {
        uart->kind = TARGET_KIND::serial;
        uart->device = w[i + 1];
        if (rest == 2 &&
            (!parse_int(w[i + 2], 1, 4000000, &uart->baud) || !config_baud_supported(uart->baud))) {
            *why = "bad serial speed \"" + w[i + 2] + "\" (a standard one, 50 to 4000000)";
            return false;
        }
    } else if (kind == "connect" && rest == 1) {
        uart->kind = TARGET_KIND::connect;
        if (!parse_endpoint(w[i + 1], uart, why)) return false;
    } else if (kind == "demo" && rest == 0) {
        uart->kind = TARGET_KIND::program;
        uart->argv = {demo};
    } else {
        *why =
            "the target must be one of: echo, listen [PORT], program COMMAND [ARGS...], demo, "
            "serial DEVICE [BAUD], connect [HOST:]PORT";
        return false;
    }
    return true;
}

// Applies one line's words to the configuration.
bool parse_line(const std::vector<std::string>& w, const std::string& demo, BOARD_CONFIG* config,
                std::string* why) {
    long n = 0;
    if (w[0] == "cable") {
        if (w.size() < 2 || w[1].empty())
            return *why =
                       "a cable needs a name: cable NAME [plugged=yes|no] [powered=yes|no] "
                       "[warning=0|1|2]",
                   false;
        for (const CABLE_CONFIG& c : config->cables)
            if (c.name == w[1]) return *why = "cable \"" + w[1] + "\" is described twice", false;
        for (char c : w[1])
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
                return *why = "a cable name cannot hold control characters", false;
        CABLE_CONFIG cable;
        cable.name = w[1];
        for (std::size_t i = 2; i < w.size(); ++i)
            if (!cable_option(w[i], &cable, why)) return false;
        config->cables.push_back(cable);
        return true;
    }
    if (w[0] == "device") {
        if (config->cables.empty()) return *why = "a device must follow a cable line", false;
        if (w.size() != 2 || !parse_int(w[1], 0, 255, &n))
            return *why = "a device line needs one index from 0 to 255: device INDEX", false;
        auto& devices = config->cables.back().devices;
        for (const DEVICE_CONFIG& d : devices)
            if (d.index == n)
                return *why = "device " + w[1] + " is described twice on this cable", false;
        devices.push_back(DEVICE_CONFIG{int(n), {}});
        return true;
    }
    if (w[0] == "uart") {
        if (config->cables.empty() || config->cables.back().devices.empty())
            return *why = "a JTAG UART must follow a device line", false;
        UART_CONFIG uart;
        if (!parse_uart(w, demo, &uart, why)) return false;
        auto& uarts = config->cables.back().devices.back().uarts;
        for (const UART_CONFIG& u : uarts)
            if (u.instance == uart.instance)
                return *why = "instance " + w[1] + " is described twice on this device", false;
        uarts.push_back(uart);
        return true;
    }
    *why = "unknown keyword \"" + w[0] + "\" (expected cable, device or uart)";
    return false;
}

}  // namespace

bool config_baud_supported(long baud) {
    static const long speeds[] = {
        50,     75,     110,     134,     150,     200,     300,     600,     1200,    1800,
        2400,   4800,   9600,    19200,   38400,   57600,   115200,  230400,  460800,  500000,
        576000, 921600, 1000000, 1152000, 1500000, 2000000, 2500000, 3000000, 3500000, 4000000};
    for (long s : speeds)
        if (s == baud) return true;
    return false;
}

bool config_split(const std::string& line, std::vector<std::string>* words, std::string* error) {
    words->clear();
    std::size_t i = 0;
    while (i < line.size()) {
        char c = line[i];
        if (c == ' ' || c == '\t' || c == '\r') {
            ++i;
            continue;
        }
        if (c == '#') break;
        std::string word;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') {
            if (line[i] != '"') {
                word += line[i++];
                continue;
            }
            for (++i;; ++i) {
                if (i >= line.size()) return *error = "unclosed quote", false;
                if (line[i] == '"') break;
                if (line[i] == '\\' && i + 1 < line.size()) ++i;
                word += line[i];
            }
            ++i;
        }
        words->push_back(word);
    }
    return true;
}

bool config_parse(const std::string& text, const std::string& file_name,
                  const std::string& demo_program, BOARD_CONFIG* config, std::string* error) {
    std::istringstream in(text);
    std::string line, why;
    std::vector<std::string> words;
    for (int number = 1; std::getline(in, line); ++number) {
        bool ok = config_split(line, &words, &why);
        if (ok && !words.empty()) ok = parse_line(words, demo_program, config, &why);
        if (!ok) {
            *error = file_name + ":" + std::to_string(number) + ": " + why;
            return false;
        }
    }
    if (config->cables.empty()) {
        *error = file_name + ": describes no cable";
        return false;
    }
    return true;
}

bool config_load(const std::string& path, const std::string& demo_program, BOARD_CONFIG* config,
                 std::string* error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        *error = path + ": cannot be read";
        return false;
    }
    std::ostringstream text;
    text << file.rdbuf();
    return config_parse(text.str(), path, demo_program, config, error);
}

BOARD_CONFIG config_demo(const std::string& demo_program) {
    UART_CONFIG uart;
    uart.kind = TARGET_KIND::program;
    uart.argv = {demo_program};
    CABLE_CONFIG cable;
    cable.name = "Varnax demo cable [USB-0]";
    cable.devices.push_back(DEVICE_CONFIG{1, {uart}});
    return BOARD_CONFIG{{cable}};
}
