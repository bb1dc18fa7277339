// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the benchmarks share: the time since a start, a median of runs printed on one line,
// and the end of a benchmark that cannot go on.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// One line: what was measured, the median of the runs, their least and most.
inline void report(const char* what, std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    std::printf("%-58s median %8.1f ms  (min %.1f, max %.1f, %zu runs)\n", what, ms[ms.size() / 2],
                ms.front(), ms.back(), ms.size());
}

// Says why on standard error, after the benchmark's name, and ends with status 1.
[[noreturn]] inline void fail(const char* benchmark, const std::string& why) {
    std::fprintf(stderr, "%s: %s\n", benchmark, why.c_str());
    std::exit(1);
}

} // namespace bench
