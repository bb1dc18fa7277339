// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The axes of a battery chart, for the Units window and the office's unit page alike: a value
// axis that holds equal readings inside it, never on its edge, and a time axis whose span,
// labels and number of ticks read well for one reading, two at one time, or a year of them.
// Pure: readings' extremes in, ranges and label formats out.

#include <QString>

#include <cstdint>

namespace series {

struct ValueRange {
    double lo = 0, hi = 0;
};
// [lo, hi] of the readings widened by a tenth of their span on each side and to at least
// `least` around their middle.
ValueRange readingRange(double lo, double hi, double least);

struct TimeSpan {
    std::int64_t from = 0, to = 0; // ms
    QString format;                // a QDateTime format for the labels
    int ticks = 2;                 // labels on the axis, the ends included
};
// The time axis for readings from `first` to `last` (ms): one time stands in a day's width
// with three labels, its own in the middle; a span gets a twentieth each side; hours are shown
// for spans under two days, days up to a year, months beyond.
TimeSpan batteryTimeSpan(std::int64_t first, std::int64_t last);

} // namespace series
