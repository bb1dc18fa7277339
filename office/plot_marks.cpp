// SPDX-License-Identifier: GPL-3.0-or-later
#include "office/plot_marks.h"

#include "office/plot_buckets.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <vector>

namespace office {

PlotMarks plotMarks(const series::RecordSource& source, double from, double to, int buckets) {
    PlotMarks m;
    const int parts = std::max(1, buckets);
    const double width = to > from ? (to - from) / parts : 1;
    series::RecordFlags flags(source.info.usualInterval);
    std::map<std::string, int> kindOf;
    std::map<std::string, long long> counted;
    // One point and one line at most per bucket, whatever the records' order.
    std::vector<bool> marked(std::size_t(parts), false), lined(std::size_t(parts), false);
    series::forEachRecordUtc(source, [&](const series::RecordRef& r, bool parsed, double s,
                                         const series::RecordClock::Utc& utc) {
        // Every record goes through the flags, in order: each one's flags depend on the one
        // before it.
        const std::string f = flags.next(r, parsed, s, utc);
        if (!parsed || f.empty())
            return true;
        const double t = utc.known ? utc.seconds : s;
        if (t < from || t > to)
            return true;
        const auto bucket =
            std::size_t(std::clamp<double>(std::floor((t - from) / width), 0, double(parts - 1)));
        series::forEachFlag(f, [&](std::string_view flag) {
            if (flag != "segment start")
                ++counted[std::string(flag)];
            else if (!lined[bucket]) {
                lined[bucket] = true;
                m.segmentStarts.push_back(t);
            }
        });
        const std::string point = series::pointFlags(f);
        if (point.empty() || marked[bucket])
            return true;
        marked[bucket] = true;
        auto [kind, fresh] = kindOf.try_emplace(point, int(m.kinds.size()));
        if (fresh)
            m.kinds << QString::fromStdString(point);
        PlotMark mark{t, kind->second, {}};
        recordValues(r.line, mark.values);
        m.points.push_back(std::move(mark));
        return true;
    });
    // Records need not come in time order (a clock set back): marks are drawn by time.
    std::sort(m.points.begin(), m.points.end(),
              [](const PlotMark& a, const PlotMark& b) { return a.t < b.t; });
    std::sort(m.segmentStarts.begin(), m.segmentStarts.end());
    for (const auto& [flag, n] : counted)
        m.counts.emplace_back(QString::fromStdString(flag), n);
    return m;
}

} // namespace office
