// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The program's sharing with the organisation's server (fleet/sharing.h), started by
// RunProgram once the main window is shown (the register is open then) and ended when the
// window closes (TFormXRQMain::FormClose, at the latest its destructor; xrq-collect at its end):
// the pusher over the unit register's and the series' outboxes, its lines in the run log, its
// status line told to whoever shows it (the main window's status panel), and a push as soon as
// the register has recorded an event. UI thread.

#include "fleet/sharing_sources.h"

#include <QString>

#include <functional>
#include <string>
#include <vector>

class QObject;

// What sharing reads from the series and the register (fleet/sharing_sources.h): the one
// wiring of the windowed program and of xrq-collect, which push the same two files, and of
// the tests and benchmarks that push as they do.
fleet::SharingSources programSharingSources();

// The files whose outboxes the programs push, in order (`filesFolder` ends with "/"): the
// register's, the series', then the site facts recorded at visits (fleet/site_store.h).
std::vector<std::string> programOutboxFiles(const std::string& filesFolder);

// Reads the organisation's site facts from the server on a thread of the sharing's reads and
// keeps them (fleet::learnSiteFacts), then tells `done` on the UI thread unless `context` has
// gone. False (nothing asked) when not shared. The program's start asks once; a window that
// shows where a unit is may ask again. UI thread.
bool LearnSites(QObject* context, std::function<void(const QString& told, bool reached)> done);

// `filesFolder` ends with "/". Reads fleet.ini there; starts the pusher when a service is
// chosen, and learns the site facts (LearnSites). While `shownBy` lives (null: nothing is shown),
// `showStatus` is told the sharing's status line now and whenever it changes, and a record in the
// register nudges the pusher.
void StartSharing(const std::string& filesFolder, QObject* shownBy,
                  std::function<void(const QString&)> showStatus);
// Ends the pusher and the server reads; returns within about 2 s whatever the server does.
void StopSharing();
