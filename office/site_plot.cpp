// SPDX-License-Identifier: GPL-3.0-or-later
#include "office/site_plot.h"

#include "office/office_pages.h"
#include "office/plot_axes.h"
#include "office/plot_buckets.h"

#include <QJsonArray>

#include <algorithm>
#include <cmath>
#include <map>

namespace office {

namespace {

QString fromUtf8(const std::string& s) {
    return QString::fromUtf8(s.data(), qsizetype(s.size()));
}

} // namespace

SitePlot sitePlotOf(const series::SiteSeries& series, const TimeRange& range, int buckets) {
    SitePlot out;
    SeriesPlot& p = out.plot;
    // The rows are by UTC: the series' ends are its first and last, the range a cut of it.
    if (!series.rows.empty()) {
        p.first = series.rows.front().utc;
        p.last = series.rows.back().utc;
    }
    p.from = range.from.value_or(p.first);
    p.to = range.to.value_or(p.last);
    p.flagged = series.withoutUtc;
    const int parts = std::max(1, buckets);
    const double width = p.to > p.from ? (p.to - p.from) / parts : 0;
    Decimator decimator(p.from, p.to, parts);
    std::vector<double> values;
    std::vector<bool> marked(std::size_t(parts), false);
    std::map<std::string, int> kindOf;
    std::map<std::string, long long> counted;
    const auto [first, end] = series.rowsWithin(p.from, p.to);
    for (std::size_t at = first; at < end; ++at) {
        const series::SiteRow& r = series.rows[at];
        values.assign(series.properties.size(), std::nan(""));
        for (std::size_t c = 0; c < r.values.size() && c < values.size(); ++c)
            if (r.values[c] && std::isfinite(*r.values[c]))
                values[c] = *r.values[c];
        decimator.add(r.utc, values);
        ++p.records;
        ++p.utcRecords; // a site's series holds only records whose UTC is known
        if (r.flags.empty())
            continue;
        series::forEachFlag(r.flags, [&](std::string_view flag) {
            if (flag != "segment start")
                ++counted[std::string(flag)];
        });
        const std::string point = series::pointFlags(r.flags);
        const auto bucket = std::size_t(
            width > 0 ? std::clamp<double>(std::floor((r.utc - p.from) / width), 0, parts - 1) : 0);
        if (point.empty() || marked[bucket])
            continue;
        marked[bucket] = true;
        auto [kind, fresh] = kindOf.try_emplace(point, int(p.marks.kinds.size()));
        if (fresh)
            p.marks.kinds << QString::fromStdString(point);
        p.marks.points.push_back({r.utc, kind->second, values});
    }
    for (const auto& [flag, n] : counted)
        p.marks.counts.emplace_back(QString::fromStdString(flag), n);
    for (const std::size_t c : decimator.numericColumns()) {
        // A property of a meaning has no data set of its own; one without goes by its title.
        const series::SiteProperty& property = series.properties[c];
        fleet::ColumnMeaning meaning;
        meaning.property = fromUtf8(property.name);
        meaning.uom = property.uom;
        const bool meant = property.dataSet.empty();
        const ColumnName named =
            plotColumnName(meant ? &meaning : nullptr, meant ? QString() : meaning.property, c);
        p.columns << named.label;
        p.titles << meaning.property;
        p.names << named.name;
        p.units << named.unit;
        p.fields.push_back(c);
        out.names << named.name;
        out.units << named.unit;
    }
    p.buckets = decimator.take(series.properties.size());
    for (const series::SiteSwap& s : series.swaps) {
        const double t = double(s.atMs) / 1000.0;
        if (t >= p.from && t <= p.to)
            out.swaps.push_back({t, fromUtf8(s.fromUnit), fromUtf8(s.toUnit)});
    }
    return out;
}

QJsonObject sitePlotJson(const SitePlot& plot) {
    // Names, units and groups as plotJson gives them (the plot's columns named by
    // plotColumnName), with the swaps among the marks.
    QJsonObject out = plotJson(plot.plot);
    QJsonArray swaps;
    for (const PlotSwap& s : plot.swaps)
        swaps.append(QJsonArray{qint64(std::llround(s.t * 1000)), s.fromUnit, s.toUnit});
    QJsonObject marks = out.value(QLatin1String("marks")).toObject();
    marks.insert(QStringLiteral("swaps"), swaps);
    out.insert(QStringLiteral("marks"), marks);
    return out;
}

} // namespace office
