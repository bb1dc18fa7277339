// SPDX-License-Identifier: GPL-3.0-or-later
// The program's windows under a window manager, as an operator sees them: on an X server of
// the test's own (Xvfb) with openbox framing every window, at a field tablet's 1024x600 and a
// desktop's 1920x1080. Every window's whole frame, title bar included, stands inside the
// screen, as the X server has it (xwininfo on the window manager's frame); every message box
// stands over the window its operation belongs to.
//
// The program runs in a child of this test program on the xcb platform against that server;
// the child's cases are skipped in an ordinary run. No serial device is opened: the port
// table points at the sandbox's empty folders.
#include "dialogs/Dialogs.h"
#include "dialogs/scripted_dialogs.h"
#include "main/command_links.h"
#include "main/fMain.h"
#include "screen/framed_display.h"
#include "serial/fSerial.h"
#include "serial/fTerminal.h"
#include "setup/fSerialDevices.h"
#include "setup/fSetup.h"
#include "start/program_start.h"
#include "support/program_sandbox.h"
#include "support/wait.h"
#include "units_window/units_window.h"
#include "viewer/viewer_window.h"
#include "widgets/message_boxes.h"

#include <QAction>
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QWindow>
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <sstream>

namespace {

using testsupport::waitUntil;

constexpr const char* kFramedVariable = "XRQ_TEST_FRAMED_SCREEN";
// Long enough for a loaded machine; reached only by a window that never stands inside.
constexpr int kSettleDeadlineMs = 20000;

std::string text(const QRect& r) {
    std::ostringstream out;
    out << r.x() << "," << r.y() << " " << r.width() << "x" << r.height();
    return out.str();
}

class OnFramedScreen : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::getenv(kFramedVariable))
            GTEST_SKIP() << "runs in a child on an X server with a window manager";
        ASSERT_EQ(QGuiApplication::platformName(), "xcb");
        ASSERT_TRUE(sandbox.ok());
        ASSERT_TRUE(sandbox.enterWork());
        CreateProgramWindows(sandbox.locations());
        // The start's own boxes (no port on this machine...) are recorded, not shown.
        script = std::make_unique<dialogs::ScriptedDialogs>();
        FormXRQMain->show();
    }
    void TearDown() override {
        if (!std::getenv(kFramedVariable))
            return;
        DestroyProgramWindows();
        script.reset();
    }

    static QRect available() { return QGuiApplication::primaryScreen()->availableGeometry(); }
    static std::string display() { return std::getenv("DISPLAY"); }

    // Framed by the window manager, exposed, and inside the screen as the toolkit knows it:
    // what the window stands at once the placement has done its work.
    static bool settled(QWidget* w) {
        const QWindow* handle = w->windowHandle();
        return w->isVisible() && handle && handle->isExposed() &&
               !handle->frameMargins().isNull() &&
               available().contains(w->geometry().marginsAdded(handle->frameMargins()));
    }

    static bool insideTheScreen(const QRect& frame) { return available().contains(frame); }

    // The window's frame as the X server has it, once the window has settled and `placed`
    // holds for it, or the deadline has passed.
    static QRect frameOf(QWidget* w, const char* what,
                         const std::function<bool(const QRect&)>& placed = insideTheScreen) {
        EXPECT_TRUE(waitUntil([&] { return settled(w); }, kSettleDeadlineMs))
            << what << ": not framed inside the screen; the toolkit has its client area at "
            << text(w->geometry());
        // The toolkit takes a placement as done when it asks for it; the server may not have
        // carried it out yet (a box mapped at the corner before the window manager moves it).
        // Each step of it reaches the client as an event, so the server's frame is read again
        // as they come, until it stands where it should or the deadline passes.
        std::string why;
        QRect frame;
        waitUntil(
            [&] {
                frame = testsupport::frameOnServer(display(), w->winId(), &why);
                return frame.isEmpty() || placed(frame);
            },
            kSettleDeadlineMs);
        EXPECT_FALSE(frame.isEmpty()) << what << ": " << why;
        return frame;
    }

    static void expectFrameInside(QWidget* w, const char* what) {
        const QRect frame = frameOf(w, what);
        EXPECT_TRUE(available().contains(frame))
            << what << ": frame " << text(frame) << " outside the screen's area "
            << text(available());
        // A real frame: a title bar and borders around the client area.
        EXPECT_GT(frame.height(), w->height()) << what << " has no title bar";
    }

    // Shows one box with `show` and, while it is open, checks that it is a child of `owner`
    // and that its centre lies within owner's frame; then closes it with No (or OK).
    void expectBoxOver(QWidget* owner, const char* what, const std::function<void()>& show) {
        bool checked = false;
        QTimer::singleShot(0, [&] {
            QMessageBox* box = nullptr;
            const bool open = waitUntil(
                [&] {
                    box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
                    return box && settled(box);
                },
                kSettleDeadlineMs);
            EXPECT_TRUE(open) << what << ": no box framed inside the screen";
            if (!box)
                return;
            if (open) {
                EXPECT_EQ(box->parentWidget(), owner) << what;
                const QRect ownerFrame = frameOf(owner, what);
                const QRect boxFrame = frameOf(box, what, [&](const QRect& frame) {
                    return insideTheScreen(frame) && ownerFrame.contains(frame.center());
                });
                EXPECT_TRUE(ownerFrame.contains(boxFrame.center()))
                    << what << ": box " << text(boxFrame) << " not over its window "
                    << text(ownerFrame) << "; the toolkit has its client area at "
                    << text(box->geometry());
                EXPECT_TRUE(available().contains(boxFrame)) << what << ": " << text(boxFrame);
                checked = true;
            }
            box->done(QMessageBox::No);
        });
        show();
        EXPECT_TRUE(checked) << what;
    }

    testsupport::ProgramSandbox sandbox;
    std::unique_ptr<dialogs::ScriptedDialogs> script;
};

TEST_F(OnFramedScreen, EveryWindowsWholeFrameStandsInsideTheScreen) {
    // The terminal straight after the start, before the main window has settled: the case
    // that put its title bar above the screen.
    FormXRQMain->ActionTeminal->trigger();
    expectFrameInside(FormXRQMain, "main window");
    expectFrameInside(FormTerminal, "terminal");

    FormXRQMain->ActionSetup->trigger();
    expectFrameInside(FormSetup, "Setup");
    FormSetup->RunDevMgrButton->click();
    ASSERT_NE(SerialDevicesWindow(), nullptr);
    expectFrameInside(SerialDevicesWindow(), "Serial devices");

    FormXRQMain->ActionUnits->trigger();
    ASSERT_NE(FormXRQMain->FormUnits, nullptr);
    expectFrameInside(FormXRQMain->FormUnits, "Units");

    // The data viewer places its window as xrq-view does.
    viewer::ViewerWindow viewerWindow;
    viewerWindow.fitInto(viewer::availableScreenArea());
    viewerWindow.show();
    expectFrameInside(&viewerWindow, "data viewer");
    viewerWindow.close();

    // Put half off the screen while hidden (a place from a larger screen): shown again, it
    // comes back whole.
    FormTerminal->hide();
    FormTerminal->move(available().right() - 100, available().bottom() - 50);
    FormTerminal->show();
    expectFrameInside(FormTerminal, "terminal shown again");
}

TEST_F(OnFramedScreen, EveryBoxStandsOverTheWindowItsOperationBelongsTo) {
    FormXRQMain->ActionTeminal->trigger();
    expectFrameInside(FormTerminal, "terminal");
    FormXRQMain->ActionSetup->trigger();
    expectFrameInside(FormSetup, "Setup");
    script.reset(); // real boxes from here on

    // A box of the window in front: the one the operator works in. Shown a few times: the
    // window system reports passing places while it frames a box, and a box fitted on one
    // of them stayed at the screen's corner now and then.
    for (int showing = 0; showing < 5; ++showing) {
        FormTerminal->activateWindow();
        ASSERT_TRUE(waitUntil([] { return QApplication::activeWindow() == FormTerminal; }));
        expectBoxOver(FormTerminal, "box of the terminal",
                      [] { DlgInfo("Terminal: the unit did not answer."); });
    }

    // A window the caller names wins over the one in front.
    expectBoxOver(FormSetup, "box of Setup", [] {
        const dialogs::BoxOwner owner(FormSetup);
        DlgWarning("COM9 is not in the list of ports.");
    });

    // The command set's questions stand over the main window, whatever is in front.
    expectBoxOver(FormXRQMain, "question of the command set", [] {
        MainWindowView view(*FormXRQMain, *FormSerial);
        EXPECT_FALSE(view.confirm("Clear the unit's memory?", false));
    });
}

// Runs the cases above in a child on a fresh X server of `width` x `height` with openbox.
void runFramed(int width, int height) {
    testsupport::FramedDisplay display(width, height);
    ASSERT_TRUE(display.ready()) << display.problem();
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    const char* oldPlatform = std::getenv("QT_QPA_PLATFORM");
    const std::string keepPlatform = oldPlatform ? oldPlatform : "";
    const char* oldDisplay = std::getenv("DISPLAY");
    const std::string keepDisplay = oldDisplay ? oldDisplay : "";
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    setenv("DISPLAY", display.name().c_str(), 1);
    setenv(kFramedVariable, size.c_str(), 1);
    testsupport::ChildProcess child("/proc/self/exe", {"--gtest_filter=OnFramedScreen.*"});
    unsetenv(kFramedVariable);
    setenv("QT_QPA_PLATFORM", keepPlatform.c_str(), 1);
    if (oldDisplay)
        setenv("DISPLAY", keepDisplay.c_str(), 1);
    else
        unsetenv("DISPLAY");
    ASSERT_TRUE(child.started());
    ASSERT_TRUE(child.waitForExit(std::chrono::minutes(4))) << size;
    EXPECT_TRUE(child.exitedNormally() && child.exitCode() == 0) << size << ":\n"
                                                                 << child.errorOutput();
}

TEST(FramedScreens, FieldTablet1024x600) {
    runFramed(1024, 600);
}

TEST(FramedScreens, Desktop1920x1080) {
    runFramed(1920, 1080);
}

} // namespace
