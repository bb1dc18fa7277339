// SPDX-License-Identifier: GPL-3.0-or-later
#include "download/earlier_tail.h"
#include "dialogs/source_lines.h"

#include "dialogs/run_log.h"
#include "download/capture_sink.h"
#include "download/data_collection.h"
#include "download/download_progress.h"
#include "platform/durable_file.h"
#include "session/serial_session.h"

#include <QElapsedTimer>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace download {

EarlierTail::~EarlierTail() {
    if (m_fd >= 0)
        ::close(m_fd);
}

void EarlierTail::failed(const std::string& what) {
    if (m_failure.empty())
        m_failure = what + ": " + std::strerror(errno);
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool EarlierTail::create(const std::string& folder) {
    if (!platform::makeFolders(folder)) {
        failed(folder);
        return false;
    }
    const StampedFile tail = createStampedFile(folder, "_tail.txt");
    if (tail.fd < 0) {
        errno = tail.error;
        failed(tail.path);
        return false;
    }
    m_fd = tail.fd;
    m_path = tail.path;
    return true;
}

void EarlierTail::write(std::string_view bytes) {
    m_bytes += bytes.size();
    if (m_fd >= 0 && !platform::writeAll(m_fd, bytes.data(), bytes.size()))
        failed("Cannot write " + m_path);
}

bool EarlierTail::finish() {
    m_finished = true;
    if (m_fd < 0)
        return m_failure.empty() && !m_path.empty();
    if (!platform::syncFile(m_fd)) {
        failed("Cannot sync " + m_path);
        return false;
    }
    const int fd = m_fd;
    m_fd = -1;
    if (::close(fd) != 0 && errno != EINTR) {
        failed("Cannot write " + m_path);
        return false;
    }
    if (!platform::syncFolder(platform::folderOf(m_path))) {
        failed("Cannot sync the folder of " + m_path);
        return false;
    }
    return true;
}

std::string earlierSendingText(const EarlierTail& tail, bool cutOff) {
    std::string text =
        "The XRQ unit was still sending an earlier download: " +
        download::formatByteCount(static_cast<double>(tail.bytes())).toStdString() +
        (cutOff ? " came in 15 minutes and it had not ended" : " came before it answered");
    if (tail.whole())
        text += "; kept in " + tail.path();
    else
        text += "; they could not be kept (" +
                (tail.failure().empty() ? std::string("no file") : tail.failure()) + ")";
    return text;
}

void keepEarlierSending(session::SerialSession& session, std::function<std::string()> filesFolder,
                        std::function<std::string()> serial, std::shared_ptr<DownloadReport> report,
                        std::function<void(const std::string&)> told) {
    struct State {
        std::unique_ptr<EarlierTail> tail;
        QElapsedTimer shown;
    };
    auto state = std::make_shared<State>();
    auto progress = [state, report] {
        if (!report)
            return;
        const QString text =
            QStringLiteral("The XRQ unit is still sending an earlier download: %1 so far; the "
                           "next command waits for its end")
                .arg(download::formatByteCount(static_cast<double>(state->tail->bytes())));
        report->progress(text);
        state->shown.start();
    };
    session.OnEarlierSending.began = [state, filesFolder, serial, progress] {
        state->tail = std::make_unique<EarlierTail>();
        const std::string folder = filesFolder();
        if (!folder.empty())
            state->tail->create(download::keptDownloadFolder(folder, serial()));
        progress();
    };
    session.OnEarlierSending.received = [state, progress](std::string_view bytes) {
        state->tail->write(bytes);
        // A few times a second: a fast line must not redraw the panel per chunk.
        if (!state->shown.isValid() || state->shown.elapsed() >= 250)
            progress();
    };
    session.OnEarlierSending.ended = [state, report, told](std::uint64_t, bool cutOff) {
        if (!state->tail)
            return;
        state->tail->finish();
        const std::string text = earlierSendingText(*state->tail, cutOff);
        LogWrite(text, source_line::earlierSendingKept, LogSizeLimit);
        if (report) {
            report->progress({});
            tellOutcome(report.get(), text);
        }
        if (told)
            told(text);
        state->tail.reset();
    };
}

} // namespace download
