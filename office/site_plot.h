// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A site's series (series/site_series.h) cut for the site page's plot: one column per property
// of the site, named by its meaning and in its unit of measurement, each bucket's least, mean
// and greatest calibrated value, the flagged records marked as on a unit's plot (plot_marks.h)
// and the swaps (where one unit's deployment ends and another's starts) as lines with the unit
// that starts. Pure but for sitePlotFromCopy: a site's series (or its rows as they come) in, the
// plot out.

#include "office/office_reads.h"

#include "series/site_series.h"

#include <QJsonObject>
#include <QString>

#include <chrono>
#include <memory>
#include <optional>
#include <vector>

namespace office {

struct PlotSwap {
    double t = 0; // UTC s
    QString fromUnit, toUnit;
};

struct SitePlot {
    // Its columns the properties that hold a number in the range (plot_axes.h names them by
    // "name unit"), fields their places among the site's properties.
    SeriesPlot plot;
    QStringList names, units; // per column: the property's name and its unit's symbol
    std::vector<PlotSwap> swaps;
};

// The plot accumulated row by row, in the series' order (by UTC, then unit): its buckets,
// flagged marks and counts, never the rows held. One accumulator for a series held whole
// (sitePlotOf) and one streamed from the server's derived copy (sitePlotFromCopy), so that
// both give the same plot.
class SitePlotter {
public:
    // The whole series' first and last UTC (none: it holds no rows), its records left out for
    // want of a UTC, and the range asked (open ends: the series' own).
    SitePlotter(const std::vector<series::SiteProperty>& properties, std::optional<double> first,
                std::optional<double> last, long long withoutUtc, const TimeRange& range,
                int buckets);
    ~SitePlotter();
    SitePlotter(const SitePlotter&) = delete;
    SitePlotter& operator=(const SitePlotter&) = delete;
    // The rows to add are those within [from(), to()].
    double from() const;
    double to() const;
    void add(const series::SiteRow& row);
    // The plot, with the swaps within the range.
    SitePlot finish(const std::vector<series::SiteSwap>& swaps);

private:
    struct State;
    std::unique_ptr<State> m;
};

// The series' rows within `range` (open ends: the series' own) in `buckets` equal parts.
SitePlot sitePlotOf(const series::SiteSeries& series, const TimeRange& range, int buckets);

// The same plot from the server's derived copy as `plan` found it (series/site_series.h), under
// the whole series' `properties` (siteCopyProperties) and `extent` (siteCopyExtent): the rows
// within the range streamed from the copy into the buckets (forEachSiteRowFromCopy), so that
// the memory it takes is the buckets', whatever the series' length. A Server error when the
// copy was not read. Runs on the caller's thread, on its connection.
platform::Result<SitePlot> sitePlotFromCopy(fleet::PgConnection& connection,
                                            const series::SiteCopyPlan& plan,
                                            const std::vector<series::SiteProperty>& properties,
                                            const series::SiteCopyExtent& extent,
                                            const TimeRange& range, int buckets,
                                            std::chrono::milliseconds timeout);

// plotJson's answer with the site's names and units, the groups made of those, and
// marks.swaps: [[ms, from unit, to unit], ...].
QJsonObject sitePlotJson(const SitePlot& plot);

} // namespace office
