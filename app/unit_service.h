// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The program's work with the unit, below its windows: what it knows of the units (which one
// is on which port, when each was last downloaded, the last battery reading, the last
// download), the start of a run (folders, run log, port table, settings) and its end line,
// the unit's short commands through its command set, a download visit from the data folder's
// check to the register's record, and the conversions left by ended programs. It runs over
// the session it is handed and speaks through the view it is handed: the main window shows
// it, xrq-collect drives it with no window at all. UI thread.

#include "app/program_folders.h"
#include "download/download_command.h"
#include "session/serial_session.h"
#include "unit/instrument_commands.h"
#include "unit/unit_status.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class QObject;

// Folder of the program file, ending with "/"; set at the start of a run.
extern std::string ProgramPath;

// The session as the unit's command set uses it.
class SessionLink : public UnitSession {
public:
    explicit SessionLink(session::SerialSession& session) : m_session(session) {}
    bool sessionOpen() const override { return m_session.PortOpen; }
    bool exchangeRunning() const override { return m_session.ExchangeRunning(); }
    int openPort() override { return m_session.iOpenPort(); }
    int waitForChar(const std::string& command, char char1, char char2,
                    std::uint32_t delay) override {
        return m_session.iWaitForChar(command, char1, char2, delay);
    }
    int waitForStringNUntilTermination(const std::string& command, char termination,
                                       std::uint32_t delay, char* buffer, std::int32_t n) override {
        return m_session.iWaitForStringNUntilTermination(command, termination, delay, buffer, n);
    }
    int waitForStringNBetweenChars(const std::string& command, char startChar, char endChar,
                                   std::uint32_t delay, char* buffer, std::int32_t n) override {
        return m_session.iWaitForStringNBetweenChars(command, startChar, endChar, delay, buffer, n);
    }
    int sendString(const std::string& command) override { return m_session.iSendString(command); }
    int portNumber() const override { return m_session.ComPortNumber; }
    std::string deviceName() const override;

private:
    session::SerialSession& m_session;
};

// The device COM port n stands for, as the system resolves it ("/dev/ttyUSB0" rather than
// the port folder's link); empty when n stands for nothing.
std::string comPortDevice(int n);

class UnitService;

// What every view of the command set does alike: the run log's line, the battery and serial
// number kept in the service, the identity followed, what other laptops know. The boxes and
// questions are the view's own (the main window's, xrq-collect's terminal); a window adds
// what it shows.
class ServiceView : public CommandView {
public:
    ServiceView(UnitService& service, session::SerialSession& session)
        : m_service(service), m_session(session) {}
    void setHourglass(bool) override {}
    void enableUnitActions() override {}
    void setBatteryCaptions(const std::string& volts, const std::string& temp) override;
    void batteryRead(const BatteryReading& reading) override;
    void setSerialNumber(const std::string& serial) override;
    void tellExchangeRunning() override;
    void unitChanged() override;
    void log(const std::string& line) override;
    // Asks the organisation's server, at most 2 s, while the records are shared.
    std::string otherLaptopsNote(const std::string& serial) override;

protected:
    UnitService& m_service;
    session::SerialSession& m_session;
};

class UnitService {
public:
    // Which unit was connected on which port, and which were downloaded since.
    unit_status::UnitRecord Units;
    // When each unit was last downloaded by this laptop, as far as this run knows (the
    // register's answer for the current unit, and the downloads made): other laptops'
    // downloads after it are what Clear Memory's question tells of.
    std::map<std::string, std::int64_t> LastDownloadSeen;
    // The last battery reading as the unit sent it, and its captions as the unit's command
    // set rounds them (volts, degrees Celsius).
    std::optional<std::pair<double, double>> BatteryReadout;
    std::pair<std::string, std::string> BatteryCaptions;
    std::string SerialNumber;
    // How the latest download went.
    download::DownloadOutcome LastDownload;
    // Conversions left by ended programs, what came of each in words (see
    // offerPendingConversions).
    std::vector<std::string> RecoveredConversions;
    // Told when the unit was still sending an earlier download as the session came to it
    // (after the run log has it).
    std::function<void(const std::string&)> EarlierSendingTold;

    // --- The run -----------------------------------------------------------------------
    // Works out the folders (ProgramPath, TempFilesPath), starts the run log with its three
    // start lines, puts the port table and the settings in force and moves `session` to the
    // saved port (COM1 when none is saved). The folders worked out.
    ProgramFolders start(const ProgramLocations& where, session::SerialSession* session);
    bool started() const { return m_started; }
    // The run log's end line, once.
    void logEnd();
    // The unit register at start; a trouble it meets is told once, in a box. Then the
    // downloads an earlier program called safe are judged again (download/kept_judge.h; at
    // once when none wait), their outcome goes into the run log, and KeptJudgedTold is told.
    // The trouble goes to `tellTrouble` (the owner's warning box, or its terminal).
    void openRegister(QObject* context, std::function<void(const std::string&)> tellTrouble);
    bool KeptDownloadsJudged() const { return m_keptJudged; }
    std::function<void()> KeptJudgedTold;
    // A unit still sending an earlier download when `session` comes to it: its bytes are
    // kept (under the unit last known on the port), its progress goes to `report` (may be
    // null), and the run log, `report` and EarlierSendingTold tell its end.
    void keepEarlierSending(session::SerialSession& session,
                            std::shared_ptr<download::DownloadReport> report);

    // --- The unit on the port ------------------------------------------------------------
    // "<serial> on COMn (<device>)", "unit not identified on COMn" or "COMn - not connected".
    std::string identity(const session::SerialSession& session) const;
    // The session opened, closed or moved, or the unit record changed: the record follows the
    // session, and an identity that changed goes into the run log ("Unit: ..."), once the run
    // has started. True when it changed.
    bool followSession(const session::SerialSession& session);

    // --- The unit's short commands ---------------------------------------------------------
    // Runs one operation of the command set over `session`, speaking through `view`.
    void runCommand(session::SerialSession& session, CommandView& view,
                    void (InstrumentCommands::*operation)());
    // Connect: true when the unit answered; else the unit known before is forgotten.
    bool connect(session::SerialSession& session, CommandView& view);
    // Reads the serial number of the unit on the cable afresh; empty when it gave none.
    std::optional<std::string> identifyUnitOnCable(session::SerialSession& session,
                                                   CommandView& view);
    // xrq-collect --clear: the command set's clear after a safe download of `downloaded`.
    InstrumentCommands::UnattendedClear clearAfterDownload(session::SerialSession& session,
                                                           CommandView& view,
                                                           const std::string& downloaded);

    // --- A download --------------------------------------------------------------------
    // What a download's caller shows meanwhile (see download::DownloadHooks).
    struct DownloadView {
        std::string dataDirectory;
        download::DownloadReport* report = nullptr;
        std::function<void(bool)> capturing;
        std::function<void(const download::DownloadOutcome&)> converted;
    };
    // Collect Data: the download, its record in the unit register (however it ends once
    // something was sent) and what the record of units learns; LastDownload holds it.
    // How this download went (not started: nothing was sent, LastDownload stands).
    download::DownloadOutcome collect(session::SerialSession& session, CommandView& view,
                                      session::ByteSink& echo, const DownloadView& shown);
    // The unit's memory read ("F") and kept raw only, as a first read before a clear that
    // no one watches: nothing converted, taken into the series or recorded as a download.
    download::DownloadOutcome readMemoryOnce(session::SerialSession& session, CommandView& view,
                                             session::ByteSink& echo, const DownloadView& shown);

    // Conversions a program did not live to finish (crash, kill), each told and offered once,
    // into the data folder it was meant for (an old version's marker: `currentDirectory`);
    // those still running in another instance are left alone. What came of each goes into
    // RecoveredConversions. The question and the conversion's words go to `report`. The files
    // of the last conversion that wrote any (empty: none).
    std::vector<std::string> offerPendingConversions(const std::string& currentDirectory,
                                                     download::DownloadReport& report);

    const std::string& DefaultDataDirectory() const { return m_defaultDataDirectory; }

private:
    struct Visit {
        std::string unitOnCable; // the serial number read just before "F"
        bool unitNamed = false;
        std::int64_t started = 0;
    };
    download::DownloadHooks hooksFor(session::SerialSession& session, CommandView& view,
                                     const DownloadView& shown, Visit& visit);
    void judged(const session::SerialSession& session, const Visit& visit,
                const download::DownloadOutcome& outcome);

    bool m_started = false;
    bool m_endLogged = false;
    bool m_registerTroubleShown = false;
    bool m_keptJudged = false;
    std::string m_identityShown;
    std::string m_defaultDataDirectory;
};
