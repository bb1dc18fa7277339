// SPDX-License-Identifier: GPL-3.0-or-later
// The serial form's COM port list and its reaction to ports that come and go. UI thread only:
// the list operations fill the combo box they are given, and device-change messages arrive
// from the hot-plug watcher's notifiers on the UI thread too.
#include "serial/fSerial_ports.h"
#include "dialogs/source_lines.h"

#include "dialogs/Dialogs.h"
#include "platform/dos_devices.h"
#include "serial/fSerial.h"
#include "session/com_port_list.h"

#include <QApplication>
#include <QComboBox>
#include <QSignalBlocker>

#include <optional>
#include <string>

namespace {

constexpr win::DWORD TargetBufferSize = 200;

com_port_list::PortState queryPort(int n) {
    char target[TargetBufferSize];
    const std::string name = "COM" + std::to_string(n);
    if (win::QueryDosDeviceA(name.c_str(), target, TargetBufferSize) != 0)
        return com_port_list::PortState::Present;
    return win::GetLastError() == win::ERROR_ACCESS_DENIED ? com_port_list::PortState::Held
                                                           : com_port_list::PortState::Missing;
}

// The hourglass for the length of a scan. Like the toolkit's screen cursor it is set and
// cleared, not stacked: inside another wait it takes over the cursor and leaves the default.
class HourglassCursor {
public:
    HourglassCursor() : m_pushed(!QApplication::overrideCursor()) {
        if (m_pushed)
            QApplication::setOverrideCursor(Qt::WaitCursor);
        else
            QApplication::changeOverrideCursor(Qt::WaitCursor);
    }
    ~HourglassCursor() {
        if (m_pushed)
            QApplication::restoreOverrideCursor();
        else
            QApplication::changeOverrideCursor(Qt::ArrowCursor);
    }
    HourglassCursor(const HourglassCursor&) = delete;
    HourglassCursor& operator=(const HourglassCursor&) = delete;

private:
    bool m_pushed;
};

// The entry the operator has picked: the one whose text the box shows. Text typed into the
// editable box that matches no entry selects nothing.
std::optional<std::string> selectedEntry(const QComboBox* combo) {
    const int index =
        combo->findText(combo->currentText(), Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (index < 0)
        return std::nullopt;
    return combo->itemText(index).toLatin1().toStdString();
}

} // namespace

void TFormSerial::ListComPorts(QComboBox* Combo) {
    HourglassCursor hourglass;
    const auto entries = com_port_list::buildList(queryPort, PortOpen, ComPortNumber);
    // Filling the box is no change by the operator.
    const QSignalBlocker quiet(Combo);
    Combo->clear();
    for (const auto& entry : entries)
        Combo->addItem(QString::fromLatin1(entry));
}

int TFormSerial::iRefreshComPorts(QComboBox* Combo) {
    ListComPorts(Combo);
    std::vector<std::string> entries;
    for (int i = 0; i < Combo->count(); ++i)
        entries.push_back(Combo->itemText(i).toLatin1().toStdString());
    if (entries.empty()) {
        // Reported under the serial form's unit with its fixed line, like its other reports.
        DlgInternalError("No Comports available - abort", source_file::serialSession,
                         source_line::noComports);
        return 1;
    }
    const int index =
        com_port_list::chooseEntry(entries, com_port_list::wantedEntry(ComPortNumber, PortOpen));
    {
        const QSignalBlocker quiet(Combo);
        Combo->setCurrentIndex(index);
    }
    std::string deviceText;
    UseSelectedComPort(Combo, deviceText);
    return 0;
}

void TFormSerial::UseSelectedComPort(QComboBox* Combo, std::string& DeviceText) {
    DeviceText.clear();
    const auto entry = selectedEntry(Combo);
    if (!entry)
        return;
    const auto number = com_port_list::portNumberFromEntry(*entry);
    if (!number)
        return;
    Session.UseComPort(*number);

    char target[TargetBufferSize] = {};
    const std::string name = "COM" + std::to_string(ComPortNumber);
    if (win::QueryDosDeviceA(name.c_str(), target, TargetBufferSize) == 0)
        return;
    target[TargetBufferSize - 1] = 0;
    DeviceText = target; // the first run of the answer
}

platform::HotplugWatcher* startComPortWatch() {
    if (!FormSerial)
        return nullptr;
    return session::startPortWatch(FormSerial,
                                   [] { return FormSerial ? &FormSerial->Session : nullptr; });
}
