// SPDX-License-Identifier: GPL-3.0-or-later
#include "setup/fSetup.h"
#include "dialogs/source_lines.h"

#include "app/program_settings.h"
#include "comport/Comport.h"
#include "dialogs/Dialogs.h"
#include "download/data_directory.h"
#include "fleet/fleet_settings.h"
#include "fleet/sharing.h"
#include "platform/exception_guard.h"
#include "platform/port_table.h"
#include "serial/fSerial.h"
#include "session/com_port_list.h"
#include "setup/data_folder_dialog.h"
#include "setup/fSerialDevices.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QSignalBlocker>
#include <QStyle>

#include <string>

TFormSetup* FormSetup = nullptr;

namespace {

TFormSetup::DirectoryChooser& directoryChooser() {
    static TFormSetup::DirectoryChooser chooser = [](QWidget* parent, const QString& start) {
        return DataFolderDialog::choose(parent, start);
    };
    return chooser;
}

TFormSetup::DeviceWindowOpener& deviceWindowOpener() {
    static TFormSetup::DeviceWindowOpener opener = [] {
        ShowSerialDevicesWindow(FormSetup, [](int n) {
            if (FormSetup)
                FormSetup->ChooseComPort(n);
        });
    };
    return opener;
}

QLabel* label(QWidget* parent, const char* text, int left, int top) {
    auto* l = new QLabel(QString::fromLatin1(text), parent);
    l->move(left, top);
    l->adjustSize(); // labels size themselves to their caption
    return l;
}

QPushButton* button(QWidget* parent, const char* text, int left, int top, int width, int height) {
    auto* b = new QPushButton(QString::fromLatin1(text), parent);
    b->setGeometry(left, top, width, height);
    b->setAutoDefault(false);
    return b;
}

// Paths are file-system bytes; the edit box shows them decoded the way the file system
// names them, so that a chosen folder with non-ASCII letters survives the round trip.
std::string pathBytes(const QString& text) {
    return QFile::encodeName(text).toStdString();
}

// The sharing's box under the data directory's.
constexpr int kSharingHeight = 96;

} // namespace

TFormSetup::DirectoryChooser TFormSetup::setDirectoryChooser(DirectoryChooser chooser) {
    return std::exchange(directoryChooser(), std::move(chooser));
}

TFormSetup::DeviceWindowOpener TFormSetup::setDeviceWindowOpener(DeviceWindowOpener opener) {
    return std::exchange(deviceWindowOpener(), std::move(opener));
}

TFormSetup::TFormSetup(QWidget* parent) : QDialog(parent) {
    setObjectName("FormSetup");
    setWindowTitle("Setup");
    setModal(false);
    setFont(QFont("MS Sans Serif", 8));
    setBackgroundRole(QPalette::Button);
    setAutoFillBackground(true);
    // 509 x 348 outside with the usual frame and caption, and the sharing's box below the
    // data directory.
    setFixedSize(501, 321 + kSharingHeight);

    ButtonOK = button(this, "OK", 208, 264 + kSharingHeight, 75, 25);
    ButtonOK->setIcon(style()->standardIcon(QStyle::SP_DialogOkButton));
    ButtonOK->setDefault(true);

    GroupBox1 = new QGroupBox("Communications", this);
    GroupBox1->setGeometry(8, 8, 481, 153);

    ComPortCombo = new QComboBox(GroupBox1);
    ComPortCombo->setEditable(true);
    ComPortCombo->setInsertPolicy(QComboBox::NoInsert);
    ComPortCombo->setGeometry(16, 24, 153, 21);
    ComPortCombo->setEditText("- SELECT COM PORT -");
    ComPortCombo->setToolTip("Select COM port to which tool is attached");

    RefreshButton = button(GroupBox1, "Refresh List", 224, 20, 129, 25);
    RefreshButton->setToolTip("Refresh serial port list");

    Label6 = label(GroupBox1, "NOTES:", 48, 50);
    Label3 = label(GroupBox1, "-a * after port name indicates port is in use by another program.",
                   56, 64);
    DevInfoLabel = label(GroupBox1, "-DEVICE INFO", 56, 80);

    RunDevMgrButton = button(GroupBox1, "Device Manager", 152, 100, 157, 25);
    RunDevMgrButton->setToolTip(
        "Windows device manager can be used to examine the ports available on your computer. "
        "Look under Ports (COM & LPT).");

    GroupBox2 = new QGroupBox("Data directory", this);
    GroupBox2->setGeometry(8, 168, 481, 81);

    EditDataDirectory = new QLineEdit(GroupBox2);
    EditDataDirectory->setGeometry(24, 28, 337, 21);

    ButtonBrowse = button(GroupBox2, "Browse", 376, 24, 75, 25);

    LabelDataNote = new QLabel(GroupBox2);
    LabelDataNote->setObjectName(QStringLiteral("LabelDataNote"));
    LabelDataNote->setGeometry(24, 54, 450, 20);
    LabelDataNote->hide();
    connect(EditDataDirectory, &QLineEdit::textChanged, this,
            platform::guarded([this](const QString&) { showDataNote(); }));

    buildSharing();

    // The hints are kept with their controls but the dialog does not show them.
    for (QWidget* w : {static_cast<QWidget*>(ComPortCombo), static_cast<QWidget*>(RefreshButton),
                       static_cast<QWidget*>(RunDevMgrButton)})
        w->installEventFilter(this);

    connect(ButtonOK, &QPushButton::clicked, this,
            platform::guarded([this](bool) { ButtonOKClick(); }));
    connect(RefreshButton, &QPushButton::clicked, this,
            platform::guarded([this](bool) { RefreshButtonClick(); }));
    connect(RunDevMgrButton, &QPushButton::clicked, this,
            platform::guarded([this](bool) { RunDevMgrButtonClick(); }));
    connect(ButtonBrowse, &QPushButton::clicked, this,
            platform::guarded([this](bool) { ButtonBrowseClick(); }));
    // Every change of the text, picked or typed, like the toolkit's change event; the port
    // list fills the box with its signals blocked, so a refresh does not come through here.
    connect(ComPortCombo, &QComboBox::currentTextChanged, this,
            platform::guarded([this](const QString&) { ComPortComboChange(); }));
    // Typed text is judged when the operator is done with it (Enter or leaving the box).
    connect(ComPortCombo->lineEdit(), &QLineEdit::editingFinished, this,
            platform::guarded([this] { TypedPortFinished(); }));
}

int TFormSetup::selectSessionPort() {
    const QSignalBlocker quiet(ComPortCombo);
    const int wanted = FormSerial ? FormSerial->ComPortNumber : -1;
    for (int i = 0; i < ComPortCombo->count(); ++i) {
        const auto number =
            com_port_list::portNumberFromEntry(ComPortCombo->itemText(i).toStdString());
        if (number && *number == wanted) {
            ComPortCombo->setCurrentIndex(i);
            return i;
        }
    }
    ComPortCombo->setCurrentIndex(-1);
    ComPortCombo->setEditText("- SELECT COM PORT -");
    return -1;
}

void TFormSetup::PortListChanged() {
    if (!FormSerial)
        return;
    FormSerial->ListComPorts(ComPortCombo);
    if (selectSessionPort() >= 0)
        ComPortComboChange();
    else
        DevInfoLabel->setText("-DEVICE INFO");
    DevInfoLabel->adjustSize();
}

bool TFormSetup::TypedPortFinished() {
    if (m_refusing || !FormSerial)
        return true;
    const QString typed = ComPortCombo->currentText().trimmed();
    if (typed.isEmpty() || typed == "- SELECT COM PORT -")
        return true;
    if (ComPortCombo->findText(typed, Qt::MatchExactly | Qt::MatchCaseSensitive) >= 0)
        return true; // an entry: the change handler has taken it
    // "com3" or "COM3" for the entry "COM3 *" or "COM3 (connected)".
    const auto number = com_port_list::portNumberFromEntry(typed.toUpper().toStdString());
    if (number) {
        for (int i = 0; i < ComPortCombo->count(); ++i) {
            const auto listed =
                com_port_list::portNumberFromEntry(ComPortCombo->itemText(i).toStdString());
            if (listed && *listed == *number) {
                ComPortCombo->setCurrentIndex(i);
                ComPortComboChange();
                return true;
            }
        }
    }
    m_refusing = true;
    DlgWarning(typed.toLocal8Bit().toStdString() +
               " is not a port of this computer's list: choose one from the list (Refresh "
               "List looks again, Device Manager shows the serial devices).");
    m_refusing = false;
    if (selectSessionPort() >= 0)
        ComPortComboChange();
    return false;
}

bool TFormSetup::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::ToolTip)
        return true;
    return QDialog::eventFilter(watched, event);
}

void TFormSetup::RefreshButtonClick() {
    if (!FormSerial)
        return;
    FormSerial->iRefreshComPorts(ComPortCombo);
    ComPortComboChange();
    FormSerial->BaudRate = 19200;
}

void TFormSetup::ComPortComboChange() {
    if (!FormSerial)
        return;
    std::string device;
    FormSerial->UseSelectedComPort(ComPortCombo, device);
    if (device.empty())
        device = sessionDevice();
    DevInfoLabel->setText("-selected COM port reports device name: " +
                          QFile::decodeName(QByteArray::fromStdString(device)));
    DevInfoLabel->adjustSize();
}

std::string TFormSetup::sessionDevice() const {
    // The system reports a held port as in use without naming its device, even when the
    // holder is this program's own session: the session then names it.
    if (!FormSerial || !FormSerial->PortOpen || !FormSerial->SerialCom ||
        !FormSerial->SerialCom->Active() || FormSerial->ComPortNumber <= 0)
        return {};
    if (FormSerial->SerialCom->DeviceName() !=
        "\\\\.\\COM" + std::to_string(FormSerial->ComPortNumber))
        return {};
    const std::string path = platform::PortTable::current().devicePath(FormSerial->ComPortNumber);
    if (path.empty())
        return {};
    const QString resolved = QFileInfo(QFile::decodeName(path.c_str())).canonicalFilePath();
    return resolved.isEmpty() ? path : QFile::encodeName(resolved).toStdString();
}

void TFormSetup::RunDevMgrButtonClick() {
    try {
        deviceWindowOpener()();
    } catch (...) {
        DlgInternalError("Internal error", source_file::setupDialog,
                         source_line::setupInternalError);
    }
}

void TFormSetup::ButtonBrowseClick() {
    QString chosen;
    try {
        chosen = directoryChooser()(this, EditDataDirectory->text());
    } catch (...) {
        // A starting folder the dialog cannot take: once more from nowhere in particular.
        // A failure this time reaches the handler's guard.
        chosen = directoryChooser()(this, QString());
    }
    if (!chosen.isEmpty())
        EditDataDirectory->setText(chosen);

    QString path = EditDataDirectory->text();
    if (path.isEmpty())
        return;
    if (!path.endsWith('/')) {
        path += '/';
        EditDataDirectory->setText(path);
    }
    if (QFileInfo(path).isDir())
        return;
    if (!DlgConfirm("Error creating data directory. Force creation?", false))
        return;
    bool created = false;
    try {
        created = QDir().mkpath(path) && QFileInfo(path).isDir();
    } catch (...) {
        created = false;
    }
    if (!created)
        DlgInternalError("Cannot create data directory.", source_file::setupDialog,
                         source_line::dataDirectoryNotCreated);
}

void TFormSetup::showDataNote() {
    const auto target = download::resolveDataDirectory(pathBytes(EditDataDirectory->text()));
    const std::string note = download::prefixNote(target);
    if (note.empty()) {
        LabelDataNote->hide();
        return;
    }
    const QString text = QFile::decodeName(QByteArray::fromStdString(note));
    const QString folder =
        QFile::decodeName(QByteArray::fromStdString(download::shownFolder(target)));
    // A long folder is cut in its middle; the words before it stay whole.
    const QString head = text.left(text.size() - folder.size());
    const QFontMetrics metrics(LabelDataNote->font());
    const int room = LabelDataNote->width() - metrics.horizontalAdvance(head);
    LabelDataNote->setText(head + metrics.elidedText(folder, Qt::ElideMiddle, room));
    LabelDataNote->setToolTip(text);
    LabelDataNote->show();
}

void TFormSetup::ButtonOKClick() {
    // Sharing's fields as typed cannot be saved: the dialog stays, the reason under them.
    checkSharing();
    if (!LabelSharingProblem->isHidden()) {
        EditService->setFocus();
        return;
    }
    close();
}

void TFormSetup::buildSharing() {
    GroupSharing = new QGroupBox("Sharing with the organisation's server", this);
    GroupSharing->setObjectName(QStringLiteral("GroupSharing"));
    GroupSharing->setGeometry(8, 256, 481, kSharingHeight - 8);
    label(GroupSharing, "Service:", 24, 24);
    EditService = new QLineEdit(GroupSharing);
    EditService->setObjectName(QStringLiteral("EditService"));
    EditService->setGeometry(96, 20, 150, 21);
    EditService->setPlaceholderText(QStringLiteral("not shared"));
    EditService->setToolTip(QStringLiteral(
        "The server's service name in pg_service.conf (or the file PGSERVICEFILE names); "
        "empty: not shared.\nNo password is asked or kept here: the server's password comes "
        "only from your ~/.pgpass (or the file PGPASSFILE names)."));
    label(GroupSharing, "Laptop:", 264, 24);
    EditLaptop = new QLineEdit(GroupSharing);
    EditLaptop->setObjectName(QStringLiteral("EditLaptop"));
    EditLaptop->setGeometry(320, 20, 145, 21);
    EditLaptop->setToolTip(QStringLiteral(
        "This laptop's name on the server, shown beside its records in other laptops' "
        "Units windows"));
    LabelSharingProblem = new QLabel(GroupSharing);
    LabelSharingProblem->setObjectName(QStringLiteral("LabelSharingProblem"));
    LabelSharingProblem->setGeometry(24, 46, 441, 36);
    LabelSharingProblem->setWordWrap(true);
    QPalette red = LabelSharingProblem->palette();
    red.setColor(QPalette::WindowText, Qt::darkRed);
    LabelSharingProblem->setPalette(red);
    LabelSharingProblem->hide();
    for (QLineEdit* edit : {EditService, EditLaptop})
        connect(edit, &QLineEdit::textChanged, this,
                platform::guarded([this](const QString&) { checkSharing(); }));
}

void TFormSetup::showSharing() {
    const fleet::Sharing& sharing = fleet::sharing();
    const fleet::FleetSettings settings =
        sharing.started() ? sharing.settings() : fleet::readFleetSettings(TempFilesPath);
    m_serviceAtShow = settings.service;
    m_laptopAtShow = settings.laptop;
    EditService->setText(settings.service);
    EditLaptop->setText(settings.laptop);
    checkSharing();
}

void TFormSetup::checkSharing() {
    const QString problem =
        fleet::settingsProblem({EditService->text().trimmed(), EditLaptop->text().trimmed()});
    LabelSharingProblem->setText(problem);
    LabelSharingProblem->setVisible(!problem.isEmpty());
}

void TFormSetup::saveSharing() {
    fleet::FleetSettings settings{EditService->text().trimmed(), EditLaptop->text().trimmed()};
    if (settings.service == m_serviceAtShow && settings.laptop == m_laptopAtShow)
        return; // fleet.ini is written only when the operator changed something
    const QString problem = fleet::settingsProblem(settings);
    if (!problem.isEmpty()) {
        LogWrite("Setup: sharing settings not saved: " + problem.toLocal8Bit().toStdString(),
                 source_line::fleetSettingsNotWritten, LogSizeLimit);
        return;
    }
    if (!fleet::writeFleetSettings(TempFilesPath, settings)) {
        LogWrite("Cannot write settings file " + TempFilesPath + fleet::kSettingsFileName,
                 source_line::fleetSettingsNotWritten, LogSizeLimit);
        return;
    }
    // An empty laptop name is this computer's name, as reading the file back gives it.
    settings = fleet::readFleetSettings(TempFilesPath);
    m_serviceAtShow = settings.service;
    m_laptopAtShow = settings.laptop;
    fleet::sharing().apply(settings);
}

void TFormSetup::FormShow() {
    if (!m_watchingPorts && FormSerial) {
        m_watchingPorts = true;
        connect(FormSerial, &TFormSerial::portsChanged, this, platform::guarded([this] {
                    if (isVisible())
                        PortListChanged();
                }));
    }
    RefreshButtonClick();
    showDataNote(); // the folder may have been made or removed since
    showSharing();
    m_shownSettings = true;
    m_portAtShow = FormSerial ? FormSerial->ComPortNumber : -1;
    m_directoryAtShow = pathBytes(EditDataDirectory->text());
}

bool TFormSetup::ChooseComPort(int n) {
    if (!FormSerial)
        return false;
    for (int attempt = 0; attempt < 2; ++attempt) {
        for (int i = 0; i < ComPortCombo->count(); ++i) {
            const auto number =
                com_port_list::portNumberFromEntry(ComPortCombo->itemText(i).toStdString());
            if (number && *number == n) {
                ComPortCombo->setCurrentIndex(i);
                ComPortComboChange();
                if (ComPortLabelChanged)
                    ComPortLabelChanged();
                return true;
            }
        }
        // A device plugged in since the list was made: list again (keeping the selection).
        if (attempt == 0)
            FormSerial->ListComPorts(ComPortCombo);
    }
    // Not listed: the box shows the session's port again, as before the attempt.
    for (int i = 0; i < ComPortCombo->count(); ++i) {
        const auto number =
            com_port_list::portNumberFromEntry(ComPortCombo->itemText(i).toStdString());
        if (number && *number == FormSerial->ComPortNumber) {
            const QSignalBlocker quiet(ComPortCombo);
            ComPortCombo->setCurrentIndex(i);
        }
    }
    return false;
}

void TFormSetup::FormClose() {
    if (ComPortLabelChanged)
        ComPortLabelChanged();
    ProgramSettings* settings = programSettings();
    if (!settings)
        return;
    platform::IniFile* ini = &settings->file();
    // The settings file is told nothing on failure (a folder that could not be created, a
    // full disk); the run log at least keeps a trace of the choice that was not saved.
    const int port = FormSerial ? FormSerial->ComPortNumber : -1;
    if (FormSerial && !ini->WriteInteger("Serial", "Port", port))
        LogWrite("Cannot write settings file " + ini->FileName() + ": Port=" + std::to_string(port),
                 source_line::settingsPortNotWritten, LogSizeLimit);
    const std::string directory = pathBytes(EditDataDirectory->text());
    if (m_shownSettings && port != m_portAtShow)
        LogWrite("Setup: COM port changed from COM" + std::to_string(m_portAtShow) + " to COM" +
                     std::to_string(port),
                 source_line::setupPortChanged, LogSizeLimit);
    if (m_shownSettings && directory != m_directoryAtShow)
        LogWrite("Setup: data directory changed from " + m_directoryAtShow + " to " + directory,
                 source_line::setupDirectoryChanged, LogSizeLimit);
    m_portAtShow = port;
    m_directoryAtShow = directory;
    if (!ini->WriteString("Data", "Directory", directory))
        LogWrite("Cannot write settings file " + ini->FileName() + ": Directory=" + directory,
                 source_line::settingsDirectoryNotWritten, LogSizeLimit);
    if (m_shownSettings)
        saveSharing();
}

void TFormSetup::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // Not when the window manager merely restores a minimised dialog.
    if (!event->spontaneous())
        platform::runGuarded([this] { FormShow(); });
}

void TFormSetup::closeEvent(QCloseEvent* event) {
    platform::runGuarded([this] { FormClose(); });
    // Only hidden: the dialog lives for the whole run and keeps its contents.
    hide();
    event->accept();
}

void TFormSetup::reject() {
    close();
}
