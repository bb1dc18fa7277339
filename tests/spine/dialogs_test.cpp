// SPDX-License-Identifier: GPL-3.0-or-later
// The five dialog operations: what each box shows and what each writes to the run log.
#include "dialogs/Dialogs.h"
#include "dialogs/scripted_dialogs.h"
#include "platform/exception_guard.h"
#include "spine_fixture.h"
#include "widgets/message_boxes.h"

#include <QAbstractButton>
#include <QApplication>
#include <QKeyEvent>
#include <QMessageBox>
#include <QTimer>

#include <stdexcept>

using dialogs::BoxKind;
using dialogs::ScriptedDialogs;

class DialogsTest : public TempLogTest {
protected:
    // The log lines without their time stamps.
    std::vector<std::string> logged() const {
        std::vector<std::string> out;
        for (const auto& l : crlfLines(log()))
            out.push_back(l.substr(17));
        return out;
    }
};

TEST_F(DialogsTest, MessageBoxesLogThenShow) {
    struct Case {
        void (*show)(const std::string&);
        BoxKind kind;
        const char* caption;
        const char* logLine;
    };
    const Case cases[] = {
        {DlgError, BoxKind::Error, "Error", " (:00255) Port failed"},
        {DlgWarning, BoxKind::Warning, "Info", " (:00263) Port failed"},
        {DlgInfo, BoxKind::Info, "Info", " (:00276) Port failed"},
    };
    for (const auto& c : cases) {
        ScriptedDialogs script;
        std::vector<std::string> atShowTime;
        script.onBox = [&](const dialogs::BoxShown&) { atShowTime = logged(); };
        c.show("Port failed");
        ASSERT_EQ(script.shown.size(), 1u);
        EXPECT_EQ(script.shown[0].kind, c.kind);
        EXPECT_EQ(script.shown[0].caption, c.caption);
        EXPECT_EQ(script.shown[0].text, "Port failed");
        ASSERT_FALSE(atShowTime.empty()) << "logged before the box";
        EXPECT_EQ(atShowTime.back(), c.logLine);
    }
}

TEST_F(DialogsTest, BoxKeepsLineBreaksWhileTheLogFlattensThem) {
    ScriptedDialogs script;
    const std::string question =
        "This action is irreversible. Make sure you have saved all your data!\nContinue?";
    script.queueAnswer(true);
    EXPECT_TRUE(DlgConfirm(question, false));
    DlgInfo("");
    ASSERT_EQ(script.shown.size(), 2u);
    EXPECT_EQ(script.shown[0].text, question);
    EXPECT_FALSE(script.shown[0].defaultYes);
    EXPECT_EQ(script.shown[1].text, "");
    const auto lines = logged();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], " (:00129) This action is irreversible. Make sure you have saved all your "
                        "data! Continue?");
    EXPECT_EQ(lines[1], " (:00176) Answer YES");
    EXPECT_EQ(lines[2], " (:00276)"); // an empty message still logs and shows
}

TEST_F(DialogsTest, ConfirmReturnsAndLogsTheAnswer) {
    ScriptedDialogs script;
    script.queueAnswer(false);
    script.queueAnswer(true);
    EXPECT_FALSE(DlgConfirm("Set XRQ clock to computer?", true));
    EXPECT_TRUE(DlgConfirm("Abort clearing memory?", false));
    // Unscripted: the default button answers.
    EXPECT_TRUE(DlgConfirm("Set XRQ clock to computer?", true));
    EXPECT_FALSE(DlgConfirm("Error creating data directory. Force creation?", false));
    EXPECT_EQ(script.unansweredConfirms, 2);
    for (const auto& box : script.shown) {
        EXPECT_EQ(box.kind, BoxKind::Confirm);
        EXPECT_EQ(box.caption, "Confirm?");
    }
    const std::vector<std::string> expected = {
        " (:00129) Set XRQ clock to computer?",
        " (:00181) Answer NO",
        " (:00129) Abort clearing memory?",
        " (:00176) Answer YES",
        " (:00129) Set XRQ clock to computer?",
        " (:00176) Answer YES",
        " (:00129) Error creating data directory. Force creation?",
        " (:00181) Answer NO",
    };
    EXPECT_EQ(logged(), expected);
}

TEST(DialogsSourceName, TakesThePartAfterTheLastSeparator) {
    const std::pair<std::string, std::string> cases[] = {
        {"fSetup", "fSetup"},
        {"/work/main/setup/fSetup.cpp", "fSetup.cpp"},
        {"C:\\src\\setup\\fSetup.cpp", "fSetup.cpp"},
        {"a\\b/c\\d.cpp", "c\\d.cpp"}, // "/" wins over a later "\"
        {"dir/", ""},
        {"", ""},
        {std::string(150, 'n'), std::string(99, 'n')},
        {"x/" + std::string(120, 'n'), std::string(99, 'n')},
    };
    for (const auto& [path, name] : cases)
        EXPECT_EQ(dialogs::sourceFileName(path), name) << path;
}

TEST_F(DialogsTest, InternalErrorNamesTheSourceAndLogsWithTheCallersLine) {
    ScriptedDialogs script;
    DlgInternalError("Cannot create data directory.", "/src/setup/fSetup.cpp", 128);
    DlgInternalError("Internal error", "fMain", 277);
    ASSERT_EQ(script.shown.size(), 2u);
    EXPECT_EQ(script.shown[0].kind, BoxKind::InternalError);
    EXPECT_EQ(script.shown[0].caption, "Error");
    EXPECT_EQ(script.shown[0].text, "Cannot create data directory. (fSetup.cpp:128)");
    EXPECT_EQ(script.shown[1].text, "Internal error (fMain:277)");
    const std::vector<std::string> expected = {
        " (:00128) Cannot create data directory. (fSetup.cpp:128)",
        " (:00277) Internal error (fMain:277)",
    };
    EXPECT_EQ(logged(), expected);
}

TEST_F(DialogsTest, BoxesStillShowWhenTheLogCannotBeWritten) {
    LogFilePath = folder + "no/such/folder/XRQ_log.txt";
    ScriptedDialogs script;
    DlgError("Cannot open port");
    script.queueAnswer(true);
    EXPECT_TRUE(DlgConfirm("Set XRQ clock to computer?", true));
    EXPECT_EQ(script.shown.size(), 2u);
}

TEST_F(DialogsTest, GuardedExceptionsAreRecordedAndScriptsNest) {
    ScriptedDialogs outer;
    {
        ScriptedDialogs inner;
        platform::runGuarded([] { throw std::runtime_error("Comport error 5"); });
        ASSERT_EQ(inner.shown.size(), 1u);
        EXPECT_EQ(inner.shown[0].kind, BoxKind::Exception);
        EXPECT_EQ(inner.shown[0].caption, "XRQ");
        EXPECT_EQ(inner.shown[0].text, "Comport error 5");
    }
    DlgInfo("to outer");
    platform::runGuarded([] { throw std::runtime_error("also outer"); });
    EXPECT_EQ(outer.shown.size(), 2u);
    EXPECT_EQ(dialogs::activeScript(), &outer);
}

// A real box (no script): Escape and the close box leave every Yes/No question open, and only
// its buttons answer it. "Abort clearing memory?" answered No would clear the unit's memory.
TEST_F(DialogsTest, YesNoQuestionsIgnoreEscapeAndTheCloseBox) {
    struct Case {
        const char* question;
        bool defaultYes;
    };
    const Case cases[] = {
        {"Set XRQ clock to computer?", true},
        {"This action is irreversible. Make sure you have saved all your data!\nContinue?", false},
        {"Abort clearing memory?", true},
        {"Error creating data directory. Force creation?", false},
    };
    for (const auto& c : cases) {
        for (const bool pressYes : {true, false}) {
            SCOPED_TRACE(std::string(c.question) + (pressYes ? " / Yes" : " / No"));
            bool stillOpenAfterEscape = false;
            bool stillOpenAfterClose = false;
            QTimer::singleShot(0, [&] {
                auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
                ASSERT_NE(box, nullptr);
                QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
                QApplication::sendEvent(box, &escape);
                QCoreApplication::processEvents();
                stillOpenAfterEscape = box->isVisible();
                box->close();
                QCoreApplication::processEvents();
                stillOpenAfterClose = box->isVisible();
                box->button(pressYes ? QMessageBox::Yes : QMessageBox::No)->click();
            });
            EXPECT_EQ(DlgConfirm(c.question, c.defaultYes), pressYes);
            EXPECT_TRUE(stillOpenAfterEscape);
            EXPECT_TRUE(stillOpenAfterClose);
            EXPECT_EQ(logged().back(), pressYes ? " (:00176) Answer YES" : " (:00181) Answer NO");
        }
    }
}

TEST_F(DialogsTest, AnEndingProgramLogsButShowsNoBox) {
    ScriptedDialogs script;
    dialogs::setProgramEnding(true);
    DlgError("late error");
    const bool clear = DlgConfirm("Abort clearing memory?", true);
    const bool force = DlgConfirm("Error creating data directory. Force creation?", false);
    dialogs::setProgramEnding(false);
    EXPECT_TRUE(script.shown.empty());
    // Each question takes its default button, the safe answer.
    EXPECT_TRUE(clear);
    EXPECT_FALSE(force);
    const auto lines = logged();
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[0], " (:00255) late error");
}

TEST(BoxParent, TheNamedWindowThenTheActiveOneThenTheMainWindow) {
    QWidget main, active, named, hidden;
    auto* inside = new QWidget(&named);
    for (QWidget* w : {&main, &active, &named})
        w->show();
    QApplication::setActiveWindow(nullptr);
    dialogs::setMainWindow(nullptr);
    EXPECT_EQ(dialogs::boxParent(), nullptr) << "no window at all";
    dialogs::setMainWindow(&main);
    EXPECT_EQ(dialogs::boxParent(), &main) << "nothing in front";
    QApplication::setActiveWindow(&active);
    EXPECT_EQ(dialogs::boxParent(), &active) << "the window in front";
    {
        const dialogs::BoxOwner owner(inside);
        EXPECT_EQ(dialogs::boxParent(), &named) << "a named window (by a widget in it)";
        {
            const dialogs::BoxOwner nested(&hidden);
            EXPECT_EQ(dialogs::boxParent(), &active) << "a named window not shown";
        }
        EXPECT_EQ(dialogs::boxParent(), &named) << "the outer name again";
    }
    // A box over a box stands over the window under the first.
    QMessageBox first(QMessageBox::Information, "Info", "first", QMessageBox::Ok, &active);
    first.show();
    QApplication::setActiveWindow(&first);
    EXPECT_EQ(dialogs::boxParent(), &active) << "a box in front";
    first.hide();
    QApplication::setActiveWindow(nullptr);
    main.hide();
    EXPECT_EQ(dialogs::boxParent(), nullptr) << "the main window hidden";
    dialogs::setMainWindow(nullptr);
}

TEST_F(DialogsTest, AQuestionWhoseWindowGoesWhileItIsOpenIsAnsweredNo) {
    auto* window = new QWidget;
    window->show();
    bool overIt = false;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        overIt = box && box->parentWidget() == window;
        delete window; // takes its child, the open box, with it
    });
    const dialogs::BoxOwner owner(window);
    EXPECT_FALSE(DlgConfirm("Clear the unit's memory?", true));
    EXPECT_TRUE(overIt);
    EXPECT_EQ(logged().back(), " (:00181) Answer NO");
}
