// SPDX-License-Identifier: GPL-3.0-or-later
#include "main/download_command.h"

#include "dialogs/Dialogs.h"
#include "main/data_directory.h"
#include "platform/fixed_name_file.h"
#include "serial/fSerial.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QScopeGuard>
#include <QStatusBar>
#include <QString>
#include <QTimer>

#include <cerrno>
#include <cstdio>
#include <pwd.h>
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

std::string foreignFileText(const platform::ForeignFile& foreign) {
    const struct passwd* user = ::getpwuid(foreign.owner);
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(foreign.mode));
    return "owned by user " + std::to_string(foreign.owner) +
           (user ? " (" + std::string(user->pw_name) + ")" : std::string()) + ", mode " + mode +
           ": only a file of your own that nobody else may write is used; remove it, or make "
           "it yours alone (chmod go-w)";
}

std::uint64_t finishStoppedDownload(TFormSerial& session, QStatusBar* bar, std::FILE* file,
                                    const std::string& path, const DownloadProgress& progress) {
    if (!session.PortOpen)
        return 0;
    if (bar)
        bar->showMessage(QStringLiteral("The XRQ unit is still sending the stopped download; the "
                                        "next command waits for its end"));
    const long before = std::ftell(file);
    const int ended = session.iFinishStoppedCapture('>', 4000);
    const long after = std::ftell(file);
    const std::uint64_t more =
        before >= 0 && after > before ? static_cast<std::uint64_t>(after - before) : 0;
    LogWrite("The stopped download has ended (" +
                 std::string(ended == 0 ? "its prompt came" : "no more bytes came") +
                 "): " + std::to_string(more) + " more bytes went to " + path,
             __LINE__, LogSizeLimit);
    if (bar)
        bar->showMessage(interruptedText(CaptureEnd::Stopped, progress, path) +
                         QStringLiteral("; %1 more after Stop, kept there too")
                             .arg(formatByteCount(static_cast<double>(more))));
    return more;
}

DownloadOutcome runDownload(const DownloadHooks& hooks) {
    DownloadOutcome outcome;
    TFormSerial& session = *hooks.session;
    std::FILE*& captureFile = *hooks.captureFile;
    // A directory typed without its final "/" that names a folder is that folder; one whose
    // last part names no folder stays a prefix of the file names.
    const DataTarget target = resolveDataDirectory(hooks.dataDirectory);
    outcome.dataPrefix = target.prefix;
    // A data folder that cannot take the files is found now, before anything is sent, and
    // not after the whole download.
    {
        std::string why;
        if (!canCreateFilesIn(target.prefix, why)) {
            DlgError("Cannot write into the data directory " + hooks.dataDirectory + "\n" + why);
            return outcome;
        }
    }
    if (const std::string taken = folderTakenLine(target); !taken.empty())
        LogWrite(taken, __LINE__, LogSizeLimit);
    // The working folder may be writable by others: a link or FIFO planted under the fixed
    // name is refused, never written through or waited on, and so is a file that another
    // user owns or may write (they could change the data while it is captured).
    platform::ForeignFile foreign;
    const int fd = platform::openPrivateFixedNameForWriting(
        kIntermediateFileName, platform::FixedOpen::Truncate, 0644, &foreign);
    FileIdentity written;
    captureFile = nullptr;
    if (fd >= 0 && fileIdentity(fd, written))
        captureFile = ::fdopen(fd, "wb");
    if (!captureFile) {
        const int err = errno;
        if (fd >= 0)
            ::close(fd);
        LogWrite(std::string(kIntermediateFileName) + ": " +
                     (err == EPERM && fd < 0 ? foreignFileText(foreign) : openErrorText(err)),
                 __LINE__, LogSizeLimit);
        DlgError("Cannot open intermediate data file");
        return outcome;
    }
    outcome.started = true;
    // Which unit is on the cable now; a unit that gives no serial number is still downloaded.
    const std::string unitText = hooks.identifyUnit ? hooks.identifyUnit() : hooks.unitText;
    if (session.ExchangesStopped() || session.LastWaitEnd() == TFormSerial::WaitEnd::Stopped) {
        std::fclose(captureFile);
        captureFile = nullptr;
        LogWrite("Download not started: stopped while the unit was asked for its serial number",
                 __LINE__, LogSizeLimit);
        return outcome;
    }
    if (hooks.capturing)
        hooks.capturing(true);

    RunFigures& figures = outcome.figures;
    std::string capturePath;
    int result = 1;
    bool intermediateWritten = false;
    // Read before the stopped download is waited out: that wait ends a wait of its own.
    bool stoppedByOperator = false;
    {
        // However the capture ends (an exception from the port included), the intermediate
        // file is closed, the echo stops and the cursor comes back before any message.
        bool captureShown = true;
        auto endCapture = qScopeGuard([&] {
            if (hooks.capturing && captureShown)
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
        stoppedByOperator = session.LastWaitEnd() == TFormSerial::WaitEnd::Stopped;
        if (stoppedByOperator && !session.ExchangesStopped()) {
            // The unit does not know of the Stop and goes on sending: the rest belongs to
            // this download's file, and must not be taken for the next exchange's answer.
            if (hooks.capturing)
                hooks.capturing(false); // no second Stop, no echo, the arrow back
            captureShown = false;
            figures.captureBytes += finishStoppedDownload(session, hooks.statusBar, captureFile,
                                                          capturePath, status.progress());
        }
    }
    const std::uint64_t receivedAtEnd = session.BytesOutsideExchanges();
    LogWrite("Download from " + unitText + ": " + std::to_string(figures.captureBytes) +
                 " bytes in " + QString::number(figures.captureSeconds, 'f', 1).toStdString() +
                 " s",
             __LINE__, LogSizeLimit);

    if (session.ExchangesStopped()) {
        // Stopped by the operator's Exit or a signal: what arrived stays in the file.
        LogWrite("Download stopped; the intermediate data file keeps what was received", __LINE__,
                 LogSizeLimit);
        return outcome;
    }
    if (stoppedByOperator) {
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
        convertIntermediateFile(kIntermediateFileName, target.prefix, &written);
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
        DlgInfo(collectedText(target, converted.files));
        outcome.placed = !converted.files.empty();
        break;
    case ConvertResult::NoData:
        DlgInfo("No data in XRQ");
        break;
    case ConvertResult::CannotReopen:
        LogWrite(converted.detail, __LINE__, LogSizeLimit);
        DlgError("Cannot re-open intermediate data file");
        break;
    case ConvertResult::InvalidFormat:
        // The box keeps its familiar text; the status bar and the run log say what exactly
        // went wrong.
        LogWrite(converted.detail, __LINE__, LogSizeLimit);
        if (hooks.statusBar)
            hooks.statusBar->showMessage(QString::fromLocal8Bit(converted.detail.c_str()));
        DlgError("Invalid file format - data in Intermediate.txt");
        break;
    }
    return outcome;
}

} // namespace collection
