// SPDX-License-Identifier: GPL-3.0-or-later
#include "main/command_links.h"
#include "dialogs/source_lines.h"

#include "dialogs/Dialogs.h"
#include "fleet/other_laptops.h"
#include "fleet/sharing.h"
#include "main/fMain.h"
#include "platform/port_table.h"
#include "register/register_recorder.h"
#include "register/register_texts.h"
#include "serial/fSerial.h"

#include <QAction>
#include <QCursor>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QTime>

#include <stdexcept>

bool FormSerialSession::sessionOpen() const {
    return m_form.PortOpen;
}

bool FormSerialSession::exchangeRunning() const {
    return m_form.ExchangeRunning();
}

int FormSerialSession::openPort() {
    return m_form.iOpenPort();
}

int FormSerialSession::waitForChar(const std::string& command, char char1, char char2,
                                   std::uint32_t delay) {
    return m_form.iWaitForChar(command, char1, char2, delay);
}

int FormSerialSession::waitForStringNUntilTermination(const std::string& command, char termination,
                                                      std::uint32_t delay, char* buffer,
                                                      std::int32_t n) {
    return m_form.iWaitForStringNUntilTermination(command, termination, delay, buffer, n);
}

int FormSerialSession::waitForStringNBetweenChars(const std::string& command, char startChar,
                                                  char endChar, std::uint32_t delay, char* buffer,
                                                  std::int32_t n) {
    return m_form.iWaitForStringNBetweenChars(command, startChar, endChar, delay, buffer, n);
}

int FormSerialSession::sendString(const std::string& command) {
    return m_form.iSendString(command);
}

int FormSerialSession::portNumber() const {
    return m_form.ComPortNumber;
}

std::string FormSerialSession::deviceName() const {
    return comPortDevice(m_form.ComPortNumber);
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

// One screen cursor, set or cleared; never a stack of overrides.
void MainWindowView::setHourglass(bool on) {
    if (on) {
        if (QGuiApplication::overrideCursor())
            QGuiApplication::changeOverrideCursor(QCursor(Qt::WaitCursor));
        else
            QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
        return;
    }
    while (QGuiApplication::overrideCursor())
        QGuiApplication::restoreOverrideCursor();
}

void MainWindowView::enableUnitActions() {
    m_window.SetUnitActionsAllowed(true);
}

void MainWindowView::unitChanged() {
    m_window.UnitChanged();
}

void MainWindowView::log(const std::string& line) {
    LogWrite(line, source_line::commandOutcome, LogSizeLimit);
}

void MainWindowView::setBatteryCaptions(const std::string& volts, const std::string& temp) {
    m_window.LabelBatV->setText(QString::fromLatin1(volts.data(), qsizetype(volts.size())));
    m_window.LabelTemp->setText(QString::fromLatin1(temp.data(), qsizetype(temp.size())));
    m_window.LabelBatRead->setText(QStringLiteral("read ") +
                                   QTime::currentTime().toString(QStringLiteral("HH:mm")));
}

void MainWindowView::batteryRead(const BatteryReading& reading) {
    m_window.BatteryReadout = std::make_pair(reading.volts, reading.celsius);
}

void MainWindowView::setSerialNumber(const std::string& serial) {
    m_window.SerialNumber = serial;
}

void MainWindowView::tellExchangeRunning() {
    m_session.tellExchangeRunning();
}

// The command set's boxes stand over the main window, whichever window is in front.
void MainWindowView::error(const std::string& message) {
    const dialogs::BoxOwner owner(&m_window);
    DlgError(message);
}

void MainWindowView::info(const std::string& message) {
    const dialogs::BoxOwner owner(&m_window);
    DlgInfo(message);
}

void MainWindowView::warning(const std::string& message) {
    const dialogs::BoxOwner owner(&m_window);
    DlgWarning(message);
}

bool MainWindowView::confirm(const std::string& message, bool defaultYes) {
    const dialogs::BoxOwner owner(&m_window);
    return DlgConfirm(message, defaultYes);
}

std::string MainWindowView::otherLaptopsNote(const std::string& serial) {
    fleet::Sharing& sharing = fleet::sharing();
    if (!sharing.shared() || !sharing.started())
        return {};
    const QString unit = unitreg::serialText(serial);
    // The window waits for the server at most this long.
    const auto answer = sharing.checkOtherDownload(unit, std::chrono::seconds(2));
    const QString name =
        unit.startsWith(QStringLiteral("XRQ")) ? unit : QStringLiteral("XRQ") + unit;
    const QString note = fleet::otherLaptopsNote(answer, name, sharing.lastContact(),
                                                 QDateTime::currentMSecsSinceEpoch());
    if (!note.isEmpty())
        LogWrite("Clear Memory: " + note.toLocal8Bit().toStdString(),
                 answer && answer->ok ? source_line::fleetOtherDownload
                                      : source_line::fleetOthersNotChecked,
                 LogSizeLimit);
    return note.toLocal8Bit().toStdString();
}

namespace {

// The command set over the window's session and view, for one call.
template <class Call> auto withInstrumentCommands(TFormXRQMain& window, Call&& call) {
    if (!FormSerial)
        throw std::logic_error("The serial session does not exist");
    FormSerialSession session(*FormSerial);
    MainWindowView view(window, *FormSerial);
    InstrumentCommands commands(session, view);
    commands.units = &window.Units;
    commands.recorder = &unitRegisterRecorder();
    return call(commands);
}

} // namespace

std::optional<std::string> identifyUnitOnCable(TFormXRQMain& window) {
    return withInstrumentCommands(
        window, [](InstrumentCommands& commands) { return commands.identifyUnit(); });
}

InstrumentCommands::UnattendedClear clearAfterDownload(TFormXRQMain& window,
                                                       const std::string& downloaded) {
    return withInstrumentCommands(window, [&](InstrumentCommands& commands) {
        return commands.clearAfterDownload(downloaded);
    });
}

void runInstrumentCommand(TFormXRQMain& window, void (InstrumentCommands::*operation)()) {
    withInstrumentCommands(window, [operation](InstrumentCommands& c) { (c.*operation)(); });
}
