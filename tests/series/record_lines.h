// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A unit's records as test lines: "26-06-01 00:00:00, <n>" for n in [from, to), and runs of
// them joined.

#include <string>
#include <vector>

namespace testsupport {

inline std::vector<std::string> lines(int from, int to,
                                      const char* prefix = "26-06-01 00:00:00, ") {
    std::vector<std::string> out;
    for (int i = from; i < to; ++i)
        out.push_back(prefix + std::to_string(i));
    return out;
}

// Records after records: `a` then `b`.
inline std::vector<std::string> operator+(std::vector<std::string> a,
                                          const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

} // namespace testsupport
