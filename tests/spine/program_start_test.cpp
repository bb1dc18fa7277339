// SPDX-License-Identifier: GPL-3.0-or-later
// The program started in-process over temporary folders: first start, settings, the main
// window's actions and labels, the updater and the end line.
#include "app/program_settings.h"
#include "dialogs/scripted_dialogs.h"
#include "main/fMain.h"
#include "platform/port_table.h"
#include "serial/fSerial.h"
#include "serial/fTerminal.h"
#include "setup/fSetup.h"
#include "spine_fixture.h"
#include "start/program_start.h"
#include "support/pty_pair.h"
#include "support/wait.h"

#include <QAction>
#include <QDir>
#include <QFileSystemWatcher>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>

#include <algorithm>
#include <memory>

using dialogs::BoxKind;
using testsupport::waitUntil;

namespace {

class ProgramStart : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sandbox.ok());
        rootDir = QString::fromStdString(sandbox.root());
        where = sandbox.locations();
        where.programDir = sandbox.root() + "/prog"; // the program adds the "/"
        tempFiles = sandbox.tempFiles();
    }
    void TearDown() override { DestroyProgramWindows(); }

    // A pty standing in for COMn in the program's port folder.
    void providePort(int n) {
        ASSERT_TRUE(QDir().mkpath(QString::fromStdString(tempFiles + "ports")));
        ptys.push_back(std::make_unique<testsupport::PtyPair>());
        ASSERT_TRUE(ptys.back()->ok());
        ptys.back()->linkAs(tempFiles + "ports", n);
    }

    void start() {
        CreateProgramWindows(where);
        FormXRQMain->show();
    }

    std::vector<std::string> logged() const {
        std::vector<std::string> out;
        for (const auto& l : crlfLines(readBytes(tempFiles + "XRQ_log.txt")))
            out.push_back(l.substr(17));
        return out;
    }
    long endLines() const {
        const auto lines = logged();
        return std::count(lines.begin(), lines.end(), " (:00303) ***** Program End *****");
    }

    testsupport::ProgramSandbox sandbox;
    QString rootDir;
    ProgramLocations where;
    std::string tempFiles;
    std::vector<std::unique_ptr<testsupport::PtyPair>> ptys;
    dialogs::ScriptedDialogs boxes;
};

} // namespace

TEST_F(ProgramStart, FirstStartWithFreshFolders) {
    providePort(1);
    start();
    const std::string r = sandbox.root();
    EXPECT_EQ(FormXRQMain->windowTitle(), "XRQ Control software");
    EXPECT_EQ(ProgramPath, r + "/prog/");
    EXPECT_EQ(TempFilesPath, tempFiles);
    EXPECT_EQ(LogFilePath, tempFiles + "XRQ_log.txt");
    EXPECT_EQ(LogSizeLimit, 200000);
    EXPECT_EQ(platform::PortTable::current().portFolder(), tempFiles + "ports/");
    EXPECT_EQ(platform::PortTable::current().deviceDir(), r + "/dev");

    const auto lines = logged();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], " (:00118) ***** Program Start *****");
    EXPECT_EQ(lines[1], " (:00120) Program path: " + r + "/prog/");
    EXPECT_EQ(lines[2], " (:00122) Temporary files path: " + tempFiles);

    EXPECT_TRUE(QDir(QString::fromStdString(sandbox.defaultDataDir())).exists());
    EXPECT_EQ(FormSetup->EditDataDirectory->text().toStdString(), sandbox.defaultDataDir());
    EXPECT_EQ(FormXRQMain->DefaultDataDirectory(), sandbox.defaultDataDir());
    EXPECT_EQ(FormSerial->ComPortNumber, 1);
    EXPECT_EQ(FormSerial->BaudRate, 19200);
    EXPECT_EQ(FormXRQMain->LabelComPort->text(), "COM1 @ 19200");
    EXPECT_EQ(FormXRQMain->LabelBatV->text(), "N/A");
    EXPECT_EQ(FormXRQMain->LabelTemp->text(), "N/A");
    EXPECT_FALSE(FormXRQMain->TerminalVisible);
    EXPECT_FALSE(FormSerial->isVisible());
    ASSERT_TRUE(programSettings());
    EXPECT_EQ(programSettings()->fileName(), tempFiles + "XRQ.ini");
    EXPECT_FALSE(QFile::exists(QString::fromStdString(tempFiles + "XRQ.ini"))); // read only
}

TEST_F(ProgramStart, FolderFallbacksWhenLocationsAreNotSupplied) {
    const std::string r = sandbox.root();
    struct Case {
        std::string appData, desktop, documents;
        std::string temp, data;
    };
    const Case cases[] = {
        {r + "/a/", r + "/d/", r + "/o", r + "/a/Quorvant/XRQ/", r + "/d/XRQ Data/"},
        {"", "", r + "/o", r + "/prog/", r + "/o/Quorvant/XRQ/"},
        {"", "", "", r + "/prog/", r + "/prog/"},
    };
    for (const auto& c : cases) {
        ProgramLocations w = where;
        w.appData = c.appData;
        w.desktop = c.desktop;
        w.documents = c.documents;
        const ProgramFolders f = resolveProgramFolders(w);
        EXPECT_EQ(f.programPath, r + "/prog/");
        EXPECT_EQ(f.tempFilesPath, c.temp);
        EXPECT_EQ(f.defaultDataDirectory, c.data);
        EXPECT_TRUE(QDir(QString::fromStdString(c.temp)).exists());
        EXPECT_TRUE(QDir(QString::fromStdString(c.data)).exists());
    }
}

TEST_F(ProgramStart, SavedSettingsAreRestoredAndOtherSectionsSurvive) {
    providePort(1);
    providePort(3);
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(tempFiles)));
    writeBytes(tempFiles + "XRQ.ini", "[Window]\r\nLeft=10\r\n[Serial]\r\nPort=3\r\n[Data]\r\n"
                                      "Directory=/srv/xrq data/\r\n");
    start();
    EXPECT_EQ(FormSerial->ComPortNumber, 3);
    EXPECT_EQ(FormXRQMain->LabelComPort->text(), "COM3 @ 19200");
    EXPECT_EQ(FormSetup->EditDataDirectory->text(), "/srv/xrq data/");
    // What the setup dialog does when it closes, then a second start reads it back.
    ASSERT_TRUE(programSettings()->savePort(1));
    ASSERT_TRUE(programSettings()->saveDataDirectory("/srv/other/"));
    FormXRQMain->close();
    DestroyProgramWindows();
    start();
    EXPECT_EQ(FormSerial->ComPortNumber, 1);
    EXPECT_EQ(FormSetup->EditDataDirectory->text(), "/srv/other/");
    EXPECT_EQ(platform::IniFile(tempFiles + "XRQ.ini").ReadInteger("Window", "Left", 0), 10);
}

TEST_F(ProgramStart, PortValueThatIsNoNumberReadsAsComOne) {
    providePort(1);
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(tempFiles)));
    writeBytes(tempFiles + "XRQ.ini", "[Serial]\r\nPort=abc\r\n");
    start();
    EXPECT_EQ(FormSerial->ComPortNumber, 1);
    EXPECT_EQ(FormXRQMain->LabelComPort->text(), "COM1 @ 19200");
}

TEST_F(ProgramStart, LabelAsksForSetupWithoutAPort) {
    providePort(1);
    start();
    for (int n : {0, -1}) {
        FormSerial->ComPortNumber = n;
        FormXRQMain->UpdateComPortLabel();
        EXPECT_EQ(FormXRQMain->LabelComPort->text(), "RUN SETUP!");
    }
    FormSerial->ComPortNumber = 200;
    FormSerial->BaudRate = 9600;
    FormXRQMain->UpdateComPortLabel();
    // No such port on this machine: the label says so.
    EXPECT_EQ(FormXRQMain->LabelComPort->text(), "COM200 @ 9600 - not present");
}

TEST_F(ProgramStart, UnitActionsStayDisabledUntilConnectInButtonsAndMenus) {
    providePort(1);
    start();
    TFormXRQMain* w = FormXRQMain;
    struct Row {
        QAction* action;
        QPushButton* button;
        const char* caption;
        bool enabled;
    };
    const Row rows[] = {
        {w->ActionSetup, w->Button2, "&Setup", true},
        {w->ActionUpdate, nullptr, "&Update", true},
        {w->ActionSetClock, w->ButtonSetClock, "Set &Clock", false},
        {w->ActionConnect, w->ButtonConnect, "Co&nnect", true},
        {w->ActionCheckBat, w->ButtonCheckBat, "Chec&k Bat", false},
        {w->ActionExit, nullptr, "E&xit", true},
        {w->ActionTeminal, nullptr, "&Terminal", true},
        {w->ActionCollect, w->Button1, "Collect &Data", false},
        {w->ActionClearMem, w->Button3, "Clear &Memory", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.caption);
        EXPECT_EQ(row.action->text(), row.caption);
        EXPECT_EQ(row.action->isEnabled(), row.enabled);
        if (row.button) {
            EXPECT_EQ(row.button->text(), row.caption);
            EXPECT_EQ(row.button->isEnabled(), row.enabled);
        }
    }
    EXPECT_EQ(w->ActionExit->toolTip(), "Exit program");

    // Menu items are the actions, in menu order; Connect and Collect Data have none.
    const QList<QAction*> tools = w->MenuTools->actions();
    ASSERT_EQ(tools.size(), 12);
    EXPECT_EQ(tools[0], w->ActionSetup);
    EXPECT_EQ(tools[1], w->ActionCheckBat);
    EXPECT_EQ(tools[2], w->ActionSetClock);
    EXPECT_TRUE(tools[3]->isSeparator());
    EXPECT_EQ(tools[4], w->ActionTeminal);
    EXPECT_EQ(tools[5], w->ActionClearMem);
    EXPECT_TRUE(tools[6]->isSeparator()); // after the unit's own items: the data viewer
    EXPECT_EQ(tools[7], w->ActionViewData);
    EXPECT_EQ(tools[8], w->ActionUnits);
    EXPECT_EQ(tools[9], w->ActionOpenDataFolder); // in the desktop's own applications
    EXPECT_EQ(tools[10], w->ActionOpenRunLog);
    EXPECT_EQ(tools[11], w->ActionConvertKept);
    EXPECT_EQ(w->ActionConvertKept->text(), "Convert a Kept Download...");
    const QList<QAction*> help = w->MenuHelp->actions();
    ASSERT_EQ(help.size(), 4);
    EXPECT_EQ(help[0], w->ActionGuide); // ours, before the unit program's own items
    EXPECT_EQ(help[1], w->ActionUpdate);
    EXPECT_TRUE(help[2]->isSeparator());
    EXPECT_EQ(help[3], w->ActionExit);
    EXPECT_EQ(w->MenuTools->title(), "&Tools");
    EXPECT_EQ(w->MenuHelp->title(), "&Help");

    // A connect enables them, and the buttons follow their actions.
    for (QAction* a : {w->ActionSetClock, w->ActionCheckBat, w->ActionCollect, w->ActionClearMem})
        a->setEnabled(true);
    for (QPushButton* b : {w->ButtonSetClock, w->ButtonCheckBat, w->Button1, w->Button3})
        EXPECT_TRUE(b->isEnabled());
}

TEST_F(ProgramStart, SetupAndTerminalOpenWithoutBlocking) {
    providePort(1);
    start();
    FormXRQMain->ActionSetup->trigger();
    EXPECT_TRUE(FormSetup->isVisible());
    EXPECT_FALSE(FormSetup->isModal());
    FormXRQMain->ActionTeminal->trigger();
    EXPECT_TRUE(FormTerminal->isVisible());
    EXPECT_TRUE(FormXRQMain->isVisible());
}

TEST_F(ProgramStart, EndLineIsWrittenOnceHoweverTheWindowCloses) {
    providePort(1);
    start();
    int closedSignals = 0;
    QObject::connect(FormXRQMain, &TFormXRQMain::closed, [&] { ++closedSignals; });
    FormXRQMain->ActionExit->trigger();
    EXPECT_FALSE(FormXRQMain->isVisible());
    FormXRQMain->close();
    DestroyProgramWindows();
    EXPECT_EQ(endLines(), 1);
    EXPECT_GE(closedSignals, 1);
    EXPECT_EQ(logged().back(), " (:00303) ***** Program End *****");

    // Ended without a close at all (the application told to quit): still one end line.
    start();
    DestroyProgramWindows();
    EXPECT_EQ(endLines(), 2);
}

TEST_F(ProgramStart, WindowsAreCreatedOnce) {
    providePort(1);
    start();
    EXPECT_THROW(CreateProgramWindows(where), std::logic_error);
}

namespace {

void writeUpdater(const QString& path, const std::string& body, QFile::Permissions perms) {
    writeBytes(path.toStdString(), body);
    QFile::setPermissions(path, perms);
}

} // namespace

TEST_F(ProgramStart, UpdaterThatCannotStartLeavesTheProgramRunning) {
    providePort(1);
    start();
    const QString updater = rootDir + "/prog/XRQUpdate.exe";
    struct Case {
        const char* name;
        bool create;
    };
    for (const Case c : {Case{"missing", false}, Case{"not executable", true}}) {
        SCOPED_TRACE(c.name);
        if (c.create)
            writeUpdater(updater, "#!/bin/sh\nexit 0\n",
                         QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup);
        boxes.shown.clear();
        FormXRQMain->ActionUpdate->trigger();
        ASSERT_EQ(boxes.shown.size(), 1u);
        EXPECT_EQ(boxes.shown[0].kind, BoxKind::Error);
        EXPECT_EQ(boxes.shown[0].text, "Cannot execute update program XRQUpdate.exe");
        EXPECT_TRUE(FormXRQMain->isVisible());
        EXPECT_EQ(endLines(), 0);
    }
    EXPECT_EQ(logged().back(), " (:00255) Cannot execute update program XRQUpdate.exe");
}

TEST_F(ProgramStart, UpdaterThatStartsClosesTheProgram) {
    providePort(1);
    start();
    const QString marker = rootDir + "/updater-ran";
    writeUpdater(rootDir + "/prog/XRQUpdate.exe",
                 "#!/bin/sh\ntouch '" + marker.toStdString() + "'\n",
                 QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QFileSystemWatcher watcher({rootDir});
    bool changed = false;
    QObject::connect(&watcher, &QFileSystemWatcher::directoryChanged, [&] { changed = true; });

    FormXRQMain->ActionUpdate->trigger();
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_FALSE(FormXRQMain->isVisible());
    EXPECT_EQ(endLines(), 1);
    EXPECT_TRUE(waitUntil([&] { return changed && QFile::exists(marker); }));
}
