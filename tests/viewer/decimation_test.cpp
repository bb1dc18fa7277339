// SPDX-License-Identifier: GPL-3.0-or-later
// What the plot draws of a series: min and max per pixel column, gaps, time-axis ticks.
#include "viewer/decimation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

using namespace viewer;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::vector<PlotPoint> flatten(const std::vector<Polyline>& lines) {
    std::vector<PlotPoint> all;
    for (const auto& l : lines)
        all.insert(all.end(), l.begin(), l.end());
    return all;
}

bool contains(const std::vector<PlotPoint>& points, PlotPoint p) {
    return std::find(points.begin(), points.end(), p) != points.end();
}

} // namespace

TEST(Decimate, KeepsEachPixelColumnsMinAndMax) {
    // Uneven steps and random values with rare spikes: the spikes must survive.
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> noise(-1, 1), step(0.5, 1.5);
    const std::size_t n = 200000;
    std::vector<double> x(n), y(n);
    double t = 0;
    for (std::size_t i = 0; i < n; ++i) {
        x[i] = t += step(rng);
        y[i] = noise(rng) + (i % 9973 == 0 ? 50.0 : 0.0);
    }
    for (const auto& [x0, x1, pixels] :
         {std::tuple{x.front(), x.back(), 800}, std::tuple{x[5000] + 0.3, x[90000], 333}}) {
        const auto lines = decimate(x.data(), y.data(), n, x0, x1, pixels);
        ASSERT_EQ(lines.size(), 1u);
        const auto points = flatten(lines);
        EXPECT_LE(points.size(), 2u * pixels + 2);
        EXPECT_TRUE(std::is_sorted(points.begin(), points.end(),
                                   [](PlotPoint a, PlotPoint b) { return a.x < b.x; }));
        // Reference: the extremes of every pixel column, found the plain way.
        const double scale = pixels / (x1 - x0);
        std::vector<std::size_t> lo(pixels, n), hi(pixels, n);
        for (std::size_t i = 0; i < n; ++i) {
            if (x[i] < x0 || x[i] > x1)
                continue;
            const auto c =
                std::min<std::size_t>(static_cast<std::size_t>((x[i] - x0) * scale), pixels - 1);
            if (lo[c] == n || y[i] < y[lo[c]])
                lo[c] = i;
            if (hi[c] == n || y[i] > y[hi[c]])
                hi[c] = i;
        }
        for (int c = 0; c < pixels; ++c) {
            if (lo[c] == n)
                continue;
            EXPECT_TRUE(contains(points, {x[lo[c]], y[lo[c]]})) << "min of column " << c;
            EXPECT_TRUE(contains(points, {x[hi[c]], y[hi[c]]})) << "max of column " << c;
        }
        // Lines reach beyond both edges when there is data there.
        if (x0 > x.front()) {
            EXPECT_LT(points.front().x, x0);
        }
        if (x1 < x.back()) {
            EXPECT_GT(points.back().x, x1);
        }
    }
}

TEST(Decimate, FewPointsComeBackUnchanged) {
    const std::vector<double> x = {1, 2, 3, 4}, y = {5, 3, 4, 1};
    const auto lines = decimate(x.data(), y.data(), x.size(), 0, 10, 100);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], (Polyline{{1, 5}, {2, 3}, {3, 4}, {4, 1}}));
    EXPECT_TRUE(decimate(x.data(), y.data(), 0, 0, 10, 100).empty());
    EXPECT_TRUE(decimate(x.data(), y.data(), x.size(), 5, 5, 100).empty());
}

TEST(Decimate, MissingValuesAndLongStepsSplitTheLine) {
    const std::vector<double> x = {0, 1, 2, 3, 4, 10, 11, 12};
    const std::vector<double> y = {1, 2, kNaN, 4, 5, 6, 7, kNaN};
    const auto lines = decimate(x.data(), y.data(), x.size(), 0, 12, 1000, 3.0);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], (Polyline{{0, 1}, {1, 2}}));
    EXPECT_EQ(lines[1], (Polyline{{3, 4}, {4, 5}}));
    EXPECT_EQ(lines[2], (Polyline{{10, 6}, {11, 7}}));
    // Without a gap limit only the missing values split it.
    EXPECT_EQ(decimate(x.data(), y.data(), x.size(), 0, 12, 1000).size(), 2u);

    // The same when points are reduced: a gap inside the range still shows.
    std::vector<double> bx, by;
    for (int i = 0; i < 10000; ++i) {
        bx.push_back(i < 5000 ? i : i + 100000);
        by.push_back(std::sin(i * 0.01));
    }
    EXPECT_EQ(decimate(bx.data(), by.data(), bx.size(), 0, bx.back(), 200, 10).size(), 2u);
}

TEST(NearestIndex, PicksTheCloserNeighbour) {
    const std::vector<double> x = {0, 10, 20};
    EXPECT_EQ(nearestIndex(x.data(), 3, -5), 0u);
    EXPECT_EQ(nearestIndex(x.data(), 3, 4), 0u);
    EXPECT_EQ(nearestIndex(x.data(), 3, 6), 1u);
    EXPECT_EQ(nearestIndex(x.data(), 3, 99), 2u);
}

TEST(TimeTicks, RoundStepsWithinTheRange) {
    // 2026-05-11 08:00 to 11:00 (wall clock seconds), at most 8 ticks: every 30 minutes.
    const double t0 = 1778457600.0 + 8 * 3600, t1 = t0 + 3 * 3600;
    const auto ticks = timeTicks(t0 + 60, t1, 8);
    ASSERT_EQ(ticks.size(), 6u);
    EXPECT_EQ(ticks.front().seconds, t0 + 1800);
    EXPECT_EQ(ticks.front().label, "08:30");
    EXPECT_EQ(ticks.back().label, "11:00");
    for (std::size_t i = 1; i < ticks.size(); ++i)
        EXPECT_EQ(ticks[i].seconds - ticks[i - 1].seconds, 1800.0);
    // Midnight carries the date; steps of days show only dates; seconds when they matter.
    const auto days = timeTicks(t0, t0 + 86400 * 2.5, 6);
    ASSERT_GE(days.size(), 2u);
    EXPECT_EQ(days[0].label, "12:00");
    EXPECT_EQ(days[1].label, "2026-05-12 00:00");
    EXPECT_EQ(timeTicks(t0, t0 + 30 * 86400, 5).front().label, "2026-05-14");
    EXPECT_EQ(timeTicks(t0 + 1, t0 + 20, 4).front().label, "08:00:05");
    EXPECT_TRUE(timeTicks(t1, t0, 5).empty());
}
