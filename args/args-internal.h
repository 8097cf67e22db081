// Option processing's inner pieces, for tests: the short-option string and the number readers.
#pragma once
#include <cstdint>
#include <string>

#include "args/process-args.h"

// "-" followed by every short letter of options in table order, ":" behind a letter that takes
// an argument ("::" for an optional one). Checks the table's consistency on the way.
std::string build_shortopts(const OPTION* options);

// What strtol reads in base 10 when long is 32 bits wide. end is the first character not read;
// it is text itself when no digits were found (nothing is consumed, value 0).
struct SIGNED_READ {
    std::int32_t value;
    bool overflow;  // the value was clamped to INT32_MAX or INT32_MIN
    const char* end;
};
SIGNED_READ convert_strtol32(const char* text);

// What strtoul reads in base 10 when unsigned long is 32 bits wide: a leading "-" negates
// modulo 2^32, a magnitude above 4294967295 gives 4294967295 whatever the sign.
struct UNSIGNED_READ {
    std::uint32_t value;
    bool overflow;
    const char* end;
};
UNSIGNED_READ convert_strtoul32(const char* text);

// What atoi reads when int is 32 bits wide, clamped to the int limits on overflow.
std::int32_t convert_atoi32(const char* text);
