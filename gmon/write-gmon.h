// Cuts a profiling-data stream out of target output and writes its data to "gmon.out".
#pragma once
#include <cstdint>
#include <cstdio>

constexpr int gmon_marker_length = 26;
extern const char gmon_marker[gmon_marker_length + 1];  // "**gmon.out data follows**\n"

struct GMON_CAPTURE {
    int matched = 0;          // marker bytes matched so far; 26 once it has been seen
    int length_bytes = 0;     // length bytes collected so far (0..4)
    int32_t remaining = 0;    // the little-endian length, then the data bytes still due
    std::FILE* file = nullptr;  // "gmon.out" from the first data byte to the last
};
extern GMON_CAPTURE gmon_capture;

// Filters count bytes of buffer in place; returns how many bytes at its start are to be shown.
int filter_gmon(char* buffer, int count);

// Closes an open "gmon.out" and puts gmon_capture back to its start state. Tests and the
// fuzzer run many streams in one process; the terminal never calls it.
void gmon_reset_for_tests();
