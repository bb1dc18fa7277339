// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Collect Data as one command: check the data folder, capture the unit's answer to "F" into
// the intermediate file, convert it into data files and tell the operator how it went. The
// window hands in what it shows meanwhile (hooks) and keeps the outcome; what the download
// tells, its boxes included, goes to the report it is handed (download_report.h), so the
// command runs without a window of its own.
// UI thread only (the capture's wait dispatches the events).

#include "download/capture_sink.h"
#include "download/data_collection.h"
#include "download/download_report.h"
#include "download/download_status.h"
#include "platform/fixed_name_file.h"
#include "session/byte_sink.h"
#include "session/serial_session.h"

#include <QString>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace download {

// How a download ended, for the window and for whoever records the unit's state.
struct DownloadOutcome {
    // Something was sent to the unit (false: refused before that, nothing changed).
    bool started = false;
    RunFigures figures;
    // Data files this download wrote, in order (also those of a conversion that failed
    // part-way); the data viewer opens them by default.
    std::vector<std::string> files;
    // The capture ended with the unit's prompt, unstopped and written whole.
    bool captured = false;
    // The data files were placed and "Data collected and placed in ..." was shown.
    bool placed = false;
    // The unit may count as downloaded (its memory holds nothing that is not on disk):
    // the capture ended with the prompt, every data set was written, no prompt came inside
    // the data, every file is synced and each data file read back holds what was meant.
    bool downloaded = false;
    // What the data-set names were joined to: the typed directory, with a "/" added when
    // it names a folder.
    std::string dataPrefix;
    bool verified = false;
    // Why not, in words that follow "The last download of <serial> was incomplete: " (the
    // reasons joined by "; ").
    std::string unverified;
    // Why not, one sentence each (empty when verified).
    std::vector<std::string> reasons;
    // Each data set's name and its data lines, as the line rules counted them.
    std::vector<SetLineCount> setLines;
    // The line errors the device reported during the capture.
    LineErrorCounts lineErrors;
    // The download's own copy under the files folder, once it is whole and synced (empty
    // when it could not be made, or failed: then keptFailure says which file and why).
    std::string keptFile;
    std::string keptFailure;
    // The unit's series took the download durably (series/series_apply.h), and what it said.
    bool seriesTaken = false;
    std::string series;
    // The series read the kept copy back as the conversion read the capture: the same data
    // sets with the same record counts, each taken whole (held or added).
    bool seriesAgrees = false;
    // The series found the unit holding fewer records than before, its first records those
    // held (records lost on the way, or a unit that forgot part of its memory).
    bool seriesFewer = false;
    // When "F" went out (UTC ms): a record the unit logs from then on may be missing from the
    // download (it keeps logging while it sends).
    std::int64_t captureStartedMs = 0;
};

struct DownloadHooks {
    // What the download tells, meanwhile and at its end, its boxes included; outlives the
    // run. Unset: nothing is shown.
    DownloadReport* report = nullptr;
    // The data directory as typed (path bytes: a folder ending in "/" or a name prefix).
    std::string dataDirectory;
    // The unit as the run log names it, and its serial number (empty when unknown).
    std::string unitText;
    // Reads the unit's serial number afresh just before "F" (the cable may have moved to
    // another unit) and puts the unit as the run log names it then, and its serial number
    // (empty when it gave none), in place of unitText and unitSerial. Unset: those stand.
    std::function<void(std::string& unitText, std::string& unitSerial)> identifyUnit;
    std::string unitSerial;
    // The program's files folder (ending in "/"): kept downloads go under it. Empty: none.
    std::string filesFolder;
    // Capture and keep only: nothing converted, taken into the series or told beyond a
    // capture that ended badly (the outcome's `captured` and `keptFile` say how it went).
    bool captureOnly = false;
    // The capture begins (true) or ends (false): stop button, echo, busy cursor.
    std::function<void(bool)> capturing;
    // The conversion has ended (before any message about it): the unit's record follows.
    std::function<void(const DownloadOutcome&)> converted;
    // Once something was sent, every way out: whether the unit counts as downloaded.
    std::function<void(const DownloadOutcome&)> judged;
};

// Collect Data over `session`: the captured bytes go into the download's files and then, as
// each chunk came, to `echo` (a window's view of them; session::NullSink for none).
DownloadOutcome runDownload(session::SerialSession& session, session::ByteSink& echo,
                            const DownloadHooks& hooks);

// The log's words for an intermediate file that is not ours alone: its owner and mode.
std::string foreignFileText(const platform::ForeignFile& foreign);

// After the operator's Stop: waits, sending nothing, until the unit has finished the download
// it was asked for (its prompt, or 4 s of silence), with what arrives written to the
// download's file; `report` (may be null) says so meanwhile. Returns the bytes that came.
std::uint64_t finishStoppedDownload(session::SerialSession& session, DownloadReport* report,
                                    CaptureSink& sink, const DownloadProgress& progress);
// The run log's lines for the files of a conversion.
void logConverted(const ConvertOutcome& converted);

// Tools > "Convert a Kept Download...": converts a kept download (or any intermediate file)
// into the data directory by the same rules as a download (never overwriting), then names
// the files written; of a cut download the whole lines that arrived are written and the data
// set they end in is named incomplete. `report` tells the outcome and raises the boxes.
ConvertOutcome convertKeptDownload(const std::string& path, const std::string& dataDirectory,
                                   const std::string& filesFolder, DownloadReport& report);

// Bytes the unit sent after the capture had ended, counted over a short quiet spell.
std::uint64_t bytesAfterCapture(session::SerialSession& session, std::uint64_t countAtEnd);

} // namespace download
