// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Starting the data viewer: a program of its own (xrq-view), detached, so that nothing a
// data file does to it can stall, starve or end this program or a download, and closing
// this program leaves the viewer open.

#include <QString>
#include <QStringList>

#include <functional>

namespace viewer_launch {

// The viewer program: beside the running program first, then on PATH; empty when neither.
QString viewerProgram();
// The arguments for the files (and the folder in which its Open starts).
QStringList viewerArguments(const QStringList& files, const QString& dataFolder);
// Starts the viewer; false with the reason in `error`.
bool startDataViewer(const QStringList& files, const QString& dataFolder, QString& error);

// Test seam: replaces the detached start (program, arguments) while set.
using Starter = std::function<bool(const QString&, const QStringList&)>;
void setStarter(Starter starter);

} // namespace viewer_launch
