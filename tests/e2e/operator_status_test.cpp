// SPDX-License-Identifier: GPL-3.0-or-later
// What the operator is shown about the unit and the port: the identity field and the port
// label across a connect, a download and a second unit plugged in; the question that names a
// unit not downloaded before its memory is cleared; the Stop of a running download.
#include "e2e_fixture.h"
#include "widgets/status_panel.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>
#include <QUrl>

#include <filesystem>

using namespace e2e;
namespace fs = std::filesystem;

namespace {

class OperatorStatus : public ProgramRun {
protected:
    static sim::SimOptions unitNamed(const std::string& serial) {
        sim::SimOptions o = unpaced(sim::sampleDataSets());
        o.serialNumber = serial;
        return o;
    }
    static std::string identity() { return FormXRQMain->LabelIdentity->text().toStdString(); }
    static std::string portLabel() { return FormXRQMain->LabelComPort->text().toStdString(); }
};

TEST_F(OperatorStatus, FieldAndLabelFollowASecondUnitWhichIsNamedBeforeItsMemoryIsCleared) {
    sim::PtyUnit& first = plugUnit(1, unitNamed("AAAA1111"));
    startProgram();
    EXPECT_EQ(identity(), "COM1 - not connected");
    connectOk();
    EXPECT_EQ(identity().rfind("AAAA1111 on COM1 (/dev/pts/", 0), 0u) << identity();
    EXPECT_EQ(portLabel().rfind("COM1 @", 0), 0u) << portLabel();
    collect(defaultDataDir);

    // Downloaded since connect: the usual two questions only.
    std::size_t boxes = boxMark();
    script->queueAnswer(false);
    FormXRQMain->ActionClearMemExecute(nullptr);
    EXPECT_EQ(boxesSince(boxes),
              (Boxes{{BoxKind::Confirm, "This action is irreversible. Make sure you have saved "
                                        "all your data!\nContinue?"},
                     {BoxKind::Info, "Memory not cleared"}}));

    // The second unit plugged in: the session moves, the field and the label go with it.
    const std::size_t mark = logMark();
    sim::PtyUnit& second = plugUnitAndWait(2, unitNamed("BBBB2222"));
    EXPECT_EQ(identity(), "COM2 - not connected");
    EXPECT_EQ(portLabel().rfind("COM2 @", 0), 0u) << portLabel();
    EXPECT_TRUE(logged(logSince(mark), "Unit: COM2 - not connected"));

    // Clear Memory on it: its serial number is read, and it is named before anything else.
    boxes = boxMark();
    script->queueAnswer(false);
    FormXRQMain->ActionClearMemExecute(nullptr);
    const Boxes shown = boxesSince(boxes);
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].first, BoxKind::Confirm);
    EXPECT_EQ(shown[0].second.rfind("BBBB2222 on COM2 (/dev/pts/", 0), 0u) << shown[0].second;
    EXPECT_NE(shown[0].second.find("has not been downloaded since it was connected"),
              std::string::npos);
    EXPECT_EQ(shown[1], Box(BoxKind::Info, "Memory not cleared"));
    EXPECT_EQ(identity().rfind("BBBB2222 on COM2 (/dev/pts/", 0), 0u) << identity();
    EXPECT_EQ(second.received(), "R");
    EXPECT_EQ(second.clearCount(), 0);
    EXPECT_EQ(first.clearCount(), 0);

    // Its port unplugged: not connected, whatever was known of it.
    units.erase(2);
    ASSERT_TRUE(waitUntil([] { return !FormSerial->PortOpen; }));
    EXPECT_EQ(identity().find("- not connected") != std::string::npos, true) << identity();
}

// Stop, then Collect Data at once: the unit does not know of the Stop and sends the rest of
// the download, which goes to the stopped download's file while every command waits; the
// next download's files then hold only its own bytes.
TEST_F(OperatorStatus, StopMidDownloadWaitsOutTheUnitAndTheNextDownloadHoldsOnlyItsOwnBytes) {
    sim::SimOptions o;
    o.baud = 19200; // about 7 KB: 4 s, time enough to stop it
    o.dataSets = sim::generateDataSets(2, 60, 60);
    sim::PtyUnit& unit = plugUnit(1, o);
    startProgram();
    connectOk();
    EXPECT_EQ(FormXRQMain->ActionStop->shortcut(), QKeySequence(Qt::Key_Escape));
    EXPECT_FALSE(FormXRQMain->ActionStop->isEnabled());

    // Once some data has arrived, the operator presses Stop; meanwhile the unit actions and
    // Connect are disabled and Stop is offered. After the Stop they stay disabled while the
    // unit still sends, and the status bar says why.
    bool stopOffered = false, actionsDisabled = false, stopped = false;
    bool waitedOut = false, stillSendingSaid = false;
    QTimer stopper;
    stopper.setInterval(100);
    QObject::connect(&stopper, &QTimer::timeout, [&] {
        if (stopped) {
            const std::string said = FormXRQMain->StatusBar1->currentMessage().toStdString();
            if (FormSerial->ExchangeRunning() && said.find("still sending") != std::string::npos) {
                stillSendingSaid = true;
                waitedOut = !FormXRQMain->ActionCollect->isEnabled() &&
                            !FormXRQMain->ActionConnect->isEnabled() &&
                            !FormXRQMain->ActionStop->isEnabled();
                stopper.stop();
            }
            return;
        }
        if (!FormSerial->ExchangeRunning() || intermediate().size() < 500)
            return;
        stopOffered = FormXRQMain->ButtonStop->isVisible() && FormXRQMain->ActionStop->isEnabled();
        actionsDisabled = !FormXRQMain->ActionConnect->isEnabled() &&
                          !FormXRQMain->ActionCollect->isEnabled() &&
                          !FormXRQMain->ActionClearMem->isEnabled();
        stopped = true;
        FormXRQMain->ButtonStop->click();
    });
    stopper.start();
    std::size_t boxes = boxMark();
    const std::size_t mark = logMark();
    collect(defaultDataDir);
    stopper.stop();
    EXPECT_TRUE(stopOffered);
    EXPECT_TRUE(actionsDisabled);
    EXPECT_TRUE(stillSendingSaid);
    EXPECT_TRUE(waitedOut);
    EXPECT_TRUE(boxesSince(boxes).empty());

    // The stopped download's file holds all that the unit sent for it, the rest included.
    const std::string kept = intermediate();
    EXPECT_EQ(kept.size(), unit.bytesSentSinceDownload());
    EXPECT_EQ(kept.back(), '>');
    // ... and so does its kept copy, which the next download does not touch.
    const std::string keptCopy = FormXRQMain->LastDownload.keptFile;
    ASSERT_FALSE(keptCopy.empty());
    EXPECT_EQ(readFile(keptCopy), kept);
    bool anyDataFile = false;
    if (fs::exists(defaultDataDir))
        for ([[maybe_unused]] const auto& e : fs::directory_iterator(defaultDataDir))
            anyDataFile = true;
    EXPECT_FALSE(anyDataFile);
    const std::string said = FormXRQMain->StatusPanel1->outcome().toStdString();
    EXPECT_EQ(said.rfind("Download stopped by the operator.", 0), 0u) << said;
    EXPECT_NE(said.find("_$XRQInt.txt"), std::string::npos) << said;
    EXPECT_NE(said.find("more after Stop, kept there too"), std::string::npos) << said;
    const auto lines = logSince(mark);
    EXPECT_TRUE(logged(lines, "Stop pressed during the download"));
    bool stopLine = false, endLine = false;
    for (const auto& l : lines) {
        stopLine = stopLine || (l.rfind("Download stopped by the operator: " +
                                            std::to_string(kept.size()) + " bytes kept in ",
                                        0) == 0 &&
                                l.find("nothing converted") != std::string::npos);
        endLine = endLine || l.rfind("The stopped download has ended (its prompt came): ", 0) == 0;
    }
    EXPECT_TRUE(stopLine);
    EXPECT_TRUE(endLine);
    EXPECT_FALSE(FormXRQMain->ButtonStop->isVisible());
    EXPECT_TRUE(FormXRQMain->ActionCollect->isEnabled());
    EXPECT_TRUE(FormXRQMain->ActionConnect->isEnabled());

    // Collect Data at once: a whole download of its own.
    boxes = boxMark();
    collect(defaultDataDir);
    EXPECT_EQ(boxesSince(boxes),
              (Boxes{{BoxKind::Info, "Data collected and placed in " + defaultDataDir}}));
    EXPECT_EQ(intermediate().size(), unit.bytesSentSinceDownload());
    EXPECT_EQ(readFile(keptCopy), kept);
    for (const auto& set : o.dataSets)
        EXPECT_EQ(readFile(defaultDataDir + set.name + ".txt"), expectedFile(set));
}

} // namespace

namespace {

TEST_F(OperatorStatus, DataFolderAndRunLogOpenInTheDesktopsApplications) {
    startProgram();
    std::vector<QUrl> opened;
    FormXRQMain->OpenUrl = [&](const QUrl& url) {
        opened.push_back(url);
        return true;
    };
    FormXRQMain->ActionOpenRunLog->trigger();
    // A data folder not made yet is said so instead of handing the desktop a missing path.
    FormSetup->EditDataDirectory->setText(QString::fromStdString(root + "/not yet"));
    const std::size_t boxes = boxMark();
    FormXRQMain->ActionOpenDataFolder->trigger();
    EXPECT_EQ(boxesSince(boxes).size(), 1u);
    FormSetup->EditDataDirectory->setText(QString::fromStdString(work));
    FormXRQMain->ActionOpenDataFolder->trigger();
    ASSERT_EQ(opened.size(), 2u);
    EXPECT_EQ(opened[0], QUrl::fromLocalFile(QString::fromStdString(logPath())));
    EXPECT_EQ(opened[1], QUrl::fromLocalFile(QString::fromStdString(work)));
}

} // namespace

namespace {

TEST_F(OperatorStatus, HelpOpensTheGuideBesideTheProgram) {
    startProgram();
    std::vector<QUrl> opened;
    FormXRQMain->OpenUrl = [&](const QUrl& url) {
        opened.push_back(url);
        return true;
    };
    // The program in <root>/prog/, its guide where a build or an installation lays it.
    const QString guide = QString::fromStdString(root + "/share/doc/xrq/guide.html");
    ASSERT_TRUE(QDir().mkpath(QFileInfo(guide).path()));
    QFile file(guide);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    ASSERT_TRUE(FormXRQMain->MenuHelp->actions().contains(FormXRQMain->ActionGuide));
    EXPECT_EQ(FormXRQMain->ActionGuide->text(), QStringLiteral("Operator's &Guide"));
    FormXRQMain->ActionGuide->trigger();
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0], QUrl::fromLocalFile(guide));
}

} // namespace
