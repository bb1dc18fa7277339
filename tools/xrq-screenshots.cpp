// Takes the pictures of the operator's guide: the program runs in-process against a simulated
// unit on a pty, with every folder in a temporary place, goes through connect, battery reading
// and a download, and saves each window as a PNG.
//
//   xvfb-run -a build/bin/xrq-screenshots docs/
//
// Message boxes are answered by the dialogs' test script, so nothing waits for a person.
#include "dialogs/scripted_dialogs.h"
#include "main/fMain.h"
#include "main/program_start.h"
#include "main/unit_register.h"
#include "main/units_window.h"
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

#include <cmath>
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

    // A register with a year of earlier visits, so that the Units window has a history and
    // a battery curve to show.
    {
        const std::string folder = where.appData + "/Quorvant/XRQ/";
        QDir().mkpath(QString::fromStdString(folder));
        unitreg::UnitRegister reg;
        reg.open(folder + unitreg::kFileName);
        const std::int64_t day = 24LL * 3600 * 1000;
        const std::int64_t now = unitreg::nowMs();
        const char* serials[] = {"XRQ10472", "XRQ10388", "XRQ10511", "XRQ09977"};
        for (int u = 0; u < 4; ++u) {
            const std::string serial = serials[u];
            for (int v = 0; v < 14; ++v) {
                const std::int64_t t = now - (400 - v * 28 - u * 3) * day;
                reg.recordVisit({serial, t, 3, "/dev/ttyUSB0"});
                const double volts = 13.1 - 0.045 * v - 0.02 * u - (v > 10 ? 0.12 * (v - 10) : 0);
                const double celsius = 12 + 9 * std::sin(v * 0.45 + u);
                reg.recordBattery({serial, t + 60000, volts, celsius, "Bat: ... Temp: ...>"});
                unitreg::Download d;
                d.serial = serial;
                d.started = t + 120000;
                d.ended = t + 480000;
                d.bytes = 180000 + 9000 * std::uint64_t(v);
                d.sets = 3;
                d.complete = d.verified = !(u == 1 && v == 6);
                if (!d.complete)
                    d.why = "Timeout during data download";
                reg.recordDownload(d);
                reg.recordClear({serial, t + 500000, true});
            }
        }
    }

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

    // The data viewer on the files that download wrote, opened by the status bar's View.
    FormXRQMain->ButtonView->click();
    if (auto* viewerWindow = FormXRQMain->findChild<viewer::ViewerWindow*>()) {
        viewerWindow->resize(1240, 700);
        if (viewerWindow->loadsRunning() > 0) {
            QEventLoop loop;
            QObject::connect(viewerWindow, &viewer::ViewerWindow::allLoaded, &loop,
                             &QEventLoop::quit);
            QTimer::singleShot(30000, &loop, &QEventLoop::quit);
            loop.exec();
        }
        ok = save(viewerWindow, out, "data-viewer.png") && ok;
        viewerWindow->close();
    } else {
        std::fprintf(stderr, "xrq-screenshots: View opened no data viewer\n");
        ok = false;
    }

    // The Units window on that unit, with its history and battery plot.
    FormXRQMain->ActionUnits->trigger();
    if (UnitsWindow* units = FormXRQMain->FormUnits) {
        QEventLoop loop;
        QObject::connect(units, &UnitsWindow::historyLoaded, &loop, &QEventLoop::quit);
        QTimer::singleShot(10000, &loop, &QEventLoop::quit);
        if (units->history().empty())
            loop.exec();
        ok = save(units, out, "units-window.png") && ok;
        units->close();
    } else {
        std::fprintf(stderr, "xrq-screenshots: Units... opened no window\n");
        ok = false;
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
