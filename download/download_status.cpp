// SPDX-License-Identifier: GPL-3.0-or-later
#include "download/download_status.h"
#include "dialogs/source_lines.h"

#include "dialogs/run_log.h"
#include "platform/exception_guard.h"

#include <QDir>

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace download {

QString interruptedText(CaptureEnd how, const DownloadProgress& progress, const std::string& path) {
    if (how == CaptureEnd::WriteFailed)
        return QStringLiteral("%1. Download ended: %2 written before it in %3 s")
            .arg(QString::fromLocal8Bit(path),
                 formatByteCount(static_cast<double>(progress.bytes())),
                 QString::number(progress.elapsedSeconds(), 'f', 1));
    if (how == CaptureEnd::Stopped)
        return QStringLiteral("Download stopped by the operator. Received %1 in %2 s; kept in %3")
            .arg(formatByteCount(static_cast<double>(progress.bytes())),
                 QString::number(progress.elapsedSeconds(), 'f', 1), QString::fromLocal8Bit(path));
    const QString why = how == CaptureEnd::DeviceGone ? QStringLiteral("the unit's port went away")
                                                      : QStringLiteral("the unit fell silent");
    return QStringLiteral("Download interrupted: %1. Received %2 in %3 s; kept in %4")
        .arg(why, formatByteCount(static_cast<double>(progress.bytes())),
             QString::number(progress.elapsedSeconds(), 'f', 1), QString::fromLocal8Bit(path));
}

std::string openFilePath(std::FILE* file, const std::string& fallback) {
    if (file) {
        const std::string self = "/proc/self/fd/" + std::to_string(::fileno(file));
        char target[PATH_MAX];
        const ssize_t n = ::readlink(self.c_str(), target, sizeof target - 1);
        if (n > 0 && target[0] == '/')
            return std::string(target, static_cast<std::size_t>(n));
    }
    return QDir::current()
        .absoluteFilePath(QString::fromLocal8Bit(fallback))
        .toLocal8Bit()
        .toStdString();
}

DownloadStatus::DownloadStatus(DownloadReport* report, const CaptureSink* sink, int intervalMs)
    : m_report(report), m_sink(sink), m_path(sink ? sink->intermediatePath() : std::string()) {
    // The capture writes each chunk straight into the file: a descriptor of our own reads
    // them back for the data sets and records shown.
    if (!m_path.empty())
        m_readFd = ::open(m_path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    if (m_report)
        m_report->begin();
    m_clock.start();
    m_progress.start(0);
    m_timer.setInterval(intervalMs);
    connect(&m_timer, &QTimer::timeout, this, platform::guarded([this] { tick(false); }));
    m_timer.start();
    tick(false);
}

DownloadStatus::~DownloadStatus() {
    if (m_readFd >= 0)
        ::close(m_readFd);
}

void DownloadStatus::readArrived(std::uint64_t upTo, bool all) {
    if (m_readFd < 0 || upTo <= m_readAt)
        return;
    constexpr std::uint64_t kPerTick = 8u << 20;
    const std::uint64_t end = all ? upTo : std::min(upTo, m_readAt + kPerTick);
    std::vector<char> buffer(1 << 16);
    while (m_readAt < end) {
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), end - m_readAt));
        const ssize_t n = ::pread(m_readFd, buffer.data(), want, static_cast<off_t>(m_readAt));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return; // the figures stand; the download itself goes on
        m_model.feed(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
        m_readAt += static_cast<std::uint64_t>(n);
    }
}

void DownloadStatus::tick(bool finished, bool cutOff) {
    if (!m_sink)
        return;
    const std::int64_t now = m_clock.elapsed();
    const std::uint64_t bytes = m_sink->bytes();
    if (bytes > m_progress.bytes()) {
        m_lastArrivalMs = now;
        m_anyArrived = true;
    }
    // The clock stands at the last arrival once the line is quiet (or the capture was cut
    // off); before the first byte it runs, since the unit is still to answer.
    std::int64_t shown = now;
    if (m_anyArrived && (cutOff || now - m_lastArrivalMs >= kQuietMs))
        shown = m_lastArrivalMs;
    else if (!m_anyArrived && cutOff)
        shown = 0;
    m_progress.update(bytes, shown);
    readArrived(bytes, finished);
    if (m_report) {
        const double sinceLast = m_anyArrived ? (now - m_lastArrivalMs) / 1000.0 : 0.0;
        m_report->progress(setsLine(m_model, finished) + QLatin1Char('\n') +
                           bytesLine(m_progress, sinceLast, finished));
    }
}

CaptureEnd captureEndOf(session::SerialSession::WaitEnd wait) {
    switch (wait) {
    case session::SerialSession::WaitEnd::Answered:
        break;
    case session::SerialSession::WaitEnd::TimedOut:
        return CaptureEnd::Silent;
    case session::SerialSession::WaitEnd::LineGone:
        return CaptureEnd::DeviceGone;
    case session::SerialSession::WaitEnd::Stopped:
        return CaptureEnd::Stopped;
    }
    return CaptureEnd::Complete;
}

void DownloadStatus::finish(CaptureEnd how) {
    if (!m_sink)
        return;
    const bool cutOff = how != CaptureEnd::Complete;
    tick(true, cutOff);
    m_timer.stop();
    const std::string failure = m_sink->failure();
    m_sink = nullptr;
    if (!cutOff)
        return;
    const QString text =
        interruptedText(how, m_progress, how == CaptureEnd::WriteFailed ? failure : m_path);
    if (m_report)
        m_report->outcome(text);
    LogWrite(text.toLocal8Bit().toStdString(), source_line::downloadStatus, LogSizeLimit);
}

} // namespace download
