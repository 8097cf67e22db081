// Temporary folders for tests: kept, with their path printed, when the test failed.
#include "tests/support/temp-dir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>

TEMP_DIR::TEMP_DIR() {
    // A new folder under a random name: creating it fails when the name is taken, so two
    // tests running at once never share one.
    std::random_device seed;
    std::mt19937_64 generator(seed());
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        char name[32];
        std::snprintf(name, sizeof name, "tarvik-test-%012llx",
                      static_cast<unsigned long long>(generator() & 0xFFFFFFFFFFFFull));
        std::error_code error;
        if (std::filesystem::create_directory(base / name, error)) {
            m_path = (base / name).string();
            return;
        }
    }
    std::abort();
}

TEMP_DIR::~TEMP_DIR() {
    if (::testing::Test::HasFailure()) {
        std::fprintf(stderr, "kept the test's folder: %s\n", m_path.c_str());
        return;
    }
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

std::string TEMP_DIR::file(const std::string& name) const { return m_path + "/" + name; }
