// A reference for the profiling capture, shared by the unit tests and the fuzzer: it walks the
// whole stream at once, byte positions in hand, instead of filtering block by block in place.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct GMON_MODEL_RESULT {
    std::string shown;         // everything the terminal displays, all blocks together
    bool file_opened = false;  // whether some stream reached its first data byte
    std::string file;          // the data of the last such stream (each one truncates)
};

// starts: the positions at which blocks begin, ascending, the first one 0. The cuts matter in
// two places: a marker candidate that crosses into a later block and fails there resumes one
// byte past that block's start, and after a finished stream the rest of its last block is
// shown without a search.
inline GMON_MODEL_RESULT gmon_model(const std::string& s, const std::vector<size_t>& starts) {
    const std::string marker = "**gmon.out data follows**\n";
    auto block_start = [&](size_t p) {
        return *(std::upper_bound(starts.begin(), starts.end(), p) - 1);
    };
    auto block_end = [&](size_t p) {
        auto next = std::upper_bound(starts.begin(), starts.end(), p);
        return next == starts.end() ? s.size() : *next;
    };
    GMON_MODEL_RESULT out;
    size_t i = 0;  // always a block start while searching
    while (i < s.size()) {
        size_t found = std::string::npos;  // the position just past the marker
        size_t p = i;
        while (p < s.size()) {
            size_t q = p;
            size_t m = 0;
            while (m < marker.size() && q < s.size() && s[q] == marker[m]) ++q, ++m;
            if (m == marker.size()) {
                found = q;
                break;
            }
            if (q == s.size()) break;  // the stream ends inside a candidate
            p = block_start(q) > p ? block_start(q) + 1 : p + 1;
        }
        if (found == std::string::npos) {
            out.shown += s.substr(i);
            break;
        }
        out.shown += s.substr(i, found - i);
        i = found;
        if (s.size() - i < 4) break;
        uint32_t raw = 0;
        for (int k = 0; k < 4; ++k) raw |= uint32_t(uint8_t(s[i + k])) << (8 * k);
        i += 4;
        int32_t length = static_cast<int32_t>(raw);
        if (length < 0) {  // never completes: the rest of the run is shown as it comes
            out.shown += s.substr(i);
            break;
        }
        size_t take = std::min(size_t(length), s.size() - i);
        if (take > 0) {
            out.file_opened = true;
            out.file = s.substr(i, take);
        }
        i += take;
        if (take < size_t(length)) break;
        size_t end = block_end(i - 1);
        out.shown += s.substr(i, end - i);
        i = end;
    }
    return out;
}
