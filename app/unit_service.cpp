// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/unit_service.h"
#include "dialogs/source_lines.h"

#include "app/program_settings.h"
#include "dialogs/run_log.h"
#include "download/data_directory.h"
#include "download/download_record.h"
#include "download/earlier_tail.h"
#include "download/kept_judge.h"
#include "download/recovery_marker.h"
#include "fleet/other_laptops.h"
#include "fleet/sharing.h"
#include "platform/port_table.h"
#include "register/register_recorder.h"
#include "register/register_texts.h"
#include "register/register_writer.h"

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QObject>
#include <QScopeGuard>

#include <stdexcept>
#include <sys/stat.h>

std::string ProgramPath;

std::string SessionLink::deviceName() const {
    return comPortDevice(m_session.ComPortNumber);
}

std::string comPortDevice(int n) {
    if (n <= 0)
        return {};
    const std::string path = platform::PortTable::current().devicePath(n);
    if (path.empty())
        return {};
    const QString resolved =
        QFileInfo(QFile::decodeName(QByteArray::fromStdString(path))).canonicalFilePath();
    return resolved.isEmpty() ? path : QFile::encodeName(resolved).toStdString();
}

// ---------------------------------------------------------------------------------------
// The view every caller shares

void ServiceView::setBatteryCaptions(const std::string& volts, const std::string& temp) {
    m_service.BatteryCaptions = {volts, temp};
}

void ServiceView::batteryRead(const BatteryReading& reading) {
    m_service.BatteryReadout = std::make_pair(reading.volts, reading.celsius);
}

void ServiceView::setSerialNumber(const std::string& serial) {
    m_service.SerialNumber = serial;
}

void ServiceView::tellExchangeRunning() {
    m_session.tellExchangeRunning();
}

void ServiceView::unitChanged() {
    m_service.followSession(m_session);
}

void ServiceView::log(const std::string& line) {
    LogWrite(line, source_line::commandOutcome, LogSizeLimit);
}

std::string ServiceView::otherLaptopsNote(const std::string& serial) {
    fleet::Sharing& sharing = fleet::sharing();
    if (!sharing.shared() || !sharing.started())
        return {};
    const QString unit = unitreg::serialText(serial);
    // The window waits for the server at most this long.
    const auto answer = sharing.checkOtherDownload(unit, std::chrono::seconds(2));
    // The serial number as the unit gave it.
    const QString note = fleet::otherLaptopsNote(answer, unit, sharing.lastContact(),
                                                 QDateTime::currentMSecsSinceEpoch());
    if (!note.isEmpty())
        LogWrite("Clear Memory: " + note.toLocal8Bit().toStdString(),
                 answer && answer->ok ? source_line::fleetOtherDownload
                                      : source_line::fleetOthersNotChecked,
                 LogSizeLimit);
    return note.toLocal8Bit().toStdString();
}

// ---------------------------------------------------------------------------------------
// The run

ProgramFolders UnitService::start(const ProgramLocations& where, session::SerialSession* session) {
    const ProgramFolders folders = resolveProgramFolders(where);
    ProgramPath = folders.programPath;
    TempFilesPath = folders.tempFilesPath;
    LogFilePath = TempFilesPath + "XRQ_log.txt";
    LogSizeLimit = 200000;
    m_started = true;

    LogWrite("***** Program Start *****", source_line::programStart, LogSizeLimit);
    LogWrite("Program path: " + ProgramPath, source_line::programPath, LogSizeLimit);
    LogWrite("Temporary files path: " + TempFilesPath, source_line::temporaryFilesPath,
             LogSizeLimit);
    m_defaultDataDirectory = folders.defaultDataDirectory;

    // COM numbers resolve through this table from now on; the port folder lets the operator
    // or the unit simulator put any tty there as COMn.
    platform::PortTable::setCurrent(
        platform::PortTable(where.deviceDir, where.sysfsDir, TempFilesPath + "ports/"));

    const ProgramSettings& settings = openProgramSettings(TempFilesPath);
    if (session)
        session->ComPortNumber = settings.port();
    return folders;
}

void UnitService::logEnd() {
    if (m_endLogged)
        return;
    m_endLogged = true;
    LogWrite("***** Program End *****", source_line::programEnd, LogSizeLimit);
}

void UnitService::openRegister(QObject* context,
                               std::function<void(const std::string&)> tellTrouble) {
    RegisterWriter& reg = unitRegister();
    // Told at once when known now; a register that answers late tells when it does.
    QObject::connect(reg.signalsObject(), &RegisterSignals::troubled, context,
                     [this, tellTrouble = std::move(tellTrouble)](const QString& message) {
                         if (m_registerTroubleShown)
                             return;
                         m_registerTroubleShown = true;
                         if (tellTrouble)
                             tellTrouble(message.toLocal8Bit().toStdString());
                     });
    reg.open(TempFilesPath + unitreg::kFileName);
    download::judgeKeptDownloadsAgain(
        reg, context, TempFilesPath, [this](const download::JudgedAgainSummary& summary) {
            for (const std::string& line : download::judgedAgainLogLines(summary))
                LogWrite(line, source_line::keptJudgedAgain, LogSizeLimit);
            m_keptJudged = true;
            if (KeptJudgedTold)
                KeptJudgedTold();
        });
}

void UnitService::keepEarlierSending(session::SerialSession& session,
                                     std::shared_ptr<download::DownloadReport> report) {
    // Its bytes are kept under the unit last known on the port, and the operator is told.
    download::keepEarlierSending(
        session, [] { return TempFilesPath; },
        [this, &session] {
            const auto& unit = Units.current();
            return unit && unit->port == session.ComPortNumber ? unit->serial : std::string();
        },
        std::move(report),
        [this](const std::string& text) {
            if (EarlierSendingTold)
                EarlierSendingTold(text);
        });
}

// ---------------------------------------------------------------------------------------
// The unit on the port

std::string UnitService::identity(const session::SerialSession& session) const {
    return unit_status::identityText(Units, session.PortOpen, session.ComPortNumber);
}

bool UnitService::followSession(const session::SerialSession& session) {
    Units.follow(session.PortOpen, session.ComPortNumber);
    const std::string text = identity(session);
    if (text == m_identityShown)
        return false;
    m_identityShown = text;
    if (m_started)
        LogWrite("Unit: " + text, source_line::unitLine, LogSizeLimit);
    return true;
}

// ---------------------------------------------------------------------------------------
// The unit's short commands

namespace {

// The command set over the session and the view, for one call.
template <class Call>
auto withInstrumentCommands(UnitService& service, session::SerialSession& session,
                            CommandView& view, Call&& call) {
    SessionLink link(session);
    InstrumentCommands commands(link, view);
    commands.units = &service.Units;
    commands.recorder = &unitRegisterRecorder();
    return call(commands);
}

} // namespace

void UnitService::runCommand(session::SerialSession& session, CommandView& view,
                             void (InstrumentCommands::*operation)()) {
    withInstrumentCommands(*this, session, view,
                           [operation](InstrumentCommands& c) { (c.*operation)(); });
}

bool UnitService::connect(session::SerialSession& session, CommandView& view) {
    const auto connectsBefore = Units.connects();
    runCommand(session, view, &InstrumentCommands::connect);
    if (Units.connects() != connectsBefore)
        return true;
    // No answer: whatever unit was known before may not be the one on the cable now.
    Units.forget();
    return false;
}

std::optional<std::string> UnitService::identifyUnitOnCable(session::SerialSession& session,
                                                            CommandView& view) {
    return withInstrumentCommands(
        *this, session, view, [](InstrumentCommands& commands) { return commands.identifyUnit(); });
}

InstrumentCommands::UnattendedClear UnitService::clearAfterDownload(session::SerialSession& session,
                                                                    CommandView& view,
                                                                    const std::string& downloaded) {
    return withInstrumentCommands(*this, session, view, [&](InstrumentCommands& commands) {
        return commands.clearAfterDownload(downloaded);
    });
}

// ---------------------------------------------------------------------------------------
// A download

download::DownloadHooks UnitService::hooksFor(session::SerialSession& session, CommandView& view,
                                              const DownloadView& shown, Visit& visit) {
    download::DownloadHooks hooks;
    hooks.report = shown.report;
    hooks.dataDirectory = shown.dataDirectory;
    hooks.unitText = identity(session);
    hooks.unitSerial = Units.current() ? Units.current()->serial : std::string();
    hooks.filesFolder = TempFilesPath;
    visit.unitOnCable = hooks.unitSerial;
    // Which unit is on the cable now (it may have moved since Connect).
    hooks.identifyUnit = [this, &session, &view, &visit](std::string& unitText,
                                                         std::string& unitSerial) {
        // A closed session has no unit to ask (and its download sends nothing either).
        std::optional<std::string> serial;
        if (session.PortOpen || session.LostDevice())
            serial = identifyUnitOnCable(session, view);
        session.AwaitReplyTail();
        visit.unitNamed = serial.has_value();
        unitSerial = serial.value_or(std::string());
        visit.unitOnCable = unitSerial;
        unitText = visit.unitNamed ? identity(session)
                                   : "an XRQ unit that gave no serial number, on COM" +
                                         std::to_string(session.ComPortNumber);
    };
    hooks.capturing = shown.capturing;
    return hooks;
}

void UnitService::judged(const session::SerialSession& session, const Visit& visit,
                         const download::DownloadOutcome& outcome) {
    unitreg::Download record =
        download::downloadRecord(outcome, visit.unitOnCable, visit.started, unitreg::nowMs());
    // The port names an unidentified unit's download until a later identification there.
    record.port = session.ComPortNumber;
    // A unit that gave no serial number is recorded as an unidentified unit's download.
    unitRegister().recordDownload(record);
    if (visit.unitNamed)
        LastDownloadSeen[visit.unitOnCable] = visit.started;
    // A download records the unit it came from: the one that answered just before it.
    if (!visit.unitNamed)
        Units.downloadedUnidentified();
    else if (outcome.downloaded)
        Units.downloaded(visit.unitOnCable);
    else // the unit's port may be gone by now: the mark goes all the same
        Units.downloadIncomplete(visit.unitOnCable, outcome.unverified);
}

download::DownloadOutcome UnitService::collect(session::SerialSession& session, CommandView& view,
                                               session::ByteSink& echo, const DownloadView& shown) {
    Visit visit;
    download::DownloadHooks hooks = hooksFor(session, view, shown, visit);
    hooks.converted = shown.converted;
    // The download goes into the unit register however it ends once something was sent (one
    // record, written by the register's own thread), before the closing boxes.
    visit.started = unitreg::nowMs();
    hooks.judged = [this, &session, &visit](const download::DownloadOutcome& outcome) {
        judged(session, visit, outcome);
    };
    download::DownloadOutcome outcome = download::runDownload(session, echo, hooks);
    if (!outcome.started)
        return outcome;
    // The series' records went to its outbox with them.
    fleet::sharing().nudge();
    // Safe on the disk but not taken into the unit's series, or taken otherwise than the
    // conversion read it: Clear Memory asks its extra question, as for an incomplete download.
    if (outcome.downloaded && visit.unitNamed && !outcome.series.empty()) {
        if (!outcome.seriesTaken)
            Units.downloadIncomplete(visit.unitOnCable,
                                     "the series has not taken it (" + outcome.series + ")");
        else if (!outcome.seriesAgrees)
            Units.downloadIncomplete(visit.unitOnCable,
                                     "the series read its kept copy otherwise than the data "
                                     "files hold it (" +
                                         outcome.series + ")");
        else if (outcome.seriesFewer)
            Units.downloadIncomplete(visit.unitOnCable, "the unit holds fewer records than "
                                                        "before, its first ones those held (" +
                                                            outcome.series + ")");
    }
    LastDownload = outcome;
    return outcome;
}

download::DownloadOutcome UnitService::readMemoryOnce(session::SerialSession& session,
                                                      CommandView& view, session::ByteSink& echo,
                                                      const DownloadView& shown) {
    Visit visit;
    download::DownloadHooks hooks = hooksFor(session, view, shown, visit);
    hooks.captureOnly = true;
    return download::runDownload(session, echo, hooks);
}

std::vector<std::string> UnitService::offerPendingConversions(const std::string& currentDirectory,
                                                              download::DownloadReport& report) {
    std::vector<std::string> shownFiles;
    // Only conversions no running instance holds: one still under way elsewhere is its own.
    for (download::OrphanedConversion& orphan : download::orphanedConversions(TempFilesPath)) {
        const download::PendingConversion& pending = orphan.pending();
        // An old version's marker names no data folder: the current one, as it would have.
        const std::string directory = orphan.legacy() ? currentDirectory : pending.dataPrefix;
        struct stat st {};
        if (::stat(pending.download.c_str(), &st) != 0) {
            LogWrite("A conversion left by an ended program names " + pending.download +
                         ", which is gone; nothing to offer",
                     source_line::orphanGone, LogSizeLimit);
            orphan.dismiss();
            continue;
        }
        if (!report.confirm("The last download was not converted: the program ended during its "
                            "conversion.\nIts bytes are kept in " +
                                pending.download + "\nConvert it now into " + directory + "?",
                            true)) {
            orphan.dismiss();
            LogWrite("Not converted; the download stays in " + pending.download,
                     source_line::notConverted, LogSizeLimit);
            RecoveredConversions.push_back("A download left unconverted by an ended program was "
                                           "not converted; its bytes stay in " +
                                           pending.download);
            continue;
        }
        const download::ConvertOutcome converted =
            download::convertKeptDownload(pending.download, directory, TempFilesPath, report);
        // Offered once: whatever came of it is told, and it is not asked again.
        orphan.dismiss();
        LogWrite("The conversion left by an ended program was done again: " +
                     std::to_string(converted.files.size()) + " files into " + directory,
                 source_line::orphanConverted, LogSizeLimit);
        RecoveredConversions.push_back("A download left unconverted by an ended program (" +
                                       pending.download + ") was converted into " + directory +
                                       ": " + std::to_string(converted.files.size()) + " files");
        if (!converted.files.empty())
            shownFiles = converted.files;
    }
    return shownFiles;
}
