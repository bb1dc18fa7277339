// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// How much slower this build runs than the ordinary one, for the few bounds in tests that
// tell a prompt or idle program from a stuck or spinning one by time. The sanitizers
// instrument every memory access (and the thread sanitizer every lock), so the same work
// takes several times longer; the build sets XRQ_SANITIZER_SLOWDOWN from XRQ_SANITIZE.
// Speed itself is measured by the benchmarks, never here.

#ifndef XRQ_SANITIZER_SLOWDOWN
#define XRQ_SANITIZER_SLOWDOWN 1
#endif

namespace testsupport {

inline constexpr int kSlowdown = XRQ_SANITIZER_SLOWDOWN;

// A bound in milliseconds on how long something may take, for this build.
constexpr int scaledMs(int ms) {
    return ms * kSlowdown;
}

// A bound on the CPU seconds a process may use while idle over `intervalSeconds`, for this
// build. A thread that spins burns the whole interval whatever the build, so the bound stays
// at half of it at most: idle and spinning are still told apart.
constexpr double idleCpuBound(double seconds, double intervalSeconds) {
    const double scaled = seconds * kSlowdown;
    return scaled < intervalSeconds / 2 ? scaled : intervalSeconds / 2;
}

} // namespace testsupport
