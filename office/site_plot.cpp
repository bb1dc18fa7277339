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

struct SitePlotter::State {
    State(const std::vector<series::SiteProperty>& properties, double from, double to, int parts)
        : properties(properties), parts(parts), width(to > from ? (to - from) / parts : 0),
          decimator(from, to, parts), marked(std::size_t(parts), false) {}
    const std::vector<series::SiteProperty>& properties;
    SitePlot out;
    int parts;
    double width;
    Decimator decimator;
    std::vector<double> values;
    std::vector<bool> marked;
    std::map<std::string, int> kindOf;
    std::map<std::string, long long> counted;
};

SitePlotter::SitePlotter(const std::vector<series::SiteProperty>& properties,
                         std::optional<double> first, std::optional<double> last,
                         long long withoutUtc, const TimeRange& range, int buckets) {
    // The rows are by UTC: the series' ends are its first and last, the range a cut of it.
    const double from = range.from.value_or(first.value_or(0));
    const double to = range.to.value_or(last.value_or(0));
    m = std::make_unique<State>(properties, from, to, std::max(1, buckets));
    SeriesPlot& p = m->out.plot;
    p.first = first.value_or(0);
    p.last = last.value_or(0);
    p.from = from;
    p.to = to;
    p.flagged = withoutUtc;
}

SitePlotter::~SitePlotter() = default;

double SitePlotter::from() const {
    return m->out.plot.from;
}

double SitePlotter::to() const {
    return m->out.plot.to;
}

void SitePlotter::add(const series::SiteRow& r) {
    SeriesPlot& p = m->out.plot;
    std::vector<double>& values = m->values;
    values.assign(m->properties.size(), std::nan(""));
    for (std::size_t c = 0; c < r.values.size() && c < values.size(); ++c)
        if (r.values[c] && std::isfinite(*r.values[c]))
            values[c] = *r.values[c];
    m->decimator.add(r.utc, values);
    ++p.records;
    ++p.utcRecords; // a site's series holds only records whose UTC is known
    if (r.flags.empty())
        return;
    series::forEachFlag(r.flags, [&](std::string_view flag) {
        if (flag != "segment start")
            ++m->counted[std::string(flag)];
    });
    const std::string point = series::pointFlags(r.flags);
    const auto bucket = std::size_t(
        m->width > 0 ? std::clamp<double>(std::floor((r.utc - p.from) / m->width), 0, m->parts - 1)
                     : 0);
    if (point.empty() || m->marked[bucket])
        return;
    m->marked[bucket] = true;
    auto [kind, fresh] = m->kindOf.try_emplace(point, int(p.marks.kinds.size()));
    if (fresh)
        p.marks.kinds << QString::fromStdString(point);
    p.marks.points.push_back({r.utc, kind->second, values});
}

SitePlot SitePlotter::finish(const std::vector<series::SiteSwap>& swaps) {
    SitePlot& out = m->out;
    SeriesPlot& p = out.plot;
    for (const auto& [flag, n] : m->counted)
        p.marks.counts.emplace_back(QString::fromStdString(flag), n);
    for (const std::size_t c : m->decimator.numericColumns()) {
        // A property of a meaning has no data set of its own; one without goes by its title.
        const series::SiteProperty& property = m->properties[c];
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
    p.buckets = m->decimator.take(m->properties.size());
    for (const series::SiteSwap& s : swaps) {
        const double t = double(s.atMs) / 1000.0;
        if (t >= p.from && t <= p.to)
            out.swaps.push_back({t, fromUtf8(s.fromUnit), fromUtf8(s.toUnit)});
    }
    return std::move(out);
}

SitePlot sitePlotOf(const series::SiteSeries& series, const TimeRange& range, int buckets) {
    std::optional<double> first, last;
    if (!series.rows.empty()) {
        first = series.rows.front().utc;
        last = series.rows.back().utc;
    }
    SitePlotter plotter(series.properties, first, last, series.withoutUtc, range, buckets);
    const auto [from, end] = series.rowsWithin(plotter.from(), plotter.to());
    for (std::size_t at = from; at < end; ++at)
        plotter.add(series.rows[at]);
    return plotter.finish(series.swaps);
}

platform::Result<SitePlot> sitePlotFromCopy(fleet::PgConnection& c,
                                            const series::SiteCopyPlan& plan,
                                            const std::vector<series::SiteProperty>& properties,
                                            const series::SiteCopyExtent& extent,
                                            const TimeRange& range, int buckets,
                                            std::chrono::milliseconds timeout) {
    SitePlotter plotter(properties, extent.first, extent.last, extent.withoutUtc, range, buckets);
    const platform::Result<long long> read = series::forEachSiteRowFromCopy(
        c, plan, properties, plotter.from(), plotter.to(), timeout, [&](const series::SiteRow& r) {
            plotter.add(r);
            return true;
        });
    if (!read)
        return read.error();
    return plotter.finish(
        series::swapsOf(plan.facts.deploymentsAt(QString::fromStdString(plan.site))));
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
