// Random bytes for the end-to-end tests that relay data.
#pragma once
#include <cstddef>
#include <random>
#include <string>

// Random bytes up to top. Target output stops below 0xFF, so no run of them can look like an
// interrupted link.
inline std::string random_bytes(std::size_t size, unsigned seed, int top = 254) {
    std::mt19937 generator(seed);
    std::uniform_int_distribution<int> value(0, top);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(value(generator));
    return bytes;
}
