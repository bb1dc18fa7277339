// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The marks on a series' plot, as the viewer draws them: a line across the plot where a
// segment starts, a point at each flagged record (series::pointFlags: the export's flags of
// the record itself), at most one point per bucket of the plot (its first flagged record), and
// every flag of the range counted. Pure over a series source.

#include "series/series_export.h"

#include <QString>
#include <QStringList>

#include <utility>
#include <vector>

namespace office {

struct PlotMark {
    double t = 0;               // UTC s (the unit's time where its offset is not known)
    int kind = 0;               // in PlotMarks::kinds
    std::vector<double> values; // the record's fields (recordValues), for where to draw it
};

struct PlotMarks {
    std::vector<double> segmentStarts;                 // UTC s, in the range
    QStringList kinds;                                 // "disputed", "gap; repeated time", ...
    std::vector<PlotMark> points;                      // by time
    std::vector<std::pair<QString, long long>> counts; // each flag over the range, by name
};

// The marks of [from, to] cut into `buckets` equal parts, the records' times as the export's
// (series::forEachRecordUtc).
PlotMarks plotMarks(const series::RecordSource& source, double from, double to, int buckets);

} // namespace office
