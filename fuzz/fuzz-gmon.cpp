// libFuzzer entry point: the profiling capture fed target output in blocks of chosen sizes.
//
// Input: byte 0 picks how many size bytes follow (1..8); each size byte modulo 65 is the size
// of a block (0: an empty read), used in turn; the rest is the target output. The display and
// "gmon.out" must match the whole-stream reference for the same cuts.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "args/process-args.h"
#include "gmon/write-gmon.h"
#include "tests/unit/gmon/gmon-model.h"

namespace {

// "gmon.out" is written in a private folder. The process enters it only while an input runs,
// so that relative corpus paths and crash files stay where libFuzzer expects them.
std::string work_dir;
std::string home_dir;

void remove_work_dir() {
    std::error_code ignored;
    if (!work_dir.empty()) std::filesystem::remove_all(work_dir, ignored);
}

[[noreturn]] void mismatch(const char* what) {
    if (chdir(home_dir.c_str()) != 0) std::perror("fuzz-gmon: back to the starting folder");
    std::fprintf(stderr, "fuzz-gmon: %s differs from the reference\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::string pattern = (std::filesystem::temp_directory_path() / "fuzz-gmon-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    work_dir = pattern;
    home_dir = std::filesystem::current_path().string();
    std::fprintf(stderr, "fuzz-gmon: writing gmon.out in %s\n", work_dir.c_str());
    std::atexit(remove_work_dir);
    settings.write_gmon = 1;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    size_t size_bytes = std::min<size_t>(data[0] % 8 + 1, size - 1);
    std::vector<int> sizes;
    for (size_t i = 0; i < size_bytes; ++i) sizes.push_back(data[1 + i] % 65);
    if (std::all_of(sizes.begin(), sizes.end(), [](int n) { return n == 0; })) sizes = {64};
    const std::string stream(reinterpret_cast<const char*>(data) + 1 + size_bytes,
                             size - 1 - size_bytes);

    if (chdir(work_dir.c_str()) != 0) std::abort();
    std::remove("gmon.out");
    gmon_reset_for_tests();
    std::string shown;
    std::vector<size_t> starts;
    size_t pos = 0;
    for (size_t turn = 0; pos < stream.size(); ++turn) {
        size_t n = std::min<size_t>(sizes[turn % sizes.size()], stream.size() - pos);
        if (n > 0) starts.push_back(pos);
        // Exactly the block's bytes, so the address sanitizer sees any touch past them.
        std::vector<char> block(stream.begin() + pos, stream.begin() + pos + n);
        int count = static_cast<int>(n);
        int kept = filter_gmon(block.data(), count);
        if (kept < 0 || kept > count) mismatch("the returned count");
        shown.append(block.data(), static_cast<size_t>(kept));
        pos += n;
    }
    gmon_reset_for_tests();
    std::ifstream in("gmon.out", std::ios::binary);
    std::string file((std::istreambuf_iterator<char>(in)), {});

    if (starts.empty()) starts.push_back(0);
    GMON_MODEL_RESULT model = gmon_model(stream, starts);
    if (shown != model.shown) mismatch("the display");
    if (static_cast<bool>(in) != model.file_opened) mismatch("whether gmon.out exists");
    if (file != model.file) mismatch("gmon.out");
    if (chdir(home_dir.c_str()) != 0) std::abort();
    return 0;
}
