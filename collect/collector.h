// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// One unattended collection, with no window at all: the same session, commands, download,
// files and register as when the operator clicks in the program (session/, app/'s
// UnitService, download/, register/), with every box told on standard error instead and each
// question answered from the options. The unit's memory is cleared only with --clear.
//
// Where the bytes go: the intermediate file is written in a working folder of this port's
// own (<files folder>collect/<device>/), which also holds the lock that keeps a second
// collector off the port; the data files go into the data directory as in the program.
// UI thread; the caller has made the application (no GUI: no platform plugin is needed) and
// installed the termination signals.

#include "app/program_folders.h"
#include "collect/collect_options.h"
#include "collect/collect_report.h"

#include <QtGlobal>

class QCoreApplication;

namespace collect {

CollectReport runCollection(QCoreApplication& app, const CollectOptions& options,
                            const ProgramLocations& where);

// Qt's own warnings (the runtime folder, a database driver) go into the run log,
// not to the operator; installed before the application is made.
void qtMessagesToRunLog(QtMsgType type, const QMessageLogContext& context, const QString& message);

// The COM number whose device is `device` (links followed on both sides), or 0 when none of
// 1..256 stands for it.
int portNumberOfDevice(const std::string& device);

} // namespace collect
