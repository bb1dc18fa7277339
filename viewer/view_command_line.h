// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// xrq-view's command line: data files to show (and the folder Open starts in), or a unit's
// series whole:
//   xrq-view [--folder DIR] [FILE...]
//   xrq-view [--files-folder DIR] [--set N] --series SERIAL NAME
// Read here, apart from the program's main, so that what the program that starts the viewer
// writes (app/viewer_launch.h) is tested against what the viewer reads.

#include "viewer/series_reading.h"

#include <QString>
#include <QStringList>

namespace viewer {

struct ViewCommandLine {
    QString dataFolder;  // --folder
    QStringList files;   // without --series
    bool series = false; // --series: `request` says which
    SeriesRequest request;
    bool help = false; // --help: `text` is the help
    QString text;      // the help, or why the command line was refused (then `refused`)
    bool refused = false;
};

// `arguments` as the program has them, its own name first.
ViewCommandLine readViewCommandLine(const QStringList& arguments);

} // namespace viewer
