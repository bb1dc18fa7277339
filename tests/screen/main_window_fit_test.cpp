// SPDX-License-Identifier: GPL-3.0-or-later
// The main window's content fits it, as an operator sees it: on an X server of the test's own
// with openbox framing the window, at a field tablet's 1024x600 and a laptop's 1366x768, at
// its first size and after Connect, Check Bat, Collect Data and Clear Memory with a simulated
// unit. After each, every text of the content is whole (each label and button as wide as its
// text needs, a wrapped label as tall as its lines), every one stands inside the visible part,
// the content shows no horizontal scroll bar and is not scrolled sideways, and the memo keeps
// both its scroll bars.
//
// The cases run in a child of this test program on the xcb platform against that server; they
// are skipped in an ordinary run. The unit is a pty; no serial device is opened.
#include "screen/framed_display.h"
#include "support/program_fixture.h"

#include <QAbstractButton>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStatusBar>
#include <QWindow>

#include <cstdlib>
#include <filesystem>
#include <sstream>

namespace {

using testsupport::waitUntil;

constexpr const char* kScreenVariable = "XRQ_TEST_MAIN_FIT_SCREEN";

// What does not fit in the main window's content now, one line each; empty when all does.
std::vector<std::string> misfits() {
    std::vector<std::string> out;
    auto say = [&](const QWidget* w, const std::string& what) {
        std::ostringstream line;
        line << w->metaObject()->className() << " " << w->objectName().toStdString() << " \""
             << (qobject_cast<const QLabel*>(w)
                     ? qobject_cast<const QLabel*>(w)->text().toStdString()
                     : qobject_cast<const QAbstractButton*>(w)->text().toStdString())
             << "\" (" << w->width() << "x" << w->height() << "): " << what;
        out.push_back(line.str());
    };
    auto* area = FormXRQMain->centralWidget()->findChild<QScrollArea*>(QString(),
                                                                       Qt::FindDirectChildrenOnly);
    if (!area) {
        out.push_back("no scroll area around the content");
        return out;
    }
    if (area->horizontalScrollBar()->isVisible())
        out.push_back("the content has a horizontal scroll bar: it is " +
                      std::to_string(area->widget()->minimumSizeHint().width()) +
                      " wide at least, its view " + std::to_string(area->viewport()->width()));
    if (area->horizontalScrollBar()->value() != 0)
        out.push_back("the content is scrolled sideways");
    const QRect view = area->viewport()->rect();
    QList<QWidget*> texts;
    for (QLabel* l : area->widget()->findChildren<QLabel*>())
        texts << l;
    for (QAbstractButton* b : area->widget()->findChildren<QAbstractButton*>())
        texts << b;
    for (QWidget* w : texts) {
        if (!w->isVisibleTo(FormXRQMain))
            continue;
        const auto* label = qobject_cast<const QLabel*>(w);
        if (label && label->text().isEmpty())
            continue;
        const QRect at(w->mapTo(area->viewport(), QPoint(0, 0)), w->size());
        if (at.left() < view.left() || at.right() > view.right())
            say(w, "not whole in the view, which is " + std::to_string(view.width()) + " wide");
        if (label && label->wordWrap()) {
            // Each word whole on a line, and as many lines as the text takes at this width.
            const QFontMetrics fm(label->font());
            for (const QString& word : label->text().split(QLatin1Char(' '), Qt::SkipEmptyParts))
                if (fm.horizontalAdvance(word) > label->contentsRect().width())
                    say(w, "the word \"" + word.toStdString() + "\" is wider than the label");
            if (label->heightForWidth(label->width()) > label->height())
                say(w, "its lines need " + std::to_string(label->heightForWidth(label->width())) +
                           " high");
        } else if (w->sizeHint().width() > w->width()) {
            say(w, "its text needs " + std::to_string(w->sizeHint().width()) + " wide");
        }
    }
    if (FormXRQMain->MemoMain->horizontalScrollBarPolicy() == Qt::ScrollBarAlwaysOff ||
        FormXRQMain->MemoMain->verticalScrollBarPolicy() == Qt::ScrollBarAlwaysOff)
        out.push_back("the memo has lost a scroll bar");
    return out;
}

class MainWindowFit : public testsupport::ProgramFixture {
protected:
    void SetUp() override {
        if (!std::getenv(kScreenVariable))
            GTEST_SKIP() << "runs in a child on an X server with a window manager";
        ASSERT_EQ(QGuiApplication::platformName(), "xcb");
        ProgramFixture::SetUp();
    }
    void TearDown() override {
        if (std::getenv(kScreenVariable))
            ProgramFixture::TearDown();
    }

    // Framed, exposed and inside the screen: where the window stands once placed.
    static bool placed() {
        const QWindow* handle = FormXRQMain->windowHandle();
        return FormXRQMain->isVisible() && handle && handle->isExposed() &&
               !handle->frameMargins().isNull() &&
               QGuiApplication::primaryScreen()->availableGeometry().contains(
                   FormXRQMain->geometry().marginsAdded(handle->frameMargins()));
    }

    // Every text fits once the layouts have settled (they settle through posted events).
    static void expectFits(const char* after) {
        ASSERT_TRUE(waitUntil(placed, 20000)) << after << ": the window was not placed";
        waitUntil([] { return misfits().empty(); }, 5000);
        std::string all;
        for (const std::string& m : misfits())
            all += "\n  " + m;
        EXPECT_TRUE(all.empty()) << "after " << after << ":" << all;
    }
};

TEST_F(MainWindowFit, EveryTextIsWholeAfterEachAction) {
    const QSize screen = QGuiApplication::primaryScreen()->size();
    expectFits("the start");
    if (screen.height() >= 768) {
        // Room enough: the window keeps its own size.
        EXPECT_EQ(FormXRQMain->size(), QSize(435, 649));
    }

    sim::SimOptions o;
    o.baud = 0;
    o.dataSets = sim::sampleDataSets();
    startUnit(o);
    FormXRQMain->ActionConnect->trigger();
    EXPECT_TRUE(FormXRQMain->ActionCollect->isEnabled()) << "not connected";
    expectFits("Connect");

    FormXRQMain->ActionCheckBat->trigger();
    EXPECT_TRUE(FormXRQMain->LabelBatRead->text().startsWith("read "));
    expectFits("Check Bat");

    collect(dataDir);
    EXPECT_FALSE(FormXRQMain->LastDownload.files.empty()) << "nothing downloaded";
    expectFits("Collect Data");

    // Downloaded just now: no question whether to clear all the same.
    script->queueAnswer(true);  // continue
    script->queueAnswer(false); // do not abort
    FormXRQMain->ActionClearMem->trigger();
    EXPECT_TRUE(unit->memory().empty()) << "the memory was not cleared";
    expectFits("Clear Memory");
}

// Runs the case above in a child on a fresh X server of `width` x `height` with openbox.
void runOnFramedScreen(int width, int height) {
    testsupport::FramedDisplay display(width, height);
    ASSERT_TRUE(display.ready()) << display.problem();
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    testsupport::ChildProcess child("/usr/bin/env",
                                    {"QT_QPA_PLATFORM=xcb", "DISPLAY=" + display.name(),
                                     std::string(kScreenVariable) + "=" + size,
                                     std::filesystem::read_symlink("/proc/self/exe").string(),
                                     "--gtest_filter=MainWindowFit.*"});
    ASSERT_TRUE(child.started());
    ASSERT_TRUE(child.waitForExit(std::chrono::minutes(4))) << size;
    EXPECT_TRUE(child.exitedNormally() && child.exitCode() == 0) << size << ":\n"
                                                                 << child.errorOutput();
}

TEST(MainWindowFitScreens, FieldTablet1024x600) {
    runOnFramedScreen(1024, 600);
}

TEST(MainWindowFitScreens, Laptop1366x768) {
    runOnFramedScreen(1366, 768);
}

} // namespace
