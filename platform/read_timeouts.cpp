// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/read_timeouts.h"

#include <algorithm>
#include <cstdint>

namespace platform {

using win::MAXDWORD;

std::optional<std::chrono::milliseconds> totalTimeout(win::DWORD multiplier, win::DWORD constant,
                                                      win::DWORD count) {
    if (multiplier == 0 && constant == 0)
        return std::nullopt;
    std::uint64_t ms = std::uint64_t(multiplier) * count + constant;
    ms = std::min<std::uint64_t>(ms, std::uint64_t(1) << 40);
    return std::chrono::milliseconds(ms);
}

ReadPlan planRead(const win::COMMTIMEOUTS& t, win::DWORD count) {
    ReadPlan plan;
    if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
        t.ReadTotalTimeoutConstant == 0) {
        plan.immediate = true;
    } else if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD &&
               t.ReadTotalTimeoutConstant > 0 && t.ReadTotalTimeoutConstant < MAXDWORD) {
        plan.returnOnAny = true;
        plan.total = std::chrono::milliseconds(t.ReadTotalTimeoutConstant);
    } else {
        if (t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != MAXDWORD)
            plan.interval = std::chrono::milliseconds(t.ReadIntervalTimeout);
        plan.total = totalTimeout(t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant, count);
    }
    return plan;
}

} // namespace platform
