// SPDX-License-Identifier: GPL-3.0-or-later
#include "main/command_links.h"

#include "dialogs/Dialogs.h"
#include "main/fMain.h"
#include "serial/fSerial.h"
#include "widgets/message_boxes.h"

#include <QCursor>
#include <QGuiApplication>
#include <QLabel>
#include <QTime>

#include <stdexcept>

MainWindowView::MainWindowView(TFormXRQMain& window, TFormSerial& session)
    : ServiceView(window.Service, session.Session), m_window(window) {}

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

void MainWindowView::setBatteryCaptions(const std::string& volts, const std::string& temp) {
    ServiceView::setBatteryCaptions(volts, temp);
    m_window.LabelBatV->setText(QString::fromLatin1(volts.data(), qsizetype(volts.size())));
    m_window.LabelTemp->setText(QString::fromLatin1(temp.data(), qsizetype(temp.size())));
    m_window.LabelBatRead->setText(QStringLiteral("read ") +
                                   QTime::currentTime().toString(QStringLiteral("HH:mm")));
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

std::optional<std::string> identifyUnitOnCable(TFormXRQMain& window) {
    if (!FormSerial)
        throw std::logic_error("The serial session does not exist");
    MainWindowView view(window, *FormSerial);
    return window.Service.identifyUnitOnCable(FormSerial->Session, view);
}

void runInstrumentCommand(TFormXRQMain& window, void (InstrumentCommands::*operation)()) {
    if (!FormSerial)
        throw std::logic_error("The serial session does not exist");
    MainWindowView view(window, *FormSerial);
    window.Service.runCommand(FormSerial->Session, view, operation);
}
