// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Collect Data as one command: check the data folder, capture the unit's answer to "F" into
// the intermediate file, convert it into data files and tell the operator how it went. The
// window hands in what it shows meanwhile (hooks) and keeps the outcome; messages and
// questions go through the dialogs, so the command runs without a window of its own.
// UI thread only (the capture's wait dispatches the events).

#include "main/data_collection.h"
#include "main/download_status.h"

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

class QStatusBar;
class TFormSerial;

namespace collection {

// How a download ended, for the window and for whoever records the unit's state.
struct DownloadOutcome {
    // Something was sent to the unit (false: refused before that, nothing changed).
    bool started = false;
    RunFigures figures;
    // Data files this download wrote, in order (also those of a conversion that failed
    // part-way); the data viewer opens them by default.
    std::vector<std::string> files;
    // The data files were placed and "Data collected and placed in ..." was shown.
    bool placed = false;
    // The unit may count as downloaded (its memory holds nothing that is not on disk).
    bool downloaded = false;
};

struct DownloadHooks {
    TFormSerial* session = nullptr;
    QStatusBar* statusBar = nullptr;
    // The data directory as typed (path bytes: a folder ending in "/" or a name prefix).
    std::string dataDirectory;
    // The unit as the run log names it.
    std::string unitText;
    // Where the receive path writes the captured bytes while the capture runs.
    std::FILE** captureFile = nullptr;
    // The capture begins (true) or ends (false): stop button, echo, busy cursor.
    std::function<void(bool)> capturing;
    // The conversion has ended (before any message about it): the unit's record follows.
    std::function<void(const DownloadOutcome&)> converted;
};

DownloadOutcome runDownload(const DownloadHooks& hooks);

// Bytes the unit sent after the capture had ended, counted over a short quiet spell.
std::uint64_t bytesAfterCapture(TFormSerial& session, std::uint64_t countAtEnd);

} // namespace collection
