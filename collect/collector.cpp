// SPDX-License-Identifier: GPL-3.0-or-later
#include "collect/collector.h"
#include "collect/collect_share.h"
#include "dialogs/source_lines.h"

#include "app/program_end.h"
#include "app/program_settings.h"
#include "app/sharing_start.h"
#include "app/unit_service.h"
#include "collect/collect_site.h"
#include "dialogs/Dialogs.h"
#include "dialogs/box_presenter.h"
#include "download/data_collection.h"
#include "download/data_directory.h"
#include "download/memory_reads.h"
#include "platform/dos_devices.h"
#include "platform/exception_guard.h"
#include "platform/port_table.h"
#include "register/register_writer.h"
#include "series/series_apply.h"
#include "series/series_store.h"
#include "session/com_port_list.h"
#include "session/serial_session.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QTimer>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace collect {
namespace {

constexpr int kPrivatePort = 256; // a device no COM number stands for is COM256 here

std::string canonical(const std::string& path) {
    const QString c =
        QFileInfo(QFile::decodeName(QByteArray::fromStdString(path))).canonicalFilePath();
    return QFile::encodeName(c).toStdString();
}

// A device path as one folder name: "/dev/ttyUSB0" -> "ttyUSB0", "/dev/pts/4" -> "pts_4".
std::string deviceKey(const std::string& path) {
    std::string key = path.rfind("/dev/", 0) == 0 ? path.substr(5) : path;
    for (char& c : key)
        if (c == '/')
            c = '_';
    while (!key.empty() && key.front() == '_')
        key.erase(0, 1);
    return key;
}

void log(const std::string& text, unsigned line) {
    LogWrite("xrq-collect: " + text, line, LogSizeLimit);
}

// Standard error: the boxes' texts, and on a terminal one progress line rewritten in place.
class Console {
public:
    explicit Console(bool quiet) : m_quiet(quiet), m_tty(::isatty(STDERR_FILENO) == 1) {}
    ~Console() { endProgress(); }

    void progress(const QString& text) {
        if (m_quiet || !m_tty)
            return;
        struct winsize ws {};
        const int width =
            ::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 ? int(ws.ws_col) - 1 : 79;
        std::fprintf(stderr, "\r%s\033[K", progressLine(text, width).c_str());
        std::fflush(stderr);
        m_progressShown = true;
    }
    // A box's text; notes and answered questions only without --quiet.
    void box(const dialogs::BoxShown& box, bool answer) {
        using dialogs::BoxKind;
        std::string text;
        switch (box.kind) {
        case BoxKind::Confirm:
            if (m_quiet)
                return;
            text = box.text + " - answered " + (answer ? "Yes" : "No");
            break;
        case BoxKind::Info:
            if (m_quiet)
                return;
            text = box.text;
            break;
        case BoxKind::Warning:
            text = "Warning: " + box.text;
            break;
        case BoxKind::Error:
        case BoxKind::InternalError:
        case BoxKind::Exception:
            text = "Error: " + box.text;
            break;
        }
        say(text);
    }
    // A note of the run's own (not a box): only without --quiet.
    void note(const std::string& text) {
        if (!m_quiet)
            say(text);
    }
    void say(const std::string& text) {
        endProgress();
        std::fprintf(stderr, "xrq-collect: %s\n", text.c_str());
        std::fflush(stderr);
    }
    void endProgress() {
        if (!m_progressShown)
            return;
        std::fputc('\n', stderr);
        m_progressShown = false;
    }

private:
    bool m_quiet;
    bool m_tty;
    bool m_progressShown = false;
};

// What a download tells, without a window: its progress on the terminal's line, its boxes
// through the run's presenter (standard error, and the run's record of boxes). The status
// panel's outcome line has no place here: the boxes and the report at the end say it.
class TerminalReport : public download::DownloadReport {
public:
    explicit TerminalReport(Console& console) : m_console(console) {}
    void begin() override {}
    void progress(const QString& text) override { m_console.progress(text); }
    void note(const QString&) override {}
    void outcome(const QString&) override {}
    void error(const std::string& text) override { DlgError(text); }
    void warning(const std::string& text) override { DlgWarning(text); }
    void info(const std::string& text) override { DlgInfo(text); }
    bool confirm(const std::string& text, bool defaultYes) override {
        return DlgConfirm(text, defaultYes);
    }

private:
    Console& m_console;
};

// The command set's view without a window: what the operator would see goes through the
// boxes (told on standard error, through the run's presenter) and into the service.
class CollectView : public ServiceView {
public:
    using ServiceView::ServiceView;
    void error(const std::string& message) override { DlgError(message); }
    void info(const std::string& message) override { DlgInfo(message); }
    void warning(const std::string& message) override { DlgWarning(message); }
    bool confirm(const std::string& message, bool defaultYes) override {
        return DlgConfirm(message, defaultYes);
    }
};

// What the collector works with in place of the program's windows: the session, the
// program's work with the unit over it, and the data directory as Setup would hold it.
struct Program {
    session::SerialSession session;
    UnitService service;
    CollectView view{service, session};
    session::NullSink noEcho;
    std::string dataDirectory;
};

// The session's port list as the program's start refreshes it (Setup's Refresh List without
// its box): the session takes the listed port it wants, else the first free one; told when
// there is no port at all.
void refreshComPorts(session::SerialSession& session) {
    constexpr win::DWORD kTargetSize = 200;
    const auto query = [](int n) {
        char target[kTargetSize];
        const std::string name = "COM" + std::to_string(n);
        if (win::QueryDosDeviceA(name.c_str(), target, kTargetSize) != 0)
            return com_port_list::PortState::Present;
        return win::GetLastError() == win::ERROR_ACCESS_DENIED ? com_port_list::PortState::Held
                                                               : com_port_list::PortState::Missing;
    };
    const std::vector<std::string> entries =
        com_port_list::buildList(query, session.PortOpen, session.ComPortNumber);
    if (entries.empty()) {
        // Reported under the serial form's unit with its fixed line, as the program does.
        DlgInternalError("No Comports available - abort", source_file::serialSession,
                         source_line::noComports);
    } else {
        const int index = com_port_list::chooseEntry(
            entries, com_port_list::wantedEntry(session.ComPortNumber, session.PortOpen));
        if (const auto number = com_port_list::portNumberFromEntry(entries[std::size_t(index)]))
            session.UseComPort(*number);
    }
    session.BaudRate = 19200;
}

// The run's state between its steps.
class Collection {
public:
    Collection(const CollectOptions& options, Console& console, Program& program)
        : m_options(options), m_console(console), m_program(program), m_session(program.session),
          m_service(program.service) {}

    void run();
    CollectReport report;
    bool ran = false;
    bool messageTold = false;

    // Every box of the run, in order; a question is answered by the options.
    bool presentBox(const dialogs::BoxShown& box) {
        bool answer = box.defaultYes;
        // The only question asked on purpose: it comes when --set-clock asked for it.
        if (box.kind == dialogs::BoxKind::Confirm && box.text == "Set XRQ clock to computer?")
            answer = m_options.setClock;
        m_boxes.push_back(box);
        m_boxes.back().answer = answer;
        m_console.box(box, answer);
        return answer;
    }

private:
    // `told`: the message stood in a box already (standard error has it).
    bool fail(Exit code, const std::string& message, bool told = false) {
        report.exit = code;
        report.message = message;
        messageTold = told;
        return false;
    }
    bool ended() {
        if (!ProgramEndRequested())
            return false;
        fail(Exit::Stopped, "Stopped by a signal; what arrived is kept.");
        return true;
    }
    // The last error box since `from`, or empty.
    std::string lastError(std::size_t from) const {
        for (std::size_t i = m_boxes.size(); i > from; --i) {
            const dialogs::BoxShown& b = m_boxes[i - 1];
            if (b.kind == dialogs::BoxKind::Error || b.kind == dialogs::BoxKind::InternalError)
                return b.text;
        }
        return {};
    }
    bool choosePort();
    bool lockPort();
    bool chooseDataDirectory();
    bool connect();
    void readBattery();
    void setClock();
    void readMemoryFirst();
    void download();
    void clearMemory();
    // What a download shows: its progress on the terminal's line.
    UnitService::DownloadView downloadView() {
        UnitService::DownloadView shown;
        shown.dataDirectory = m_program.dataDirectory;
        shown.report = &m_downloadReport;
        return shown;
    }

    const CollectOptions& m_options;
    Console& m_console;
    TerminalReport m_downloadReport{m_console};
    Program& m_program;
    session::SerialSession& m_session;
    UnitService& m_service;
    std::vector<dialogs::BoxShown> m_boxes;
    int m_port = 0;
    std::string m_key; // the device's name, for the port's working folder
    int m_lockFd = -1;
    std::string m_startFolder;
    download::DownloadOutcome m_firstRead; // --clear: the first read of the memory

public:
    ~Collection() {
        if (m_lockFd >= 0)
            ::close(m_lockFd);
        if (!m_startFolder.empty() && ::chdir(m_startFolder.c_str()) != 0)
            log("Cannot return to " + m_startFolder, source_line::collectorCannotReturn);
    }
};

bool Collection::choosePort() {
    const platform::PortTable table = platform::PortTable::current();
    if (m_options.port) {
        m_port = *m_options.port;
    } else if (!m_options.device.empty()) {
        const std::string device = canonical(m_options.device);
        if (device.empty())
            return fail(Exit::PortMissing, "The device " + m_options.device + " does not exist.");
        m_port = portNumberOfDevice(device);
        if (m_port == 0) {
            // A device none of the COM numbers stands for (a board's own UART, say) gets a
            // port folder of this run's own, where it is COM256.
            const std::string folder = TempFilesPath + "collect/" + deviceKey(device) + "/ports/";
            ::mkdir((TempFilesPath + "collect").c_str(), 0700);
            ::mkdir((TempFilesPath + "collect/" + deviceKey(device)).c_str(), 0700);
            ::mkdir(folder.c_str(), 0700);
            const std::string link = folder + "COM" + std::to_string(kPrivatePort);
            ::unlink(link.c_str());
            if (::symlink(device.c_str(), link.c_str()) != 0)
                return fail(Exit::Failed,
                            "Cannot link " + device + " as " + link + ": " + std::strerror(errno));
            platform::PortTable::setCurrent(
                platform::PortTable(table.deviceDir(), table.sysfsDir(), folder, table.lockDir()));
            m_port = kPrivatePort;
            log(m_options.device + " is COM" + std::to_string(kPrivatePort) + " for this run",
                source_line::collectorPrivatePort);
        }
    } else if (programSettings() && programSettings()->savedPort()) {
        // The saved port itself: the start's port refresh may have moved the session to
        // another port when the saved one was busy or gone, and a collection must not
        // download whatever unit that one holds.
        m_port = *programSettings()->savedPort();
    } else {
        // Unattended, port 1 by default could be the machine's console line.
        return fail(Exit::PortMissing, "No serial port is saved: give --port N or --device "
                                       "PATH, or choose one in the program's Setup.");
    }
    if (m_port < 1 || m_port > 256)
        return fail(Exit::PortMissing, "No serial port is chosen: give --port N or --device "
                                       "PATH, or choose one in the program's Setup.");
    m_session.ComPortNumber = m_port;
    report.port = m_port;
    // Links followed; a device that is not there yet keeps its COM number as the name.
    report.device = comPortDevice(m_port);
    m_key = report.device.rfind("/dev/", 0) == 0 ? deviceKey(report.device)
                                                 : "COM" + std::to_string(m_port);
    return true;
}

// One collector per port: the lock lives in the port's working folder, where the
// intermediate file is written too, so a second collector touches neither.
bool Collection::lockPort() {
    const std::string folder = TempFilesPath + "collect/" + m_key + "/";
    ::mkdir((TempFilesPath + "collect").c_str(), 0700);
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        return fail(Exit::Failed,
                    "Cannot create the working folder " + folder + ": " + std::strerror(errno));
    const std::string lock = folder + "xrq-collect.lock";
    m_lockFd = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (m_lockFd < 0)
        return fail(Exit::Failed, "Cannot open the lock " + lock + ": " + std::strerror(errno));
    if (::flock(m_lockFd, LOCK_EX | LOCK_NB) != 0) {
        char pid[32] = {};
        const ssize_t n = ::pread(m_lockFd, pid, sizeof pid - 1, 0);
        std::string holder = n > 0 ? std::string(pid, std::size_t(n)) : std::string();
        while (!holder.empty() && (holder.back() == '\n' || holder.back() == ' '))
            holder.pop_back();
        return fail(Exit::AlreadyRunning,
                    "Another xrq-collect" + (holder.empty() ? "" : " (process " + holder + ")") +
                        " is collecting from COM" + std::to_string(m_port) + ".");
    }
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(m_lockFd, 0) != 0 || ::pwrite(m_lockFd, pid.data(), pid.size(), 0) < 0)
        log("Cannot write the process number into " + lock, source_line::collectorLockNotWritten);
    char here[4096];
    if (::getcwd(here, sizeof here))
        m_startFolder = here;
    if (::chdir(folder.c_str()) != 0)
        return fail(Exit::Failed, "Cannot work in " + folder + ": " + std::strerror(errno));
    return true;
}

bool Collection::chooseDataDirectory() {
    std::string dir = m_options.dir ? *m_options.dir : m_program.dataDirectory;
    // Relative to where the command was given, not to the port's working folder.
    if (!dir.empty() && dir.front() != '/' && !m_startFolder.empty())
        dir = m_startFolder + "/" + dir;
    m_program.dataDirectory =
        download::directoryBytes(QFile::decodeName(QByteArray::fromStdString(dir)));
    report.dataDirectory = dir;
    const download::DataTarget target = download::resolveDataDirectory(dir);
    if (const std::string note = download::prefixNote(target); !note.empty())
        m_console.note(dir + " is no folder: " + note);
    const auto writable =
        dir.empty() ? platform::Result<void>(platform::makeError(platform::ErrorKind::Invalid,
                                                                 "no data directory is set"))
                    : download::canCreateFilesIn(target.prefix);
    if (!writable) {
        const std::string text =
            "Cannot write into the data directory " + dir + "\n" + writable.text();
        DlgError(text);
        return fail(Exit::DataDirectoryUnusable, text, true);
    }
    return true;
}

bool Collection::connect() {
    const unsigned before = m_service.Units.connects();
    const std::size_t boxesBefore = m_boxes.size();
    // As the main window's Connect: a unit that did not answer is named no more.
    const auto connectOnce = [this] {
        platform::runGuarded([this] {
            if (!m_service.connect(m_session, m_program.view))
                m_service.followSession(m_session);
        });
    };
    connectOnce();
    if (ended())
        return false;
    // No answer, but the unit was sending all along (it paused just as the port opened): once
    // more, and this time its sending is waited out before the serial-number request.
    if (m_service.Units.connects() == before && m_session.PortOpen && m_session.MayBeSending()) {
        log("the unit answered nothing but was sending: Connect once more",
            source_line::collectorConnectAgain);
        connectOnce();
        if (ended())
            return false;
    }
    if (m_service.Units.connects() != before && m_service.Units.current()) {
        report.serial = m_service.Units.current()->serial;
        return true;
    }
    std::string said = lastError(boxesBefore);
    // The open of our own session would count as a holder: a port that opened had no unit.
    const platform::PortTable table = platform::PortTable::current();
    const std::string path = table.devicePath(m_port);
    Exit code = Exit::NoUnit;
    if (!m_session.PortOpen) {
        switch (path.empty() ? platform::DeviceState::Missing
                             : platform::probeDevice(path, table).state) {
        case platform::DeviceState::Missing:
            code = Exit::PortMissing;
            break;
        case platform::DeviceState::InUse:
            code = Exit::PortInUse;
            break;
        case platform::DeviceState::NoPermission:
            code = Exit::PermissionDenied;
            break;
        case platform::DeviceState::Free:
            break;
        }
    }
    if (said.empty())
        return fail(code, "No XRQ unit answered on COM" + std::to_string(m_port) + ".");
    return fail(code, said, true);
}

void Collection::readBattery() {
    const std::size_t boxesBefore = m_boxes.size();
    m_service.BatteryReadout.reset();
    platform::runGuarded([this] {
        m_service.runCommand(m_session, m_program.view, &InstrumentCommands::checkBattery);
    });
    if (const auto& reading = m_service.BatteryReadout) {
        // The unit's answer, as the captions round it.
        report.volts = reading->first;
        report.celsius = reading->second;
        const auto& [volts, temp] = m_service.BatteryCaptions;
        m_console.note("Battery " + QString::fromLatin1(volts.c_str()).toStdString() + ", " +
                       QString::fromLatin1(temp.c_str()).toStdString());
        return;
    }
    const std::string said = lastError(boxesBefore);
    report.warnings.push_back("The battery could not be read: " +
                              (said.empty() ? std::string("no answer") : said));
}

void Collection::setClock() {
    const std::size_t boxesBefore = m_boxes.size();
    platform::runGuarded(
        [this] { m_service.runCommand(m_session, m_program.view, &InstrumentCommands::setClock); });
    static const std::string kSet = "Clock on XRQ set to ";
    for (std::size_t i = boxesBefore; i < m_boxes.size(); ++i)
        if (m_boxes[i].kind == dialogs::BoxKind::Info && m_boxes[i].text.rfind(kSet, 0) == 0) {
            report.clockSet = true;
            report.clockText = m_boxes[i].text.substr(kSet.size());
        }
    if (!report.clockSet)
        report.warnings.push_back("The clock was not set: " + (lastError(boxesBefore).empty()
                                                                   ? std::string("no answer")
                                                                   : lastError(boxesBefore)));
}

void Collection::download() {
    const std::size_t boxesBefore = m_boxes.size();
    m_service.LastDownload = {};
    QElapsedTimer clock;
    clock.start();
    platform::runGuarded([this] {
        // As Collect Data: never over a running exchange.
        if (m_session.ExchangeRunning()) {
            m_session.tellExchangeRunning();
            return;
        }
        m_service.collect(m_session, m_program.view, m_program.noEcho, downloadView());
    });
    report.seconds = clock.elapsed() / 1000.0;
    const download::DownloadOutcome& outcome = m_service.LastDownload;
    report.downloadStarted = outcome.started;
    if (!outcome.started) {
        if (ended())
            return;
        const std::string said = lastError(boxesBefore);
        fail(said.rfind("Cannot write into the data directory", 0) == 0
                 ? Exit::DataDirectoryUnusable
                 : Exit::Failed,
             said.empty() ? "The download did not start." : said, !said.empty());
        return;
    }
    report.files = outcome.files;
    report.keptFile = outcome.keptFile;
    report.keptFileFailed = outcome.keptFailure;
    report.bytes = outcome.figures.captureBytes;
    report.verified = outcome.downloaded;
    report.reasons = outcome.reasons;
    report.lineErrors = outcome.lineErrors.text();
    if (!outcome.lineErrors.checked)
        report.warnings.push_back("Line errors not checked: the device does not count them "
                                  "(a pseudo-terminal has no such counters).");
    // The unit the download came from: the one that answered just before it (the record
    // forgets it when the session closes, as after a stop; the Connect's answer stands then).
    if (m_service.Units.lastDownloadUnidentified())
        report.serial.clear();
    else if (m_service.Units.current())
        report.serial = m_service.Units.current()->serial;
    if (report.serial.empty())
        report.warnings.push_back("The unit gave no serial number just before the download: "
                                  "the download is recorded as an unidentified unit's.");
    if (outcome.downloaded) {
        report.exit = Exit::Safe;
        report.message.clear();
        return;
    }
    if (ended())
        return;
    fail(Exit::DownloadIncomplete,
         "The download was incomplete: " + outcome.unverified +
             (outcome.keptFile.empty() ? std::string()
                                       : "; its bytes are kept in " + outcome.keptFile) +
             (outcome.keptFailure.empty() ? std::string()
                                          : "; its kept copy failed: " + outcome.keptFailure));
}

void Collection::run() {
    ran = true;
    // Conversions left by ended programs were offered at the start (before this run): each
    // went into its own data folder, never into this run's, and the report says so.
    for (const std::string& recovered : m_service.RecoveredConversions)
        report.warnings.push_back(recovered);
    if (ended() || !choosePort() || !lockPort() || !chooseDataDirectory())
        return;
    log("COM" + std::to_string(m_port) + " (" + report.device + ") into " + report.dataDirectory,
        source_line::collectorPortAndFolder);
    // Downloads an earlier program called safe are judged again first (once, after an
    // upgrade): the clear decided below reads the series they make.
    if (!m_service.KeptDownloadsJudged()) {
        while (!m_service.KeptDownloadsJudged() && !ProgramEndRequested())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        if (ended())
            return;
    }
    if (!connect())
        return;
    if (m_options.battery) {
        readBattery();
        if (ended())
            return;
    }
    if (m_options.setClock) {
        setClock();
        if (ended())
            return;
    }
    // Before a clear the memory is read twice: the first read is kept raw only, the second
    // is the visit's download (see clearMemory).
    if (m_options.clear) {
        readMemoryFirst();
        if (ended())
            return;
    }
    download();
    if (m_options.clear && !ended())
        clearMemory();
}

void Collection::readMemoryFirst() {
    if (m_session.ExchangeRunning())
        m_session.tellExchangeRunning();
    else
        m_firstRead =
            m_service.readMemoryOnce(m_session, m_program.view, m_program.noEcho, downloadView());
    auto& c = report.clear;
    c.firstReadKept = m_firstRead.keptFile;
    c.firstReadMs = m_firstRead.captureStartedMs;
    log("first read of the memory before the clear: " +
            std::string(m_firstRead.captured
                            ? "ended with the unit's prompt"
                            : "did not end well (" + m_firstRead.unverified + ")") +
            (m_firstRead.keptFile.empty() ? std::string(", not kept")
                                          : ", kept in " + m_firstRead.keptFile),
        source_line::collectorFirstRead);
}

// --clear: only when the data is safe everywhere it must be, and at once after the download.
void Collection::clearMemory() {
    auto& c = report.clear;
    c.asked = true;
    const download::DownloadOutcome& outcome = m_service.LastDownload;
    auto refuse = [&](const std::string& why) {
        c.reason = why;
        log("Memory not cleared: " + why, source_line::collectorClearRefused);
        if (report.exit == Exit::Safe)
            fail(Exit::ClearRefused, "Memory not cleared: " + why);
    };
    if (outcome.started)
        c.secondReadMs = outcome.captureStartedMs;
    if (report.exit != Exit::Safe || !outcome.downloaded)
        return refuse("the download was not called safe");
    if (outcome.keptFile.empty())
        return refuse("the download has no kept copy");
    if (report.serial.empty())
        return refuse("the unit gave no serial number before the download");
    if (!outcome.seriesTaken)
        return refuse("the series has not taken the download" +
                      (outcome.series.empty() ? std::string() : ": " + outcome.series));
    if (!outcome.seriesAgrees)
        return refuse("the series read the kept copy otherwise than the conversion: " +
                      outcome.series);
    if (outcome.seriesFewer)
        return refuse("the unit holds fewer records than before, its first ones those held: " +
                      outcome.series);
    if (!m_firstRead.captured || m_firstRead.keptFile.empty())
        return refuse("the first read of the memory " +
                      (m_firstRead.captured
                           ? std::string("has no kept copy")
                           : "did not end well" + (m_firstRead.unverified.empty()
                                                       ? std::string()
                                                       : " (" + m_firstRead.unverified + ")")));
    if (const std::string differ =
            download::firstKeptReadBeginsSecond(m_firstRead.keptFile, outcome.keptFile);
        !differ.empty())
        return refuse("the two reads of the memory differ: " + differ);
    const auto done = m_service.clearAfterDownload(m_session, m_program.view, report.serial);
    if (done.sent) {
        c.windowFromMs = outcome.captureStartedMs;
        c.windowToMs = done.endedMs;
        // The unit's shortest usual interval among its series: the likeliest loss.
        series::SeriesStore store;
        if (store.open(series::storePath(TempFilesPath)))
            for (const series::SeriesInfo& s : store.list())
                if (s.serial == report.serial && s.usualInterval > 0 &&
                    (c.usualIntervalSeconds == 0 || s.usualInterval < c.usualIntervalSeconds))
                    c.usualIntervalSeconds = s.usualInterval;
    }
    if (!done.cleared)
        return refuse(done.why);
    c.cleared = true;
    log("Memory cleared after the download; a record logged from the download's start to the "
        "clear (" +
            std::to_string(double(c.windowToMs - c.windowFromMs) / 1000.0) +
            " s) may not have been downloaded",
        source_line::collectorCleared);
}

} // namespace

void qtMessagesToRunLog(QtMsgType, const QMessageLogContext&, const QString& message) {
    // The offscreen screen's note on every window shown says nothing about the run.
    if (message.contains(QLatin1String("propagateSizeHints")))
        return;
    LogWrite("Qt: " + message.toLocal8Bit().toStdString(), source_line::qtMessage, LogSizeLimit);
}

int portNumberOfDevice(const std::string& device) {
    const std::string wanted = canonical(device);
    if (wanted.empty())
        return 0;
    const platform::PortTable table = platform::PortTable::current();
    for (int n = 1; n <= 256; ++n) {
        const std::string path = table.devicePath(n);
        if (!path.empty() && canonical(path) == wanted)
            return n;
    }
    return 0;
}

// Whole: the collector's start, run and end in the main window's order, over one service.
CollectReport runCollection(QCoreApplication& app, const CollectOptions& options,
                            const ProgramLocations& where) {
    Console console(options.quiet);
    Program program;
    Collection run(options, console, program);
    dialogs::setPresenter([&run](const dialogs::BoxShown& box) { return run.presentBox(box); });
    const auto previousExceptions =
        platform::setExceptionPresenter([&run](const std::string& message) {
            run.presentBox({dialogs::BoxKind::Exception, "XRQ", message});
        });
    const QtMessageHandler previousHandler = qInstallMessageHandler(qtMessagesToRunLog);
    // A signal stops the exchange under way (its port closed, what arrived kept) and the loop.
    ResetProgramEnd();
    dialogs::setProgramEnding(false);
    setProgramEndHandler([&program] {
        dialogs::setProgramEnding(true);
        program.session.StopExchanges();
        QCoreApplication::quit();
    });
    auto restore = qScopeGuard([&] {
        setProgramEndHandler({});
        qInstallMessageHandler(previousHandler);
        platform::setExceptionPresenter(previousExceptions);
        dialogs::setPresenter({});
    });
    // Owns the hot-plug watcher; goes before the session.
    QObject portWatch;

    // The program's start, as its main window makes it: folders, run log, port table,
    // settings, the session on the saved port, the data directory saved, the port list.
    session::SerialSession& session = program.session;
    UnitService& service = program.service;
    service.start(where, &session);
    if (const ProgramSettings* settings = programSettings())
        program.dataDirectory = download::directoryBytes(
            QFile::decodeName(settings->dataDirectory(service.DefaultDataDirectory()).c_str()));
    refreshComPorts(session);
    // Ports plugged in or pulled out from now on.
    session::startPortWatch(&portWatch, [&session] { return &session; });
    QObject::connect(&session, &session::SerialSession::sessionChanged, &portWatch,
                     platform::guarded([&] { service.followSession(session); }));
    service.EarlierSendingTold = [&console, &run](const std::string& text) {
        console.say(text);
        run.report.warnings.push_back(text);
    };
    const auto terminal = std::make_shared<TerminalReport>(console);
    service.keepEarlierSending(session, terminal);
    service.followSession(session);
    // After the start, as the main window offers them once it is up.
    QTimer::singleShot(0, &portWatch, platform::guarded([&] {
                           service.offerPendingConversions(program.dataDirectory, *terminal);
                       }));
    service.openRegister(&portWatch, [](const std::string& trouble) { DlgWarning(trouble); });
    log("started", source_line::collectorStarted);
    // The outcome is logged and told before the end, so that the end line stays the run
    // log's last.
    bool finished = false;
    auto finish = [&] {
        if (finished)
            return;
        finished = true;
        console.endProgress();
        if (!run.ran) // ended while the program was starting
            run.report.exit = ProgramEndRequested() ? Exit::Stopped : Exit::Failed;
        // The register writes its last events (or keeps them in its journal) before the report
        // is made, so that a lock, an I/O error or a full disk it met is among the warnings.
        unitRegister().close();
        for (const std::string& w : unitRegister().warnings())
            run.report.warnings.push_back(w);
        // The site's facts (--site, --note) once the download is done and safe (or could not
        // be): a site refused changes the status only of a safe run. Not after a stop signal.
        if (!TempFilesPath.empty() && run.ran && !ProgramEndRequested()) {
            run.report.siteVisit =
                recordAtSite(options, TempFilesPath, run.report.serial,
                             QDateTime::currentMSecsSinceEpoch(), std::chrono::seconds(10));
            const auto& visit = run.report.siteVisit;
            if (visit && !visit->refused.empty()) {
                run.report.warnings.push_back(visit->refused);
                if (run.report.exit == Exit::Safe) {
                    run.report.exit = Exit::SiteRefused;
                    run.report.message = "The data is safe; " + visit->refused;
                }
            }
        }
        // Then what this run recorded (and anything left waiting) goes to the server, when
        // shared and asked to wait for it (not after a stop signal: the facts wait); the exit
        // status stays the download's.
        if (!TempFilesPath.empty()) {
            CollectOptions sharing = options;
            if (ProgramEndRequested())
                sharing.pushWait = 0;
            run.report.shared = shareAtEnd(sharing, TempFilesPath);
        }
        const CollectReport& r = run.report;
        log(std::string("ended: ") + exitName(r.exit) + " (" + std::to_string(int(r.exit)) + ")" +
                (r.message.empty() ? "" : ": " + r.message),
            source_line::collectorEnded);
        if (r.exit != Exit::Safe && !run.messageTold)
            console.say(r.message.empty() ? std::string(exitName(r.exit)) : r.message);
    };
    // After what the start queued (a conversion left by an ended program is offered first).
    QTimer::singleShot(0, &portWatch, [&] {
        run.run();
        finish();
        QCoreApplication::quit();
    });
    if (!ProgramEndRequested())
        app.exec();
    finish();
    // The program's end, as its main window closes: no more boxes, the sharing ended, the end
    // line the run log's last.
    dialogs::setProgramEnding(true);
    StopSharing();
    service.logEnd();
    unitRegister().close();
    return run.report;
}

} // namespace collect
