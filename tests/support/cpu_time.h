// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// CPU time, to show that something stays idle while it waits: a thread spinning on a dead
// device burns the whole interval, an idle one next to nothing, so a bound with room for a
// loaded machine still tells them apart.

#include <ctime>

namespace testsupport {

// CPU seconds this process has used so far, all threads.
inline double processCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

} // namespace testsupport
