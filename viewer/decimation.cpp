// SPDX-License-Identifier: GPL-3.0-or-later
#include "viewer/decimation.h"

#include "viewer_reader/data_file.h"

#include <algorithm>
#include <cmath>

namespace viewer {

namespace {

// Collects the points of one pixel column and hands its low and high point, in the order
// they came, to the current polyline.
class ColumnReducer {
public:
    ColumnReducer(std::vector<Polyline>& out) : m_out(out) {}

    void add(long column, double x, double y, bool gapBefore) {
        if (gapBefore) {
            flush();
            m_newLine = true;
        } else if (m_filled && column != m_column) {
            flush();
        }
        if (!m_filled) {
            m_column = column;
            m_low = m_high = {x, y};
            m_lowFirst = true;
            m_filled = true;
            return;
        }
        if (y < m_low.y) {
            m_low = {x, y};
            m_lowFirst = false;
        }
        if (y > m_high.y) {
            m_high = {x, y};
            m_lowFirst = true;
        }
    }

    void flush() {
        if (!m_filled)
            return;
        if (m_newLine || m_out.empty()) {
            m_out.emplace_back();
            m_newLine = false;
        }
        Polyline& line = m_out.back();
        const PlotPoint& a = m_lowFirst ? m_low : m_high;
        const PlotPoint& b = m_lowFirst ? m_high : m_low;
        line.push_back(a);
        if (!(b == a))
            line.push_back(b);
        m_filled = false;
    }

private:
    std::vector<Polyline>& m_out;
    long m_column = 0;
    PlotPoint m_low{0, 0};
    PlotPoint m_high{0, 0};
    bool m_lowFirst = true;
    bool m_filled = false;
    bool m_newLine = true;
};

} // namespace

std::vector<Polyline> decimate(const double* x, const double* y, std::size_t n, double x0,
                               double x1, int pixels, double gapLimit) {
    std::vector<Polyline> out;
    if (n == 0 || !(x1 > x0) || pixels <= 0)
        return out;
    std::size_t lo = static_cast<std::size_t>(std::lower_bound(x, x + n, x0) - x);
    std::size_t hi = static_cast<std::size_t>(std::upper_bound(x, x + n, x1) - x);
    lo = lo > 0 ? lo - 1 : 0;
    hi = std::min(hi + 1, n);

    // Few enough points: every one of them is drawn.
    const bool all = hi - lo <= static_cast<std::size_t>(pixels) * 2;
    const double scale = pixels / (x1 - x0);
    ColumnReducer reducer(out);
    bool gap = true;
    double lastX = 0;
    long uniqueColumn = 0;
    for (std::size_t i = lo; i < hi; ++i) {
        if (std::isnan(y[i])) {
            gap = true;
            continue;
        }
        if (!gap && gapLimit > 0 && x[i] - lastX > gapLimit)
            gap = true;
        // Each point outside the range is a column of its own; so is every point when
        // nothing needs reducing.
        long column;
        if (all || x[i] < x0 || x[i] > x1)
            column = --uniqueColumn;
        else
            column = std::min<long>(static_cast<long>((x[i] - x0) * scale), pixels - 1);
        reducer.add(column, x[i], y[i], gap);
        gap = false;
        lastX = x[i];
    }
    reducer.flush();
    return out;
}

std::size_t nearestIndex(const double* x, std::size_t n, double at) {
    const std::size_t i = static_cast<std::size_t>(std::lower_bound(x, x + n, at) - x);
    if (i == 0)
        return 0;
    if (i >= n)
        return n - 1;
    return at - x[i - 1] <= x[i] - at ? i - 1 : i;
}

std::vector<TimeTick> timeTicks(double t0, double t1, int maxTicks) {
    std::vector<TimeTick> ticks;
    if (!(t1 > t0) || maxTicks < 1)
        return ticks;
    static constexpr double kSteps[] = {1,     2,     5,     10,    15,     30,    60,
                                        120,   300,   600,   900,   1800,   3600,  7200,
                                        10800, 21600, 43200, 86400, 172800, 604800};
    const double span = t1 - t0;
    double step = 0;
    for (const double s : kSteps)
        if (span / s <= maxTicks) {
            step = s;
            break;
        }
    if (step == 0) { // months or more: steps of whole 30-day blocks keep it simple
        step = 2592000;
        while (span / step > maxTicks)
            step *= 2;
    }
    const bool showSeconds = std::fmod(step, 60) != 0;
    const bool showTime = step < 86400;
    for (double t = std::ceil(t0 / step) * step; t <= t1; t += step) {
        const QString full = displayDateTime(t); // "2026-05-11 08:00:00"
        QString label;
        if (!showTime)
            label = full.left(10);
        else if (showSeconds)
            label = full.mid(11);
        else if (std::fmod(t, 86400) == 0)
            label = full.left(10) + QLatin1Char(' ') + full.mid(11, 5);
        else
            label = full.mid(11, 5);
        ticks.push_back({t, label});
    }
    return ticks;
}

} // namespace viewer
