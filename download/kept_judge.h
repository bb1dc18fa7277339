// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Downloads an earlier program called safe, judged again by this program's line rules
// (download_verdict.h) on their kept raw copies, once, at the first start after the upgrade.
// What else made them safe (the capture's end, the files synced and read back) was judged
// when they were made and stands. One that is no longer safe is told to the register as a
// fact of its own ("judged again: not verified", with its reasons) and the series is built
// again from the kept downloads, so that it takes that download as not safe, as a rebuild
// does.

#include "platform/result.h"
#include "register/register_writer.h"

#include <QObject>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace download {

// The line rules' reasons against a kept raw download (empty: its lines are sound). The
// text the unit put before its prompt at that visit was not kept: the prompt's line may hold
// only blanks and a CR before its '>'. An error when the file cannot be read.
platform::Result<std::vector<std::string>> judgeKeptLines(const std::string& keptPath);

struct JudgedAgainSummary {
    std::size_t judged = 0;              // kept downloads read and judged again
    std::vector<std::string> notSafe;    // of those, the ones no longer safe ("path: why")
    std::vector<std::string> unreadable; // not judged: their kept copy cannot be read
    bool rebuilt = false;                // the series was built again
    std::string rebuildError;            // why it could not be
};

// Judges again every download the register still lists, off the UI thread while its loop
// runs, and tells the register each outcome; then builds the series again when one is no
// longer safe and a series store exists in `filesFolder`. `done` runs on the UI thread (not
// when `context` has gone). A kept copy that cannot be read leaves the list too: it is told
// in the summary, and the download stays as judged when it was made.
void judgeKeptDownloadsAgain(RegisterWriter& reg, QObject* context, std::string filesFolder,
                             std::function<void(const JudgedAgainSummary&)> done);

// The summary as run-log lines (none when nothing was waiting).
std::vector<std::string> judgedAgainLogLines(const JudgedAgainSummary& summary);

} // namespace download
