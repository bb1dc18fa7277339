// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A unit's series (series.sqlite in the program's files folder, read only) as one data set
// for the viewer: every record of every segment, read by the same reader as a data file, at
// its UTC instant (the unit's own time where no offset is known), with the segment starts
// and the flagged records marked (the flags are the export's, series/series_export.h).
// Runs on the viewer's reading thread; no window.

#include "viewer_reader/data_file.h"

#include <QByteArray>
#include <QString>

#include <atomic>

namespace viewer {

struct SeriesRequest {
    QString filesFolder; // ends with "/"
    QByteArray serial;   // the unit's bytes
    QByteArray name;     // the data set's name, bytes as sent
    int ordinal = 0;     // 0: the first set of that name in each download

    // "SITE1 (unit XRQ10472)", the tab's and the plot's title.
    QString title() const;
};

// The series as a data set; DataSet::error says why when it cannot be shown. The memory
// budget covers the records' text, what is kept per record, and the values.
DataSet readSeries(const SeriesRequest& request, const std::atomic<bool>* cancel = nullptr,
                   const ProgressFn& progress = {}, const ReadLimits& limits = {});

} // namespace viewer
