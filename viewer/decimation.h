// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What a plot draws of a long series: per pixel column at most its lowest and its highest
// point, so a million points cost a few thousand line vertices and no spike is lost. Gaps
// (a missing value, or a step in x longer than the gap limit) split the series into
// polylines. Also the tick marks of the time axis. Plain functions, tested on their own.

#include <QString>

#include <cstddef>
#include <vector>

namespace viewer {

struct PlotPoint {
    double x;
    double y;
    bool operator==(const PlotPoint&) const = default;
};
using Polyline = std::vector<PlotPoint>;

// Polylines of the points (x[i], y[i]) seen through [x0, x1] on `pixels` columns. x must
// not decrease. NaN in y is a gap; so is a step x[i] - x[i-1] > gapLimit when gapLimit > 0.
// The nearest point outside the range on each side is kept so lines reach the edges.
std::vector<Polyline> decimate(const double* x, const double* y, std::size_t n, double x0,
                               double x1, int pixels, double gapLimit = 0);

// Index of the point whose x is nearest to `at` (x not decreasing, n > 0).
std::size_t nearestIndex(const double* x, std::size_t n, double at);

struct TimeTick {
    double seconds;
    QString label;
};
// Ticks at round steps (seconds, minutes, hours, days, months) over [t0, t1], at most
// about maxTicks of them, labelled with as much of the date and time as the step needs.
std::vector<TimeTick> timeTicks(double t0, double t1, int maxTicks);

} // namespace viewer
