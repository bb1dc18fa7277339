// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The setup dialog: the COM port the unit hangs on and the data directory. Modeless, created
// once at start and only hidden when closed; its data directory edit box is the program's
// one store of the current data directory, read by every download.
#include <QDialog>

#include <functional>
#include <string>

class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

class TFormSetup : public QDialog {
    Q_OBJECT
public:
    explicit TFormSetup(QWidget* parent = nullptr);

    QPushButton* ButtonOK = nullptr;
    QGroupBox* GroupBox1 = nullptr;
    QComboBox* ComPortCombo = nullptr;
    QPushButton* RefreshButton = nullptr;
    QLabel* Label6 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* DevInfoLabel = nullptr;
    QPushButton* RunDevMgrButton = nullptr;
    QGroupBox* GroupBox2 = nullptr;
    QLineEdit* EditDataDirectory = nullptr;
    QPushButton* ButtonBrowse = nullptr;
    // Under the data directory: what a text that names no folder does to the file names.
    QLabel* LabelDataNote = nullptr;
    // Sharing with the organisation's server (fleet.ini): the libpq service name (empty: not
    // shared), this laptop's name there, and what is wrong with them as typed.
    QGroupBox* GroupSharing = nullptr;
    QLineEdit* EditService = nullptr;
    QLineEdit* EditLaptop = nullptr;
    QLabel* LabelSharingProblem = nullptr;

    // Refills the COM port list, takes the selected port and sets the line speed; also run by
    // the main window at start-up.
    void RefreshButtonClick();
    void ComPortComboChange();
    void RunDevMgrButtonClick();
    void ButtonBrowseClick();
    void ButtonOKClick();
    void FormShow();
    void FormClose();
    // Selects COM port n in the list (as the Serial devices window's choice); false when the
    // list has no entry for it.
    bool ChooseComPort(int n);
    // A port came or went while the dialog is open: the list is made again, the session's
    // port selected in it (none after its removal).
    void PortListChanged();
    // Text typed into the port box: taken when it names a listed port ("com3" for COM3),
    // otherwise refused with a message and the box shows the session's port again. False
    // when refused.
    bool TypedPortFinished();

    // The directory selection dialog: starting folder in, chosen folder out (empty when the
    // operator cancels); may throw. Tests replace it; returns the previous one.
    using DirectoryChooser = std::function<QString(QWidget* parent, const QString& start)>;
    static DirectoryChooser setDirectoryChooser(DirectoryChooser chooser);

    // What the Device Manager button opens (Linux has no Device Manager: our own list of the
    // serial devices). Tests replace it; returns the previous one.
    using DeviceWindowOpener = std::function<void()>;
    static DeviceWindowOpener setDeviceWindowOpener(DeviceWindowOpener opener);

    // Told when the session's port may read otherwise in the main window's label (a port
    // chosen, the dialog closed). Handed in by the program's start while the main window
    // lives.
    std::function<void()> ComPortLabelChanged;

    void reject() override; // Escape closes like the close box, saving both settings

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The device of the port that the session itself holds open, when that is the port.
    std::string sessionDevice() const;
    void showDataNote();
    // Sharing's fields: filled from the settings in force when the dialog is shown, checked
    // as they are typed, saved (and the pusher restarted) when it closes with them valid.
    void buildSharing();
    void showSharing();
    void checkSharing();
    void saveSharing();

    // Selects the session's port in the list without running the change handler; -1 when it
    // is not listed.
    int selectSessionPort();

    bool m_watchingPorts = false;
    bool m_refusing = false;
    // The settings as the dialog was opened with them: a close logs what changed.
    bool m_shownSettings = false;
    int m_portAtShow = -1;
    std::string m_directoryAtShow;
    QString m_serviceAtShow;
    QString m_laptopAtShow;
};

extern TFormSetup* FormSetup;
