// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the driver's I/O thread and the receive tuning's waiter both need around a poll: a
// time-out from a monotonic deadline, and an eventfd used as a wake-up.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <unistd.h>

namespace platform {

// The time left until `deadline` (none left: zero) in `ts`, for ppoll and epoll_pwait2.
inline timespec* timeoutUntil(std::chrono::steady_clock::time_point deadline,
                              std::chrono::steady_clock::time_point now, timespec& ts) {
    auto left = std::max(deadline - now, std::chrono::steady_clock::duration::zero());
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    ts.tv_sec = static_cast<time_t>(ns / 1000000000);
    ts.tv_nsec = static_cast<long>(ns % 1000000000);
    return &ts;
}

// Non-blocking eventfds: a full counter or an empty one is no error worth telling.
inline void signalFd(int fd) {
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(fd, &one, sizeof one);
}

inline void drainFd(int fd) {
    std::uint64_t v;
    [[maybe_unused]] ssize_t n = ::read(fd, &v, sizeof v);
}

} // namespace platform
