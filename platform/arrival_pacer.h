// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// When a thread that hands each arrival of input over to another should read the next one.
// While the line streams, arrivals are left to gather in the kernel for a short while after
// the last one, so that one hand-over carries several: at 19200 bit/s a unit's data comes in
// a small piece every few milliseconds, and the two wake-ups a hand-over costs are most of
// what a received byte costs. A lone reply or keystroke is read as it comes.

#include <chrono>
#include <cstddef>
#include <optional>

namespace platform {

class ArrivalPacer {
public:
    using Clock = std::chrono::steady_clock;

    // The longest a streaming line's input is left in the kernel after the last arrival.
    // Well below what an eye sees in the echo or what any reply's time-out notices.
    static constexpr Clock::duration kHoldOff = std::chrono::milliseconds(50);
    // Never more than about this much is left there meanwhile, at the rate last seen: well
    // inside what a tty buffers, so that a fast line is hardly held at all.
    static constexpr std::size_t kHoldBytes = 1024;
    // Two arrivals at most this far apart mean the line streams. Wider than kHoldOff, since
    // arrivals read after a hold-off come a little more than kHoldOff apart.
    static constexpr Clock::duration kStreamGap = 2 * kHoldOff;
    // Shorter holds are not worth a sleep of their own.
    static constexpr Clock::duration kShortest = std::chrono::milliseconds(1);

    void arrived(Clock::time_point when, std::size_t bytes);
    // When to read next, or nothing for at once (the next arrival will wake the reader).
    std::optional<Clock::time_point> holdUntil() const;

private:
    std::optional<Clock::time_point> m_last;
    std::optional<Clock::time_point> m_before;
    std::size_t m_lastBytes = 0;
};

} // namespace platform
