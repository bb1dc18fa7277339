// SPDX-License-Identifier: GPL-3.0-or-later
#include "main/fMain.h"
#include "dialogs/source_lines.h"

#include "app/guide_location.h"
#include "app/program_settings.h"
#include "app/sharing_start.h"
#include "app/viewer_launch.h"
#include "dialogs/Dialogs.h"
#include "download/data_collection.h"
#include "download/download_command.h"
#include "download/download_record.h"
#include "download/download_status.h"
#include "download/earlier_tail.h"
#include "download/recovery_marker.h"
#include "fleet/sharing.h"
#include "main/command_links.h"
#include "main/status_report.h"
#include "platform/exception_guard.h"
#include "platform/port_table.h"
#include "register/register_texts.h"
#include "register/register_writer.h"
#include "serial/fSerial.h"
#include "serial/fSerial_ports.h"
#include "serial/fTerminal.h"
#include "setup/fSetup.h"
#include "site_window/site_panel.h"
#include "unit/unit_status.h"
#include "units_window/units_window.h"
#include "widgets/Comsignal.h"
#include "widgets/message_boxes.h"
#include "widgets/status_panel.h"
#include "window_fit/window_fit.h"

#include <QAction>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QGridLayout>
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
#include <QScrollArea>
#include <QStatusBar>
#include <QTime>
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
#include <utility>

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

// The session reaches this window's capture file, echo and terminal only through these.
void TFormXRQMain::AttachWindow(TFormSerial& serial) {
    serial.SetWindowSinks(&m_captureOut, &m_terminalEcho);
    m_attachedSerial = &serial;
}

void TFormXRQMain::AttachWindow(TFormTerminal& terminal) {
    terminal.ShownChanged = [this](bool shown) { TerminalVisible = shown; };
    m_attachedTerminal = &terminal;
}

void TFormXRQMain::AttachWindow(TFormSetup& setup) {
    setup.ComPortLabelChanged = [this] { UpdateComPortLabel(); };
    m_attachedSetup = &setup;
}

void TFormXRQMain::AttachWindow(site_window::SitePanel& panel) {
    m_attachedSite = &panel;
    if (MenuSite)
        return;
    // A menu of its own after the Parts' Tools and Help, which keep their items.
    MenuSite = menuBar()->addMenu(QStringLiteral("&Site"));
    MenuSite->setObjectName(QStringLiteral("MainMenuSite"));
    ActionSite = new QAction(QStringLiteral("Unit's &Site..."), this);
    ActionSite->setObjectName(QStringLiteral("ActionSite"));
    ActionSite->setStatusTip(
        QStringLiteral("Where the connected unit is deployed; record a deployment or a note"));
    connect(ActionSite, &QAction::triggered, this, platform::guarded([this] {
                if (m_attachedSite)
                    m_attachedSite->showFor(QString::fromStdString(SerialNumber), true, this);
            }));
    MenuSite->addAction(ActionSite);
}

bool TFormXRQMain::CaptureEcho::write(std::string_view bytes) {
    if (m_window.EchoCapture && m_window.MemoMain)
        m_window.MemoMain->appendBytes(bytes);
    return true;
}

bool TFormXRQMain::CaptureOut::write(std::string_view bytes) {
    // The first chunk the file cannot take ends the capture, before it is echoed.
    if (m_window.CaptureFile && !m_window.CaptureFile->write(bytes))
        return false;
    return m_window.m_captureEcho.write(bytes);
}

bool TFormXRQMain::TerminalEcho::write(std::string_view bytes) {
    if (m_window.TerminalVisible && FormTerminal)
        FormTerminal->EchoReceived(bytes);
    return true;
}

TFormXRQMain::~TFormXRQMain() {
    // The program may end without a close (the application told to quit): the run log it
    // started still gets its end line, and a download's file keeps what reached it.
    if (m_shown) {
        StopSharing();
        logEndOnce();
    }
    CaptureFile = nullptr; // owned by its caller, who is gone
    if (m_attachedSerial && m_attachedSerial->WindowCapture() == &m_captureOut)
        m_attachedSerial->SetWindowSinks(nullptr, nullptr);
    if (m_attachedTerminal)
        m_attachedTerminal->ShownChanged = nullptr;
    if (m_attachedSetup)
        m_attachedSetup->ComPortLabelChanged = nullptr;
    closeProgramSettings();
    if (FormXRQMain == this)
        FormXRQMain = nullptr;
    unitRegister().close();
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
        {&ActionUnits, "ActionUnits", "&Units...", &TFormXRQMain::ActionUnitsExecute},
        {&ActionStop, "ActionStop", "Stop", &TFormXRQMain::ActionStopExecute},
        {&ActionOpenDataFolder, "ActionOpenDataFolder", "Open Data &Folder",
         &TFormXRQMain::ActionOpenDataFolderExecute},
        {&ActionOpenRunLog, "ActionOpenRunLog", "Open Run &Log",
         &TFormXRQMain::ActionOpenRunLogExecute},
        {&ActionConvertKept, "ActionConvertKept", "Convert a Kept Download...",
         &TFormXRQMain::ActionConvertKeptExecute},
        {&ActionGuide, "ActionGuide", "Operator's &Guide", &TFormXRQMain::ActionGuideExecute},
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
    ChooseKeptDownload = [this] {
        return QFileDialog::getOpenFileName(this, QStringLiteral("Convert a Kept Download"),
                                            QFile::decodeName(QByteArray::fromStdString(
                                                download::keptDownloadsRoot(TempFilesPath))),
                                            QStringLiteral("Downloads (*.txt);;All files (*)"));
    };

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
    MenuTools->addAction(ActionUnits);
    MenuTools->addAction(ActionOpenDataFolder);
    MenuTools->addAction(ActionOpenRunLog);
    MenuTools->addAction(ActionConvertKept);

    MenuHelp = menuBar()->addMenu(QStringLiteral("&Help"));
    MenuHelp->setObjectName(QStringLiteral("MainMenuHelp"));
    MenuHelp->addAction(ActionGuide);
    MenuHelp->addAction(ActionUpdate); // Update1
    MenuHelp->addSeparator();          // N2
    MenuHelp->addAction(ActionExit);   // ActionExit1
}

// Whole: the window's controls top to bottom as the operator sees them.
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
    LabelComPort->setWordWrap(true); // "COM7 @ 19200 - not present" takes two lines if need be
    row1->addWidget(Button2);
    row1->addWidget(ButtonConnect);
    row1->addWidget(LabelComPort, 1);
    column->addWidget(GroupBox1);

    // The readings stand beside the buttons one under the other, and when each was read under
    // them, so that the group is as narrow as the window at its first size: every text whole,
    // none reworded.
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
    auto* readings = new QGridLayout;
    readings->setContentsMargins(6, 0, 0, 0);
    readings->setVerticalSpacing(2);
    readings->addWidget(Label2, 0, 0);
    readings->addWidget(LabelBatV, 0, 1);
    readings->addWidget(Label3, 1, 0);
    readings->addWidget(LabelTemp, 1, 1);
    LabelBatRead = new QLabel(GroupBox2);
    LabelBatRead->setObjectName(QStringLiteral("LabelBatRead"));
    LabelBatRead->setWordWrap(true);
    readings->addWidget(LabelBatRead, 2, 0, 1, 2);
    readings->setColumnStretch(2, 1);
    row2->addLayout(readings, 1);
    column->addWidget(GroupBox2);

    GroupBox3 = new QGroupBox(QStringLiteral("Collect Data"), central);
    auto* row3 = new QHBoxLayout(GroupBox3);
    Button1 = actionButton(ActionCollect, GroupBox3);
    Button3 = actionButton(ActionClearMem, GroupBox3);
    row3->addWidget(Button1);
    row3->addWidget(Button3);
    // "last downloaded 2026-12-09, complete" takes two lines where one is too narrow.
    LabelLastDownload = new QLabel(GroupBox3);
    LabelLastDownload->setObjectName(QStringLiteral("LabelLastDownload"));
    LabelLastDownload->setWordWrap(true);
    row3->addWidget(LabelLastDownload, 1);
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

    // The controls scroll when the screen is too small for them; the status panel and the
    // status bar below them stay in sight.
    StatusPanel1 = new StatusPanel(this);
    auto* outer = new QWidget(this);
    auto* outerColumn = new QVBoxLayout(outer);
    outerColumn->setContentsMargins(0, 0, 0, 0);
    outerColumn->setSpacing(0);
    outerColumn->addWidget(window_fit::scrolled(central, outer), 1);
    outerColumn->addWidget(StatusPanel1);
    setCentralWidget(outer);
    StatusBar1 = statusBar();
    StatusBar1->setObjectName(QStringLiteral("StatusBar1"));
    m_statusReport = std::make_shared<StatusReport>(StatusBar1);
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
    const bool running = m_collectionTurn || (FormSerial && FormSerial->ExchangeRunning());
    ActionConnect->setEnabled(!running);
    for (QAction* action : {ActionSetClock, ActionCheckBat, ActionCollect, ActionClearMem})
        action->setEnabled(m_unitActionsAllowed && !running);
}

void TFormXRQMain::BeginCollectionTurn() {
    m_collectionTurn = true;
    ExchangeStateChanged();
}

void TFormXRQMain::EndCollectionTurn() {
    m_collectionTurn = false;
    ExchangeStateChanged();
    if (m_closeAfterTurn) {
        m_closeAfterTurn = false;
        // From the event loop, once the collection's handler has returned: its lines come
        // before the end line.
        QTimer::singleShot(0, this, [this] { close(); });
    }
}

void TFormXRQMain::UnitChanged() {
    SessionChanged();
}

void TFormXRQMain::SessionChanged() {
    if (!FormSerial)
        return;
    const bool changed = Service.followSession(FormSerial->Session);
    UpdateComPortLabel();
    if (!Units.current())
        LabelLastDownload->clear();
    if (!changed)
        return;
    LabelIdentity->setText(QString::fromLocal8Bit(Service.identity(FormSerial->Session).c_str()));
    LabelIdentity->setToolTip(LabelIdentity->text());
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
    StatusPanel1->setState(QString::fromLocal8Bit(text.c_str()));
    return true;
}

void TFormXRQMain::FormShow(QObject*) {
    // The folders, the run log's first lines, the port table, the settings and the port.
    Service.start(m_locations, FormSerial ? &FormSerial->Session : nullptr);
    // Window places per screen, beside the settings file and apart from it.
    window_fit::setGeometryStore(
        QFile::decodeName(QByteArray::fromStdString(TempFilesPath + "window-geometry.ini")));
    StatusPanel1->OpenUrl = [this](const QUrl& url) { return OpenUrl(url); };
    StatusPanel1->LogShortened = [](const QString& text) {
        LogWrite("Status: " + text.toLocal8Bit().toStdString(), source_line::statusLine,
                 LogSizeLimit);
    };
    new StatusTipGuard(this);
    TerminalVisible = false;

    if (FormSetup && FormSetup->EditDataDirectory && programSettings())
        FormSetup->EditDataDirectory->setText(QFile::decodeName(
            programSettings()->dataDirectory(Service.DefaultDataDirectory()).c_str()));
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
        // A unit still sending an earlier download when the session comes to it: its bytes
        // are kept (under the unit last known on the port), and the operator is told.
        Service.keepEarlierSending(FormSerial->Session, m_statusReport);
    }
    SessionChanged();
    ShowGuidance();
    // After the window is up, so that the question has its window behind it.
    QTimer::singleShot(0, this, platform::guarded([this] { OfferPendingConversion(); }));
    openUnitRegister();
}

void TFormXRQMain::openUnitRegister() {
    // While the register retries (a locked file, a full disk), the panel says so.
    RegisterWriter& reg = unitRegister();
    connect(reg.signalsObject(), &RegisterSignals::statusChanged, this,
            [this](const QString& text) { StatusPanel1->setRegister(text); });
    connect(reg.signalsObject(), &RegisterSignals::recorded, this,
            [this](const QByteArray& serial) {
                if (Units.current() && Units.current()->serial == serial.toStdString())
                    showLastDownload();
            });
    // Told at once when known now; a register that answers late tells when it does. The
    // downloads judged again after it are told by the window's signal too.
    Service.KeptJudgedTold = [this] { emit keptDownloadsJudged(); };
    Service.openRegister(this, [](const std::string& trouble) { DlgWarning(trouble); });
}

void TFormXRQMain::showLastDownload() {
    if (!Units.current())
        return;
    const std::string serial = Units.current()->serial;
    unitRegister().query<std::optional<unitreg::LastDownload>>(
        this, [serial](unitreg::UnitRegister& r) { return r.lastDownload(serial); },
        [this, serial](std::optional<unitreg::LastDownload> last) {
            if (last) {
                std::int64_t& seen = LastDownloadSeen[serial];
                seen = std::max(seen, last->started);
            }
            if (Units.current() && Units.current()->serial == serial)
                LabelLastDownload->setText(unitreg::lastDownloadText(last));
        });
}

void TFormXRQMain::UpdateComPortLabel() {
    if (FormSerial && FormSerial->ComPortNumber > 0) {
        QString text =
            QStringLiteral("COM%1 @ %2").arg(FormSerial->ComPortNumber).arg(FormSerial->BaudRate);
        // A port chosen before its adapter went (or from another machine's settings) does not
        // pass for one that is there.
        const platform::PortTable table = platform::PortTable::current();
        const std::string path = table.devicePath(FormSerial->ComPortNumber);
        if (path.empty() ||
            platform::probeDevice(path, table).state == platform::DeviceState::Missing)
            text += QStringLiteral(" - not present");
        LabelComPort->setText(text);
    } else {
        LabelComPort->setText(QStringLiteral("RUN SETUP!"));
    }
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
        DlgInternalError("Internal error", source_file::mainWindow, source_line::mainInternalError);
    }
}

void TFormXRQMain::ActionExitExecute(QObject*) {
    close();
}

// Filled in by the instrument command set: detect the unit and read its serial number.
void TFormXRQMain::ActionConnectExecute(QObject*) {
    if (!FormSerial)
        throw std::logic_error("The serial session does not exist");
    MainWindowView view(*this, *FormSerial);
    if (Service.connect(FormSerial->Session, view)) {
        // The unit answered: what stood in the way is gone.
        StatusPanel1->setState({});
        // Where the unit is deployed, beside this window once Connect has ended: queued, so
        // that nothing of the panel's runs inside Connect.
        if (m_attachedSite && !SerialNumber.empty()) {
            const QString serial = QString::fromStdString(SerialNumber);
            QPointer<site_window::SitePanel> panel = m_attachedSite;
            QPointer<TFormXRQMain> self = this;
            QTimer::singleShot(0, panel, platform::guarded([self, panel, serial] {
                                   if (panel)
                                       panel->showFor(serial, false, self);
                               }));
        }
        return;
    }
    // No answer: whatever unit was known before may not be the one on the cable now.
    SessionChanged();
    if (!ShowGuidance())
        StatusPanel1->setState({});
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
namespace {

// The status panel's summary of the files a download wrote.
std::vector<StatusPanel::SummaryRow> summaryRows(const std::vector<download::FileSummary>& files) {
    std::vector<StatusPanel::SummaryRow> rows;
    for (const download::FileSummary& file : files)
        rows.push_back({file.path,
                        file.readable ? QString::number(file.records) : QStringLiteral("?"),
                        file.readable ? download::formatByteCount(static_cast<double>(file.bytes))
                                      : QStringLiteral("?")});
    return rows;
}

} // namespace

void TFormXRQMain::ActionCollectExecute(QObject*) {
    // Started while another exchange waits (the wait dispatches button clicks), a download
    // would take over the running one's match state, and re-creating the intermediate file
    // would empty the one being written.
    if (FormSerial->ExchangeRunning()) {
        FormSerial->tellExchangeRunning();
        return;
    }
    // From here until its last message has been answered the collection has the unit.
    BeginCollectionTurn();
    auto endTurn = qScopeGuard([this] { EndCollectionTurn(); });
    UnitService::DownloadView shown = DownloadShown();
    shown.converted = [this](const download::DownloadOutcome& outcome) {
        DownloadConverted(outcome);
    };
    // The download's boxes stand over this window, whichever the operator brings forward
    // meanwhile (the terminal, the Units window).
    const dialogs::BoxOwner boxes(this);
    MainWindowView view(*this, *FormSerial);
    const download::DownloadOutcome outcome =
        Service.collect(FormSerial->Session, view, m_captureEcho, shown);
    if (outcome.started && outcome.placed)
        ButtonView->show();
}

download::DownloadOutcome TFormXRQMain::ReadMemoryOnce() {
    download::DownloadOutcome outcome;
    if (FormSerial->ExchangeRunning()) {
        FormSerial->tellExchangeRunning();
        return outcome;
    }
    BeginCollectionTurn();
    auto endTurn = qScopeGuard([this] { EndCollectionTurn(); });
    const dialogs::BoxOwner boxes(this);
    MainWindowView view(*this, *FormSerial);
    return Service.readMemoryOnce(FormSerial->Session, view, m_captureEcho, DownloadShown());
}

UnitService::DownloadView TFormXRQMain::DownloadShown() {
    UnitService::DownloadView shown;
    shown.report = m_statusReport.get();
    shown.dataDirectory = download::directoryBytes(FormSetup->EditDataDirectory->text());
    shown.capturing = [this](bool on) { DownloadCapturing(on); };
    return shown;
}

void TFormXRQMain::DownloadCapturing(bool on) {
    if (on)
        QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    EchoCapture = on;
    m_downloading = on;
    ActionStop->setEnabled(on);
    ButtonStop->setVisible(on);
    if (!on)
        QGuiApplication::restoreOverrideCursor();
}

void TFormXRQMain::DownloadConverted(const download::DownloadOutcome& outcome) {
    DataDirectory = outcome.dataPrefix;
    m_viewFiles = outcome.files;
    // The data directory is a prefix of the names: its folder is what Open Folder shows.
    StatusPanel1->showSummary(
        QFileInfo(QFile::decodeName(QByteArray::fromStdString(DataDirectory + "x"))).absolutePath(),
        summaryRows(download::summarizeFiles(outcome.files)));
    ButtonView->hide(); // shown again below when this download placed its files
}

void TFormXRQMain::ActionStopExecute(QObject*) {
    if (!m_downloading || !FormSerial)
        return;
    LogWrite("Stop pressed during the download", source_line::stopPressed, LogSizeLimit);
    FormSerial->StopExchange();
}

void TFormXRQMain::ActionOpenDataFolderExecute(QObject*) {
    const QString folder = FormSetup ? FormSetup->EditDataDirectory->text() : QString();
    if (folder.isEmpty() || !QFileInfo(folder).isDir()) {
        DlgError("The data folder " + download::directoryBytes(folder) +
                 " does not exist yet: it is made by the first download or in Setup.");
        return;
    }
    if (!OpenUrl(QUrl::fromLocalFile(folder)))
        DlgError("No program to show the folder " + download::directoryBytes(folder));
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

void TFormXRQMain::ActionConvertKeptExecute(QObject*) {
    if (FormSerial && FormSerial->ExchangeRunning()) {
        FormSerial->tellExchangeRunning();
        return;
    }
    const QString chosen = ChooseKeptDownload ? ChooseKeptDownload() : QString();
    if (chosen.isEmpty())
        return;
    const std::string directory = download::directoryBytes(FormSetup->EditDataDirectory->text());
    const download::ConvertOutcome converted = download::convertKeptDownload(
        QFile::encodeName(chosen).toStdString(), directory, TempFilesPath, *m_statusReport);
    if (!converted.files.empty()) {
        m_viewFiles = converted.files;
        ButtonView->show();
    }
}

void TFormXRQMain::OfferPendingConversion() {
    const std::vector<std::string> files = Service.offerPendingConversions(
        download::directoryBytes(FormSetup->EditDataDirectory->text()), *m_statusReport);
    if (!files.empty()) {
        m_viewFiles = files;
        ButtonView->show();
    }
}

void TFormXRQMain::ActionGuideExecute(QObject*) {
    const QString guide = guideLocation(QFile::decodeName(QByteArray::fromStdString(ProgramPath)));
    if (guide.isEmpty()) {
        DlgError(std::string("The operator's guide is not installed: it belongs in ") +
                 kInstalledGuideDir + "/ (the package xrq puts it there).");
        return;
    }
    if (!OpenUrl(QUrl::fromLocalFile(guide)))
        DlgError("No program to show the operator's guide " +
                 QFile::encodeName(guide).toStdString());
}

void TFormXRQMain::ActionViewDataExecute(QObject*) {
    // The files of the last download that are still there; without any, the viewer asks for
    // files in the data directory.
    QStringList files;
    for (const std::string& name : m_viewFiles) {
        const QString path = QFile::decodeName(QByteArray::fromStdString(name));
        if (QFile::exists(path))
            files.append(path);
    }
    const QString folder = FormSetup ? FormSetup->EditDataDirectory->text() : QString();
    if (auto started = viewer_launch::startDataViewer(files, folder); !started)
        DlgError(started.text());
}

void TFormXRQMain::ActionUnitsExecute(QObject*) {
    if (!FormUnits) {
        FormUnits = new UnitsWindow(this);
        FormUnits->StartSeriesViewer = [](const series::SeriesInfo& info) {
            return viewer_launch::startSeriesViewer(
                QByteArray::fromStdString(info.serial), QByteArray::fromStdString(info.name),
                info.ordinal, QFile::decodeName(QByteArray::fromStdString(TempFilesPath)));
        };
    }
    FormUnits->show();
    FormUnits->raise();
    FormUnits->activateWindow();
}

void TFormXRQMain::FormClose(QObject*) {
    // Within about 2 s whatever the server does; what is not pushed stays in the outboxes.
    StopSharing();
    if (!m_endLineDeferred)
        logEndOnce();
}

void TFormXRQMain::logEndOnce() {
    if (m_endLogged)
        return;
    m_endLogged = true;
    Service.logEnd();
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
    // Exit after a download's capture, while its files are written or its last message is
    // open: the program ends once that message has been answered.
    if (m_collectionTurn && !dialogs::programEnding() &&
        !(FormSerial && FormSerial->ExchangeRunning())) {
        if (!m_closeAfterTurn)
            LogWrite("Exit waits for the end of the download", source_line::exitWaits,
                     LogSizeLimit);
        m_closeAfterTurn = true;
        event->ignore();
        return;
    }
    // Ended by a signal: a box or an exchange may be open below this call.
    m_endLineDeferred = m_endLineDeferred || dialogs::programEnding() || m_collectionTurn;
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
