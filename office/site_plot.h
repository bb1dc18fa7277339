// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A site's series (series/site_series.h) cut for the site page's plot: one column per property
// of the site, named by its meaning and in its unit of measurement, each bucket's least, mean
// and greatest calibrated value, the flagged records marked as on a unit's plot (plot_marks.h)
// and the swaps (where one unit's deployment ends and another's starts) as lines with the unit
// that starts. Pure: a site's series in, the plot out.

#include "office/office_reads.h"

#include "series/site_series.h"

#include <QJsonObject>
#include <QString>

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

// The series' rows within `range` (open ends: the series' own) in `buckets` equal parts.
SitePlot sitePlotOf(const series::SiteSeries& series, const TimeRange& range, int buckets);

// plotJson's answer with the site's names and units, the groups made of those, and
// marks.swaps: [[ms, from unit, to unit], ...].
QJsonObject sitePlotJson(const SitePlot& plot);

} // namespace office
