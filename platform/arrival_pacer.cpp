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
    // What would gather in `hold` at the rate of the last gap; compared as products, since
    // the gap between two quick arrivals may be next to nothing.
    const auto piled = static_cast<double>(m_lastBytes) * static_cast<double>(hold.count());
    if (piled > static_cast<double>(kHoldBytes) * static_cast<double>(gap.count()))
        hold = Clock::duration(
            static_cast<Clock::rep>(static_cast<double>(gap.count()) * kHoldBytes / m_lastBytes));
    if (hold < kShortest)
        return std::nullopt;
    return *m_last + hold;
}

} // namespace platform
