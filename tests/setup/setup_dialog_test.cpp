// SPDX-License-Identifier: GPL-3.0-or-later
// The setup dialog inside the program started in a program sandbox: refresh on show, the
// port picked or typed, both settings written on every close and read at the next start,
// Browse's path rules and the Device Manager button.
#include "dialogs/run_log.h"
#include "dialogs/scripted_dialogs.h"
#include "main/fMain.h"
#include "platform/ini_file.h"
#include "port_folder_fixture.h"
#include "serial/fSerial.h"
#include "setup/data_folder_dialog.h"
#include "setup/fSetup.h"
#include "start/program_start.h"
#include "support/program_sandbox.h"
#include "support/pty_pair.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <memory>
#include <stdexcept>
#include <sys/file.h>
#include <unistd.h>

using dialogs::BoxKind;

namespace {

class SetupDialogTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sandbox.ok());
        rootDir = QString::fromStdString(sandbox.root());
        where = sandbox.locations();
        tempFiles = sandbox.tempFiles();
        ASSERT_TRUE(QDir().mkpath(QString::fromStdString(tempFiles + "ports")));
        savedChooser = TFormSetup::setDirectoryChooser(
            [this](QWidget*, const QString& start) { return choose(start); });
        savedOpener = TFormSetup::setDeviceWindowOpener([this] {
            ++deviceWindowOpened;
            if (deviceWindowFails)
                throw std::runtime_error("no window");
        });
    }
    void TearDown() override {
        DestroyProgramWindows();
        for (int fd : holders)
            ::close(fd);
        TFormSetup::setDirectoryChooser(savedChooser);
        TFormSetup::setDeviceWindowOpener(savedOpener);
    }

    void providePort(int n, bool held = false) {
        ptys.push_back(std::make_unique<testsupport::PtyPair>());
        ASSERT_TRUE(ptys.back()->ok());
        const std::string link = ptys.back()->linkAs(tempFiles + "ports", n);
        if (held) {
            const int fd = ::open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
            holders.push_back(fd);
        }
    }

    void start() {
        CreateProgramWindows(where);
        FormXRQMain->show();
    }

    std::vector<std::string> entries() const {
        std::vector<std::string> out;
        for (int i = 0; i < FormSetup->ComPortCombo->count(); ++i)
            out.push_back(FormSetup->ComPortCombo->itemText(i).toStdString());
        return out;
    }
    std::string deviceLine() const { return FormSetup->DevInfoLabel->text().toStdString(); }
    std::string dataDirectory() const { return FormSetup->EditDataDirectory->text().toStdString(); }

    // The directory selection dialog as the test scripts it.
    QString choose(const QString& start) {
        starts.push_back(start.toStdString());
        if (chooserThrows > 0) {
            --chooserThrows;
            throw std::runtime_error("bad starting folder");
        }
        return chosen;
    }

    testsupport::ProgramSandbox sandbox;
    QString rootDir;
    ProgramLocations where;
    std::string tempFiles;
    std::vector<std::unique_ptr<testsupport::PtyPair>> ptys;
    std::vector<int> holders;
    dialogs::ScriptedDialogs boxes;

    TFormSetup::DirectoryChooser savedChooser;
    TFormSetup::DeviceWindowOpener savedOpener;
    QString chosen; // empty: the operator cancels
    int chooserThrows = 0;
    std::vector<std::string> starts;
    int deviceWindowOpened = 0;
    bool deviceWindowFails = false;
};

} // namespace

TEST_F(SetupDialogTest, StartAndShowListTheFreePortFirstAndResetTheLineSpeed) {
    providePort(2, /*held=*/true);
    providePort(5);
    start();
    // The saved port 1 is not listed; the first free port wins at start-up.
    EXPECT_EQ(entries(), (std::vector<std::string>{"COM2 *", "COM5"}));
    EXPECT_EQ(FormSerial->ComPortNumber, 5);
    EXPECT_EQ(deviceLine(), "-selected COM port reports device name: " + ptys[1]->slavePath());
    EXPECT_EQ(FormXRQMain->LabelComPort->text(), "COM5 @ 19200");

    FormSerial->BaudRate = 9600;
    FormSerial->ComPortNumber = 2;
    FormSetup->show();
    EXPECT_FALSE(FormSetup->isModal());
    EXPECT_TRUE(FormXRQMain->isEnabled());
    EXPECT_EQ(FormSerial->BaudRate, 19200);
    EXPECT_EQ(FormSetup->ComPortCombo->currentText(), "COM5");
    EXPECT_EQ(FormSerial->ComPortNumber, 5);
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(SetupDialogTest, PickedEntryTakesEffectAtOnceAndTypedTextChangesNothing) {
    providePort(3);
    providePort(12, /*held=*/true);
    start();
    FormSetup->show();
    ASSERT_EQ(FormSerial->ComPortNumber, 3);

    FormSetup->ComPortCombo->setCurrentIndex(1); // the operator picks "COM12 *"
    EXPECT_EQ(FormSerial->ComPortNumber, 12);
    EXPECT_EQ(deviceLine(), "-selected COM port reports device name: ");

    FormSetup->ComPortCombo->setCurrentIndex(0);
    EXPECT_EQ(FormSerial->ComPortNumber, 3);
    EXPECT_EQ(deviceLine(), "-selected COM port reports device name: " + ptys[0]->slavePath());

    FormSetup->ComPortCombo->setEditText("COM7");
    EXPECT_EQ(FormSerial->ComPortNumber, 3);
    EXPECT_EQ(deviceLine(), "-selected COM port reports device name: ");
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(SetupDialogTest, EveryCloseWritesBothSettingsAndTheNextStartReadsThem) {
    struct Case {
        const char* how;
        std::function<void()> close;
    };
    const Case cases[] = {
        {"OK", [] { FormSetup->ButtonOK->click(); }},
        {"close box", [] { FormSetup->close(); }},
        {"Escape",
         [] {
             QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
             QCoreApplication::sendEvent(FormSetup, &esc);
         }},
    };
    providePort(4);
    providePort(6);
    const std::string typed = sandbox.root() + "/typed dir"; // no "/" added
    for (const auto& c : cases) {
        SCOPED_TRACE(c.how);
        QFile::remove(QString::fromStdString(tempFiles + "XRQ.ini"));
        start();
        FormSetup->show();
        FormSetup->ComPortCombo->setCurrentIndex(1);
        FormSetup->EditDataDirectory->setText(QString::fromStdString(typed));
        c.close();
        EXPECT_FALSE(FormSetup->isVisible());
        EXPECT_EQ(FormXRQMain->LabelComPort->text(), "COM6 @ 19200");
        platform::IniFile ini(tempFiles + "XRQ.ini");
        EXPECT_EQ(ini.ReadInteger("Serial", "Port", 0), 6);
        EXPECT_EQ(ini.ReadString("Data", "Directory", ""), typed);

        FormXRQMain->close();
        DestroyProgramWindows();
        start();
        EXPECT_EQ(FormSerial->ComPortNumber, 6);
        EXPECT_EQ(dataDirectory(), typed);
        DestroyProgramWindows();
    }
}

TEST_F(SetupDialogTest, ClosingKeepsTheDialogAndItsContents) {
    providePort(4);
    start();
    TFormSetup* before = FormSetup;
    FormSetup->show();
    FormSetup->EditDataDirectory->setText("/kept");
    FormSetup->close();
    EXPECT_EQ(FormSetup, before);
    EXPECT_EQ(dataDirectory(), "/kept");
    FormSetup->show();
    EXPECT_TRUE(FormSetup->isVisible());
    EXPECT_EQ(dataDirectory(), "/kept");
}

TEST_F(SetupDialogTest, BrowsePathRules) {
    const std::string r = sandbox.root();
    ASSERT_TRUE(QDir().mkpath(rootDir + "/data"));
    ASSERT_TRUE(QDir().mkpath(rootDir + "/chosen"));
    QFile file(rootDir + "/plainfile");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();

    struct Case {
        const char* what;
        std::string text;
        QString chosen;
        std::vector<bool> answers;
        std::string expectedText;
        std::vector<BoxKind> expectedBoxes;
        bool existsAfter;
    };
    const Case cases[] = {
        {"empty text, cancelled", "", "", {}, "", {}, false},
        {"cancelled still adds the slash", r + "/data", "", {}, r + "/data/", {}, true},
        {"slash not doubled", r + "/data/", "", {}, r + "/data/", {}, true},
        {"chosen folder replaces the text",
         r + "/data/",
         rootDir + "/chosen",
         {},
         r + "/chosen/",
         {},
         true},
        {"missing, not forced",
         r + "/new/a",
         "",
         {false},
         r + "/new/a/",
         {BoxKind::Confirm},
         false},
        {"missing, forced with parents",
         r + "/new/b/c",
         "",
         {true},
         r + "/new/b/c/",
         {BoxKind::Confirm},
         true},
        {"cannot be created",
         r + "/plainfile/sub",
         "",
         {true},
         r + "/plainfile/sub/",
         {BoxKind::Confirm, BoxKind::InternalError},
         false},
    };
    TFormSetup dialog;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        boxes.shown.clear();
        for (bool a : c.answers)
            boxes.queueAnswer(a);
        chosen = c.chosen;
        dialog.EditDataDirectory->setText(QString::fromStdString(c.text));
        dialog.ButtonBrowse->click();

        EXPECT_EQ(dialog.EditDataDirectory->text().toStdString(), c.expectedText);
        std::vector<BoxKind> kinds;
        for (const auto& b : boxes.shown)
            kinds.push_back(b.kind);
        EXPECT_EQ(kinds, c.expectedBoxes);
        if (!boxes.shown.empty()) {
            EXPECT_EQ(boxes.shown[0].text, "Error creating data directory. Force creation?");
            EXPECT_FALSE(boxes.shown[0].defaultYes);
        }
        if (kinds.size() > 1) {
            EXPECT_EQ(boxes.shown[1].text.rfind("Cannot create data directory. (fSetup.cpp:", 0),
                      0u)
                << boxes.shown[1].text;
        }
        if (!c.expectedText.empty()) {
            EXPECT_EQ(QFileInfo(QString::fromStdString(c.expectedText)).isDir(), c.existsAfter);
        }
        EXPECT_EQ(boxes.unansweredConfirms, 0);
    }
}

TEST_F(SetupDialogTest, BrowseRetriesOnceFromNowhereWhenTheSelectionDialogFails) {
    const std::string r = sandbox.root();
    ASSERT_TRUE(QDir().mkpath(rootDir + "/chosen"));
    TFormSetup dialog;
    dialog.EditDataDirectory->setText("/no/such/start");
    chooserThrows = 1;
    chosen = rootDir + "/chosen";
    dialog.ButtonBrowse->click();
    EXPECT_EQ(starts, (std::vector<std::string>{"/no/such/start", ""}));
    EXPECT_EQ(dialog.EditDataDirectory->text().toStdString(), r + "/chosen/");

    // A second failure ends the handler in the toolkit's error box; the text stays.
    starts.clear();
    chooserThrows = 2;
    dialog.ButtonBrowse->click();
    EXPECT_EQ(starts.size(), 2u);
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].kind, BoxKind::Exception);
    EXPECT_EQ(dialog.EditDataDirectory->text().toStdString(), r + "/chosen/");
}

TEST_F(SetupDialogTest, DeviceManagerButtonOpensTheDeviceWindow) {
    TFormSetup dialog;
    dialog.RunDevMgrButton->click();
    EXPECT_EQ(deviceWindowOpened, 1);
    EXPECT_TRUE(boxes.shown.empty());

    deviceWindowFails = true;
    dialog.RunDevMgrButton->click();
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].kind, BoxKind::InternalError);
    EXPECT_EQ(boxes.shown[0].text.rfind("Internal error (fSetup.cpp:", 0), 0u);
}

TEST_F(SetupDialogTest, PortLinkedWhileTheProgramRunsIsLoggedBothWays) {
    providePort(1);
    start();
    const auto logged = [&](const std::string& text) {
        QFile log(QString::fromStdString(LogFilePath));
        return log.open(QIODevice::ReadOnly) && log.readAll().contains(text.c_str());
    };
    providePort(97);
    ASSERT_TRUE(setuptest::waitUntil([&] { return logged("Com port COM97 added to system!"); }));
    EXPECT_EQ(FormSerial->ComPortNumber, 97);

    ASSERT_TRUE(QFile::remove(QString::fromStdString(tempFiles + "ports/COM97")));
    ASSERT_TRUE(
        setuptest::waitUntil([&] { return logged("Com port COM97 removed from system!"); }));
    EXPECT_EQ(FormSerial->ComPortNumber, -1);
}

TEST_F(SetupDialogTest, DeviceLineNamesThePortTheSessionItselfHolds) {
    providePort(3);
    start();
    ASSERT_EQ(FormSerial->ComPortNumber, 3);
    ASSERT_EQ(FormSerial->iOpenPort(), 0);
    FormSetup->show(); // the list refresh finds COM3 held: by us
    EXPECT_EQ(FormSerial->ComPortNumber, 3);
    EXPECT_EQ(deviceLine(), "-selected COM port reports device name: " + ptys[0]->slavePath());
    FormSerial->iClosePort();
}

// The real selection dialog: a folder typed that does not exist yet is created when the
// operator agrees, with its missing parents; refused, the dialog stays open.
TEST_F(SetupDialogTest, SelectionDialogCreatesATypedNewFolder) {
    const QString fresh = rootDir + "/new/data";
    for (const bool agree : {false, true}) {
        SCOPED_TRACE(agree ? "agreed" : "refused");
        boxes.shown.clear();
        boxes.queueAnswer(agree);
        DataFolderDialog dialog(nullptr, rootDir);
        dialog.selectFile(fresh);
        dialog.show();
        dialog.accept();
        ASSERT_EQ(boxes.shown.size(), 1u);
        EXPECT_EQ(boxes.shown[0].kind, BoxKind::Confirm);
        EXPECT_EQ(boxes.shown[0].text,
                  "The folder " + fresh.toStdString() + " does not exist. Create it?");
        EXPECT_EQ(QFileInfo(fresh).isDir(), agree);
        EXPECT_EQ(dialog.result(), agree ? QDialog::Accepted : 0);
        EXPECT_EQ(dialog.isVisible(), !agree);
        if (agree) {
            EXPECT_EQ(dialog.selectedFiles().value(0), fresh);
        }
    }
}

// A typed directory whose last part names no folder is a prefix of the file names: the
// dialog says so under the box, and says nothing for a folder (with or without its "/").
TEST_F(SetupDialogTest, ANoteUnderTheDataDirectoryTellsWhenItIsAPrefix) {
    const std::string r = sandbox.root();
    ASSERT_TRUE(QDir().mkpath(rootDir + "/Field/typed"));
    TFormSetup dialog;
    dialog.show();
    struct Case {
        std::string text;
        std::string note; // empty: no note shown
    };
    const Case cases[] = {
        {r + "/Field/typed/", ""},
        {r + "/Field/typed", ""},
        {r + "/Field/site", "files will be named siteNAME.txt in " + r + "/Field/"},
        {"", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        dialog.EditDataDirectory->setText(QString::fromStdString(c.text));
        EXPECT_EQ(dialog.LabelDataNote->isVisible(), !c.note.empty());
        if (!c.note.empty()) {
            EXPECT_EQ(dialog.LabelDataNote->toolTip().toStdString(), c.note);
            // Shown whole when it fits; a path too long for the dialog (a deep temporary
            // folder) is shortened in its middle, never cut at the folder's end.
            const QString shown = dialog.LabelDataNote->text();
            const QString whole = QString::fromStdString(c.note);
            EXPECT_TRUE(shown == whole || (shown.contains(QChar(0x2026)) &&
                                           shown.endsWith(QStringLiteral("/Field/"))))
                << shown.toStdString();
        }
    }
    // The folder made meanwhile: the next showing of the dialog says no more.
    dialog.EditDataDirectory->setText(QString::fromStdString(r + "/Field/later"));
    EXPECT_TRUE(dialog.LabelDataNote->isVisible());
    ASSERT_TRUE(QDir().mkpath(rootDir + "/Field/later"));
    dialog.hide();
    dialog.show();
    EXPECT_FALSE(dialog.LabelDataNote->isVisible());
}
