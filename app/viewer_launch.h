// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Starting the data viewer: a program of its own (xrq-view), detached, so that nothing a
// data file does to it can stall, starve or end this program or a download, and closing
// this program leaves the viewer open.

#include "platform/result.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

namespace viewer_launch {

// The viewer program: beside the running program first, then on PATH; empty when neither.
QString viewerProgram();
// The arguments for the files (and the folder in which its Open starts).
QStringList viewerArguments(const QStringList& files, const QString& dataFolder);
// Starts the viewer; the error's words are for the window that asked to show.
platform::Result<void> startDataViewer(const QStringList& files, const QString& dataFolder);

// The arguments that show a unit's series whole: the files folder that holds series.sqlite,
// the set's place among the download's sets of its name (0: the first), the unit's serial
// number and the data set's name (bytes as the unit sent them).
QStringList seriesArguments(const QByteArray& serial, const QByteArray& name, int ordinal,
                            const QString& filesFolder);
// Starts the viewer on a unit's series, as startDataViewer does on files.
platform::Result<void> startSeriesViewer(const QByteArray& serial, const QByteArray& name,
                                         int ordinal, const QString& filesFolder);

// Test seam: replaces the detached start (program, arguments) while set.
using Starter = std::function<bool(const QString&, const QStringList&)>;
void setStarter(Starter starter);

} // namespace viewer_launch
