// For the command-line tests: an argv the scanner may reorder, and a fixture that resets state.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "args/process-args.h"
#include "base/program-name.h"

// argv[0] is "prog" unless given; the entries stay valid for the object's life.
class ARGS {
public:
    explicit ARGS(const std::vector<std::string>& args, const std::string& argv0 = "prog") {
        m_texts.push_back(argv0);
        m_texts.insert(m_texts.end(), args.begin(), args.end());
        for (std::string& text : m_texts) m_pointers.push_back(text.data());
        m_pointers.push_back(nullptr);
    }
    ARGS(const ARGS&) = delete;  // the pointers point into m_texts
    ARGS& operator=(const ARGS&) = delete;

    int argc() const { return static_cast<int>(m_texts.size()); }
    char** argv() { return m_pointers.data(); }
    // argv[first] to argv[argc - 1] in their current order.
    std::vector<std::string> from(int first) const {
        return std::vector<std::string>(m_pointers.begin() + first, m_pointers.end() - 1);
    }

private:
    std::vector<std::string> m_texts;
    std::vector<char*> m_pointers;
};

class CommandLine : public ::testing::Test {
protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }
    static void reset() {
        reset_command_line_state();
        program_name = primary_name;
        plain_uart_mode = false;
    }
};
