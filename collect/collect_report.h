// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What one collection found and did, as --json prints it, and the terminal's progress line.
// Plain logic, no windows.

#include "collect/collect_options.h"
#include "platform/result.h"

#include <QString>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace collect {

struct CollectReport {
    Exit exit = Exit::Failed;
    std::string message; // the outcome in words (empty when safe)
    int port = -1;       // the COM number used
    std::string device;  // its device path, empty when unknown
    std::string serial;  // the unit's serial number, empty when it gave none
    std::string dataDirectory;
    std::vector<std::string> files; // data files written by this download
    std::string keptFile;           // the raw copy of the download, empty when none
    std::string keptFileFailed;     // "<what> <path>: <reason>" when the raw copy failed
    std::uint64_t bytes = 0;
    double seconds = 0;
    bool downloadStarted = false;
    bool verified = false;
    // Why the download is not safe, one sentence each (empty when it is, or did not start).
    std::vector<std::string> reasons;
    // The line errors the device reported during the capture: "none", "not checked" (the
    // device counts none, a pty for one) or the counts; empty when no download started.
    std::string lineErrors;
    std::optional<double> volts, celsius; // --battery, when the unit answered
    bool clockSet = false;
    std::string clockText;             // what the clock was set to
    std::vector<std::string> warnings; // what did not stop the download (battery, clock, ...)
    // --clear: whether the memory was cleared, why not, and the window from the download's
    // "F" to the clear's answer in which a record the unit logged may be lost.
    struct Clear {
        bool asked = false;
        bool cleared = false;
        std::string reason;
        std::int64_t windowFromMs = 0, windowToMs = 0; // 0: no clear was sent
        double usualIntervalSeconds = 0;               // the unit's series (0: unknown)
        // The memory is read twice before a clear: the first read's kept copy and when each
        // read's "F" went out (0: that read did not happen).
        std::string firstReadKept;
        std::int64_t firstReadMs = 0, secondReadMs = 0;
    } clear;
    // Sharing with the organisation's server: none when not shared (no service).
    struct Shared {
        std::int64_t pushed = 0;  // facts the server confirmed during --push-wait
        std::int64_t waiting = 0; // facts still in the outboxes at the end
        std::string status;       // the status line ("shared: up to date", ...)
    };
    std::optional<Shared> shared;
    // --site / --note: what was recorded of the visit; none when neither was given.
    struct SiteVisit {
        std::string site;     // the code given, empty for a note about the unit alone
        std::string recorded; // "deployment", "swap", "already" (recorded there), "none"
        std::vector<std::string> removed; // the units a swap recorded as removed
        bool noteRecorded = false;
        std::string refused; // why nothing was recorded (an unknown site...), empty when done
        std::string learnt;  // where the sites came from: "server", "learnt <ISO time>", "none"
    };
    std::optional<SiteVisit> siteVisit;
};

// One JSON object, one line, ending in "\n". Path bytes that are not UTF-8 come out as
// Latin-1 (a file name of another encoding stays readable, and the object stays valid).
std::string reportJson(const CollectReport& report);

// Writes the report whole to `fd` (-1: the output was closed). An error when any of it could
// not be written (a full disk, a closed pipe, a closed output); never raises SIGPIPE.
platform::Result<void> writeReport(int fd, const std::string& json);

// Opens /dev/null in the place of each standard stream (input, output, error) that is closed,
// so that no file opened later gets that number; which of the three were closed.
std::array<bool, 3> holdClosedStandardStreams();

// The status panel's progress lines as one terminal line of at most `width` columns: the
// lines joined by " | ", the middle shortened with "..." when too long.
std::string progressLine(const QString& progressText, int width);

} // namespace collect
