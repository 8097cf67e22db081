// Reading numbers, addresses and words, and showing bytes safely.
#include "text/text.h"

#include <cctype>
#include <charconv>

namespace {

bool all_digits(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

// The length of the UTF-8 sequence of a printable character at text[i], or 0.
std::size_t printable_utf8(std::string_view text, std::size_t i) {
    unsigned char lead = static_cast<unsigned char>(text[i]);
    std::size_t length = lead >= 0xF8   ? 0
                         : lead >= 0xF0 ? 4
                         : lead >= 0xE0 ? 3
                         : lead >= 0xC0 ? 2
                                        : 0;
    if (length == 0 || i + length > text.size()) return 0;
    unsigned long code = lead & (0x7Fu >> length);
    for (std::size_t k = 1; k < length; ++k) {
        unsigned char next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xC0) != 0x80) return 0;
        code = code << 6 | (next & 0x3Fu);
    }
    static const unsigned long lowest[] = {0, 0, 0x80, 0x800, 0x10000};
    // Overlong forms, surrogates, values past Unicode and the C1 control characters.
    if (code < lowest[length] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF ||
        code < 0xA0)
        return 0;
    return length;
}

// What the resolver may be asked for: names of letters, digits, '-' and '_' (not starting or
// ending with '-') joined by dots, at most 253 bytes; a host of digits and dots alone must be a
// dotted IPv4 address, or the resolver would read "127.1" or "010.0.0.1" its own way.
bool is_host_name(std::string_view host) {
    if (host.size() > 253) return false;
    if (host.find_first_not_of("0123456789.") == std::string_view::npos)
        return text_is_ipv4(host);
    std::size_t start = 0;
    for (;;) {
        std::size_t end = host.find('.', start);
        std::string_view label = host.substr(start, end == std::string_view::npos ? end : end - start);
        if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-')
            return false;
        for (char c : label)
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') return false;
        if (end == std::string_view::npos) return true;
        start = end + 1;
    }
}

// An IPv6 address as written between brackets: hexadecimal groups, colons, an IPv4 tail, and a
// zone after '%'. Its exact form is the resolver's to check.
bool is_ipv6(std::string_view host) {
    std::size_t zone = host.find('%');
    std::string_view address = host.substr(0, zone);
    if (address.find(':') == std::string_view::npos ||
        address.find_first_not_of("0123456789abcdefABCDEF:.") != std::string_view::npos)
        return false;
    if (zone == std::string_view::npos) return true;
    std::string_view name = host.substr(zone + 1);
    if (name.empty()) return false;
    for (char c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.')
            return false;
    return true;
}

}  // namespace

const long text_baud_rates[30] = {
    50,     75,     110,     134,     150,     200,     300,     600,     1200,    1800,
    2400,   4800,   9600,    19200,   38400,   57600,   115200,  230400,  460800,  500000,
    576000, 921600, 1000000, 1152000, 1500000, 2000000, 2500000, 3000000, 3500000, 4000000};

bool text_baud_supported(long baud) {
    for (long rate : text_baud_rates)
        if (rate == baud) return true;
    return false;
}

bool text_decimal(std::string_view text, std::uint64_t low, std::uint64_t high,
                  std::uint64_t* value) {
    if (!all_digits(text)) return false;
    std::uint64_t v = 0;
    auto result = std::from_chars(text.data(), text.data() + text.size(), v);
    if (result.ec != std::errc() || result.ptr != text.data() + text.size()) return false;
    if (v < low || v > high) return false;
    *value = v;
    return true;
}

bool text_decimal_int(std::string_view text, long low, long high, long* value) {
    std::uint64_t v = 0;
    if (low < 0 || !text_decimal(text, std::uint64_t(low), std::uint64_t(high), &v)) return false;
    *value = long(v);
    return true;
}

bool text_is_ipv4(std::string_view text) {
    std::size_t start = 0;
    for (int part = 0; part < 4; ++part) {
        std::size_t end = part < 3 ? text.find('.', start) : text.size();
        if (end == std::string_view::npos) return false;
        std::string_view digits = text.substr(start, end - start);
        std::uint64_t n = 0;
        if (digits.size() > 3 || (digits.size() > 1 && digits[0] == '0') ||
            !text_decimal(digits, 0, 255, &n))
            return false;
        start = end + 1;
    }
    return true;
}

HOST_PORT_FAULT text_host_port(std::string_view text, unsigned lowest_port, HOST_PORT* address) {
    std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) return HOST_PORT_FAULT::no_colon;
    std::string_view host = text.substr(0, colon), port = text.substr(colon + 1);
    bool bracketed = !host.empty() && host.front() == '[';
    if (bracketed) {
        if (host.size() < 2 || host.back() != ']') return HOST_PORT_FAULT::bad_host;
        host = host.substr(1, host.size() - 2);
    }
    if (host.empty()) return HOST_PORT_FAULT::no_host;
    if (port.empty()) return HOST_PORT_FAULT::no_port;
    if (!all_digits(port) || (port.size() > 1 && port[0] == '0'))
        return HOST_PORT_FAULT::port_not_number;
    std::uint64_t number = 0;
    if (!text_decimal(port, lowest_port, 65535, &number)) return HOST_PORT_FAULT::port_out_of_range;
    if (!bracketed && host.find(':') != std::string_view::npos)
        return HOST_PORT_FAULT::needs_brackets;
    address->host = host == "localhost" ? "127.0.0.1" : std::string(host);
    address->port = std::uint16_t(number);
    bool fine = bracketed ? is_ipv6(host) : is_host_name(host);
    return fine ? HOST_PORT_FAULT::none : HOST_PORT_FAULT::bad_host;
}

std::string text_host_port_join(const std::string& host, std::uint16_t port) {
    bool ipv6 = host.find(':') != std::string::npos;
    return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

bool text_split_words(const std::string& line, std::vector<std::string>* words,
                      std::string* error) {
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
                if (line[i] == '\\' && i + 1 < line.size()) {
                    char escaped = line[++i];
                    if (escaped != '"' && escaped != '\\')
                        return *error = std::string("unknown escape \"\\") + escaped +
                                        "\" in quotes (only \\\" and \\\\ are escapes)",
                               false;
                }
                word += line[i];
            }
            ++i;
        }
        words->push_back(word);
    }
    return true;
}

std::string text_escaped(std::string_view text) {
    static const char hex[] = "0123456789abcdef";
    std::string shown;
    for (std::size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        std::size_t length = c >= 0x80 ? printable_utf8(text, i) : c < 0x20 || c == 0x7F ? 0 : 1;
        if (length > 0) {
            shown.append(text.substr(i, length));
            i += length;
            continue;
        }
        shown += "\\x";
        shown += hex[c >> 4];
        shown += hex[c & 0xF];
        ++i;
    }
    return shown;
}
