// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The main window: the operator's actions, the port label, the battery readings, the data
// memo and the receive lamp, over the program's work with the unit (UnitService, app/),
// which it starts when first shown and whose end line it logs when it closes. Everything
// here runs on the UI thread.

#include <QMainWindow>
#include <QPointer>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/program_folders.h"
#include "app/unit_service.h"
#include "dialogs/run_log.h" // TempFilesPath, LogFilePath, LogSizeLimit
#include "download/download_command.h"
#include "session/byte_sink.h"
#include "unit/unit_status.h"
#include "widgets/byte_text_view.h"

class QAction;
class QFrame;
class QGroupBox;
class QLabel;
class QMenu;
class QPushButton;
class QStatusBar;
class QToolBar;
class QTimer;
class QUrl;
class StatusPanel;
class StatusReport;
class TComSignal;
class TFormSerial;
class TFormSetup;
class TFormTerminal;
class UnitsWindow;
namespace site_window {
class SitePanel;
}

class TFormXRQMain : public QMainWindow {
    Q_OBJECT
public:
    // The program's own folders.
    explicit TFormXRQMain(QWidget* parent = nullptr);
    // Folders and device folders handed in (tests).
    explicit TFormXRQMain(ProgramLocations locations, QWidget* parent = nullptr);
    ~TFormXRQMain() override;

    // The program's work with the unit that this window shows; the fields below under the
    // Parts' names (Units, LastDownload, ...) are its own.
    UnitService Service;

    // Controls, top to bottom.
    QToolBar* ToolBar1 = nullptr;
    QLabel* Label4 = nullptr;
    QGroupBox* GroupBox1 = nullptr;
    QPushButton* Button2 = nullptr; // Setup
    QPushButton* ButtonConnect = nullptr;
    QLabel* LabelComPort = nullptr;
    QGroupBox* GroupBox2 = nullptr;
    QPushButton* ButtonSetClock = nullptr;
    QPushButton* ButtonCheckBat = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* LabelBatV = nullptr;
    QLabel* LabelTemp = nullptr;
    // When the battery reading was taken ("read 10:42"), and after a Connect when the unit
    // was last downloaded, from the unit register.
    QLabel* LabelBatRead = nullptr;
    QLabel* LabelLastDownload = nullptr;
    QGroupBox* GroupBox3 = nullptr;
    QPushButton* Button1 = nullptr; // Collect Data
    QPushButton* Button3 = nullptr; // Clear Memory
    ByteTextView* MemoMain = nullptr;
    QLabel* Label1 = nullptr;
    QFrame* PanelTxRx = nullptr; // receive lamp: its palette's Window colour is the lamp
    QStatusBar* StatusBar1 = nullptr;
    // Above the status bar: the state, progress and outcome lines read whole, and the files
    // of the last download.
    StatusPanel* StatusPanel1 = nullptr;
    // Receive lamp driver: PanelTxRx red for 100 ms after each arrival; hooked in FormShow.
    TComSignal* ComSignal = nullptr;

    // Menu "&Tools" and "&Help"; their items are the actions themselves.
    QMenu* MenuTools = nullptr;
    QMenu* MenuHelp = nullptr;
    // Menu "&Site", after them, once the site panel is attached: "Unit's &Site...".
    QMenu* MenuSite = nullptr;
    QAction* ActionSite = nullptr;

    // Actions, in the order of the action list.
    QAction* ActionSetup = nullptr;
    QAction* ActionUpdate = nullptr;
    QAction* ActionSetClock = nullptr;
    QAction* ActionConnect = nullptr;
    QAction* ActionCheckBat = nullptr;
    QAction* ActionExit = nullptr;
    QAction* ActionTeminal = nullptr;
    QAction* ActionCollect = nullptr;
    QAction* ActionClearMem = nullptr;
    QAction* ActionViewData = nullptr; // Tools > "View Data...": the data viewer
    QAction* ActionUnits = nullptr;    // Tools > "Units...": the unit register
    UnitsWindow* FormUnits = nullptr;  // made on first use
    // Status bar, shown once a download has placed its data files: opens them in the viewer.
    QPushButton* ButtonView = nullptr;
    // Status bar, permanent: a refused exchange's note (for a few seconds), and which unit
    // on which port ("<serial> on COMn (<device>)" or "COMn - not connected").
    QLabel* LabelNote = nullptr;
    QLabel* LabelIdentity = nullptr;
    // Status bar, while a download runs: ends it (so does Escape, through the action).
    QPushButton* ButtonStop = nullptr;
    QAction* ActionStop = nullptr;
    // Tools menu: the data folder and the run log in the desktop's default applications.
    QAction* ActionOpenDataFolder = nullptr;
    QAction* ActionOpenRunLog = nullptr;
    // Tools menu: "Convert a Kept Download...", and how it asks for the file (tests put a
    // chooser here; an empty answer means cancelled).
    QAction* ActionConvertKept = nullptr;
    std::function<QString()> ChooseKeptDownload;
    // Help menu: the operator's guide in the desktop's viewer (the installed copy, or the
    // build's own when run from a build).
    QAction* ActionGuide = nullptr;
    // How those three are opened; tests put a recorder here.
    std::function<bool(const QUrl&)> OpenUrl;

    // How the latest download in this window went (its files open in the viewer by default).
    download::DownloadOutcome& LastDownload = Service.LastDownload;

    // Which unit was connected on which port, and which were downloaded since.
    unit_status::UnitRecord& Units = Service.Units;
    // When each unit was last downloaded by this laptop (see UnitService).
    std::map<std::string, std::int64_t>& LastDownloadSeen = Service.LastDownloadSeen;

    // Where a capture through FormSerial writes its raw bytes (the serial form's window
    // capture reaches it while this window lives); null unless a caller puts a sink here. A
    // download hands its own files to the session and this window's echo beside them.
    download::CaptureSink* CaptureFile = nullptr;
    // Copy received text into the terminal window while it is shown (the terminal says when).
    bool TerminalVisible = false;
    // Show captured text in MemoMain as well.
    bool EchoCapture = false;
    // The last battery reading as the unit sent it (the labels show it rounded).
    std::optional<std::pair<double, double>>& BatteryReadout = Service.BatteryReadout;
    std::string& SerialNumber = Service.SerialNumber;
    std::string DataDirectory;

    void UpdateComPortLabel();

    // Hands a window what it calls of this one; the program's start, which owns the windows,
    // asks for each (CreateProgramWindows). The serial form gets the capture into CaptureFile
    // and the terminal's echo, the terminal its shown state (TerminalVisible), the setup
    // dialog the port label. Taken back when this window goes before them.
    void AttachWindow(TFormSerial& serial);
    void AttachWindow(TFormTerminal& terminal);
    void AttachWindow(TFormSetup& setup);
    // The site panel: the menu "&Site" after the Parts' menus opens it for the connected unit,
    // and a Connect that found a unit with a serial number shows it once Connect has ended.
    void AttachWindow(site_window::SitePanel& panel);

    // The unit actions may be used (after a successful connect); they stay disabled while
    // an exchange runs all the same.
    void SetUnitActionsAllowed(bool allowed);
    // The unit record changed: the identity field and the run log say so.
    void UnitChanged();
    // The session opened, closed or moved: the port label and the identity field follow.
    void SessionChanged();
    // An exchange began or ended: Connect and the unit actions follow.
    void ExchangeStateChanged();
    // What stands between the operator and the unit, in the status bar; false when nothing
    // found to say.
    bool ShowGuidance();
    // A collection holds the unit from its start until its last message has been answered:
    // meanwhile the unit actions and Connect stay disabled (also in the quiet spell after the
    // conversion, when no exchange waits), and Exit waits for its end, so that the end line
    // stays the last line. Turns do not nest.
    void BeginCollectionTurn();
    void EndCollectionTurn();
    bool InCollectionTurn() const { return m_collectionTurn; }

    void FormCreate(QObject* Sender);
    void FormShow(QObject* Sender);
    void FormClose(QObject* Sender);

    void ActionSetupExecute(QObject* Sender);
    void ActionUpdateExecute(QObject* Sender);
    void ActionSetClockExecute(QObject* Sender);
    void ActionConnectExecute(QObject* Sender);
    void ActionCheckBatExecute(QObject* Sender);
    void ActionExitExecute(QObject* Sender);
    void ActionTeminalExecute(QObject* Sender);
    void ActionCollectExecute(QObject* Sender);
    // The unit's memory read ("F") and kept raw only, as a first read before a clear that
    // no one watches: nothing converted, taken into the series or recorded as a download.
    download::DownloadOutcome ReadMemoryOnce();
    void ActionClearMemExecute(QObject* Sender);
    void ActionViewDataExecute(QObject* Sender);
    void ActionUnitsExecute(QObject* Sender);
    void ActionStopExecute(QObject* Sender);
    void ActionOpenDataFolderExecute(QObject* Sender);
    void ActionOpenRunLogExecute(QObject* Sender);
    void ActionConvertKeptExecute(QObject* Sender);
    // Conversions a program did not live to finish (crash, kill), each told and offered once,
    // into the data folder it was meant for; those still running in another instance are left
    // alone. What came of each, in words (the collector reports them).
    void OfferPendingConversion();
    std::vector<std::string>& RecoveredConversions = Service.RecoveredConversions;
    // Told when the unit was still sending an earlier download as the session came to it
    // (after the status panel and the run log have it).
    std::function<void(const std::string&)>& EarlierSendingTold = Service.EarlierSendingTold;
    void ActionGuideExecute(QObject* Sender);

    // The default data directory worked out in FormShow.
    const std::string& DefaultDataDirectory() const { return Service.DefaultDataDirectory(); }

    // The downloads an earlier program called safe have been judged again (at once when none
    // waited): xrq-collect downloads only after this.
    bool KeptDownloadsJudged() const { return Service.KeptDownloadsJudged(); }

signals:
    // KeptDownloadsJudged() became true.
    void keptDownloadsJudged();
    // The window has closed (after the end line is logged); the program's loop quits on it.
    void closed();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    // What the session receives, as this window hands it in: the capture's echo in MemoMain
    // while EchoCapture (beside a download's files), the capture into CaptureFile with that
    // echo (the serial form's window capture), and the terminal's echo while TerminalVisible
    // (the session's received echo), as AttachWindow hands them to the serial form.
    class CaptureEcho : public session::ByteSink {
    public:
        explicit CaptureEcho(TFormXRQMain& window) : m_window(window) {}
        bool write(std::string_view bytes) override;

    private:
        TFormXRQMain& m_window;
    };
    class CaptureOut : public session::ByteSink {
    public:
        explicit CaptureOut(TFormXRQMain& window) : m_window(window) {}
        bool write(std::string_view bytes) override;

    private:
        TFormXRQMain& m_window;
    };
    class TerminalEcho : public session::ByteSink {
    public:
        explicit TerminalEcho(TFormXRQMain& window) : m_window(window) {}
        bool write(std::string_view bytes) override;

    private:
        TFormXRQMain& m_window;
    };
    CaptureEcho m_captureEcho{*this};
    CaptureOut m_captureOut{*this};
    TerminalEcho m_terminalEcho{*this};
    // The windows this one was attached to (AttachWindow), to take back what it handed them.
    QPointer<TFormSerial> m_attachedSerial;
    QPointer<TFormTerminal> m_attachedTerminal;
    QPointer<TFormSetup> m_attachedSetup;
    QPointer<site_window::SitePanel> m_attachedSite;

    void buildControls();
    void buildActions();
    void logEndOnce();
    // The unit register at start (the operator is told once when it cannot be used), and
    // the current unit's last download beside Collect Data.
    void openUnitRegister();
    void showLastDownload();
    // What the window shows while a download runs (the service's view of it).
    UnitService::DownloadView DownloadShown();
    void DownloadCapturing(bool on);
    void DownloadConverted(const download::DownloadOutcome& outcome);

    ProgramLocations m_locations;
    bool m_shown = false;
    bool m_collectionTurn = false;
    bool m_closeAfterTurn = false; // Exit pressed during the turn
    bool m_endLogged = false;
    // The close came from inside a running exchange or a modal box: the end line waits until
    // the program's loop has ended, so that it stays the last line.
    bool m_endLineDeferred = false;
    bool m_askingToStop = false;
    bool m_unitActionsAllowed = false;
    bool m_downloading = false;
    // Data files of the latest download that got as far as its conversion: what "View"
    // opens.
    std::vector<std::string> m_viewFiles;
    // What a download and a unit still sending tell, on StatusPanel1 and StatusBar1.
    std::shared_ptr<StatusReport> m_statusReport;
    QTimer* m_noteTimer = nullptr;
};

extern TFormXRQMain* FormXRQMain;
