// Takes the pictures of the operator's guide: the program runs in-process against a simulated
// unit on a pty, with every folder in a temporary place, goes through connect, battery reading
// and a download, and saves each window as a PNG.
//
//   xvfb-run -a build/bin/xrq-screenshots docs/
//
// Message boxes are answered by the dialogs' test script, so nothing waits for a person.
#include "dialogs/scripted_dialogs.h"
#include "main/data_collection.h"
#include "main/fMain.h"
#include "main/program_start.h"
#include "serial/fTerminal.h"
#include "setup/fSetup.h"
#include "tools/sim/pty_unit.h"
#include "viewer/viewer_window.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <functional>
#include <string>

namespace {

// Lets the windows paint and the line deliver for a while.
void settle(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

bool save(QWidget* window, const QString& folder, const char* name) {
    window->raise();
    settle(300);
    const QString path = folder + "/" + name;
    if (!window->grab().save(path)) {
        std::fprintf(stderr, "xrq-screenshots: cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

void typeText(QWidget* target, const QString& text) {
    for (const QChar c : text) {
        QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
        QApplication::sendEvent(target, &press);
        QKeyEvent release(QEvent::KeyRelease, 0, Qt::NoModifier, QString(c));
        QApplication::sendEvent(target, &release);
    }
}

} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("XRQ"));
    if (argc != 2) {
        std::fprintf(stderr, "usage: xrq-screenshots OUTPUT-FOLDER\n");
        return 2;
    }
    const QString out = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
    QDir().mkpath(out);

    QTemporaryDir tmp;
    const std::string root = tmp.path().toStdString();
    ProgramLocations where;
    where.programDir = root + "/program/";
    where.appData = root + "/share";
    where.desktop = root + "/Desktop";
    where.documents = root + "/Documents";
    where.deviceDir = root + "/dev"; // no machine devices in the pictures
    where.sysfsDir = root + "/sys";
    for (const auto& dir : {where.programDir, where.deviceDir, where.sysfsDir})
        QDir().mkpath(QString::fromStdString(dir));

    sim::SimOptions unitOptions;
    unitOptions.linkPath = where.appData + "/Quorvant/XRQ/ports/COM3";
    unitOptions.baud = 0;
    unitOptions.dataSets = sim::sampleDataSets();
    auto unit = sim::PtyUnit::start(unitOptions);

    // Downloads write the intermediate file into the working folder.
    QDir::setCurrent(tmp.path());

    dialogs::ScriptedDialogs answers; // every question takes its default answer
    CreateProgramWindows(where);
    FormXRQMain->show();
    settle(300);

    FormXRQMain->ActionConnect->trigger();
    FormXRQMain->ActionCheckBat->trigger();
    FormXRQMain->ActionCollect->trigger();
    settle(300);

    bool ok = save(FormXRQMain, out, "main-window.png");

    // The data viewer (a program of its own, xrq-view) on the files that download wrote, as
    // the status bar's View starts it; its window is taken in-process here.
    {
        QStringList files;
        for (const std::string& f : collection::lastCollectedFiles())
            files.append(QString::fromStdString(f));
        viewer::ViewerWindow viewerWindow;
        viewerWindow.fitInto(QRect(0, 0, 1024, 600));
        viewerWindow.show();
        viewerWindow.openFiles(files);
        if (viewerWindow.loadsRunning() > 0) {
            QEventLoop loop;
            QObject::connect(&viewerWindow, &viewer::ViewerWindow::allLoaded, &loop,
                             &QEventLoop::quit);
            QTimer::singleShot(30000, &loop, &QEventLoop::quit);
            loop.exec();
        }
        ok = !files.isEmpty() && save(&viewerWindow, out, "data-viewer.png") && ok;
    }

    FormXRQMain->ActionSetup->trigger();
    ok = save(FormSetup, out, "setup-dialog.png") && ok;

    // The serial devices window is what the setup dialog's Device Manager button opens.
    FormSetup->RunDevMgrButton->click();
    settle(300);
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->isVisible() && w->windowTitle() == QStringLiteral("Serial devices")) {
            ok = save(w, out, "serial-devices.png") && ok;
            w->hide();
        }
    }

    FormSetup->hide();

    FormXRQMain->ActionTeminal->trigger();
    typeText(FormTerminal->MemoTerminal, QStringLiteral("R"));
    settle(500);
    typeText(FormTerminal->MemoTerminal, QStringLiteral("A"));
    settle(500);
    ok = save(FormTerminal, out, "terminal-window.png") && ok;

    FormXRQMain->close();
    DestroyProgramWindows();
    unit->stop();
    return ok ? 0 : 1;
}
