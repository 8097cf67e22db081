// Every place where the program's own logic gives up, with the identifier it prints.
#pragma once

// A source name and a fixed number, printed as "<source>:<number>". The numbers are not the
// lines of this tree: they are the identifiers users and scripts already know from the
// messages, so they never change when the code moves.
struct ABORT_SITE {
    const char* source;
    int number;
};

namespace abort_site {

// Option processing met an option code or table entry it has no case for.
inline constexpr ABORT_SITE unknown_table_entry{"process-args", 851};
inline constexpr ABORT_SITE unknown_option_code{"process-args", 856};
// The option table's consistency, checked while the short-option string is built.
inline constexpr ABORT_SITE short_option_letter{"process-args", 1095};
inline constexpr ABORT_SITE short_options_empty{"process-args", 1118};
// The help text and the effective command line read settings that must already be sound.
inline constexpr ABORT_SITE negative_quit_after{"process-args", 49};
inline constexpr ABORT_SITE command_line_after_error{"process-args", 220};

// "gmon.out" could not be opened, written or finished.
inline constexpr ABORT_SITE gmon_open{"write-gmon", 112};
inline constexpr ABORT_SITE gmon_write{"write-gmon", 129};
inline constexpr ABORT_SITE gmon_close{"write-gmon", 137};

// The console channel: standard input must exist, and the channel must be built before use.
inline constexpr ABORT_SITE console_stdin_at_build{"console-io", 60};
inline constexpr ABORT_SITE console_stdin_at_restore{"console-io", 131};
inline constexpr ABORT_SITE console_unbuilt_at_destroy{"console-io", 146};
inline constexpr ABORT_SITE console_stdin_in_reader{"console-io", 242};
inline constexpr ABORT_SITE console_unbuilt_at_read{"console-io", 281};
inline constexpr ABORT_SITE console_unbuilt_at_write{"console-io", 329};

}  // namespace abort_site
