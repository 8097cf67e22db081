// Reading the board configuration file.
#include "server/board-config.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "text/text.h"

namespace {

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
    if (key == "warning" && text_decimal_int(value, 0, 2, &n)) return cable->warning = int(n), true;
    *why = "bad cable setting \"" + word + "\" (plugged=yes|no, powered=yes|no, warning=0|1|2)";
    return false;
}

// "[HOST:]PORT" of a connect target; the host is loopback when left out.
bool parse_endpoint(const std::string& text, UART_CONFIG* uart, std::string* why) {
    HOST_PORT address;
    bool has_host = text.find(':') != std::string::npos;
    if (text_host_port(has_host ? text : "127.0.0.1:" + text, 1, &address) !=
        HOST_PORT_FAULT::none) {
        *why = "bad address \"" + text +
               "\" (connect [HOST:]PORT, HOST a host name, an IPv4 address or an IPv6 address "
               "in brackets)";
        return false;
    }
    uart->host = address.host;
    uart->port = address.port;
    return true;
}

bool parse_uart(const std::vector<std::string>& w, const std::string& demo, UART_CONFIG* uart,
                std::string* why) {
    long n = 0;
    if (w.size() < 2 || !text_decimal_int(w[1], 0, 255, &n)) {
        *why =
            "a JTAG UART line needs an instance from 0 to 255: uart INSTANCE [in=N] [out=N] TARGET";
        return false;
    }
    uart->instance = int(n);
    std::size_t i = 2;
    for (; i < w.size() && w[i].find('=') != std::string::npos; ++i) {
        std::string key = w[i].substr(0, w[i].find('=')), value = w[i].substr(w[i].find('=') + 1);
        if ((key != "in" && key != "out") || !text_decimal_int(value, 1, 1 << 20, &n)) {
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
        if (rest == 1 && !text_decimal_int(w[i + 1], 0, 65535, &n)) {
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
        if (rest == 2 && (!text_decimal_int(w[i + 2], 1, 4000000, &uart->baud) ||
                          !text_baud_supported(uart->baud))) {
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
    if (w[0] == "openocd") {
        if (config->cables.empty()) return *why = "an openocd line must follow a cable line", false;
        CABLE_CONFIG& cable = config->cables.back();
        OPENOCD_CONFIG& openocd = cable.openocd;
        const char* usage = "openocd tcl HOST:PORT, or openocd config FILE [FILE...]";
        if (openocd.used) return *why = "this cable already has an openocd line", false;
        if (!cable.devices.empty())
            return *why = "a cable with devices cannot also have an openocd line", false;
        HOST_PORT address;
        if (w.size() == 3 && w[1] == "tcl" &&
            text_host_port(w[2], 1, &address) == HOST_PORT_FAULT::none) {
            openocd.tcl_address = w[2];
        } else if (w.size() >= 3 && w[1] == "config") {
            openocd.config_files.assign(w.begin() + 2, w.end());
        } else {
            return *why = std::string("bad openocd line (") + usage + ")", false;
        }
        openocd.used = true;
        return true;
    }
    if (w[0] == "device") {
        if (config->cables.empty()) return *why = "a device must follow a cable line", false;
        if (config->cables.back().openocd.used)
            return *why =
                       "the devices of a cable behind OpenOCD are the JTAG UART cores found on "
                       "its chain: it takes no device lines",
                   false;
        if (w.size() != 2 || !text_decimal_int(w[1], 0, 255, &n))
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
    *why = "unknown keyword \"" + w[0] + "\" (expected cable, openocd, device or uart)";
    return false;
}

// Two JTAG UARTs cannot both wait for their target on one port: the later one is refused.
bool target_port_free(const BOARD_CONFIG& config, const UART_CONFIG& added, std::string* why) {
    if (added.kind != TARGET_KIND::listen || added.port == 0) return true;
    for (const CABLE_CONFIG& cable : config.cables)
        for (const DEVICE_CONFIG& device : cable.devices)
            for (const UART_CONFIG& uart : device.uarts)
                if (&uart != &added && uart.kind == TARGET_KIND::listen && uart.port == added.port)
                    return *why = "port " + std::to_string(added.port) +
                                  " is already the target port of line " +
                                  std::to_string(uart.line),
                           false;
    return true;
}

// Takes the configuration text in pieces and applies each line as soon as it is complete, so
// no more than one line is ever held.
class CONFIG_READER {
public:
    CONFIG_READER(const std::string& file_name, const std::string& demo, BOARD_CONFIG* config)
        : m_file_name(file_name), m_demo(demo), m_config(config) {
        m_config->file_name = file_name;
    }
    // False at the first mistake, with error().
    bool feed(const char* data, std::size_t size);
    // Applies a last line without a line end.
    bool finish();
    const std::string& error() const { return m_error; }

private:
    bool take_line();
    bool too_long() {
        return fail(m_number,
                    "the line is longer than " + std::to_string(config_max_line) + " bytes");
    }
    bool fail(int line, const std::string& why);

    std::string m_file_name;
    std::string m_demo;
    BOARD_CONFIG* m_config;
    std::string m_line;
    int m_number = 1;
    std::string m_error;
};

bool CONFIG_READER::feed(const char* data, std::size_t size) {
    while (size > 0) {
        const char* end = static_cast<const char*>(std::memchr(data, '\n', size));
        std::size_t run = end != nullptr ? std::size_t(end - data) : size;
        // One byte more may be the CR of a CR LF line end.
        if (m_line.size() + run > config_max_line + 1) return too_long();
        m_line.append(data, run);
        if (end == nullptr) return true;
        if (m_line.size() > config_max_line && m_line.back() != '\r') return too_long();
        if (!take_line()) return false;
        data += run + 1;
        size -= run + 1;
    }
    return true;
}

bool CONFIG_READER::take_line() {
    std::vector<std::string> words;
    std::string why;
    bool ok = text_split_words(m_line, &words, &why);
    if (ok && !words.empty()) ok = parse_line(words, m_demo, m_config, &why);
    if (ok && !words.empty() && words[0] == "openocd")
        m_config->cables.back().openocd.line = m_number;
    if (ok && !words.empty() && words[0] == "uart") {
        UART_CONFIG& added = m_config->cables.back().devices.back().uarts.back();
        added.line = m_number;
        ok = target_port_free(*m_config, added, &why);
    }
    if (!ok) return fail(m_number, why);
    m_line.clear();
    ++m_number;
    return true;
}

bool CONFIG_READER::finish() {
    if (m_line.size() > config_max_line && m_line.back() != '\r') return too_long();
    if (!m_line.empty() && !take_line()) return false;
    if (m_config->cables.empty()) return fail(0, "describes no cable");
    return true;
}

bool CONFIG_READER::fail(int line, const std::string& why) {
    std::string where = line > 0 ? ":" + std::to_string(line) : "";
    m_error = text_escaped(m_file_name + where + ": " + why);
    return false;
}

}  // namespace

bool config_parse(const std::string& text, const std::string& file_name,
                  const std::string& demo_program, BOARD_CONFIG* config, std::string* error) {
    CONFIG_READER reader(file_name, demo_program, config);
    bool ok = reader.feed(text.data(), text.size()) && reader.finish();
    if (!ok) *error = reader.error();
    return ok;
}

bool config_load(const std::string& path, const std::string& demo_program, BOARD_CONFIG* config,
                 std::string* error) {
    struct CLOSE {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, CLOSE> file(std::fopen(path.c_str(), "rb"));
    // A folder opens on some systems and fails only at the first read: both say why.
    auto unreadable = [&](int why) {
        *error = text_escaped(path + ": cannot be read: " + std::strerror(why));
        return false;
    };
    // Windows refuses to open a folder as "Permission denied": it is told as a folder.
    int open_errno = errno;
    std::error_code ignored;
    if (file == nullptr) return unreadable(std::filesystem::is_directory(path, ignored) ? EISDIR : open_errno);
    CONFIG_READER reader(path, demo_program, config);
    char chunk[4096];
    std::size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) {
        if (!reader.feed(chunk, n)) return *error = reader.error(), false;
    }
    if (std::ferror(file.get())) return unreadable(errno);
    if (!reader.finish()) return *error = reader.error(), false;
    return true;
}

BOARD_CONFIG config_demo(const std::string& demo_program) {
    UART_CONFIG uart;
    uart.kind = TARGET_KIND::program;
    uart.argv = {demo_program};
    CABLE_CONFIG cable;
    cable.name = "Varnax demo cable [USB-0]";
    cable.devices.push_back(DEVICE_CONFIG{1, {uart}});
    BOARD_CONFIG config;
    config.cables.push_back(cable);
    return config;
}
