// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The unit page's battery chart, drawn by the page itself as SVG (no script): each reading a
// point, joined when there are more, a volts axis with round ticks and a time axis in UTC, so
// that one reading or two equal ones read as well as a hundred. Pure: readings in, markup out.

#include <QString>

#include <cstdint>
#include <utility>
#include <vector>

namespace office {

// Round ticks over [lo, hi]: a step of 1, 2 or 5 times a power of ten, at most `most` of them,
// each inside the range.
std::vector<double> roundTicks(double lo, double hi, int most);

// The volts axis' range: the readings' own, widened to at least `least` volts around their
// middle and by a tenth on each side, so that equal readings stand inside, not on an edge.
std::pair<double, double> voltsRange(double lo, double hi, double least = 0.4);

// (UTC ms, volts) by time: an <svg> of `width` by `height`; empty without readings (a value
// that is no finite number is left out).
QString batteryChart(const std::vector<std::pair<std::int64_t, double>>& readings, int width,
                     int height);

} // namespace office
