// Temporary folders for tests: kept, with their path printed, when the test failed.
#include "tests/support/temp-dir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

TEMP_DIR::TEMP_DIR() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "tarvik-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    m_path = pattern;
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
