// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// One unattended collection with the program's own windows, never shown (the caller runs
// the offscreen platform): the same session, commands, download, files and register as when
// the operator clicks, with every box told on standard error instead and each question
// answered from the options. The unit's memory is never cleared.
//
// Where the bytes go: the intermediate file is written in a working folder of this port's
// own (<files folder>collect/<device>/), which also holds the lock that keeps a second
// collector off the port; the data files go into the data directory as in the program.
// UI thread; the caller has made the QApplication and installed the termination signals.

#include "collect/collect_options.h"
#include "collect/collect_report.h"
#include "app/program_folders.h"

#include <QtGlobal>

class QApplication;

namespace collect {

CollectReport runCollection(QApplication& app, const CollectOptions& options,
                            const ProgramLocations& where);

// Qt's own warnings (fonts, the offscreen screen, the runtime folder) go into the run log,
// not to the operator; installed before the application is made.
void qtMessagesToRunLog(QtMsgType type, const QMessageLogContext& context, const QString& message);

// The COM number whose device is `device` (links followed on both sides), or 0 when none of
// 1..256 stands for it.
int portNumberOfDevice(const std::string& device);

} // namespace collect
