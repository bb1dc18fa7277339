// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/arrival_pacer.h"

namespace platform {

void ArrivalPacer::arrived(Clock::time_point when, std::size_t bytes) {
    if (bytes == 0)
        return;
    m_before = m_last;
    m_last = when;
    m_lastBytes = bytes;
}

std::optional<ArrivalPacer::Clock::time_point> ArrivalPacer::holdUntil() const {
    if (!m_last || !m_before)
        return std::nullopt; // the first arrival after a quiet spell or ever
    const Clock::duration gap = *m_last - *m_before;
    if (gap > kStreamGap)
        return std::nullopt;
    Clock::duration hold = kHoldOff;
    // What would gather in `hold` at the rate of the last gap, compared as products since the
    // gap between two quick arrivals may be next to nothing. A read is at most the input
    // queue's size (64 MiB), so the products stay far inside the range.
    const auto bytes = static_cast<Clock::rep>(m_lastBytes);
    constexpr auto bound = static_cast<Clock::rep>(kHoldBytes);
    if (bytes * hold.count() > bound * gap.count())
        hold = gap * bound / bytes;
    if (hold < kShortest)
        return std::nullopt;
    return *m_last + hold;
}

} // namespace platform
