// SPDX-License-Identifier: GPL-3.0-or-later
// Takes the pictures of the operator's guide: the program runs in-process against a simulated
// unit on a pty, with every folder in a temporary place, goes through connect, battery reading
// and a download, and saves each window as a PNG.
//
//   scripts/screenshots.sh    (every picture, on an X server with a window manager)
//   build/bin/xrq-screenshots --screen 1024x600 docs/
//
// With --screen WxH the pictures are those of a screen of that size: the names end in
// "-WxH", one more picture ("screen-WxH.png") shows the whole screen with the main window,
// Setup, Serial devices and the terminal open at once, and one ("download-WxH.png") the main
// window in the middle of a long download. Without a display (or on the offscreen platform)
// the tool makes itself such a screen; on a display, the display must be of that size. On a
// display each window's picture is what the screen shows of it, frame and title bar included.
// With --serial S and/or --long-lines only the main window after the download is taken, of a
// unit with that serial number whose data holds lines over 8,000 bytes (what the identity and
// the text view show then).
//
// The site panel ("site-panel.png") shows the unit found at a site where another unit is
// recorded, with the swap offered: the laptop's kept site facts are filled before the start as
// if learnt from the server two hours before.
//
// Message boxes are answered by the dialogs' test script, so nothing waits for a person.
#include "dialogs/scripted_dialogs.h"
#include "download/data_collection.h"
#include "fleet/site_store.h"
#include "main/fMain.h"
#include "register/unit_register.h"
#include "serial/fTerminal.h"
#include "setup/fSetup.h"
#include "site_window/site_panel.h"
#include "start/program_start.h"
#include "tools/sim/pty_unit.h"
#include "units_window/units_window.h"
#include "viewer/viewer_window.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTimer>
#include <QWindow>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

namespace {

// Lets the windows paint and the line deliver for a while.
void settle(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Runs the event loop until `done` holds (checked whenever an event arrives) or `ms` have
// passed.
template <class Pred> void settleUntil(Pred done, int ms) {
    QElapsedTimer since;
    since.start();
    QTimer wake;
    wake.start(ms);
    while (!done() && since.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

// "-1024x600" with --screen, nothing without.
QString g_suffix;

bool savePixmap(const QPixmap& picture, const QString& folder, const char* name) {
    QString file = QString::fromLatin1(name);
    if (!g_suffix.isEmpty())
        file.insert(file.lastIndexOf('.'), g_suffix);
    const QString path = folder + "/" + file;
    if (!picture.save(path)) {
        std::fprintf(stderr, "xrq-screenshots: cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

// The window's frame as the window manager reports it (a widget's own frameGeometry() is
// learnt only when the window next moves).
QRect frameOf(const QWidget* window) {
    const QWindow* handle = window->windowHandle();
    return handle ? window->geometry().marginsAdded(handle->frameMargins())
                  : window->frameGeometry();
}

// Where the window stands, frame included, and whether that is inside the screen's free area.
void tellPlace(QWidget* window, const char* name) {
    const QRect frame = frameOf(window);
    const QRect area = window->screen()->availableGeometry();
    std::printf("  %s: frame %d,%d %dx%d %s the screen's area %dx%d\n", name, frame.x(), frame.y(),
                frame.width(), frame.height(), area.contains(frame) ? "inside" : "NOT inside",
                area.width(), area.height());
}

// The window as the operator sees it: on a display, what the screen shows of its frame (the
// window manager's title bar and borders included); without one, its own painting.
QPixmap pictureOf(QWidget* window) {
    if (QGuiApplication::platformName() != QLatin1String("offscreen")) {
        const QRect frame = frameOf(window);
        QPixmap shot =
            window->screen()->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
        if (!shot.isNull())
            return shot;
    }
    return window->grab();
}

bool save(QWidget* window, const QString& folder, const char* name) {
    window->raise();
    window->activateWindow();
    // On a display, until the window manager has framed the window and told its frame.
    if (QGuiApplication::platformName() != QLatin1String("offscreen"))
        settleUntil(
            [window] {
                return window->windowHandle() && window->windowHandle()->isExposed() &&
                       !window->windowHandle()->frameMargins().isNull();
            },
            5000);
    settle(300);
    if (!g_suffix.isEmpty())
        tellPlace(window, name);
    return savePixmap(pictureOf(window), folder, name);
}

// The whole screen: what the display shows (window manager frames included) when there is
// one, otherwise the open windows painted where they stand, in stacking order of showing.
QPixmap screenPicture(const QList<QWidget*>& windows) {
    QScreen* screen = QGuiApplication::primaryScreen();
    if (QGuiApplication::platformName() != QLatin1String("offscreen")) {
        QPixmap shot = screen->grabWindow(0);
        if (!shot.isNull())
            return shot;
    }
    QPixmap canvas(screen->geometry().size());
    canvas.fill(QColor(0x30, 0x40, 0x50));
    QPainter painter(&canvas);
    for (QWidget* w : windows) {
        if (!w->isVisible())
            continue;
        const QRect frame = frameOf(w);
        painter.fillRect(frame, QColor(0x80, 0x80, 0x80));
        painter.setPen(Qt::white);
        painter.drawText(frame.adjusted(4, 0, 0, 0).topLeft() + QPoint(0, 14), w->windowTitle());
        painter.drawPixmap(w->geometry().topLeft(), w->grab());
    }
    return canvas;
}

// Three sites, the unit of the pictures at none of them and another at the river gauge, kept in
// the files folder as the laptop keeps what it learnt from its server.
bool keepSampleSites(const std::string& filesFolder) {
    const std::int64_t now = QDateTime::currentMSecsSinceEpoch();
    const std::int64_t day = 24LL * 3600 * 1000;
    std::vector<fleet::SiteFactRecord> facts;
    auto add = [&](fleet::SiteFactKind kind, fleet::SiteFactValue value) {
        fleet::SiteFactRecord r;
        r.kind = kind;
        r.key = fleet::siteFactKey(value);
        r.value = std::move(value);
        r.receivedMs = now - 3 * day;
        r.pushedBy = QStringLiteral("xrq_data_manager");
        r.arrival = static_cast<std::int64_t>(facts.size()) + 1;
        facts.push_back(std::move(r));
    };
    const struct {
        const char* code;
        const char* name;
        double lon, lat;
    } sites[] = {{"LAKE-2", "North shore buoy", 9.1772, 47.6603},
                 {"RIVER-03", "Bridge gauge", 9.1829, 48.7758},
                 {"WELL-7", "Farm well", 9.2101, 48.6912}};
    for (const auto& s : sites) {
        fleet::Site site;
        site.code = QString::fromLatin1(s.code);
        site.name = QString::fromLatin1(s.name);
        site.longitude = s.lon;
        site.latitude = s.lat;
        add(fleet::SiteFactKind::Site, site);
    }
    add(fleet::SiteFactKind::Deployment,
        fleet::Deployment{
            QStringLiteral("XRQ10388"), QStringLiteral("RIVER-03"), now - 97 * day, {}, false});
    add(fleet::SiteFactKind::Deployment,
        fleet::Deployment{
            QStringLiteral("XRQ10511"), QStringLiteral("LAKE-2"), now - 40 * day, {}, false});
    auto store = fleet::SiteStore::open(filesFolder, true);
    if (!store.ok() || !store->keepLearnt(facts, {}, now - 2 * 3600 * 1000).ok()) {
        std::fprintf(stderr, "xrq-screenshots: the sample sites were not kept\n");
        return false;
    }
    return true;
}

site_window::SitePanel* sitePanel() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* panel = qobject_cast<site_window::SitePanel*>(w))
            return panel;
    return nullptr;
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
    int width = 0, height = 0;
    const char* outArg = nullptr;
    // --serial S, --long-lines: the main window after a download from a unit of that serial
    // number, whose data holds lines over 8,000 bytes; that picture alone.
    std::string serialArg;
    bool longLines = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--screen") == 0 && i + 1 < argc &&
            std::sscanf(argv[i + 1], "%dx%d", &width, &height) == 2 && width > 0 && height > 0)
            ++i;
        else if (std::strcmp(argv[i], "--serial") == 0 && i + 1 < argc)
            serialArg = argv[++i];
        else if (std::strcmp(argv[i], "--long-lines") == 0)
            longLines = true;
        else if (!outArg && argv[i][0] != '-')
            outArg = argv[i];
        else {
            outArg = nullptr;
            break;
        }
    }
    if (!outArg) {
        std::fprintf(stderr, "usage: xrq-screenshots [--screen WIDTHxHEIGHT] [--serial SERIAL] "
                             "[--long-lines] OUTPUT-FOLDER\n");
        return 2;
    }
    // Without a display, a screen of the size asked for on the offscreen platform.
    QTemporaryDir screenDir;
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (width > 0 && ((!platform && !std::getenv("DISPLAY")) ||
                      (platform && std::strcmp(platform, "offscreen") == 0))) {
        const QString config = screenDir.path() + "/screen.json";
        QFile file(config);
        if (file.open(QIODevice::WriteOnly))
            file.write(QStringLiteral(R"({"windowFrameMargins": true, "screens": [{"name": "screen",
                "x": 0, "y": 0, "width": %1, "height": %2, "logicalDpi": 96,
                "logicalBaseDpi": 96, "dpr": 1}]})")
                           .arg(width)
                           .arg(height)
                           .toUtf8());
        file.close();
        setenv("QT_QPA_PLATFORM", ("offscreen:configfile=" + config.toStdString()).c_str(), 1);
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("XRQ"));
    if (width > 0) {
        const QSize size = QGuiApplication::primaryScreen()->geometry().size();
        if (size != QSize(width, height)) {
            std::fprintf(stderr, "xrq-screenshots: the screen is %dx%d, not %dx%d\n", size.width(),
                         size.height(), width, height);
            return 1;
        }
        g_suffix = QStringLiteral("-%1x%2").arg(width).arg(height);
    }
    const QString out = QDir(QString::fromLocal8Bit(outArg)).absolutePath();
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
    // Paced like the real line: the long download below takes a few seconds.
    unitOptions.baud = 19200;
    unitOptions.dataSets = sim::sampleDataSets();
    if (!serialArg.empty())
        unitOptions.serialNumber = serialArg;
    if (longLines) {
        // First, so that the ordinary lines after them are what the view ends on.
        const auto sets = sim::longLineDataSets();
        unitOptions.dataSets.insert(unitOptions.dataSets.begin(), sets.begin(), sets.end());
    }
    auto unit = sim::PtyUnit::start(unitOptions);

    // Downloads write the intermediate file into the working folder.
    QDir::setCurrent(tmp.path());

    dialogs::ScriptedDialogs answers; // every question takes its default answer
    bool ok = keepSampleSites(where.appData + "/Quorvant/XRQ/");
    CreateProgramWindows(where);
    FormXRQMain->show();
    settle(300);

    FormXRQMain->ActionConnect->trigger();
    FormXRQMain->ActionCheckBat->trigger();
    FormXRQMain->ActionCollect->trigger();
    settle(300);
    // The site panel Connect showed waits for a picture of its own.
    if (site_window::SitePanel* panel = sitePanel())
        panel->hide();

    ok = save(FormXRQMain, out, "main-window.png") && ok;
    if (!serialArg.empty() || longLines) {
        DestroyProgramWindows();
        unit->stop();
        return ok ? 0 : 1;
    }

    // The data viewer (a program of its own, xrq-view) on the files that download wrote, as
    // the status bar's View starts it; its window is taken in-process here.
    {
        QStringList files;
        for (const std::string& f : FormXRQMain->LastDownload.files)
            files.append(QString::fromStdString(f));
        viewer::ViewerWindow viewerWindow;
        if (g_suffix.isEmpty())
            viewerWindow.resize(1240, 700);
        else
            viewerWindow.fitInto(QGuiApplication::primaryScreen()->availableGeometry());
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

    // The site panel from its menu, the unit found at the river gauge: the swap offered.
    FormXRQMain->ActionSite->trigger();
    if (site_window::SitePanel* panel = sitePanel()) {
        panel->ComboSite->setCurrentIndex(panel->ComboSite->findData(QStringLiteral("RIVER-03")));
        ok = save(panel, out, "site-panel.png") && ok;
        panel->hide();
    } else {
        std::fprintf(stderr, "xrq-screenshots: Site opened no panel\n");
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

    if (g_suffix.isEmpty())
        FormSetup->hide();

    FormXRQMain->ActionTeminal->trigger();
    typeText(FormTerminal->MemoTerminal, QStringLiteral("R"));
    settle(500);
    typeText(FormTerminal->MemoTerminal, QStringLiteral("A"));
    settle(500);
    ok = save(FormTerminal, out, "terminal-window.png") && ok;

    if (!g_suffix.isEmpty()) {
        // Everything open at once, as an operator may have it.
        FormSetup->show();
        FormSetup->RunDevMgrButton->click();
        settle(500);
        QList<QWidget*> windows{FormXRQMain, FormSetup};
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->isVisible() && w->windowTitle() == QStringLiteral("Serial devices"))
                windows << w;
        windows << FormTerminal;
        // The main window in front: its status panel and status bar in sight.
        for (QWidget* w : {static_cast<QWidget*>(FormTerminal), windows.value(2),
                           static_cast<QWidget*>(FormSetup), static_cast<QWidget*>(FormXRQMain)})
            if (w)
                w->raise();
        settle(500);
        ok = savePixmap(screenPicture(windows), out, "screen.png") && ok;
        for (QWidget* w : windows)
            if (w != FormXRQMain)
                w->hide();

        // A longer download, caught in the middle.
        unit->setMemory(sim::generateDataSets(3, 90));
        QTimer::singleShot(3500, [&] { ok = save(FormXRQMain, out, "download.png") && ok; });
        FormXRQMain->ActionCollect->trigger();
    }

    FormXRQMain->close();
    DestroyProgramWindows();
    unit->stop();
    return ok ? 0 : 1;
}
