// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The tests' one way to read what a file holds.
#include <fstream>
#include <iterator>
#include <string>

namespace testsupport {

// A file's bytes, empty when it cannot be read.
inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

} // namespace testsupport
