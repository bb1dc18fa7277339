// SPDX-License-Identifier: GPL-3.0-or-later
#include "start/program_start.h"

#include "dialogs/Dialogs.h"
#include "main/fMain.h"
#include "main/status_report.h"
#include "platform/exception_guard.h"
#include "serial/fSerial.h"
#include "serial/fTerminal.h"
#include "setup/fSetup.h"
#include "site_window/site_panel.h"
#include "site_window/visit_service.h"
#include "widgets/message_boxes.h"
#include "window_fit/window_fit.h"

#include <QApplication>
#include <QDialog>
#include <QPointer>

#include <memory>
#include <stdexcept>

namespace {

// The site panel and the visit service it calls, made with the windows and freed with them;
// the main window reaches the panel through what AttachWindow handed it.
std::unique_ptr<site_window::VisitService> siteService;
QPointer<site_window::SitePanel> sitePanel;

// The windowed program's end (see EndProgram).
void endWindows() {
    dialogs::setProgramEnding(true);
    if (FormSerial)
        FormSerial->StopExchanges();
    // Whatever waits in a modal box below us (a start-up message, a question, the folder
    // selection) gets its box closed and carries on without showing another.
    for (QWidget* w : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QDialog*>(w);
        if (box && box->isVisible() && box->isModal())
            box->done(QDialog::Rejected);
    }
    if (FormXRQMain)
        FormXRQMain->close();
    QCoreApplication::quit();
}

} // namespace

bool GuardedApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        platform::reportCurrentException();
        return false;
    }
}

void CreateProgramWindows(const ProgramLocations& where) {
    if (FormXRQMain || FormSerial || FormSetup || FormTerminal)
        throw std::logic_error("The program's windows exist already.");
    ResetProgramEnd();
    setProgramEndHandler(endWindows);
    dialogs::setProgramEnding(false);
    // Every window from here on opens inside its screen, and the boxes are shown on it.
    window_fit::install();
    installMessageBoxes();
    FormXRQMain = new TFormXRQMain(where);
    // Boxes with no other window to stand over stand over the main window.
    dialogs::setMainWindow(FormXRQMain);
    FormSerial = new TFormSerial();
    FormSetup = new TFormSetup();
    FormTerminal = new TFormTerminal();
    // What each window calls of the main window, handed to it here rather than through
    // members every instance shares.
    FormXRQMain->AttachWindow(*FormSerial);
    FormXRQMain->AttachWindow(*FormSetup);
    FormXRQMain->AttachWindow(*FormTerminal);
    siteService = site_window::programVisitService([] { return TempFilesPath; });
    sitePanel = new site_window::SitePanel(*siteService);
    FormXRQMain->AttachWindow(*sitePanel);
}

int RunProgram(QApplication& app) {
    // Only the main window ends the program: a setup or terminal window left open does not
    // keep it running, and closing one of them alone does not end it.
    app.setQuitOnLastWindowClosed(false);
    QObject::connect(FormXRQMain, &TFormXRQMain::closed, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    FormXRQMain->show();
    // Sharing runs with the windowed program only (the collector, which shows the same
    // windows unseen, decides for itself); the main window's close ends it.
    if (!ProgramEndRequested() && FormXRQMain)
        StartSharing(TempFilesPath, FormXRQMain->StatusPanel1);
    // A quit asked for before the loop runs would be lost: the loop would start afresh.
    if (!ProgramEndRequested())
        app.exec();
    DestroyProgramWindows();
    return 0;
}

void DestroyProgramWindows() {
    delete sitePanel;
    siteService.reset();
    delete FormTerminal;
    FormTerminal = nullptr;
    delete FormSetup;
    FormSetup = nullptr;
    delete FormSerial;
    FormSerial = nullptr;
    delete FormXRQMain;
    FormXRQMain = nullptr;
}

void EndProgram() {
    if (ProgramEndRequested())
        return;
    setProgramEndHandler(endWindows);
    RequestProgramEnd();
}
