// SPDX-License-Identifier: GPL-3.0-or-later
#include "main/download_command.h"

#include "dialogs/Dialogs.h"
#include "main/status_panel.h"
#include "platform/fixed_name_file.h"
#include "serial/fSerial.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QScopeGuard>
#include <QStatusBar>
#include <QString>
#include <QTimer>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace collection {

std::uint64_t bytesAfterCapture(TFormSerial& session, std::uint64_t countAtEnd) {
    // The session reads and drops what comes after the capture; bytes that came during the
    // conversion are still queued and arrive within this spell too.
    constexpr int kQuietSpellMs = 300;
    if (session.PortOpen) {
        QTimer spell;
        spell.setSingleShot(true);
        spell.start(kQuietSpellMs);
        while (spell.isActive() && session.BytesOutsideExchanges() == countAtEnd &&
               !session.ExchangesStopped())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return session.BytesOutsideExchanges() - countAtEnd;
}

DownloadOutcome runDownload(const DownloadHooks& hooks) {
    DownloadOutcome outcome;
    TFormSerial& session = *hooks.session;
    std::FILE*& captureFile = *hooks.captureFile;
    // A data folder that cannot take the files is found now, before anything is sent, and
    // not after the whole download.
    {
        std::string why;
        if (!canCreateFilesIn(hooks.dataDirectory, why)) {
            DlgError("Cannot write into the data directory " + hooks.dataDirectory + "\n" + why);
            return outcome;
        }
    }
    // The working folder may be writable by others: a link or FIFO planted under the fixed
    // name is refused, never written through or waited on.
    const int fd =
        platform::openFixedNameForWriting(kIntermediateFileName, platform::FixedOpen::Truncate);
    FileIdentity written;
    captureFile = nullptr;
    if (fd >= 0 && fileIdentity(fd, written))
        captureFile = ::fdopen(fd, "wb");
    if (!captureFile) {
        const int err = errno;
        if (fd >= 0)
            ::close(fd);
        LogWrite(std::string(kIntermediateFileName) + ": " + openErrorText(err), __LINE__,
                 LogSizeLimit);
        DlgError("Cannot open intermediate data file");
        return outcome;
    }
    outcome.started = true;
    if (hooks.capturing)
        hooks.capturing(true);

    RunFigures& figures = outcome.figures;
    std::string capturePath;
    int result = 1;
    bool intermediateWritten = false;
    {
        // However the capture ends (an exception from the port included), the intermediate
        // file is closed, the echo stops and the cursor comes back before any message.
        auto endCapture = qScopeGuard([&] {
            if (hooks.capturing)
                hooks.capturing(false);
            intermediateWritten = std::ferror(captureFile) == 0;
            intermediateWritten = std::fclose(captureFile) == 0 && intermediateWritten;
            captureFile = nullptr;
        });
        QElapsedTimer clock;
        clock.start();
        DownloadStatus status(hooks.statusBar, captureFile);
        result = session.iCaptureTo("F", '>', 4000);
        status.finish();
        figures.captureBytes = status.progress().bytes();
        figures.captureSeconds = clock.elapsed() / 1000.0;
        capturePath = status.filePath();
    }
    const std::uint64_t receivedAtEnd = session.BytesOutsideExchanges();
    LogWrite("Download from " + hooks.unitText + ": " + std::to_string(figures.captureBytes) +
                 " bytes in " + QString::number(figures.captureSeconds, 'f', 1).toStdString() +
                 " s",
             __LINE__, LogSizeLimit);

    if (session.ExchangesStopped()) {
        // Stopped by the operator's Exit or a signal: what arrived stays in the file.
        LogWrite("Download stopped; the intermediate data file keeps what was received", __LINE__,
                 LogSizeLimit);
        return outcome;
    }
    if (session.LastWaitEnd() == TFormSerial::WaitEnd::Stopped) {
        // The status bar and the log already say where the bytes are; converting part of a
        // download would pass it off as the unit's data.
        LogWrite("Download stopped by the operator: " + std::to_string(figures.captureBytes) +
                     " bytes kept in " + capturePath + ", nothing converted",
                 __LINE__, LogSizeLimit);
        return outcome;
    }
    if (result != 0) {
        DlgError("Timeout during data download");
        DlgError("Invalid file format - data in Intermediate.txt");
        return outcome;
    }
    if (!intermediateWritten) {
        // A full disk while capturing: converting the rest would report a partial download
        // as collected.
        DlgError("Cannot write intermediate data file");
        return outcome;
    }

    QElapsedTimer clock;
    clock.start();
    const ConvertOutcome converted =
        convertIntermediateFile(kIntermediateFileName, hooks.dataDirectory, &written);
    figures.convertSeconds = clock.elapsed() / 1000.0;
    outcome.files = converted.files;
    for (const std::string& file : converted.files) {
        struct stat st {};
        const std::string size =
            ::stat(file.c_str(), &st) == 0 ? std::to_string(st.st_size) + " bytes" : "size unknown";
        LogWrite("Data file written: " + file + " (" + size + ")", __LINE__, LogSizeLimit);
    }
    const bool complete =
        converted.result == ConvertResult::Collected || converted.result == ConvertResult::NoData;
    outcome.downloaded = complete;
    if (hooks.converted)
        hooks.converted(outcome);

    // A '>' inside the data ends the capture early (the protocol knows no other end); what
    // the unit sent after it is lost. The files written so far stay, and the operator is told.
    if (complete) {
        const bool cut =
            downloadMayBeIncomplete(converted, 0) ||
            downloadMayBeIncomplete(converted, bytesAfterCapture(session, receivedAtEnd));
        if (cut) {
            LogWrite("Bytes after the unit's prompt were not converted: the download may be "
                     "incomplete",
                     __LINE__, LogSizeLimit);
            DlgWarning("The XRQ unit's prompt came inside the data: the download may be "
                       "incomplete.\nThe data files hold what came before it; download again "
                       "to compare.");
        }
    }

    switch (converted.result) {
    case ConvertResult::Collected:
        showOutcome(hooks.statusBar, "Data collected and placed in " + hooks.dataDirectory + ": " +
                                         std::to_string(converted.files.size()) +
                                         (converted.files.size() == 1 ? " file" : " files"));
        DlgInfo("Data collected and placed in " + hooks.dataDirectory);
        outcome.placed = !converted.files.empty();
        break;
    case ConvertResult::NoData:
        showOutcome(hooks.statusBar, "No data in XRQ");
        DlgInfo("No data in XRQ");
        break;
    case ConvertResult::CannotReopen:
        LogWrite(converted.detail, __LINE__, LogSizeLimit);
        showOutcome(hooks.statusBar, "Cannot re-open intermediate data file");
        DlgError("Cannot re-open intermediate data file");
        break;
    case ConvertResult::InvalidFormat:
        // The box keeps its familiar text; the status panel and the run log say what exactly
        // went wrong.
        LogWrite(converted.detail, __LINE__, LogSizeLimit);
        showOutcome(hooks.statusBar, converted.detail);
        DlgError("Invalid file format - data in Intermediate.txt");
        break;
    }
    return outcome;
}

} // namespace collection
