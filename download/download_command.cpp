// SPDX-License-Identifier: GPL-3.0-or-later
#include "download/download_command.h"
#include "dialogs/source_lines.h"

#include "dialogs/run_log.h"
#include "download/data_directory.h"
#include "download/recovery_marker.h"
#include "platform/durable_file.h"
#include "platform/fixed_name_file.h"
#include "series/series_apply.h"
#include "ui_handover/off_ui_thread.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QScopeGuard>
#include <QString>
#include <QTimer>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace download {

std::uint64_t bytesAfterCapture(session::SerialSession& session, std::uint64_t countAtEnd) {
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

void logLine(const std::string& text, int line) {
    LogWrite(text, line, LogSizeLimit);
}

// Where the operator finds the download's bytes, for the status bar and the log. A kept copy
// that failed is named as failed, never as a place of the bytes.
std::string whereTheDataIs(const std::string& intermediate, const std::string& kept,
                           const std::string& keptFailure = std::string()) {
    std::string text = "the download's bytes are in " + intermediate;
    if (!kept.empty())
        text += " and " + kept;
    if (!keptFailure.empty())
        text += " (the kept copy failed: " + keptFailure + ")";
    return text;
}

// Held while the conversion runs: a crash or kill before its end is offered at the next start.
download::ConversionMarker markConversion(const std::string& filesFolder,
                                          const std::string& download,
                                          const std::string& dataPrefix) {
    if (filesFolder.empty())
        return {};
    std::string why;
    download::ConversionMarker marker =
        download::ConversionMarker::begin(filesFolder, download, dataPrefix, &why);
    if (!marker.held())
        logLine("No recovery marker for the conversion of " + download + " (" + why +
                    "): a crash during it would not be told at the next start",
                source_line::conversionMarkerNotWritten);
    return marker;
}

void tellFailure(DownloadReport* report, const std::string& text, int line) {
    logLine(text, line);
    tellOutcome(report, text);
}

} // namespace

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
                                   const std::string& filesFolder, DownloadReport& report) {
    if (auto writable = canCreateFilesIn(dataDirectory); !writable) {
        report.error("Cannot write into the data directory " + dataDirectory + "\n" +
                     writable.text());
        ConvertOutcome refused;
        refused.result = ConvertResult::CannotReopen;
        refused.detail = writable.text();
        return refused;
    }
    logLine("Converting the kept download " + path + " into " + dataDirectory,
            source_line::convertingKeptDownload);
    download::ConversionMarker marker = markConversion(filesFolder, path, dataDirectory);
    const ConvertOutcome converted = convertIntermediateFile(path, dataDirectory);
    marker.clear();
    logConverted(converted);
    const bool safe = converted.durable && converted.readBack;
    if (converted.result == ConvertResult::CannotReopen) {
        tellFailure(&report, converted.detail, source_line::keptDownloadNotReopened);
        report.error("Cannot open the kept download " + path);
        return converted;
    }
    if (converted.result == ConvertResult::InvalidFormat || !safe) {
        tellFailure(&report, converted.detail, source_line::keptDownloadNotConverted);
        std::string text =
            "The kept download " + path + " could not be converted in full:\n" + converted.detail;
        if (!converted.files.empty())
            text += "\nFiles written before that: " + std::to_string(converted.files.size());
        report.error(text);
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
    report.info(text);
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

std::uint64_t finishStoppedDownload(session::SerialSession& session, DownloadReport* report,
                                    CaptureSink& sink, const DownloadProgress& progress) {
    if (!session.PortOpen)
        return 0;
    if (report)
        report->note(QStringLiteral("The XRQ unit is still sending the stopped download; the "
                                    "next command waits for its end"));
    const std::uint64_t before = sink.bytes();
    const int ended = session.iFinishStoppedCapture('>', 4000, &sink);
    const std::uint64_t more = sink.bytes() - before;
    const std::string path = sink.keptWhole() ? sink.intermediatePath() + " and " + sink.keptPath()
                                              : sink.intermediatePath();
    logLine("The stopped download has ended (" +
                std::string(ended == 0 ? "its prompt came" : "no more bytes came") +
                "): " + std::to_string(more) + " more bytes went to " + path,
            source_line::stoppedDownloadEnded);
    tellOutcome(report, (interruptedText(CaptureEnd::Stopped, progress, sink.intermediatePath()) +
                         QStringLiteral("; %1 more after Stop, kept there too")
                             .arg(formatByteCount(static_cast<double>(more))))
                            .toLocal8Bit()
                            .toStdString());
    return more;
}

namespace {

// The series read the kept copy back as the conversion read the intermediate file: the same
// data sets in the same order, each with as many records as its data file holds.
bool seriesReadTheConversion(const series::DownloadRecords& read, const series::ApplyResult& taken,
                             const ConvertOutcome& converted) {
    const std::vector<SetLineCount>& written = converted.lines.sets();
    if (read.sets().size() != written.size() || taken.sets.size() != written.size())
        return false;
    for (std::size_t i = 0; i < written.size(); ++i) {
        const std::uint64_t records = read.sets()[i].size();
        // The data file keeps a set's title line as the unit sent it; the series no record.
        const std::uint64_t titleLines = read.sets()[i].titles.empty() ? 0 : 1;
        if (read.sets()[i].name != written[i].name || records + titleLines != written[i].lines ||
            taken.sets[i].added + taken.sets[i].held != records)
            return false;
    }
    return true;
}

// One Collect Data from the data folder's check to the last box. Each step that can end the
// download returns false once the outcome is final (and judged, when something was sent).
class DownloadRun {
public:
    DownloadRun(session::SerialSession& session, session::ByteSink& echo,
                const DownloadHooks& hooks)
        : m_hooks(hooks), m_session(session), m_echo(echo) {}
    DownloadOutcome run();

private:
    bool checkDataFolder();
    bool openIntermediate();
    void identifyUnit();
    void capture();
    void logCapture();
    bool captureEndedWell();
    ConvertOutcome convert();
    std::vector<std::string> verdict(const ConvertOutcome& converted, bool promptInside);
    void logLines(const LineJudge& lines) const;
    void tellNotVerified() const;
    void takeIntoSeries(const ConvertOutcome& converted);
    void tell(const ConvertOutcome& converted, bool promptInside);
    std::string withReasons(const std::string& told) const;
    DownloadReport& report() const;
    DownloadOutcome& judged(std::string reason);
    DownloadOutcome& judged(std::vector<std::string> reasons);

    const DownloadHooks& m_hooks;
    session::SerialSession& m_session;
    session::ByteSink& m_echo;
    DownloadOutcome m_outcome;
    DataTarget m_target;
    FileIdentity m_written;
    CaptureSink m_sink;
    std::string m_unitText;
    std::string m_unitSerial;
    std::string m_capturePath;
    int m_result = 1;
    bool m_stoppedByOperator = false;
    std::uint64_t m_receivedAtEnd = 0;
    std::vector<std::string> m_found; // the reasons only the verdict tells
};

// Where the boxes go: the report the owner handed in, or nowhere.
DownloadReport& DownloadRun::report() const {
    static SilentReport silent;
    return m_hooks.report ? *m_hooks.report : silent;
}

// Every way out once something was sent: the unit's record learns whether the unit's memory
// is now all on the disk.
DownloadOutcome& DownloadRun::judged(std::string reason) {
    std::vector<std::string> reasons;
    if (!reason.empty())
        reasons.push_back(std::move(reason));
    return judged(std::move(reasons));
}

DownloadOutcome& DownloadRun::judged(std::vector<std::string> reasons) {
    std::string joined;
    for (const std::string& reason : reasons)
        joined += (joined.empty() ? "" : "; ") + reason;
    m_outcome.verified = reasons.empty();
    m_outcome.unverified = std::move(joined);
    m_outcome.reasons = std::move(reasons);
    m_outcome.lineErrors = m_session.CaptureLineErrors();
    m_outcome.downloaded = m_outcome.verified;
    if (m_hooks.judged)
        m_hooks.judged(m_outcome);
    return m_outcome;
}

DownloadOutcome DownloadRun::run() {
    if (!checkDataFolder() || !openIntermediate())
        return m_outcome;
    identifyUnit();
    m_outcome.started = true;
    if (m_session.ExchangesStopped())
        return judged(series::capture_end::kStopped);
    if (!m_hooks.filesFolder.empty()) {
        if (auto kept = m_sink.createKept(keptDownloadFolder(m_hooks.filesFolder, m_unitSerial));
            !kept)
            logLine("Cannot create the kept download: " + kept.text(),
                    source_line::keptDownloadNotCreated);
    }
    m_outcome.keptFile = m_sink.keptPath();
    capture();
    logCapture();
    if (!captureEndedWell())
        return m_outcome;
    m_outcome.captured = true;
    if (m_hooks.captureOnly)
        return m_outcome;

    const ConvertOutcome converted = convert();
    // A '>' inside the data ends the capture early (the protocol knows no other end); what
    // the unit sent after it is lost. The files written so far stay, and the operator is told.
    const bool complete =
        converted.result == ConvertResult::Collected || converted.result == ConvertResult::NoData;
    const bool promptInside =
        complete &&
        (downloadMayBeIncomplete(converted, 0) ||
         downloadMayBeIncomplete(converted, bytesAfterCapture(m_session, m_receivedAtEnd)));
    m_outcome.setLines = converted.lines.sets();
    logLines(converted.lines);
    judged(verdict(converted, promptInside));
    takeIntoSeries(converted);
    tell(converted, promptInside);
    return m_outcome;
}

// A directory typed without its final "/" that names a folder is that folder; one whose last
// part names no folder stays a prefix of the file names. A data folder that cannot take the
// files is found now, before anything is sent, and not after the whole download.
bool DownloadRun::checkDataFolder() {
    m_target = resolveDataDirectory(m_hooks.dataDirectory);
    m_outcome.dataPrefix = m_target.prefix;
    if (auto writable = canCreateFilesIn(m_target.prefix); !writable) {
        report().error("Cannot write into the data directory " + m_hooks.dataDirectory + "\n" +
                       writable.text());
        return false;
    }
    if (const std::string taken = folderTakenLine(m_target); !taken.empty())
        logLine(taken, source_line::downloadUnitTaken);
    return true;
}

// The working folder may be writable by others: a link or FIFO planted under the fixed name
// is refused, never written through or waited on, and so is a file that another user owns or
// may write (they could change the data while it is captured).
bool DownloadRun::openIntermediate() {
    platform::ForeignFile foreign;
    // The unit's data is the operator's alone: 0600, also for a file an earlier version made.
    const int fd = platform::openPrivateFixedNameForWriting(
        kIntermediateFileName, platform::FixedOpen::Truncate, 0600, &foreign);
    if (fd >= 0)
        ::fchmod(fd, 0600);
    if (fd < 0 || !fileIdentity(fd, m_written)) {
        const int err = errno;
        if (fd >= 0)
            ::close(fd);
        logLine(std::string(kIntermediateFileName) + ": " +
                    (err == EPERM && fd < 0 ? foreignFileText(foreign) : openErrorText(err)),
                source_line::intermediateFileRefused);
        report().error("Cannot open intermediate data file");
        return false;
    }
    std::FILE* probe = ::fdopen(::dup(fd), "rb");
    m_sink.attachIntermediate(fd, openFilePath(probe, kIntermediateFileName));
    if (probe)
        std::fclose(probe);
    m_capturePath = m_sink.intermediatePath();
    return true;
}

// Which unit is on the cable now (the cable may have moved since Connect); a unit that gives
// no serial number is still downloaded, recorded as unidentified.
void DownloadRun::identifyUnit() {
    m_unitText = m_hooks.unitText;
    m_unitSerial = m_hooks.unitSerial;
    if (m_hooks.identifyUnit)
        m_hooks.identifyUnit(m_unitText, m_unitSerial);
}

void DownloadRun::capture() {
    if (m_hooks.capturing)
        m_hooks.capturing(true);
    RunFigures& figures = m_outcome.figures;
    // However the capture ends (an exception from the port included), the files are synced
    // and closed, the echo stops and the cursor comes back before any message.
    bool captureShown = true;
    auto endCapture = qScopeGuard([&] {
        if (m_hooks.capturing && captureShown)
            m_hooks.capturing(false);
        m_sink.finish();
    });
    // The files first: the echo shows only what they took.
    session::TeeSink capture(m_sink, m_echo);
    QElapsedTimer clock;
    clock.start();
    DownloadStatus status(m_hooks.report, &m_sink, 250);
    m_outcome.captureStartedMs = QDateTime::currentMSecsSinceEpoch();
    m_result = m_session.iCaptureTo("F", '>', 4000, &capture);
    status.finish(m_sink.failed() ? CaptureEnd::WriteFailed
                                  : captureEndOf(m_session.LastWaitEnd()));
    figures.captureBytes = status.progress().bytes();
    figures.captureSeconds = clock.elapsed() / 1000.0;
    // Read before the stopped download is waited out: that wait ends a wait of its own.
    m_stoppedByOperator = m_session.LastWaitEnd() == session::SerialSession::WaitEnd::Stopped;
    if (m_stoppedByOperator && !m_session.ExchangesStopped() && !m_sink.failed()) {
        // The unit does not know of the Stop and goes on sending: the rest belongs to this
        // download's files, and must not be taken for the next exchange's answer.
        if (m_hooks.capturing)
            m_hooks.capturing(false); // no second Stop, no echo, the arrow back
        captureShown = false;
        figures.captureBytes +=
            finishStoppedDownload(m_session, m_hooks.report, m_sink, status.progress());
    }
}

void DownloadRun::logCapture() {
    const RunFigures& figures = m_outcome.figures;
    m_receivedAtEnd = m_session.BytesOutsideExchanges();
    logLine("Download from " + m_unitText + ": " + std::to_string(figures.captureBytes) +
                " bytes in " + QString::number(figures.captureSeconds, 'f', 1).toStdString() + " s",
            source_line::downloadFigures);
    if (m_sink.keptWhole())
        logLine("Download kept in " + m_sink.keptPath(), source_line::downloadKept);
    else if (!m_sink.keptFailure().empty())
        logLine(m_sink.keptFailure(), source_line::keptDownloadFailed);
    // A copy that failed is no place of the bytes: only its failure is told from here on.
    if (!m_sink.keptWhole()) {
        m_outcome.keptFile.clear();
        m_outcome.keptFailure = m_sink.keptFailure();
    }
}

// False when the capture did not end with the unit's prompt: nothing is converted then.
bool DownloadRun::captureEndedWell() {
    if (m_session.ExchangesStopped()) {
        // Stopped by the operator's Exit or a signal: what arrived stays in the file.
        if (m_sink.failed())
            logLine(m_sink.failure() +
                        "; the intermediate data file keeps what was written before it",
                    source_line::captureWriteFailed);
        else
            logLine("Download stopped; the intermediate data file keeps what was received",
                    source_line::downloadStopped);
        judged(series::capture_end::kStopped);
        return false;
    }
    if (m_sink.failed()) {
        // A full disk, or a sync that failed when the capture ended: converting the rest
        // would report a partial download as collected. The status bar and the log say
        // which file and why (the capture's end said so unless it was the final sync).
        if (!m_stoppedByOperator || m_result == 0)
            tellFailure(m_hooks.report, m_sink.failure(), source_line::captureFailureTold);
        report().error("Cannot write intermediate data file");
        judged(series::capture_end::kNotWritten);
        return false;
    }
    if (m_stoppedByOperator) {
        // The status bar and the log already say where the bytes are; converting part of a
        // download would pass it off as the unit's data.
        logLine(
            "Download stopped by the operator: " + std::to_string(m_outcome.figures.captureBytes) +
                " bytes kept in " + m_capturePath + ", nothing converted",
            source_line::downloadStoppedByOperator);
        judged(series::capture_end::kStopped);
        return false;
    }
    if (m_result != 0) {
        report().error("Timeout during data download");
        logLine("The download did not end with the XRQ unit's prompt; " +
                    whereTheDataIs(m_capturePath, m_outcome.keptFile, m_outcome.keptFailure),
                source_line::downloadWithoutPrompt);
        report().error("Invalid file format - data in Intermediate.txt");
        judged(series::capture_end::kNoPrompt);
        return false;
    }
    return true;
}

// A crash or kill from here to the end of the conversion is told at the next start.
ConvertOutcome DownloadRun::convert() {
    const std::string source = m_sink.keptWhole() ? m_sink.keptPath() : m_capturePath;
    download::ConversionMarker marker =
        markConversion(m_hooks.filesFolder, source, m_target.prefix);
    QElapsedTimer clock;
    clock.start();
    // A unit that prints a text before its prompt prints it before the download's prompt too.
    ConvertOutcome converted = convertIntermediateFile(
        kIntermediateFileName, m_target.prefix, &m_written, m_session.TextBeforeAwaitedChar());
    m_outcome.figures.convertSeconds = clock.elapsed() / 1000.0;
    marker.clear();
    m_outcome.files = converted.files;
    logConverted(converted);
    if (m_hooks.converted)
        m_hooks.converted(m_outcome);
    return converted;
}

// Why the download does not count as safe; empty when it does.
std::vector<std::string> DownloadRun::verdict(const ConvertOutcome& converted, bool promptInside) {
    VerdictFacts facts;
    facts.endedWithPrompt = true; // else it ended before the conversion
    facts.promptInside = promptInside;
    facts.everySetWritten =
        converted.result == ConvertResult::Collected || converted.result == ConvertResult::NoData;
    facts.filesDurable = converted.durable && converted.readBack;
    facts.keptDurable = m_sink.keptWhole();
    facts.lineErrors = m_session.CaptureLineErrors();
    facts.lines = &converted.lines;
    m_found = foundReasons(facts);
    return verdictReasons(facts);
}

// The data files are durable: the download's data sets go into the unit's series (as
// provisional where the verdict did not call it safe), durably, before anyone is told.
void DownloadRun::takeIntoSeries(const ConvertOutcome& converted) {
    if (m_hooks.filesFolder.empty())
        return;
    const std::string source = m_sink.keptWhole() ? m_sink.keptPath() : m_capturePath;
    // Taking a download is quick; a store that was lost is rebuilt first from every kept
    // download, which may take a minute: the windows go on meanwhile. The series reads the
    // kept copy on its own, as a stream; what it read is compared with what the conversion
    // wrote.
    std::unique_ptr<series::DownloadRecords> read;
    bool takes = false;
    const series::ApplyResult taken = platform::runOffUiThread([&] {
        read = series::readDownloadRecords(source);
        // Here the capture has ended with the prompt, unstopped and written whole.
        takes = series::seriesTakes(*read, true);
        return takes ? series::applyDownload(m_hooks.filesFolder, *read, m_unitSerial,
                                             m_outcome.keptFile, m_outcome.downloaded)
                     : series::ApplyResult{};
    });
    if (!takes)
        return;
    m_outcome.seriesTaken = taken.ok;
    m_outcome.series = taken.text();
    m_outcome.seriesAgrees = taken.ok && seriesReadTheConversion(*read, taken, converted);
    for (const series::SetTaken& set : taken.sets)
        m_outcome.seriesFewer = m_outcome.seriesFewer || set.fewer;
    logLine("Series: " + m_outcome.series,
            taken.ok ? source_line::seriesTaken : source_line::seriesNotTaken);
}

// The run log's account of the lines: what was not judged, the notes and the line errors.
void DownloadRun::logLines(const LineJudge& lines) const {
    if (lines.unjudgedBytes() > 0)
        logLine("Before the download's first line end: " + std::to_string(lines.unjudgedBytes()) +
                    " bytes (an echo or line noise), not judged",
                source_line::downloadUnjudgedBytes);
    for (const std::string& note : lines.notes())
        logLine("Download note: " + note, source_line::downloadNote);
    if (lines.notesLeftOut() > 0)
        logLine("Download note: " + std::to_string(lines.notesLeftOut()) + " more notes like these",
                source_line::downloadNote);
    const LineErrorCounts errors = m_session.CaptureLineErrors();
    logLine("Line errors during the download: " + errors.text(), source_line::downloadLineErrors);
}

// The reasons the rules found (beyond what the Part's own boxes say), in one box before
// them, in the run log and on the status panel.
void DownloadRun::tellNotVerified() const {
    const std::vector<std::string>& found = m_found;
    if (found.empty())
        return;
    std::string text = "The download could not be verified:";
    for (const std::string& reason : found) {
        text += "\n- " + reason;
        logLine("Download not verified: " + reason, source_line::downloadNotVerified);
    }
    text += "\nThe data files hold the lines as they came; download again before clearing "
            "the unit's memory.";
    report().warning(text);
}

// The status panel's outcome line: what the Part's box says, then why it is not verified.
std::string DownloadRun::withReasons(const std::string& told) const {
    return m_outcome.verified ? told : told + " - not verified: " + m_outcome.unverified;
}

// The boxes and the status panel: the Part's own texts, with the details in the run log.
void DownloadRun::tell(const ConvertOutcome& converted, bool promptInside) {
    tellNotVerified();
    if (promptInside) {
        logLine("Bytes after the unit's prompt were not converted: the download may be "
                "incomplete",
                source_line::bytesAfterPrompt);
        report().warning("The XRQ unit's prompt came inside the data: the download may be "
                         "incomplete.\nThe data files hold what came before it; download again "
                         "to compare.");
    }
    const bool complete =
        converted.result == ConvertResult::Collected || converted.result == ConvertResult::NoData;
    if (complete && !(converted.durable && converted.readBack)) {
        // A sync or read-back that failed is a write that failed: never "collected".
        tellFailure(m_hooks.report,
                    converted.detail + "; " +
                        whereTheDataIs(m_capturePath, m_outcome.keptFile, m_outcome.keptFailure),
                    source_line::conversionNotSafe);
        report().error("Invalid file format - data in Intermediate.txt");
        return;
    }
    switch (converted.result) {
    case ConvertResult::Collected: {
        std::string collected = collectedText(m_target, converted.files);
        if (!converted.overflowFolder.empty()) {
            // Said in the box and the log: the files are not where the operator looks first.
            const std::string moved = "Every numbered name of some data sets was taken: their "
                                      "files are in the folder " +
                                      converted.overflowFolder;
            logLine(moved, source_line::dataSetsInOverflowFolder);
            collected += "\n" + moved;
        }
        const std::string told = withReasons(collected);
        tellOutcome(m_hooks.report,
                    m_outcome.series.empty() ? told : told + ". Series: " + m_outcome.series);
        report().info(collected);
        m_outcome.placed = !converted.files.empty();
        break;
    }
    case ConvertResult::NoData:
        tellOutcome(m_hooks.report, withReasons("No data in XRQ"));
        report().info("No data in XRQ");
        break;
    case ConvertResult::CannotReopen:
        logLine(converted.detail, source_line::conversionDetail);
        tellOutcome(m_hooks.report, "Cannot re-open intermediate data file");
        report().error("Cannot re-open intermediate data file");
        break;
    case ConvertResult::InvalidFormat:
        // The box keeps its familiar text; the status panel and the run log say what exactly
        // went wrong, and where the download's bytes really are.
        tellFailure(m_hooks.report,
                    converted.detail + "; " +
                        whereTheDataIs(m_capturePath, m_outcome.keptFile, m_outcome.keptFailure),
                    source_line::conversionFailed);
        report().error("Invalid file format - data in Intermediate.txt");
        break;
    }
}

} // namespace

DownloadOutcome runDownload(session::SerialSession& session, session::ByteSink& echo,
                            const DownloadHooks& hooks) {
    return DownloadRun(session, echo, hooks).run();
}

} // namespace download
