// SPDX-License-Identifier: GPL-3.0-or-later
#include "series/battery_axes.h"

#include <algorithm>

namespace series {

namespace {
constexpr std::int64_t kHourMs = 3600 * 1000LL;
constexpr std::int64_t kDayMs = 24 * kHourMs;
} // namespace

ValueRange readingRange(double lo, double hi, double least) {
    const double middle = (lo + hi) / 2;
    const double half = std::max((hi - lo) / 2 * 1.2, least / 2);
    return {middle - half, middle + half};
}

TimeSpan batteryTimeSpan(std::int64_t first, std::int64_t last) {
    TimeSpan s;
    if (last < first)
        std::swap(first, last);
    const std::int64_t span = last - first;
    const std::int64_t pad = span == 0 ? 12 * kHourMs : std::max<std::int64_t>(1, span / 20);
    s.from = first - pad;
    s.to = last + pad;
    s.ticks = span == 0 ? 3 : 4;
    s.format = span < 2 * kDayMs     ? QStringLiteral("yyyy-MM-dd HH:mm")
               : span < 365 * kDayMs ? QStringLiteral("yyyy-MM-dd")
                                     : QStringLiteral("yyyy-MM");
    return s;
}

} // namespace series
