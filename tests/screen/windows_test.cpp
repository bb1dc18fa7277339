// SPDX-License-Identifier: GPL-3.0-or-later
// The program's windows on a field tablet's 1024x600 screen and a laptop's 1366x768 one: every
// top-level window's frame inside the screen, the status texts whole or whole in their
// tooltips, and places the operator chose coming back per screen.
//
// A screen's size is fixed when the application starts, so each size runs in a child of this
// test program on the offscreen platform with a screen of that size; the child's cases are
// skipped in an ordinary run.
#include "serial/fTerminal.h"
#include "setup/fSerialDevices.h"
#include "setup/fSetup.h"
#include "support/child_process.h"
#include "support/program_fixture.h"
#include "widgets/status_panel.h"
#include "window_fit/window_fit.h"

#include <QApplication>
#include <QFile>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <gtest/gtest.h>

#include <cstdlib>

namespace {

using testsupport::waitUntil;

constexpr const char* kScreenVariable = "XRQ_TEST_SCREEN";

class OnScreen : public testsupport::ProgramFixture {
protected:
    void SetUp() override {
        if (!std::getenv(kScreenVariable))
            GTEST_SKIP() << "runs in a child with a screen of a given size";
        ProgramFixture::SetUp();
    }
    void TearDown() override {
        if (std::getenv(kScreenVariable))
            ProgramFixture::TearDown();
    }

    static QRect available() { return QGuiApplication::primaryScreen()->availableGeometry(); }

    // Every visible top-level window of ours (menus and tooltips are placed by the toolkit).
    static void expectAllInside(const char* when) {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (!w->isVisible() ||
                !(w->windowType() == Qt::Window || w->windowType() == Qt::Dialog))
                continue;
            EXPECT_TRUE(available().contains(w->frameGeometry()))
                << when << ": " << w->metaObject()->className() << " \""
                << w->windowTitle().toStdString() << "\" at " << w->frameGeometry().x() << ","
                << w->frameGeometry().y() << " " << w->frameGeometry().width() << "x"
                << w->frameGeometry().height() << " on " << available().width() << "x"
                << available().height();
        }
    }

    static void expectWholeOrInTooltip(const FitLabel* line) {
        if (line->fullText().isEmpty())
            return;
        EXPECT_TRUE(!line->isShortened() || line->toolTip() == line->fullText())
            << line->fullText().toStdString();
    }
};

TEST_F(OnScreen, EveryWindowOpensInsideTheScreenWithItsStatusAreaInSight) {
    const QString size = QString::fromLatin1(std::getenv(kScreenVariable));
    ASSERT_EQ(QStringLiteral("%1x%2")
                  .arg(QGuiApplication::primaryScreen()->geometry().width())
                  .arg(QGuiApplication::primaryScreen()->geometry().height()),
              size);
    ASSERT_TRUE(waitUntil([] { return FormXRQMain->isVisible(); }));
    QCoreApplication::processEvents();
    expectAllInside("main window");
    // The status bar (and the panel above it) lie inside the window, hence on the screen.
    const QRect bar(FormXRQMain->StatusBar1->mapTo(FormXRQMain, QPoint(0, 0)),
                    FormXRQMain->StatusBar1->size());
    EXPECT_TRUE(FormXRQMain->rect().contains(bar));

    FormXRQMain->ActionSetup->trigger();
    FormSetup->RunDevMgrButton->click();
    FormXRQMain->ActionTeminal->trigger();
    FormXRQMain->ActionSite->trigger();
    // The longest box the program shows: the permission advice after a refused open.
    QMessageBox box(QMessageBox::Warning, "XRQ",
                    QString("Cannot open COM7: Permission denied. No permission to open "
                            "/dev/ttyUSB0: join the group dialout (sudo adduser $USER "
                            "dialout), then log out and in again. ")
                        .repeated(4),
                    QMessageBox::Ok, FormXRQMain);
    box.setWindowModality(Qt::NonModal);
    box.show();
    QCoreApplication::processEvents();
    ASSERT_TRUE(SerialDevicesWindow() && SerialDevicesWindow()->isVisible());
    expectAllInside("all windows open");
    box.hide();

    // Moved half off the screen by a program of old (or a screen that shrank): the next
    // showing puts it back.
    FormTerminal->hide();
    FormTerminal->move(available().right() - 100, available().bottom() - 50);
    FormTerminal->show();
    QCoreApplication::processEvents();
    expectAllInside("terminal shown again");

    // The longest texts the panel gets, at the main window's width.
    StatusPanel* panel = FormXRQMain->StatusPanel1;
    const std::string folder = TempFilesPath + "a/rather/long/folder/name/for/the/data/files/";
    panel->setState("No serial port found on this computer: plug in the RS-232 adapter, then "
                    "choose its port in Setup.");
    panel->setProgress("Data set 12: LONG SITE NAME WITH WORDS, 123456 records (9876543 in 12 "
                       "sets so far)\n123.45 MB in 4000.0 s (30.9 kB/s); last byte 0.2 s ago");
    panel->setOutcome(QString::fromStdString(
        "Download stopped by the operator. Received 1.25 MB in 40.0 s; kept in " + folder +
        "_$XRQInt.txt"));
    QCoreApplication::processEvents();
    for (const FitLabel* line : {panel->StateLine(), panel->ProgressLines(), panel->OutcomeLine()})
        expectWholeOrInTooltip(line);
    // At the default width these three read whole.
    EXPECT_FALSE(panel->StateLine()->isShortened());
    EXPECT_FALSE(panel->ProgressLines()->isShortened());
    expectAllInside("with the status panel full");

    // A menu hover's status tip does not erase what the program put into the status bar.
    FormXRQMain->StatusBar1->showMessage("Download interrupted: kept in somewhere");
    QStatusTipEvent tip("Exit program");
    QApplication::sendEvent(FormXRQMain->menuBar(), &tip);
    EXPECT_EQ(FormXRQMain->StatusBar1->currentMessage(), "Exit program");
    QStatusTipEvent gone("");
    QApplication::sendEvent(FormXRQMain->menuBar(), &gone);
    EXPECT_EQ(FormXRQMain->StatusBar1->currentMessage(), "Download interrupted: kept in somewhere");
    EXPECT_EQ(panel->outcome().left(33), "Download stopped by the operator.");
}

TEST_F(OnScreen, APlaceTheOperatorChoseComesBackOnTheSameScreenOnly) {
    const QString store = window_fit::geometryStore();
    ASSERT_EQ(store.toStdString(), TempFilesPath + "window-geometry.ini");
    FormXRQMain->ActionTeminal->trigger();
    const QRect chosen(available().left() + 20, available().top() + 60, 400, 300);
    FormTerminal->setGeometry(chosen);
    FormTerminal->close();
    const QString key = window_fit::geometryKey(FormTerminal);
    EXPECT_TRUE(key.startsWith("TFormTerminal/")) << key.toStdString();
    EXPECT_TRUE(QSettings(store, QSettings::IniFormat).contains(key));

    FormTerminal->setGeometry(available().left() + 200, available().top() + 100, 300, 200);
    FormTerminal->hide();
    // The next run: the place comes back from the file (a window not shown before).
    DestroyProgramWindows();
    CreateProgramWindows(sandbox.locations());
    FormXRQMain->show();
    FormXRQMain->ActionTeminal->trigger();
    QCoreApplication::processEvents();
    EXPECT_EQ(FormTerminal->geometry(), chosen);
    // XRQ.ini keeps its two keys and nothing of the windows.
    const std::string ini = testsupport::readFile(TempFilesPath + "XRQ.ini");
    EXPECT_EQ(ini.find("Terminal"), std::string::npos) << ini;

    // Another screen's place is not taken for this one: the chosen place, stored under another
    // screen's key only (edited while no window is open to save its own), does not come back.
    FormTerminal->hide();
    DestroyProgramWindows();
    {
        QSettings settings(store, QSettings::IniFormat);
        const QByteArray place = settings.value(key).toByteArray();
        ASSERT_FALSE(place.isEmpty());
        const QString otherKey = "TFormTerminal/other_640x480";
        ASSERT_NE(otherKey, key);
        settings.remove(key);
        settings.setValue(otherKey, place);
    }
    CreateProgramWindows(sandbox.locations());
    FormXRQMain->show();
    FormXRQMain->ActionTeminal->trigger();
    QCoreApplication::processEvents();
    EXPECT_NE(FormTerminal->geometry(), chosen);
}

// Runs the cases above in a child whose only screen is `width` x `height`.
void runOnScreen(int width, int height) {
    QTemporaryDir tmp;
    const QString config = tmp.path() + "/screen.json";
    QFile file(config);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QStringLiteral(R"({"synchronousWindowSystemEvents": true, "windowFrameMargins": true,
  "screens": [{"name": "tablet", "x": 0, "y": 0, "width": %1, "height": %2,
               "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1}]})")
                   .arg(width)
                   .arg(height)
                   .toUtf8());
    file.close();
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    const std::string platform = "offscreen:configfile=" + config.toStdString();
    const char* oldPlatform = std::getenv("QT_QPA_PLATFORM");
    const std::string keep = oldPlatform ? oldPlatform : "";
    setenv("QT_QPA_PLATFORM", platform.c_str(), 1);
    setenv(kScreenVariable, size.c_str(), 1);
    testsupport::ChildProcess child("/proc/self/exe", {"--gtest_filter=OnScreen.*"});
    unsetenv(kScreenVariable);
    setenv("QT_QPA_PLATFORM", keep.c_str(), 1);
    ASSERT_TRUE(child.started());
    ASSERT_TRUE(child.waitForExit(std::chrono::minutes(3))) << size;
    EXPECT_TRUE(child.exitedNormally() && child.exitCode() == 0) << size << ":\n"
                                                                 << child.errorOutput();
}

TEST(Screens, FieldTablet1024x600) {
    runOnScreen(1024, 600);
}

TEST(Screens, Laptop1366x768) {
    runOnScreen(1366, 768);
}

} // namespace
