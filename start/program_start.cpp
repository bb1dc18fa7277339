// SPDX-License-Identifier: GPL-3.0-or-later
#include "start/program_start.h"

#include "app/sharing_start.h"
#include "dialogs/Dialogs.h"
#include "main/fMain.h"
#include "platform/exception_guard.h"
#include "serial/fSerial.h"
#include "serial/fTerminal.h"
#include "setup/fSetup.h"
#include "window_fit/window_fit.h"

#include <QApplication>
#include <QDialog>
#include <QPointer>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace {

bool g_endRequested = false;
int g_signalPipe[2] = {-1, -1};
QPointer<QSocketNotifier> g_signalNotifier;

void onTerminationSignal(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const auto n = ::write(g_signalPipe[1], &byte, 1);
    errno = saved;
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
    g_endRequested = false;
    dialogs::setProgramEnding(false);
    // Every window from here on opens inside its screen.
    window_fit::install();
    FormXRQMain = new TFormXRQMain(where);
    // Boxes with no other window to stand over stand over the main window.
    dialogs::setMainWindow(FormXRQMain);
    FormSerial = new TFormSerial();
    FormSetup = new TFormSetup();
    FormTerminal = new TFormTerminal();
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
    if (!g_endRequested && FormXRQMain)
        StartSharing(TempFilesPath, FormXRQMain->StatusPanel1);
    // A quit asked for before the loop runs would be lost: the loop would start afresh.
    if (!g_endRequested)
        app.exec();
    DestroyProgramWindows();
    return 0;
}

void DestroyProgramWindows() {
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
    if (g_endRequested)
        return;
    g_endRequested = true;
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

bool ProgramEndRequested() {
    return g_endRequested;
}

void InstallTerminationSignals(QObject* owner) {
    if (g_signalPipe[0] < 0 && ::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    delete g_signalNotifier.data();
    g_signalNotifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, owner);
    QObject::connect(g_signalNotifier.data(), &QSocketNotifier::activated, owner,
                     platform::guarded([] {
                         char drain[16];
                         while (::read(g_signalPipe[0], drain, sizeof drain) > 0) {
                         }
                         EndProgram();
                     }));
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}

void RemoveTerminationSignals() {
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGINT, SIG_DFL);
    delete g_signalNotifier.data();
}
