// Decimal readers with 32-bit strtol, strtoul and atoi semantics, whatever the width of long.
#include <cstdint>

#include "args/args-internal.h"

namespace {

// The white space of the "C" locale's isspace; the locale is never changed.
bool is_c_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_decimal_digit(char c) {
    return c >= '0' && c <= '9';
}

constexpr std::uint64_t uint32_limit = 0xFFFFFFFFu;

// Leading white space, an optional sign and the digits after it.
struct DECIMAL {
    bool found;  // false: no digits, nothing consumed
    bool negative;
    bool too_big;  // the magnitude exceeds 4294967295; magnitude is then meaningless
    std::uint64_t magnitude;
    const char* end;
};

DECIMAL scan_decimal(const char* text) {
    const char* p = text;
    while (is_c_space(*p)) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    if (!is_decimal_digit(*p)) return {false, false, false, 0, text};
    std::uint64_t magnitude = 0;
    bool too_big = false;
    for (; is_decimal_digit(*p); ++p) {
        // Once past 32 bits only the position of the end matters, so the sum stops growing
        // long before it could wrap 64 bits.
        if (too_big) continue;
        magnitude = magnitude * 10 + static_cast<unsigned>(*p - '0');
        too_big = magnitude > uint32_limit;
    }
    return {true, negative, too_big, magnitude, p};
}

}  // namespace

SIGNED_READ convert_strtol32(const char* text) {
    const DECIMAL d = scan_decimal(text);
    if (!d.found) return {0, false, text};
    if (d.negative) {
        if (d.too_big || d.magnitude > std::uint64_t{INT32_MAX} + 1)
            return {INT32_MIN, true, d.end};
        return {static_cast<std::int32_t>(-static_cast<std::int64_t>(d.magnitude)), false, d.end};
    }
    if (d.too_big || d.magnitude > std::uint64_t{INT32_MAX}) return {INT32_MAX, true, d.end};
    return {static_cast<std::int32_t>(d.magnitude), false, d.end};
}

UNSIGNED_READ convert_strtoul32(const char* text) {
    const DECIMAL d = scan_decimal(text);
    if (!d.found) return {0, false, text};
    if (d.too_big) return {UINT32_MAX, true, d.end};
    const auto magnitude = static_cast<std::uint32_t>(d.magnitude);
    return {d.negative ? 0u - magnitude : magnitude, false, d.end};
}

std::int32_t convert_atoi32(const char* text) {
    return convert_strtol32(text).value;
}
