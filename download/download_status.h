// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// While a download runs: bytes received, elapsed time and rate, a few times a second, told to
// the download's report (download_report.h). The figures come from the capture's byte count,
// which the receive path advances with every chunk, so nothing in that path needs to know
// about the display. UI thread only (the capture's wait loop dispatches the ticks).
//
// The clock counts while bytes come: once the line has been quiet for a second it stands at
// the last arrival, so a download that was cut off does not end with a rate as if all were
// well. A cut-off download (the unit fell silent, or its device went) is said so in the
// report's outcome and the run log, with how much arrived and the full path of the file
// holding it.

#include "download/capture_sink.h"
#include "download/data_collection.h"
#include "download/download_progress.h"
#include "download/download_report.h"
#include "session/serial_session.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <cstdio>
#include <string>

namespace download {

// Figures of a collection (logged at its end, read by the benchmark).
struct RunFigures {
    std::uint64_t captureBytes = 0;
    double captureSeconds = 0;
    double convertSeconds = 0;
};

enum class CaptureEnd { Complete, Silent, DeviceGone, Stopped, WriteFailed };

// How a capture ended, from how the session's wait for it ended.
CaptureEnd captureEndOf(session::SerialSession::WaitEnd wait);

// "Download interrupted: the unit fell silent. Received 1.25 MB in 4.0 s; kept in <path>".
// For a write failure, `path` is the failure's text and only the bytes written are named.
QString interruptedText(CaptureEnd how, const DownloadProgress& progress, const std::string& path);

// The full path of an open file (what the system says it is), or `fallback` made absolute
// against the working directory when the system cannot tell.
std::string openFilePath(std::FILE* file, const std::string& fallback);

class DownloadStatus : public QObject {
public:
    static constexpr int kQuietMs = 1000;

    // The figures go to `report` (may be null: none shown), which outlives this.
    DownloadStatus(DownloadReport* report, const CaptureSink* sink, int intervalMs = 250);
    ~DownloadStatus() override;

    // Takes the last reading and shows the final figures; the ticks stop.
    void finish(CaptureEnd how);
    const DownloadProgress& progress() const { return m_progress; }
    // The data sets and records seen so far in what arrived.
    const DownloadProgressModel& model() const { return m_model; }
    // Where the received bytes are (full path), as found when the download started.
    const std::string& filePath() const { return m_path; }

private:
    void tick(bool finished, bool cutOff = false);
    // What reached the file since the last look goes through the model (bounded per tick,
    // so that a fast line cannot hold the UI thread; the rest comes at the next tick).
    void readArrived(std::uint64_t upTo, bool all);

    DownloadReport* m_report;
    int m_readFd = -1; // the intermediate file opened again for reading, its own offset
    std::uint64_t m_readAt = 0;
    DownloadProgressModel m_model;
    const CaptureSink* m_sink;
    std::string m_path;
    QElapsedTimer m_clock;
    QTimer m_timer;
    DownloadProgress m_progress;
    std::int64_t m_lastArrivalMs = 0;
    bool m_anyArrived = false;
};

} // namespace download
