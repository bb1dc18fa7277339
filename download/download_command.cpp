// SPDX-License-Identifier: GPL-3.0-or-later
#include "download/download_command.h"
#include "dialogs/source_lines.h"

#include "dialogs/Dialogs.h"
#include "download/data_directory.h"
#include "platform/durable_file.h"
#include "platform/fixed_name_file.h"
#include "serial/fSerial.h"
#include "series/series_apply.h"
#include "widgets/status_panel.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QScopeGuard>
#include <QStatusBar>
#include <QString>
#include <QTimer>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
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

namespace {

constexpr const char* kMarkerName = "conversion-pending.txt";

void logLine(const std::string& text, int line) {
    LogWrite(text, line, LogSizeLimit);
}

// Where the operator finds the download's bytes, for the status bar and the log.
std::string whereTheDataIs(const std::string& intermediate, const std::string& kept) {
    std::string text = "the download's bytes are in " + intermediate;
    if (!kept.empty())
        text += " and " + kept;
    return text;
}

void tellFailure(QStatusBar* bar, const std::string& text, int line) {
    logLine(text, line);
    if (bar)
        showOutcome(bar, text);
}

} // namespace

std::string pendingConversionMarker(const std::string& filesFolder) {
    return filesFolder + kMarkerName;
}

bool markConversionPending(const std::string& filesFolder, const std::string& source) {
    const std::string marker = pendingConversionMarker(filesFolder);
    const std::string text = source + "\n";
    const int fd =
        ::open(marker.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return false;
    bool ok = platform::writeAll(fd, text.data(), text.size()) && platform::syncFile(fd);
    ok = ::close(fd) == 0 && ok;
    return ok && platform::syncFolder(platform::folderOf(marker));
}

void clearConversionPending(const std::string& filesFolder) {
    const std::string marker = pendingConversionMarker(filesFolder);
    if (::unlink(marker.c_str()) == 0)
        platform::syncFolder(platform::folderOf(marker));
}

std::string pendingConversion(const std::string& filesFolder) {
    const int fd = platform::openFixedNameForReading(pendingConversionMarker(filesFolder));
    if (fd < 0)
        return {};
    char buffer[4096];
    ssize_t n;
    do
        n = ::read(fd, buffer, sizeof buffer);
    while (n < 0 && errno == EINTR);
    ::close(fd);
    if (n <= 0)
        return {};
    std::string path(buffer, static_cast<std::size_t>(n));
    const auto end = path.find('\n');
    return end == std::string::npos ? std::string() : path.substr(0, end);
}

void logConverted(const ConvertOutcome& converted) {
    for (const std::string& file : converted.files) {
        struct stat st {};
        const std::string size =
            ::stat(file.c_str(), &st) == 0 ? std::to_string(st.st_size) + " bytes" : "size unknown";
        logLine("Data file written: " + file + " (" + size + ")", source_line::dataFileWritten);
    }
    if (!converted.incompleteFile.empty())
        logLine("Data file incomplete (cut short by the failure below), kept as " +
                    converted.incompleteFile,
                source_line::dataFileIncomplete);
}

ConvertOutcome convertKeptDownload(const std::string& path, const std::string& dataDirectory,
                                   const std::string& filesFolder, QStatusBar* statusBar) {
    {
        std::string why;
        if (!canCreateFilesIn(dataDirectory, why)) {
            DlgError("Cannot write into the data directory " + dataDirectory + "\n" + why);
            ConvertOutcome refused;
            refused.result = ConvertResult::CannotReopen;
            refused.detail = why;
            return refused;
        }
    }
    logLine("Converting the kept download " + path + " into " + dataDirectory,
            source_line::convertingKeptDownload);
    const bool marked = !filesFolder.empty() && markConversionPending(filesFolder, path);
    const ConvertOutcome converted = convertIntermediateFile(path, dataDirectory);
    if (marked)
        clearConversionPending(filesFolder);
    logConverted(converted);
    const bool safe = converted.durable && converted.readBack;
    if (converted.result == ConvertResult::CannotReopen) {
        tellFailure(statusBar, converted.detail, source_line::keptDownloadNotReopened);
        DlgError("Cannot open the kept download " + path);
        return converted;
    }
    if (converted.result == ConvertResult::InvalidFormat || !safe) {
        tellFailure(statusBar, converted.detail, source_line::keptDownloadNotConverted);
        std::string text =
            "The kept download " + path + " could not be converted in full:\n" + converted.detail;
        if (!converted.files.empty())
            text += "\nFiles written before that: " + std::to_string(converted.files.size());
        DlgError(text);
        return converted;
    }
    std::string text;
    if (converted.files.empty()) {
        text = converted.result == ConvertResult::NoData
                   ? "The kept download " + path + " holds the answer \"No data\"."
                   : "The kept download " + path + " holds no data set.";
    } else {
        text = "The kept download " + path + " was converted into:";
        constexpr std::size_t kNamed = 20;
        for (std::size_t i = 0; i < converted.files.size() && i < kNamed; ++i)
            text += "\n" + converted.files[i];
        if (converted.files.size() > kNamed)
            text += "\n... and " + std::to_string(converted.files.size() - kNamed) +
                    " more (all named in the run log)";
        if (converted.cut && converted.result == ConvertResult::Collected)
            text += "\nThe download was cut short: the data set " + converted.lastSet +
                    " is incomplete (" + converted.files.back() +
                    " holds the whole lines that arrived of it).";
    }
    DlgInfo(text);
    return converted;
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

std::uint64_t finishStoppedDownload(TFormSerial& session, QStatusBar* bar, const CaptureSink& sink,
                                    const DownloadProgress& progress) {
    if (!session.PortOpen)
        return 0;
    if (bar)
        bar->showMessage(QStringLiteral("The XRQ unit is still sending the stopped download; the "
                                        "next command waits for its end"));
    const std::uint64_t before = sink.bytes();
    const int ended = session.iFinishStoppedCapture('>', 4000);
    const std::uint64_t more = sink.bytes() - before;
    const std::string path = sink.keptWhole() ? sink.intermediatePath() + " and " + sink.keptPath()
                                              : sink.intermediatePath();
    logLine("The stopped download has ended (" +
                std::string(ended == 0 ? "its prompt came" : "no more bytes came") +
                "): " + std::to_string(more) + " more bytes went to " + path,
            source_line::stoppedDownloadEnded);
    if (bar)
        showOutcome(bar, (interruptedText(CaptureEnd::Stopped, progress, sink.intermediatePath()) +
                          QStringLiteral("; %1 more after Stop, kept there too")
                              .arg(formatByteCount(static_cast<double>(more))))
                             .toLocal8Bit()
                             .toStdString());
    return more;
}

DownloadOutcome runDownload(const DownloadHooks& hooks) {
    DownloadOutcome outcome;
    TFormSerial& session = *hooks.session;
    // Every way out once something was sent: the unit's record learns whether the unit's
    // memory is now all on the disk.
    auto judged = [&](std::string reason) {
        outcome.verified = reason.empty();
        outcome.unverified = std::move(reason);
        outcome.downloaded = outcome.verified;
        if (hooks.judged)
            hooks.judged(outcome);
        return outcome;
    };
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
        logLine(taken, source_line::downloadUnitTaken);
    // The working folder may be writable by others: a link or FIFO planted under the fixed
    // name is refused, never written through or waited on, and so is a file that another
    // user owns or may write (they could change the data while it is captured).
    platform::ForeignFile foreign;
    const int fd = platform::openPrivateFixedNameForWriting(
        kIntermediateFileName, platform::FixedOpen::Truncate, 0644, &foreign);
    FileIdentity written;
    if (fd < 0 || !fileIdentity(fd, written)) {
        const int err = errno;
        if (fd >= 0)
            ::close(fd);
        logLine(std::string(kIntermediateFileName) + ": " +
                    (err == EPERM && fd < 0 ? foreignFileText(foreign) : openErrorText(err)),
                source_line::intermediateFileRefused);
        DlgError("Cannot open intermediate data file");
        return outcome;
    }
    CaptureSink sink;
    {
        std::FILE* probe = ::fdopen(::dup(fd), "rb");
        sink.attachIntermediate(fd, openFilePath(probe, kIntermediateFileName));
        if (probe)
            std::fclose(probe);
    }
    // Which unit is on the cable now (the cable may have moved since Connect); a unit that
    // gives no serial number is still downloaded, recorded as unidentified.
    std::string unitText = hooks.unitText;
    std::string unitSerial = hooks.unitSerial;
    if (hooks.identifyUnit)
        hooks.identifyUnit(unitText, unitSerial);
    outcome.started = true;
    if (session.ExchangesStopped())
        return judged("the download was stopped");
    if (!hooks.filesFolder.empty()) {
        std::string why;
        if (!sink.createKept(keptDownloadFolder(hooks.filesFolder, unitSerial), why))
            logLine("Cannot create the kept download: " + why, source_line::keptDownloadNotCreated);
    }
    outcome.keptFile = sink.keptPath();
    if (hooks.capturing)
        hooks.capturing(true);

    RunFigures& figures = outcome.figures;
    std::string capturePath = sink.intermediatePath();
    int result = 1;
    // Read before the stopped download is waited out: that wait ends a wait of its own.
    bool stoppedByOperator = false;
    {
        // However the capture ends (an exception from the port included), the files are
        // synced and closed, the echo stops and the cursor comes back before any message.
        bool captureShown = true;
        auto endCapture = qScopeGuard([&] {
            if (hooks.capturing && captureShown)
                hooks.capturing(false);
            *hooks.captureFile = nullptr;
            sink.finish();
        });
        *hooks.captureFile = &sink;
        QElapsedTimer clock;
        clock.start();
        DownloadStatus status(hooks.statusBar, &sink);
        outcome.captureStartedMs = QDateTime::currentMSecsSinceEpoch();
        result = session.iCaptureTo("F", '>', 4000);
        if (sink.failed())
            status.finish(CaptureEnd::WriteFailed);
        else
            status.finish();
        figures.captureBytes = status.progress().bytes();
        figures.captureSeconds = clock.elapsed() / 1000.0;
        stoppedByOperator = session.LastWaitEnd() == TFormSerial::WaitEnd::Stopped;
        if (stoppedByOperator && !session.ExchangesStopped() && !sink.failed()) {
            // The unit does not know of the Stop and goes on sending: the rest belongs to
            // this download's files, and must not be taken for the next exchange's answer.
            if (hooks.capturing)
                hooks.capturing(false); // no second Stop, no echo, the arrow back
            captureShown = false;
            figures.captureBytes +=
                finishStoppedDownload(session, hooks.statusBar, sink, status.progress());
        }
    }
    const std::uint64_t receivedAtEnd = session.BytesOutsideExchanges();
    logLine("Download from " + unitText + ": " + std::to_string(figures.captureBytes) +
                " bytes in " + QString::number(figures.captureSeconds, 'f', 1).toStdString() + " s",
            source_line::downloadFigures);
    if (sink.keptWhole())
        logLine("Download kept in " + sink.keptPath(), source_line::downloadKept);
    else if (!sink.keptFailure().empty())
        logLine(sink.keptFailure(), source_line::keptDownloadFailed);

    if (session.ExchangesStopped()) {
        // Stopped by the operator's Exit or a signal: what arrived stays in the file.
        if (sink.failed())
            logLine(sink.failure() +
                        "; the intermediate data file keeps what was written before it",
                    source_line::captureWriteFailed);
        else
            logLine("Download stopped; the intermediate data file keeps what was received",
                    source_line::downloadStopped);
        return judged("the download was stopped");
    }
    if (sink.failed()) {
        // A full disk, or a sync that failed when the capture ended: converting the rest
        // would report a partial download as collected. The status bar and the log say
        // which file and why (the capture's end said so unless it was the final sync).
        if (!stoppedByOperator || result == 0)
            tellFailure(hooks.statusBar, sink.failure(), source_line::captureFailureTold);
        DlgError("Cannot write intermediate data file");
        return judged("the intermediate data file could not be written");
    }
    if (stoppedByOperator) {
        // The status bar and the log already say where the bytes are; converting part of a
        // download would pass it off as the unit's data.
        logLine("Download stopped by the operator: " + std::to_string(figures.captureBytes) +
                    " bytes kept in " + capturePath + ", nothing converted",
                source_line::downloadStoppedByOperator);
        return judged("the download was stopped");
    }
    if (result != 0) {
        DlgError("Timeout during data download");
        logLine("The download did not end with the XRQ unit's prompt; " +
                    whereTheDataIs(capturePath, sink.keptWhole() ? sink.keptPath() : ""),
                source_line::downloadWithoutPrompt);
        DlgError("Invalid file format - data in Intermediate.txt");
        return judged("it did not end with the unit's prompt");
    }

    // A crash or kill from here to the end of the conversion is told at the next start.
    const std::string source = sink.keptWhole() ? sink.keptPath() : capturePath;
    const bool marked =
        !hooks.filesFolder.empty() && markConversionPending(hooks.filesFolder, source);
    QElapsedTimer clock;
    clock.start();
    const ConvertOutcome converted =
        convertIntermediateFile(kIntermediateFileName, target.prefix, &written);
    figures.convertSeconds = clock.elapsed() / 1000.0;
    if (marked)
        clearConversionPending(hooks.filesFolder);
    outcome.files = converted.files;
    logConverted(converted);
    const bool complete =
        converted.result == ConvertResult::Collected || converted.result == ConvertResult::NoData;
    const bool safe = converted.durable && converted.readBack;
    if (hooks.converted)
        hooks.converted(outcome);

    // A '>' inside the data ends the capture early (the protocol knows no other end); what
    // the unit sent after it is lost. The files written so far stay, and the operator is told.
    bool promptInside = false;
    if (complete) {
        promptInside =
            downloadMayBeIncomplete(converted, 0) ||
            downloadMayBeIncomplete(converted, bytesAfterCapture(session, receivedAtEnd));
    }
    std::string reason;
    if (!complete)
        reason = "not every data set could be written";
    else if (!safe)
        reason = "a data file could not be made safe on the disk";
    else if (promptInside)
        reason = "the unit's prompt came inside the data";
    else if (!sink.keptWhole())
        reason = "its kept copy could not be written";
    judged(reason);
    // The data files are durable: the download's data sets go into the unit's series (as
    // provisional where the verdict did not call it safe), durably, before anyone is told.
    std::string seriesText;
    if (converted.result == ConvertResult::Collected && !hooks.filesFolder.empty()) {
        const series::ApplyResult taken =
            series::applyDownload(hooks.filesFolder, series::readDownloadFile(source), unitSerial,
                                  outcome.keptFile, outcome.verified);
        seriesText = taken.text();
        outcome.seriesTaken = taken.ok;
        outcome.series = seriesText;
        logLine("Series: " + seriesText,
                taken.ok ? source_line::seriesTaken : source_line::seriesNotTaken);
    }
    if (promptInside) {
        logLine("Bytes after the unit's prompt were not converted: the download may be "
                "incomplete",
                source_line::bytesAfterPrompt);
        DlgWarning("The XRQ unit's prompt came inside the data: the download may be "
                   "incomplete.\nThe data files hold what came before it; download again "
                   "to compare.");
    }

    if (complete && !safe) {
        // A sync or read-back that failed is a write that failed: never "collected".
        tellFailure(hooks.statusBar,
                    converted.detail + "; " + whereTheDataIs(capturePath, outcome.keptFile),
                    source_line::conversionNotSafe);
        DlgError("Invalid file format - data in Intermediate.txt");
        return outcome;
    }
    switch (converted.result) {
    case ConvertResult::Collected: {
        std::string collected = collectedText(target, converted.files);
        if (!converted.overflowFolder.empty()) {
            // Said in the box and the log: the files are not where the operator looks first.
            const std::string moved = "Every numbered name of some data sets was taken: their "
                                      "files are in the folder " +
                                      converted.overflowFolder;
            logLine(moved, source_line::dataSetsInOverflowFolder);
            collected += "\n" + moved;
        }
        showOutcome(hooks.statusBar,
                    seriesText.empty() ? collected : collected + ". Series: " + seriesText);
        DlgInfo(collected);
        outcome.placed = !converted.files.empty();
        break;
    }
    case ConvertResult::NoData:
        showOutcome(hooks.statusBar, "No data in XRQ");
        DlgInfo("No data in XRQ");
        break;
    case ConvertResult::CannotReopen:
        logLine(converted.detail, source_line::conversionDetail);
        showOutcome(hooks.statusBar, "Cannot re-open intermediate data file");
        DlgError("Cannot re-open intermediate data file");
        break;
    case ConvertResult::InvalidFormat:
        // The box keeps its familiar text; the status panel and the run log say what exactly
        // went wrong, and where the download's bytes really are.
        tellFailure(hooks.statusBar,
                    converted.detail + "; " + whereTheDataIs(capturePath, outcome.keptFile),
                    source_line::conversionFailed);
        DlgError("Invalid file format - data in Intermediate.txt");
        break;
    }
    return outcome;
}

} // namespace collection
