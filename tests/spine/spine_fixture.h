// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A program sandbox that the run log points into for one test, and small file helpers.
#include "dialogs/run_log.h"
#include "support/program_sandbox.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

inline std::string readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

// Lines of a CR LF file, without their line ends; fails the test on a bare LF.
inline std::vector<std::string> crlfLines(const std::string& bytes) {
    std::vector<std::string> lines;
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        const auto lf = bytes.find('\n', pos);
        if (lf == std::string::npos) {
            ADD_FAILURE() << "unterminated last line";
            lines.push_back(bytes.substr(pos));
            break;
        }
        EXPECT_TRUE(lf > pos && bytes[lf - 1] == '\r') << "line without CR LF at " << pos;
        lines.push_back(bytes.substr(pos, lf - pos - (lf > pos && bytes[lf - 1] == '\r')));
        pos = lf + 1;
    }
    return lines;
}

// The run log (and TempFilesPath) in a program sandbox's folder for one test.
class TempLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sandbox.ok());
        sandbox.useRunLog();
        folder = sandbox.tempFiles();
    }
    std::string log() const { return readBytes(LogFilePath); }

    testsupport::ProgramSandbox sandbox;
    std::string folder;
};
