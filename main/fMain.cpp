#include "main/fMain.h"

#include "comport/Comsignal.h"
#include "dialogs/Dialogs.h"
#include "main/command_links.h"
#include "main/data_collection.h"
#include "main/download_status.h"
#include "main/unit_status.h"
#include "main/viewer_launch.h"
#include "platform/exception_guard.h"
#include "platform/fixed_name_file.h"
#include "platform/port_table.h"
#include "serial/fSerial.h"
#include "serial/fSerial_ports.h"
#include "serial/fTerminal.h"
#include "serial/memo_batcher.h"
#include "setup/fSetup.h"

#include <QAction>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QFrame>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QProcess>
#include <QPushButton>
#include <QScopeGuard>
#include <QScreen>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QUrl>
#include <QVBoxLayout>

#include "platform/dos_devices.h"
#include "platform/serial_device_info.h"

#include <cerrno>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

std::string ProgramPath;
TFormXRQMain* FormXRQMain = nullptr;

namespace {

constexpr const char* kStopQuestion =
    "An exchange with the XRQ unit is running.\nStop it and exit the program?";

// A button that shows its action's caption and enabled state and triggers it when clicked.
QPushButton* actionButton(QAction* action, QWidget* parent) {
    auto* button = new QPushButton(action->text(), parent);
    auto follow = [button, action] {
        button->setText(action->text());
        button->setEnabled(action->isEnabled());
        button->setToolTip(action->toolTip());
        button->setStatusTip(action->statusTip());
    };
    follow();
    QObject::connect(action, &QAction::changed, button, follow);
    QObject::connect(button, &QPushButton::clicked, action, [action] { action->trigger(); });
    return button;
}

QLabel* boldLabel(const char* text, QWidget* parent, int pointSize = 0) {
    auto* label = new QLabel(QString::fromLatin1(text), parent);
    QFont font = label->font();
    font.setBold(true);
    if (pointSize > 0)
        font.setPointSize(pointSize);
    label->setFont(font);
    return label;
}

} // namespace

TFormXRQMain::TFormXRQMain(QWidget* parent)
    : TFormXRQMain(ProgramLocations::fromSystem(), parent) {}

TFormXRQMain::TFormXRQMain(ProgramLocations locations, QWidget* parent)
    : QMainWindow(parent), m_locations(std::move(locations)) {
    setObjectName(QStringLiteral("FormXRQMain"));
    setWindowTitle(QStringLiteral("XRQ Control software"));
    QFont font(QStringLiteral("MS Sans Serif"), 8);
    font.setStyleHint(QFont::SansSerif);
    setFont(font);
    buildActions();
    buildControls();
    resize(435, 649);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
    platform::runGuarded([this] { FormCreate(this); });
}

TFormXRQMain::~TFormXRQMain() {
    // The program may end without a close (the application told to quit): the run log it
    // started still gets its end line, and a download's file keeps what reached it.
    if (m_shown)
        logEndOnce();
    if (CaptureFile) {
        std::fclose(CaptureFile);
        CaptureFile = nullptr;
    }
    if (FormXRQMain == this)
        FormXRQMain = nullptr;
}

void TFormXRQMain::buildActions() {
    struct Def {
        QAction** action;
        const char* name;
        const char* caption;
        void (TFormXRQMain::*handler)(QObject*);
    };
    const Def defs[] = {
        {&ActionSetup, "ActionSetup", "&Setup", &TFormXRQMain::ActionSetupExecute},
        {&ActionUpdate, "ActionUpdate", "&Update", &TFormXRQMain::ActionUpdateExecute},
        {&ActionSetClock, "ActionSetClock", "Set &Clock", &TFormXRQMain::ActionSetClockExecute},
        {&ActionConnect, "ActionConnect", "Co&nnect", &TFormXRQMain::ActionConnectExecute},
        {&ActionCheckBat, "ActionCheckBat", "Chec&k Bat", &TFormXRQMain::ActionCheckBatExecute},
        {&ActionExit, "ActionExit", "E&xit", &TFormXRQMain::ActionExitExecute},
        {&ActionTeminal, "ActionTeminal", "&Terminal", &TFormXRQMain::ActionTeminalExecute},
        {&ActionCollect, "ActionCollect", "Collect &Data", &TFormXRQMain::ActionCollectExecute},
        {&ActionClearMem, "ActionClearMem", "Clear &Memory", &TFormXRQMain::ActionClearMemExecute},
        {&ActionViewData, "ActionViewData", "&View Data...", &TFormXRQMain::ActionViewDataExecute},
        {&ActionStop, "ActionStop", "Stop", &TFormXRQMain::ActionStopExecute},
        {&ActionOpenDataFolder, "ActionOpenDataFolder", "Open Data &Folder",
         &TFormXRQMain::ActionOpenDataFolderExecute},
        {&ActionOpenRunLog, "ActionOpenRunLog", "Open Run &Log",
         &TFormXRQMain::ActionOpenRunLogExecute},
    };
    for (const Def& def : defs) {
        auto* action = new QAction(QString::fromLatin1(def.caption), this);
        action->setObjectName(QString::fromLatin1(def.name));
        const auto handler = def.handler;
        connect(action, &QAction::triggered, this,
                platform::guarded([this, action, handler] { (this->*handler)(action); }));
        *def.action = action;
    }
    ActionExit->setToolTip(QStringLiteral("Exit program"));
    ActionExit->setStatusTip(QStringLiteral("Exit program"));
    ActionStop->setShortcut(QKeySequence(Qt::Key_Escape));
    ActionStop->setToolTip(QStringLiteral("Stop the download (Esc); what arrived is kept"));
    ActionStop->setEnabled(false);
    addAction(ActionStop); // Escape works without a menu item
    OpenUrl = [](const QUrl& url) { return QDesktopServices::openUrl(url); };

    MenuTools = menuBar()->addMenu(QStringLiteral("&Tools"));
    MenuTools->setObjectName(QStringLiteral("MainMenuTools"));
    MenuTools->addAction(ActionSetup);    // Setup1
    MenuTools->addAction(ActionCheckBat); // SetClock1
    MenuTools->addAction(ActionSetClock); // SetClock2
    MenuTools->addSeparator();            // N1
    MenuTools->addAction(ActionTeminal);  // Terminal1
    MenuTools->addAction(ActionClearMem); // ClearMemory1
    MenuTools->addSeparator();
    MenuTools->addAction(ActionViewData);
    MenuTools->addAction(ActionOpenDataFolder);
    MenuTools->addAction(ActionOpenRunLog);

    MenuHelp = menuBar()->addMenu(QStringLiteral("&Help"));
    MenuHelp->setObjectName(QStringLiteral("MainMenuHelp"));
    MenuHelp->addAction(ActionUpdate); // Update1
    MenuHelp->addSeparator();          // N2
    MenuHelp->addAction(ActionExit);   // ActionExit1
}

void TFormXRQMain::buildControls() {
    ToolBar1 = addToolBar(QStringLiteral("ToolBar1"));
    ToolBar1->setObjectName(QStringLiteral("ToolBar1"));
    ToolBar1->setMovable(false);
    ToolBar1->setFixedHeight(29);

    auto* central = new QWidget(this);
    auto* column = new QVBoxLayout(central);

    Label4 = boldLabel("Wait 10 seconds after turning on XRQ unit beffore initiatiing commands.",
                       central);
    Label4->setWordWrap(true);
    column->addWidget(Label4);

    GroupBox1 = new QGroupBox(QStringLiteral("Initialization"), central);
    auto* row1 = new QHBoxLayout(GroupBox1);
    Button2 = actionButton(ActionSetup, GroupBox1);
    ButtonConnect = actionButton(ActionConnect, GroupBox1);
    LabelComPort = boldLabel("N/A", GroupBox1, 12);
    row1->addWidget(Button2);
    row1->addWidget(ButtonConnect);
    row1->addWidget(LabelComPort, 1);
    column->addWidget(GroupBox1);

    GroupBox2 = new QGroupBox(QStringLiteral("Utilities"), central);
    auto* row2 = new QHBoxLayout(GroupBox2);
    ButtonSetClock = actionButton(ActionSetClock, GroupBox2);
    ButtonCheckBat = actionButton(ActionCheckBat, GroupBox2);
    Label2 = new QLabel(QStringLiteral("Battery:"), GroupBox2);
    LabelBatV = boldLabel("N/A", GroupBox2);
    Label3 = new QLabel(QStringLiteral("Temperature:"), GroupBox2);
    LabelTemp = boldLabel("N/A", GroupBox2);
    row2->addWidget(ButtonSetClock);
    row2->addWidget(ButtonCheckBat);
    row2->addWidget(Label2);
    row2->addWidget(LabelBatV);
    row2->addWidget(Label3);
    row2->addWidget(LabelTemp);
    row2->addStretch(1);
    column->addWidget(GroupBox2);

    GroupBox3 = new QGroupBox(QStringLiteral("Collect Data"), central);
    auto* row3 = new QHBoxLayout(GroupBox3);
    Button1 = actionButton(ActionCollect, GroupBox3);
    Button3 = actionButton(ActionClearMem, GroupBox3);
    row3->addWidget(Button1);
    row3->addWidget(Button3);
    row3->addStretch(1);
    column->addWidget(GroupBox3);

    MemoMain = new ByteTextView(central);
    MemoMain->setObjectName(QStringLiteral("MemoMain"));
    QFont mono(QStringLiteral("Courier New"));
    mono.setStyleHint(QFont::TypeWriter);
    MemoMain->setFont(mono);
    QPalette memoColours = MemoMain->palette();
    memoColours.setColor(QPalette::Base, Qt::black);
    memoColours.setColor(QPalette::Text, QColor(0x00, 0xFF, 0x00)); // lime
    MemoMain->setPalette(memoColours);
    column->addWidget(MemoMain, 1);

    auto* lampRow = new QHBoxLayout;
    Label1 = new QLabel(QStringLiteral("Data:"), central);
    PanelTxRx = new QFrame(central);
    PanelTxRx->setObjectName(QStringLiteral("PanelTxRx"));
    PanelTxRx->setFixedSize(17, 17);
    PanelTxRx->setFrameStyle(QFrame::Panel | QFrame::Raised);
    PanelTxRx->setAutoFillBackground(true);
    QPalette lamp = PanelTxRx->palette();
    lamp.setColor(QPalette::Window, QColor(0x00, 0x80, 0x00)); // green
    PanelTxRx->setPalette(lamp);
    lampRow->addWidget(Label1);
    lampRow->addWidget(PanelTxRx);
    lampRow->addStretch(1);
    column->addLayout(lampRow);

    setCentralWidget(central);
    StatusBar1 = statusBar();
    StatusBar1->setObjectName(QStringLiteral("StatusBar1"));
    ButtonView = new QPushButton(QStringLiteral("View"), StatusBar1);
    ButtonView->setObjectName(QStringLiteral("ButtonView"));
    ButtonView->setToolTip(QStringLiteral("Show the data of the last download"));
    ButtonView->hide();
    StatusBar1->addPermanentWidget(ButtonView);
    ButtonStop = actionButton(ActionStop, StatusBar1);
    ButtonStop->setObjectName(QStringLiteral("ButtonStop"));
    ButtonStop->hide();
    StatusBar1->addPermanentWidget(ButtonStop);
    LabelNote = new QLabel(StatusBar1);
    LabelNote->setObjectName(QStringLiteral("LabelNote"));
    LabelNote->hide();
    StatusBar1->addPermanentWidget(LabelNote);
    m_noteTimer = new QTimer(this);
    m_noteTimer->setSingleShot(true);
    connect(m_noteTimer, &QTimer::timeout, LabelNote, [this] {
        LabelNote->clear();
        LabelNote->hide();
    });
    LabelIdentity = new QLabel(StatusBar1);
    LabelIdentity->setObjectName(QStringLiteral("LabelIdentity"));
    LabelIdentity->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    StatusBar1->addPermanentWidget(LabelIdentity);
    connect(ButtonView, &QPushButton::clicked, this,
            platform::guarded([this] { ActionViewDataExecute(ButtonView); }));

    MemoMainEcho = new MemoBatcher(MemoMain, 0, this);
    ComSignal = new TComSignal(this);
    ComSignal->setObjectName(QStringLiteral("ComSignal"));
    ComSignal->SetControl(PanelTxRx);
    ComSignal->SetColorOn(clRed);
    ComSignal->SetDelay(100);
    ComSignal->SetSignal(siRxChar);
}

void TFormXRQMain::FormCreate(QObject*) {
    // The unit actions wait for the first successful connect.
    SetUnitActionsAllowed(false);
}

void TFormXRQMain::SetUnitActionsAllowed(bool allowed) {
    m_unitActionsAllowed = allowed;
    ExchangeStateChanged();
}

void TFormXRQMain::ExchangeStateChanged() {
    // Pressing them meanwhile was refused anyway; disabled, they say so before the press.
    const bool running = FormSerial && FormSerial->ExchangeRunning();
    ActionConnect->setEnabled(!running);
    for (QAction* action : {ActionSetClock, ActionCheckBat, ActionCollect, ActionClearMem})
        action->setEnabled(m_unitActionsAllowed && !running);
}

void TFormXRQMain::UnitChanged() {
    SessionChanged();
}

void TFormXRQMain::SessionChanged() {
    if (!FormSerial)
        return;
    Units.follow(FormSerial->PortOpen, FormSerial->ComPortNumber);
    UpdateComPortLabel();
    const std::string text =
        unit_status::identityText(Units, FormSerial->PortOpen, FormSerial->ComPortNumber);
    if (text == m_identityShown)
        return;
    m_identityShown = text;
    LabelIdentity->setText(QString::fromLocal8Bit(text.c_str()));
    LabelIdentity->setToolTip(LabelIdentity->text());
    if (m_shown)
        LogWrite("Unit: " + text, __LINE__, LogSizeLimit);
}

namespace {

std::string groupOfPath(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return {};
    const struct group* g = ::getgrgid(st.st_gid);
    return g ? std::string(g->gr_name) : std::string();
}

} // namespace

bool TFormXRQMain::ShowGuidance() {
    if (!FormSerial)
        return false;
    unit_status::PortFacts facts;
    facts.port = FormSerial->ComPortNumber;
    facts.portOpened = FormSerial->PortOpen;
    const platform::PortTable table = platform::PortTable::current();
    for (const auto& row : platform::collectSerialDevices(table))
        if (row.stateText() != "missing")
            facts.anyPort = true;
    const std::string path = facts.port > 0 ? table.devicePath(facts.port) : std::string();
    if (!path.empty()) {
        const platform::DeviceProbe probe = platform::probeDevice(path, table);
        facts.portPresent = probe.state != platform::DeviceState::Missing;
        if (probe.state == platform::DeviceState::NoPermission) {
            facts.permissionDenied = true;
            facts.device = probe.resolvedPath.empty() ? path : probe.resolvedPath;
            facts.group = groupOfPath(facts.device);
        }
    }
    const std::string text = unit_status::guidanceText(unit_status::diagnose(facts), facts);
    if (text.empty())
        return false;
    StatusBar1->showMessage(QString::fromLocal8Bit(text.c_str()));
    return true;
}

void TFormXRQMain::FormShow(QObject*) {
    const ProgramFolders folders = resolveProgramFolders(m_locations);
    ProgramPath = folders.programPath;
    TempFilesPath = folders.tempFilesPath;
    LogFilePath = TempFilesPath + "XRQ_log.txt";
    LogSizeLimit = 200000;

    LogWrite("***** Program Start *****", 118, LogSizeLimit);
    LogWrite("Program path: " + ProgramPath, 120, LogSizeLimit);
    LogWrite("Temporary files path: " + TempFilesPath, 122, LogSizeLimit);
    m_defaultDataDirectory = folders.defaultDataDirectory;

    // COM numbers resolve through this table from now on; the port folder lets the operator
    // or the unit simulator put any tty there as COMn.
    platform::PortTable::setCurrent(
        platform::PortTable(m_locations.deviceDir, m_locations.sysfsDir, TempFilesPath + "ports/"));

    IniFile = std::make_unique<platform::IniFile>(TempFilesPath + "XRQ.ini");
    TerminalVisible = false;

    if (FormSerial)
        FormSerial->ComPortNumber = IniFile->ReadInteger("Serial", "Port", 1);
    if (FormSetup && FormSetup->EditDataDirectory)
        FormSetup->EditDataDirectory->setText(QFile::decodeName(
            IniFile->ReadString("Data", "Directory", m_defaultDataDirectory).c_str()));
    if (FormSetup)
        FormSetup->RefreshButtonClick();
    UpdateComPortLabel();
    // The serial form exists now and its receive handler is on the port: the lamp takes it
    // over and passes every receive event on to it.
    if (FormSerial && ComSignal)
        ComSignal->SetComPort(FormSerial->SerialCom);
    // Ports plugged in or pulled out from now on, in the device folders and the port folder.
    startComPortWatch();
    if (FormSerial) {
        // The note has a field of its own: a download's progress text would overwrite it.
        connect(FormSerial, &TFormSerial::exchangeRefused, this, [this](const QString& note) {
            LabelNote->setText(note);
            LabelNote->show();
            m_noteTimer->start(5000);
        });
        connect(FormSerial, &TFormSerial::sessionChanged, this,
                platform::guarded([this] { SessionChanged(); }));
        connect(FormSerial, &TFormSerial::exchangeStateChanged, this,
                platform::guarded([this] { ExchangeStateChanged(); }));
    }
    SessionChanged();
    ShowGuidance();
}

void TFormXRQMain::UpdateComPortLabel() {
    if (FormSerial && FormSerial->ComPortNumber > 0)
        LabelComPort->setText(
            QStringLiteral("COM%1 @ %2").arg(FormSerial->ComPortNumber).arg(FormSerial->BaudRate));
    else
        LabelComPort->setText(QStringLiteral("RUN SETUP!"));
}

void TFormXRQMain::ActionSetupExecute(QObject*) {
    if (FormSetup) {
        FormSetup->show();
        FormSetup->raise();
        FormSetup->activateWindow();
    }
}

void TFormXRQMain::ActionTeminalExecute(QObject*) {
    if (FormTerminal) {
        FormTerminal->show();
        FormTerminal->raise();
        FormTerminal->activateWindow();
    }
}

void TFormXRQMain::ActionUpdateExecute(QObject*) {
    try {
        const std::string updater = ProgramPath + "XRQUpdate.exe";
        // Success means the updater process has started; it then runs on its own.
        if (QProcess::startDetached(QFile::decodeName(updater.c_str()), QStringList()))
            close();
        else
            DlgError("Cannot execute update program XRQUpdate.exe");
    } catch (...) {
        DlgInternalError("Internal error", "fMain", 277);
    }
}

void TFormXRQMain::ActionExitExecute(QObject*) {
    close();
}

// Filled in by the instrument command set: detect the unit and read its serial number.
void TFormXRQMain::ActionConnectExecute(QObject*) {
    runInstrumentCommand(*this, &InstrumentCommands::connect);
    if (!Units.current())
        ShowGuidance();
}

// Filled in by the instrument command set: set the unit's clock.
void TFormXRQMain::ActionSetClockExecute(QObject*) {
    runInstrumentCommand(*this, &InstrumentCommands::setClock);
}

// Filled in by the instrument command set: read battery voltage and temperature.
void TFormXRQMain::ActionCheckBatExecute(QObject*) {
    runInstrumentCommand(*this, &InstrumentCommands::checkBattery);
}

// Filled in by the instrument command set: clear the unit's memory.
void TFormXRQMain::ActionClearMemExecute(QObject*) {
    runInstrumentCommand(*this, &InstrumentCommands::clearMemory);
}

// Filled in by the data collection: download the unit's data sets.
void TFormXRQMain::ActionCollectExecute(QObject*) {
    // Started while another exchange waits (the wait dispatches button clicks), a download
    // would take over the running one's match state, and re-creating the intermediate file
    // would empty the one being written.
    if (FormSerial->ExchangeRunning()) {
        FormSerial->tellExchangeRunning();
        return;
    }
    // A data folder that cannot take the files is found now, before anything is sent, and
    // not after the whole download.
    {
        const std::string directory =
            collection::directoryBytes(FormSetup->EditDataDirectory->text());
        std::string why;
        if (!collection::canCreateFilesIn(directory, why)) {
            DlgError("Cannot write into the data directory " + directory + "\n" + why);
            return;
        }
    }
    // The working folder may be writable by others: a link or FIFO planted under the fixed
    // name is refused, never written through or waited on.
    const int fd = platform::openFixedNameForWriting(collection::kIntermediateFileName,
                                                     platform::FixedOpen::Truncate);
    collection::FileIdentity written;
    CaptureFile = nullptr;
    if (fd >= 0 && collection::fileIdentity(fd, written))
        CaptureFile = ::fdopen(fd, "wb");
    if (!CaptureFile) {
        const int err = errno;
        if (fd >= 0)
            ::close(fd);
        LogWrite(std::string(collection::kIntermediateFileName) + ": " +
                     collection::openErrorText(err),
                 __LINE__, LogSizeLimit);
        DlgError("Cannot open intermediate data file");
        return;
    }
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    EchoCapture = true;
    m_downloading = true;
    ActionStop->setEnabled(true);
    ButtonStop->show();
    const std::string unitText =
        unit_status::identityText(Units, FormSerial->PortOpen, FormSerial->ComPortNumber);

    collection::RunFigures& figures = collection::lastRunFigures();
    figures = {};
    std::string capturePath;
    int result = 1;
    bool intermediateWritten = false;
    {
        // However the capture ends (an exception from the port included), the intermediate
        // file is closed, the echo stops and the cursor comes back before any message.
        auto endCapture = qScopeGuard([this, &intermediateWritten] {
            m_downloading = false;
            ActionStop->setEnabled(false);
            ButtonStop->hide();
            MemoMainEcho->flush();
            EchoCapture = false;
            intermediateWritten = std::ferror(CaptureFile) == 0;
            intermediateWritten = std::fclose(CaptureFile) == 0 && intermediateWritten;
            CaptureFile = nullptr;
            QGuiApplication::restoreOverrideCursor();
        });
        QElapsedTimer clock;
        clock.start();
        collection::DownloadStatus status(StatusBar1, CaptureFile);
        result = FormSerial->iCaptureTo("F", '>', 4000);
        MemoMainEcho->flush();
        status.finish();
        figures.captureBytes = status.progress().bytes();
        figures.captureSeconds = clock.elapsed() / 1000.0;
        capturePath = status.filePath();
    }
    const std::uint64_t receivedAtEnd = FormSerial->BytesOutsideExchanges();
    LogWrite("Download from " + unitText + ": " + std::to_string(figures.captureBytes) +
                 " bytes in " + QString::number(figures.captureSeconds, 'f', 1).toStdString() +
                 " s",
             __LINE__, LogSizeLimit);

    if (FormSerial->ExchangesStopped()) {
        // Stopped by the operator's Exit or a signal: what arrived stays in the file.
        LogWrite("Download stopped; the intermediate data file keeps what was received", __LINE__,
                 LogSizeLimit);
        return;
    }
    if (FormSerial->LastWaitEnd() == TFormSerial::WaitEnd::Stopped) {
        // The status bar and the log already say where the bytes are; converting part of a
        // download would pass it off as the unit's data.
        LogWrite("Download stopped by the operator: " + std::to_string(figures.captureBytes) +
                     " bytes kept in " + capturePath + ", nothing converted",
                 __LINE__, LogSizeLimit);
        return;
    }
    if (result != 0) {
        DlgError("Timeout during data download");
        DlgError("Invalid file format - data in Intermediate.txt");
        return;
    }
    if (!intermediateWritten) {
        // A full disk while capturing: converting the rest would report a partial download
        // as collected.
        DlgError("Cannot write intermediate data file");
        return;
    }

    DataDirectory = collection::directoryBytes(FormSetup->EditDataDirectory->text());
    QElapsedTimer clock;
    clock.start();
    const collection::ConvertOutcome outcome = collection::convertIntermediateFile(
        collection::kIntermediateFileName, DataDirectory, &written);
    figures.convertSeconds = clock.elapsed() / 1000.0;
    collection::lastCollectedFiles() = outcome.files;
    for (const std::string& file : outcome.files) {
        struct stat st {};
        const std::string size =
            ::stat(file.c_str(), &st) == 0 ? std::to_string(st.st_size) + " bytes" : "size unknown";
        LogWrite("Data file written: " + file + " (" + size + ")", __LINE__, LogSizeLimit);
    }
    if (outcome.result == collection::ConvertResult::Collected ||
        outcome.result == collection::ConvertResult::NoData)
        Units.downloaded();
    ButtonView->hide(); // shown again below when this download placed its files

    // A '>' inside the data ends the capture early (the protocol knows no other end); what
    // the unit sent after it is lost. The files written so far stay, and the operator is told.
    if (outcome.result == collection::ConvertResult::Collected ||
        outcome.result == collection::ConvertResult::NoData) {
        const bool cut =
            collection::downloadMayBeIncomplete(outcome, 0) ||
            collection::downloadMayBeIncomplete(outcome, bytesAfterCapture(receivedAtEnd));
        if (cut) {
            LogWrite("Bytes after the unit's prompt were not converted: the download may be "
                     "incomplete",
                     __LINE__, LogSizeLimit);
            DlgWarning("The XRQ unit's prompt came inside the data: the download may be "
                       "incomplete.\nThe data files hold what came before it; download again "
                       "to compare.");
        }
    }

    switch (outcome.result) {
    case collection::ConvertResult::Collected:
        DlgInfo("Data collected and placed in " + DataDirectory);
        ButtonView->setVisible(!outcome.files.empty());
        break;
    case collection::ConvertResult::NoData:
        DlgInfo("No data in XRQ");
        break;
    case collection::ConvertResult::CannotReopen:
        LogWrite(outcome.detail, __LINE__, LogSizeLimit);
        DlgError("Cannot re-open intermediate data file");
        break;
    case collection::ConvertResult::InvalidFormat:
        // The box keeps its familiar text; the status bar and the run log say what exactly
        // went wrong.
        LogWrite(outcome.detail, __LINE__, LogSizeLimit);
        StatusBar1->showMessage(QString::fromLocal8Bit(outcome.detail.c_str()));
        DlgError("Invalid file format - data in Intermediate.txt");
        break;
    }
}

std::uint64_t TFormXRQMain::bytesAfterCapture(std::uint64_t countAtEnd) {
    // The session reads and drops what comes after the capture; bytes that came during the
    // conversion are still queued and arrive within this spell too.
    constexpr int kQuietSpellMs = 300;
    if (FormSerial->PortOpen) {
        QTimer spell;
        spell.setSingleShot(true);
        spell.start(kQuietSpellMs);
        while (spell.isActive() && FormSerial->BytesOutsideExchanges() == countAtEnd &&
               !FormSerial->ExchangesStopped())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return FormSerial->BytesOutsideExchanges() - countAtEnd;
}

void TFormXRQMain::ActionStopExecute(QObject*) {
    if (!m_downloading || !FormSerial)
        return;
    LogWrite("Stop pressed during the download", __LINE__, LogSizeLimit);
    FormSerial->StopExchange();
}

void TFormXRQMain::ActionOpenDataFolderExecute(QObject*) {
    const QString folder = FormSetup ? FormSetup->EditDataDirectory->text() : QString();
    if (folder.isEmpty() || !QFileInfo(folder).isDir()) {
        DlgError("The data folder " + collection::directoryBytes(folder) +
                 " does not exist yet: it is made by the first download or in Setup.");
        return;
    }
    if (!OpenUrl(QUrl::fromLocalFile(folder)))
        DlgError("No program to show the folder " + collection::directoryBytes(folder));
}

void TFormXRQMain::ActionOpenRunLogExecute(QObject*) {
    const QString log = QFile::decodeName(QByteArray::fromStdString(LogFilePath));
    if (log.isEmpty() || !QFileInfo::exists(log)) {
        DlgError("There is no run log yet: " + LogFilePath);
        return;
    }
    if (!OpenUrl(QUrl::fromLocalFile(log)))
        DlgError("No program to show the run log " + LogFilePath);
}

void TFormXRQMain::ActionViewDataExecute(QObject*) {
    // The files of the last download that are still there; without any, the viewer asks for
    // files in the data directory.
    QStringList files;
    for (const std::string& name : collection::lastCollectedFiles()) {
        const QString path = QFile::decodeName(QByteArray::fromStdString(name));
        if (QFile::exists(path))
            files.append(path);
    }
    const QString folder = FormSetup ? FormSetup->EditDataDirectory->text() : QString();
    QString error;
    if (!viewer_launch::startDataViewer(files, folder, error))
        DlgError(error.toStdString());
}

void TFormXRQMain::FormClose(QObject*) {
    if (!m_endLineDeferred)
        logEndOnce();
}

void TFormXRQMain::logEndOnce() {
    if (m_endLogged)
        return;
    m_endLogged = true;
    LogWrite("***** Program End *****", 303, LogSizeLimit);
}

void TFormXRQMain::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (m_shown)
        return;
    m_shown = true;
    platform::runGuarded([this] { FormShow(this); });
}

void TFormXRQMain::closeEvent(QCloseEvent* event) {
    if (m_askingToStop) { // Exit pressed again while the question is open
        event->ignore();
        return;
    }
    // Ended by a signal: a box or an exchange may be open below this call.
    m_endLineDeferred = m_endLineDeferred || dialogs::programEnding();
    if (FormSerial && FormSerial->ExchangeRunning()) {
        if (!dialogs::programEnding()) {
            m_askingToStop = true;
            const bool stop = DlgConfirm(kStopQuestion, false);
            m_askingToStop = false;
            // A signal during the question ends the program whatever the answer.
            if (!stop && !dialogs::programEnding()) {
                event->ignore();
                return;
            }
        }
        // The exchange's handler is below this call: it unwinds once the loop regains
        // control, and the end line must come after its last line.
        FormSerial->StopExchanges();
        m_endLineDeferred = true;
    }
    dialogs::setProgramEnding(true);
    platform::runGuarded([this] { FormClose(this); });
    event->accept();
    emit closed();
}
