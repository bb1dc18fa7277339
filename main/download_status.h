#pragma once
// While a download runs: bytes received, elapsed time and rate in the main window's status
// bar, a few times a second. The figures come from the position of the intermediate file,
// which the receive path advances with every chunk, so nothing in that path needs to know
// about the display. UI thread only (the capture's wait loop dispatches the ticks).

#include "main/data_collection.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <cstdio>

class QStatusBar;

namespace collection {

// Figures of the latest collection in this process (shown at its end, read by the benchmark).
struct RunFigures {
    std::uint64_t captureBytes = 0;
    double captureSeconds = 0;
    double convertSeconds = 0;
};
RunFigures& lastRunFigures();

class DownloadStatus : public QObject {
public:
    DownloadStatus(QStatusBar* bar, std::FILE* file, int intervalMs = 250);
    ~DownloadStatus() override;

    // Takes the last reading and shows the final figures; the ticks stop.
    void finish();
    const DownloadProgress& progress() const { return m_progress; }

private:
    void tick(bool finished);

    QPointer<QStatusBar> m_bar;
    std::FILE* m_file;
    QElapsedTimer m_clock;
    QTimer m_timer;
    DownloadProgress m_progress;
};

} // namespace collection
