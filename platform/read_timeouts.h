// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// How a read request ends, planned from the port's time-outs when the read starts, with the
// meanings of the Windows communications time-outs:
// - interval MAXDWORD with both totals 0: take what is queued and return at once;
// - interval and multiplier MAXDWORD with a constant between 0 and MAXDWORD: wait up to the
//   constant for the first byte, and return as soon as there is one;
// - otherwise the interval (0 and MAXDWORD: none) ends a read once that long passes between
//   two bytes after the first, and multiplier * count + constant (both 0: none) ends it from
//   the start. A read that times out succeeds with what it got.

#include "platform/win_comm.h"

#include <chrono>
#include <optional>

namespace platform {

struct ReadPlan {
    bool immediate = false;   // take what is queued and return
    bool returnOnAny = false; // the first byte ends the read
    std::optional<std::chrono::milliseconds> interval;
    std::optional<std::chrono::milliseconds> total;

    bool operator==(const ReadPlan&) const = default;
};

ReadPlan planRead(const win::COMMTIMEOUTS& t, win::DWORD count);

// multiplier * count + constant, kept far below what a clock's time point can add; nullopt
// when both are 0 (no total time-out). Reads and writes share the rule.
std::optional<std::chrono::milliseconds> totalTimeout(win::DWORD multiplier, win::DWORD constant,
                                                      win::DWORD count);

} // namespace platform
