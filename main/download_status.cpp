#include "main/download_status.h"

#include "platform/exception_guard.h"

#include <QStatusBar>

namespace collection {

RunFigures& lastRunFigures() {
    static RunFigures figures;
    return figures;
}

DownloadStatus::DownloadStatus(QStatusBar* bar, std::FILE* file, int intervalMs)
    : m_bar(bar), m_file(file) {
    m_clock.start();
    m_progress.start(0);
    m_timer.setInterval(intervalMs);
    connect(&m_timer, &QTimer::timeout, this, platform::guarded([this] { tick(false); }));
    m_timer.start();
    tick(false);
}

DownloadStatus::~DownloadStatus() = default;

void DownloadStatus::tick(bool finished) {
    if (!m_file)
        return;
    // ftell counts what the capture has written, buffered bytes included.
    const long at = std::ftell(m_file);
    m_progress.update(at > 0 ? static_cast<std::uint64_t>(at) : m_progress.bytes(),
                      m_clock.elapsed());
    if (m_bar)
        m_bar->showMessage(m_progress.statusText(finished));
}

void DownloadStatus::finish() {
    tick(true);
    m_timer.stop();
    m_file = nullptr;
}

} // namespace collection
